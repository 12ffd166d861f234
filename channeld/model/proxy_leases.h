// Which consumers this instance of a cluster delivers to. Every instance
// has every consumer proxy; each connected one wants its lease (see
// cluster/leases.h), and delivers, from its own position in the channel's
// stream, only while this instance holds it. The leases' thread hands a
// proxy its lease when it comes free, and takes it back when it is lost.

#ifndef KESTREL_CHANNELD_MODEL_PROXY_LEASES_H_
#define KESTREL_CHANNELD_MODEL_PROXY_LEASES_H_

#include <omniORB4/CORBA.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "channeld/cluster/leases.h"

namespace kestrel {
namespace channeld {

class ProxyPushSupplier;

class ProxyLeases {
 public:
  // leases outlives this object.
  explicit ProxyLeases(Leases* leases);
  ~ProxyLeases();

  // Starts the leases' thread. Call once the proxies may be served.
  void Start();

  // A connected proxy, whose lease this instance takes when it is free;
  // and one that is connected no more.
  void Want(ProxyPushSupplier* proxy, const std::string& name);
  void Unwant(const std::string& name);

  // See Leases.
  bool Acquire(const std::string& name, bool takeOver) { return leases_->Acquire(name, takeOver); }
  bool Valid(const std::string& name) const { return leases_->Valid(name); }
  // The proxy is gone for good: its lease goes too, unless the instance is
  // only leaving.
  void Remove(const std::string& name);

  // For a planned stop: every lease is handed over, which ends this
  // instance's deliveries (each asks its lease before every push and every
  // fetch); what the proxies had queued stays owed, for the next holder.
  void Leave();
  bool leaving() const { return leaving_.load(); }

  std::size_t held() const { return leases_->held(); }
  std::uint64_t takeovers() const { return leases_->takeovers(); }
  std::chrono::milliseconds lifetime() const { return leases_->lifetime(); }
  // Events that the positions sent again and the proxies skipped.
  std::uint64_t repeats();
  void CountRepeats(std::uint64_t repeats) { endedRepeats_.fetch_add(repeats); }

 private:
  using Proxies = std::map<std::string, PortableServer::Servant_var<ProxyPushSupplier>>;
  PortableServer::Servant_var<ProxyPushSupplier> Find(const std::string& name);
  Proxies Snapshot();

  Leases* const leases_;
  std::atomic<bool> leaving_{false};
  std::atomic<std::uint64_t> endedRepeats_{0};
  std::mutex mutex_;
  Proxies wanted_;  // guarded by mutex_
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_MODEL_PROXY_LEASES_H_
