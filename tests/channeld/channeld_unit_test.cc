// kestrel-channeld's parts that need no ORB.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <map>
#include <mutex>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <COS/TimeBase.hh>

#include "channeld/base/log_file.h"
#include "channeld/delivery/channel_backlog.h"
#include "channeld/delivery/delivery_queue.h"
#include "channeld/host/command_line.h"
#include "channeld/host/reporter.h"
#include "channeld/model/subscription_set.h"
#include "channeld/qos/channel_limits.h"
#include "channeld/qos/queue_qos.h"
#include "channeld/runtime/allowed_peers.h"
#include "channeld/runtime/allowed_subjects.h"
#include "channeld/runtime/refused_peers.h"
#include "channeld/state/event_log.h"
#include "channeld/state/restoration.h"
#include "tests/channeld/properties.h"
#include "tests/support/test_support.h"

namespace kestrel {
namespace channeld {
namespace {

using testing::Properties;
using testing::Property;

CosNotification::EventTypeSeq Types(const std::vector<std::pair<const char*, const char*>>& types) {
  CosNotification::EventTypeSeq sequence;
  sequence.length(static_cast<CORBA::ULong>(types.size()));
  for (CORBA::ULong i = 0; i < sequence.length(); ++i) {
    sequence[i].domain_name = types[i].first;
    sequence[i].type_name = types[i].second;
  }
  return sequence;
}

CommandLine Parse(std::vector<const char*> arguments) {
  arguments.insert(arguments.begin(), "kestrel-channeld");
  return CommandLine::Parse(static_cast<int>(arguments.size()), arguments.data());
}

EventPtr Event(const char* name) {
  auto event = std::make_shared<ChannelEvent>();
  event->header.fixed_header.event_name = name;
  return event;
}

std::string NameOf(const EventPtr& event) { return event->header.fixed_header.event_name.in(); }

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

TEST(ChanneldSubscriptionSet, EmptySetMatchesEverything) {
  SubscriptionSet set;
  EXPECT_TRUE(set.empty());
  EXPECT_TRUE(set.Matches("Kestrel", "Tick"));
  EXPECT_TRUE(set.Matches("", ""));
}

TEST(ChanneldSubscriptionSet, MatchesExactDomainAndType) {
  SubscriptionSet set;
  set.Change(Types({{"Kestrel", "Tick"}}), Types({}));
  EXPECT_TRUE(set.Matches("Kestrel", "Tick"));
  EXPECT_FALSE(set.Matches("Kestrel", "Tock"));
  EXPECT_FALSE(set.Matches("Other", "Tick"));
  EXPECT_FALSE(set.Matches("kestrel", "Tick"));  // case matters
}

TEST(ChanneldSubscriptionSet, StarMatchesAnything) {
  SubscriptionSet set;
  set.Change(Types({{"*", "Tick"}, {"Kestrel", "*"}}), Types({}));
  EXPECT_TRUE(set.Matches("Other", "Tick"));
  EXPECT_TRUE(set.Matches("Kestrel", "Anything"));
  EXPECT_FALSE(set.Matches("Other", "Tock"));
}

TEST(ChanneldSubscriptionSet, PercentAllMatchesEveryType) {
  SubscriptionSet set;
  set.Change(Types({{"Kestrel", "%ALL"}}), Types({}));
  EXPECT_TRUE(set.Matches("Kestrel", "Tick"));
  EXPECT_TRUE(set.Matches("Kestrel", ""));
  EXPECT_FALSE(set.Matches("Other", "Tick"));
  SubscriptionSet all;
  all.Change(Types({{"", "%ALL"}}), Types({}));
  EXPECT_TRUE(all.Matches("Other", "Tick"));
}

TEST(ChanneldSubscriptionSet, RemovedTypesNoLongerMatch) {
  SubscriptionSet set;
  set.Change(Types({{"Kestrel", "Tick"}, {"Kestrel", "Tock"}}), Types({}));
  set.Change(Types({}), Types({{"Kestrel", "Tick"}, {"Not", "Held"}}));
  EXPECT_FALSE(set.Matches("Kestrel", "Tick"));
  EXPECT_TRUE(set.Matches("Kestrel", "Tock"));
  // The usual idiom: add what is wanted, remove the default "everything".
  SubscriptionSet idiom;
  idiom.Change(Types({{"Kestrel", "Tick"}}), Types({{"*", "%ALL"}}));
  EXPECT_TRUE(idiom.Matches("Kestrel", "Tick"));
  EXPECT_FALSE(idiom.Matches("Kestrel", "Tock"));
}

TEST(ChanneldSubscriptionSet, AddingTwiceKeepsOneAndTypesListsThem) {
  SubscriptionSet set;
  set.Change(Types({{"A", "x"}, {"A", "x"}, {"B", "y"}}), Types({}));
  CosNotification::EventTypeSeq_var types = set.Types();
  ASSERT_EQ(2u, types->length());
  EXPECT_STREQ("A", types[0].domain_name.in());
  EXPECT_STREQ("y", types[1].type_name.in());
}

QueuePolicy Policy(std::size_t maxEvents, CORBA::Short discardPolicy = CosNotification::FifoOrder,
                   milliseconds blockTimeout = milliseconds(0)) {
  QueuePolicy policy;
  policy.maxEvents = maxEvents;
  policy.discardPolicy = discardPolicy;
  policy.blockTimeout = blockTimeout;
  return policy;
}

std::vector<std::string> Drain(DeliveryQueue& queue) {
  std::vector<std::string> names;
  EventPtr event;
  while (queue.size() > 0 && queue.Pop(&event)) names.push_back(NameOf(event));
  return names;
}

TEST(ChanneldDeliveryQueue, PopsInPushOrder) {
  DeliveryQueue queue(Policy(10));
  EXPECT_TRUE(queue.Push(Event("a")));
  EXPECT_TRUE(queue.Push(Event("b")));
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), Drain(queue));
  EXPECT_EQ(0u, queue.size());
}

TEST(ChanneldDeliveryQueue, FullQueueThatMayNotWaitFollowsItsDiscardPolicy) {
  DeliveryQueue fifo(Policy(3, CosNotification::FifoOrder));
  DeliveryQueue any(Policy(3, CosNotification::AnyOrder));
  DeliveryQueue lifo(Policy(3, CosNotification::LifoOrder));
  for (const char* name : {"1", "2", "3", "4", "5"}) {
    fifo.Push(Event(name));
    any.Push(Event(name));
    lifo.Push(Event(name));
  }
  EXPECT_EQ(DeliveryQueue::Offer::kDiscarded, lifo.TryPush(Event("6")));
  EXPECT_EQ(DeliveryQueue::Offer::kQueued, fifo.TryPush(Event("6")));
  EXPECT_EQ(3u, fifo.counters().discarded);
  EXPECT_EQ(3u, lifo.counters().discarded);
  EXPECT_EQ(3u, fifo.TakeNewDiscards());
  EXPECT_EQ(0u, fifo.TakeNewDiscards());
  EXPECT_EQ((std::vector<std::string>{"4", "5", "6"}), Drain(fifo));
  EXPECT_EQ((std::vector<std::string>{"3", "4", "5"}), Drain(any));
  EXPECT_EQ((std::vector<std::string>{"1", "2", "3"}), Drain(lifo));
  // No bound at all.
  DeliveryQueue unbounded(Policy(0));
  for (int i = 0; i < 20000; ++i) unbounded.Push(Event("x"));
  EXPECT_EQ(20000u, unbounded.size());
  EXPECT_EQ(0u, unbounded.counters().discarded);
}

TEST(ChanneldDeliveryQueue, PushWaitsForRoomSoThatASlowConsumerLosesNothing) {
  DeliveryQueue queue(Policy(2, CosNotification::FifoOrder, milliseconds(10000)));
  const int kEvents = 200;
  std::vector<std::string> received;
  std::thread consumer([&] {
    EventPtr event;
    while (received.size() < kEvents && queue.Pop(&event)) {
      received.push_back(NameOf(event));
      if (received.size() % 8 == 0) std::this_thread::sleep_for(milliseconds(1));
    }
  });
  for (int i = 0; i < kEvents; ++i) ASSERT_TRUE(queue.Push(Event(std::to_string(i).c_str())));
  consumer.join();
  ASSERT_EQ(static_cast<std::size_t>(kEvents), received.size());
  for (int i = 0; i < kEvents; ++i) EXPECT_EQ(std::to_string(i), received[i]);
  EXPECT_EQ(0u, queue.counters().discarded);
  EXPECT_FALSE(queue.counters().overflowing);
}

// Waiting pushes are woken in batches; a consumer that frees less than a
// batch and then stalls must not leave them waiting for the rest.
TEST(ChanneldDeliveryQueue, RoomLeftByAConsumerThatStallsIsTakenBeforeTheBlockTimeout) {
  const std::size_t kBound = 1000;  // a batch of room is then 64 events, far more than 3
  DeliveryQueue queue(Policy(kBound, CosNotification::FifoOrder, milliseconds(60000)));
  for (std::size_t i = 0; i < kBound; ++i) queue.Push(Event("old"));
  std::vector<std::thread> pushers;
  for (const char* name : {"a", "b", "c"}) {
    pushers.emplace_back([&queue, name] { EXPECT_TRUE(queue.Push(Event(name))); });
  }
  std::this_thread::sleep_for(milliseconds(20));
  EventPtr event;
  // Not ASSERT: returning with the pushers unjoined would end the test program.
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(queue.Pop(&event));
  Clock::time_point stalled = Clock::now();
  for (std::thread& pusher : pushers) pusher.join();
  EXPECT_LT(Clock::now() - stalled, milliseconds(10000));
  EXPECT_EQ(kBound, queue.size());
  EXPECT_EQ(0u, queue.counters().discarded);
  EXPECT_FALSE(queue.counters().overflowing);
}

TEST(ChanneldDeliveryQueue, ExpiredWaitOverflowsTheQueueUntilItHasDrainedToHalf) {
  const milliseconds kBlock(300);
  DeliveryQueue queue(Policy(4, CosNotification::FifoOrder, kBlock));
  for (const char* name : {"1", "2", "3", "4"}) queue.Push(Event(name));
  EXPECT_EQ(DeliveryQueue::Offer::kMustWait, queue.TryPush(Event("5")));

  Clock::time_point started = Clock::now();
  EXPECT_TRUE(queue.Push(Event("5")));
  EXPECT_GE(Clock::now() - started, kBlock - milliseconds(10));
  EXPECT_TRUE(queue.counters().overflowing);
  // Overflowing: ten more pushes go by the discard policy without a wait
  // each (which would take 3 s).
  started = Clock::now();
  for (int i = 6; i < 16; ++i) queue.Push(Event(std::to_string(i).c_str()));
  EXPECT_LT(Clock::now() - started, 10 * kBlock / 2);
  EXPECT_EQ(11u, queue.counters().discarded);

  EventPtr event;
  ASSERT_TRUE(queue.Pop(&event));
  EXPECT_EQ("12", NameOf(event));
  EXPECT_TRUE(queue.counters().overflowing);  // 3 of 4 left
  ASSERT_TRUE(queue.Pop(&event));
  EXPECT_FALSE(queue.counters().overflowing);  // 2 of 4: half
  queue.Push(Event("16"));
  queue.Push(Event("17"));
  EXPECT_EQ(DeliveryQueue::Offer::kMustWait, queue.TryPush(Event("18")));
}

TEST(ChanneldDeliveryQueue, WaitingPushesGiveUpTogetherAndWakeOnCloseOrALargerBound) {
  DeliveryQueue queue(Policy(1, CosNotification::FifoOrder, milliseconds(300)));
  queue.Push(Event("full"));
  // Two suppliers wait for the same full queue: one expiry ends both waits.
  std::thread other([&] { queue.Push(Event("other")); });
  Clock::time_point started = Clock::now();
  queue.Push(Event("mine"));
  other.join();
  EXPECT_LT(Clock::now() - started, milliseconds(3000));
  EXPECT_EQ(2u, queue.counters().discarded);

  DeliveryQueue growing(Policy(1, CosNotification::FifoOrder, milliseconds(60000)));
  growing.Push(Event("1"));
  std::thread waiter([&] { EXPECT_TRUE(growing.Push(Event("2"))); });
  std::this_thread::sleep_for(milliseconds(50));
  growing.SetPolicy(Policy(2, CosNotification::FifoOrder, milliseconds(60000)));
  waiter.join();
  EXPECT_EQ((std::vector<std::string>{"1", "2"}), Drain(growing));
  EXPECT_EQ(0u, growing.counters().discarded);

  DeliveryQueue closing(Policy(1, CosNotification::FifoOrder, milliseconds(60000)));
  closing.Push(Event("1"));
  std::thread closer([&] {
    std::this_thread::sleep_for(milliseconds(50));
    closing.Close();
  });
  EXPECT_FALSE(closing.Push(Event("2")));
  closer.join();
}

TEST(ChanneldDeliveryQueue, AFullChannelBacklogDiscardsWithoutWaiting) {
  ChannelBacklog backlog;
  backlog.SetLimit(3);
  DeliveryQueue first(Policy(10, CosNotification::FifoOrder, milliseconds(60000)), &backlog);
  DeliveryQueue second(Policy(10, CosNotification::FifoOrder, milliseconds(60000)), &backlog);
  first.Push(Event("a"));
  first.Push(Event("b"));
  second.Push(Event("c"));
  EXPECT_TRUE(backlog.full());
  // A queue gives up its oldest for the new event; an empty one, with
  // nothing to give, the new event itself. None waits.
  DeliveryQueue empty(Policy(10, CosNotification::FifoOrder, milliseconds(60000)), &backlog);
  EXPECT_EQ(DeliveryQueue::Offer::kQueued, first.TryPush(Event("d")));
  EXPECT_EQ(DeliveryQueue::Offer::kDiscarded, empty.TryPush(Event("e")));
  EXPECT_EQ(3u, backlog.queued());
  EXPECT_EQ((std::vector<std::string>{"b", "d"}), Drain(first));
  EXPECT_EQ(1u, backlog.queued());
  EXPECT_EQ(DeliveryQueue::Offer::kQueued, empty.TryPush(Event("f")));
  second.Close();
  EXPECT_EQ(1u, backlog.queued());
}

TEST(ChanneldDeliveryQueue, CloseWakesAWaitingPopAndRefusesPushes) {
  DeliveryQueue queue(Policy(3));
  std::thread closer([&queue] {
    std::this_thread::sleep_for(milliseconds(50));
    queue.Close();
  });
  EventPtr event;
  EXPECT_FALSE(queue.Pop(&event));
  closer.join();
  EXPECT_FALSE(queue.Push(Event("late")));
  EXPECT_FALSE(queue.SleepUnlessClosed(milliseconds(1000)));
}

TEST(ChanneldDeliveryQueue, PausedQueueHoldsEventsBack) {
  DeliveryQueue queue(Policy(3));
  queue.Pause();
  queue.Push(Event("held"));
  std::thread resumer([&queue] {
    std::this_thread::sleep_for(milliseconds(50));
    queue.Resume();
  });
  auto started = Clock::now();
  EventPtr event;
  ASSERT_TRUE(queue.Pop(&event));
  EXPECT_GE(Clock::now() - started, milliseconds(40));
  resumer.join();
  EXPECT_EQ("held", NameOf(event));
}

// name -> code of every error in a refusal.
std::map<std::string, CosNotification::QoSError_code> Errors(
    const CosNotification::PropertyErrorSeq& errors) {
  std::map<std::string, CosNotification::QoSError_code> byName;
  for (CORBA::ULong i = 0; i < errors.length(); ++i) byName[errors[i].name.in()] = errors[i].code;
  return byName;
}

TEST(ChanneldQueueQoS, OwnSettingsOverInheritedAndDescribedAsSet) {
  QueuePolicy channel = Policy(100, CosNotification::FifoOrder, milliseconds(2000));
  QueueQoS admin;
  admin.Set(Properties({Property(CosNotification::DiscardPolicy, CosNotification::LifoOrder)}));
  QueueQoS proxy;
  proxy.Set(Properties({Property(CosNotification::MaxEventsPerConsumer, CORBA::Long(7)),
                        Property(QueueQoS::kBlockingPolicy, TimeBase::TimeT(5000))}));
  QueuePolicy inForce = proxy.Over(admin.Over(channel));
  EXPECT_EQ(7u, inForce.maxEvents);
  EXPECT_EQ(CosNotification::LifoOrder, inForce.discardPolicy);
  EXPECT_EQ(std::chrono::microseconds(500), inForce.blockTimeout);
  EXPECT_EQ(100u, admin.Over(channel).maxEvents);

  CosNotification::QoSProperties_var described = QueueQoS::Describe(inForce);
  QueueQoS copy;
  copy.Set(described.in());
  QueuePolicy again = copy.Over(QueuePolicy());
  EXPECT_EQ(inForce.maxEvents, again.maxEvents);
  EXPECT_EQ(inForce.discardPolicy, again.discardPolicy);
  EXPECT_EQ(inForce.blockTimeout, again.blockTimeout);

  // A TimeT sent with its own alias type code, as clients of other ORBs do.
  CosNotification::Property aliased;
  aliased.name = QueueQoS::kBlockingPolicy;
  aliased.value <<= TimeBase::TimeT(0);
  CORBA::TypeCode_var timeT = CORBA::TypeCode::NP_alias_tc(
      "IDL:omg.org/TimeBase/TimeT:1.0", "TimeT", CORBA::_tc_ulonglong);
  aliased.value.type(timeT.in());
  proxy.Set(Properties({aliased}));
  EXPECT_EQ(0, proxy.Over(channel).blockTimeout.count());
}

TEST(ChanneldQueueQoS, ARefusedRequestNamesEachRefusedPropertyAndChangesNothing) {
  QueueQoS level;
  CosNotification::PropertySeq request = Properties({
      Property(CosNotification::MaxEventsPerConsumer, CORBA::Long(50)),  // fine
      Property(CosNotification::EventReliability, CosNotification::Persistent),  // no state
      Property(CosNotification::StartTimeSupported, CORBA::Any::from_boolean(true)),
      Property(CosNotification::DiscardPolicy, CosNotification::PriorityOrder),
      Property(QueueQoS::kBlockingPolicy, CORBA::Long(10)),  // not a TimeT
      Property("MaxEventsPerConsumer", CORBA::Long(-1)),
  });
  try {
    level.Set(request);
    FAIL() << "accepted";
  } catch (const CosNotification::UnsupportedQoS& refused) {
    std::map<std::string, CosNotification::QoSError_code> expected = {
        {"EventReliability", CosNotification::UNSUPPORTED_VALUE},
        {"StartTimeSupported", CosNotification::UNSUPPORTED_PROPERTY},
        {"DiscardPolicy", CosNotification::UNSUPPORTED_VALUE},
        {"BlockingPolicy", CosNotification::BAD_TYPE},
        {"MaxEventsPerConsumer", CosNotification::BAD_VALUE}};
    EXPECT_EQ(expected, Errors(refused.qos_err));
  }
  EXPECT_EQ(QueuePolicy().maxEvents, level.Over(QueuePolicy()).maxEvents);
  EXPECT_THROW(QueueQoS::Validate(Properties({Property(CosNotification::DiscardPolicy,
                                                       CORBA::Short(9))})),
               CosNotification::UnsupportedQoS);
  EXPECT_THROW(QueueQoS::Validate(Properties({Property(QueueQoS::kBlockingPolicy,
                                                       TimeBase::TimeT(36000000001ull))})),
               CosNotification::UnsupportedQoS);
  EXPECT_NO_THROW(QueueQoS::Validate(Properties(
      {Property(CosNotification::MaxEventsPerConsumer, CORBA::Long(0))})));
}

TEST(ChanneldChannelLimits, AppliesAllOrRefusesEachBadProperty) {
  ChannelLimits limits;
  limits.maxConsumers = 4;
  ChannelLimits applied = ChannelLimits::Apply(
      limits, Properties({Property(CosNotification::MaxQueueLength, CORBA::Long(500)),
                          Property(CosNotification::RejectNewEvents, CORBA::Any::from_boolean(1))}));
  EXPECT_EQ(500, applied.maxQueueLength);
  EXPECT_EQ(4, applied.maxConsumers);
  EXPECT_TRUE(applied.rejectNewEvents);
  try {
    ChannelLimits::Apply(limits,
                         Properties({Property(CosNotification::MaxSuppliers, CORBA::Long(2)),
                                     Property(CosNotification::MaxConsumers, CORBA::Long(-3)),
                                     Property(CosNotification::RejectNewEvents, CORBA::Long(1)),
                                     Property("Color", CORBA::Long(1))}));
    FAIL() << "accepted";
  } catch (const CosNotification::UnsupportedAdmin& refused) {
    std::map<std::string, CosNotification::QoSError_code> expected = {
        {"MaxConsumers", CosNotification::BAD_VALUE},
        {"RejectNewEvents", CosNotification::BAD_TYPE},
        {"Color", CosNotification::UNSUPPORTED_PROPERTY}};
    EXPECT_EQ(expected, Errors(refused.admin_err));
  }
  CosNotification::AdminProperties_var described = applied.Describe();
  ChannelLimits again = ChannelLimits::Apply(ChannelLimits(), described.in());
  EXPECT_EQ(500, again.maxQueueLength);
  EXPECT_EQ(4, again.maxConsumers);
  EXPECT_TRUE(again.rejectNewEvents);
}

TEST(ChanneldReporter, RunsItsPeriodicTaskAndAnswersRequestsAtOnce) {
  std::mutex mutex;
  std::condition_variable changed;
  int periodic = 0;
  int requested = 0;
  auto bump = [&](int* counter) {
    std::lock_guard<std::mutex> lock(mutex);
    ++*counter;
    changed.notify_all();
  };
  Reporter reporter(milliseconds(20), [&] { bump(&periodic); }, [&] { bump(&requested); });
  reporter.Request();  // not started: dropped
  reporter.Start();
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return periodic >= 3; }));
  }
  Reporter slow(std::chrono::hours(1), [&] { bump(&periodic); }, [&] { bump(&requested); });
  slow.Start();
  slow.Request();
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return requested == 1; }));
  }
  reporter.Stop();
  int before = periodic;
  slow.Stop();  // one last periodic run
  EXPECT_EQ(before + 1, periodic);
  EXPECT_EQ(1, requested);
}

