// The queue QoS that one level (a channel, an admin or a proxy) sets for
// itself. Each setting may be unset, and is then inherited: a proxy's from
// its admin, an admin's from its channel; a channel sets them all, from the
// command line. The properties, with the types that clients send:
//
//   MaxEventsPerConsumer  long     events held for each consumer; 0: no bound
//   DiscardPolicy         short    AnyOrder, FifoOrder (both: the oldest goes)
//                                  or LifoOrder (the newest goes)
//   BlockingPolicy        TimeT    how long a push waits for room in a full
//                                  queue, in 100 ns units; 0: never
//   ConnectionReliability short    BestEffort or Persistent: only the value
//                                  that the service gives (Persistent when
//                                  it keeps a state directory)
//   EventReliability      short    BestEffort (events kept in memory) or
//                                  Persistent (each one on disk before its
//                                  push returns; needs a state directory)
//
// BlockingPolicy is the name under which other notification services take
// the same setting, so that their clients work here unchanged.

#ifndef KESTREL_CHANNELD_QOS_QUEUE_QOS_H_
#define KESTREL_CHANNELD_QOS_QUEUE_QOS_H_

#include <COS/CosNotification.hh>

#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>

#include "channeld/qos/queue_policy.h"

namespace kestrel {
namespace channeld {

class QueueQoS {
 public:
  static constexpr const char* kBlockingPolicy = "BlockingPolicy";
  static constexpr std::size_t kMaxEvents = 100000000;
  static constexpr std::chrono::hours kMaxBlockTimeout{1};

  QueueQoS() = default;                       // nothing set
  explicit QueueQoS(const QueuePolicy& all);  // every setting given

  // Applies qos, all of it or, when any property is refused, nothing: then
  // raises CosNotification::UnsupportedQoS with one error per refused
  // property (UNSUPPORTED_PROPERTY, UNSUPPORTED_VALUE, BAD_TYPE, BAD_VALUE).
  // durable: the service keeps a state directory.
  void Set(const CosNotification::QoSProperties& qos, bool durable = false);
  // Raises as Set would, applying nothing.
  static void Validate(const CosNotification::QoSProperties& qos, bool durable = false);

  // This level's settings over inherited.
  QueuePolicy Over(const QueuePolicy& inherited) const;

  // The properties that describe policy, as get_qos answers them.
  static CosNotification::QoSProperties* Describe(const QueuePolicy& policy);

 private:
  // What this level sets; unset values are inherited.
  struct Settings {
    std::optional<std::size_t> maxEvents;
    std::optional<CORBA::Short> discardPolicy;
    std::optional<std::chrono::nanoseconds> blockTimeout;
    std::optional<CORBA::Short> connectionReliability;
    std::optional<CORBA::Short> eventReliability;
  };

  static Settings Parse(const CosNotification::QoSProperties& qos, Settings settings,
                        bool durable);
  static CosNotification::QoSProperties* Describe(const Settings& settings);

  mutable std::mutex mutex_;
  Settings own_;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_QOS_QUEUE_QOS_H_
