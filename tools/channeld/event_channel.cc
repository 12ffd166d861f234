#include "tools/channeld/event_channel.h"

#include <utility>

#include "channel/screened_dispatch.h"
#include "tools/channeld/consumer_admin.h"
#include "tools/channeld/farewell_calls.h"
#include "tools/channeld/log.h"
#include "tools/channeld/supplier_admin.h"

namespace kestrel {
namespace channeld {

CORBA::Boolean EventChannel::_dispatch(omniCallHandle& handle) {
  return RefuseScreenedPropertyRequest(this, handle) ||
         POA_CosNotifyChannelAdmin::EventChannel::_dispatch(handle);
}

EventChannel::EventChannel(std::string key, const ServiceContext& context,
                           DestroyedCallback onDestroyed)
    : key_(std::move(key)), context_(context), onDestroyed_(std::move(onDestroyed)) {}

EventChannel::~EventChannel() = default;

void EventChannel::Activate() {
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
  CORBA::Object_var reference =
      activation_.ActivateWithId(context_.channelPoa.in(), key_, this);
  reference_ = CosNotifyChannelAdmin::EventChannel::_narrow(reference.in());
}

CosNotifyChannelAdmin::EventChannel_ptr EventChannel::Reference() {
  return CosNotifyChannelAdmin::EventChannel::_duplicate(reference_.in());
}

bool EventChannel::Destroy(FarewellCalls& farewells) {
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
  Log::Info("channel " + key_ + " destroyed");
  return true;
}

bool EventChannel::destroyed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return destroyed_;
}

void EventChannel::AdmitProxy(Side side) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (destroyed_) throw CORBA::OBJECT_NOT_EXIST(0, CORBA::COMPLETED_NO);
  long& count = side == Side::kSupplier ? suppliers_ : consumers_;
  long limit = side == Side::kSupplier ? context_.maxSuppliers : context_.maxConsumers;
  if (limit > 0 && count >= limit) {
    CosNotifyChannelAdmin::AdminLimit exceeded;
    exceeded.name = side == Side::kSupplier ? CosNotification::MaxSuppliers
                                            : CosNotification::MaxConsumers;
    exceeded.value <<= static_cast<CORBA::Long>(limit);
    throw CosNotifyChannelAdmin::AdminLimitExceeded(exceeded);
  }
  ++count;
}

void EventChannel::ReleaseProxy(Side side) {
  std::lock_guard<std::mutex> lock(mutex_);
  long& count = side == Side::kSupplier ? suppliers_ : consumers_;
  if (count > 0) --count;
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

CosNotifyFilter::FilterFactory_ptr EventChannel::default_filter_factory() { RaiseNoImplement(); }

CosNotifyChannelAdmin::ConsumerAdmin_ptr EventChannel::new_for_consumers(
    CosNotifyChannelAdmin::InterFilterGroupOperator op, CosNotifyChannelAdmin::AdminID& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (destroyed_) throw CORBA::OBJECT_NOT_EXIST(0, CORBA::COMPLETED_NO);
  PortableServer::Servant_var<ConsumerAdmin> admin = new ConsumerAdmin(this, nextAdminId_, op);
  admin->Activate();
  id = nextAdminId_++;
  consumerAdmins_[id] = admin;
  return admin->Reference();
}

CosNotifyChannelAdmin::SupplierAdmin_ptr EventChannel::new_for_suppliers(
    CosNotifyChannelAdmin::InterFilterGroupOperator op, CosNotifyChannelAdmin::AdminID& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (destroyed_) throw CORBA::OBJECT_NOT_EXIST(0, CORBA::COMPLETED_NO);
  PortableServer::Servant_var<SupplierAdmin> admin = new SupplierAdmin(this, nextAdminId_, op);
  admin->Activate();
  id = nextAdminId_++;
  supplierAdmins_[id] = admin;
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
  // 0 is the standard's "no limit".
  CosNotification::AdminProperties* properties = new CosNotification::AdminProperties;
  properties->length(2);
  (*properties)[0].name = CosNotification::MaxConsumers;
  (*properties)[0].value <<= static_cast<CORBA::Long>(context_.maxConsumers);
  (*properties)[1].name = CosNotification::MaxSuppliers;
  (*properties)[1].value <<= static_cast<CORBA::Long>(context_.maxSuppliers);
  return properties;
}

void EventChannel::set_admin(const CosNotification::AdminProperties&) { RaiseNoImplement(); }

CosEventChannelAdmin::ConsumerAdmin_ptr EventChannel::for_consumers() {
  return default_consumer_admin();
}

CosEventChannelAdmin::SupplierAdmin_ptr EventChannel::for_suppliers() {
  return default_supplier_admin();
}

void EventChannel::destroy() {
  FarewellCalls farewells(context_.farewellTimeoutMs);
  if (!Destroy(farewells)) return;
  farewells.Run();
  if (onDestroyed_) onDestroyed_(this);
}

}  // namespace channeld
}  // namespace kestrel