TEST(ChanneldCommandLine, DefaultsServeOneChannelOnALoopbackFreePort) {
  CommandLine line = Parse({});
  ASSERT_EQ(CommandLine::Action::kRun, line.action());
  EXPECT_EQ("127.0.0.1", line.options().listenHost);
  EXPECT_EQ(0, line.options().port);
  EXPECT_EQ(std::vector<std::string>{"NotifyEventChannel"}, line.options().channels);
  EXPECT_EQ(10000, line.options().maxSuppliers);
  EXPECT_EQ(10000, line.options().maxConsumers);
  EXPECT_EQ(60u, line.options().connectTimeoutSeconds);
  EXPECT_EQ(1000, line.options().maxUnconnected);
  EXPECT_EQ(60u, line.options().idleTimeoutSeconds);
  EXPECT_EQ(10000u, line.options().queueLength);
  EXPECT_EQ(2000u, line.options().blockTimeoutMs);
}

TEST(ChanneldCommandLine, ReadsEveryOption) {
  CommandLine line = Parse({"--listen", "localhost", "--port=4711", "--channel", "A",
                            "--channel=B/c", "--max-suppliers", "2", "--max-consumers=3",
                            "--queue", "5", "--push-timeout", "250", "--block-timeout=0",
                            "--verbose"});
  ASSERT_EQ(CommandLine::Action::kRun, line.action()) << line.error();
  EXPECT_EQ("localhost", line.options().listenHost);
  EXPECT_EQ(4711, line.options().port);
  EXPECT_EQ((std::vector<std::string>{"A", "B/c"}), line.options().channels);
  EXPECT_EQ(2, line.options().maxSuppliers);
  EXPECT_EQ(3, line.options().maxConsumers);
  EXPECT_EQ(5u, line.options().queueLength);
  EXPECT_EQ(250u, line.options().pushTimeoutMs);
  EXPECT_EQ(0u, line.options().blockTimeoutMs);
  EXPECT_TRUE(line.options().verbose);
}

