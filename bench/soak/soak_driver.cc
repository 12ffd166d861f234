#include "bench/soak/soak_driver.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>

#include "bench/soak/delivery_audit.h"
#include "bench/soak/monotonic_clock.h"
#include "bench/soak/soak_records.h"

namespace kestrel {
namespace soak {

namespace {

constexpr int kReadyTimeoutMs = 40000;
constexpr int kWorkerStopTimeoutMs = 15000;
constexpr int64_t kSampleEveryNs = kNsPerSecond;
// The library's reconnection: first attempt 2 s after the drop, then every 2 s.
constexpr int64_t kReconnectIntervalNs = 2 * kNsPerSecond;

void SleepUntil(int64_t deadline) {
  int64_t left = deadline - NowNs();
  if (left > 0) ::usleep(static_cast<useconds_t>(left / 1000));
}

const char* SignalName(int signal) { return signal == SIGKILL ? "SIGKILL" : "SIGTERM"; }

bool FileExists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

}  // namespace

bool SoakDriver::LoadAuditInput(const DriverOptions& options, AuditInput* input,
                                std::vector<std::string>* problems) {
  const std::string& folder = options.outputFolder;
  input->inFlightNs = static_cast<int64_t>(options.inFlightMs) * kNsPerMs;
  input->recoveryBoundNs = RecoveryBoundNs(options);
  if (!ReadServiceRecords(folder + "/service.records", &input->service, &input->runs, &input->serviceLog,
                          &input->consumersLeavingNs)) {
    problems->push_back("cannot read " + folder + "/service.records");
    return false;
  }
  input->originNs = input->runs.front().upNs;
  bool wellFormed = true;
  for (uint32_t id = 0;; ++id) {
    std::string path = folder + "/supplier-" + std::to_string(id) + ".records";
    if (!FileExists(path)) break;
    input->published.emplace_back();
    std::vector<PublishRecord>& records = input->published.back();
    size_t malformed = 0;
    ReadPublishRecords(path, &records, &malformed);
    // The audit finds a record by its sequence number.
    for (size_t n = 0; n < records.size(); ++n) {
      if (records[n].seq != n) ++malformed;
    }
    if (malformed > 0) {
      problems->push_back(path + ": " + std::to_string(malformed) + " malformed records");
      wellFormed = false;
    }
  }
  for (uint32_t id = 0;; ++id) {
    std::string path = folder + "/consumer-" + std::to_string(id) + ".records";
    if (!FileExists(path)) break;
    input->received.emplace_back();
    size_t malformed = 0;
    ReadReceiptRecords(path, &input->received.back(), &malformed);
    if (malformed > 0) {
      problems->push_back(path + ": " + std::to_string(malformed) + " malformed records");
      wellFormed = false;
    }
  }
  input->consumers = static_cast<uint32_t>(input->received.size());
  return wellFormed;
}

int SoakDriver::AuditFolder(const DriverOptions& options) {
  AuditInput input;
  std::vector<std::string> problems;
  bool read = LoadAuditInput(options, &input, &problems);
  for (const std::string& problem : problems) std::fprintf(stderr, "kestrel_soak: %s\n", problem.c_str());
  if (!read) return 3;
  DeliveryAudit audit(input);
  audit.Run();
  audit.WriteReport(stdout);
  return audit.passed() ? 0 : 1;
}

SoakDriver::SoakDriver(DriverOptions options, std::string program)
    : options_(std::move(options)), program_(std::move(program)), nextSignal_(SIGTERM) {}

int64_t SoakDriver::RecoveryBoundNs() const { return RecoveryBoundNs(options_); }

int64_t SoakDriver::RecoveryBoundNs(const DriverOptions& options) {
  // Noticing a silent death takes up to one liveness interval (plus a call
  // that may time out), then one reconnection interval, and one more
  // interval when the first attempt still found the service down; 2 s of
  // margin for a loaded machine.
  return static_cast<int64_t>(options.livenessSeconds) * kNsPerSecond +
         static_cast<int64_t>(options.callTimeoutMs) * kNsPerMs + 2 * kReconnectIntervalNs +
         2 * kNsPerSecond;
}

bool SoakDriver::Prepare() {
  if (options_.outputFolder.empty()) {
    char folder[] = "/tmp/kestrel-soak.XXXXXX";
    if (::mkdtemp(folder) == nullptr) return false;
    options_.outputFolder = folder;
  } else if (::mkdir(options_.outputFolder.c_str(), 0755) != 0 && errno != EEXIST) {
    return false;
  }
  if (options_.channeld.empty()) options_.channeld = std::string(KESTREL_BIN_DIR) + "/kestrel-channeld";
  if (options_.stateDir) {
    // A new folder, so that no state of an earlier soak comes back.
    std::string folder = Path("channeld-state.XXXXXX");
    if (::mkdtemp(&folder[0]) == nullptr) return false;
    options_.stateFolder = folder;
  }
  if (options_.settleSeconds == 0 && options_.restartEverySeconds > 0) {
    options_.settleSeconds = static_cast<uint32_t>(RecoveryBoundNs() / kNsPerSecond) + 2;
  }
  std::string registry = Path("registry.reg");
  if (!WriteRegistry(registry)) return false;
  // Inherited by every worker (and by the service, which ignores both).
  ::setenv("KESTREL_REGISTRY", registry.c_str(), 1);
  ::setenv("ORBendPoint", "giop:tcp:127.0.0.1:", 1);
  return true;
}

bool SoakDriver::WriteRegistry(const std::string& path) const {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) return false;
  std::fprintf(file,
               "REGEDIT4\n\n"
               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarnwell Networks\\Common]\n"
               "\"ConsumerLivenessInterval\"=dword:%08x\n"
               "\"CallTimeout\"=dword:%08x\n",
               options_.livenessSeconds, options_.callTimeoutMs);
  return std::fclose(file) == 0;
}

