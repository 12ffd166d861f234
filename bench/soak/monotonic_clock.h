// The one clock of the soak. CLOCK_MONOTONIC is shared by every process on
// the machine, so the times that the driver, the suppliers and the
// consumers write down can be compared with each other.

#ifndef KESTREL_BENCH_SOAK_MONOTONIC_CLOCK_H_
#define KESTREL_BENCH_SOAK_MONOTONIC_CLOCK_H_

#include <time.h>

#include <cstdint>

namespace kestrel {
namespace soak {

inline int64_t NowNs() {
  timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

constexpr int64_t kNsPerMs = 1000000;
constexpr int64_t kNsPerSecond = 1000000000;

}  // namespace soak
}  // namespace kestrel

#endif  // KESTREL_BENCH_SOAK_MONOTONIC_CLOCK_H_
