// kestrel-channeld's flow control, queue QoS, admin properties and reports,
// end to end: each case runs its own channeld on a free loopback port and
// talks to it as plain omniORB suppliers and consumers.

#include <gtest/gtest.h>

#include <COS/TimeBase.hh>

#include <signal.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/channeld/channel_clients.h"
#include "tests/channeld/child_process.h"
#include "tests/channeld/properties.h"
#include "tests/support/channel_service.h"
#include "tests/support/test_support.h"

namespace kestrel {
namespace testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = std::chrono::steady_clock;

constexpr milliseconds kDeliveryWait = seconds(30);

CORBA::Long MaxEventsOf(CosNotification::QoSAdmin_ptr level) {
  CosNotification::QoSProperties_var qos = level->get_qos();
  for (CORBA::ULong i = 0; i < qos->length(); ++i) {
    CORBA::Long events = -1;
    if (std::string(qos[i].name.in()) == "MaxEventsPerConsumer" && (qos[i].value >>= events)) {
      return events;
    }
  }
  return -1;
}

void SetMaxEvents(CosNotification::QoSAdmin_ptr level, CORBA::Long events) {
  level->set_qos(Properties({Property(CosNotification::MaxEventsPerConsumer, events)}));
}

// A channeld whose stderr goes to a file that the test reads.
class ReportingService {
 public:
  explicit ReportingService(std::vector<std::string> arguments) {
    ChannelService::Options options;
    options.extraArguments = std::move(arguments);
    options.errorFile = folder_.File("stderr");
    service_.reset(new ChannelService(options));
  }

  ChannelService& service() { return *service_; }
  std::string errors() const { return ReadFile(folder_.File("stderr")); }

  // Waits for stderr to match pattern; answers what it holds then.
  bool WaitForErrors(const std::regex& pattern, std::string* text) const {
    Clock::time_point deadline = Clock::now() + seconds(10);
    for (;;) {
      *text = errors();
      if (std::regex_search(*text, pattern)) return true;
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(milliseconds(50));
    }
  }

  // The sum of the discards that stderr reports for a consumer proxy of the
  // default admin.
  unsigned long DiscardsReported(CosNotifyChannelAdmin::ProxyID id, const char* policy) const {
    std::regex line("consumer proxy " + std::to_string(id) + ": ([0-9]+) events discarded, " +
                    "queue full \\(" + policy + "\\)");
    std::string text = errors();
    unsigned long total = 0;
    for (std::sregex_iterator match(text.begin(), text.end(), line), end; match != end; ++match) {
      total += std::stoul((*match)[1].str());
    }
    return total;
  }

 private:
  TemporaryFolder folder_;
  std::unique_ptr<ChannelService> service_;
};

class FlowControlTest : public ::testing::Test {
 protected:
  CosNotifyChannelAdmin::EventChannel_ptr Channel(const ChannelService& service) {
    return orb_.Channel(service.address());
  }

