// The proxies that one admin has made, by id: what both admins keep alike.
// Ids start at 1 and are never reused. Once the registry has ended it keeps
// nothing more, so an admin that is shutting down makes no new proxy.
// Thread-safe; a proxy is always released outside the registry's lock.

#ifndef KESTREL_CHANNELD_MODEL_PROXY_REGISTRY_H_
#define KESTREL_CHANNELD_MODEL_PROXY_REGISTRY_H_

#include <COS/CosNotifyChannelAdmin.hh>

#include <map>
#include <mutex>

namespace kestrel {
namespace channeld {

template <typename Proxy>
class ProxyRegistry {
 public:
  using Held = PortableServer::Servant_var<Proxy>;
  using Proxies = std::map<CosNotifyChannelAdmin::ProxyID, Held>;

  // Makes and keeps a new proxy: create(next id, held) puts the new proxy in
  // held and answers its reference, or raises, and then nothing is kept.
  // Ids that reserve(id) refuses (another instance of a cluster has them)
  // are passed over. Sets id and answers the reference. Raises
  // OBJECT_NOT_EXIST once ended.
  template <typename Create, typename Reserve>
  auto Add(CosNotifyChannelAdmin::ProxyID& id, Create create, Reserve reserve) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ended_) throw CORBA::OBJECT_NOT_EXIST(0, CORBA::COMPLETED_NO);
    while (!reserve(nextId_)) ++nextId_;
    Held proxy;
    auto reference = create(nextId_, proxy);
    id = nextId_++;
    proxies_[id] = proxy;
    return reference;
  }

  // Keeps a proxy restored from the state directory under its old id.
  void Restore(CosNotifyChannelAdmin::ProxyID id, Held proxy) {
    std::lock_guard<std::mutex> lock(mutex_);
    proxies_[id] = proxy;
    if (id >= nextId_) nextId_ = id + 1;
  }
  // The id that the next proxy gets; ids are never reused, across
  // restarts either.
  CosNotifyChannelAdmin::ProxyID nextId() {
    std::lock_guard<std::mutex> lock(mutex_);
    return nextId_;
  }
  void SetNextId(CosNotifyChannelAdmin::ProxyID id) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (id > nextId_) nextId_ = id;
  }

  // The proxy with id; null when there is none.
  Held Lookup(CosNotifyChannelAdmin::ProxyID id) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = proxies_.find(id);
    return found == proxies_.end() ? Held() : found->second;
  }

  // The proxy with id; raises ProxyNotFound when there is none.
  Held Find(CosNotifyChannelAdmin::ProxyID id) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = proxies_.find(id);
    if (found == proxies_.end()) throw CosNotifyChannelAdmin::ProxyNotFound();
    return found->second;
  }

  // Every id held, in order, as a new sequence.
  CosNotifyChannelAdmin::ProxyIDSeq* Ids() {
    std::lock_guard<std::mutex> lock(mutex_);
    auto* ids = new CosNotifyChannelAdmin::ProxyIDSeq;
    ids->length(static_cast<CORBA::ULong>(proxies_.size()));
    CORBA::ULong i = 0;
    for (const auto& entry : proxies_) (*ids)[i++] = entry.first;
    return ids;
  }

  // What it holds now, each proxy by a counted reference.
  Proxies Snapshot() {
    std::lock_guard<std::mutex> lock(mutex_);
    return proxies_;
  }

  void Forget(CosNotifyChannelAdmin::ProxyID id) {
    Held proxy;  // released after the lock
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = proxies_.find(id);
    if (found == proxies_.end()) return;
    proxy = found->second;
    proxies_.erase(found);
  }

  // Ends the registry and hands over what it held; false, with nothing, when
  // it had already ended.
  bool End(Proxies* held) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ended_) return false;
    ended_ = true;
    held->swap(proxies_);
    return true;
  }

 private:
  std::mutex mutex_;
  bool ended_ = false;
  CosNotifyChannelAdmin::ProxyID nextId_ = 1;
  Proxies proxies_;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_MODEL_PROXY_REGISTRY_H_
