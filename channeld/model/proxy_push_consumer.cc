#include "channeld/model/proxy_push_consumer.h"

#include "channel/screened_dispatch.h"
#include "channeld/base/log.h"
#include "channeld/model/event_channel.h"
#include "channeld/model/event_router.h"
#include "channeld/model/farewell_calls.h"
#include "channeld/model/supplier_admin.h"

namespace kestrel {
namespace channeld {

CORBA::Boolean ProxyPushConsumer::_dispatch(omniCallHandle& handle) {
  return DispatchScreenedPush(this, handle, &typeCodes_) || DispatchScreenedPropertyRequest(this, handle) ||
         POA_CosNotifyChannelAdmin::StructuredProxyPushConsumer::_dispatch(handle);
}

ProxyPushConsumer::ProxyPushConsumer(SupplierAdmin* admin, EventChannel* channel,
                                     CosNotifyChannelAdmin::ProxyID id)
    : QoSAdmin(admin), id_(id), admin_(Retain(admin)), channel_(Retain(channel)) {}

ProxyPushConsumer::~ProxyPushConsumer() = default;

CosNotifyChannelAdmin::ProxyConsumer_ptr ProxyPushConsumer::Activate() {
  CORBA::Object_var reference = activation_.ActivateWithId(
      channel_->context().proxyPoa.in(),
      channel_->ObjectId(EventChannel::Side::kSupplier, admin_->id(), id_), this);
  reference_ = CosNotifyChannelAdmin::ProxyConsumer::_narrow(reference.in());
  return Reference();
}

CosNotifyChannelAdmin::ProxyConsumer_ptr ProxyPushConsumer::Reference() {
  return CosNotifyChannelAdmin::ProxyConsumer::_duplicate(reference_.in());
}

CosNotifyComm::StructuredPushSupplier_ptr ProxyPushConsumer::Disconnect(const char* why) {
  return End(why, /*onlyIfIdle=*/false);
}

void ProxyPushConsumer::EndWithFarewell(FarewellCalls& farewells) {
  CosNotifyComm::StructuredPushSupplier_var supplier = Disconnect("shutdown");
  if (CORBA::is_nil(supplier.in())) return;
  farewells.Add(supplier.in(), [supplier] { supplier->disconnect_structured_push_supplier(); });
}

CosNotifyComm::StructuredPushSupplier_ptr ProxyPushConsumer::End(const char* why,
                                                                 bool onlyIfIdle, bool* ended) {
  PortableServer::Servant_var<ProxyPushConsumer> self = Retain(this);
  CosNotifyComm::StructuredPushSupplier_var supplier;
  bool wasConnected = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ == State::kGone || (onlyIfIdle && state_ != State::kIdle)) {
      return CosNotifyComm::StructuredPushSupplier::_nil();
    }
    wasConnected = state_ == State::kConnected;
    if (wasConnected) Log::Info(name() + " disconnected (" + why + ")");
    state_ = State::kGone;
    supplier = supplier_._retn();
    if (ended != nullptr) *ended = true;
  }
  admin_->ForgetProxy(id_);
  channel_->ReleaseProxy(EventChannel::Side::kSupplier, wasConnected);
  activation_.Deactivate();
  channel_->context().TopologyChanged(/*wait=*/false);
  return supplier._retn();
}

void ProxyPushConsumer::Restore(const ProxyState& state) {
  RestoreQoS(state.qos);
  offers_.Replace(state.types);
  RestoreFilters(state.filters);
  if (!state.connected) return;
  std::lock_guard<std::mutex> lock(mutex_);
  try {
    supplier_ = CosNotifyComm::StructuredPushSupplier::_unchecked_narrow(state.peer.in());
  } catch (const CORBA::Exception&) {
  }
  state_.store(State::kConnected, std::memory_order_release);
  channel_->ProxyConnected();
}

ProxyState ProxyPushConsumer::Capture() {
  ProxyState state;
  state.admin = admin_->id();
  state.id = id_;
  state.consumerSide = false;
  state.qos = ClientQoS();
  CosNotification::EventTypeSeq_var types = offers_.Types();
  state.types = types.in();
  state.filters = CaptureFilters();
  std::lock_guard<std::mutex> lock(mutex_);
  state.connected = state_ == State::kConnected;
  if (state.connected) state.peer = CORBA::Object::_duplicate(supplier_.in());
  return state;
}