  TestOrb orb_;
};

TEST_F(FlowControlTest, SlowConsumerReceivesEveryEventOfASupplierFasterThanIt) {
  // A queue far smaller than the burst: only waiting for room saves it.
  ReportingService reporting({"--queue", "100"});
  ChannelService& service = reporting.service();
  ASSERT_TRUE(service.Start());
  CosNotifyChannelAdmin::EventChannel_var channel = Channel(service);
  ConnectedConsumer slow = ConnectConsumer(orb_, channel.in(), CosNotification::EventTypeSeq(),
                                           milliseconds(1));
  ConnectedSupplier supplier = ConnectSupplier(orb_, channel.in());

  const unsigned long kEvents = 5000;
  PushEvents(supplier.proxy.in(), "supplier", 0, kEvents);
  ASSERT_TRUE(slow.servant->WaitForEvents(kEvents, kDeliveryWait)) << slow.servant->count();
  EXPECT_EQ(Range(0, kEvents), Sequences(*slow.servant));
  EXPECT_EQ(0, service.Stop());
  EXPECT_EQ(std::string::npos, reporting.errors().find("discarded")) << reporting.errors();
}

TEST_F(FlowControlTest, WithoutWaitingAFullQueueDiscardsByItsPolicyAndSaysSo) {
  ReportingService reporting({"--block-timeout", "0", "--queue", "100"});
  ChannelService& service = reporting.service();
  ASSERT_TRUE(service.Start());
  CosNotifyChannelAdmin::EventChannel_var channel = Channel(service);
  ConnectedConsumer fifo = ConnectConsumer(orb_, channel.in());
  ConnectedConsumer lifo = ConnectConsumer(orb_, channel.in());
  lifo.proxy->set_qos(
      Properties({Property(CosNotification::DiscardPolicy, CosNotification::LifoOrder)}));
  ConnectedSupplier supplier = ConnectSupplier(orb_, channel.in());

  fifo.proxy->suspend_connection();
  lifo.proxy->suspend_connection();
  PushEvents(supplier.proxy.in(), "supplier", 0, 1000);
  fifo.proxy->resume_connection();
  lifo.proxy->resume_connection();
  ASSERT_TRUE(fifo.servant->WaitForEvents(100, kDeliveryWait));
  ASSERT_TRUE(lifo.servant->WaitForEvents(100, kDeliveryWait));
  std::this_thread::sleep_for(milliseconds(200));
  EXPECT_EQ(Range(900, 1000), Sequences(*fifo.servant));  // the newest
  EXPECT_EQ(Range(0, 100), Sequences(*lifo.servant));     // the oldest

  std::string errors;
  std::regex both("consumer proxy " + std::to_string(fifo.id) + ": .*discarded[^]*" +
                  "consumer proxy " + std::to_string(lifo.id) + ": .*discarded|" +
                  "consumer proxy " + std::to_string(lifo.id) + ": .*discarded[^]*" +
                  "consumer proxy " + std::to_string(fifo.id) + ": .*discarded");
  ASSERT_TRUE(reporting.WaitForErrors(both, &errors)) << errors;
  // A report may fall in the middle of the burst: the lines add up.
  Clock::time_point deadline = Clock::now() + seconds(5);
  while ((reporting.DiscardsReported(fifo.id, "FifoOrder") < 900 ||
          reporting.DiscardsReported(lifo.id, "LifoOrder") < 900) &&
         Clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(50));
  }
  EXPECT_EQ(900u, reporting.DiscardsReported(fifo.id, "FifoOrder")) << reporting.errors();
  EXPECT_EQ(900u, reporting.DiscardsReported(lifo.id, "LifoOrder")) << reporting.errors();

  ASSERT_EQ(0, ::kill(service.pid(), SIGUSR1));
  std::regex counters("channel NotifyEventChannel: received 1000, queued 0[^]*consumer proxy " +
                      std::to_string(fifo.id) +
                      ": delivered 100, discarded 900, queued 0, retries 0, overflowing no");
  EXPECT_TRUE(reporting.WaitForErrors(counters, &errors)) << errors;
  EXPECT_NE(std::string::npos,
            errors.find("supplier proxy " + std::to_string(supplier.id) + ": received 1000"))
      << errors;
  EXPECT_EQ(0, service.Stop());
}

TEST_F(FlowControlTest, HungConsumerHoldsSuppliersUpForOneBlockTimeoutOnly) {
  const milliseconds kBlock(1000);
  ReportingService reporting({"--queue", "50", "--block-timeout", "1000"});
  ChannelService& service = reporting.service();
  ASSERT_TRUE(service.Start());
  CosNotifyChannelAdmin::EventChannel_var channel = Channel(service);
  ConnectedConsumer healthy = ConnectConsumer(orb_, channel.in());
  ConnectedSupplier supplier = ConnectSupplier(orb_, channel.in());
  ChildProcess hung;  // connected, and answering nothing
  long id = StartConsumerProcess(&hung, service.address(), true);
  ASSERT_NE(-1, id);
  const std::string hungId = std::to_string(id);

  // Waiting for it on every event past its queue would take 950 s.
  const unsigned long kEvents = 1000;
  Clock::time_point started = Clock::now();
  PushEvents(supplier.proxy.in(), "supplier", 0, kEvents);
  Clock::duration took = Clock::now() - started;
  EXPECT_GE(took, kBlock - milliseconds(50));
  EXPECT_LT(took, 4 * kBlock);
  ASSERT_TRUE(healthy.servant->WaitForEvents(kEvents, kDeliveryWait));
  EXPECT_EQ(Range(0, kEvents), Sequences(*healthy.servant));

  std::string errors;
  EXPECT_TRUE(reporting.WaitForErrors(
      std::regex("consumer proxy " + hungId + ": [0-9]+ events discarded, queue full \\(FifoOrder\\)"),
      &errors))
      << errors;
  ASSERT_EQ(0, ::kill(service.pid(), SIGUSR1));
  EXPECT_TRUE(reporting.WaitForErrors(
      std::regex("consumer proxy " + hungId + ": delivered 0, .*overflowing yes"), &errors))
      << errors;
  EXPECT_EQ(0, service.Stop());
}

