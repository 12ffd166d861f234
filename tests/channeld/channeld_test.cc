// kestrel-channeld end to end: each case runs its own channeld on a free
// loopback port (ChannelService) and talks to it as plain omniORB suppliers
// and consumers.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "channel/screened_dispatch.h"
#include "channeld/base/system.h"
#include "channeld/runtime/allowed_peers.h"
#include "tests/channeld/channel_clients.h"
#include "tests/channeld/child_process.h"
#include "tests/support/cdr_writer.h"
#include "tests/support/channel_service.h"
#include "tests/support/test_support.h"

namespace kestrel {
namespace testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = std::chrono::steady_clock;
using testing::CdrWriter;

constexpr milliseconds kDeliveryWait = seconds(10);

// Every supplier's events arrived exactly once each, 0..count-1, in order.
void ExpectEverySupplierInOrder(const std::vector<TestEvent>& events,
                                const std::vector<std::string>& suppliers, unsigned long count) {
  std::map<std::string, std::vector<unsigned long>> bySupplier;
  for (const TestEvent& event : events) bySupplier[event.supplier].push_back(event.sequence);
  EXPECT_EQ(suppliers.size(), bySupplier.size());
  for (const std::string& supplier : suppliers) {
    const std::vector<unsigned long>& sequences = bySupplier[supplier];
    ASSERT_EQ(count, sequences.size()) << supplier;
    for (unsigned long i = 0; i < count; ++i) {
      ASSERT_EQ(i, sequences[i]) << supplier << " out of order at " << i;
    }
  }
}

bool HoldsId(CosNotifyChannelAdmin::ConsumerAdmin_ptr admin, CosNotifyChannelAdmin::ProxyID id) {
  CosNotifyChannelAdmin::ProxyIDSeq_var ids = admin->push_suppliers();
  std::vector<CosNotifyChannelAdmin::ProxyID> held = Ids(ids.in());
  return std::find(held.begin(), held.end(), id) != held.end();
}

// Waits up to timeout for the admin to let go of proxy id.
bool WaitUntilDropped(CosNotifyChannelAdmin::ConsumerAdmin_ptr admin,
                      CosNotifyChannelAdmin::ProxyID id, milliseconds timeout) {
  Clock::time_point deadline = Clock::now() + timeout;
  while (HoldsId(admin, id)) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(milliseconds(20));
  }
  return true;
}

// Every case ends with service.Stop() == 0, as a deployment ends: each
// client told, and a clean exit (which, in a sanitizer build, includes no
// leak report from channeld).
class ChanneldTest : public ::testing::Test {
 protected:
  CosNotifyChannelAdmin::EventChannel_ptr Channel(const ChannelService& service,
                                                  std::size_t index = 0) {
    return orb_.Channel(service.address(index));
  }

  void PushAll(ConnectedSupplier& supplier, const std::string& name, unsigned long from,
               unsigned long to) {
    PushEvents(supplier.proxy.in(), name, from, to);
  }

  TestOrb orb_;
};

TEST_F(ChanneldTest, DeliversEveryEventToEveryMatchingConsumerInSupplierOrder) {
  ChannelService service;
  ASSERT_TRUE(service.Start());
  CosNotifyChannelAdmin::EventChannel_var channel = Channel(service);
  std::vector<ConnectedConsumer> consumers;
  consumers.push_back(ConnectConsumer(orb_, channel.in(), EventTypes({{"Kestrel", "Tick"}})));
  consumers.push_back(ConnectConsumer(orb_, channel.in(), EventTypes({{"Kes*", "*"}})));
  consumers.push_back(ConnectConsumer(orb_, channel.in(), EventTypes({{"*", "%ALL"}})));
  ConnectedSupplier first = ConnectSupplier(orb_, channel.in());
  ConnectedSupplier second = ConnectSupplier(orb_, channel.in());

  const unsigned long kEvents = 300;
  std::thread pushFirst([&] { PushAll(first, "first", 0, kEvents); });
  std::thread pushSecond([&] { PushAll(second, "second", 0, kEvents); });
  pushFirst.join();
  pushSecond.join();

  for (const ConnectedConsumer& consumer : consumers) {
    ASSERT_TRUE(consumer.servant->WaitForEvents(2 * kEvents, kDeliveryWait))
        << "received " << consumer.servant->count();
    ExpectEverySupplierInOrder(consumer.servant->events(), {"first", "second"}, kEvents);
  }
  EXPECT_EQ(0, service.Stop());
}

TEST_F(ChanneldTest, ConsumerSubscribedToAnotherDomainReceivesNothing) {
  ChannelService service;
  ASSERT_TRUE(service.Start());
  CosNotifyChannelAdmin::EventChannel_var channel = Channel(service);
  ConnectedConsumer other = ConnectConsumer(orb_, channel.in(), EventTypes({{"Other", "*"}}));
  // The same subscription held by an admin applies to its proxies.
  CosNotifyChannelAdmin::AdminID adminId = -1;
  CosNotifyChannelAdmin::ConsumerAdmin_var otherAdmin =
      channel->new_for_consumers(CosNotifyChannelAdmin::AND_OP, adminId);
  otherAdmin->subscription_change(EventTypes({{"Other", "%ALL"}}), EventTypes({}));
  ConnectedConsumer underAdmin = ConnectConsumer(orb_, channel.in(), CosNotification::EventTypeSeq(),
                                                 milliseconds(0), otherAdmin.in());
  ConnectedConsumer everything = ConnectConsumer(orb_, channel.in());
  ConnectedSupplier supplier = ConnectSupplier(orb_, channel.in());

  PushAll(supplier, "supplier", 0, 100);
  // Consumers receive in push order: once the marker from the other domain
  // arrives, nothing pushed before it is still on its way.
  supplier.proxy->push_structured_event(MakeEvent("Other", "Marker", "supplier", 100));

  ASSERT_TRUE(everything.servant->WaitForEvents(101, kDeliveryWait));
  for (const ConnectedConsumer* consumer : {&other, &underAdmin}) {
    ASSERT_TRUE(consumer->servant->WaitForEvents(1, kDeliveryWait));
    std::vector<TestEvent> events = consumer->servant->events();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ("Other", events[0].domain);
    EXPECT_EQ("Marker", events[0].type);
  }
  EXPECT_EQ(0, service.Stop());
}

