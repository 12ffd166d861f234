#include "channeld/model/event_channel.h"

#include <algorithm>
#include <utility>

#include "channel/screened_dispatch.h"
#include "channeld/base/log.h"
#include "channeld/model/consumer_admin.h"
#include "channeld/model/farewell_calls.h"
#include "channeld/model/passing_events.h"
#include "channeld/model/proxy_push_consumer.h"
#include "channeld/model/proxy_push_supplier.h"
#include "channeld/model/supplier_admin.h"
#include "channeld/qos/property_errors.h"
#include "channeld/state/event_log.h"
#include "channeld/state/service_state.h"

namespace kestrel {
namespace channeld {

CORBA::Boolean EventChannel::_dispatch(omniCallHandle& handle) {
  return DispatchScreenedPropertyRequest(this, handle) ||
         POA_CosNotifyChannelAdmin::EventChannel::_dispatch(handle);
}

EventChannel::EventChannel(std::string key, const ServiceContext& context,
                           DestroyedCallback onDestroyed)
    : QoSAdmin(context.queuePolicy, [&context](bool wait) { context.TopologyChanged(wait); }),
      key_(std::move(key)),
      context_(context),
      onDestroyed_(std::move(onDestroyed)) {
  limits_.maxSuppliers = context.maxSuppliers;
  limits_.maxConsumers = context.maxConsumers;
}

EventChannel::~EventChannel() = default;

void EventChannel::Activate(const ChannelState* restored, RestoredQueues* queues) {
  // Filters first: the admins and proxies restored below hold them.
  if (context_.filters) {
    const ServiceContext& context = context_;
    filters_ = new FilterFactory(FilterHome{
        PortableServer::POA::_duplicate(context.proxyPoa.in()), key_,
        [&context](bool wait) { context.TopologyChanged(wait); },
        [&context](const std::string& id) { return context.Reserve(id); },
        context.farewellTimeoutMs});
    filters_->Activate(restored);
  }
  PortableServer::Servant_var<ConsumerAdmin> consumerAdmin =
      new ConsumerAdmin(this, 0, CosNotifyChannelAdmin::AND_OP);
  PortableServer::Servant_var<SupplierAdmin> supplierAdmin =
      new SupplierAdmin(this, 0, CosNotifyChannelAdmin::AND_OP);
  consumerAdmin->Activate();
  supplierAdmin->Activate();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    consumerAdmins_[0] = consumerAdmin;
    supplierAdmins_[0] = supplierAdmin;
  }
  if (restored != nullptr) {
    RestoredQueues none;
    Restore(*restored, queues != nullptr ? queues : &none);
  }
  // Its suppliers' events go to the cluster's stream; each consumer proxy
  // is fed from a position of its own there, by whichever instance holds
  // its lease.
  if (context_.stream != nullptr) context_.stream->Open(key_);
  CORBA::Object_var reference =
      activation_.ActivateWithId(context_.channelPoa.in(), key_, this);
  reference_ = CosNotifyChannelAdmin::EventChannel::_narrow(reference.in());
}

void EventChannel::RestoreSettings(const ChannelState& state) {
  RestoreQoS(state.qos);
  std::lock_guard<std::mutex> lock(mutex_);
  try {
    limits_ = ChannelLimits::Apply(limits_, state.admin);
    clientAdmin_ = state.admin;
  } catch (const CosNotification::UnsupportedAdmin&) {
    // Kept as the command line sets them.
  }
  backlog_.SetLimit(static_cast<std::size_t>(limits_.maxQueueLength));
  nextAdminId_ = std::max<CosNotifyChannelAdmin::AdminID>(
      std::max<CosNotifyChannelAdmin::AdminID>(state.nextAdminId, 1), nextAdminId_);
}

bool EventChannel::Share(const ChannelState& shared) {
  for (const AdminState& admin : shared.admins) {
    if (admin.consumerSide) {
      FindOrMakeConsumerAdmin(admin)->Restore(admin);
    } else {
      FindOrMakeSupplierAdmin(admin)->Restore(admin);
    }
  }
  for (const ProxyState& proxy : shared.proxies) {
    try {
      if (proxy.consumerSide) {
        FindConsumerAdmin(proxy.admin)->ShareProxy(proxy);
      } else {
        FindSupplierAdmin(proxy.admin)->ShareProxy(proxy);
      }
    } catch (const CosNotifyChannelAdmin::AdminNotFound&) {
      return false;
    }
  }
  for (const FilterState& filter : shared.filters) {
    if (filters_) filters_->Share(filter);
  }
  if (shared.admins.empty() && shared.proxies.empty() && shared.filters.empty()) {
    RestoreSettings(shared);
    if (filters_) filters_->SetNextId(shared.nextFilterId);
  }
  return true;
}

bool EventChannel::CaptureShared(const ChannelState& shared, ChannelState* here) {
  here->key = key_;
  try {
    for (const AdminState& admin : shared.admins) {
      here->admins.push_back(admin.consumerSide ? FindConsumerAdmin(admin.id)->CaptureAdmin()
                                                : FindSupplierAdmin(admin.id)->CaptureAdmin());
    }
    for (const ProxyState& proxy : shared.proxies) {
      ProxyState state;
      bool found = proxy.consumerSide
                       ? FindConsumerAdmin(proxy.admin)->CaptureProxy(proxy.id, &state)
                       : FindSupplierAdmin(proxy.admin)->CaptureProxy(proxy.id, &state);
      if (!found) return false;
      here->proxies.push_back(std::move(state));
    }
  } catch (const CosNotifyChannelAdmin::AdminNotFound&) {
    return false;
  }
  for (const FilterState& filter : shared.filters) {
    FilterState state;
    if (!filters_ || !filters_->CaptureOne(filter.id, &state)) return false;
    here->filters.push_back(std::move(state));
  }
  if (shared.admins.empty() && shared.proxies.empty() && shared.filters.empty()) {
    ChannelState all = Capture();
    here->qos = all.qos;
    here->admin = all.admin;
    here->nextAdminId = all.nextAdminId;
    here->nextFilterId = all.nextFilterId;
  }
  return true;
}

void EventChannel::DropShared(Side side, CosNotifyChannelAdmin::AdminID admin,
                              CosNotifyChannelAdmin::ProxyID proxy) {
  FarewellCalls unsaid(0);  // never made: the clients are another instance's
  try {
    if (side == Side::kConsumer) {
      PortableServer::Servant_var<ConsumerAdmin> found = FindConsumerAdmin(admin);
      if (proxy != 0) return found->DropProxy(proxy);
      if (admin == 0) return;
      found->Shutdown(unsaid);
      ForgetConsumerAdmin(admin);
    } else {
      PortableServer::Servant_var<SupplierAdmin> found = FindSupplierAdmin(admin);
      if (proxy != 0) return found->DropProxy(proxy);
      if (admin == 0) return;
      found->Shutdown(unsaid);
      ForgetSupplierAdmin(admin);
    }
  } catch (const CORBA::Exception&) {
    // Gone here already.
  }
}

void EventChannel::DropSharedFilter(CosNotifyFilter::FilterID id) {
  if (filters_) filters_->Drop(id);
}

void EventChannel::Restore(const ChannelState& state, RestoredQueues* queues) {
  RestoreSettings(state);
  for (const AdminState& admin : state.admins) {
    if (admin.consumerSide) {
      PortableServer::Servant_var<ConsumerAdmin> restored = FindOrMakeConsumerAdmin(admin);
      restored->Restore(admin);
    } else {
      PortableServer::Servant_var<SupplierAdmin> restored = FindOrMakeSupplierAdmin(admin);
      restored->Restore(admin);
    }
  }
  for (const ProxyState& proxy : state.proxies) {
    try {
      if (proxy.consumerSide) {
        std::vector<EventPtr> events;
        auto queued = queues->find(ProxyKey(proxy.admin, proxy.id));
        if (queued != queues->end()) {
          events.swap(queued->second);
          queues->erase(queued);
        }
        FindConsumerAdmin(proxy.admin)->RestoreProxy(proxy, std::move(events));
      } else {
        FindSupplierAdmin(proxy.admin)->RestoreProxy(proxy);
      }
    } catch (const CORBA::UserException&) {
      Log::Error("channel " + key_ + ": proxy " + std::to_string(proxy.id) + " of admin " +
                 std::to_string(proxy.admin) + " has no admin; it is dropped");
    }
  }
}

PortableServer::Servant_var<ConsumerAdmin> EventChannel::FindOrMakeConsumerAdmin(
    const AdminState& state) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = consumerAdmins_.find(state.id);
  if (found != consumerAdmins_.end()) return found->second;
  PortableServer::Servant_var<ConsumerAdmin> admin = new ConsumerAdmin(this, state.id, state.op);
  admin->Activate();
  consumerAdmins_[state.id] = admin;
  nextAdminId_ = std::max(nextAdminId_, state.id + 1);
  return admin;
}