TEST_F(FlowControlTest, SetQosRefusesOnlyWhatItCannotTakeAndAppliesNothingThen) {
  ChannelService service;
  ASSERT_TRUE(service.Start());
  CosNotifyChannelAdmin::EventChannel_var channel = Channel(service);
  CosNotification::QoSProperties request =
      Properties({Property(CosNotification::MaxEventsPerConsumer, CORBA::Long(50)),
                  Property(CosNotification::EventReliability, CosNotification::Persistent)});
  for (bool validating : {true, false}) {
    try {
      if (validating) {
        CosNotification::NamedPropertyRangeSeq_var available;
        channel->validate_qos(request, available.out());
      } else {
        channel->set_qos(request);
      }
      ADD_FAILURE() << "accepted";
    } catch (const CosNotification::UnsupportedQoS& refused) {
      ASSERT_EQ(1u, refused.qos_err.length());
      EXPECT_STREQ("EventReliability", refused.qos_err[0].name.in());
      // Persistent events need a state directory, which this service lacks.
      EXPECT_EQ(CosNotification::UNSUPPORTED_VALUE, refused.qos_err[0].code);
    }
  }
  EXPECT_EQ(10000, MaxEventsOf(channel.in()));

  // The values in force, with the types that clients of other services use.
  SetMaxEvents(channel.in(), 50);
  CosNotification::QoSProperties_var qos = channel->get_qos();
  ASSERT_EQ(5u, qos->length());
  CORBA::Short policy = -1;
  TimeBase::TimeT blocking = 0;
  for (CORBA::ULong i = 0; i < qos->length(); ++i) {
    std::string name = qos[i].name.in();
    if (name == "DiscardPolicy") EXPECT_TRUE(qos[i].value >>= policy);
    if (name == "BlockingPolicy") EXPECT_TRUE(qos[i].value >>= blocking);
  }
  EXPECT_EQ(CosNotification::FifoOrder, policy);
  EXPECT_EQ(20000000u, blocking);  // 2 s in 100 ns units
  EXPECT_EQ(50, MaxEventsOf(channel.in()));
  EXPECT_EQ(0, service.Stop());
}

