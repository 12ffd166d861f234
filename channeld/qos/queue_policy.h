// What one consumer's queue holds and does when it is full, and how reliable
// its connection and events are: the values in force for a consumer proxy,
// from its own QoS over its admin's over its channel's.

#ifndef KESTREL_CHANNELD_QOS_QUEUE_POLICY_H_
#define KESTREL_CHANNELD_QOS_QUEUE_POLICY_H_

#include <COS/CosNotification.hh>

#include <chrono>
#include <cstddef>

namespace kestrel {
namespace channeld {

struct QueuePolicy {
  // Events held for the consumer; 0: no bound (MaxEventsPerConsumer).
  std::size_t maxEvents = 10000;
  // Which event a full queue gives up (DiscardPolicy): AnyOrder and
  // FifoOrder the oldest queued, LifoOrder the newest, the one arriving.
  CORBA::Short discardPolicy = CosNotification::FifoOrder;
  // How long a supplier's push waits for room in the full queue before the
  // discard policy applies (BlockingPolicy); 0: it never waits.
  std::chrono::nanoseconds blockTimeout = std::chrono::milliseconds(2000);
  // Whether the proxies outlive a restart of the service
  // (ConnectionReliability): Persistent exactly when it keeps a state
  // directory, and no level can set another value.
  CORBA::Short connectionReliability = CosNotification::BestEffort;
  // Whether each event is on disk before its push returns
  // (EventReliability); Persistent needs persistent connections.
  CORBA::Short eventReliability = CosNotification::BestEffort;

  bool DiscardsNewest() const { return discardPolicy == CosNotification::LifoOrder; }
  bool durable() const { return connectionReliability == CosNotification::Persistent; }
  bool persistentEvents() const { return eventReliability == CosNotification::Persistent; }
};

// "AnyOrder", "FifoOrder", "LifoOrder" and the others, for the log.
const char* DiscardPolicyName(CORBA::Short policy);

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_QOS_QUEUE_POLICY_H_