int SoakDriver::Run() {
  if (!Prepare()) {
    std::fprintf(stderr, "kestrel_soak: cannot prepare the output folder %s\n", options_.outputFolder.c_str());
    return 3;
  }
  std::fprintf(stderr, "kestrel_soak: records in %s\n", options_.outputFolder.c_str());
  service_.reset(new ServiceProcess(options_.channeld, options_.channeldEnvironment, ServiceArguments()));
  if (!service_->Start()) return 3;
  originNs_ = service_->runs().front().upNs;
  if (!StartWorkers(WorkerOptions::Role::kConsumer, options_.consumers) ||
      !StartWorkers(WorkerOptions::Role::kSupplier, options_.suppliers)) {
    return 3;
  }
  std::fprintf(stderr,
               "kestrel_soak: %u suppliers and %u consumers running on port %d (connected in %.1f s and %.1f s)\n",
               options_.suppliers, options_.consumers, service_->port(),
               static_cast<double>(suppliersStartupNs_) / kNsPerSecond,
               static_cast<double>(consumersStartupNs_) / kNsPerSecond);
  for (auto& worker : workers_) {
    if (worker->options.role == WorkerOptions::Role::kSupplier) worker->process.Signal(SIGUSR1);
  }
  SampleAll();
  for (auto& worker : workers_) worker->startSample = worker->samples.size() - 1;

  int64_t start = NowNs();
  bool serviceHealthy = Soak(start + static_cast<int64_t>(options_.seconds) * kNsPerSecond,
                             options_.restartEverySeconds > 0) &&
                        Soak(NowNs() + static_cast<int64_t>(options_.settleSeconds) * kNsPerSecond, false);
  SampleAll();
  for (auto& worker : workers_) {
    worker->endSample = worker->samples.empty() ? 0 : worker->samples.size() - 1;
  }
  StopWorkers(WorkerOptions::Role::kSupplier);
  SleepUntil(NowNs() + static_cast<int64_t>(options_.drainSeconds) * kNsPerSecond);
  consumersLeavingNs_ = NowNs();
  StopWorkers(WorkerOptions::Role::kConsumer);
  SampleService();
  service_->Stop(SIGTERM);
  return Report(serviceHealthy) ? 0 : 1;
}

