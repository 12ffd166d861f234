#include "channeld/model/consumer_admin.h"

#include <vector>

#include "channel/screened_dispatch.h"
#include "channeld/model/event_channel.h"
#include "channeld/model/farewell_calls.h"
#include "channeld/model/proxy_push_supplier.h"

namespace kestrel {
namespace channeld {

CORBA::Boolean ConsumerAdmin::_dispatch(omniCallHandle& handle) {
  return DispatchScreenedPropertyRequest(this, handle) ||
         POA_CosNotifyChannelAdmin::ConsumerAdmin::_dispatch(handle);
}

ConsumerAdmin::ConsumerAdmin(EventChannel* channel, CosNotifyChannelAdmin::AdminID id,
                             CosNotifyChannelAdmin::InterFilterGroupOperator op)
    : QoSAdmin(channel),
      id_(id),
      op_(op),
      channel_(Retain(channel)),
      proxies_(this, channel, EventChannel::Side::kConsumer) {}

ConsumerAdmin::~ConsumerAdmin() = default;

void ConsumerAdmin::Activate() {
  CORBA::Object_var reference = activation_.ActivateWithId(
      channel_->context().proxyPoa.in(), channel_->ObjectId(EventChannel::Side::kConsumer, id_),
      this);
  reference_ = CosNotifyChannelAdmin::ConsumerAdmin::_narrow(reference.in());
}

CosNotifyChannelAdmin::ConsumerAdmin_ptr ConsumerAdmin::Reference() {
  return CosNotifyChannelAdmin::ConsumerAdmin::_duplicate(reference_.in());
}

void ConsumerAdmin::ApplyQueuePolicy() {
  for (auto& entry : proxies_.Snapshot()) entry.second->ApplyQueuePolicy();
}

void ConsumerAdmin::AddFigures(std::vector<ProxyFigures>* proxies) {
  proxies_.AddFigures(proxies);
}

void ConsumerAdmin::Restore(const AdminState& state) {
  RestoreQoS(state.qos);
  subscriptions_.Replace(state.types);
  RestoreFilters(state.filters);
  proxies_.SetNextId(state.nextProxyId);
}

void ConsumerAdmin::RestoreProxy(const ProxyState& state, std::vector<EventPtr> events) {
  proxies_.Remake(state)->Restore(state, std::move(events));
}

AdminState ConsumerAdmin::CaptureAdmin() {
  AdminState admin;
  admin.id = id_;
  admin.consumerSide = true;
  admin.op = op_;
  admin.qos = ClientQoS();
  CosNotification::EventTypeSeq_var types = subscriptions_.Types();
  admin.types = types.in();
  admin.filters = CaptureFilters();
  admin.nextProxyId = proxies_.nextId();
  return admin;
}

void ConsumerAdmin::Capture(ChannelState* channel) { proxies_.Capture(CaptureAdmin(), channel); }

void ConsumerAdmin::Park(std::vector<QueuedEvents>* queues) {
  for (auto& entry : proxies_.Snapshot()) {
    QueuedEvents queued;
    queued.channel = channel_->key();
    queued.admin = id_;
    queued.proxy = entry.first;
    entry.second->Park(&queued.events);
    if (!queued.events.empty()) queues->push_back(std::move(queued));
  }
}

std::size_t ConsumerAdmin::ReclaimAbandoned(
    std::chrono::steady_clock::time_point obtainedBefore) {
  return proxies_.ReclaimAbandoned(obtainedBefore);
}

void ConsumerAdmin::ForgetProxy(CosNotifyChannelAdmin::ProxyID id) { proxies_.Forget(id); }

void ConsumerAdmin::Shutdown(FarewellCalls& farewells) {
  if (proxies_.Shutdown(farewells)) activation_.Deactivate();
}

CosNotifyChannelAdmin::AdminID ConsumerAdmin::MyID() { return id_; }

CosNotifyChannelAdmin::EventChannel_ptr ConsumerAdmin::MyChannel() {
  return channel_->Reference();
}

CosNotifyChannelAdmin::InterFilterGroupOperator ConsumerAdmin::MyOperator() { return op_; }

CosNotifyFilter::MappingFilter_ptr ConsumerAdmin::priority_filter() { RaiseNoImplement(); }

void ConsumerAdmin::priority_filter(CosNotifyFilter::MappingFilter_ptr) { RaiseNoImplement(); }

CosNotifyFilter::MappingFilter_ptr ConsumerAdmin::lifetime_filter() { RaiseNoImplement(); }

void ConsumerAdmin::lifetime_filter(CosNotifyFilter::MappingFilter_ptr) { RaiseNoImplement(); }

CosNotifyChannelAdmin::ProxyIDSeq* ConsumerAdmin::pull_suppliers() {
  return new CosNotifyChannelAdmin::ProxyIDSeq;  // this admin makes none
}

CosNotifyChannelAdmin::ProxyIDSeq* ConsumerAdmin::push_suppliers() { return proxies_.Ids(); }

CosNotifyChannelAdmin::ProxySupplier_ptr ConsumerAdmin::get_proxy_supplier(
    CosNotifyChannelAdmin::ProxyID id) {
  return proxies_.Find(id)->Reference();
}

CosNotifyChannelAdmin::ProxySupplier_ptr ConsumerAdmin::obtain_notification_pull_supplier(
    CosNotifyChannelAdmin::ClientType, CosNotifyChannelAdmin::ProxyID&) {
  RaiseNoImplement();
}

CosNotifyChannelAdmin::ProxySupplier_ptr ConsumerAdmin::obtain_notification_push_supplier(
    CosNotifyChannelAdmin::ClientType type, CosNotifyChannelAdmin::ProxyID& id) {
  if (type != CosNotifyChannelAdmin::STRUCTURED_EVENT) RaiseNoImplement();
  CosNotifyChannelAdmin::ProxySupplier_var reference = proxies_.Obtain(id);
  if (channel_->context().leases != nullptr) {
    // Made once, here: whichever instance delivers to the consumer later
    // goes on from it.
    PortableServer::Servant_var<ProxyPushSupplier> proxy = proxies_.Lookup(id);
    if (proxy && !proxy->MakePosition()) {
      CosNotifyComm::StructuredPushConsumer_var none = proxy->Disconnect("no position");
      throw CORBA::TRANSIENT(0, CORBA::COMPLETED_NO);
    }
  }
  return reference._retn();
}

void ConsumerAdmin::destroy() {
  if (id_ == 0) throw CORBA::NO_PERMISSION(0, CORBA::COMPLETED_NO);  // the default admin
  FarewellCalls farewells(channel_->context().farewellTimeoutMs);
  Shutdown(farewells);
  channel_->ForgetConsumerAdmin(id_);
  channel_->context().TopologyChanged(/*wait=*/true);
  farewells.Run();
}

void ConsumerAdmin::subscription_change(const CosNotification::EventTypeSeq& added,
                                        const CosNotification::EventTypeSeq& removed) {
  subscriptions_.Change(added, removed);
  channel_->context().TopologyChanged(/*wait=*/true);
}

CosEventChannelAdmin::ProxyPushSupplier_ptr ConsumerAdmin::obtain_push_supplier() {
  RaiseNoImplement();
}

CosEventChannelAdmin::ProxyPullSupplier_ptr ConsumerAdmin::obtain_pull_supplier() {
  RaiseNoImplement();
}

FilterFactory* ConsumerAdmin::filterFactory() { return channel_->filterFactory(); }

void ConsumerAdmin::FiltersChanged() { channel_->context().TopologyChanged(/*wait=*/true); }

}  // namespace channeld
}  // namespace kestrel
