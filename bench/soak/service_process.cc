#include "bench/soak/service_process.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "bench/soak/monotonic_clock.h"

namespace kestrel {
namespace soak {

namespace {

constexpr int kStartTimeoutMs = 10000;
constexpr int kStopTimeoutMs = 10000;
constexpr int64_t kPortRetryNs = 5 * kNsPerSecond;

// "corbaloc:iiop:127.0.0.1:PORT/KEY" -> PORT, or 0.
int PortOf(const std::string& address) {
  size_t slash = address.rfind('/');
  size_t colon = address.rfind(':', slash);
  if (slash == std::string::npos || colon == std::string::npos) return 0;
  return std::atoi(address.substr(colon + 1, slash - colon - 1).c_str());
}

}  // namespace

ServiceProcess::ServiceProcess(std::string program, std::vector<std::string> environment,
                               std::vector<std::string> arguments)
    : program_(std::move(program)), environment_(std::move(environment)), arguments_(std::move(arguments)) {}

ServiceProcess::~ServiceProcess() {
  process_.Kill();
  JoinReader();
}

bool ServiceProcess::Start() {
  int64_t deadline = NowNs() + kPortRetryNs;
  for (;;) {
    Attempt attempt = StartOnce();
    if (attempt == Attempt::kUp) return true;
    if (attempt == Attempt::kFailed || NowNs() >= deadline) return false;
    ::usleep(100000);
  }
}

ServiceProcess::Attempt ServiceProcess::StartOnce() {
  JoinReader();
  std::vector<std::string> arguments = {program_, "--listen", "127.0.0.1", "--port",
                                        std::to_string(port_), "--verbose"};
  arguments.insert(arguments.end(), arguments_.begin(), arguments_.end());
  ServiceRun run;
  run.spawnedNs = NowNs();
  if (!process_.Spawn(arguments, true, environment_)) {
    std::fprintf(stderr, "kestrel_soak: cannot run %s\n", program_.c_str());
    return Attempt::kFailed;
  }
  reader_ = std::thread(&ServiceProcess::ReadStderr, this, process_.stderrFd(), runs_.size());
  std::string address;
  if (process_.ReadLine(&address, kStartTimeoutMs) && PortOf(address) > 0) {
    run.upNs = NowNs();
    if (port_ == 0) port_ = PortOf(address);
    runs_.push_back(run);
    return Attempt::kUp;
  }
  if (!process_.WaitForExit(2000)) {
    std::fprintf(stderr, "kestrel_soak: %s printed no address within %d ms\n", program_.c_str(),
                 kStartTimeoutMs);
    process_.Kill();
    return Attempt::kFailed;
  }
  // 1 is channeld's "cannot listen": the previous run may hold the port still.
  return process_.exitStatus() == 1 && port_ != 0 ? Attempt::kPortBusy : Attempt::kFailed;
}

void ServiceProcess::Stop(int signal) {
  if (runs_.empty() || !process_.Running()) {
    JoinReader();
    return;
  }
  ServiceRun& run = runs_.back();
  run.signal = signal;
  run.stopNs = NowNs();
  process_.Signal(signal);
  if (!process_.WaitForExit(kStopTimeoutMs)) {
    std::fprintf(stderr, "kestrel_soak: kestrel-channeld still runs %d ms after signal %d; killing it\n",
                 kStopTimeoutMs, signal);
    process_.Kill();
  }
  run.goneNs = process_.reapedNs();
  run.exitStatus = process_.exitStatus();
  JoinReader();
}

void ServiceProcess::ReadStderr(int fd, size_t run) {
  std::string pending;
  char buffer[4096];
  for (;;) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    int64_t now = NowNs();
    pending.append(buffer, static_cast<size_t>(got));
    size_t newline;
    while ((newline = pending.find('\n')) != std::string::npos) {
      std::lock_guard<std::mutex> lock(linesMutex_);
      lines_.push_back(ServiceLogLine{now, run, pending.substr(0, newline)});
      pending.erase(0, newline + 1);
    }
  }
  if (!pending.empty()) {
    std::lock_guard<std::mutex> lock(linesMutex_);
    lines_.push_back(ServiceLogLine{NowNs(), run, pending});
  }
}

void ServiceProcess::JoinReader() {
  if (reader_.joinable()) reader_.join();
}

}  // namespace soak
}  // namespace kestrel
