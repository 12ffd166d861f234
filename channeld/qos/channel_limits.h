// The admin properties of a channel, through get_admin and set_admin:
//
//   MaxQueueLength   long     events queued for all its consumers together;
//                             0: no bound
//   MaxConsumers     long     consumer proxies at once; 0: no limit
//   MaxSuppliers     long     supplier proxies at once; 0: no limit
//   RejectNewEvents  boolean  with the channel's queues at MaxQueueLength,
//                             true: a push raises IMP_LIMIT, false: each
//                             consumer's discard policy applies
//
// A limit lowered below the proxies that exist ends none of them; it only
// refuses new ones.

#ifndef KESTREL_CHANNELD_QOS_CHANNEL_LIMITS_H_
#define KESTREL_CHANNELD_QOS_CHANNEL_LIMITS_H_

#include <COS/CosNotification.hh>

namespace kestrel {
namespace channeld {

struct ChannelLimits {
  long maxQueueLength = 0;
  long maxConsumers = 0;
  long maxSuppliers = 0;
  bool rejectNewEvents = false;

  // limits with properties applied, or, when any property is refused,
  // raises CosNotification::UnsupportedAdmin with one error per refused
  // property.
  static ChannelLimits Apply(const ChannelLimits& limits,
                             const CosNotification::AdminProperties& properties);
  // The four properties, as get_admin answers them.
  CosNotification::AdminProperties* Describe() const;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_QOS_CHANNEL_LIMITS_H_
