#include "tools/common/stop_signals.h"

#include <pthread.h>
#include <signal.h>

namespace kestrel {
namespace tools {

namespace {

sigset_t StopSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

void StopSignals::BlockInProcess() {
  sigset_t set = StopSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

StopSignals::StopSignals() : watcher_([this] { WatchSignals(); }) {}

StopSignals::~StopSignals() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ending_ = true;
  }
  // Directed at the watcher alone, this wakes its sigwait without touching
  // the rest of the process.
  pthread_kill(watcher_.native_handle(), SIGTERM);
  watcher_.join();
}

StopSignals::Stop StopSignals::Wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  requested_.wait(lock, [this] { return isRequested_; });
  return stop_;
}

void StopSignals::Request(const std::string& reason, int exitStatus) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (isRequested_) return;
  isRequested_ = true;
  stop_.reason = reason.empty() ? "request" : reason;
  stop_.exitStatus = exitStatus;
  requested_.notify_all();
}

void StopSignals::WatchSignals() {
  sigset_t set = StopSet();
  for (;;) {
    int signal = 0;
    if (sigwait(&set, &signal) != 0) continue;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (ending_) return;
    }
    Request(signal == SIGINT ? "SIGINT" : "SIGTERM");
  }
}

}  // namespace tools
}  // namespace kestrel
