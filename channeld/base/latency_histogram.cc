#include "channeld/base/latency_histogram.h"

#include <algorithm>

namespace kestrel {
namespace channeld {

// A disk's sync takes from well under a millisecond (a cache that the
// device keeps safe) to tens of milliseconds (a spinning disk) and, when
// something is wrong, a second or more.
const std::array<std::uint64_t, LatencyHistogram::kBounds> LatencyHistogram::kBoundNanoseconds =
    {500000,   1000000,   2500000,   5000000,   10000000,  25000000,
     50000000, 100000000, 250000000, 500000000, 1000000000};

std::uint64_t LatencyHistogram::Snapshot::count() const {
  std::uint64_t total = 0;
  for (std::uint64_t bucket : counts) total += bucket;
  return total;
}

void LatencyHistogram::Record(std::chrono::steady_clock::duration duration) {
  auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(duration).count();
  std::uint64_t taken = nanoseconds > 0 ? static_cast<std::uint64_t>(nanoseconds) : 0;
  std::size_t bucket = static_cast<std::size_t>(
      std::lower_bound(kBoundNanoseconds.begin(), kBoundNanoseconds.end(), taken) -
      kBoundNanoseconds.begin());
  counts_[bucket].fetch_add(1, std::memory_order_relaxed);
  sumNanoseconds_.fetch_add(taken, std::memory_order_relaxed);
}

LatencyHistogram::Snapshot LatencyHistogram::snapshot() const {
  Snapshot snapshot;
  for (std::size_t i = 0; i < counts_.size(); ++i) {
    snapshot.counts[i] = counts_[i].load(std::memory_order_relaxed);
  }
  snapshot.sumNanoseconds = sumNanoseconds_.load(std::memory_order_relaxed);
  return snapshot;
}

std::uint64_t LatencyHistogram::count() const { return snapshot().count(); }

}  // namespace channeld
}  // namespace kestrel