TEST(ChanneldCommandLine, HelpWins) {
  EXPECT_EQ(CommandLine::Action::kHelp, Parse({"--port", "1", "--help"}).action());
}

TEST(ChanneldCommandLine, VersionWins) {
  EXPECT_EQ(CommandLine::Action::kVersion, Parse({"--queue", "5", "--version"}).action());
}

TEST(ChanneldCommandLine, RejectsBadArguments) {
  const std::vector<std::vector<const char*>> bad = {
      {"--bogus"},          {"extra"},           {"--port"},          {"--port", "x"},
      {"--port", "-1"},     {"--port", "65536"}, {"--port", "1e3"},   {"--channel", ""},
      {"--channel", "a b"}, {"--channel", "%41"}, {"--channel", "A", "--channel", "A"},
      {"--queue", "0"},     {"--max-consumers", "x"}, {"--max-suppliers", "-2"},
      {"--listen", ""},     {"--push-timeout", "0"}, {"--block-timeout", "-1"},
      {"--block-timeout", "3600001"}, {"--idle-timeout", "1"}, {"--idle-timeout", "86401"}};
  for (const auto& arguments : bad) {
    CommandLine line = Parse(arguments);
    EXPECT_EQ(CommandLine::Action::kError, line.action()) << arguments.front();
    EXPECT_FALSE(line.error().empty());
  }
}

