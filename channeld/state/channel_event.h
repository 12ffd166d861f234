// The channel's own record of an event, which the consumers' queues, the
// event log and the saved queues hold in common.

#ifndef KESTREL_CHANNELD_STATE_CHANNEL_EVENT_H_
#define KESTREL_CHANNELD_STATE_CHANNEL_EVENT_H_

#include <COS/CosNotification.hh>

#include <cstdint>
#include <functional>
#include <memory>

namespace kestrel {
namespace channeld {

// One event as the channel received it, shared by every queue it goes to.
// Marshalling a const event from several threads at once is safe.
struct ChannelEvent : CosNotification::StructuredEvent {
  ChannelEvent() = default;
  explicit ChannelEvent(const CosNotification::StructuredEvent& event)
      : CosNotification::StructuredEvent(event) {}
  // Its number in the event log, where every queue that holds it must say
  // when it is done with it; 0 when it is kept in memory only.
  std::uint64_t sequence = 0;
  // For an event that a cluster feeds one consumer from the consumer's own
  // position: moves that position past it. Called once the queue that
  // holds it is done with it (delivered, or discarded by policy), never
  // for one put back for another instance to deliver.
  std::function<void()> done;
};
using EventPtr = std::shared_ptr<const ChannelEvent>;

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_STATE_CHANNEL_EVENT_H_