PortableServer::Servant_var<SupplierAdmin> EventChannel::FindOrMakeSupplierAdmin(
    const AdminState& state) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = supplierAdmins_.find(state.id);
  if (found != supplierAdmins_.end()) return found->second;
  PortableServer::Servant_var<SupplierAdmin> admin = new SupplierAdmin(this, state.id, state.op);
  admin->Activate();
  supplierAdmins_[state.id] = admin;
  nextAdminId_ = std::max(nextAdminId_, state.id + 1);
  return admin;
}

ChannelState EventChannel::Capture() {
  ChannelState state;
  state.key = key_;
  state.qos = ClientQoS();
  SupplierAdmins supplierAdmins;
  ConsumerAdmins consumerAdmins;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    state.admin = clientAdmin_;
    state.nextAdminId = nextAdminId_;
    supplierAdmins = supplierAdmins_;
    consumerAdmins = consumerAdmins_;
  }
  for (auto& entry : supplierAdmins) entry.second->Capture(&state);
  for (auto& entry : consumerAdmins) entry.second->Capture(&state);
  if (filters_) filters_->Capture(&state);
  return state;
}

void EventChannel::Park(std::vector<QueuedEvents>* queues) {
  // Whatever arrives from now on is not forwarded: requests are held.
  router_.Clear();
  for (auto& entry : CopyConsumerAdmins()) entry.second->Park(queues);
}