TEST_F(ChanneldTest, AdminLimitsRaiseAdminLimitExceeded) {
  ChannelService::Options options;
  options.extraArguments = {"--max-suppliers", "2", "--max-consumers", "1"};
  ChannelService service(options);
  ASSERT_TRUE(service.Start());
  CosNotifyChannelAdmin::EventChannel_var channel = Channel(service);

  CosNotifyChannelAdmin::SupplierAdmin_var suppliers = channel->default_supplier_admin();
  CosNotifyChannelAdmin::ProxyID id = -1;
  CosNotifyChannelAdmin::ProxyConsumer_var one =
      suppliers->obtain_notification_push_consumer(CosNotifyChannelAdmin::STRUCTURED_EVENT, id);
  CosNotifyChannelAdmin::ProxyConsumer_var two =
      suppliers->obtain_notification_push_consumer(CosNotifyChannelAdmin::STRUCTURED_EVENT, id);
  try {
    CosNotifyChannelAdmin::ProxyConsumer_var three =
        suppliers->obtain_notification_push_consumer(CosNotifyChannelAdmin::STRUCTURED_EVENT, id);
    FAIL() << "a third supplier proxy was obtained";
  } catch (const CosNotifyChannelAdmin::AdminLimitExceeded& e) {
    EXPECT_STREQ("MaxSuppliers", e.admin_property_err.name.in());
    CORBA::Long limit = 0;
    EXPECT_TRUE(e.admin_property_err.value >>= limit);
    EXPECT_EQ(2, limit);
  }

  CosNotifyChannelAdmin::ConsumerAdmin_var consumers = channel->default_consumer_admin();
  CosNotifyChannelAdmin::ProxySupplier_var first =
      consumers->obtain_notification_push_supplier(CosNotifyChannelAdmin::STRUCTURED_EVENT, id);
  try {
    CosNotifyChannelAdmin::ProxySupplier_var second =
        consumers->obtain_notification_push_supplier(CosNotifyChannelAdmin::STRUCTURED_EVENT, id);
    FAIL() << "a second consumer proxy was obtained";
  } catch (const CosNotifyChannelAdmin::AdminLimitExceeded& e) {
    EXPECT_STREQ("MaxConsumers", e.admin_property_err.name.in());
  }
  // The limit is the channel's, whichever admin asks.
  CosNotifyChannelAdmin::AdminID adminId = -1;
  CosNotifyChannelAdmin::ConsumerAdmin_var another =
      channel->new_for_consumers(CosNotifyChannelAdmin::AND_OP, adminId);
  EXPECT_THROW(
      another->obtain_notification_push_supplier(CosNotifyChannelAdmin::STRUCTURED_EVENT, id),
      CosNotifyChannelAdmin::AdminLimitExceeded);

  // A proxy that goes frees its place.
  CosNotifyChannelAdmin::StructuredProxyPushSupplier_var firstProxy =
      CosNotifyChannelAdmin::StructuredProxyPushSupplier::_narrow(first.in());
  firstProxy->disconnect_structured_push_supplier();
  CosNotifyChannelAdmin::ProxySupplier_var again =
      consumers->obtain_notification_push_supplier(CosNotifyChannelAdmin::STRUCTURED_EVENT, id);
  EXPECT_FALSE(CORBA::is_nil(again.in()));
  EXPECT_EQ(0, service.Stop());
}

TEST_F(ChanneldTest, SigtermDisconnectsEveryClientAndExitsZero) {
  ChannelService service;
  ASSERT_TRUE(service.Start());
  CosNotifyChannelAdmin::EventChannel_var channel = Channel(service);
  std::vector<ConnectedConsumer> consumers;
  consumers.push_back(ConnectConsumer(orb_, channel.in()));
  consumers.push_back(ConnectConsumer(orb_, channel.in(), EventTypes({{"Kestrel", "*"}})));
  std::vector<ConnectedSupplier> suppliers;
  suppliers.push_back(ConnectSupplier(orb_, channel.in()));
  suppliers.push_back(ConnectSupplier(orb_, channel.in()));
  PushAll(suppliers[0], "first", 0, 10);
  PushAll(suppliers[1], "second", 0, 10);
  for (const ConnectedConsumer& consumer : consumers) {
    ASSERT_TRUE(consumer.servant->WaitForEvents(20, kDeliveryWait));
  }

  EXPECT_EQ(0, service.Stop(SIGTERM));
  // The disconnect calls are two-way and made before the process exits.
  for (const ConnectedConsumer& consumer : consumers) {
    EXPECT_EQ(1, consumer.servant->disconnects());
  }
  for (const ConnectedSupplier& supplier : suppliers) {
    EXPECT_EQ(1, supplier.servant->disconnects());
  }
  EXPECT_EQ("", service.unexpected_output());
}

TEST_F(ChanneldTest, KilledConsumerProcessIsDroppedWithoutAffectingOthers) {
  ChannelService service;
  ASSERT_TRUE(service.Start());
  CosNotifyChannelAdmin::EventChannel_var channel = Channel(service);
  CosNotifyChannelAdmin::ConsumerAdmin_var admin = channel->default_consumer_admin();
  ConnectedConsumer first = ConnectConsumer(orb_, channel.in());
  ConnectedConsumer second = ConnectConsumer(orb_, channel.in());
  ConnectedSupplier supplier = ConnectSupplier(orb_, channel.in());

  ChildProcess doomed;
  CosNotifyChannelAdmin::ProxyID doomedId = StartConsumerProcess(&doomed, service.address(), false);
  ASSERT_NE(-1, doomedId);
  EXPECT_TRUE(HoldsId(admin.in(), doomedId));

  PushAll(supplier, "supplier", 0, 50);
  ASSERT_TRUE(first.servant->WaitForEvents(50, kDeliveryWait));
  EXPECT_EQ(128 + SIGKILL, doomed.Kill(SIGKILL));

  // Pushes keep returning at once while channeld finds the consumer gone.
  Clock::duration slowest{};
  for (unsigned long i = 50; i < 250; ++i) {
    Clock::time_point started = Clock::now();
    supplier.proxy->push_structured_event(MakeEvent("Kestrel", "Tick", "supplier", i));
    slowest = std::max(slowest, Clock::now() - started);
  }
  EXPECT_LT(slowest, milliseconds(500));

  EXPECT_TRUE(WaitUntilDropped(admin.in(), doomedId, seconds(5)));
  EXPECT_THROW(admin->get_proxy_supplier(doomedId), CosNotifyChannelAdmin::ProxyNotFound);
  PushAll(supplier, "supplier", 250, 300);
  for (const ConnectedConsumer* consumer : {&first, &second}) {
    ASSERT_TRUE(consumer->servant->WaitForEvents(300, kDeliveryWait));
    ExpectEverySupplierInOrder(consumer->servant->events(), {"supplier"}, 300);
    EXPECT_EQ(0, consumer->servant->disconnects());
  }
  EXPECT_TRUE(HoldsId(admin.in(), first.id));
  EXPECT_TRUE(HoldsId(admin.in(), second.id));
  EXPECT_EQ(0, service.Stop());
}

