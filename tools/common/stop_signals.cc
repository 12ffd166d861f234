#include "tools/common/stop_signals.h"

#include <pthread.h>
#include <signal.h>

#include <utility>

namespace kestrel {
namespace tools {

namespace {

sigset_t WatchedSet(bool reportSignal) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  if (reportSignal) sigaddset(&set, SIGUSR1);
  return set;
}

}  // namespace

const char* const StopSignals::kEndRequests = "SIGINT or SIGTERM";

void StopSignals::BlockInProcess(bool reportSignal) {
  sigset_t set = WatchedSet(reportSignal);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

StopSignals::StopSignals(std::function<void()> onReport)
    : onReport_(std::move(onReport)), watcher_([this] { WatchSignals(); }) {
  listening_.store(this);
}

StopSignals::~StopSignals() {
  listening_.store(nullptr);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ending_ = true;
  }
  // Directed at the watcher alone, this wakes its sigwait without touching
  // the rest of the process.
  pthread_kill(watcher_.native_handle(), SIGTERM);
  watcher_.join();
}

void StopSignals::WatchSignals() {
  sigset_t set = WatchedSet(onReport_ != nullptr);
  for (;;) {
    int signal = 0;
    if (sigwait(&set, &signal) != 0) continue;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (ending_) return;
    }
    if (signal == SIGUSR1) {
      onReport_();
      continue;
    }
    Request(signal == SIGINT ? "SIGINT" : "SIGTERM");
  }
}

}  // namespace tools
}  // namespace kestrel
