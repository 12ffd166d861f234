// A plain omniORB consumer for the integration tests: connected to a
// channel through its default consumer admin, it keeps a copy of every
// structured event that arrives, for the test to look at.
//
// Lives in the test process's ORB (see TestOrb); keep it in a
// PortableServer::Servant_var and Disconnect() it before the ORB goes.

#ifndef KESTREL_TESTS_SUPPORT_EVENT_COLLECTOR_H_
#define KESTREL_TESTS_SUPPORT_EVENT_COLLECTOR_H_

#include <COS/CosNotifyChannelAdmin.hh>
#include <COS/CosNotifyComm.hh>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace kestrel {
namespace testing {

class EventCollector : public POA_CosNotifyComm::StructuredPushConsumer {
 public:
  // Connects a new proxy of the channel at address to this consumer.
  // Raises what the channel raises.
  void Connect(CORBA::ORB_ptr orb, PortableServer::POA_ptr poa, const std::string& address);
  // Disconnects the proxy; failures ignored.
  void Disconnect();

  void push_structured_event(const CosNotification::StructuredEvent& event) override;
  void disconnect_structured_push_consumer() override {}
  void offer_change(const CosNotification::EventTypeSeq&,
                    const CosNotification::EventTypeSeq&) override {}

  // True once at least n events arrived (within timeout).
  bool WaitForEvents(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  std::vector<CosNotification::StructuredEvent> events();

 private:
  CosNotifyChannelAdmin::StructuredProxyPushSupplier_var proxy_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<CosNotification::StructuredEvent> events_;  // guarded by mutex_
};

}  // namespace testing
}  // namespace kestrel

#endif  // KESTREL_TESTS_SUPPORT_EVENT_COLLECTOR_H_
