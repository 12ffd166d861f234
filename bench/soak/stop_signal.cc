#include "bench/soak/stop_signal.h"

#include <signal.h>

#include <cerrno>

#include "bench/soak/monotonic_clock.h"

namespace kestrel {
namespace soak {

namespace {

sigset_t StopSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

// Blocked from the start, so that a go that comes before the worker waits
// for it is kept pending rather than ending the process.
sigset_t BlockedSet() {
  sigset_t set = StopSet();
  sigaddset(&set, SIGUSR1);
  return set;
}

}  // namespace

void StopSignal::BlockInProcess() {
  sigset_t set = BlockedSet();
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool StopSignal::Wait(int64_t timeoutNs) {
  if (stopped_) return true;
  sigset_t set = StopSet();
  int64_t deadline = NowNs() + (timeoutNs > 0 ? timeoutNs : 0);
  for (;;) {
    int64_t left = deadline - NowNs();
    if (left < 0) left = 0;
    timespec wait = {static_cast<time_t>(left / kNsPerSecond), static_cast<long>(left % kNsPerSecond)};
    int signal = ::sigtimedwait(&set, nullptr, &wait);
    if (signal > 0) return stopped_ = true;
    if (errno != EINTR) return false;
  }
}

void StopSignal::WaitForever() {
  sigset_t set = StopSet();
  int signal = 0;
  while (!stopped_) {
    if (::sigwait(&set, &signal) == 0) stopped_ = true;
  }
}

bool StopSignal::WaitForGo() {
  sigset_t set = BlockedSet();
  int signal = 0;
  while (!stopped_) {
    if (::sigwait(&set, &signal) != 0) continue;
    if (signal == SIGUSR1) return true;
    stopped_ = true;
  }
  return false;
}

}  // namespace soak
}  // namespace kestrel
