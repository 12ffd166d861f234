// The events that a channel's consumers were delivered, and that their
// queues discarded, summed over every consumer that the channel had since
// the service started, connected now or gone.
//
// A delivery counts as live from its start until its thread has ended; then
// its last counts join those of the deliveries that ended, in one step
// under the tally's lock, so that neither sum ever goes back when a
// consumer goes and no event is counted twice. Nothing of it is on the
// delivery path: the sums read each delivery's own counters when asked.
// Thread-safe.

#ifndef KESTREL_CHANNELD_MODEL_DELIVERY_TALLY_H_
#define KESTREL_CHANNELD_MODEL_DELIVERY_TALLY_H_

#include <cstdint>
#include <mutex>
#include <set>

namespace kestrel {
namespace channeld {

class ConsumerDelivery;

class DeliveryTally {
 public:
  struct Totals {
    std::uint64_t delivered = 0;
    std::uint64_t discarded = 0;
  };

  DeliveryTally() = default;
  DeliveryTally(const DeliveryTally&) = delete;
  DeliveryTally& operator=(const DeliveryTally&) = delete;

  // REQUIRES: delivery lives until Ended is called for it.
  void Started(const ConsumerDelivery* delivery);
  // delivery's thread has ended, or never ran: its counts are final. Does
  // nothing for a delivery that the tally does not hold.
  void Ended(const ConsumerDelivery* delivery);

  Totals totals() const;

 private:
  mutable std::mutex mutex_;
  std::set<const ConsumerDelivery*> live_;
  Totals ended_;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_MODEL_DELIVERY_TALLY_H_