TEST_F(FlowControlTest, QoSOfAProxyOverridesItsAdminsWhichOverridesTheChannels) {
  ChannelService::Options options;
  options.extraArguments = {"--block-timeout", "0"};
  ChannelService service(options);
  ASSERT_TRUE(service.Start());
  CosNotifyChannelAdmin::EventChannel_var channel = Channel(service);
  CosNotifyChannelAdmin::AdminID adminId = -1;
  CosNotifyChannelAdmin::ConsumerAdmin_var admin =
      channel->new_for_consumers(CosNotifyChannelAdmin::AND_OP, adminId);
  ConnectedConsumer own = ConnectConsumer(orb_, channel.in(), CosNotification::EventTypeSeq(),
                                          milliseconds(0), admin.in());
  ConnectedConsumer byAdmin = ConnectConsumer(orb_, channel.in(), CosNotification::EventTypeSeq(),
                                              milliseconds(0), admin.in());
  ConnectedConsumer byChannel = ConnectConsumer(orb_, channel.in());
  ConnectedSupplier supplier = ConnectSupplier(orb_, channel.in());

  // Set after the consumers connected: connected queues take the change.
  SetMaxEvents(own.proxy.in(), 100);
  SetMaxEvents(admin.in(), 200);
  SetMaxEvents(channel.in(), 300);
  EXPECT_EQ(100, MaxEventsOf(own.proxy.in()));
  EXPECT_EQ(200, MaxEventsOf(byAdmin.proxy.in()));
  EXPECT_EQ(200, MaxEventsOf(admin.in()));
  EXPECT_EQ(300, MaxEventsOf(byChannel.proxy.in()));

  for (ConnectedConsumer* consumer : {&own, &byAdmin, &byChannel}) {
    consumer->proxy->suspend_connection();
  }
  PushEvents(supplier.proxy.in(), "supplier", 0, 500);
  for (ConnectedConsumer* consumer : {&own, &byAdmin, &byChannel}) {
    consumer->proxy->resume_connection();
  }
  ASSERT_TRUE(byChannel.servant->WaitForEvents(300, kDeliveryWait));
  ASSERT_TRUE(byAdmin.servant->WaitForEvents(200, kDeliveryWait));
  ASSERT_TRUE(own.servant->WaitForEvents(100, kDeliveryWait));
  std::this_thread::sleep_for(milliseconds(200));
  EXPECT_EQ(Range(400, 500), Sequences(*own.servant));
  EXPECT_EQ(Range(300, 500), Sequences(*byAdmin.servant));
  EXPECT_EQ(Range(200, 500), Sequences(*byChannel.servant));
  EXPECT_EQ(0, service.Stop());
}

TEST_F(FlowControlTest, AdminPropertiesBoundTheChannel) {
  ChannelService service;
  ASSERT_TRUE(service.Start());
  CosNotifyChannelAdmin::EventChannel_var channel = Channel(service);
  ConnectedConsumer consumer = ConnectConsumer(orb_, channel.in());
  ConnectedSupplier supplier = ConnectSupplier(orb_, channel.in());
  CosNotification::AdminProperties_var defaults = channel->get_admin();
  ASSERT_EQ(4u, defaults->length());

  EXPECT_THROW(channel->set_admin(Properties({Property(CosNotification::MaxQueueLength,
                                                       CORBA::Long(5)),
                                              Property("MaxQueueSize", CORBA::Long(5))})),
               CosNotification::UnsupportedAdmin);
  channel->set_admin(
      Properties({Property(CosNotification::MaxQueueLength, CORBA::Long(5)),
                  Property(CosNotification::RejectNewEvents, CORBA::Any::from_boolean(1)),
                  Property(CosNotification::MaxConsumers, CORBA::Long(1))}));
  CosNotifyChannelAdmin::ConsumerAdmin_var consumers = channel->default_consumer_admin();
  CosNotifyChannelAdmin::ProxyID id = -1;
  EXPECT_THROW(
      consumers->obtain_notification_push_supplier(CosNotifyChannelAdmin::STRUCTURED_EVENT, id),
      CosNotifyChannelAdmin::AdminLimitExceeded);

  consumer.proxy->suspend_connection();
  PushEvents(supplier.proxy.in(), "supplier", 0, 5);
  EXPECT_THROW(PushEvents(supplier.proxy.in(), "supplier", 5, 6), CORBA::IMP_LIMIT);
  // Not rejected: the consumer's discard policy makes room instead.
  channel->set_admin(
      Properties({Property(CosNotification::RejectNewEvents, CORBA::Any::from_boolean(0))}));
  PushEvents(supplier.proxy.in(), "supplier", 6, 8);
  consumer.proxy->resume_connection();
  ASSERT_TRUE(consumer.servant->WaitForEvents(5, kDeliveryWait));
  std::this_thread::sleep_for(milliseconds(200));
  EXPECT_EQ((std::vector<unsigned long>{2, 3, 4, 6, 7}), Sequences(*consumer.servant));
  EXPECT_EQ(0, service.Stop());
}

}  // namespace
}  // namespace testing
}  // namespace kestrel
