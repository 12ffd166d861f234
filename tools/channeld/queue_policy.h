// What one consumer's queue holds and does when it is full: the values in
// force for a consumer proxy, from its own QoS over its admin's over its
// channel's.

#ifndef KESTREL_TOOLS_CHANNELD_QUEUE_POLICY_H_
#define KESTREL_TOOLS_CHANNELD_QUEUE_POLICY_H_

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

  bool DiscardsNewest() const { return discardPolicy == CosNotification::LifoOrder; }
};

// "AnyOrder", "FifoOrder", "LifoOrder" and the others, for the log.
const char* DiscardPolicyName(CORBA::Short policy);

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_TOOLS_CHANNELD_QUEUE_POLICY_H_