std::string EventChannel::ObjectId(Side side, CosNotifyChannelAdmin::AdminID admin,
                                   CosNotifyChannelAdmin::ProxyID proxy) const {
  std::string id = key_ + (side == Side::kConsumer ? "/ca" : "/sa") + std::to_string(admin);
  return proxy == 0 ? id : id + "/p" + std::to_string(proxy);
}

CosNotifyChannelAdmin::EventChannel_ptr EventChannel::Reference() {
  return CosNotifyChannelAdmin::EventChannel::_duplicate(reference_.in());
}

bool EventChannel::Destroy(FarewellCalls& farewells) {
  if (!End(farewells)) return false;
  Log::Info("channel " + key_ + " destroyed");
  return true;
}

void EventChannel::Release() {
  FarewellCalls unsaid(0);  // never made: the clients stay connected
  End(unsaid);
}

bool EventChannel::End(FarewellCalls& farewells) {
  ConsumerAdmins consumerAdmins;
  SupplierAdmins supplierAdmins;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (destroyed_) return false;
    destroyed_ = true;
    consumerAdmins.swap(consumerAdmins_);
    supplierAdmins.swap(supplierAdmins_);
  }
  activation_.Deactivate();
  // Suppliers first, so that nothing new is forwarded while consumers go.
  for (auto& entry : supplierAdmins) entry.second->Shutdown(farewells);
  for (auto& entry : consumerAdmins) entry.second->Shutdown(farewells);
  router_.Clear();
  if (filters_) filters_->End();
  return true;
}

std::string EventChannel::ProxyName(CosNotifyChannelAdmin::AdminID admin, const char* side,
                                    CosNotifyChannelAdmin::ProxyID id) const {
  std::string byAdmin = admin != 0 ? "admin " + std::to_string(admin) + " " : "";
  return "channel " + key_ + ": " + byAdmin + side + " proxy " + std::to_string(id);
}

bool EventChannel::destroyed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return destroyed_;
}

void EventChannel::AdmitProxy(Side side, bool restored) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (destroyed_) throw CORBA::OBJECT_NOT_EXIST(0, CORBA::COMPLETED_NO);
  long& count = side == Side::kSupplier ? suppliers_ : consumers_;
  long limit = side == Side::kSupplier ? limits_.maxSuppliers : limits_.maxConsumers;
  if (!restored && limit > 0 && count >= limit) {
    CosNotifyChannelAdmin::AdminLimit exceeded;
    exceeded.name = side == Side::kSupplier ? CosNotification::MaxSuppliers
                                            : CosNotification::MaxConsumers;
    exceeded.value <<= static_cast<CORBA::Long>(limit);
    throw CosNotifyChannelAdmin::AdminLimitExceeded(exceeded);
  }
  long unconnectedLimit = context_.maxUnconnected;
  if (!restored && unconnectedLimit > 0 && unconnected_ >= unconnectedLimit) {
    CosNotifyChannelAdmin::AdminLimit exceeded;
    exceeded.name = kMaxUnconnected;
    exceeded.value <<= static_cast<CORBA::Long>(unconnectedLimit);
    throw CosNotifyChannelAdmin::AdminLimitExceeded(exceeded);
  }
  ++count;
  ++unconnected_;
}

