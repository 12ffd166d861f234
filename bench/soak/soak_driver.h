// The soak's driver: runs kestrel-channeld and the worker processes, stops
// and restarts the service on schedule, samples every process's memory and
// threads each second, and at the end audits the records (DeliveryAudit)
// and writes the report.
//
// Timeline: service up; consumers connect; suppliers connect; the
// suppliers are told to go (SIGUSR1), all at once; "start" sample; for
// --seconds the service is stopped every --restart-every seconds (SIGTERM
// and SIGKILL in turn) and started again --down-ms later, or never with
// --restart-every 0; then it stays up for --settle seconds, long enough for
// every consumer to be receiving again; "end" sample; the suppliers stop;
// after --drain seconds the consumers stop; the service stops.
//
// Everything goes to the output folder: registry.reg (the library's broker
// settings for the workers), supplier-N.records, consumer-N.records,
// service.records, resources.csv, runs.txt (per run: when each consumer
// was receiving again), report.txt, and with --state-dir the service's
// state directory, channeld-state.XXXXXX, new for each soak and the same
// for all its runs. The report also goes to stdout; progress and
// complaints go to stderr.

#ifndef KESTREL_BENCH_SOAK_SOAK_DRIVER_H_
#define KESTREL_BENCH_SOAK_SOAK_DRIVER_H_

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bench/soak/child_process.h"
#include "bench/soak/delivery_audit.h"
#include "bench/soak/process_sample.h"
#include "bench/soak/service_process.h"
#include "bench/soak/soak_options.h"

namespace kestrel {
namespace soak {

class SoakDriver {
 public:
  SoakDriver(DriverOptions options, std::string program);

  // Answers the exit status: 0 every check passed, 1 a check failed, 3 the
  // soak could not be set up.
  int Run();

  // Audits the records of a finished soak in options.outputFolder again,
  // with options' allowances, and writes the delivery report on stdout.
  // Answers the exit status as Run does.
  static int AuditFolder(const DriverOptions& options);

 private:
  struct Worker {
    WorkerOptions options;
    std::string name;
    ChildProcess process;
    pid_t pid = -1;
    std::vector<ProcessSample> samples;
    size_t startSample = 0;  // index of the "start" sample
    size_t endSample = 0;    // index of the "end" sample
    bool stopping = false;
    int exitStatus = -1;
    int64_t endedNs = 0;
    bool endedEarly = false;
    bool hung = false;
  };
  struct ServiceSample {
    size_t run;
    ProcessSample sample;
  };

  bool Prepare();
  ServiceSettings Settings() const;
  // What every run of the service gets besides the soak's own arguments.
  std::vector<std::string> ServiceArguments() const;
  bool WriteRegistry(const std::string& path) const;
  bool StartWorkers(WorkerOptions::Role role, uint32_t count);
  // Restarts (when restarting) and samples until deadline; false when the
  // service could not be started again.
  bool Soak(int64_t deadline, bool restarting);
  bool RestartService();
  void SampleAll();
  void SampleService();
  void CheckWorkers();
  void StopWorkers(WorkerOptions::Role role);
  int64_t RecoveryBoundNs() const;
  static int64_t RecoveryBoundNs(const DriverOptions& options);
  // Reads the records in options.outputFolder; false (with the reasons in
  // problems) when one is missing or malformed.
  static bool LoadAuditInput(const DriverOptions& options, AuditInput* input, std::vector<std::string>* problems);
  bool Report(bool serviceHealthy);
  void WriteResources(std::FILE* out) const;
  bool WriteSamples(const std::string& path) const;
  void WriteHeader(std::FILE* out) const;
  std::string Path(const std::string& name) const { return options_.outputFolder + "/" + name; }

  DriverOptions options_;
  const std::string program_;
  std::unique_ptr<ServiceProcess> service_;
  std::vector<std::unique_ptr<Worker>> workers_;
  std::vector<ServiceSample> serviceSamples_;
  int nextSignal_;
  int64_t originNs_ = 0;
  int64_t consumersLeavingNs_ = 0;
  // From the first spawn to the last "ready", by role.
  int64_t consumersStartupNs_ = 0;
  int64_t suppliersStartupNs_ = 0;
  std::vector<std::string> problems_;  // besides the audit's
};

}  // namespace soak
}  // namespace kestrel

#endif  // KESTREL_BENCH_SOAK_SOAK_DRIVER_H_