ServiceSettings SoakDriver::Settings() const {
  ServiceSettings settings;
  settings.stateFolder = options_.stateFolder;
  settings.eventReliability = options_.eventReliability;
  return settings;
}

std::vector<std::string> SoakDriver::ServiceArguments() const {
  std::vector<std::string> arguments;
  if (!options_.stateFolder.empty()) arguments = {"--state-dir", options_.stateFolder};
  if (!options_.eventReliability.empty()) {
    arguments.insert(arguments.end(), {"--event-reliability", options_.eventReliability});
  }
  return arguments;
}

bool SoakDriver::StartWorkers(WorkerOptions::Role role, uint32_t count) {
  bool supplier = role == WorkerOptions::Role::kSupplier;
  size_t first = workers_.size();
  int64_t spawning = NowNs();
  for (uint32_t id = 0; id < count; ++id) {
    auto worker = std::make_unique<Worker>();
    worker->options.role = role;
    worker->options.id = id;
    worker->options.port = static_cast<uint32_t>(service_->port());
    worker->options.rate = options_.rate;
    worker->options.threads = options_.consumerThreads;
    worker->name = std::string(supplier ? "supplier " : "consumer ") + std::to_string(id);
    worker->options.records = Path(std::string(supplier ? "supplier-" : "consumer-") + std::to_string(id) +
                                   ".records");
    if (!worker->process.Spawn(WorkerArguments(program_, worker->options), false)) {
      std::fprintf(stderr, "kestrel_soak: cannot start %s\n", worker->name.c_str());
      return false;
    }
    worker->pid = worker->process.pid();
    workers_.push_back(std::move(worker));
  }
  for (size_t i = first; i < workers_.size(); ++i) {
    std::string line;
    if (!workers_[i]->process.ReadLine(&line, kReadyTimeoutMs) || line != "ready") {
      std::fprintf(stderr, "kestrel_soak: %s did not get connected\n", workers_[i]->name.c_str());
      return false;
    }
  }
  (supplier ? suppliersStartupNs_ : consumersStartupNs_) = NowNs() - spawning;
  return true;
}

bool SoakDriver::Soak(int64_t deadline, bool restarting) {
  int64_t nextRestart = NowNs() + static_cast<int64_t>(options_.restartEverySeconds) * kNsPerSecond;
  int64_t nextSample = NowNs() + kSampleEveryNs;
  for (;;) {
    int64_t now = NowNs();
    if (now >= deadline) return true;
    if (restarting && now >= nextRestart) {
      if (!RestartService()) return false;
      nextRestart += static_cast<int64_t>(options_.restartEverySeconds) * kNsPerSecond;
      if (nextRestart < NowNs()) nextRestart = NowNs();
      continue;
    }
    if (now >= nextSample) {
      SampleAll();
      CheckWorkers();
      nextSample += kSampleEveryNs;
      continue;
    }
    SleepUntil(std::min({deadline, nextSample, restarting ? nextRestart : deadline}));
  }
}

bool SoakDriver::RestartService() {
  SampleService();
  int signal = nextSignal_;
  nextSignal_ = signal == SIGTERM ? SIGKILL : SIGTERM;
  service_->Stop(signal);
  SleepUntil(NowNs() + static_cast<int64_t>(options_.downMs) * kNsPerMs);
  if (service_->Start()) return true;
  problems_.push_back("kestrel-channeld could not be started again after run " +
                      std::to_string(service_->runs().size() - 1) + " (" + SignalName(signal) + ")");
  std::fprintf(stderr, "kestrel_soak: %s\n", problems_.back().c_str());
  return false;
}

