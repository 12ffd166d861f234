// The proxy that a supplier connects to and pushes to: a
// StructuredProxyPushConsumer. A push is forwarded to the channel's router
// and returns as soon as the event is queued for its consumers.

#ifndef KESTREL_CHANNELD_MODEL_PROXY_PUSH_CONSUMER_H_
#define KESTREL_CHANNELD_MODEL_PROXY_PUSH_CONSUMER_H_

#include <COS/CosNotifyChannelAdmin.hh>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

#include "channeld/model/channel_figures.h"
#include "channel/type_code_cache.h"
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
class SupplierAdmin;

class ProxyPushConsumer : public POA_CosNotifyChannelAdmin::StructuredProxyPushConsumer,
                          public FilterHolder,
                          public QoSAdmin {
 public:
  // The client that connects to it.
  using Peer_var = CosNotifyComm::StructuredPushSupplier_var;

  // Requests whose arguments hold anys are read through the type code screen.
  CORBA::Boolean _dispatch(omniCallHandle& handle) override;

  ProxyPushConsumer(SupplierAdmin* admin, EventChannel* channel, CosNotifyChannelAdmin::ProxyID id);
  ~ProxyPushConsumer() override;

  // Activates the proxy in the context's proxy POA; returns a new reference.
  CosNotifyChannelAdmin::ProxyConsumer_ptr Activate();
  CosNotifyChannelAdmin::ProxyConsumer_ptr Reference();  // a new reference
  CosNotifyChannelAdmin::ProxyID id() const { return id_; }

  // Ends the proxy: it leaves the admin, frees its place under the channel's
  // limit and is deactivated. Answers the supplier that was connected (the
  // caller owns it), or nil when there was none (a supplier may connect
  // with a nil reference) or the proxy had already ended.
  CosNotifyComm::StructuredPushSupplier_ptr Disconnect(const char* why);
  // Disconnect for a shutdown: the disconnect call owed to a connected
  // client goes to farewells.
  void EndWithFarewell(FarewellCalls& farewells);

  // Takes back what state describes: QoS, offers and its connection.
  void Restore(const ProxyState& state);
  // The proxy as the state directory keeps it.
  ProxyState Capture();

  // "channel KEY: supplier proxy ID", for the log.
  std::string name() const;
  // What it counted (see ChannelFigures).
  ProxyFigures Figures();

  // Ends the proxy when its client has not connected it and it was
  // obtained before obtainedBefore (or restored then); true when it did.
  bool Reclaim(std::chrono::steady_clock::time_point obtainedBefore);

  // CosNotifyChannelAdmin::ProxyConsumer
  CosNotifyChannelAdmin::ProxyType MyType() override;
  CosNotifyChannelAdmin::SupplierAdmin_ptr MyAdmin() override;
  CosNotification::EventTypeSeq* obtain_subscription_types(
      CosNotifyChannelAdmin::ObtainInfoMode mode) override;
  void validate_event_qos(const CosNotification::QoSProperties& required,
                          CosNotification::NamedPropertyRangeSeq_out available) override;

  // CosNotifyComm::NotifyPublish
  void offer_change(const CosNotification::EventTypeSeq& added,
                    const CosNotification::EventTypeSeq& removed) override;

  // CosNotifyComm::StructuredPushConsumer
  void push_structured_event(const CosNotification::StructuredEvent& event) override;
  void disconnect_structured_push_consumer() override;

  // CosNotifyChannelAdmin::StructuredProxyPushConsumer
  void connect_structured_push_supplier(
      CosNotifyComm::StructuredPushSupplier_ptr supplier) override;

  // FilterHolder
  FilterFactory* filterFactory() override;
  void FiltersChanged() override;
 private:
  // The type codes that its supplier keeps sending.
  TypeCodeCache typeCodes_;

  // True when the filters of this proxy and its admin, as the admin's
  // operator combines them, let the event on into the channel.
  bool Admits(LazyEventView& view) const;

  enum class State { kIdle, kConnected, kGone };

  // Disconnect, or, with onlyIfIdle, nothing unless no client is connected.
  // *ended, when given, says whether this call ended the proxy.
  CosNotifyComm::StructuredPushSupplier_ptr End(const char* why, bool onlyIfIdle,
                                                   bool* ended = nullptr);

  const CosNotifyChannelAdmin::ProxyID id_;
  PortableServer::Servant_var<SupplierAdmin> admin_;
  PortableServer::Servant_var<EventChannel> channel_;
  SubscriptionSet offers_;
  ServantActivation activation_;
  CosNotifyChannelAdmin::ProxyConsumer_var reference_;

  const std::chrono::steady_clock::time_point obtained_ = std::chrono::steady_clock::now();
  std::mutex mutex_;
  std::atomic<State> state_{State::kIdle};
  std::atomic<std::uint64_t> received_{0};
  CosNotifyComm::StructuredPushSupplier_var supplier_;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_MODEL_PROXY_PUSH_CONSUMER_H_
