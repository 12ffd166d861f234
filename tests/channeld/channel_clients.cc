#include "tests/channeld/channel_clients.h"

#include <cstdlib>
#include <thread>

namespace kestrel {
namespace testing {

TestOrb::TestOrb() {
  int argc = 0;
  orb_ = CORBA::ORB_init(argc, nullptr);
  CORBA::Object_var root = orb_->resolve_initial_references("RootPOA");
  poa_ = PortableServer::POA::_narrow(root.in());
  PortableServer::POAManager_var manager = poa_->the_POAManager();
  manager->activate();
}

TestOrb::~TestOrb() {
  try {
    orb_->shutdown(true);
    orb_->destroy();
  } catch (const CORBA::Exception&) {
  }
}

CosNotifyChannelAdmin::EventChannel_ptr TestOrb::Channel(const std::string& address) const {
  CORBA::Object_var object = orb_->string_to_object(address.c_str());
  return CosNotifyChannelAdmin::EventChannel::_unchecked_narrow(object.in());
}

CosNotification::StructuredEvent MakeEvent(const std::string& domain, const std::string& type,
                                           const std::string& supplier, unsigned long sequence) {
  CosNotification::StructuredEvent event;
  event.header.fixed_header.event_type.domain_name = domain.c_str();
  event.header.fixed_header.event_type.type_name = type.c_str();
  event.header.fixed_header.event_name = (supplier + "#" + std::to_string(sequence)).c_str();
  event.remainder_of_body <<= static_cast<CORBA::ULong>(sequence);
  return event;
}

CosNotification::EventTypeSeq EventTypes(
    const std::vector<std::pair<std::string, std::string>>& types) {
  CosNotification::EventTypeSeq sequence;
  sequence.length(static_cast<CORBA::ULong>(types.size()));
  for (CORBA::ULong i = 0; i < sequence.length(); ++i) {
    sequence[i].domain_name = types[i].first.c_str();
    sequence[i].type_name = types[i].second.c_str();
  }
  return sequence;
}

RecordingConsumer::RecordingConsumer(std::chrono::milliseconds delay) : delay_(delay) {}

void RecordingConsumer::push_structured_event(const CosNotification::StructuredEvent& event) {
  if (delay_.count() > 0) std::this_thread::sleep_for(delay_);
  TestEvent received;
  received.domain = event.header.fixed_header.event_type.domain_name.in();
  received.type = event.header.fixed_header.event_type.type_name.in();
  std::string name = event.header.fixed_header.event_name.in();
  std::size_t hash = name.rfind('#');
  received.supplier = name.substr(0, hash);
  if (hash != std::string::npos) received.sequence = std::strtoul(name.c_str() + hash + 1, nullptr, 10);
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back(received);
  changed_.notify_all();
}

void RecordingConsumer::disconnect_structured_push_consumer() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++disconnects_;
  changed_.notify_all();
}

void RecordingConsumer::offer_change(const CosNotification::EventTypeSeq&,
                                     const CosNotification::EventTypeSeq&) {}

std::vector<TestEvent> RecordingConsumer::events() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

std::size_t RecordingConsumer::count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_.size();
}

int RecordingConsumer::disconnects() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return disconnects_;
}

bool RecordingConsumer::WaitForEvents(std::size_t n, std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return events_.size() >= n; });
}

bool RecordingConsumer::WaitForDisconnect(std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return disconnects_ > 0; });
}

void RecordingSupplier::disconnect_structured_push_supplier() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++disconnects_;
  changed_.notify_all();
}

void RecordingSupplier::subscription_change(const CosNotification::EventTypeSeq&,
                                            const CosNotification::EventTypeSeq&) {}

int RecordingSupplier::disconnects() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return disconnects_;
}

bool RecordingSupplier::WaitForDisconnect(std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return disconnects_ > 0; });
}

ConnectedConsumer ConnectConsumer(const TestOrb& orb,
                                  CosNotifyChannelAdmin::EventChannel_ptr channel,
                                  const CosNotification::EventTypeSeq& subscription,
                                  std::chrono::milliseconds delay,
                                  CosNotifyChannelAdmin::ConsumerAdmin_ptr admin) {
  ConnectedConsumer connected;
  CosNotifyChannelAdmin::ConsumerAdmin_var useAdmin =
      CORBA::is_nil(admin) ? channel->default_consumer_admin()
                           : CosNotifyChannelAdmin::ConsumerAdmin::_duplicate(admin);
  CosNotifyChannelAdmin::ProxySupplier_var proxy =
      useAdmin->obtain_notification_push_supplier(CosNotifyChannelAdmin::STRUCTURED_EVENT,
                                                  connected.id);
  connected.proxy = CosNotifyChannelAdmin::StructuredProxyPushSupplier::_narrow(proxy.in());
  if (subscription.length() > 0) {
    connected.proxy->subscription_change(subscription, CosNotification::EventTypeSeq());
  }
  connected.servant = new RecordingConsumer(delay);
  PortableServer::ObjectId_var id = orb.poa()->activate_object(connected.servant.in());
  CORBA::Object_var reference = orb.poa()->id_to_reference(id.in());
  connected.reference = CosNotifyComm::StructuredPushConsumer::_narrow(reference.in());
  connected.proxy->connect_structured_push_consumer(connected.reference.in());
  return connected;
}

void PushEvents(CosNotifyChannelAdmin::StructuredProxyPushConsumer_ptr proxy,
                const std::string& supplier, unsigned long from, unsigned long to,
                const char* domain, const char* type) {
  for (unsigned long i = from; i < to; ++i) {
    proxy->push_structured_event(MakeEvent(domain, type, supplier, i));
  }
}

ConnectedSupplier ConnectSupplier(const TestOrb& orb,
                                  CosNotifyChannelAdmin::EventChannel_ptr channel) {
  ConnectedSupplier connected;
  CosNotifyChannelAdmin::SupplierAdmin_var admin = channel->default_supplier_admin();
  CosNotifyChannelAdmin::ProxyConsumer_var proxy = admin->obtain_notification_push_consumer(
      CosNotifyChannelAdmin::STRUCTURED_EVENT, connected.id);
  connected.proxy = CosNotifyChannelAdmin::StructuredProxyPushConsumer::_narrow(proxy.in());
  connected.servant = new RecordingSupplier;
  PortableServer::ObjectId_var id = orb.poa()->activate_object(connected.servant.in());
  CORBA::Object_var reference = orb.poa()->id_to_reference(id.in());
  connected.reference = CosNotifyComm::StructuredPushSupplier::_narrow(reference.in());
  connected.proxy->connect_structured_push_supplier(connected.reference.in());
  return connected;
}

std::vector<CosNotifyChannelAdmin::ProxyID> Ids(const CosNotifyChannelAdmin::ProxyIDSeq& ids) {
  std::vector<CosNotifyChannelAdmin::ProxyID> result;
  for (CORBA::ULong i = 0; i < ids.length(); ++i) result.push_back(ids[i]);
  return result;
}

std::vector<unsigned long> Sequences(const RecordingConsumer& consumer) {
  std::vector<unsigned long> sequences;
  for (const TestEvent& event : consumer.events()) sequences.push_back(event.sequence);
  return sequences;
}

std::vector<unsigned long> Range(unsigned long from, unsigned long to) {
  std::vector<unsigned long> range;
  for (unsigned long i = from; i < to; ++i) range.push_back(i);
  return range;
}

}  // namespace testing
}  // namespace kestrel