void SoakDriver::SampleService() {
  ProcessSample sample;
  if (service_->running() && SampleProcess(service_->pid(), &sample)) {
    serviceSamples_.push_back(ServiceSample{service_->runs().size() - 1, sample});
  }
}

void SoakDriver::SampleAll() {
  for (auto& worker : workers_) {
    ProcessSample sample;
    if (worker->process.Running() && SampleProcess(worker->pid, &sample)) worker->samples.push_back(sample);
  }
  SampleService();
}

void SoakDriver::CheckWorkers() {
  for (auto& worker : workers_) {
    if (worker->stopping || worker->endedEarly || worker->process.Running()) continue;
    worker->endedEarly = true;
    worker->exitStatus = worker->process.exitStatus();
    worker->endedNs = worker->process.reapedNs();
    problems_.push_back(worker->name + " ended on its own at " +
                        std::to_string(static_cast<double>(worker->endedNs - originNs_) / kNsPerSecond) +
                        " s with status " + std::to_string(worker->exitStatus));
    std::fprintf(stderr, "kestrel_soak: %s\n", problems_.back().c_str());
  }
}

void SoakDriver::StopWorkers(WorkerOptions::Role role) {
  CheckWorkers();
  for (auto& worker : workers_) {
    if (worker->options.role != role || worker->endedEarly) continue;
    worker->stopping = true;
    worker->process.Signal(SIGTERM);
  }
  for (auto& worker : workers_) {
    if (worker->options.role != role || worker->endedEarly) continue;
    if (!worker->process.WaitForExit(kWorkerStopTimeoutMs)) {
      worker->hung = true;
      problems_.push_back(worker->name + " did not end within " + std::to_string(kWorkerStopTimeoutMs) +
                          " ms of SIGTERM (killed)");
      std::fprintf(stderr, "kestrel_soak: %s\n", problems_.back().c_str());
      worker->process.Kill();
    }
    worker->exitStatus = worker->process.exitStatus();
    worker->endedNs = worker->process.reapedNs();
    if (!worker->hung && worker->exitStatus != 0) {
      problems_.push_back(worker->name + " ended with status " + std::to_string(worker->exitStatus));
    }
  }
}

bool SoakDriver::Report(bool serviceHealthy) {
  WriteServiceRecords(Path("service.records"), Settings(), service_->runs(), service_->logLines(),
                      consumersLeavingNs_);
  WriteSamples(Path("resources.csv"));
  AuditInput input;
  bool recordsRead = LoadAuditInput(options_, &input, &problems_);
  if (recordsRead && (input.published.size() != options_.suppliers || input.received.size() != options_.consumers)) {
    problems_.push_back("the output folder holds records of other workers");
    recordsRead = false;
  }
  bool passed = serviceHealthy && problems_.empty() && recordsRead;
  DeliveryAudit audit(input);
  if (recordsRead) {
    audit.Run();
    passed = passed && audit.passed();
  }

  if (recordsRead) {
    std::FILE* table = std::fopen(Path("runs.txt").c_str(), "w");
    if (table != nullptr) {
      audit.WriteRunTable(table);
      std::fclose(table);
    }
  }
  std::FILE* out = std::fopen(Path("report.txt").c_str(), "w");
  std::vector<std::FILE*> outputs = {stdout};
  if (out != nullptr) outputs.push_back(out);
  for (std::FILE* output : outputs) {
    WriteHeader(output);
    if (recordsRead) audit.WriteReport(output);
    WriteResources(output);
    std::fprintf(output, "\nprocesses:\n");
    for (const auto& worker : workers_) {
      std::fprintf(output, "  %s (pid %d): exit status %d%s%s\n", worker->name.c_str(), worker->pid,
                   worker->exitStatus, worker->endedEarly ? ", ended on its own" : "",
                   worker->hung ? ", hung at the end (killed)" : "");
    }
    for (const std::string& problem : problems_) std::fprintf(output, "  - %s\n", problem.c_str());
    std::fprintf(output, "\nsoak verdict: %s\n", passed ? "PASS" : "FAIL");
  }
  if (out != nullptr) std::fclose(out);
  return passed;
}

