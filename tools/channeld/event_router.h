// The forwarding table of one channel: the connected proxy suppliers. An
// event pushed by any supplier is offered to each of them, and queued for
// those whose subscriptions match its domain and type.

#ifndef KESTREL_TOOLS_CHANNELD_EVENT_ROUTER_H_
#define KESTREL_TOOLS_CHANNELD_EVENT_ROUTER_H_

#include <COS/CosNotification.hh>

#include <cstddef>
#include <mutex>
#include <vector>

namespace kestrel {
namespace channeld {

class ProxyPushSupplier;

class EventRouter {
 public:
  EventRouter();
  ~EventRouter();
  EventRouter(const EventRouter&) = delete;
  EventRouter& operator=(const EventRouter&) = delete;

  // The router keeps a counted reference to each proxy it holds.
  void Add(ProxyPushSupplier* proxy);
  void Remove(ProxyPushSupplier* proxy);
  void Clear();

  // Copies event once (if any proxy wants it) and queues the copy for every
  // proxy that wants it. Returns as soon as it is queued. Thread-safe; events
  // forwarded by one thread are queued in the order forwarded.
  void Forward(const CosNotification::StructuredEvent& event);

  std::size_t size() const;

 private:
  mutable std::mutex mutex_;
  std::vector<ProxyPushSupplier*> targets_;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_TOOLS_CHANNELD_EVENT_ROUTER_H_
