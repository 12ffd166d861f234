#include "tools/listen/stop_request.h"

#include <pthread.h>
#include <signal.h>

namespace kestrel {
namespace tools {

namespace {

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

void StopRequest::BlockInProcess() {
  sigset_t set = StopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

StopRequest::StopRequest() : watcher_([this] { WatchSignals(); }) {}

StopRequest::~StopRequest() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ending_ = true;
  }
  // Directed at the watcher alone, this wakes its sigwait without touching
  // the rest of the process.
  pthread_kill(watcher_.native_handle(), SIGTERM);
  watcher_.join();
}

int StopRequest::Wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  requested_.wait(lock, [this] { return isRequested_; });
  return exitStatus_;
}

void StopRequest::Request(int exitStatus) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (isRequested_) return;
  isRequested_ = true;
  exitStatus_ = exitStatus;
  requested_.notify_all();
}

void StopRequest::WatchSignals() {
  sigset_t set = StopSignals();
  for (;;) {
    int signal = 0;
    if (sigwait(&set, &signal) != 0) continue;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (ending_) return;
    }
    // Asked to stop is the normal end of a listener without --count.
    Request(0);
  }
}

}  // namespace tools
}  // namespace kestrel
