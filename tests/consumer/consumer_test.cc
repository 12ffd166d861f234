// The consumer end to end: kestrel-channeld in its own process; Kestrel
// suppliers and plain omniORB suppliers in the test's.

#include <gtest/gtest.h>

#include <ace/Thread_Manager.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>

#include "consumer/notification_consumer.h"
#include "kestrel/kestrel.h"
#include "server/module_counts.h"
#include "supplier/notification_supplier.h"
#include "tests/channeld/channel_clients.h"
#include "tests/support/channel_service.h"
#include "tests/support/component_objects.h"
#include "tests/support/fake_settings.h"
#include "tests/support/recording_sink.h"

namespace kestrel {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using testing::ChannelService;
using testing::Create;
using testing::FakeSettings;
using testing::RecordingSink;

using Clock = std::chrono::steady_clock;

INotificationConsumer* NewConsumer() {
  return Create<INotificationConsumer>(CreateNotificationConsumer, IID_INotificationConsumer);
}

INotificationSupplier* NewSupplier() {
  return Create<INotificationSupplier>(CreateNotificationSupplier, IID_INotificationSupplier);
}

NotificationConsumer* Implementation(INotificationConsumer* consumer) {
  return static_cast<NotificationConsumer*>(consumer);
}

size_t RunThreadsOf(INotificationConsumer* consumer) {
  int group = Implementation(consumer)->runtime().runGroup();
  if (group == -1) return 0;
  ACE_thread_t threads[64];
  ssize_t found = ACE_Thread_Manager::instance()->thread_grp_list(group, threads, 64);
  return found < 0 ? 0 : static_cast<size_t>(found);
}

bool WaitFor(const std::function<bool()>& condition, milliseconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(milliseconds(10));
  }
  return true;
}

class Consumer : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(service_.Start()); }

  // Settings for the running service handing out sink, with the reference
  // that Connect or Initialize takes over already added.
  FakeSettings* Settings(IUnknown* sink = nullptr) {
    settings_.emplace_back(new FakeSettings(service_.host(), service_.port(), service_.key()));
    settings_.back()->set_sink(sink);
    settings_.back()->AddRef();
    return settings_.back().get();
  }

  INotificationSupplier* ConnectedSupplier(const char* module) {
    INotificationSupplier* supplier = NewSupplier();
    EXPECT_EQ(S_OK, supplier->Initialize(Settings(), module));
    return supplier;
  }

  testing::TestOrb orb_;
  ChannelService service_;
  std::vector<std::unique_ptr<FakeSettings>> settings_;
};

TEST_F(Consumer, ConnectRefusesWhatCannotBeUsed) {
  RecordingSink sink;
  INotificationConsumer* consumer = NewConsumer();
  EXPECT_EQ(S_OK, consumer->Disconnect());  // nothing connected: no remote call
  EXPECT_EQ(S_OK, consumer->Disconnect());
  EXPECT_EQ(E_NOTIFY_INVALIDARG, consumer->Connect(nullptr, 1));

  FakeSettings* refusing = Settings(&sink);
  refusing->set_validateAnswer(-1);
  EXPECT_EQ(E_NOTIFY_INVALIDARG, consumer->Connect(refusing, 1));
  EXPECT_EQ(0, refusing->calls(FakeSettings::kGetSink));
  EXPECT_EQ(1u, refusing->references());

  FakeSettings* sinkless = Settings(nullptr);
  EXPECT_EQ(E_NOINTERFACE, consumer->Connect(sinkless, 1));
  EXPECT_EQ(1u, sinkless->references());
  EXPECT_EQ(0u, RunThreadsOf(consumer));
  EXPECT_EQ(1u, sink.references());
  consumer->Release();
}

