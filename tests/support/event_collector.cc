#include "tests/support/event_collector.h"

namespace kestrel {
namespace testing {

void EventCollector::Connect(CORBA::ORB_ptr orb, PortableServer::POA_ptr poa,
                             const std::string& address) {
  CORBA::Object_var object = orb->string_to_object(address.c_str());
  CosNotifyChannelAdmin::EventChannel_var channel = CosNotifyChannelAdmin::EventChannel::_narrow(object);
  CosNotifyChannelAdmin::ConsumerAdmin_var admin = channel->default_consumer_admin();
  CosNotifyChannelAdmin::ProxyID id;
  CosNotifyChannelAdmin::ProxySupplier_var proxy =
      admin->obtain_notification_push_supplier(CosNotifyChannelAdmin::STRUCTURED_EVENT, id);
  proxy_ = CosNotifyChannelAdmin::StructuredProxyPushSupplier::_narrow(proxy);
  PortableServer::ObjectId_var servantId = poa->activate_object(this);
  CORBA::Object_var self = poa->id_to_reference(servantId.in());
  CosNotifyComm::StructuredPushConsumer_var reference = CosNotifyComm::StructuredPushConsumer::_narrow(self);
  proxy_->connect_structured_push_consumer(reference);
}

void EventCollector::Disconnect() {
  if (CORBA::is_nil(proxy_)) return;
  try {
    proxy_->disconnect_structured_push_supplier();
  } catch (const CORBA::Exception&) {
  }
  proxy_ = CosNotifyChannelAdmin::StructuredProxyPushSupplier::_nil();
}

void EventCollector::push_structured_event(const CosNotification::StructuredEvent& event) {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back(event);
  arrived_.notify_all();
}

bool EventCollector::WaitForEvents(size_t n, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return arrived_.wait_for(lock, timeout, [this, n] { return events_.size() >= n; });
}

std::vector<CosNotification::StructuredEvent> EventCollector::events() {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

}  // namespace testing
}  // namespace kestrel