void SoakDriver::WriteHeader(std::FILE* out) const {
  std::fprintf(out, "Kestrel soak: %u s (+%u s settle), %u suppliers at %u events/s, %u consumers (%u thread%s), ",
               options_.seconds, options_.settleSeconds, options_.suppliers, options_.rate, options_.consumers,
               options_.consumerThreads, options_.consumerThreads == 1 ? "" : "s");
  if (options_.restartEverySeconds > 0) {
    std::fprintf(out, "service restarted every %u s, down %u ms each time, SIGTERM and SIGKILL in turn\n",
                 options_.restartEverySeconds, options_.downMs);
  } else {
    std::fprintf(out, "service never restarted\n");
  }
  for (const std::string& setting : options_.channeldEnvironment) {
    std::fprintf(out, "service environment: %s\n", setting.c_str());
  }
  if (options_.stateDir) {
    std::fprintf(out, "service state directory: %s (the same for every run, on port %d), event reliability %s\n",
                 options_.stateFolder.c_str(), service_ ? service_->port() : 0,
                 options_.eventReliability.empty() ? "best-effort (the service's default)"
                                                   : options_.eventReliability.c_str());
  }
  std::fprintf(out, "start-up: consumers connected %.1f s after the first was started, suppliers %.1f s\n",
               static_cast<double>(consumersStartupNs_) / kNsPerSecond,
               static_cast<double>(suppliersStartupNs_) / kNsPerSecond);
  std::string allowance = options_.stateDir ? std::string("none (state directory)")
                                            : std::to_string(options_.inFlightMs) + " ms";
  std::fprintf(out,
               "library settings: ConsumerLivenessInterval %u s, CallTimeout %u ms; in-flight allowance %s; "
               "recovery bound %.1f s\nrecords: %s\n\n",
               options_.livenessSeconds, options_.callTimeoutMs, allowance.c_str(),
               static_cast<double>(RecoveryBoundNs()) / kNsPerSecond, options_.outputFolder.c_str());
  if (!options_.stateDir) {
    std::fprintf(out,
                 "An S_OK event is required at a consumer when its Publish started after the consumer was\n"
                 "connected in that service run and returned more than the in-flight allowance before the\n"
                 "service was told to stop. Other S_OK events may be missing: those published before the\n"
                 "consumer had reconnected, and those still in the service when it was stopped. Duplicates\n"
                 "and reordering are failures whatever the event. (bench/soak/delivery_audit.h)\n\n");
  } else if (options_.eventReliability == "persistent") {
    std::fprintf(out,
                 "The service keeps its proxies and, persistent, every accepted event: every S_OK event is\n"
                 "required at every consumer, exactly once and in order, across SIGTERM and SIGKILL alike.\n"
                 "Only the push in flight at a SIGKILL may arrive twice, once per consumer and SIGKILL\n"
                 "(a repeat, counted). (bench/soak/delivery_audit.h)\n\n");
  } else {
    std::fprintf(out,
                 "The service keeps its proxies and, at a SIGTERM, its queued events: every S_OK event is\n"
                 "required at every consumer, exactly once and in order, except those answered by a run that\n"
                 "ended with SIGKILL, which may be missing (queued at the kill; counted per restart next to\n"
                 "the service's own count). The push in flight at a SIGKILL may arrive twice, once per\n"
                 "consumer and SIGKILL (a repeat, counted). (bench/soak/delivery_audit.h)\n\n");
  }
}