TEST_F(ChanneldTest, HungConsumerHoldsUpNobodyAndIsDroppedAfterItsRetries) {
  ChannelService::Options options;
  options.extraArguments = {"--push-timeout", "300"};
  ChannelService service(options);
  ASSERT_TRUE(service.Start());
  CosNotifyChannelAdmin::EventChannel_var channel = Channel(service);
  CosNotifyChannelAdmin::ConsumerAdmin_var admin = channel->default_consumer_admin();
  ConnectedConsumer healthy = ConnectConsumer(orb_, channel.in());
  ConnectedSupplier supplier = ConnectSupplier(orb_, channel.in());
  ChildProcess hung;
  CosNotifyChannelAdmin::ProxyID hungId = StartConsumerProcess(&hung, service.address(), true);
  ASSERT_NE(-1, hungId);

  Clock::time_point started = Clock::now();
  PushAll(supplier, "supplier", 0, 100);
  EXPECT_LT(Clock::now() - started, seconds(1));
  ASSERT_TRUE(healthy.servant->WaitForEvents(100, seconds(2)));
  // Four attempts of 300 ms with back-offs between them, then it is dropped.
  EXPECT_TRUE(WaitUntilDropped(admin.in(), hungId, seconds(5)));
  EXPECT_TRUE(HoldsId(admin.in(), healthy.id));
  Clock::time_point stopping = Clock::now();
  EXPECT_EQ(0, service.Stop());
  EXPECT_LT(Clock::now() - stopping, seconds(3));
  EXPECT_EQ(1, healthy.servant->disconnects());
}

TEST_F(ChanneldTest, HungConsumerDelaysShutdownOnlyByShortTimeouts) {
  ChannelService::Options options;
  options.extraArguments = {"--push-timeout", "1000"};
  ChannelService service(options);
  ASSERT_TRUE(service.Start());
  CosNotifyChannelAdmin::EventChannel_var channel = Channel(service);
  ConnectedConsumer healthy = ConnectConsumer(orb_, channel.in());
  ConnectedSupplier supplier = ConnectSupplier(orb_, channel.in());
  ChildProcess hung;
  ASSERT_NE(-1, StartConsumerProcess(&hung, service.address(), true));
  PushAll(supplier, "supplier", 0, 10);  // a push to the hung consumer is now in progress
  ASSERT_TRUE(healthy.servant->WaitForEvents(10, seconds(2)));

  // Its disconnect call and its push in progress both time out; everybody
  // else is told at once.
  Clock::time_point stopping = Clock::now();
  EXPECT_EQ(0, service.Stop());
  EXPECT_LT(Clock::now() - stopping, seconds(4));
  EXPECT_EQ(1, healthy.servant->disconnects());
  EXPECT_EQ(1, supplier.servant->disconnects());
}

TEST_F(ChanneldTest, ConsumerThatNoLongerExistsIsDroppedAtOnce) {
  ChannelService service;
  ASSERT_TRUE(service.Start());
  CosNotifyChannelAdmin::EventChannel_var channel = Channel(service);
  CosNotifyChannelAdmin::ConsumerAdmin_var admin = channel->default_consumer_admin();
  ConnectedConsumer gone = ConnectConsumer(orb_, channel.in());
  ConnectedConsumer staying = ConnectConsumer(orb_, channel.in());
  ConnectedSupplier supplier = ConnectSupplier(orb_, channel.in());
  PortableServer::ObjectId_var oid = orb_.poa()->reference_to_id(gone.reference.in());
  orb_.poa()->deactivate_object(oid.in());  // its pushes now raise OBJECT_NOT_EXIST

  PushAll(supplier, "supplier", 0, 20);
  EXPECT_TRUE(WaitUntilDropped(admin.in(), gone.id, seconds(2)));
  ASSERT_TRUE(staying.servant->WaitForEvents(20, kDeliveryWait));
  ExpectEverySupplierInOrder(staying.servant->events(), {"supplier"}, 20);
  EXPECT_EQ(0, service.Stop());
}

TEST_F(ChanneldTest, SlowConsumerHoldsUpNeitherSuppliersNorOtherConsumers) {
  ChannelService service;
  ASSERT_TRUE(service.Start());
  CosNotifyChannelAdmin::EventChannel_var channel = Channel(service);
  ConnectedConsumer slow = ConnectConsumer(orb_, channel.in(), CosNotification::EventTypeSeq(),
                                           milliseconds(100));
  ConnectedConsumer fast = ConnectConsumer(orb_, channel.in());
  ConnectedSupplier supplier = ConnectSupplier(orb_, channel.in());

  Clock::time_point started = Clock::now();
  PushAll(supplier, "supplier", 0, 30);
  EXPECT_LT(Clock::now() - started, milliseconds(1500));  // the slow one alone needs 3 s
  ASSERT_TRUE(fast.servant->WaitForEvents(30, seconds(2)));
  EXPECT_LT(slow.servant->count(), 30u);
  ASSERT_TRUE(slow.servant->WaitForEvents(30, kDeliveryWait));
  ExpectEverySupplierInOrder(slow.servant->events(), {"supplier"}, 30);
  EXPECT_EQ(0, service.Stop());
}

TEST_F(ChanneldTest, FullQueueDiscardsItsOldestEvents) {
  ChannelService::Options options;
  options.extraArguments = {"--queue", "5", "--block-timeout", "0"};
  ChannelService service(options);
  ASSERT_TRUE(service.Start());
  CosNotifyChannelAdmin::EventChannel_var channel = Channel(service);
  ConnectedConsumer consumer = ConnectConsumer(orb_, channel.in());
  ConnectedSupplier supplier = ConnectSupplier(orb_, channel.in());

  consumer.proxy->suspend_connection();  // events queue up, none delivered
  PushAll(supplier, "supplier", 0, 20);
  consumer.proxy->resume_connection();
  ASSERT_TRUE(consumer.servant->WaitForEvents(5, kDeliveryWait));
  std::this_thread::sleep_for(milliseconds(200));
  std::vector<TestEvent> events = consumer.servant->events();
  ASSERT_EQ(5u, events.size());
  for (unsigned long i = 0; i < 5; ++i) EXPECT_EQ(15 + i, events[i].sequence);
  EXPECT_EQ(0, service.Stop());
}

