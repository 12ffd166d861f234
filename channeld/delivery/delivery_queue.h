// The bounded queue of events waiting for one consumer. Suppliers' threads
// put events in, the consumer's delivery thread takes them out.
//
// Flow control: an event that finds the queue full makes its supplier's push
// wait for room, up to the policy's block timeout, so that a consumer that
// keeps up on average loses nothing and its suppliers run at its pace. When
// a wait expires the queue is marked overflowing: that event and every later
// one that finds it full go by the discard policy at once, without waiting,
// until the queue has drained to half its bound. A hung consumer therefore
// costs its suppliers one wait, not one per event. A queue of a channel
// whose backlog is full takes no more events either; they too go by the
// discard policy without waiting. Every discarded event is counted.
//
// While events stream in (each one arriving within kSpin of the consumer
// asking for it), Pop waits for the next one by yielding the processor for up
// to kSpin before it sleeps: waking a sleeping thread costs more than the
// wait, and much more on virtual machines. A consumer that finds its queue
// empty for longer than that sleeps at once the next time: when a stream
// stops, its consumer spins once, and a quiet channel spins not at all.
//
// Suppliers that wait for room are woken together, once a batch of room
// has built up or kWakeInterval after the last wake, not one per event
// taken: suppliers that outpace their consumer would otherwise cost a
// thread switch for every event. A waiting push also looks for room by
// itself every kWakeInterval, so it is held up by at most that much more
// than the room it waits for.

#ifndef KESTREL_CHANNELD_DELIVERY_DELIVERY_QUEUE_H_
#define KESTREL_CHANNELD_DELIVERY_DELIVERY_QUEUE_H_

#include <COS/CosNotification.hh>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "channeld/delivery/channel_backlog.h"
#include "channeld/qos/queue_policy.h"
#include "channeld/state/channel_event.h"

namespace kestrel {
namespace channeld {


class DeliveryQueue {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::microseconds kSpin{50};
  static constexpr std::chrono::microseconds kWakeInterval{1000};
  static constexpr std::size_t kWakeBatch = 64;

  enum class Offer {
    kQueued,     // the event is queued (an older one may have been discarded)
    kDiscarded,  // the event itself was discarded
    kMustWait,   // full: nothing done; PushWaiting may wait for room
    kClosed      // nothing done, for good
  };

  struct Counters {
    std::size_t queued = 0;
    std::uint64_t discarded = 0;
    bool overflowing = false;
  };

  // backlog, when given, is the channel's, and outlives the queue.
  explicit DeliveryQueue(const QueuePolicy& policy, ChannelBacklog* backlog = nullptr);
  ~DeliveryQueue();
  DeliveryQueue(const DeliveryQueue&) = delete;
  DeliveryQueue& operator=(const DeliveryQueue&) = delete;

  // A new policy applies from the next push on; a smaller bound discards
  // nothing already queued.
  void SetPolicy(const QueuePolicy& policy);
  QueuePolicy policy() const;

  // Never waits. kMustWait when the queue is full, its policy lets pushes
  // wait and it is not overflowing; otherwise a full queue applies the
  // discard policy.
  Offer TryPush(EventPtr event);

  // After TryPush answered kMustWait: waits for room until waitStarted plus
  // the block timeout, then queues; when the time is up, marks the queue
  // overflowing and applies the discard policy. Taking waitStarted rather
  // than a duration lets one push wait for several full queues in turn at
  // the cost of the longest wait, not their sum.
  Offer PushWaiting(EventPtr event, Clock::time_point waitStarted);

  // TryPush, then PushWaiting when it must; false once closed.
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

  // Discards what is queued (not counted as discards: nobody is there to
  // receive them) and wakes every waiter; for good.
  void Close();
  // Closes as Close does, but keeps what is queued for TakeAll.
  void Seal();
  bool closed() const;
  bool sealed() const;

  // Called, outside the lock, with every event that leaves the queue
  // undelivered: discarded by the discard policy, or dropped by Close.
  // Set before the queue is used.
  void SetDropObserver(std::function<void(const EventPtr&)> observer) {
    dropObserver_ = std::move(observer);
  }

  // Appends events restored from the state directory, whatever the bound.
  void Restore(std::vector<EventPtr> events);
  // Removes and answers every queued event, in order.
  std::vector<EventPtr> TakeAll();

  std::size_t size() const;
  Counters counters() const;
  // The events discarded since the last call.
  std::uint64_t TakeNewDiscards();

 private:
  // REQUIRES: mutex_ held, waitingPushers_ > 0. Whether the waiting pushers
  // should be woken now that Pop took one more event.
  bool TimeToWakePushers();

  // REQUIRES: mutex_ held, for all of these.
  bool Full() const;
  bool ChannelFull() const;
  Offer Discard(EventPtr event, EventPtr* dropped);
  void Append(EventPtr event);
  void UpdatePoppable();
  void Dropped(const EventPtr& event) const {
    if (event && dropObserver_) dropObserver_(event);
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;    // for Pop and SleepUnlessClosed
  std::condition_variable roomFreed_;  // for PushWaiting
  ChannelBacklog* const backlog_;
  std::function<void(const EventPtr&)> dropObserver_;
  // Guarded by mutex_:
  QueuePolicy policy_;
  std::deque<EventPtr> events_;
  bool paused_ = false;
  bool closed_ = false;
  bool sealed_ = false;
  bool overflowing_ = false;
  int waitingPushers_ = 0;
  std::size_t freedSinceWake_ = 0;  // events taken since waiting pushers were woken
  Clock::time_point lastWake_;
  std::uint64_t discarded_ = 0;
  std::uint64_t reportedDiscards_ = 0;
  // True when Pop would not wait (events and not paused, or closed); read
  // without the lock while spinning.
  std::atomic<bool> poppable_{false};
  bool streaming_ = false;  // Pop's own: the last wait was short
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_DELIVERY_DELIVERY_QUEUE_H_
