// The bounded queue of events waiting for one consumer. Suppliers' threads
// put events in, the consumer's delivery thread takes them out. A full queue
// discards its oldest event to make room.
//
// While events stream in (each one arriving within kSpin of the consumer
// asking for it), Pop waits for the next one by yielding the processor for up
// to kSpin before it sleeps: waking a sleeping thread costs more than the
// wait, and much more on virtual machines. A consumer that finds its queue
// empty for longer than that sleeps at once the next time: when a stream
// stops, its consumer spins once, and a quiet channel spins not at all.

#ifndef KESTREL_TOOLS_CHANNELD_DELIVERY_QUEUE_H_
#define KESTREL_TOOLS_CHANNELD_DELIVERY_QUEUE_H_

#include <COS/CosNotification.hh>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

namespace kestrel {
namespace channeld {

// One event as the channel received it, shared by every queue it goes to.
// Marshalling a const event from several threads at once is safe.
using EventPtr = std::shared_ptr<const CosNotification::StructuredEvent>;

class DeliveryQueue {
 public:
  static constexpr std::chrono::microseconds kSpin{50};

  explicit DeliveryQueue(std::size_t capacity);
  DeliveryQueue(const DeliveryQueue&) = delete;
  DeliveryQueue& operator=(const DeliveryQueue&) = delete;

  // Appends event, first discarding the oldest one when the queue is full.
  // False, and nothing queued, once the queue is closed.
  bool Push(EventPtr event);

  // Waits for an event while the queue is open and not paused. False once
  // the queue is closed. Called by one thread only (the consumer's).
  bool Pop(EventPtr* event);

  // Waits for delay, or less if the queue closes. False when it is closed.
  bool SleepUnlessClosed(std::chrono::milliseconds delay);

  // Pop holds back while paused; Push still queues.
  void Pause();
  void Resume();
  bool paused() const;

  // Discards what is queued and wakes every waiter; for good.
  void Close();
  bool closed() const;

  std::size_t size() const;
  std::uint64_t discarded() const;

 private:
  const std::size_t capacity_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<EventPtr> events_;
  // True when Pop would not wait (events and not paused, or closed); read
  // without the lock while spinning.
  std::atomic<bool> poppable_{false};
  bool streaming_ = false;  // Pop's own: the last wait was short
  bool paused_ = false;
  bool closed_ = false;
  std::uint64_t discarded_ = 0;

  void UpdatePoppable();  // REQUIRES: mutex_ held
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_TOOLS_CHANNELD_DELIVERY_QUEUE_H_