TEST_F(ChanneldTest, ProxiesFollowTheConnectionRules) {
  ChannelService service;
  ASSERT_TRUE(service.Start());
  CosNotifyChannelAdmin::EventChannel_var channel = Channel(service);
  CosNotifyChannelAdmin::SupplierAdmin_var supplierAdmin = channel->default_supplier_admin();
  CosNotifyChannelAdmin::ConsumerAdmin_var consumerAdmin = channel->default_consumer_admin();

  // A proxy consumer that no supplier connected to refuses pushes.
  CosNotifyChannelAdmin::ProxyID id = -1;
  CosNotifyChannelAdmin::ProxyConsumer_var bare = supplierAdmin->obtain_notification_push_consumer(
      CosNotifyChannelAdmin::STRUCTURED_EVENT, id);
  CosNotifyChannelAdmin::StructuredProxyPushConsumer_var unconnected =
      CosNotifyChannelAdmin::StructuredProxyPushConsumer::_narrow(bare.in());
  EXPECT_EQ(CosNotifyChannelAdmin::PUSH_STRUCTURED, unconnected->MyType());
  EXPECT_THROW(unconnected->push_structured_event(MakeEvent("Kestrel", "Tick", "x", 0)),
               CosEventComm::Disconnected);
  CosNotifyChannelAdmin::ProxyIDSeq_var supplierIds = supplierAdmin->push_consumers();
  std::vector<CosNotifyChannelAdmin::ProxyID> held = Ids(supplierIds.in());
  EXPECT_NE(held.end(), std::find(held.begin(), held.end(), id));

  ConnectedSupplier supplier = ConnectSupplier(orb_, channel.in());
  EXPECT_THROW(supplier.proxy->connect_structured_push_supplier(supplier.reference.in()),
               CosEventChannelAdmin::AlreadyConnected);
  ConnectedConsumer consumer = ConnectConsumer(orb_, channel.in());
  EXPECT_THROW(consumer.proxy->connect_structured_push_consumer(consumer.reference.in()),
               CosEventChannelAdmin::AlreadyConnected);
  EXPECT_EQ(CosNotifyChannelAdmin::PUSH_STRUCTURED, consumer.proxy->MyType());
  CosNotifyChannelAdmin::ConsumerAdmin_var myAdmin = consumer.proxy->MyAdmin();
  EXPECT_EQ(0, myAdmin->MyID());
  CosNotifyChannelAdmin::ProxySupplier_var byId = consumerAdmin->get_proxy_supplier(consumer.id);
  EXPECT_TRUE(byId->_is_equivalent(consumer.proxy.in()));
  EXPECT_THROW(consumerAdmin->get_proxy_supplier(999999), CosNotifyChannelAdmin::ProxyNotFound);

  CosNotifyChannelAdmin::ProxySupplier_var fresh =
      consumerAdmin->obtain_notification_push_supplier(CosNotifyChannelAdmin::STRUCTURED_EVENT, id);
  CosNotifyChannelAdmin::StructuredProxyPushSupplier_var freshProxy =
      CosNotifyChannelAdmin::StructuredProxyPushSupplier::_narrow(fresh.in());
  EXPECT_THROW(
      freshProxy->connect_structured_push_consumer(CosNotifyComm::StructuredPushConsumer::_nil()),
      CORBA::BAD_PARAM);
  EXPECT_THROW(freshProxy->suspend_connection(), CosNotifyChannelAdmin::NotConnected);

  // Disconnected proxies are gone.
  supplier.proxy->disconnect_structured_push_consumer();
  consumer.proxy->disconnect_structured_push_supplier();
  EXPECT_THROW(supplier.proxy->push_structured_event(MakeEvent("Kestrel", "Tick", "x", 0)),
               CORBA::OBJECT_NOT_EXIST);
  EXPECT_THROW(consumer.proxy->MyType(), CORBA::OBJECT_NOT_EXIST);
  EXPECT_THROW(consumerAdmin->get_proxy_supplier(consumer.id), CosNotifyChannelAdmin::ProxyNotFound);
  // A client that disconnects is not called back.
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_EQ(0, supplier.servant->disconnects());
  EXPECT_EQ(0, consumer.servant->disconnects());
  EXPECT_EQ(0, service.Stop());
}

TEST_F(ChanneldTest, UnsupportedOperationsRaiseNoImplement) {
  ChannelService service;
  ASSERT_TRUE(service.Start());
  CosNotifyChannelAdmin::EventChannel_var channel = Channel(service);
  CosNotifyChannelAdmin::ConsumerAdmin_var consumerAdmin = channel->default_consumer_admin();
  CosNotifyChannelAdmin::SupplierAdmin_var supplierAdmin = channel->default_supplier_admin();
  CosNotifyChannelAdmin::ProxyID id = -1;
  EXPECT_THROW(consumerAdmin->obtain_notification_push_supplier(CosNotifyChannelAdmin::ANY_EVENT, id),
               CORBA::NO_IMPLEMENT);
  EXPECT_THROW(
      consumerAdmin->obtain_notification_push_supplier(CosNotifyChannelAdmin::SEQUENCE_EVENT, id),
      CORBA::NO_IMPLEMENT);
  EXPECT_THROW(
      consumerAdmin->obtain_notification_pull_supplier(CosNotifyChannelAdmin::STRUCTURED_EVENT, id),
      CORBA::NO_IMPLEMENT);
  EXPECT_THROW(
      supplierAdmin->obtain_notification_pull_consumer(CosNotifyChannelAdmin::STRUCTURED_EVENT, id),
      CORBA::NO_IMPLEMENT);
  EXPECT_THROW(consumerAdmin->obtain_push_supplier(), CORBA::NO_IMPLEMENT);
  EXPECT_THROW(channel->MyFactory(), CORBA::NO_IMPLEMENT);
  EXPECT_THROW(consumerAdmin->priority_filter(), CORBA::NO_IMPLEMENT);
  // What the channel does support, it answers truthfully.
  CosNotification::AdminProperties_var properties = channel->get_admin();
  EXPECT_EQ(4u, properties->length());
  CosNotifyChannelAdmin::EventChannel_var mine = consumerAdmin->MyChannel();
  EXPECT_TRUE(mine->_is_equivalent(channel.in()));
  EXPECT_EQ(0, service.Stop());
}

// A struct type code that announces more members than could ever arrive:
// omniORB 4.2 ends the process that reads it unscreened.
CdrWriter MalformedType() {
  CdrWriter parameters = CdrWriter::Encapsulated(false);
  parameters.String("IDL:Probe/S:1.0").String("S").ULong(0xfffffff0);
  return CdrWriter(false).Complex(CORBA::tk_struct, parameters);
}

// An any that holds the unsigned long 42.
CdrWriter WellFormedBody() { return CdrWriter(false).ULong(CORBA::tk_ulong).ULong(42); }

// How a peer's request with these raw bytes was answered (see
// raw_push_main.cc), as one line.
std::string RawRequest(const std::string& mode, const std::string& target, const CdrWriter& bytes) {
  ProgramResult result =
      RunProgram({BinDir() + "/channeld_test_raw_push", mode, target, bytes.Hex()});
  EXPECT_EQ(0, result.status) << result.err;
  return result.out;
}

