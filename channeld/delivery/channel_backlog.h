// The events queued for all the consumers of one channel together, held
// against the channel's MaxQueueLength. Every consumer queue of the channel
// counts what it adds and what leaves it. Lock-free: it is touched on every
// push and every delivery.

#ifndef KESTREL_CHANNELD_DELIVERY_CHANNEL_BACKLOG_H_
#define KESTREL_CHANNELD_DELIVERY_CHANNEL_BACKLOG_H_

#include <atomic>
#include <cstddef>

namespace kestrel {
namespace channeld {

class ChannelBacklog {
 public:
  ChannelBacklog() : queued_(&own_) {}
  ChannelBacklog(const ChannelBacklog&) = delete;
  ChannelBacklog& operator=(const ChannelBacklog&) = delete;

  // Counts in counter from now on, which must outlive the backlog: one in
  // memory that a crash of the process does not lose (see StateStore).
  void CountIn(std::atomic<std::size_t>* counter) {
    counter->store(queued_->load(std::memory_order_relaxed), std::memory_order_relaxed);
    queued_ = counter;
  }

  void Added(std::size_t events) { queued_->fetch_add(events, std::memory_order_relaxed); }
  void Removed(std::size_t events) { queued_->fetch_sub(events, std::memory_order_relaxed); }

  // 0: no bound.
  void SetLimit(std::size_t limit) { limit_.store(limit, std::memory_order_relaxed); }

  bool full() const {
    std::size_t limit = limit_.load(std::memory_order_relaxed);
    return limit != 0 && queued_->load(std::memory_order_relaxed) >= limit;
  }
  std::size_t queued() const { return queued_->load(std::memory_order_relaxed); }

 private:
  std::atomic<std::size_t> own_{0};
  std::atomic<std::size_t>* queued_;
  std::atomic<std::size_t> limit_{0};
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_DELIVERY_CHANNEL_BACKLOG_H_
