#include "tools/channeld/shutdown_signals.h"

#include <pthread.h>
#include <signal.h>

namespace kestrel {
namespace channeld {

namespace {

sigset_t ShutdownSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

}  // namespace

void ShutdownSignals::BlockInProcess() {
  sigset_t set = ShutdownSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

ShutdownSignals::ShutdownSignals() : watcher_([this] { Watch(); }) {}

ShutdownSignals::~ShutdownSignals() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  // A signal for the watcher thread alone wakes its sigwait.
  pthread_kill(watcher_.native_handle(), SIGTERM);
  watcher_.join();
}

std::string ShutdownSignals::Wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  requested_.wait(lock, [this] { return !reason_.empty(); });
  return reason_;
}

void ShutdownSignals::Request(const std::string& reason) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!reason_.empty()) return;
  reason_ = reason.empty() ? "request" : reason;
  requested_.notify_all();
}

void ShutdownSignals::Watch() {
  sigset_t set = ShutdownSet();
  for (;;) {
    int signal = 0;
    if (sigwait(&set, &signal) != 0) continue;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return;
    }
    Request(signal == SIGINT ? "SIGINT" : "SIGTERM");
  }
}

}  // namespace channeld
}  // namespace kestrel
