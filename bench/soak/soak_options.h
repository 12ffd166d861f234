// The command line of kestrel_soak. The driver's options are documented in
// kUsage (soak_options.cc); the worker modes are the driver's own way of
// starting its suppliers and consumers and are not meant to be typed.

#ifndef KESTREL_BENCH_SOAK_SOAK_OPTIONS_H_
#define KESTREL_BENCH_SOAK_SOAK_OPTIONS_H_

#include <cstdint>
#include <string>
#include <vector>

namespace kestrel {
namespace soak {

struct DriverOptions {
  uint32_t seconds = 600;
  uint32_t suppliers = 2;
  uint32_t consumers = 2;
  uint32_t restartEverySeconds = 5;  // 0: never
  uint32_t downMs = 500;          // how long the service stays away at each restart
  uint32_t rate = 100;            // Publish calls per second and supplier
  uint32_t consumerThreads = 1;
  uint32_t livenessSeconds = 2;   // ConsumerLivenessInterval in the soak's registry
  uint32_t callTimeoutMs = 2000;  // CallTimeout in the soak's registry
  uint32_t inFlightMs = 250;      // see DeliveryAudit
  uint32_t settleSeconds = 0;     // 0: SoakDriver's recovery bound + 2 s
  uint32_t drainSeconds = 2;
  std::string outputFolder;       // empty: a new folder under /tmp
  std::string channeld;           // empty: the build's kestrel-channeld
  std::vector<std::string> channeldEnvironment;  // NAME=VALUE, for the service only
  // --state-dir: the service keeps its state in a folder of the soak's own
  // (stateFolder, made in outputFolder), the same one for every run, and
  // the audit holds it to what that promises (see DeliveryAudit).
  bool stateDir = false;
  std::string stateFolder;
  std::string eventReliability;   // best-effort or persistent; empty: channeld's default
};

struct WorkerOptions {
  enum class Role { kSupplier, kConsumer };
  Role role = Role::kSupplier;
  uint32_t id = 0;
  uint32_t port = 0;
  uint32_t rate = 100;      // supplier
  uint32_t threads = 1;     // consumer
  std::string records;      // the file the worker writes its records to
};

// What the command line asks for.
struct SoakCommand {
  enum class Action { kDrive, kAudit, kWork, kHelp, kError };
  Action action = Action::kError;
  DriverOptions driver;
  WorkerOptions worker;
  std::string error;
};

SoakCommand ParseCommand(int argc, char** argv);
const char* Usage();

// The command line that starts a worker of this program.
std::vector<std::string> WorkerArguments(const std::string& program, const WorkerOptions& worker);

}  // namespace soak
}  // namespace kestrel

#endif  // KESTREL_BENCH_SOAK_SOAK_OPTIONS_H_
