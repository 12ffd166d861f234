#include "tools/channeld/event_router.h"

#include <algorithm>
#include <memory>

#include "tools/channeld/delivery_queue.h"
#include "tools/channeld/proxy_push_supplier.h"

namespace kestrel {
namespace channeld {

EventRouter::EventRouter() = default;

EventRouter::~EventRouter() { Clear(); }

void EventRouter::Add(ProxyPushSupplier* proxy) {
  proxy->_add_ref();
  std::lock_guard<std::mutex> lock(mutex_);
  targets_.push_back(proxy);
}

void EventRouter::Remove(ProxyPushSupplier* proxy) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = std::find(targets_.begin(), targets_.end(), proxy);
    if (found == targets_.end()) return;
    targets_.erase(found);
  }
  proxy->_remove_ref();  // outside the lock: it may be the last reference
}

void EventRouter::Clear() {
  std::vector<ProxyPushSupplier*> targets;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    targets.swap(targets_);
  }
  for (ProxyPushSupplier* proxy : targets) proxy->_remove_ref();
}

void EventRouter::Forward(const CosNotification::StructuredEvent& event) {
  const CosNotification::EventType& type = event.header.fixed_header.event_type;
  EventPtr shared;
  std::lock_guard<std::mutex> lock(mutex_);
  for (ProxyPushSupplier* proxy : targets_) {
    if (!proxy->Wants(type.domain_name.in(), type.type_name.in())) continue;
    if (!shared) shared = std::make_shared<const CosNotification::StructuredEvent>(event);
    proxy->Deliver(shared);
  }
}

std::size_t EventRouter::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return targets_.size();
}

}  // namespace channeld
}  // namespace kestrel