TEST_F(Consumer, DeliversTheFiveValuesOnOtherThreads) {
  RecordingSink sink;
  INotificationConsumer* consumer = NewConsumer();
  FakeSettings* settings = Settings(&sink);
  ASSERT_EQ(S_OK, consumer->Connect(settings, 2));
  EXPECT_EQ(1u, settings->references());
  EXPECT_EQ(2u, sink.references());  // the consumer holds one

  INotificationSupplier* supplier = ConnectedSupplier("valve");
  EXPECT_EQ(S_OK, supplier->Publish(0, 0xFFFFFFFF, "low"));
  EXPECT_EQ(S_OK, supplier->Publish(0xFFFFFFFF, 0, "high"));
  ASSERT_TRUE(sink.WaitForEvents(2));
  std::vector<testing::ReceivedEvent> events = sink.events();
  EXPECT_EQ("valve", events[0].module);
  EXPECT_FALSE(events[0].host.empty());
  EXPECT_EQ(0u, events[0].severity);
  EXPECT_EQ(0xFFFFFFFFu, events[0].messageCode);
  EXPECT_EQ("low", events[0].description);
  EXPECT_EQ(0xFFFFFFFFu, events[1].severity);
  EXPECT_EQ(0u, events[1].messageCode);
  EXPECT_EQ(0u, sink.threads().count(std::this_thread::get_id()));

  supplier->Release();
  consumer->Release();
  EXPECT_EQ(1u, sink.references());
}

TEST_F(Consumer, ForeignHeadersAreDeliveredAndForeignBodiesDropped) {
  RecordingSink sink;
  INotificationConsumer* consumer = NewConsumer();
  ASSERT_EQ(S_OK, consumer->Connect(Settings(&sink), 1));

  CosNotifyChannelAdmin::EventChannel_var channel = orb_.Channel(service_.address());
  testing::ConnectedSupplier plain = testing::ConnectSupplier(orb_, channel);
  CosNotification::StructuredEvent event = testing::MakeEvent("Other", "Kind", "plain", 1);
  event.remainder_of_body <<= static_cast<const char*>("not a record");
  plain.proxy->push_structured_event(event);

  Kestrel::EventData record;
  record.mModule = static_cast<const char*>("foreign");
  record.mHost = static_cast<const char*>("elsewhere");
  record.mSeverity = 4294967295u;
  record.mMessageCode = 0;
  record.mDescription = static_cast<const char*>("from a plain supplier");
  event.remainder_of_body <<= record;
  plain.proxy->push_structured_event(event);

  ASSERT_TRUE(sink.WaitForEvents(1));
  std::this_thread::sleep_for(milliseconds(200));
  std::vector<testing::ReceivedEvent> events = sink.events();
  ASSERT_EQ(1u, events.size());
  EXPECT_EQ("foreign", events[0].module);
  EXPECT_EQ("elsewhere", events[0].host);
  EXPECT_EQ(4294967295u, events[0].severity);
  plain.proxy->disconnect_structured_push_consumer();
  consumer->Release();
}

// A sink that answers a failure, or even lets an exception out of OnEvent
// (as no sink should), still gets every later event: with one thread, a
// delivery left counted would have held back all that follow.
TEST_F(Consumer, ASinkThatFailsOrThrowsStillReceivesEveryEvent) {
  for (bool throws : {false, true}) {
    SCOPED_TRACE(throws ? "throws" : "fails");
    RecordingSink sink;
    sink.set_result(E_FAIL);
    if (throws) sink.set_onEvent([] { throw std::runtime_error("a sink's own fault"); });
    INotificationConsumer* consumer = NewConsumer();
    ASSERT_EQ(S_OK, consumer->Connect(Settings(&sink), 1));
    INotificationSupplier* supplier = ConnectedSupplier("failing");
    for (uint32_t i = 0; i < 5; ++i) EXPECT_EQ(S_OK, supplier->Publish(i, i, "x"));
    EXPECT_TRUE(sink.WaitForEvents(5));
    supplier->Release();
    EXPECT_EQ(0u, consumer->Release());
  }
}

