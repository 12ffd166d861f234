// A consumer admin: makes the proxies that consumers connect to, and keeps a
// subscription set that applies to all of them (combined with each proxy's
// own by the admin's operator: AND_OP for the default admin).

#ifndef KESTREL_CHANNELD_MODEL_CONSUMER_ADMIN_H_
#define KESTREL_CHANNELD_MODEL_CONSUMER_ADMIN_H_

#include <COS/CosNotifyChannelAdmin.hh>

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "channeld/model/admin_proxies.h"
#include "channeld/model/channel_figures.h"
#include "channeld/filtering/filter_holder.h"
#include "channeld/model/subscription_set.h"
#include "channeld/model/unsupported.h"
#include "channeld/qos/qos_admin.h"
#include "channeld/runtime/servant_activation.h"
#include "channeld/state/service_state.h"

namespace kestrel {
namespace channeld {

class EventChannel;
class FarewellCalls;
class ProxyPushSupplier;

class ConsumerAdmin : public POA_CosNotifyChannelAdmin::ConsumerAdmin,
                      public FilterHolder,
                      public QoSAdmin {
 public:
  // Requests whose arguments hold anys are read through the type code screen.
  CORBA::Boolean _dispatch(omniCallHandle& handle) override;

  ConsumerAdmin(EventChannel* channel, CosNotifyChannelAdmin::AdminID id,
                CosNotifyChannelAdmin::InterFilterGroupOperator op);
  ~ConsumerAdmin() override;

  // Activates the admin in the context's proxy POA.
  void Activate();
  CosNotifyChannelAdmin::ConsumerAdmin_ptr Reference();  // a new reference
  CosNotifyChannelAdmin::AdminID id() const { return id_; }
  CosNotifyChannelAdmin::InterFilterGroupOperator op() const { return op_; }
  const SubscriptionSet& subscriptions() const { return subscriptions_; }

  // Every proxy takes the queue policy now in force for it.
  void ApplyQueuePolicy();
  // Adds each proxy's figures to proxies, in the order of their ids.
  void AddFigures(std::vector<ProxyFigures>* proxies);

  // Takes back what state describes (its QoS, subscriptions and next id).
  void Restore(const AdminState& state);
  // Makes a proxy again as state describes it, with the events that it
  // still owed its consumer, and keeps it.
  void RestoreProxy(const ProxyState& state, std::vector<EventPtr> events);
  // Adds the admin and its proxies to channel.
  void Capture(ChannelState* channel);
  // The admin alone, as Capture adds it.
  AdminState CaptureAdmin();

  // A cluster's other instances: makes the proxy that state describes, or
  // brings this one up to date with it; the proxy with id, as it is here
  // (false when there is none); ends the proxy with id without a word to
  // its client, who is another instance's.
  void ShareProxy(const ProxyState& state) { proxies_.Share(state); }
  bool CaptureProxy(CosNotifyChannelAdmin::ProxyID id, ProxyState* state) {
    return proxies_.CaptureOne(id, state);
  }
  void DropProxy(CosNotifyChannelAdmin::ProxyID id) { proxies_.Drop(id); }
  // See EventChannel::Park.
  void Park(std::vector<QueuedEvents>* queues);

  // Ends the proxies obtained before obtainedBefore and still not
  // connected; answers how many.
  std::size_t ReclaimAbandoned(std::chrono::steady_clock::time_point obtainedBefore);

  // A proxy that ended leaves the admin.
  void ForgetProxy(CosNotifyChannelAdmin::ProxyID id);

  // Ends every proxy and the admin itself; the disconnect calls owed to
  // connected consumers go to farewells. Idempotent.
  void Shutdown(FarewellCalls& farewells);

  // CosNotifyChannelAdmin::ConsumerAdmin
  CosNotifyChannelAdmin::AdminID MyID() override;
  CosNotifyChannelAdmin::EventChannel_ptr MyChannel() override;
  CosNotifyChannelAdmin::InterFilterGroupOperator MyOperator() override;
  CosNotifyFilter::MappingFilter_ptr priority_filter() override;
  void priority_filter(CosNotifyFilter::MappingFilter_ptr filter) override;
  CosNotifyFilter::MappingFilter_ptr lifetime_filter() override;
  void lifetime_filter(CosNotifyFilter::MappingFilter_ptr filter) override;
  CosNotifyChannelAdmin::ProxyIDSeq* pull_suppliers() override;
  CosNotifyChannelAdmin::ProxyIDSeq* push_suppliers() override;
  CosNotifyChannelAdmin::ProxySupplier_ptr get_proxy_supplier(
      CosNotifyChannelAdmin::ProxyID id) override;
  CosNotifyChannelAdmin::ProxySupplier_ptr obtain_notification_pull_supplier(
      CosNotifyChannelAdmin::ClientType type, CosNotifyChannelAdmin::ProxyID& id) override;
  CosNotifyChannelAdmin::ProxySupplier_ptr obtain_notification_push_supplier(
      CosNotifyChannelAdmin::ClientType type, CosNotifyChannelAdmin::ProxyID& id) override;
  void destroy() override;

  // CosNotifyComm::NotifySubscribe
  void subscription_change(const CosNotification::EventTypeSeq& added,
                           const CosNotification::EventTypeSeq& removed) override;

  // CosEventChannelAdmin::ConsumerAdmin (untyped events: not supported)
  CosEventChannelAdmin::ProxyPushSupplier_ptr obtain_push_supplier() override;
  CosEventChannelAdmin::ProxyPullSupplier_ptr obtain_pull_supplier() override;

  // FilterHolder
  FilterFactory* filterFactory() override;
  void FiltersChanged() override;
 private:
  void OnQueuePolicyChanged() override { ApplyQueuePolicy(); }

  const CosNotifyChannelAdmin::AdminID id_;
  const CosNotifyChannelAdmin::InterFilterGroupOperator op_;
  PortableServer::Servant_var<EventChannel> channel_;
  SubscriptionSet subscriptions_;
  ServantActivation activation_;
  CosNotifyChannelAdmin::ConsumerAdmin_var reference_;

  AdminProxies<ConsumerAdmin, ProxyPushSupplier, CosNotifyChannelAdmin::ProxySupplier> proxies_;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_MODEL_CONSUMER_ADMIN_H_