TEST(ChanneldCommandLine, UsageNamesEveryOption) {
  std::string usage = CommandLine::Usage("kestrel-channeld");
  for (const char* option : {"--listen", "--port", "--channel", "--max-suppliers",
                             "--max-consumers", "--queue", "--block-timeout", "--state-dir",
                             "--event-reliability", "--allow", "--connect-timeout", "--max-unconnected", "--idle-timeout", "--help",
                             "--version"}) {
    EXPECT_NE(std::string::npos, usage.find(option)) << option;
  }
}

TEST(ChanneldCommandLine, ZeroMeansNoLimitWhenAskedFor) {
  CommandLine line = Parse({"--max-consumers", "0", "--max-suppliers=0", "--connect-timeout", "0",
                            "--idle-timeout=0"});
  ASSERT_EQ(CommandLine::Action::kRun, line.action()) << line.error();
  EXPECT_EQ(0, line.options().maxConsumers);
  EXPECT_EQ(0, line.options().maxSuppliers);
  EXPECT_EQ(0u, line.options().connectTimeoutSeconds);
  EXPECT_EQ(0u, line.options().idleTimeoutSeconds);
}

TEST(ChanneldCommandLine, PersistentEventsNeedAStateDirectory) {
  EXPECT_EQ(CommandLine::Action::kError,
            Parse({"--event-reliability", "persistent"}).action());
  CommandLine line = Parse({"--state-dir", "/var/lib/x", "--event-reliability=persistent"});
  ASSERT_EQ(CommandLine::Action::kRun, line.action()) << line.error();
  EXPECT_TRUE(line.options().persistentEvents);
  EXPECT_EQ(CommandLine::Action::kError, Parse({"--event-reliability", "sometimes"}).action());
}

