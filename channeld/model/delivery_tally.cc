#include "channeld/model/delivery_tally.h"

#include "channeld/delivery/consumer_delivery.h"

namespace kestrel {
namespace channeld {

namespace {

void Add(const ConsumerDelivery& delivery, DeliveryTally::Totals* totals) {
  ConsumerDelivery::Counters counters = delivery.counters();
  totals->delivered += counters.delivered;
  totals->discarded += counters.queue.discarded;
}

}  // namespace

void DeliveryTally::Started(const ConsumerDelivery* delivery) {
  std::lock_guard<std::mutex> lock(mutex_);
  live_.insert(delivery);
}

void DeliveryTally::Ended(const ConsumerDelivery* delivery) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (live_.erase(delivery) == 0) return;
  Add(*delivery, &ended_);
}

DeliveryTally::Totals DeliveryTally::totals() const {
  std::lock_guard<std::mutex> lock(mutex_);
  Totals totals = ended_;
  for (const ConsumerDelivery* delivery : live_) Add(*delivery, &totals);
  return totals;
}

}  // namespace channeld
}  // namespace kestrel