void EventChannel::ProxyConnected() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (unconnected_ > 0) --unconnected_;
}

void EventChannel::ReleaseProxy(Side side, bool connected) {
  std::lock_guard<std::mutex> lock(mutex_);
  long& count = side == Side::kSupplier ? suppliers_ : consumers_;
  if (count > 0) --count;
  if (!connected && unconnected_ > 0) --unconnected_;
}

void EventChannel::ForgetConsumerAdmin(CosNotifyChannelAdmin::AdminID id) {
  PortableServer::Servant_var<ConsumerAdmin> admin;  // released outside the lock
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = consumerAdmins_.find(id);
  if (found == consumerAdmins_.end()) return;
  admin = found->second;
  consumerAdmins_.erase(found);
}

void EventChannel::ForgetSupplierAdmin(CosNotifyChannelAdmin::AdminID id) {
  PortableServer::Servant_var<SupplierAdmin> admin;  // released outside the lock
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = supplierAdmins_.find(id);
  if (found == supplierAdmins_.end()) return;
  admin = found->second;
  supplierAdmins_.erase(found);
}

PortableServer::Servant_var<ConsumerAdmin> EventChannel::FindConsumerAdmin(
    CosNotifyChannelAdmin::AdminID id) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (destroyed_) throw CORBA::OBJECT_NOT_EXIST(0, CORBA::COMPLETED_NO);
  auto found = consumerAdmins_.find(id);
  if (found == consumerAdmins_.end()) throw CosNotifyChannelAdmin::AdminNotFound();
  return found->second;
}

PortableServer::Servant_var<SupplierAdmin> EventChannel::FindSupplierAdmin(
    CosNotifyChannelAdmin::AdminID id) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (destroyed_) throw CORBA::OBJECT_NOT_EXIST(0, CORBA::COMPLETED_NO);
  auto found = supplierAdmins_.find(id);
  if (found == supplierAdmins_.end()) throw CosNotifyChannelAdmin::AdminNotFound();
  return found->second;
}

CosNotifyChannelAdmin::EventChannelFactory_ptr EventChannel::MyFactory() { RaiseNoImplement(); }

CosNotifyChannelAdmin::ConsumerAdmin_ptr EventChannel::default_consumer_admin() {
  return FindConsumerAdmin(0)->Reference();
}

CosNotifyChannelAdmin::SupplierAdmin_ptr EventChannel::default_supplier_admin() {
  return FindSupplierAdmin(0)->Reference();
}

CosNotifyFilter::FilterFactory_ptr EventChannel::default_filter_factory() {
  if (!filters_) RaiseNoImplement();
  return filters_->Reference();
}

CosNotifyChannelAdmin::ConsumerAdmin_ptr EventChannel::new_for_consumers(
    CosNotifyChannelAdmin::InterFilterGroupOperator op, CosNotifyChannelAdmin::AdminID& id) {
  PortableServer::Servant_var<ConsumerAdmin> admin;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (destroyed_) throw CORBA::OBJECT_NOT_EXIST(0, CORBA::COMPLETED_NO);
    while (!context_.Reserve(ObjectId(Side::kConsumer, nextAdminId_))) ++nextAdminId_;
    admin = new ConsumerAdmin(this, nextAdminId_, op);
    admin->Activate();
    id = nextAdminId_++;
    consumerAdmins_[id] = admin;
  }
  context_.TopologyChanged(/*wait=*/true);
  return admin->Reference();
}

