// What the process benchmarks' helpers share: the signal that starts a
// round, a helper's tie to the benchmark's life, and a bounded count read
// from the command line.

#ifndef KESTREL_BENCH_COMMON_HELPER_SIGNALS_H_
#define KESTREL_BENCH_COMMON_HELPER_SIGNALS_H_

#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdlib>

namespace kestrel {
namespace bench {

// SIGUSR1, blocked in every thread, taken by sigwait only.
inline sigset_t StartSignal() {
  sigset_t start;
  sigemptyset(&start);
  sigaddset(&start, SIGUSR1);
  return start;
}

// A helper must not outlive the bench, whichever way the bench ends.
inline bool DieWithParent() {
  return ::prctl(PR_SET_PDEATHSIG, SIGKILL) == 0 && ::getppid() != 1;
}

// A whole number in [low, high], and nothing else.
inline bool ParseCount(const char* text, long low, long high, long* value) {
  char* end = nullptr;
  long parsed = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || parsed < low || parsed > high) return false;
  *value = parsed;
  return true;
}

}  // namespace bench
}  // namespace kestrel

#endif  // KESTREL_BENCH_COMMON_HELPER_SIGNALS_H_
