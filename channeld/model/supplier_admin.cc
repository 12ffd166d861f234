#include "channeld/model/supplier_admin.h"

#include "channel/screened_dispatch.h"
#include "channeld/model/event_channel.h"
#include "channeld/model/farewell_calls.h"
#include "channeld/model/proxy_push_consumer.h"

namespace kestrel {
namespace channeld {

CORBA::Boolean SupplierAdmin::_dispatch(omniCallHandle& handle) {
  return DispatchScreenedPropertyRequest(this, handle) ||
         POA_CosNotifyChannelAdmin::SupplierAdmin::_dispatch(handle);
}

SupplierAdmin::SupplierAdmin(EventChannel* channel, CosNotifyChannelAdmin::AdminID id,
                             CosNotifyChannelAdmin::InterFilterGroupOperator op)
    : QoSAdmin(channel),
      id_(id),
      op_(op),
      channel_(Retain(channel)),
      proxies_(this, channel, EventChannel::Side::kSupplier) {}

SupplierAdmin::~SupplierAdmin() = default;

void SupplierAdmin::Activate() {
  CORBA::Object_var reference = activation_.ActivateWithId(
      channel_->context().proxyPoa.in(), channel_->ObjectId(EventChannel::Side::kSupplier, id_),
      this);
  reference_ = CosNotifyChannelAdmin::SupplierAdmin::_narrow(reference.in());
}

CosNotifyChannelAdmin::SupplierAdmin_ptr SupplierAdmin::Reference() {
  return CosNotifyChannelAdmin::SupplierAdmin::_duplicate(reference_.in());
}

void SupplierAdmin::AddFigures(std::vector<ProxyFigures>* proxies) {
  proxies_.AddFigures(proxies);
}

void SupplierAdmin::Restore(const AdminState& state) {
  RestoreQoS(state.qos);
  offers_.Replace(state.types);
  RestoreFilters(state.filters);
  proxies_.SetNextId(state.nextProxyId);
}

void SupplierAdmin::RestoreProxy(const ProxyState& state) {
  proxies_.Remake(state)->Restore(state);
}

AdminState SupplierAdmin::CaptureAdmin() {
  AdminState admin;
  admin.id = id_;
  admin.consumerSide = false;
  admin.op = op_;
  admin.qos = ClientQoS();
  CosNotification::EventTypeSeq_var types = offers_.Types();
  admin.types = types.in();
  admin.filters = CaptureFilters();
  admin.nextProxyId = proxies_.nextId();
  return admin;
}

void SupplierAdmin::Capture(ChannelState* channel) { proxies_.Capture(CaptureAdmin(), channel); }

std::size_t SupplierAdmin::ReclaimAbandoned(
    std::chrono::steady_clock::time_point obtainedBefore) {
  return proxies_.ReclaimAbandoned(obtainedBefore);
}

void SupplierAdmin::ForgetProxy(CosNotifyChannelAdmin::ProxyID id) { proxies_.Forget(id); }

void SupplierAdmin::Shutdown(FarewellCalls& farewells) {
  if (proxies_.Shutdown(farewells)) activation_.Deactivate();
}

CosNotifyChannelAdmin::AdminID SupplierAdmin::MyID() { return id_; }

CosNotifyChannelAdmin::EventChannel_ptr SupplierAdmin::MyChannel() {
  return channel_->Reference();
}

CosNotifyChannelAdmin::InterFilterGroupOperator SupplierAdmin::MyOperator() { return op_; }

CosNotifyChannelAdmin::ProxyIDSeq* SupplierAdmin::pull_consumers() {
  return new CosNotifyChannelAdmin::ProxyIDSeq;  // this admin makes none
}

CosNotifyChannelAdmin::ProxyIDSeq* SupplierAdmin::push_consumers() { return proxies_.Ids(); }

CosNotifyChannelAdmin::ProxyConsumer_ptr SupplierAdmin::get_proxy_consumer(
    CosNotifyChannelAdmin::ProxyID id) {
  return proxies_.Find(id)->Reference();
}

CosNotifyChannelAdmin::ProxyConsumer_ptr SupplierAdmin::obtain_notification_pull_consumer(
    CosNotifyChannelAdmin::ClientType, CosNotifyChannelAdmin::ProxyID&) {
  RaiseNoImplement();
}

CosNotifyChannelAdmin::ProxyConsumer_ptr SupplierAdmin::obtain_notification_push_consumer(
    CosNotifyChannelAdmin::ClientType type, CosNotifyChannelAdmin::ProxyID& id) {
  if (type != CosNotifyChannelAdmin::STRUCTURED_EVENT) RaiseNoImplement();
  return proxies_.Obtain(id);
}

void SupplierAdmin::destroy() {
  if (id_ == 0) throw CORBA::NO_PERMISSION(0, CORBA::COMPLETED_NO);  // the default admin
  FarewellCalls farewells(channel_->context().farewellTimeoutMs);
  Shutdown(farewells);
  channel_->ForgetSupplierAdmin(id_);
  channel_->context().TopologyChanged(/*wait=*/true);
  farewells.Run();
}

void SupplierAdmin::offer_change(const CosNotification::EventTypeSeq& added,
                                 const CosNotification::EventTypeSeq& removed) {
  offers_.Change(added, removed);
  channel_->context().TopologyChanged(/*wait=*/true);
}

CosEventChannelAdmin::ProxyPushConsumer_ptr SupplierAdmin::obtain_push_consumer() {
  RaiseNoImplement();
}

CosEventChannelAdmin::ProxyPullConsumer_ptr SupplierAdmin::obtain_pull_consumer() {
  RaiseNoImplement();
}

FilterFactory* SupplierAdmin::filterFactory() { return channel_->filterFactory(); }

void SupplierAdmin::FiltersChanged() { channel_->context().TopologyChanged(/*wait=*/true); }

}  // namespace channeld
}  // namespace kestrel