CosNotifyChannelAdmin::SupplierAdmin_ptr EventChannel::new_for_suppliers(
    CosNotifyChannelAdmin::InterFilterGroupOperator op, CosNotifyChannelAdmin::AdminID& id) {
  PortableServer::Servant_var<SupplierAdmin> admin;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (destroyed_) throw CORBA::OBJECT_NOT_EXIST(0, CORBA::COMPLETED_NO);
    while (!context_.Reserve(ObjectId(Side::kSupplier, nextAdminId_))) ++nextAdminId_;
    admin = new SupplierAdmin(this, nextAdminId_, op);
    admin->Activate();
    id = nextAdminId_++;
    supplierAdmins_[id] = admin;
  }
  context_.TopologyChanged(/*wait=*/true);
  return admin->Reference();
}

CosNotifyChannelAdmin::ConsumerAdmin_ptr EventChannel::get_consumeradmin(
    CosNotifyChannelAdmin::AdminID id) {
  return FindConsumerAdmin(id)->Reference();
}

CosNotifyChannelAdmin::SupplierAdmin_ptr EventChannel::get_supplieradmin(
    CosNotifyChannelAdmin::AdminID id) {
  return FindSupplierAdmin(id)->Reference();
}

CosNotifyChannelAdmin::AdminIDSeq* EventChannel::get_all_consumeradmins() {
  std::lock_guard<std::mutex> lock(mutex_);
  CosNotifyChannelAdmin::AdminIDSeq* ids = new CosNotifyChannelAdmin::AdminIDSeq;
  ids->length(static_cast<CORBA::ULong>(consumerAdmins_.size()));
  CORBA::ULong i = 0;
  for (const auto& entry : consumerAdmins_) (*ids)[i++] = entry.first;
  return ids;
}

CosNotifyChannelAdmin::AdminIDSeq* EventChannel::get_all_supplieradmins() {
  std::lock_guard<std::mutex> lock(mutex_);
  CosNotifyChannelAdmin::AdminIDSeq* ids = new CosNotifyChannelAdmin::AdminIDSeq;
  ids->length(static_cast<CORBA::ULong>(supplierAdmins_.size()));
  CORBA::ULong i = 0;
  for (const auto& entry : supplierAdmins_) (*ids)[i++] = entry.first;
  return ids;
}

CosNotification::AdminProperties* EventChannel::get_admin() {
  std::lock_guard<std::mutex> lock(mutex_);
  return limits_.Describe();
}

void EventChannel::set_admin(const CosNotification::AdminProperties& admin) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    limits_ = ChannelLimits::Apply(limits_, admin);
    Overlay(&clientAdmin_, admin);
    backlog_.SetLimit(static_cast<std::size_t>(limits_.maxQueueLength));
  }
  context_.TopologyChanged(/*wait=*/true);
}

void EventChannel::Forward(const CosNotification::StructuredEvent& event, bool persistent,
                           LazyEventView* view) {
  if (backlog_.full()) {
    bool reject;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      reject = limits_.rejectNewEvents;
    }
    if (reject) throw CORBA::IMP_LIMIT(0, CORBA::COMPLETED_NO);
  }
  if (context_.stream == nullptr) {
    Queue(event, persistent, view);
    Accepted(event);
    return;
  }
  std::string encoded = EncodeStreamEvent(event);
  switch (context_.stream->Accept(key_, encoded.data(), encoded.size(), persistent)) {
    case EventStream::Result::kAccepted:
      Accepted(event);
      return;
    case EventStream::Result::kUnavailable:
      throw CORBA::TRANSIENT(0, CORBA::COMPLETED_NO);
    case EventStream::Result::kTimedOut:
      // Stored or not: the supplier may send it again, and its consumers
      // may then see it twice, never not at all.
      throw CORBA::TIMEOUT(0, CORBA::COMPLETED_MAYBE);
    case EventStream::Result::kRefused:
      throw CORBA::IMP_LIMIT(0, CORBA::COMPLETED_NO);
  }
}

void EventChannel::Accepted(const CosNotification::StructuredEvent& event) {
  received_.fetch_add(1, std::memory_order_relaxed);
  PassingEvents* passing = context_.passing;
  if (passing != nullptr && passing->Watched()) passing->Passed(key_, event);
}