TEST_F(Consumer, FirstConnectStartsTheRunThreadsAndLaterOnesNone) {
  RecordingSink sink;
  INotificationConsumer* consumer = NewConsumer();
  ASSERT_EQ(S_OK, consumer->Connect(Settings(&sink), 3));
  EXPECT_EQ(3u, RunThreadsOf(consumer));
  int group = Implementation(consumer)->runtime().runGroup();
  EXPECT_EQ(S_OK, consumer->Disconnect());
  EXPECT_EQ(1u, sink.references());  // released exactly once
  EXPECT_EQ(S_OK, consumer->Disconnect());
  EXPECT_EQ(1u, sink.references());

  ASSERT_EQ(S_OK, consumer->Connect(Settings(&sink), 7));
  EXPECT_EQ(group, Implementation(consumer)->runtime().runGroup());
  EXPECT_EQ(3u, RunThreadsOf(consumer));
  INotificationSupplier* supplier = ConnectedSupplier("again");
  EXPECT_EQ(S_OK, supplier->Publish(1, 2, "after reconnecting"));
  EXPECT_TRUE(sink.WaitForEvents(1));
  supplier->Release();
  consumer->Release();
  EXPECT_EQ(1u, sink.references());
}

TEST_F(Consumer, OneThreadNeverOverlapsDeliveries) {
  RecordingSink sink;
  sink.set_delay(milliseconds(20));
  INotificationConsumer* consumer = NewConsumer();
  ASSERT_EQ(S_OK, consumer->Connect(Settings(&sink), 1));
  INotificationSupplier* first = ConnectedSupplier("first");
  INotificationSupplier* second = ConnectedSupplier("second");
  std::thread other([second] {
    for (uint32_t i = 0; i < 10; ++i) second->Publish(i, 0, "second");
  });
  for (uint32_t i = 0; i < 10; ++i) first->Publish(i, 0, "first");
  other.join();
  ASSERT_TRUE(sink.WaitForEvents(20));
  EXPECT_EQ(1, sink.maxRunning());
  first->Release();
  second->Release();
  consumer->Release();
}

TEST_F(Consumer, SeveralThreadsMayDeliverAtOnceUpToTheirNumber) {
  RecordingSink sink;
  sink.set_delay(milliseconds(50));
  INotificationConsumer* consumer = NewConsumer();
  ASSERT_EQ(S_OK, consumer->Connect(Settings(&sink), 2));
  std::vector<INotificationSupplier*> suppliers;
  for (int i = 0; i < 4; ++i) suppliers.push_back(ConnectedSupplier("many"));
  std::vector<std::thread> publishers;
  for (INotificationSupplier* supplier : suppliers) {
    publishers.emplace_back([supplier] {
      for (uint32_t i = 0; i < 5; ++i) supplier->Publish(i, 0, "burst");
    });
  }
  for (std::thread& publisher : publishers) publisher.join();
  ASSERT_TRUE(sink.WaitForEvents(20));
  EXPECT_LE(sink.maxRunning(), 2);
  for (INotificationSupplier* supplier : suppliers) supplier->Release();
  consumer->Release();
}

TEST_F(Consumer, ReconnectsOnItsOwnAfterTheServiceRestarts) {
  RecordingSink sink;
  INotificationConsumer* consumer = NewConsumer();
  ASSERT_EQ(S_OK, consumer->Connect(Settings(&sink), 1));
  INotificationSupplier* supplier = ConnectedSupplier("restart");

  // SIGTERM: the service says goodbye to the consumer, whose timer then
  // tries every 2 s. It stays down for two attempts.
  ASSERT_EQ(0, service_.Stop(SIGTERM));
  Clock::time_point dropped = Clock::now();
  std::this_thread::sleep_for(milliseconds(4500));
  ASSERT_TRUE(service_.Start());

  Clock::time_point firstArrival;
  bool arrived = WaitFor(
      [&] {
        supplier->Publish(1, 1, "back");
        if (sink.count() == 0) return false;
        firstArrival = Clock::now();
        return true;
      },
      seconds(10));
  ASSERT_TRUE(arrived);
  // The attempts fall 2, 4, 6 s after the drop: the first one after the
  // restart is the one at 6 s.
  double afterDrop = std::chrono::duration<double>(firstArrival - dropped).count();
  EXPECT_GT(afterDrop, 5.0);
  EXPECT_LT(afterDrop, 9.0);
  EXPECT_EQ("restart", sink.events()[0].module);
  supplier->Release();
  consumer->Release();
}