TEST(ChanneldCommandLine, TlsTakesItsThreeFilesTogetherAndSubjectsOnlyWithThem) {
  CommandLine line = Parse({"--tls-cert", "s.pem", "--tls-key=s.key", "--tls-ca", "ca.pem",
                            "--allow-subject", "CN=a,*", "--allow-subject", "CN=b,*"});
  ASSERT_EQ(CommandLine::Action::kRun, line.action()) << line.error();
  EXPECT_TRUE(line.options().tls.enabled());
  EXPECT_EQ("s.key", line.options().tls.key);
  EXPECT_EQ((std::vector<std::string>{"CN=a,*", "CN=b,*"}), line.options().allowedSubjects);
  EXPECT_FALSE(Parse({}).options().tls.enabled());
  for (const auto& bad : std::vector<std::vector<const char*>>{
           {"--tls-cert", "s.pem", "--tls-key", "s.key"},
           {"--tls-ca", "ca.pem"},
           {"--allow-subject", "CN=a,*"},
           {"--tls-cert", "", "--tls-key", "s.key", "--tls-ca", "ca.pem"}}) {
    CommandLine refused = Parse(bad);
    EXPECT_EQ(CommandLine::Action::kError, refused.action()) << bad.front();
    EXPECT_FALSE(refused.error().empty());
  }
}

TEST(ChanneldAllowedSubjects, PatternsMatchTheWholeSubject) {
  const std::vector<std::string> patterns = {"CN=monitor?,OU=ops,O=Example", "CN=*,OU=web,O=Example"};
  EXPECT_TRUE(AllowedSubjects::Matches(patterns, "CN=monitor1,OU=ops,O=Example"));
  EXPECT_TRUE(AllowedSubjects::Matches(patterns, "CN=front,OU=web,O=Example"));
  EXPECT_FALSE(AllowedSubjects::Matches(patterns, "CN=monitor12,OU=ops,O=Example"));
  EXPECT_FALSE(AllowedSubjects::Matches(patterns, "CN=monitor1,OU=ops,O=Example,C=XX"));
  EXPECT_FALSE(AllowedSubjects::Matches(patterns, "CN=Monitor1,OU=ops,O=Example"));
  EXPECT_FALSE(AllowedSubjects::Matches({}, "CN=monitor1,OU=ops,O=Example"));
}

