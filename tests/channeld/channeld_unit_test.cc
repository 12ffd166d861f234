// kestrel-channeld's parts that need no ORB.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tools/channeld/command_line.h"
#include "tools/channeld/delivery_queue.h"
#include "tools/channeld/subscription_set.h"

namespace kestrel {
namespace channeld {
namespace {

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
  auto event = std::make_shared<CosNotification::StructuredEvent>();
  event->header.fixed_header.event_name = name;
  return event;
}

std::string NameOf(const EventPtr& event) { return event->header.fixed_header.event_name.in(); }

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

TEST(ChanneldSubscriptionSet, StarInsideANameMatchesARun) {
  EXPECT_TRUE(SubscriptionSet::NameMatches("Kes*", "Kestrel"));
  EXPECT_TRUE(SubscriptionSet::NameMatches("*rel", "Kestrel"));
  EXPECT_TRUE(SubscriptionSet::NameMatches("K*t*l", "Kestrel"));
  EXPECT_TRUE(SubscriptionSet::NameMatches("Kestrel*", "Kestrel"));
  EXPECT_FALSE(SubscriptionSet::NameMatches("K*x", "Kestrel"));
  EXPECT_FALSE(SubscriptionSet::NameMatches("Kestrel", "Kestrels"));
  EXPECT_TRUE(SubscriptionSet::NameMatches("", "anything"));
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

TEST(ChanneldDeliveryQueue, PopsInPushOrder) {
  DeliveryQueue queue(10);
  EXPECT_TRUE(queue.Push(Event("a")));
  EXPECT_TRUE(queue.Push(Event("b")));
  EventPtr event;
  ASSERT_TRUE(queue.Pop(&event));
  EXPECT_EQ("a", NameOf(event));
  ASSERT_TRUE(queue.Pop(&event));
  EXPECT_EQ("b", NameOf(event));
  EXPECT_EQ(0u, queue.size());
}

TEST(ChanneldDeliveryQueue, FullQueueDiscardsItsOldestEvent) {
  DeliveryQueue queue(3);
  for (const char* name : {"1", "2", "3", "4", "5"}) queue.Push(Event(name));
  EXPECT_EQ(3u, queue.size());
  EXPECT_EQ(2u, queue.discarded());
  EventPtr event;
  ASSERT_TRUE(queue.Pop(&event));
  EXPECT_EQ("3", NameOf(event));
}

TEST(ChanneldDeliveryQueue, CloseWakesAWaitingPopAndRefusesPushes) {
  DeliveryQueue queue(3);
  std::thread closer([&queue] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    queue.Close();
  });
  EventPtr event;
  EXPECT_FALSE(queue.Pop(&event));
  closer.join();
  EXPECT_FALSE(queue.Push(Event("late")));
  EXPECT_FALSE(queue.SleepUnlessClosed(std::chrono::milliseconds(1000)));
}

TEST(ChanneldDeliveryQueue, PausedQueueHoldsEventsBack) {
  DeliveryQueue queue(3);
  queue.Pause();
  queue.Push(Event("held"));
  std::thread resumer([&queue] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    queue.Resume();
  });
  auto started = std::chrono::steady_clock::now();
  EventPtr event;
  ASSERT_TRUE(queue.Pop(&event));
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(40));
  resumer.join();
  EXPECT_EQ("held", NameOf(event));
}

TEST(ChanneldCommandLine, DefaultsServeOneChannelOnALoopbackFreePort) {
  CommandLine line = Parse({});
  ASSERT_EQ(CommandLine::Action::kRun, line.action());
  EXPECT_EQ("127.0.0.1", line.options().listenHost);
  EXPECT_EQ(0, line.options().port);
  EXPECT_EQ(std::vector<std::string>{"NotifyEventChannel"}, line.options().channels);
  EXPECT_EQ(0, line.options().maxSuppliers);
  EXPECT_EQ(0, line.options().maxConsumers);
  EXPECT_EQ(10000u, line.options().queueLength);
}

TEST(ChanneldCommandLine, ReadsEveryOption) {
  CommandLine line = Parse({"--listen", "localhost", "--port=4711", "--channel", "A",
                            "--channel=B/c", "--max-suppliers", "2", "--max-consumers=3",
                            "--queue", "5", "--push-timeout", "250", "--verbose"});
  ASSERT_EQ(CommandLine::Action::kRun, line.action()) << line.error();
  EXPECT_EQ("localhost", line.options().listenHost);
  EXPECT_EQ(4711, line.options().port);
  EXPECT_EQ((std::vector<std::string>{"A", "B/c"}), line.options().channels);
  EXPECT_EQ(2, line.options().maxSuppliers);
  EXPECT_EQ(3, line.options().maxConsumers);
  EXPECT_EQ(5u, line.options().queueLength);
  EXPECT_EQ(250u, line.options().pushTimeoutMs);
  EXPECT_TRUE(line.options().verbose);
}

TEST(ChanneldCommandLine, HelpWins) {
  EXPECT_EQ(CommandLine::Action::kHelp, Parse({"--port", "1", "--help"}).action());
}

TEST(ChanneldCommandLine, RejectsBadArguments) {
  const std::vector<std::vector<const char*>> bad = {
      {"--bogus"},          {"extra"},           {"--port"},          {"--port", "x"},
      {"--port", "-1"},     {"--port", "65536"}, {"--port", "1e3"},   {"--channel", ""},
      {"--channel", "a b"}, {"--channel", "%41"}, {"--channel", "A", "--channel", "A"},
      {"--queue", "0"},     {"--max-consumers", "0"}, {"--max-suppliers", "-2"},
      {"--listen", ""},     {"--push-timeout", "0"}};
  for (const auto& arguments : bad) {
    CommandLine line = Parse(arguments);
    EXPECT_EQ(CommandLine::Action::kError, line.action()) << arguments.front();
    EXPECT_FALSE(line.error().empty());
  }
}

TEST(ChanneldCommandLine, UsageNamesEveryOption) {
  std::string usage = CommandLine::Usage("kestrel-channeld");
  for (const char* option : {"--listen", "--port", "--channel", "--max-suppliers",
                             "--max-consumers", "--queue", "--help"}) {
    EXPECT_NE(std::string::npos, usage.find(option)) << option;
  }
}

}  // namespace
}  // namespace channeld
}  // namespace kestrel
