// How long something took, counted into fixed buckets from half a
// millisecond to a second, for the metrics page (a Prometheus histogram).
// Lock-free: a thread that records a duration makes two atomic additions
// and never waits, so it can sit on a path that many threads share.
//
// A snapshot reads the buckets one after another while others may still
// record, so its sum may hold a duration that its buckets do not, or the
// reverse; from one snapshot to the next, no bucket ever goes down.

#ifndef KESTREL_CHANNELD_BASE_LATENCY_HISTOGRAM_H_
#define KESTREL_CHANNELD_BASE_LATENCY_HISTOGRAM_H_

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace kestrel {
namespace channeld {

class LatencyHistogram {
 public:
  // The buckets' upper bounds, inclusive, in nanoseconds, and how many there
  // are; one bucket more takes what is longer than the last.
  static constexpr std::size_t kBounds = 11;
  static const std::array<std::uint64_t, kBounds> kBoundNanoseconds;

  struct Snapshot {
    // counts[i]: durations within kBoundNanoseconds[i] and above the bound
    // before; counts[kBounds]: longer than every bound. Not cumulative.
    std::array<std::uint64_t, kBounds + 1> counts{};
    std::uint64_t sumNanoseconds = 0;
    std::uint64_t count() const;
  };

  LatencyHistogram() = default;
  LatencyHistogram(const LatencyHistogram&) = delete;
  LatencyHistogram& operator=(const LatencyHistogram&) = delete;

  void Record(std::chrono::steady_clock::duration duration);

  Snapshot snapshot() const;
  // Durations recorded so far.
  std::uint64_t count() const;

 private:
  std::array<std::atomic<std::uint64_t>, kBounds + 1> counts_{};
  std::atomic<std::uint64_t> sumNanoseconds_{0};
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_BASE_LATENCY_HISTOGRAM_H_
