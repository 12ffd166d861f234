// Plain omniORB suppliers and consumers for the channeld tests: a test ORB,
// servants that record what the channel does to them, and helpers that
// connect them through a channel's default admins.

#ifndef KESTREL_TESTS_CHANNELD_CHANNEL_CLIENTS_H_
#define KESTREL_TESTS_CHANNELD_CHANNEL_CLIENTS_H_

#include <COS/CosNotifyChannelAdmin.hh>
#include <COS/CosNotifyComm.hh>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace kestrel {
namespace testing {

// The process's ORB (listening where ORBendPoint in the environment says)
// with its RootPOA active; shut down and destroyed with the object.
class TestOrb {
 public:
  TestOrb();
  ~TestOrb();
  TestOrb(const TestOrb&) = delete;
  TestOrb& operator=(const TestOrb&) = delete;

  CORBA::ORB_ptr orb() const { return orb_.in(); }
  PortableServer::POA_ptr poa() const { return poa_.in(); }

  // The channel at a corbaloc address (no remote call is made).
  CosNotifyChannelAdmin::EventChannel_ptr Channel(const std::string& address) const;

 private:
  CORBA::ORB_var orb_;
  PortableServer::POA_var poa_;
};

// What a test event carries: its type, the supplier that pushed it (as its
// event name, "supplier#sequence") and that supplier's sequence number.
struct TestEvent {
  std::string domain;
  std::string type;
  std::string supplier;
  unsigned long sequence = 0;
};

CosNotification::StructuredEvent MakeEvent(const std::string& domain, const std::string& type,
                                           const std::string& supplier, unsigned long sequence);
CosNotification::EventTypeSeq EventTypes(
    const std::vector<std::pair<std::string, std::string>>& types);

// A consumer that records every event and every disconnect call. It can be
// made slow (delay per event).
class RecordingConsumer : public POA_CosNotifyComm::StructuredPushConsumer {
 public:
  explicit RecordingConsumer(std::chrono::milliseconds delay = std::chrono::milliseconds(0));

  void push_structured_event(const CosNotification::StructuredEvent& event) override;
  void disconnect_structured_push_consumer() override;
  void offer_change(const CosNotification::EventTypeSeq& added,
                    const CosNotification::EventTypeSeq& removed) override;

  std::vector<TestEvent> events() const;
  std::size_t count() const;
  int disconnects() const;
  // True once count() >= n (within timeout).
  bool WaitForEvents(std::size_t n, std::chrono::milliseconds timeout) const;
  bool WaitForDisconnect(std::chrono::milliseconds timeout) const;

 private:
  const std::chrono::milliseconds delay_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<TestEvent> events_;
  int disconnects_ = 0;
};

// A supplier that records disconnect calls.
class RecordingSupplier : public POA_CosNotifyComm::StructuredPushSupplier {
 public:
  void disconnect_structured_push_supplier() override;
  void subscription_change(const CosNotification::EventTypeSeq& added,
                           const CosNotification::EventTypeSeq& removed) override;

  int disconnects() const;
  bool WaitForDisconnect(std::chrono::milliseconds timeout) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  int disconnects_ = 0;
};

struct ConnectedConsumer {
  PortableServer::Servant_var<RecordingConsumer> servant;
  CosNotifyComm::StructuredPushConsumer_var reference;
  CosNotifyChannelAdmin::StructuredProxyPushSupplier_var proxy;
  CosNotifyChannelAdmin::ProxyID id = -1;
};

struct ConnectedSupplier {
  PortableServer::Servant_var<RecordingSupplier> servant;
  CosNotifyComm::StructuredPushSupplier_var reference;
  CosNotifyChannelAdmin::StructuredProxyPushConsumer_var proxy;
  CosNotifyChannelAdmin::ProxyID id = -1;
};

// Obtains a proxy from admin (the channel's default admin when nil),
// subscribes it to subscription (unless empty) and connects a new recording
// consumer. Raises what the channel raises.
ConnectedConsumer ConnectConsumer(
    const TestOrb& orb, CosNotifyChannelAdmin::EventChannel_ptr channel,
    const CosNotification::EventTypeSeq& subscription = CosNotification::EventTypeSeq(),
    std::chrono::milliseconds delay = std::chrono::milliseconds(0),
    CosNotifyChannelAdmin::ConsumerAdmin_ptr admin = CosNotifyChannelAdmin::ConsumerAdmin::_nil());

// Pushes the events of supplier with sequence numbers from to to-1, of type
// Kestrel/Tick unless told otherwise. Raises what the proxy raises.
void PushEvents(CosNotifyChannelAdmin::StructuredProxyPushConsumer_ptr proxy,
                const std::string& supplier, unsigned long from, unsigned long to,
                const char* domain = "Kestrel", const char* type = "Tick");

// Obtains a proxy from the default supplier admin and connects a new
// recording supplier. Raises what the channel raises.
ConnectedSupplier ConnectSupplier(const TestOrb& orb,
                                  CosNotifyChannelAdmin::EventChannel_ptr channel);

// The sequence numbers of the events that consumer received, in order.
std::vector<unsigned long> Sequences(const RecordingConsumer& consumer);
// from, from + 1, ..., to - 1.
std::vector<unsigned long> Range(unsigned long from, unsigned long to);

// The ids of the proxies that the admin holds.
std::vector<CosNotifyChannelAdmin::ProxyID> Ids(const CosNotifyChannelAdmin::ProxyIDSeq& ids);

}  // namespace testing
}  // namespace kestrel

#endif  // KESTREL_TESTS_CHANNELD_CHANNEL_CLIENTS_H_
