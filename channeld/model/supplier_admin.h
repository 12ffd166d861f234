// A supplier admin: makes the proxies that suppliers connect to, and keeps
// the event types that its suppliers offer.

#ifndef KESTREL_CHANNELD_MODEL_SUPPLIER_ADMIN_H_
#define KESTREL_CHANNELD_MODEL_SUPPLIER_ADMIN_H_

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
class ProxyPushConsumer;

class SupplierAdmin : public POA_CosNotifyChannelAdmin::SupplierAdmin,
                      public FilterHolder,
                      public QoSAdmin {
 public:
  // Requests whose arguments hold anys are read through the type code screen.
  CORBA::Boolean _dispatch(omniCallHandle& handle) override;

  SupplierAdmin(EventChannel* channel, CosNotifyChannelAdmin::AdminID id,
                CosNotifyChannelAdmin::InterFilterGroupOperator op);
  ~SupplierAdmin() override;

  // Activates the admin in the context's proxy POA.
  void Activate();
  CosNotifyChannelAdmin::SupplierAdmin_ptr Reference();  // a new reference
  CosNotifyChannelAdmin::AdminID id() const { return id_; }
  CosNotifyChannelAdmin::InterFilterGroupOperator op() const { return op_; }

  // Adds each proxy's figures to proxies, in the order of their ids.
  void AddFigures(std::vector<ProxyFigures>* proxies);

  // Takes back what state describes (its QoS, offers and next id).
  void Restore(const AdminState& state);
  // Makes a proxy again as state describes it, and keeps it.
  void RestoreProxy(const ProxyState& state);
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

  // Ends the proxies obtained before obtainedBefore and still not
  // connected; answers how many.
  std::size_t ReclaimAbandoned(std::chrono::steady_clock::time_point obtainedBefore);

  // A proxy that ended leaves the admin.
  void ForgetProxy(CosNotifyChannelAdmin::ProxyID id);

  // Ends every proxy and the admin itself; the disconnect calls owed to
  // connected suppliers go to farewells. Idempotent.
  void Shutdown(FarewellCalls& farewells);

  // CosNotifyChannelAdmin::SupplierAdmin
  CosNotifyChannelAdmin::AdminID MyID() override;
  CosNotifyChannelAdmin::EventChannel_ptr MyChannel() override;
  CosNotifyChannelAdmin::InterFilterGroupOperator MyOperator() override;
  CosNotifyChannelAdmin::ProxyIDSeq* pull_consumers() override;
  CosNotifyChannelAdmin::ProxyIDSeq* push_consumers() override;
  CosNotifyChannelAdmin::ProxyConsumer_ptr get_proxy_consumer(
      CosNotifyChannelAdmin::ProxyID id) override;
  CosNotifyChannelAdmin::ProxyConsumer_ptr obtain_notification_pull_consumer(
      CosNotifyChannelAdmin::ClientType type, CosNotifyChannelAdmin::ProxyID& id) override;
  CosNotifyChannelAdmin::ProxyConsumer_ptr obtain_notification_push_consumer(
      CosNotifyChannelAdmin::ClientType type, CosNotifyChannelAdmin::ProxyID& id) override;
  void destroy() override;

  // CosNotifyComm::NotifyPublish
  void offer_change(const CosNotification::EventTypeSeq& added,
                    const CosNotification::EventTypeSeq& removed) override;

  // CosEventChannelAdmin::SupplierAdmin (untyped events: not supported)
  CosEventChannelAdmin::ProxyPushConsumer_ptr obtain_push_consumer() override;
  CosEventChannelAdmin::ProxyPullConsumer_ptr obtain_pull_consumer() override;

  // FilterHolder
  FilterFactory* filterFactory() override;
  void FiltersChanged() override;
 private:
  const CosNotifyChannelAdmin::AdminID id_;
  const CosNotifyChannelAdmin::InterFilterGroupOperator op_;
  PortableServer::Servant_var<EventChannel> channel_;
  SubscriptionSet offers_;
  ServantActivation activation_;
  CosNotifyChannelAdmin::SupplierAdmin_var reference_;

  AdminProxies<SupplierAdmin, ProxyPushConsumer, CosNotifyChannelAdmin::ProxyConsumer> proxies_;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_MODEL_SUPPLIER_ADMIN_H_