TEST(ChanneldAllowedPeers, EntriesBecomeRulesThatEndInRefusal) {
  for (const char* good : {"10.1.2.3", "10.1.0.0/16", "0.0.0.0/0", "fd00::/8", "::1", "web-1"}) {
    EXPECT_TRUE(IsAllowEntry(good)) << good;
  }
  for (const char* bad : {"", "10.1.2.3/33", "::1/129", "10.0.0.0/x", "web-1/24", "a b", "/8"}) {
    EXPECT_FALSE(IsAllowEntry(bad)) << bad;
  }
  EXPECT_EQ(CommandLine::Action::kError, Parse({"--allow", "10.0.0.0/40"}).action());

  const std::string refuse = RefusedPeers::kRule;
  const std::vector<std::string> none;
  std::vector<std::string> rules;
  std::string error;
  ASSERT_TRUE(TransportRules({"10.1.0.0/16", "192.0.2.7", "fd00::/8", "localhost"}, none, "tcp", &rules,
                             &error));
  ASSERT_GE(rules.size(), 5u);
  EXPECT_EQ("10.1.0.0/16 tcp", rules[0]);
  EXPECT_EQ("192.0.2.7/32 tcp", rules[1]);
  EXPECT_EQ("fd00::/8 tcp", rules[2]);
  EXPECT_EQ(refuse, rules.back());
  // Networks written with host bits, which omniORB would compare as they
  // stand and so match nothing.
  ASSERT_TRUE(TransportRules({"10.1.2.3/16", "192.0.2.77/27", "fd00::1:2/112"}, none, "tcp", &rules,
                             &error));
  EXPECT_EQ((std::vector<std::string>{"10.1.0.0/16 tcp", "192.0.2.64/27 tcp", "fd00::1:0/112 tcp",
                                      refuse}),
            rules);
  // Every address, which omniORB's /0 rules would refuse; IPv4 entries
  // written as IPv6-mapped addresses, which its IPv6 rules never match.
  ASSERT_TRUE(TransportRules({"0.0.0.0/0", "::/0", "::ffff:192.0.2.7", "::ffff:10.1.0.0/112"},
                             none, "tcp", &rules, &error));
  EXPECT_EQ((std::vector<std::string>{"0.0.0.0/1 tcp", "128.0.0.0/1 tcp", "::/1 tcp",
                                      "8000::/1 tcp", "192.0.2.7/32 tcp", "10.1.0.0/16 tcp",
                                      refuse}),
            rules);
  EXPECT_FALSE(TransportRules({"no-such-host.invalid"}, none, "tcp", &rules, &error));
  EXPECT_NE(std::string::npos, error.find("no-such-host.invalid"));

  EXPECT_TRUE(IsLoopback("127.0.0.1"));
  EXPECT_TRUE(IsLoopback("localhost"));
  EXPECT_FALSE(IsLoopback("0.0.0.0"));
}

// A local program that reaches the service at one of the machine's own
// addresses connects from it: wherever loopback peers are let in, so are
// those addresses (but not loopback beyond what the entries name).
TEST(ChanneldAllowedPeers, LocalAddressesGoWhereverLoopbackGoes) {
  const std::vector<std::string> local = {"127.0.0.1", "192.0.2.2", "::1", "fd00::2", "192.0.2.2"};
  const std::string refuse = RefusedPeers::kRule;
  std::vector<std::string> rules;
  std::string error;
  ASSERT_TRUE(TransportRules({}, local, "tcp", &rules, &error));
  EXPECT_EQ((std::vector<std::string>{"127.0.0.0/8 tcp", "::1/128 tcp", "192.0.2.2/32 tcp",
                                      "fd00::2/128 tcp", refuse}),
            rules);
  for (const char* loopback : {"127.0.0.1", "127.0.0.0/8", "::1", "localhost", "::ffff:127.0.0.2"}) {
    ASSERT_TRUE(TransportRules({"198.51.100.0/24", loopback}, local, "tcp", &rules, &error)) << error;
    ASSERT_GE(rules.size(), 4u) << loopback;
    EXPECT_EQ("198.51.100.0/24 tcp", rules[0]) << loopback;
    EXPECT_EQ((std::vector<std::string>{"192.0.2.2/32 tcp", "fd00::2/128 tcp", refuse}),
              std::vector<std::string>(rules.end() - 3, rules.end()))
        << loopback;
  }
  ASSERT_TRUE(TransportRules({"127.0.0.2"}, local, "tcp", &rules, &error));
  EXPECT_EQ((std::vector<std::string>{"127.0.0.2/32 tcp", "192.0.2.2/32 tcp", "fd00::2/128 tcp",
                                      refuse}),
            rules);
  // Without loopback, local addresses are as foreign as any other.
  ASSERT_TRUE(TransportRules({"198.51.100.0/24", "10.0.0.0/8"}, local, "tcp", &rules, &error));
  EXPECT_EQ((std::vector<std::string>{"198.51.100.0/24 tcp", "10.0.0.0/8 tcp", refuse}), rules);
  // A service that speaks TLS only lets them in by TLS alone.
  ASSERT_TRUE(TransportRules({"198.51.100.0/24"}, local, "ssl", &rules, &error));
  EXPECT_EQ((std::vector<std::string>{"198.51.100.0/24 ssl", refuse}), rules);
}

TEST(ChanneldRefusedPeers, ReportsNameTheLatestPeerAndCountSinceTheLastReport) {
  EXPECT_EQ("192.0.2.9", RefusedPeers::PeerAddress("giop:tcp:192.0.2.9:40123"));
  EXPECT_EQ("::1", RefusedPeers::PeerAddress("giop:tcp:[::1]:40123"));
  EXPECT_EQ("::ffff:192.0.2.9", RefusedPeers::PeerAddress("giop:tcp:[::ffff:192.0.2.9]:1"));

  RefusedPeers::TakeReport();  // whatever came before
  const std::uint64_t before = RefusedPeers::total();
  EXPECT_EQ("", RefusedPeers::TakeReport());
  RefusedPeers::Note("giop:tcp:192.0.2.9:40123");
  EXPECT_EQ("connection from 192.0.2.9 refused: --allow does not name it",
            RefusedPeers::TakeReport());
  EXPECT_EQ("", RefusedPeers::TakeReport());
  for (const char* peer : {"giop:tcp:192.0.2.9:1", "giop:tcp:[fd00::9]:2", "giop:tcp:[::1]:3"}) {
    RefusedPeers::Note(peer);
  }
  EXPECT_EQ("connection from ::1 refused: --allow does not name it (3 refused in the last second)",
            RefusedPeers::TakeReport());
  EXPECT_EQ(before + 4, RefusedPeers::total());
}