void SoakDriver::WriteResources(std::FILE* out) const {
  std::fprintf(out, "\nresources (VmRSS kB / threads), sampled every second:\n");
  std::fprintf(out, "  %-12s %8s %14s %14s %14s %16s\n", "process", "pid", "start", "end", "max",
               "RSS 2nd half");
  for (const auto& worker : workers_) {
    const std::vector<ProcessSample>& samples = worker->samples;
    if (samples.empty()) continue;
    const ProcessSample& start = samples[worker->startSample];
    const ProcessSample& end = samples[worker->endSample];
    const ProcessSample& middle = samples[(worker->startSample + worker->endSample) / 2];
    long maxRss = 0, maxThreads = 0;
    for (size_t i = worker->startSample; i <= worker->endSample && i < samples.size(); ++i) {
      maxRss = std::max(maxRss, samples[i].residentKb);
      maxThreads = std::max(maxThreads, samples[i].threads);
    }
    std::fprintf(out, "  %-12s %8d %8ld / %-3ld %8ld / %-3ld %8ld / %-3ld %+12ld kB\n", worker->name.c_str(),
                 worker->pid, start.residentKb, start.threads, end.residentKb, end.threads, maxRss, maxThreads,
                 end.residentKb - middle.residentKb);
  }
  if (!serviceSamples_.empty()) {
    long maxRss = 0, maxThreads = 0, peakRss = 0;
    int64_t cpuMs = 0, runCpuMs = 0;
    for (size_t i = 0; i < serviceSamples_.size(); ++i) {
      const ServiceSample& sample = serviceSamples_[i];
      maxRss = std::max(maxRss, sample.sample.residentKb);
      maxThreads = std::max(maxThreads, sample.sample.threads);
      peakRss = std::max(peakRss, sample.sample.peakResidentKb);
      // A run's processor time grows until the run ends; the runs add up.
      runCpuMs = std::max(runCpuMs, sample.sample.cpuMs);
      if (i + 1 == serviceSamples_.size() || serviceSamples_[i + 1].run != sample.run) {
        cpuMs += runCpuMs;
        runCpuMs = 0;
      }
    }
    const ProcessSample& first = serviceSamples_.front().sample;
    const ProcessSample& last = serviceSamples_.back().sample;
    std::fprintf(out, "  %-12s %8s %8ld / %-3ld %8ld / %-3ld %8ld / %-3ld   (first run's start, last run's end)\n",
                 "channeld", "-", first.residentKb, first.threads, last.residentKb, last.threads, maxRss,
                 maxThreads);
    std::fprintf(out, "  channeld peak VmHWM %ld kB, at most %ld threads in a sample, processor time %.1f s\n",
                 peakRss, maxThreads, static_cast<double>(cpuMs) / 1000);
  }
  std::fprintf(out, "  VmRSS by minute (kB):\n");
  for (const auto& worker : workers_) {
    std::fprintf(out, "    %-12s", worker->name.c_str());
    const std::vector<ProcessSample>& samples = worker->samples;
    int64_t nextMinute = 0;
    for (size_t i = worker->startSample; i < samples.size() && i <= worker->endSample; ++i) {
      int64_t since = samples[i].takenNs - samples[worker->startSample].takenNs;
      if (since < nextMinute && i != worker->endSample) continue;
      std::fprintf(out, " %ld", samples[i].residentKb);
      nextMinute = since + 60 * kNsPerSecond;
    }
    std::fprintf(out, "\n");
  }
}

bool SoakDriver::WriteSamples(const std::string& path) const {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) return false;
  std::fprintf(file, "seconds,process,pid,vmrss_kb,threads\n");
  for (const auto& worker : workers_) {
    for (const ProcessSample& sample : worker->samples) {
      std::fprintf(file, "%.3f,%s,%d,%ld,%ld\n", static_cast<double>(sample.takenNs - originNs_) / kNsPerSecond,
                   worker->name.c_str(), worker->pid, sample.residentKb, sample.threads);
    }
  }
  for (const ServiceSample& sample : serviceSamples_) {
    std::fprintf(file, "%.3f,channeld run %zu,-,%ld,%ld\n",
                 static_cast<double>(sample.sample.takenNs - originNs_) / kNsPerSecond, sample.run,
                 sample.sample.residentKb, sample.sample.threads);
  }
  return std::fclose(file) == 0;
}

}  // namespace soak
}  // namespace kestrel