void EventChannel::Queue(const CosNotification::StructuredEvent& event, bool persistent,
                         LazyEventView* view) {
  EventLog* log = context_.eventLog;
  if (log == nullptr) {
    router_.Forward(event, nullptr, view);
    return;
  }
  EventLog::Position logged = 0;
  router_.Forward(event, [&](ChannelEvent* copy, const std::vector<ProxyPushSupplier*>& wanting) {
    bool durable = persistent || std::any_of(wanting.begin(), wanting.end(), [](auto* proxy) {
                     return proxy->queuePolicy().persistentEvents();
                   });
    if (!durable) return;
    std::vector<ProxyKey> targets;
    for (ProxyPushSupplier* proxy : wanting) targets.push_back(proxy->key());
    logged = log->Append(key_, targets, copy);
    if (logged == 0) throw CORBA::PERSIST_STORE(0, CORBA::COMPLETED_NO);
  }, view);
  // The consumers may have it already; the supplier hears of it only once
  // it would survive a crash.
  if (logged != 0 && !log->WaitDurable(logged)) {
    throw CORBA::PERSIST_STORE(0, CORBA::COMPLETED_MAYBE);
  }
}

void EventChannel::OnQueuePolicyChanged() {
  for (auto& entry : CopyConsumerAdmins()) entry.second->ApplyQueuePolicy();
}

EventChannel::ConsumerAdmins EventChannel::CopyConsumerAdmins() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return consumerAdmins_;
}

void EventChannel::ReportDiscards() {
  EventRouter::Snapshot consumers = router_.targets();
  for (const auto& proxy : *consumers) proxy->ReportDiscards();
}

std::size_t EventChannel::ReclaimAbandoned() {
  if (context_.connectTimeout.count() == 0) return 0;
  SupplierAdmins supplierAdmins;
  ConsumerAdmins consumerAdmins;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    supplierAdmins = supplierAdmins_;
    consumerAdmins = consumerAdmins_;
  }
  auto obtainedBefore = std::chrono::steady_clock::now() - context_.connectTimeout;
  std::size_t reclaimed = 0;
  for (auto& entry : supplierAdmins) reclaimed += entry.second->ReclaimAbandoned(obtainedBefore);
  for (auto& entry : consumerAdmins) reclaimed += entry.second->ReclaimAbandoned(obtainedBefore);
  std::size_t unusedFilters = filters_ ? filters_->ReclaimUnused(obtainedBefore) : 0;
  // Written out only for a line that is logged: most scans reclaim nothing.
  auto timeout = [this] {
    return std::to_string(
               std::chrono::duration_cast<std::chrono::seconds>(context_.connectTimeout).count()) +
           " s";
  };
  if (unusedFilters != 0) {
    Log::Error("channel " + key_ + ": " + std::to_string(unusedFilters) +
               " filters reclaimed: not attached or used within " + timeout());
  }
  if (reclaimed == 0) return 0;
  reclaimed_.fetch_add(reclaimed, std::memory_order_relaxed);
  Log::Error("channel " + key_ + ": " + std::to_string(reclaimed) +
             " proxies reclaimed: not connected within " + timeout() + " of being obtained");
  return reclaimed;
}

ChannelFigures EventChannel::Figures() {
  SupplierAdmins supplierAdmins;
  ConsumerAdmins consumerAdmins;
  ChannelFigures figures;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    supplierAdmins = supplierAdmins_;
    consumerAdmins = consumerAdmins_;
    figures.supplierProxies = suppliers_;
    figures.consumerProxies = consumers_;
    figures.unconnectedProxies = unconnected_;
  }
  figures.key = key_;
  figures.received = received_.load(std::memory_order_relaxed);
  figures.reclaimed = reclaimed_.load(std::memory_order_relaxed);
  figures.queued = backlog_.queued();
  DeliveryTally::Totals totals = tally_.totals();
  figures.delivered = totals.delivered;
  figures.discarded = totals.discarded;
  for (auto& entry : supplierAdmins) entry.second->AddFigures(&figures.proxies);
  for (auto& entry : consumerAdmins) entry.second->AddFigures(&figures.proxies);
  return figures;
}

CosEventChannelAdmin::ConsumerAdmin_ptr EventChannel::for_consumers() {
  return default_consumer_admin();
}

CosEventChannelAdmin::SupplierAdmin_ptr EventChannel::for_suppliers() {
  return default_supplier_admin();
}

void EventChannel::destroy() {
  FarewellCalls farewells(context_.farewellTimeoutMs);
  if (!Destroy(farewells)) return;
  context_.TopologyChanged(/*wait=*/true);
  farewells.Run();
  if (onDestroyed_) onDestroyed_(this);
}

}  // namespace channeld
}  // namespace kestrel
