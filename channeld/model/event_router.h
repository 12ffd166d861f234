// The forwarding table of one channel: the connected proxy suppliers. An
// event pushed by any supplier is offered to each of them, and queued for
// those whose subscriptions match its domain and type.

#ifndef KESTREL_CHANNELD_MODEL_EVENT_ROUTER_H_
#define KESTREL_CHANNELD_MODEL_EVENT_ROUTER_H_

#include <COS/CosNotification.hh>

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace kestrel {
namespace channeld {

class LazyEventView;
class ProxyPushSupplier;
struct ChannelEvent;

class EventRouter {
 public:
  // The proxies at one moment, each held by a counted reference for as long
  // as the snapshot lives.
  using Targets = std::vector<PortableServer::Servant_var<ProxyPushSupplier>>;
  using Snapshot = std::shared_ptr<const Targets>;

  EventRouter();
  ~EventRouter();
  EventRouter(const EventRouter&) = delete;
  EventRouter& operator=(const EventRouter&) = delete;

  void Add(ProxyPushSupplier* proxy);
  void Remove(ProxyPushSupplier* proxy);
  void Clear();

  // Called once for each event that some proxy wants, with those proxies,
  // before any queue sees it: it may number the event for the event log.
  // What it raises ends the forward, with nothing queued.
  using Journal =
      std::function<void(ChannelEvent* event, const std::vector<ProxyPushSupplier*>& wanting)>;

  // Copies event once (if any proxy wants it) and queues the copy for every
  // proxy that wants it. Every consumer with room gets the event before the
  // push waits for any full queue (see DeliveryQueue), so that one slow
  // consumer does not hold up the others' deliveries. Thread-safe, and no
  // lock is held while waiting; events forwarded by one thread are queued
  // in the order forwarded.
  // view, when given, is event's view, which supplier-side filters may
  // already have decoded.
  void Forward(const CosNotification::StructuredEvent& event, const Journal& journal = nullptr,
               LazyEventView* view = nullptr);

  Snapshot targets() const;
  std::size_t size() const;

 private:
  mutable std::mutex mutex_;
  // Replaced, never changed in place: a Forward in progress keeps the
  // snapshot it started with.
  Snapshot targets_;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_MODEL_EVENT_ROUTER_H_