TEST_F(ChanneldTest, MalformedAnysAreRefusedAndDeliveryGoesOn) {
  ChannelService service;
  ASSERT_TRUE(service.Start());
  CosNotifyChannelAdmin::EventChannel_var channel = Channel(service);
  ConnectedConsumer consumer = ConnectConsumer(orb_, channel.in());
  ConnectedSupplier supplier = ConnectSupplier(orb_, channel.in());

  EXPECT_EQ("MARSHAL\n", RawRequest("channel-push", service.address(), MalformedType()));
  CdrWriter properties(false);
  properties.ULong(1).String("Priority").TypeCode(MalformedType());
  EXPECT_EQ("MARSHAL\n", RawRequest("set-qos", service.address(), properties));
  EXPECT_EQ("answered\n", RawRequest("set-qos", service.address(), CdrWriter(false).ULong(0)));

  // The service is still there, and an honest raw body travels as before.
  EXPECT_EQ("answered\n", RawRequest("channel-push", service.address(), WellFormedBody()));
  PushAll(supplier, "after", 0, 1);
  ASSERT_TRUE(consumer.servant->WaitForEvents(2, kDeliveryWait));
  std::vector<TestEvent> events = consumer.servant->events();
  EXPECT_EQ("raw", events[0].supplier);
  EXPECT_EQ("after", events[1].supplier);
  EXPECT_EQ(0, service.Stop());
}

// A consumer servant that reads pushes through the screen, as the
// library's consumer does.
class ScreenedConsumer : public RecordingConsumer {
 public:
  CORBA::Boolean _dispatch(omniCallHandle& handle) override {
    return DispatchScreenedPush(this, handle) || RecordingConsumer::_dispatch(handle);
  }
};

TEST_F(ChanneldTest, AScreenedConsumerRefusesMalformedBodiesAndTakesTheNext) {
  PortableServer::Servant_var<ScreenedConsumer> servant(new ScreenedConsumer);
  PortableServer::ObjectId_var id = orb_.poa()->activate_object(servant.in());
  CORBA::Object_var reference = orb_.poa()->id_to_reference(id.in());
  CORBA::String_var ior = orb_.orb()->object_to_string(reference.in());

  EXPECT_EQ("MARSHAL\n", RawRequest("consumer-push", ior.in(), MalformedType()));
  EXPECT_EQ(0u, servant->count());
  EXPECT_EQ("answered\n", RawRequest("consumer-push", ior.in(), WellFormedBody()));
  ASSERT_EQ(1u, servant->count());
  EXPECT_EQ("raw", servant->events()[0].supplier);
  orb_.poa()->deactivate_object(id.in());
}

TEST_F(ChanneldTest, DestroyDisconnectsEveryClientAndEndsTheLastChannelsService) {
  ChannelService service;
  ASSERT_TRUE(service.Start());
  CosNotifyChannelAdmin::EventChannel_var channel = Channel(service);
  ConnectedConsumer consumer = ConnectConsumer(orb_, channel.in());
  ConnectedSupplier supplier = ConnectSupplier(orb_, channel.in());

  channel->destroy();
  EXPECT_EQ(1, consumer.servant->disconnects());
  EXPECT_EQ(1, supplier.servant->disconnects());
  // Its only channel gone, the service ends by itself, as after SIGTERM.
  Clock::time_point deadline = Clock::now() + seconds(10);
  while (service.running() && Clock::now() < deadline) std::this_thread::sleep_for(milliseconds(20));
  EXPECT_FALSE(service.running());
  EXPECT_EQ(0, service.Stop());
}

TEST_F(ChanneldTest, DestroyingOneChannelLeavesTheOthersServing) {
  ChannelService::Options options;
  options.channels = {"Doomed", "Survivor"};
  ChannelService service(options);
  ASSERT_TRUE(service.Start());
  CosNotifyChannelAdmin::EventChannel_var doomed = Channel(service, 0);
  CosNotifyChannelAdmin::EventChannel_var survivor = Channel(service, 1);
  ConnectedConsumer doomedConsumer = ConnectConsumer(orb_, doomed.in());
  ConnectedConsumer consumer = ConnectConsumer(orb_, survivor.in());
  ConnectedSupplier supplier = ConnectSupplier(orb_, survivor.in());

  doomed->destroy();
  EXPECT_EQ(1, doomedConsumer.servant->disconnects());
  EXPECT_THROW(doomed->default_consumer_admin(), CORBA::OBJECT_NOT_EXIST);
  PushAll(supplier, "supplier", 0, 10);
  ASSERT_TRUE(consumer.servant->WaitForEvents(10, kDeliveryWait));
  EXPECT_EQ(0u, doomedConsumer.servant->count());
  EXPECT_TRUE(service.running());
  EXPECT_EQ(0, service.Stop());
}

TEST_F(ChanneldTest, RestartOnTheSamePortServesTheSameAddresses) {
  ChannelService::Options options;
  options.channels = {"Alpha", "Beta/Gamma"};
  ChannelService service(options);
  ASSERT_TRUE(service.Start());
  const int port = service.port();
  const std::string alpha = service.address(0);
  const std::string beta = service.address(1);
  CosNotifyChannelAdmin::EventChannel_var before = Channel(service, 1);
  CosNotifyChannelAdmin::ConsumerAdmin_var admin = before->default_consumer_admin();

  ASSERT_TRUE(service.Restart());
  EXPECT_EQ(port, service.port());
  EXPECT_EQ(alpha, service.address(0));
  EXPECT_EQ(beta, service.address(1));
  // A new reference from the address reaches the new process...
  CosNotifyChannelAdmin::EventChannel_var after = orb_.Channel(beta);
  ConnectedConsumer consumer = ConnectConsumer(orb_, after.in());
  ConnectedSupplier supplier = ConnectSupplier(orb_, after.in());
  PushAll(supplier, "supplier", 0, 5);
  EXPECT_TRUE(consumer.servant->WaitForEvents(5, kDeliveryWait));
  // ...and so does the reference held from before the restart.
  CosNotifyChannelAdmin::ConsumerAdmin_var adminAgain = before->default_consumer_admin();
  EXPECT_FALSE(CORBA::is_nil(adminAgain.in()));
  // Admins and proxies are not persistent: the old admin is gone.
  EXPECT_THROW(admin->MyID(), CORBA::OBJECT_NOT_EXIST);
  EXPECT_EQ(0, service.Stop());
}

