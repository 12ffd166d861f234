// kestrel-channeld as the soak runs it: on 127.0.0.1, on one port for all
// its runs (a free one found by the first run, then given as --port to
// every later run, since the object references that clients hold name the
// port), with the same extra arguments (e.g. --state-dir) for every run,
// and with --verbose, so that
// every proxy it connects or loses is a line on its stderr. A thread per run
// reads those lines and stamps each with the time it was read: a line's
// stamp is never earlier than the event it reports. tests/support's
// ChannelService would serve for the rest, but leaves the service's stderr
// to the process.
//
// Start and Stop from one thread (the driver's main thread).

#ifndef KESTREL_BENCH_SOAK_SERVICE_PROCESS_H_
#define KESTREL_BENCH_SOAK_SERVICE_PROCESS_H_

#include <sys/types.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/soak/child_process.h"
#include "bench/soak/soak_records.h"

namespace kestrel {
namespace soak {

class ServiceProcess {
 public:
  // environment: NAME=VALUE settings for the service's runs alone;
  // arguments: added to the command line of every run.
  ServiceProcess(std::string program, std::vector<std::string> environment,
                 std::vector<std::string> arguments = {});
  ~ServiceProcess();  // kills a run still going
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  // Starts a run and waits (up to 10 s) for its address line. While the
  // previous run's port is still held (exit status 1) it tries again for
  // up to 5 s. False when no run could be started; the reason is on stderr.
  bool Start();

  // Sends signal and waits for the end (SIGKILL after 10 s).
  void Stop(int signal);

  bool running() { return process_.Running(); }
  pid_t pid() const { return process_.pid(); }
  int port() const { return port_; }
  const std::vector<ServiceRun>& runs() const { return runs_; }
  // Every stderr line so far. REQUIRES: no run going (the readers are done).
  const std::vector<ServiceLogLine>& logLines() const { return lines_; }

 private:
  enum class Attempt { kUp, kPortBusy, kFailed };

  Attempt StartOnce();
  void ReadStderr(int fd, size_t run);
  void JoinReader();

  const std::string program_;
  const std::vector<std::string> environment_;
  const std::vector<std::string> arguments_;
  int port_ = 0;
  ChildProcess process_;
  std::thread reader_;
  std::vector<ServiceRun> runs_;
  std::mutex linesMutex_;
  std::vector<ServiceLogLine> lines_;
};

}  // namespace soak
}  // namespace kestrel

#endif  // KESTREL_BENCH_SOAK_SERVICE_PROCESS_H_