// The log's records are CDR, whose strings need the ORB's code sets.
class ChanneldEventLog : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    int argc = 0;
    orb_ = CORBA::ORB_init(argc, nullptr);
  }
  static void TearDownTestSuite() {
    orb_->destroy();
    orb_ = CORBA::ORB::_nil();
  }
  static CORBA::ORB_var orb_;
};
CORBA::ORB_var ChanneldEventLog::orb_;

// Opens log over a folder that holds no log yet, as a first start does.
void StartEmpty(EventLog* log) {
  std::vector<std::string> problems;
  ASSERT_TRUE(log->Recover(&problems).empty());
  std::string error;
  ASSERT_TRUE(log->Open(&error)) << error;
}

// What a run leaves in its event log, as the next run reads it back.
std::vector<EventLog::Pending> Reopened(const std::string& folder,
                                        std::vector<std::string>* problems) {
  EventLog log(folder);
  return log.Recover(problems);
}

TEST_F(ChanneldEventLog, RecoversWhatSomeTargetStillOwesAndNothingElse) {
  testing::TemporaryFolder folder;
  {
    EventLog log(folder.path());
    ASSERT_NO_FATAL_FAILURE(StartEmpty(&log));
    ChannelEvent first(*Event("first"));
    ChannelEvent second(*Event("second"));
    ChannelEvent third(*Event("third"));
    log.Append("A", {{0, 1}, {0, 2}}, &first);
    log.Append("A", {{0, 1}}, &second);
    EventLog::Position last = log.Append("B", {{3, 4}}, &third);
    EXPECT_LT(first.sequence, second.sequence);
    log.Done(first.sequence, {0, 1});
    log.Done(second.sequence, {0, 1});
    log.Done(third.sequence, {9, 9});  // not a target: changes nothing
    ASSERT_TRUE(log.WaitDurable(last));
    EXPECT_GE(log.syncs(), 1u);
  }
  std::vector<std::string> problems;
  std::vector<EventLog::Pending> pending = Reopened(folder.path(), &problems);
  EXPECT_TRUE(problems.empty());
  ASSERT_EQ(2u, pending.size());
  EXPECT_EQ("first", NameOf(pending[0].event));
  EXPECT_EQ("A", pending[0].channel);
  EXPECT_EQ((std::vector<ProxyKey>{{0, 2}}), pending[0].targets);
  EXPECT_EQ("third", NameOf(pending[1].event));
  EXPECT_EQ("B", pending[1].channel);
}

TEST_F(ChanneldEventLog, ATornLastRecordEndsTheLogAndForeignSegmentsGoAside) {
  testing::TemporaryFolder folder;
  {
    EventLog log(folder.path());
    ASSERT_NO_FATAL_FAILURE(StartEmpty(&log));
    ChannelEvent kept(*Event("kept"));
    ChannelEvent torn(*Event("torn"));
    log.Append("A", {{0, 1}}, &kept);
    ASSERT_TRUE(log.WaitDurable(log.Append("A", {{0, 1}}, &torn)));
  }
  std::string segment = folder.File("events-00000001");
  std::string bytes = testing::ReadFile(segment);
  testing::WriteFile(segment, bytes.substr(0, bytes.size() - 5));  // a crash mid-write
  testing::WriteFile(folder.File("events-00000000"), "not ours at all, whatever it is");

  std::vector<std::string> problems;
  std::vector<EventLog::Pending> pending = Reopened(folder.path(), &problems);
  ASSERT_EQ(1u, pending.size());
  EXPECT_EQ("kept", NameOf(pending[0].event));
  ASSERT_EQ(1u, problems.size());  // the foreign file, not the torn record
  EXPECT_NE(std::string::npos, problems[0].find("events-00000000")) << problems[0];
  EXPECT_TRUE(testing::FileExists(folder.File("events-00000001")));
  EXPECT_FALSE(testing::FileExists(folder.File("events-00000000")));
}

// One start after a crash, as the service makes it: recovers the log that
// the last run left, puts every event back in its targets' queues and into
// the new log, and drops the old segments. Answers each queue's names.
std::map<ProxyKey, std::vector<std::string>> RestartAfterCrash(const std::string& folder,
                                                              bool oldSegmentsSurvive = false) {
  std::map<std::string, std::string> old;  // the segments that the last run left
  for (const char* name : {"events-00000001", "events-00000002", "events-00000003"}) {
    std::string path = folder + "/" + name;
    if (testing::FileExists(path)) old[path] = testing::ReadFile(path);
  }
  EventLog log(folder);
  std::vector<std::string> problems;
  std::vector<EventLog::Pending> pending = log.Recover(&problems);
  EXPECT_TRUE(problems.empty()) << problems[0];
  std::string error;
  EXPECT_TRUE(log.Open(&error)) << error;
  std::vector<QueuedEvents> queued;
  std::map<std::string, std::uint64_t> restored;
  AddLogEvents(pending, &queued, &restored);
  RestoredQueues queues;
  std::map<ProxyKey, std::vector<std::string>> names;
  for (const QueuedEvents& queue : queued) {
    ProxyKey key(queue.admin, queue.proxy);
    queues[key] = queue.events;
    for (const EventPtr& event : queue.events) names[key].push_back(NameOf(event));
  }
  EventLog::Position last = Relog(&log, "A", queues);
  EXPECT_TRUE(last == 0 || log.WaitDurable(last));
  log.DropRecovered();
  if (oldSegmentsSurvive) {  // a crash among the removals
    for (const auto& segment : old) testing::WriteFile(segment.first, segment.second);
  }
  return names;
}