// Connections from peers that --allow does not name are closed before a
// request is read; the default lets loopback peers in (every other case).
TEST_F(ChanneldTest, OnlyAllowedPeersGetIn) {
  ChannelService::Options closed;
  closed.extraArguments = {"--allow", "127.0.0.2"};
  ChannelService elsewhere(closed);
  ASSERT_TRUE(elsewhere.Start());
  CosNotifyChannelAdmin::EventChannel_var refused = Channel(elsewhere);
  try {
    refused->default_consumer_admin();
    ADD_FAILURE() << "a peer that is not allowed was served";
  } catch (const CORBA::COMM_FAILURE&) {
  } catch (const CORBA::TRANSIENT&) {
  }
  EXPECT_EQ(0, elsewhere.Stop());

  for (const std::vector<std::string>& allowed :
       {std::vector<std::string>{"--allow", "10.0.0.0/8", "--allow", "127.0.0.0/8"},
        std::vector<std::string>{"--allow", "0.0.0.0/0"}}) {
    ChannelService::Options open;
    open.extraArguments = allowed;
    ChannelService service(open);
    ASSERT_TRUE(service.Start());
    CosNotifyChannelAdmin::EventChannel_var channel = Channel(service);
    ConnectedConsumer consumer = ConnectConsumer(orb_, channel.in());
    ConnectedSupplier supplier = ConnectSupplier(orb_, channel.in());
    PushAll(supplier, "supplier", 0, 3);
    EXPECT_TRUE(consumer.servant->WaitForEvents(3, kDeliveryWait)) << allowed.back();
    EXPECT_EQ(0, service.Stop());
  }
}

// A network namespace of the test's own, joined to this one by a veth pair
// on a /30 of the benchmarking range (198.18.0.0/15), which no site routes:
// this side is near(), the namespace's is far(). Needs root; removed with
// the object.
class NetworkNamespace {
 public:
  NetworkNamespace() {
    const std::string id = std::to_string(::getpid() % 100000);
    name_ = "kestrel-test-" + id;
    link_ = "kst" + id;
    const std::string net = "198.18." + std::to_string(::getpid() % 250) + ".";
    near_ = net + "1";
    far_ = net + "2";
    made_ = Ip("netns add " + name_) && Ip("link add " + link_ + "a type veth peer name " + link_ + "b") &&
            Ip("link set " + link_ + "b netns " + name_) &&
            Ip("addr add " + near_ + "/30 dev " + link_ + "a") && Ip("link set " + link_ + "a up") &&
            Ip("-n " + name_ + " addr add " + far_ + "/30 dev " + link_ + "b") &&
            Ip("-n " + name_ + " link set " + link_ + "b up") && Ip("-n " + name_ + " link set lo up");
  }
  ~NetworkNamespace() {
    Ip("link del " + link_ + "a");
    Ip("netns del " + name_);
  }

  bool made() const { return made_; }
  const std::string& near() const { return near_; }
  const std::string& far() const { return far_; }
  // arguments, run inside the namespace; its exit status, or -1.
  int Run(const std::string& arguments) const {
    int status = std::system(("ip netns exec " + name_ + " " + arguments).c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  static bool Ip(const std::string& arguments) {
    return std::system(("ip " + arguments + " >/dev/null 2>&1").c_str()) == 0;
  }

  std::string name_, link_, near_, far_;
  bool made_ = false;
};

// A Kestrel supplier on another host (a namespace's far end) is refused
// unless --allow names it, wherever the service listens.
TEST_F(ChanneldTest, PeersBeyondLoopbackAreRefusedUnlessAllowed) {
  if (::geteuid() != 0) GTEST_SKIP() << "making a network namespace needs root";
  NetworkNamespace other;
  if (!other.made()) GTEST_SKIP() << "this machine does not let the test make a network namespace";
  for (bool allowed : {false, true}) {
    ChannelService::Options options;
    options.extraArguments = {"--listen", other.near()};
    if (allowed) options.extraArguments.insert(options.extraArguments.end(), {"--allow", other.near() + "/30"});
    ChannelService service(options);
    ASSERT_TRUE(service.Start());
    ConnectedConsumer consumer;
    if (allowed) {
      CosNotifyChannelAdmin::EventChannel_var channel = Channel(service);
      consumer = ConnectConsumer(orb_, channel.in());
    }
    const std::string publish = BinDir() + "/kestrel-publish --host " + other.near() + " --port " +
                                std::to_string(service.port()) + " --key " + service.key() +
                                " --module elsewhere hello >/dev/null 2>&1";
    EXPECT_EQ(allowed ? 0 : 1, other.Run("env ORBendPoint=giop:tcp:127.0.0.1: " + publish))
        << (allowed ? "an allowed peer was refused" : "a peer that is not allowed was served");
    if (allowed) {
      EXPECT_TRUE(consumer.servant->WaitForEvents(1, kDeliveryWait));
    }
    EXPECT_EQ(0, service.Stop());
  }
}

// Proxies obtained and never connected go after --connect-timeout; the
// connected ones stay.
TEST_F(ChanneldTest, AbandonedProxiesAreReclaimed) {
  TemporaryFolder folder;
  ChannelService::Options options;
  options.extraArguments = {"--connect-timeout", "1"};
  options.errorFile = folder.File("stderr");
  ChannelService service(options);
  ASSERT_TRUE(service.Start());
  CosNotifyChannelAdmin::EventChannel_var channel = Channel(service);
  CosNotifyChannelAdmin::ConsumerAdmin_var consumers = channel->default_consumer_admin();
  CosNotifyChannelAdmin::SupplierAdmin_var suppliers = channel->default_supplier_admin();
  ConnectedConsumer kept = ConnectConsumer(orb_, channel.in());
  for (int i = 0; i < 20; ++i) {
    CosNotifyChannelAdmin::ProxyID id;
    CosNotifyChannelAdmin::ProxySupplier_var idle =
        consumers->obtain_notification_push_supplier(CosNotifyChannelAdmin::STRUCTURED_EVENT, id);
    CosNotifyChannelAdmin::ProxyConsumer_var alsoIdle =
        suppliers->obtain_notification_push_consumer(CosNotifyChannelAdmin::STRUCTURED_EVENT, id);
  }
  Clock::time_point deadline = Clock::now() + seconds(10);
  CosNotifyChannelAdmin::ProxyIDSeq_var left = consumers->push_suppliers();
  CosNotifyChannelAdmin::ProxyIDSeq_var leftSuppliers = suppliers->push_consumers();
  while ((left->length() > 1 || leftSuppliers->length() > 0) && Clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(100));
    left = consumers->push_suppliers();
    leftSuppliers = suppliers->push_consumers();
  }
  EXPECT_EQ(std::vector<CosNotifyChannelAdmin::ProxyID>{kept.id}, Ids(left.in()));
  EXPECT_EQ(0u, leftSuppliers->length());
  ConnectedSupplier supplier = ConnectSupplier(orb_, channel.in());
  PushAll(supplier, "supplier", 0, 1);
  EXPECT_TRUE(kept.servant->WaitForEvents(1, kDeliveryWait));
  EXPECT_EQ(0, service.Stop());

  std::string errors = ReadFile(folder.File("stderr"));
  long reported = 0;
  std::regex line("(\\d+) proxies reclaimed: not connected within 1 s");
  for (auto it = std::sregex_iterator(errors.begin(), errors.end(), line);
       it != std::sregex_iterator(); ++it) {
    reported += std::stol((*it)[1]);
  }
  EXPECT_EQ(40, reported) << errors;
}

TEST_F(ChanneldTest, ProxiesNotYetConnectedAreBounded) {
  ChannelService::Options options;
  options.extraArguments = {"--max-unconnected", "3"};
  ChannelService service(options);
  ASSERT_TRUE(service.Start());
  CosNotifyChannelAdmin::EventChannel_var channel = Channel(service);
  CosNotifyChannelAdmin::ConsumerAdmin_var consumers = channel->default_consumer_admin();
  CosNotifyChannelAdmin::SupplierAdmin_var suppliers = channel->default_supplier_admin();
  CosNotifyChannelAdmin::ProxyID id;
  ConnectedConsumer connected = ConnectConsumer(orb_, channel.in());  // not counted once connected
  CosNotifyChannelAdmin::ProxySupplier_var first =
      consumers->obtain_notification_push_supplier(CosNotifyChannelAdmin::STRUCTURED_EVENT, id);
  CosNotifyChannelAdmin::ProxySupplier_var second =
      consumers->obtain_notification_push_supplier(CosNotifyChannelAdmin::STRUCTURED_EVENT, id);
  CosNotifyChannelAdmin::ProxyConsumer_var third =
      suppliers->obtain_notification_push_consumer(CosNotifyChannelAdmin::STRUCTURED_EVENT, id);
  try {
    consumers->obtain_notification_push_supplier(CosNotifyChannelAdmin::STRUCTURED_EVENT, id);
    ADD_FAILURE() << "a fourth proxy not yet connected was given out";
  } catch (const CosNotifyChannelAdmin::AdminLimitExceeded& e) {
    EXPECT_STREQ("MaxUnconnectedProxies", e.admin_property_err.name.in());
  }
  // One of them goes, and there is room again.
  CosNotifyChannelAdmin::StructuredProxyPushSupplier_var structured =
      CosNotifyChannelAdmin::StructuredProxyPushSupplier::_narrow(first.in());
  structured->disconnect_structured_push_supplier();
  CosNotifyChannelAdmin::ProxySupplier_var again =
      consumers->obtain_notification_push_supplier(CosNotifyChannelAdmin::STRUCTURED_EVENT, id);
  EXPECT_FALSE(CORBA::is_nil(again.in()));
  EXPECT_EQ(0, service.Stop());
}

// A peer's raw TCP connections to the service, closed with it.
class RawConnections {
 public:
  ~RawConnections() {
    for (int fd : fds_) ::close(fd);
  }

