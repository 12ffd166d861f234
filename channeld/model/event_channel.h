// One event channel, reachable at its persistent object key. It owns the
// default admins (id 0), any admins made with new_for_*, the forwarding
// table, its admin properties with the count of proxies under their limits,
// the backlog of all its consumers' queues, and the top level of the queue
// QoS that its admins and proxies inherit.

#ifndef KESTREL_CHANNELD_MODEL_EVENT_CHANNEL_H_
#define KESTREL_CHANNELD_MODEL_EVENT_CHANNEL_H_

#include <COS/CosNotifyChannelAdmin.hh>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "channeld/cluster/event_stream.h"
#include "channeld/delivery/channel_backlog.h"
#include "channeld/model/channel_figures.h"
#include "channeld/model/delivery_tally.h"
#include "channeld/model/event_router.h"
#include "channeld/model/service_context.h"
#include "channeld/filtering/filter_factory.h"
#include "channeld/model/unsupported.h"
#include "channeld/qos/channel_limits.h"
#include "channeld/qos/qos_admin.h"
#include "channeld/runtime/servant_activation.h"
#include "channeld/state/service_state.h"

namespace kestrel {
namespace channeld {

class ConsumerAdmin;
class FarewellCalls;
class FilterFactory;
class LazyEventView;
class SupplierAdmin;

class EventChannel : public POA_CosNotifyChannelAdmin::EventChannel, public QoSAdmin {
 public:
  // Requests whose arguments hold anys are read through the type code screen.
  CORBA::Boolean _dispatch(omniCallHandle& handle) override;

  enum class Side { kSupplier, kConsumer };
  // Called once, after a remote destroy() has disconnected every client.
  using DestroyedCallback = std::function<void(EventChannel* channel)>;

  EventChannel(std::string key, const ServiceContext& context, DestroyedCallback onDestroyed);
  ~EventChannel() override;

  // Activates the channel at its key in the context's channel POA, with its
  // default admins, or with what restored describes (admins, proxies, their
  // settings and connections; consumers' queues from queues). Raises what
  // the POA raises.
  void Activate(const ChannelState* restored = nullptr, RestoredQueues* queues = nullptr);

  // The channel as the state directory keeps it.
  ChannelState Capture();

  // A cluster's other instances. A shared record is a ChannelState that
  // holds the channel's own settings only, or one admin, one proxy or one
  // filter of it.
  // Makes what shared describes, or brings what is here up to date with
  // it; false when it cannot yet: a proxy whose admin is not here.
  bool Share(const ChannelState& shared);
  // What this instance has of the object that shared describes, in the
  // same shape; false when it has none.
  bool CaptureShared(const ChannelState& shared, ChannelState* here);
  // Ends, without a word to its clients (another instance's), the admin
  // (proxy 0) or proxy of side, or the filter.
  void DropShared(Side side, CosNotifyChannelAdmin::AdminID admin,
                  CosNotifyChannelAdmin::ProxyID proxy);
  void DropSharedFilter(CosNotifyFilter::FilterID id);
  // For a planned stop that keeps the clients: every consumer's delivery
  // ends without a word to the consumer, and what it still owed it is
  // added to queues. Call with incoming requests held.
  void Park(std::vector<QueuedEvents>* queues);
  CosNotifyChannelAdmin::EventChannel_ptr Reference();  // a new reference

  // Ends every proxy and admin and the channel itself: later calls raise
  // OBJECT_NOT_EXIST. The disconnect calls owed to connected clients go to
  // farewells, for the caller to make. True for the call that ended the
  // channel, false when it had already ended.
  bool Destroy(FarewellCalls& farewells);
  // After Park and once the state is saved: ends every proxy and admin as
  // Destroy does, without a word to the clients, so that the servants,
  // which hold each other, can go.
  void Release();
  bool destroyed() const;

  const std::string& key() const { return key_; }
  // How the log names a proxy: "channel KEY: consumer proxy 3", with
  // "admin 2 " before the side for any admin but the default one.
  std::string ProxyName(CosNotifyChannelAdmin::AdminID admin, const char* side,
                        CosNotifyChannelAdmin::ProxyID id) const;
  // The object id, in the proxy POA, of an admin (proxy 0) or a proxy:
  // fixed by the channel's key and the ids, so that a restored object is
  // reached by the reference that its client holds.
  std::string ObjectId(Side side, CosNotifyChannelAdmin::AdminID admin,
                       CosNotifyChannelAdmin::ProxyID proxy = 0) const;
  const ServiceContext& context() const { return context_; }
  EventRouter& router() { return router_; }
  ChannelBacklog& backlog() { return backlog_; }
  // Every consumer proxy's delivery counts here, from its start until its
  // thread has ended.
  DeliveryTally& tally() { return tally_; }
  // The channel's filter factory; null when the service keeps no filters.
  FilterFactory* filterFactory() { return filters_.in(); }

  // Forwards a supplier's event to the consumers. Raises IMP_LIMIT when the
  // backlog is full and RejectNewEvents is set.
  // Alone, it queues the event (see Queue). In a cluster (the context has a
  // stream), it returns once the cluster's stream has accepted the event,
  // from which each consumer's position feeds it to the consumer; it raises TRANSIENT when the stream cannot be reached, TIMEOUT
  // (completed maybe) when it did not answer in time, and IMP_LIMIT when it
  // refused the event.
  // view, when given, is event's view (see EventRouter::Forward).
  void Forward(const CosNotification::StructuredEvent& event, bool persistent = false,
               LazyEventView* view = nullptr);

