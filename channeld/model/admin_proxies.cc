#include "channeld/model/admin_proxies.h"

#include <utility>

#include "channeld/model/consumer_admin.h"
#include "channeld/model/proxy_push_consumer.h"
#include "channeld/model/proxy_push_supplier.h"
#include "channeld/model/supplier_admin.h"

namespace kestrel {
namespace channeld {

template <typename Admin, typename Proxy, typename Interface>
typename AdminProxies<Admin, Proxy, Interface>::Reference AdminProxies<Admin, Proxy, Interface>::Make(
    CosNotifyChannelAdmin::ProxyID id, bool restored, Held* proxy) {
  channel_->AdmitProxy(side_, restored);  // raises AdminLimitExceeded
  *proxy = new Proxy(admin_, channel_, id);
  try {
    return (*proxy)->Activate();
  } catch (...) {
    channel_->ReleaseProxy(side_, /*connected=*/false);
    throw;
  }
}

template <typename Admin, typename Proxy, typename Interface>
typename AdminProxies<Admin, Proxy, Interface>::Reference AdminProxies<Admin, Proxy, Interface>::Obtain(
    CosNotifyChannelAdmin::ProxyID& id) {
  typename Interface::_var_type reference =
      this->Add(
          id,
          [this](CosNotifyChannelAdmin::ProxyID next, Held& proxy) {
            return Make(next, /*restored=*/false, &proxy);
          },
          [this](CosNotifyChannelAdmin::ProxyID next) {
            return channel_->context().Reserve(channel_->ObjectId(side_, admin_->id(), next));
          });
  channel_->context().TopologyChanged(/*wait=*/true);
  return reference._retn();
}

template <typename Admin, typename Proxy, typename Interface>
typename AdminProxies<Admin, Proxy, Interface>::Held AdminProxies<Admin, Proxy, Interface>::Remake(
    const ProxyState& state) {
  Held proxy;
  typename Interface::_var_type reference = Make(state.id, /*restored=*/true, &proxy);
  this->Restore(state.id, proxy);
  return proxy;
}

template <typename Admin, typename Proxy, typename Interface>
void AdminProxies<Admin, Proxy, Interface>::Share(const ProxyState& state) {
  Held proxy = this->Lookup(state.id);
  if (!proxy) proxy = Remake(state);
  proxy->Restore(state);
}

template <typename Admin, typename Proxy, typename Interface>
bool AdminProxies<Admin, Proxy, Interface>::CaptureOne(CosNotifyChannelAdmin::ProxyID id,
                                                       ProxyState* state) {
  Held proxy = this->Lookup(id);
  if (!proxy) return false;
  *state = proxy->Capture();
  return true;
}

template <typename Admin, typename Proxy, typename Interface>
void AdminProxies<Admin, Proxy, Interface>::Drop(CosNotifyChannelAdmin::ProxyID id) {
  Held proxy = this->Lookup(id);
  if (!proxy) return;
  // The client it answers is the other instance's to tell.
  typename Proxy::Peer_var client = proxy->Disconnect("ended by another instance");
}

template <typename Admin, typename Proxy, typename Interface>
void AdminProxies<Admin, Proxy, Interface>::AddFigures(std::vector<ProxyFigures>* proxies) {
  for (auto& entry : this->Snapshot()) proxies->push_back(entry.second->Figures());
}

template <typename Admin, typename Proxy, typename Interface>
void AdminProxies<Admin, Proxy, Interface>::Capture(AdminState admin, ChannelState* channel) {
  channel->admins.push_back(std::move(admin));
  for (auto& entry : this->Snapshot()) channel->proxies.push_back(entry.second->Capture());
}

template <typename Admin, typename Proxy, typename Interface>
std::size_t AdminProxies<Admin, Proxy, Interface>::ReclaimAbandoned(
    std::chrono::steady_clock::time_point obtainedBefore) {
  std::size_t reclaimed = 0;
  for (auto& entry : this->Snapshot()) {
    if (entry.second->Reclaim(obtainedBefore)) ++reclaimed;
  }
  return reclaimed;
}

template <typename Admin, typename Proxy, typename Interface>
bool AdminProxies<Admin, Proxy, Interface>::Shutdown(FarewellCalls& farewells) {
  typename ProxyRegistry<Proxy>::Proxies proxies;
  if (!this->End(&proxies)) return false;
  for (auto& entry : proxies) entry.second->EndWithFarewell(farewells);
  return true;
}

template class AdminProxies<ConsumerAdmin, ProxyPushSupplier, CosNotifyChannelAdmin::ProxySupplier>;
template class AdminProxies<SupplierAdmin, ProxyPushConsumer, CosNotifyChannelAdmin::ProxyConsumer>;

}  // namespace channeld
}  // namespace kestrel