  // Opens a connection and sends bytes on it; false if it cannot.
  bool Open(int port, const std::string& bytes) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    fds_.push_back(fd);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return false;
    return bytes.empty() ||
           ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }

  // How many the service has closed (their end reads end-of-file; what it
  // sends before, a CloseConnection message, is read and skipped).
  std::size_t ClosedByPeer() const {
    std::size_t closed = 0;
    for (int fd : fds_) {
      char buffer[256];
      ssize_t got;
      while ((got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
      }
      if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) ++closed;
    }
    return closed;
  }

  std::size_t size() const { return fds_.size(); }

 private:
  std::vector<int> fds_;
};

// This machine's first IPv4 address beyond loopback, or empty.
std::string OwnIpv4Address() {
  for (const std::string& address : channeld::InterfaceAddresses()) {
    if (address.find('.') != std::string::npos && !channeld::IsLoopback(address)) return address;
  }
  return std::string();
}

// A service that listens on every interface hands out references with the
// machine's own address, and a local program that follows them connects
// from that address, not from loopback: it is let in wherever loopback is.
TEST_F(ChanneldTest, LocalProgramsAreServedAtTheMachinesOwnAddress) {
  const std::string own = OwnIpv4Address();
  if (own.empty()) GTEST_SKIP() << "this machine has no IPv4 address besides loopback";
  ChannelService::Options options;
  options.extraArguments = {"--listen", "0.0.0.0", "--allow", "198.51.100.0/24", "--allow",
                            "127.0.0.1"};
  ChannelService service(options);
  ASSERT_TRUE(service.Start());
  CosNotifyChannelAdmin::EventChannel_var channel = orb_.Channel(
      "corbaloc:iiop:" + own + ":" + std::to_string(service.port()) + "/" + service.key());
  ConnectedConsumer consumer = ConnectConsumer(orb_, channel.in());
  ConnectedSupplier supplier = ConnectSupplier(orb_, channel.in());
  PushAll(supplier, "supplier", 0, 3);
  EXPECT_TRUE(consumer.servant->WaitForEvents(3, kDeliveryWait));
  EXPECT_EQ(0, service.Stop());
}

// omniORB closes a refused connection without a word; the service says on
// its stderr whom it refused, and how many, however the lines group them.
TEST_F(ChanneldTest, RefusedConnectionsAreReportedWithThePeersAddress) {
  TemporaryFolder folder;
  ChannelService::Options options;
  options.extraArguments = {"--allow", "198.51.100.1"};
  options.errorFile = folder.File("stderr");
  ChannelService service(options);
  ASSERT_TRUE(service.Start());
  RawConnections peers;
  constexpr std::size_t kPeers = 3;
  for (std::size_t i = 0; i < kPeers; ++i) ASSERT_TRUE(peers.Open(service.port(), ""));
  Clock::time_point deadline = Clock::now() + seconds(10);
  while (peers.ClosedByPeer() < kPeers && Clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(20));
  }
  EXPECT_EQ(kPeers, peers.ClosedByPeer());
  EXPECT_EQ(0, service.Stop());

  std::string errors = ReadFile(folder.File("stderr"));
  std::regex line("connection from 127\\.0\\.0\\.1 refused: --allow does not name it"
                  "(?: \\((\\d+) refused in the last second\\))?\n");
  std::size_t reported = 0;
  for (auto it = std::sregex_iterator(errors.begin(), errors.end(), line);
       it != std::sregex_iterator(); ++it) {
    reported += (*it)[1].matched ? std::stoul((*it)[1]) : 1;
  }
  EXPECT_EQ(kPeers, reported) << errors;
}

std::size_t ThreadsOf(pid_t pid) {
  std::size_t threads = 0;
  if (DIR* tasks = ::opendir(("/proc/" + std::to_string(pid) + "/task").c_str())) {
    while (dirent* entry = ::readdir(tasks)) threads += entry->d_name[0] != '.';
    ::closedir(tasks);
  }
  return threads;
}

