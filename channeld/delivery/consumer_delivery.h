// One consumer's delivery: its queue and the thread that pushes the queued
// events to it, one two-way call at a time, in queue order. A slow or dead
// consumer holds up nobody but itself.
//
// Failures: OBJECT_NOT_EXIST (or the consumer's Disconnected) loses the
// consumer at once; COMM_FAILURE, TRANSIENT and TIMEOUT (what omniORB raises
// when the call timeout expires) are retried a few times with a doubling
// back-off, then lose it; any other exception discards that one event. A
// retried push may reach the consumer twice. Losing the consumer ends the thread
// after calling the onLost callback on it.

#ifndef KESTREL_CHANNELD_DELIVERY_CONSUMER_DELIVERY_H_
#define KESTREL_CHANNELD_DELIVERY_CONSUMER_DELIVERY_H_

#include <COS/CosNotifyComm.hh>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "channeld/delivery/delivery_queue.h"
#include "channeld/state/service_state.h"

namespace kestrel {
namespace channeld {

class EventLog;

class ConsumerDelivery {
 public:
  struct Settings {
    unsigned long callTimeoutMs = 5000;
    int retries = 3;
    std::chrono::milliseconds firstBackoff{50};
  };
  // Called on the delivery thread, once, when the consumer is lost; why
  // names the failure. It must not call Join().
  using LostCallback = std::function<void(const std::string& why)>;

  struct Counters {
    std::uint64_t delivered = 0;
    std::uint64_t retries = 0;  // pushes made again after a failure
    DeliveryQueue::Counters queue;
  };

  // Sets consumer's call timeout to settings.callTimeoutMs. The queue
  // follows policy and counts itself in backlog (the channel's, which
  // outlives this object). With log, every event of the event log that
  // leaves the queue, delivered or not, is recorded there as done for
  // target (see EventLog for when that is on disk).
  ConsumerDelivery(CosNotifyComm::StructuredPushConsumer_ptr consumer, const Settings& settings,
                   const QueuePolicy& policy, ChannelBacklog* backlog, LostCallback onLost,
                   EventLog* log = nullptr, ProxyKey target = ProxyKey());
  ~ConsumerDelivery();  // REQUIRES: Stop() and Join() done, or Start() never called
  ConsumerDelivery(const ConsumerDelivery&) = delete;
  ConsumerDelivery& operator=(const ConsumerDelivery&) = delete;

  // mayDeliver, asked before each push, says whether this process may
  // still deliver to the consumer (a cluster's lease): when it says no,
  // the event is left undone, for whoever delivers next. Set before Start.
  void SetGate(std::function<bool()> mayDeliver) { mayDeliver_ = std::move(mayDeliver); }

  void Start();

  // Queues event for delivery: see DeliveryQueue for when a push waits.
  DeliveryQueue::Offer TryEnqueue(EventPtr event) { return queue_.TryPush(std::move(event)); }
  DeliveryQueue::Offer EnqueueWaiting(EventPtr event, DeliveryQueue::Clock::time_point started) {
    return queue_.PushWaiting(std::move(event), started);
  }
  void SetPolicy(const QueuePolicy& policy) { queue_.SetPolicy(policy); }

  // Holds deliveries back (events still queue), and lets them go again.
  void Suspend() { queue_.Pause(); }
  void Resume() { queue_.Resume(); }

  // No more deliveries and no more retries; queued events are discarded. A
  // push in progress finishes (within the call timeout). Does not wait.
  void Stop() { queue_.Close(); }
  // Waits for the thread to end. Never call it on the delivery thread.
  // Thread-safe.
  void Join();

  // Ends the deliveries for a planned stop: waits for a push in progress
  // (within the call timeout) and answers, in order, every event not yet
  // delivered, the one whose push failed or was cut short first.
  std::vector<EventPtr> Park();

  DeliveryQueue& queue() { return queue_; }
  Counters counters() const;

 private:
  enum class Outcome { kDelivered, kSkipped, kLost, kStopped };

  void Run();
  void Done(const EventPtr& event);
  Outcome Deliver(const CosNotification::StructuredEvent& event, std::string* why);

  CosNotifyComm::StructuredPushConsumer_var consumer_;
  Settings settings_;
  LostCallback onLost_;
  std::function<bool()> mayDeliver_;
  EventLog* const log_;
  const ProxyKey target_;
  DeliveryQueue queue_;
  std::atomic<std::uint64_t> delivered_{0};
  std::atomic<std::uint64_t> retries_{0};
  EventPtr unsent_;  // the delivery thread's, until it has ended
  std::mutex joinMutex_;  // the janitor and a planned stop may both join
  std::thread thread_;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_DELIVERY_CONSUMER_DELIVERY_H_
