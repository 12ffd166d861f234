// What a consumer admin and a supplier admin do alike with the proxies that
// they make: a ConsumerAdmin makes ProxyPushSuppliers, a SupplierAdmin
// ProxyPushConsumers. Every proxy, new or restored, counts against its
// channel's limits from before it is activated until it ends.

#ifndef KESTREL_CHANNELD_MODEL_ADMIN_PROXIES_H_
#define KESTREL_CHANNELD_MODEL_ADMIN_PROXIES_H_

#include <COS/CosNotifyChannelAdmin.hh>

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "channeld/model/channel_figures.h"
#include "channeld/model/event_channel.h"
#include "channeld/model/proxy_registry.h"
#include "channeld/state/service_state.h"

namespace kestrel {
namespace channeld {

class FarewellCalls;

// Interface is what clients see of a Proxy.
template <typename Admin, typename Proxy, typename Interface>
class AdminProxies : public ProxyRegistry<Proxy> {
 public:
  using Held = typename ProxyRegistry<Proxy>::Held;
  using Reference = typename Interface::_ptr_type;

  // side: the side of the channel that the proxies serve. admin owns this
  // object, and holds channel.
  AdminProxies(Admin* admin, EventChannel* channel, EventChannel::Side side)
      : admin_(admin), channel_(channel), side_(side) {}

  // Makes, activates and keeps a new proxy, and returns once the state
  // directory has it. Raises AdminLimitExceeded when the channel has as
  // many proxies on this side as it may.
  Reference Obtain(CosNotifyChannelAdmin::ProxyID& id);
  // Makes the proxy that state describes again, under its old id, and keeps
  // it; the caller gives it the rest of its state.
  Held Remake(const ProxyState& state);
  // Makes the proxy that another instance of a cluster describes in state,
  // or brings the one here up to date with it.
  void Share(const ProxyState& state);
  // The proxy with id as it is here; false when there is none.
  bool CaptureOne(CosNotifyChannelAdmin::ProxyID id, ProxyState* state);
  // Ends the proxy with id without a word to its client, who is another
  // instance's.
  void Drop(CosNotifyChannelAdmin::ProxyID id);

  // Adds each proxy's figures to proxies, in the order of their ids.
  void AddFigures(std::vector<ProxyFigures>* proxies);
  // Adds admin and then every proxy to channel.
  void Capture(AdminState admin, ChannelState* channel);
  // Ends the proxies obtained before obtainedBefore and still not
  // connected; answers how many.
  std::size_t ReclaimAbandoned(std::chrono::steady_clock::time_point obtainedBefore);
  // Ends every proxy; the disconnect calls owed to connected clients go to
  // farewells. False, with nothing done, when it had already ended.
  bool Shutdown(FarewellCalls& farewells);

 private:
  // Admits, makes and activates a proxy with id; answers its reference.
  Reference Make(CosNotifyChannelAdmin::ProxyID id, bool restored, Held* proxy);

  Admin* const admin_;
  EventChannel* const channel_;
  const EventChannel::Side side_;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_MODEL_ADMIN_PROXIES_H_
