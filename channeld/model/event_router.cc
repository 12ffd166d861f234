#include "channeld/model/event_router.h"

#include <algorithm>
#include <utility>

#include "channeld/delivery/delivery_queue.h"
#include "channeld/filtering/lazy_event_view.h"
#include "channeld/model/proxy_push_supplier.h"
#include "channeld/runtime/servant_activation.h"

namespace kestrel {
namespace channeld {

EventRouter::EventRouter() : targets_(std::make_shared<const Targets>()) {}

EventRouter::~EventRouter() { Clear(); }

void EventRouter::Add(ProxyPushSupplier* proxy) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto next = std::make_shared<Targets>(*targets_);
  next->push_back(Retain(proxy));
  targets_ = std::move(next);
}

void EventRouter::Remove(ProxyPushSupplier* proxy) {
  Snapshot previous;  // the last reference may go here: outside the lock
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = std::find_if(targets_->begin(), targets_->end(),
                            [proxy](const auto& held) { return held.in() == proxy; });
  if (found == targets_->end()) return;
  auto next = std::make_shared<Targets>();
  next->reserve(targets_->size() - 1);
  for (const auto& held : *targets_) {
    if (held.in() != proxy) next->push_back(held);
  }
  previous = std::move(targets_);
  targets_ = std::move(next);
}

void EventRouter::Clear() {
  Snapshot previous;
  std::lock_guard<std::mutex> lock(mutex_);
  previous = std::move(targets_);
  targets_ = std::make_shared<const Targets>();
}

void EventRouter::Forward(const CosNotification::StructuredEvent& event, const Journal& journal,
                          LazyEventView* view) {
  LazyEventView ownView(event);
  LazyEventView& filterView = view != nullptr ? *view : ownView;
  Snapshot snapshot = targets();
  std::vector<ProxyPushSupplier*> wanting;  // held by snapshot
  for (const auto& proxy : *snapshot) {
    if (proxy->Wants(filterView)) wanting.push_back(proxy.in());
  }
  if (wanting.empty()) return;
  auto copy = std::make_shared<ChannelEvent>(event);
  if (journal) journal(copy.get(), wanting);
  EventPtr shared = std::move(copy);
  std::vector<ProxyPushSupplier*> full;
  DeliveryQueue::Clock::time_point firstFull;
  for (ProxyPushSupplier* proxy : wanting) {
    if (proxy->Offer(shared) != DeliveryQueue::Offer::kMustWait) continue;
    // Read only when a queue is full: most pushes never need the clock.
    if (full.empty()) firstFull = DeliveryQueue::Clock::now();
    full.push_back(proxy);
  }
  for (ProxyPushSupplier* proxy : full) proxy->OfferWaiting(shared, firstFull);
}

EventRouter::Snapshot EventRouter::targets() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return targets_;
}

std::size_t EventRouter::size() const { return targets()->size(); }

}  // namespace channeld
}  // namespace kestrel
