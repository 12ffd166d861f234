// What a client without Kestrel does per notification, for the benchmarks
// that set Kestrel against plain omniORB: the header that Kestrel sends, and
// an EventData record whose three values change per push.

#ifndef KESTREL_BENCH_COMMON_BARE_PUBLISHER_H_
#define KESTREL_BENCH_COMMON_BARE_PUBLISHER_H_

#include <COS/CosNotifyChannelAdmin.hh>
#include <COS/CosNotifyComm.hh>
#include <ace/INET_Addr.h>
#include <omniORB4/omniORB.h>

#include <string>

#include "kestrel.hh"

namespace kestrel {
namespace bench {

inline std::string LocalHostName() {
  char name[256] = {0};
  ACE_INET_Addr().get_host_name(name, sizeof name);
  return name;
}

// What a client without Kestrel does per notification: the header that
// Kestrel sends, and a record whose three values change per push.
class BarePublisher {
 public:
  explicit BarePublisher(const char* module) {
    CosNotification::FixedEventHeader& fixed = event_.header.fixed_header;
    fixed.event_type.domain_name = static_cast<const char*>("TNW");
    fixed.event_type.type_name = static_cast<const char*>("Event");
    fixed.event_name = static_cast<const char*>("SystemEvent");
    record_.mModule = module;
    record_.mHost = LocalHostName().c_str();
  }

  // callTimeoutMs: omniORB's call timeout on the proxy; 0 leaves none.
  void Connect(CosNotifyChannelAdmin::EventChannel_ptr channel, unsigned long callTimeoutMs) {
    CosNotifyChannelAdmin::SupplierAdmin_var admin = channel->default_supplier_admin();
    CosNotifyChannelAdmin::ProxyID id;
    CosNotifyChannelAdmin::ProxyConsumer_var proxy =
        admin->obtain_notification_push_consumer(CosNotifyChannelAdmin::STRUCTURED_EVENT, id);
    proxy_ = CosNotifyChannelAdmin::StructuredProxyPushConsumer::_narrow(proxy.in());
    if (callTimeoutMs > 0) omniORB::setClientCallTimeout(proxy_.in(), callTimeoutMs);
    proxy_->connect_structured_push_supplier(CosNotifyComm::StructuredPushSupplier::_nil());
  }

  void Disconnect() {
    if (CORBA::is_nil(proxy_)) return;
    proxy_->disconnect_structured_push_consumer();
    proxy_ = CosNotifyChannelAdmin::StructuredProxyPushConsumer::_nil();
  }

  void Push(CORBA::ULong severity, CORBA::ULong code, const char* description) {
    record_.mSeverity = severity;
    record_.mMessageCode = code;
    record_.mDescription = description;
    event_.remainder_of_body <<= record_;
    proxy_->push_structured_event(event_);
  }

  // Pushes the event as the last Push left it.
  void PushAgain() { proxy_->push_structured_event(event_); }

 private:
  CosNotifyChannelAdmin::StructuredProxyPushConsumer_var proxy_;
  CosNotification::StructuredEvent event_;
  Kestrel::EventData record_;
};

}  // namespace bench
}  // namespace kestrel

#endif  // KESTREL_BENCH_COMMON_BARE_PUBLISHER_H_