// Consumers that owe overlapping suffixes of one stream, the one that owes
// least with the lowest id, through crash after crash: each queue comes back
// in the order of the stream every time, and each event once.
TEST_F(ChanneldEventLog, EveryQueueKeepsItsOrderThroughRepeatedCrashes) {
  testing::TemporaryFolder folder;
  const ProxyKey least(0, 1), most(0, 2), middle(1, 1);
  {
    EventLog log(folder.path());
    ASSERT_NO_FATAL_FAILURE(StartEmpty(&log));
    EventLog::Position last = 0;
    for (const char* name : {"e1", "e2", "e3", "e4", "e5"}) {
      ChannelEvent event(*Event(name));
      last = log.Append("A", {least, most, middle}, &event);
      if (event.sequence <= 3) log.Done(event.sequence, least);
      if (event.sequence <= 1) log.Done(event.sequence, middle);
    }
    ASSERT_TRUE(log.WaitDurable(last));
  }
  const std::map<ProxyKey, std::vector<std::string>> owed = {
      {least, {"e4", "e5"}}, {most, {"e1", "e2", "e3", "e4", "e5"}}, {middle, {"e2", "e3", "e4", "e5"}}};
  for (int crash = 1; crash <= 3; ++crash) {
    SCOPED_TRACE("start after crash " + std::to_string(crash));
    EXPECT_EQ(owed, RestartAfterCrash(folder.path(), /*oldSegmentsSurvive=*/crash == 2));
  }
}

// One byte changed inside an event's record, its length and framing intact:
// the damaged event is never read. As the last record it ends the log
// quietly, as a torn write does; before others it is reported, and its
// segment is moved aside.
TEST_F(ChanneldEventLog, ARecordDamagedInsideIsNeverRead) {
  for (const char* damaged : {"third-event", "second-event"}) {
    SCOPED_TRACE(damaged);
    testing::TemporaryFolder folder;
    {
      EventLog log(folder.path());
      ASSERT_NO_FATAL_FAILURE(StartEmpty(&log));
      EventLog::Position last = 0;
      for (const char* name : {"first-event", "second-event", "third-event"}) {
        ChannelEvent event(*Event(name));
        last = log.Append("A", {{0, 1}}, &event);
      }
      ASSERT_TRUE(log.WaitDurable(last));
    }
    const std::string segment = folder.File("events-00000001");
    std::string bytes = testing::ReadFile(segment);
    std::size_t at = bytes.find(damaged);
    ASSERT_NE(std::string::npos, at);
    bytes[at + 2] ^= 0x20;  // "thIrd-event", "seCond-event"
    testing::WriteFile(segment, bytes);

    std::vector<std::string> problems;
    std::vector<EventLog::Pending> pending = Reopened(folder.path(), &problems);
    std::vector<std::string> names;
    for (const EventLog::Pending& event : pending) names.push_back(NameOf(event.event));
    if (std::string(damaged) == "third-event") {
      EXPECT_EQ((std::vector<std::string>{"first-event", "second-event"}), names);
      EXPECT_TRUE(problems.empty()) << problems[0];
      EXPECT_TRUE(testing::FileExists(segment));
    } else {
      EXPECT_EQ((std::vector<std::string>{"first-event"}), names);
      ASSERT_EQ(1u, problems.size());
      EXPECT_NE(std::string::npos,
                problems[0].find("up to 2 events from there on could not be restored; it was "
                                 "moved to " + segment + ".damaged-"))
          << problems[0];
      EXPECT_FALSE(testing::FileExists(segment));
    }
  }
}

// The service's log file on Windows, as an administrator handles it: moved
// or deleted while written, and rotated at its size. The same code runs on
// Linux, where renaming an open file is the everyday case.
TEST(ChanneldLogFile, AFileMovedOrDeletedIsStartedAgainUnderItsName) {
  testing::TemporaryFolder folder;
  const std::string path = folder.File("kestrel-channeld.log");
  LogFile log(path);
  ASSERT_TRUE(log.Append("first\n"));
  ASSERT_EQ(0, std::rename(path.c_str(), folder.File("moved").c_str()));
  ASSERT_TRUE(log.Append("second\n"));
  EXPECT_EQ("first\n", testing::ReadFile(folder.File("moved")));
  EXPECT_EQ("second\n", testing::ReadFile(path));
  ASSERT_EQ(0, std::remove(path.c_str()));
  ASSERT_TRUE(log.Append("third\n"));
  EXPECT_EQ("third\n", testing::ReadFile(path));
}

TEST(ChanneldLogFile, RotatesAtItsSizeKeepingTheNewestFiles) {
  testing::TemporaryFolder folder;
  const std::string path = folder.File("log");
  LogFile log(path, /*maxBytes=*/10, /*kept=*/2);
  ASSERT_TRUE(log.Append("aaaa\n"));
  ASSERT_TRUE(log.Append("bbbb\n"));  // exactly 10 bytes: still one file
  EXPECT_FALSE(testing::FileExists(path + ".1"));
  ASSERT_TRUE(log.Append("cccc\n"));
  ASSERT_TRUE(log.Append("dddd\n"));
  ASSERT_TRUE(log.Append("eeee\n"));
  ASSERT_TRUE(log.Append("ffff\n"));
  ASSERT_TRUE(log.Append("gggg\n"));
  EXPECT_EQ("gggg\n", testing::ReadFile(path));
  EXPECT_EQ("eeee\nffff\n", testing::ReadFile(path + ".1"));
  EXPECT_EQ("cccc\ndddd\n", testing::ReadFile(path + ".2"));
  EXPECT_FALSE(testing::FileExists(path + ".3"));  // aaaa and bbbb are gone
  // A line longer than the limit is written whole, in a file of its own.
  ASSERT_TRUE(log.Append("a line longer than ten bytes\n"));
  EXPECT_EQ("a line longer than ten bytes\n", testing::ReadFile(path));
  EXPECT_EQ("gggg\n", testing::ReadFile(path + ".1"));
}

}  // namespace
}  // namespace channeld
}  // namespace kestrel