  // Writes a line to the log for each connected consumer proxy that
  // discarded events since the last call.
  void ReportDiscards();
  // Ends every proxy that its client has not connected within the
  // context's connect timeout of obtaining it, and says how many on one
  // line of the log; answers how many.
  std::size_t ReclaimAbandoned();
  // What the channel and each of its proxies counted: received, delivered,
  // discarded, held now (see ChannelFigures).
  ChannelFigures Figures();

  // The name under which AdminLimitExceeded refuses a proxy beyond the
  // bound on those obtained and not yet connected.
  static constexpr const char* kMaxUnconnected = "MaxUnconnectedProxies";

  // Counts one more proxy on side, not yet connected, or raises
  // AdminLimitExceeded (never for a proxy restored from the state
  // directory).
  void AdmitProxy(Side side, bool restored = false);
  // A proxy counted by AdmitProxy was connected.
  void ProxyConnected();
  // A proxy counted by AdmitProxy ended; connected says whether it had been.
  void ReleaseProxy(Side side, bool connected);

  // An admin destroyed by its client leaves the channel.
  void ForgetConsumerAdmin(CosNotifyChannelAdmin::AdminID id);
  void ForgetSupplierAdmin(CosNotifyChannelAdmin::AdminID id);

  // CosNotifyChannelAdmin::EventChannel
  CosNotifyChannelAdmin::EventChannelFactory_ptr MyFactory() override;
  CosNotifyChannelAdmin::ConsumerAdmin_ptr default_consumer_admin() override;
  CosNotifyChannelAdmin::SupplierAdmin_ptr default_supplier_admin() override;
  CosNotifyFilter::FilterFactory_ptr default_filter_factory() override;
  CosNotifyChannelAdmin::ConsumerAdmin_ptr new_for_consumers(
      CosNotifyChannelAdmin::InterFilterGroupOperator op,
      CosNotifyChannelAdmin::AdminID& id) override;
  CosNotifyChannelAdmin::SupplierAdmin_ptr new_for_suppliers(
      CosNotifyChannelAdmin::InterFilterGroupOperator op,
      CosNotifyChannelAdmin::AdminID& id) override;
  CosNotifyChannelAdmin::ConsumerAdmin_ptr get_consumeradmin(
      CosNotifyChannelAdmin::AdminID id) override;
  CosNotifyChannelAdmin::SupplierAdmin_ptr get_supplieradmin(
      CosNotifyChannelAdmin::AdminID id) override;
  CosNotifyChannelAdmin::AdminIDSeq* get_all_consumeradmins() override;
  CosNotifyChannelAdmin::AdminIDSeq* get_all_supplieradmins() override;

  // CosNotification::AdminPropertiesAdmin
  CosNotification::AdminProperties* get_admin() override;  // see channel_limits.h
  void set_admin(const CosNotification::AdminProperties& admin) override;

  // CosEventChannelAdmin::EventChannel
  CosEventChannelAdmin::ConsumerAdmin_ptr for_consumers() override;  // the default admins
  CosEventChannelAdmin::SupplierAdmin_ptr for_suppliers() override;
  void destroy() override;

 private:
  using ConsumerAdmins = std::map<CosNotifyChannelAdmin::AdminID,
                                  PortableServer::Servant_var<ConsumerAdmin>>;
  using SupplierAdmins = std::map<CosNotifyChannelAdmin::AdminID,
                                  PortableServer::Servant_var<SupplierAdmin>>;

  // QoSAdmin: the consumer proxies take the new values.
  void OnQueuePolicyChanged() override;

  // Queues event for the consumers that want it. May wait (see
  // EventRouter). With persistent (the supplier's EventReliability), or
  // when a consumer that wants the event has EventReliability Persistent,
  // returns once the event is in the event log; raises PERSIST_STORE when
  // it cannot be put there.
  void Queue(const CosNotification::StructuredEvent& event, bool persistent,
             LazyEventView* view);
  // Counts event, accepted, and shows it to whoever watches.
  void Accepted(const CosNotification::StructuredEvent& event);

  ConsumerAdmins CopyConsumerAdmins() const;
  void Restore(const ChannelState& state, RestoredQueues* queues);
  // The channel's own settings (QoS, admin properties, next ids) from state.
  void RestoreSettings(const ChannelState& state);
  bool End(FarewellCalls& farewells);
  PortableServer::Servant_var<ConsumerAdmin> FindOrMakeConsumerAdmin(const AdminState& state);
  PortableServer::Servant_var<SupplierAdmin> FindOrMakeSupplierAdmin(const AdminState& state);
  PortableServer::Servant_var<ConsumerAdmin> FindConsumerAdmin(CosNotifyChannelAdmin::AdminID id);
  PortableServer::Servant_var<SupplierAdmin> FindSupplierAdmin(CosNotifyChannelAdmin::AdminID id);

  const std::string key_;
  const ServiceContext& context_;
  DestroyedCallback onDestroyed_;
  ChannelBacklog backlog_;
  DeliveryTally tally_;
  EventRouter router_;
  ServantActivation activation_;
  PortableServer::Servant_var<FilterFactory> filters_;
  std::atomic<std::uint64_t> received_{0};
  std::atomic<std::uint64_t> reclaimed_{0};
  CosNotifyChannelAdmin::EventChannel_var reference_;

  mutable std::mutex mutex_;
  bool destroyed_ = false;
  ChannelLimits limits_;
  // What clients have set with set_admin, kept across restarts; the
  // command line's limits are not among them.
  CosNotification::AdminProperties clientAdmin_;
  long suppliers_ = 0;
  long consumers_ = 0;
  long unconnected_ = 0;
  CosNotifyChannelAdmin::AdminID nextAdminId_ = 1;
  ConsumerAdmins consumerAdmins_;
  SupplierAdmins supplierAdmins_;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_MODEL_EVENT_CHANNEL_H_