TEST_F(Consumer, AQuickRestartIsCaughtByTheFirstAttempt) {
  RecordingSink sink;
  INotificationConsumer* consumer = NewConsumer();
  ASSERT_EQ(S_OK, consumer->Connect(Settings(&sink), 2));
  ASSERT_TRUE(service_.Restart(SIGTERM));
  Clock::time_point restarted = Clock::now();
  // Made after the restart, so that nothing but the consumer's own
  // reconnection meets the connections left over from the old service.
  std::this_thread::sleep_for(milliseconds(2500));
  INotificationSupplier* supplier = ConnectedSupplier("quick");
  ASSERT_TRUE(WaitFor(
      [&] {
        supplier->Publish(1, 1, "back");
        return sink.count() > 0;
      },
      seconds(10)));
  // The connections that the process held to the old service are dead;
  // the first attempt, 2 s after the drop, must not stumble over them.
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - restarted).count(), 3.5);
  supplier->Release();
  consumer->Release();
}

TEST_F(Consumer, NoReconnectionAfterTheClientDisconnected) {
  RecordingSink sink;
  INotificationConsumer* consumer = NewConsumer();
  ASSERT_EQ(S_OK, consumer->Connect(Settings(&sink), 1));
  ASSERT_EQ(0, service_.Stop(SIGTERM));
  EXPECT_EQ(S_OK, consumer->Disconnect());
  ASSERT_TRUE(service_.Start());
  INotificationSupplier* supplier = ConnectedSupplier("unwanted");
  std::this_thread::sleep_for(milliseconds(2500));
  EXPECT_EQ(S_OK, supplier->Publish(1, 1, "nobody should get this"));
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ(0u, sink.count());
  supplier->Release();
  consumer->Release();
}

TEST_F(Consumer, ReleasingOneConsumerLeavesAnotherReceiving) {
  RecordingSink first, second;
  INotificationConsumer* one = NewConsumer();
  INotificationConsumer* two = NewConsumer();
  ASSERT_EQ(S_OK, one->Connect(Settings(&first), 1));
  ASSERT_EQ(S_OK, two->Connect(Settings(&second), 1));
  EXPECT_EQ(0u, one->Release());
  INotificationSupplier* supplier = ConnectedSupplier("survivor");
  EXPECT_EQ(S_OK, supplier->Publish(1, 1, "still delivered"));
  EXPECT_TRUE(second.WaitForEvents(1));
  EXPECT_EQ(0u, first.count());
  supplier->Release();
  two->Release();
}

TEST_F(Consumer, FinalReleaseFromInsideOnEventIsClean) {
  RecordingSink sink;
  INotificationConsumer* consumer = NewConsumer();
  std::atomic<bool> released{false};
  sink.set_onEvent([&] {
    if (!released.exchange(true)) consumer->Release();
  });
  ASSERT_EQ(S_OK, consumer->Connect(Settings(&sink), 1));
  INotificationSupplier* supplier = ConnectedSupplier("self-release");
  EXPECT_EQ(S_OK, supplier->Publish(1, 1, "release me"));
  ASSERT_TRUE(sink.WaitForEvents(1));
  // The consumer goes once the delivery that released it has ended.
  EXPECT_TRUE(WaitFor([] { return moduleCounts().objects.load() == 1; }, seconds(10)));
  EXPECT_TRUE(WaitFor([&] { return sink.references() == 1; }, seconds(10)));
  supplier->Release();
}

TEST_F(Consumer, ReleaseWhileEventsArriveAtFullRate) {
  RecordingSink sink;
  INotificationConsumer* consumer = NewConsumer();
  ASSERT_EQ(S_OK, consumer->Connect(Settings(&sink), 2));
  INotificationSupplier* supplier = ConnectedSupplier("flood");
  std::atomic<bool> stop{false};
  std::thread publisher([&] {
    while (!stop) supplier->Publish(1, 2, "flood");
  });
  ASSERT_TRUE(sink.WaitForEvents(50));
  EXPECT_EQ(0u, consumer->Release());
  size_t atRelease = sink.count();
  EXPECT_EQ(1u, sink.references());
  std::this_thread::sleep_for(milliseconds(200));
  EXPECT_EQ(atRelease, sink.count());
  stop = true;
  publisher.join();
  supplier->Release();
}

}  // namespace
}  // namespace kestrel