bool ProxyPushConsumer::Reclaim(std::chrono::steady_clock::time_point obtainedBefore) {
  if (obtained_ >= obtainedBefore) return false;
  bool ended = false;
  // Connected, or disconnected, in the meantime: End leaves it alone.
  CosNotifyComm::StructuredPushSupplier_var none =
      End("never connected", /*onlyIfIdle=*/true, &ended);
  return ended;
}

std::string ProxyPushConsumer::name() const {
  return channel_->ProxyName(admin_->id(), "supplier", id_);
}

ProxyFigures ProxyPushConsumer::Figures() {
  ProxyFigures figures;
  figures.admin = static_cast<std::uint32_t>(admin_->id());
  figures.id = static_cast<std::uint32_t>(id_);
  figures.name = name();
  figures.received = received_.load(std::memory_order_relaxed);
  return figures;
}

CosNotifyChannelAdmin::ProxyType ProxyPushConsumer::MyType() {
  return CosNotifyChannelAdmin::PUSH_STRUCTURED;
}

CosNotifyChannelAdmin::SupplierAdmin_ptr ProxyPushConsumer::MyAdmin() {
  return admin_->Reference();
}

CosNotification::EventTypeSeq* ProxyPushConsumer::obtain_subscription_types(
    CosNotifyChannelAdmin::ObtainInfoMode) {
  RaiseNoImplement();
}

void ProxyPushConsumer::validate_event_qos(const CosNotification::QoSProperties&,
                                           CosNotification::NamedPropertyRangeSeq_out) {
  RaiseNoImplement();
}

void ProxyPushConsumer::offer_change(const CosNotification::EventTypeSeq& added,
                                     const CosNotification::EventTypeSeq& removed) {
  offers_.Change(added, removed);
  channel_->context().TopologyChanged(/*wait=*/true);
}

void ProxyPushConsumer::push_structured_event(const CosNotification::StructuredEvent& event) {
  State state = state_.load(std::memory_order_acquire);
  if (state == State::kGone) throw CORBA::OBJECT_NOT_EXIST(0, CORBA::COMPLETED_NO);
  if (state != State::kConnected) throw CosEventComm::Disconnected();
  received_.fetch_add(1, std::memory_order_relaxed);
  LazyEventView view(event);
  if (!Admits(view)) return;
  bool persistent = channel_->context().eventLog != nullptr && queuePolicy().persistentEvents();
  channel_->Forward(event, persistent, &view);
}

bool ProxyPushConsumer::Admits(LazyEventView& view) const {
  bool byAdmin = admin_->Passes(view);
  if (admin_->op() == CosNotifyChannelAdmin::OR_OP) return byAdmin || Passes(view);
  return byAdmin && Passes(view);
}

void ProxyPushConsumer::disconnect_structured_push_consumer() {
  CosNotifyComm::StructuredPushSupplier_var supplier = Disconnect("by the supplier");
  channel_->context().TopologyChanged(/*wait=*/true);
}

void ProxyPushConsumer::connect_structured_push_supplier(
    CosNotifyComm::StructuredPushSupplier_ptr supplier) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ == State::kGone) throw CORBA::OBJECT_NOT_EXIST(0, CORBA::COMPLETED_NO);
    if (state_ == State::kConnected) throw CosEventChannelAdmin::AlreadyConnected();
    // A nil supplier may connect; it is then never told of a disconnection.
    supplier_ = CosNotifyComm::StructuredPushSupplier::_duplicate(supplier);
    state_.store(State::kConnected, std::memory_order_release);
    Log::Info(name() + " connected");
  }
  channel_->ProxyConnected();
  channel_->context().TopologyChanged(/*wait=*/true);
}

FilterFactory* ProxyPushConsumer::filterFactory() { return channel_->filterFactory(); }

void ProxyPushConsumer::FiltersChanged() { channel_->context().TopologyChanged(/*wait=*/true); }

}  // namespace channeld
}  // namespace kestrel
