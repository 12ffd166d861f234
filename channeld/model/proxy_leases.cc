#include "channeld/model/proxy_leases.h"

#include "channeld/model/proxy_push_supplier.h"
#include "channeld/runtime/servant_activation.h"

namespace kestrel {
namespace channeld {

ProxyLeases::ProxyLeases(Leases* leases) : leases_(leases) {}

ProxyLeases::~ProxyLeases() { leases_->Stop(); }

void ProxyLeases::Start() {
  leases_->Start(
      [this](const std::string& name) {
        PortableServer::Servant_var<ProxyPushSupplier> proxy = Find(name);
        if (proxy && !leaving()) proxy->TakeLease(/*takeOver=*/false);
      },
      [this](const std::string& name) {
        PortableServer::Servant_var<ProxyPushSupplier> proxy = Find(name);
        if (proxy) proxy->StopFeed();
      });
}

void ProxyLeases::Want(ProxyPushSupplier* proxy, const std::string& name) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    wanted_[name] = Retain(proxy);
  }
  leases_->Want(name);
}

void ProxyLeases::Unwant(const std::string& name) {
  PortableServer::Servant_var<ProxyPushSupplier> proxy;  // released outside the lock
  leases_->Unwant(name);
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = wanted_.find(name);
  if (found == wanted_.end()) return;
  proxy = found->second;
  wanted_.erase(found);
}

void ProxyLeases::Remove(const std::string& name) {
  Unwant(name);
  if (!leaving()) leases_->Remove(name);
}

PortableServer::Servant_var<ProxyPushSupplier> ProxyLeases::Find(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = wanted_.find(name);
  return found == wanted_.end() ? PortableServer::Servant_var<ProxyPushSupplier>()
                                : found->second;
}

ProxyLeases::Proxies ProxyLeases::Snapshot() {
  std::lock_guard<std::mutex> lock(mutex_);
  return wanted_;
}

void ProxyLeases::Leave() {
  if (leaving_.exchange(true)) return;
  leases_->ReleaseAll();
  leases_->Stop();
}

std::uint64_t ProxyLeases::repeats() {
  std::uint64_t repeats = endedRepeats_.load();
  for (auto& entry : Snapshot()) repeats += entry.second->feedRepeats();
  return repeats;
}

}  // namespace channeld
}  // namespace kestrel