// The start of a GIOP 1.2 request whose body is said to be bodySize bytes:
// its header (request id, flags, target key and operation), then the
// arguments' first octets.
std::string PartialRequest(const std::string& key, const std::string& operation,
                           uint32_t bodySize, const CdrWriter& arguments) {
  CdrWriter header(/*bigEndian=*/false);
  header.ULong(1).Octet(3).Octet(0).Octet(0).Octet(0);  // request id, response flags
  header.UShort(0).ULong(static_cast<uint32_t>(key.size()));  // KeyAddr
  for (char c : key) header.Octet(static_cast<uint8_t>(c));
  header.String(operation).ULong(0);  // no service contexts
  std::string message("GIOP\x01\x02\x01\x00", 8);  // 1.2, little endian, Request
  for (int shift = 0; shift < 32; shift += 8) message += static_cast<char>(bodySize >> shift);
  message.append(header.bytes().begin(), header.bytes().end());
  message.resize((message.size() + 7) / 8 * 8, '\0');  // the body is 8-aligned
  message.append(arguments.bytes().begin(), arguments.bytes().end());
  return message;
}

// Connections that send nothing, or part of a request, hold a thread each
// for at most --idle-timeout: then they are closed and their threads end.
// Meanwhile clients are served.
TEST_F(ChanneldTest, IdleAndHalfSentConnectionsAreClosedInTime) {
  constexpr std::size_t kIdle = 1000;
  constexpr std::size_t kHalfSent = 50;
  rlimit files;
  ASSERT_EQ(0, ::getrlimit(RLIMIT_NOFILE, &files));
  if (files.rlim_cur < 2 * (kIdle + kHalfSent)) {
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, 4 * (kIdle + kHalfSent));
    ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &files));
  }
  ChannelService::Options options;
  options.extraArguments = {"--idle-timeout", "3"};
  ChannelService service(options);
  ASSERT_TRUE(service.Start());
  const std::size_t threadsBefore = ThreadsOf(service.pid());
  RawConnections peers;
  for (std::size_t i = 0; i < kIdle; ++i) ASSERT_TRUE(peers.Open(service.port(), ""));
  for (std::size_t i = 0; i < kHalfSent; ++i) {
    // Half a header; a request cut short within its first buffer; one cut
    // short beyond it, whose arguments omniORB is reading.
    CdrWriter longQos(/*bigEndian=*/false);
    longQos.ULong(1).ULong(90000);  // one property, whose name is 90,000 octets long
    longQos.Octet('n');
    std::string bytes =
        i % 3 == 0   ? std::string("GIOP\x01", 5)
        : i % 3 == 1 ? PartialRequest("NotifyEventChannel", "get_consumeradmin", 200,
                                      CdrWriter(false))
                     : PartialRequest("NotifyEventChannel", "set_qos", 100000, longQos);
    if (i % 3 == 2) bytes.resize(20000, 'n');
    ASSERT_TRUE(peers.Open(service.port(), bytes));
  }
  CosNotifyChannelAdmin::EventChannel_var channel = Channel(service);
  ConnectedConsumer consumer = ConnectConsumer(orb_, channel.in());
  ConnectedSupplier supplier = ConnectSupplier(orb_, channel.in());
  PushAll(supplier, "supplier", 0, 3);
  EXPECT_TRUE(consumer.servant->WaitForEvents(3, kDeliveryWait));
  EXPECT_GE(ThreadsOf(service.pid()), threadsBefore + kIdle) << "the connections were not served";

  // Closed after 3 s (plus the 1 s scan); their threads end once idle for
  // 5 s more. The margins are for loaded machines.
  Clock::time_point deadline = Clock::now() + seconds(60);
  while ((peers.ClosedByPeer() < peers.size() ||
          ThreadsOf(service.pid()) > threadsBefore + 10) &&
         Clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(250));
  }
  EXPECT_EQ(peers.size(), peers.ClosedByPeer());
  EXPECT_LE(ThreadsOf(service.pid()), threadsBefore + 10);
  // The clients' own connections went idle too, and were reopened.
  std::this_thread::sleep_for(seconds(5));
  PushAll(supplier, "supplier", 3, 6);
  EXPECT_TRUE(consumer.servant->WaitForEvents(6, kDeliveryWait));
  ExpectEverySupplierInOrder(consumer.servant->events(), {"supplier"}, 6);
  EXPECT_EQ(0, service.Stop());
}

TEST_F(ChanneldTest, PrintsNothingButItsAddressLines) {
  ChannelService::Options options;
  options.channels = {"One", "Two/Three"};
  ChannelService service(options);
  ASSERT_TRUE(service.Start());
  const std::string prefix = "corbaloc:iiop:127.0.0.1:" + std::to_string(service.port()) + "/";
  EXPECT_EQ(prefix + "One", service.address(0));
  EXPECT_EQ(prefix + "Two/Three", service.address(1));
  CosNotifyChannelAdmin::EventChannel_var channel = Channel(service, 1);
  ConnectedConsumer consumer = ConnectConsumer(orb_, channel.in());
  ConnectedSupplier supplier = ConnectSupplier(orb_, channel.in());
  PushAll(supplier, "supplier", 0, 10);
  ASSERT_TRUE(consumer.servant->WaitForEvents(10, kDeliveryWait));
  EXPECT_EQ(0, service.Stop());
  EXPECT_EQ("", service.unexpected_output());
}

TEST(ChanneldCommandLineTest, BadCommandLinesPrintUsageAndExitTwo) {
  const std::string program = ChannelService::ProgramPath();
  const std::vector<std::vector<std::string>> bad = {
      {"--bogus"},         {"--port"},          {"--port", "http"}, {"--port", "70000"},
      {"--channel", ""},   {"--channel", "a b"}, {"--queue", "0"},   {"--max-consumers", "x"},
      {"--max-suppliers"}, {"stray"}};
  for (const auto& arguments : bad) {
    std::vector<std::string> command = {program};
    command.insert(command.end(), arguments.begin(), arguments.end());
    ProgramResult result = RunProgram(command);
    EXPECT_EQ(2, result.status) << arguments.front();
    EXPECT_NE(std::string::npos, result.err.find("usage: ")) << arguments.front();
    EXPECT_EQ("", result.out) << arguments.front();
  }
  ProgramResult help = RunProgram({program, "--help"});
  EXPECT_EQ(0, help.status);
  EXPECT_NE(std::string::npos, help.out.find("usage: "));
}

TEST(ChanneldCommandLineTest, PortInUseExitsOneWithAClearMessage) {
  int holder = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(holder, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, ::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address));
  ASSERT_EQ(0, ::listen(holder, 1));
  socklen_t length = sizeof address;
  ASSERT_EQ(0, ::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length));
  const int port = ntohs(address.sin_port);

  ProgramResult result = RunProgram(
      {ChannelService::ProgramPath(), "--listen", "127.0.0.1", "--port", std::to_string(port)});
  EXPECT_EQ(1, result.status);
  EXPECT_NE(std::string::npos, result.err.find("already in use")) << result.err;
  EXPECT_EQ("", result.out);

  ChannelService::Options options;
  options.port = port;
  ChannelService service(options);
  EXPECT_FALSE(service.Start());
  EXPECT_EQ(1, service.exit_status());
  ::close(holder);
}

}  // namespace
}  // namespace testing
}  // namespace kestrel
