// The proxy that a consumer connects to: a StructuredProxyPushSupplier.
// Connecting starts the consumer's delivery (its own queue and thread);
// disconnecting, from either end, deactivates the proxy, so that later calls
// on it raise OBJECT_NOT_EXIST.

#ifndef KESTREL_CHANNELD_MODEL_PROXY_PUSH_SUPPLIER_H_
#define KESTREL_CHANNELD_MODEL_PROXY_PUSH_SUPPLIER_H_

#include <COS/CosNotifyChannelAdmin.hh>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "channeld/cluster/event_stream.h"
#include "channeld/delivery/consumer_delivery.h"
#include "channeld/delivery/delivery_queue.h"
#include "channeld/model/channel_figures.h"
#include "channeld/filtering/filter_holder.h"
#include "channeld/model/subscription_set.h"
#include "channeld/model/unsupported.h"
#include "channeld/qos/qos_admin.h"
#include "channeld/runtime/servant_activation.h"
#include "channeld/state/service_state.h"

namespace kestrel {
namespace channeld {

class ConsumerAdmin;
class EventChannel;
class FarewellCalls;

class ProxyPushSupplier : public POA_CosNotifyChannelAdmin::StructuredProxyPushSupplier,
                          public FilterHolder,
                          public QoSAdmin {
 public:
  // The client that connects to it.
  using Peer_var = CosNotifyComm::StructuredPushConsumer_var;

  // Requests whose arguments hold anys are read through the type code screen.
  CORBA::Boolean _dispatch(omniCallHandle& handle) override;

  ProxyPushSupplier(ConsumerAdmin* admin, EventChannel* channel, CosNotifyChannelAdmin::ProxyID id);
  ~ProxyPushSupplier() override;

  // Activates the proxy in the context's proxy POA; returns a new reference.
  CosNotifyChannelAdmin::ProxySupplier_ptr Activate();
  CosNotifyChannelAdmin::ProxySupplier_ptr Reference();  // a new reference
  CosNotifyChannelAdmin::ProxyID id() const { return id_; }
  ProxyKey key() const;

  // For the router, on suppliers' threads: see DeliveryQueue. The router
  // holds connected proxies only.
  // True when the event passes the subscriptions and filters of this proxy
  // and its admin, as the admin's operator combines them.
  bool Wants(LazyEventView& view) const;
  DeliveryQueue::Offer Offer(const EventPtr& event);
  DeliveryQueue::Offer OfferWaiting(const EventPtr& event, DeliveryQueue::Clock::time_point started);

  // Takes back what state describes: QoS, subscriptions and, when it was
  // connected, its consumer, to whom events (what it still owed it) go
  // first.
  // Restoring a connected proxy that is connected already changes nothing
  // of its connection (another instance of a cluster shares the change).
  void Restore(const ProxyState& state, std::vector<EventPtr> events = {});
  // The proxy as the state directory keeps it.
  ProxyState Capture();
  // See EventChannel::Park: adds what the proxy still owed its consumer to
  // events. The proxy stays connected in the state directory.
  void Park(std::vector<EventPtr>* events);

  // --- In a cluster (the context has leases). ---
  // The name of the proxy's record, position and lease: its object id.
  std::string record() const;
  // Makes the proxy's own position in the channel's stream; false when the
  // cluster could not.
  bool MakePosition();
  // Delivers from the proxy's position when this instance holds, or now
  // takes (takeOver: from whoever has it), the proxy's lease.
  void TakeLease(bool takeOver);
  // Stops delivering: the events fed and not yet pushed stay owed to the
  // consumer, for the lease's next holder.
  void StopFeed();
  std::uint64_t feedRepeats();

  // The queue takes the policy now in force for this proxy.
  void ApplyQueuePolicy();

  // "channel KEY: consumer proxy ID", for the log.
  std::string name() const;
  // Writes a line to the log if events were discarded since the last call.
  // For the router's proxies, and the proxy's own Disconnect.
  void ReportDiscards();
  // What it and its delivery counted (see ChannelFigures).
  ProxyFigures Figures();

  // Ends the proxy: stops its delivery, leaves the router and the admin,
  // frees its place under the channel's limit, deactivates it. Answers the
  // consumer that was connected (the caller owns it), or nil when there was
  // none or the proxy had already ended. why is for the log.
  CosNotifyComm::StructuredPushConsumer_ptr Disconnect(const char* why);
  // Disconnect for a shutdown: the disconnect call owed to a connected
  // client goes to farewells.
  void EndWithFarewell(FarewellCalls& farewells);

  // Ends the proxy when its client has not connected it and it was
  // obtained before obtainedBefore (or restored then); true when it did.
  bool Reclaim(std::chrono::steady_clock::time_point obtainedBefore);

  // CosNotifyChannelAdmin::ProxySupplier
  CosNotifyChannelAdmin::ProxyType MyType() override;
  CosNotifyChannelAdmin::ConsumerAdmin_ptr MyAdmin() override;
  CosNotifyFilter::MappingFilter_ptr priority_filter() override;
  void priority_filter(CosNotifyFilter::MappingFilter_ptr filter) override;
  CosNotifyFilter::MappingFilter_ptr lifetime_filter() override;
  void lifetime_filter(CosNotifyFilter::MappingFilter_ptr filter) override;
  CosNotification::EventTypeSeq* obtain_offered_types(
      CosNotifyChannelAdmin::ObtainInfoMode mode) override;
  void validate_event_qos(const CosNotification::QoSProperties& required,
                          CosNotification::NamedPropertyRangeSeq_out available) override;

  // CosNotifyComm::NotifySubscribe
  void subscription_change(const CosNotification::EventTypeSeq& added,
                           const CosNotification::EventTypeSeq& removed) override;

  // CosNotifyComm::StructuredPushSupplier
  void disconnect_structured_push_supplier() override;

  // CosNotifyChannelAdmin::StructuredProxyPushSupplier
  void connect_structured_push_consumer(
      CosNotifyComm::StructuredPushConsumer_ptr consumer) override;
  void suspend_connection() override;
  void resume_connection() override;

  // FilterHolder
  FilterFactory* filterFactory() override;
  void FiltersChanged() override;
 private:
  enum class State { kIdle, kConnected, kGone };

  // Disconnect, or, with onlyIfIdle, nothing unless no client is connected.
  // *ended, when given, says whether this call ended the proxy.
  CosNotifyComm::StructuredPushConsumer_ptr End(const char* why, bool onlyIfIdle,
                                                   bool* ended = nullptr);

  void OnConsumerLost(const std::string& why);
  bool clustered() const;
  // An event of the proxy's position, on the feed's thread.
  void OnFed(const EventStream::FedEvent& fed);
  // REQUIRES: mutex_ held, state_ kIdle.
  void StartDelivery(CosNotifyComm::StructuredPushConsumer_ptr consumer,
                     std::vector<EventPtr> events);
  void OnQueuePolicyChanged() override { ApplyQueuePolicy(); }

  const CosNotifyChannelAdmin::ProxyID id_;
  PortableServer::Servant_var<ConsumerAdmin> admin_;
  PortableServer::Servant_var<EventChannel> channel_;
  SubscriptionSet subscriptions_;
  ServantActivation activation_;
  CosNotifyChannelAdmin::ProxySupplier_var reference_;

  const std::chrono::steady_clock::time_point obtained_ = std::chrono::steady_clock::now();
  std::mutex mutex_;
  State state_ = State::kIdle;
  bool suspended_ = false;
  CosNotifyComm::StructuredPushConsumer_var consumer_;
  // Set once, at connect, before the router sees the proxy; never reset.
  // What reaches the proxy through the router reads it without mutex_.
  std::unique_ptr<ConsumerDelivery> delivery_;

  // The feed from the proxy's position while this instance holds its
  // lease. Never held with mutex_, which the feed's thread may need.
  std::mutex feedMutex_;
  std::unique_ptr<EventStream::Feed> feed_;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_MODEL_PROXY_PUSH_SUPPLIER_H_
