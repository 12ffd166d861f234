// The cluster's parts that need no NATS server: the names a channel has in
// the stream, the appends waiting for acknowledgements, the event's
// encoding in the stream, the leases (over records kept in memory), the
// shared topology's record names, and the command line of an instance.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "channeld/cluster/ack_waiters.h"
#include "channeld/cluster/leases.h"
#include "channeld/cluster/stream_names.h"
#include "channeld/host/command_line.h"
#include "channeld/model/shared_topology.h"
#include "channeld/state/service_state.h"

namespace kestrel {
namespace channeld {
namespace {

using Clock = std::chrono::steady_clock;

CommandLine Parse(std::vector<const char*> arguments) {
  arguments.insert(arguments.begin(), "kestrel-channeld");
  return CommandLine::Parse(static_cast<int>(arguments.size()), arguments.data());
}

TEST(ChanneldStreamNames, EveryKeyHasOneNameThatGivesItBack) {
  std::string everyByte;
  for (int c = 1; c < 256; ++c) everyByte += static_cast<char>(c);
  for (const std::string& key : {std::string("NotifyEventChannel"), std::string("a.b*c>d e"),
                                 std::string("x_41"), everyByte}) {
    std::string stream = StreamNames::Stream(key);
    EXPECT_EQ(std::string::npos, stream.find_first_of(".*> /\\\t")) << stream;
    EXPECT_EQ(std::string::npos, StreamNames::Subject(key).find_first_of("*> ")) << key;
    std::string back;
    ASSERT_TRUE(StreamNames::ChannelOf(stream, &back)) << stream;
    EXPECT_EQ(key, back);
  }
  // Keys that differ only where one is escaped never share a name.
  EXPECT_NE(StreamNames::Stream("a_2E"), StreamNames::Stream("a.E"));
  std::string channel;
  EXPECT_FALSE(StreamNames::ChannelOf("ORDERS", &channel));           // not a channel's
  EXPECT_FALSE(StreamNames::ChannelOf("kestrel-a_4", &channel));      // cut short
  EXPECT_FALSE(StreamNames::ChannelOf("kestrel-a_41", &channel));     // 'A' needs no escape
  EXPECT_FALSE(StreamNames::ChannelOf("kestrel-", &channel));
}

TEST(ChanneldAckWaiters, EachAppendGetsItsOwnAnswerOrGivesUpAtItsDeadline) {
  AckWaiters waiters;
  AckWaiters::Ticket first = waiters.Expect("a-1");
  AckWaiters::Ticket second = waiters.Expect("a-2");
  std::thread log([&] {
    waiters.Settle("a-2", AckWaiters::Answer::kNoResponders);
    waiters.Settle("a-1", AckWaiters::Answer::kStored);
    waiters.Settle("a-1", AckWaiters::Answer::kRefused);  // a late second answer is ignored
    waiters.Settle("nobody", AckWaiters::Answer::kStored);
  });
  EXPECT_EQ(AckWaiters::Answer::kStored, waiters.Wait(first, Clock::now() + std::chrono::seconds(10)));
  EXPECT_EQ(AckWaiters::Answer::kNoResponders,
            waiters.Wait(second, Clock::now() + std::chrono::seconds(10)));
  log.join();

  // No answer: the deadline ends the wait, and the id is forgotten, so
  // that the same id can be sent again (the duplicate window keeps one).
  AckWaiters::Ticket silent = waiters.Expect("a-3");
  EXPECT_EQ(AckWaiters::Answer::kNone,
            waiters.Wait(silent, Clock::now() + std::chrono::milliseconds(20)));
  EXPECT_EQ(0u, waiters.waiting());
  AckWaiters::Ticket again = waiters.Expect("a-3");
  waiters.Settle("a-3", AckWaiters::Answer::kStored);
  EXPECT_EQ(AckWaiters::Answer::kStored, waiters.Wait(again, Clock::now()));

  // A stop answers every append still waiting, and every later one.
  AckWaiters::Ticket waiting = waiters.Expect("a-4");
  std::thread stop([&] { waiters.CloseAll(); });
  EXPECT_EQ(AckWaiters::Answer::kClosed,
            waiters.Wait(waiting, Clock::now() + std::chrono::seconds(10)));
  stop.join();
  EXPECT_EQ(AckWaiters::Answer::kClosed,
            waiters.Wait(waiters.Expect("a-5"), Clock::now() + std::chrono::seconds(10)));
}

TEST(ChanneldStreamEvent, KeepsTheAnysTypeCodeAndRefusesWhatIsNotAnEvent) {
  // CDR strings need the ORB's code sets.
  int argc = 0;
  CORBA::ORB_var orb = CORBA::ORB_init(argc, nullptr);
  CosNotification::StructuredEvent event;
  event.header.fixed_header.event_type.domain_name = "Kestrel";
  event.header.fixed_header.event_type.type_name = "Notification";
  event.header.fixed_header.event_name = "disk";
  event.filterable_data.length(1);
  event.filterable_data[0].name = "mSeverity";
  event.filterable_data[0].value <<= static_cast<CORBA::Short>(4);
  CORBA::StringSeq body;
  body.length(2);
  body[0] = "d";
  body[1] = "t";
  event.remainder_of_body <<= body;

  std::string bytes = EncodeStreamEvent(event);
  ChannelEvent decoded;
  ASSERT_TRUE(DecodeStreamEvent(bytes, &decoded));
  EXPECT_STREQ("disk", decoded.header.fixed_header.event_name.in());
  CORBA::TypeCode_var type = decoded.remainder_of_body.type();
  EXPECT_TRUE(type->equivalent(CORBA::_tc_StringSeq));
  const CORBA::StringSeq* decodedBody = nullptr;
  ASSERT_TRUE(decoded.remainder_of_body >>= decodedBody);
  EXPECT_STREQ("t", (*decodedBody)[1].in());
  CORBA::Short severity = 0;
  ASSERT_TRUE(decoded.filterable_data[0].value >>= severity);
  EXPECT_EQ(4, severity);

  ChannelEvent swapped;
  ASSERT_NE(0, bytes[0]);  // this machine writes little-endian
  EXPECT_FALSE(DecodeStreamEvent(bytes.substr(0, bytes.size() - 1), &swapped));
  EXPECT_FALSE(DecodeStreamEvent(bytes + "x", &swapped));
  EXPECT_FALSE(DecodeStreamEvent(std::string(), &swapped));
  std::string bigEndianGarbage = bytes;
  bigEndianGarbage[0] = 0;  // the counts read the other way round are absurd
  EXPECT_FALSE(DecodeStreamEvent(bigEndianGarbage, &swapped));
  orb->destroy();
}

// The shared records as a bucket keeps them, in memory: revisions,
// compare-and-set, watchers told of every change as it is made. Cut off
// (available false), every call answers kUnavailable, as NATS would.
class MemoryRecords : public SharedRecords {
 public:
  Result Create(const std::string& key, const std::string& value, std::uint64_t* revision) override {
    return Change(key, value, /*mustBeAbsent=*/true, 0, revision);
  }
  Result Update(const std::string& key, const std::string& value, std::uint64_t expected,
                std::uint64_t* revision) override {
    return Change(key, value, false, expected, revision);
  }
  Result Put(const std::string& key, const std::string& value, std::uint64_t* revision) override {
    return Change(key, value, false, 0, revision);
  }
  Result Delete(const std::string& key) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!available) return Result::kUnavailable;
    entries_.erase(key);
    Tell(Entry{key, std::string(), ++last_, true});
    return Result::kDone;
  }
  Result Get(const std::string& key, Entry* entry) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!available) return Result::kUnavailable;
    auto found = entries_.find(key);
    if (found == entries_.end()) return Result::kMissing;
    *entry = found->second;
    return Result::kDone;
  }
  void Watch(Watcher watcher) override {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : entries_) watcher(entry.second);
    watcher(Entry());
    watchers_.push_back(std::move(watcher));
  }

  std::atomic<bool> available{true};

 private:
  // expected 0 with mustBeAbsent false: any revision.
  Result Change(const std::string& key, const std::string& value, bool mustBeAbsent,
                std::uint64_t expected, std::uint64_t* revision) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!available) return Result::kUnavailable;
    auto found = entries_.find(key);
    if (mustBeAbsent && found != entries_.end()) return Result::kConflict;
    if (expected != 0 && (found == entries_.end() || found->second.revision != expected)) {
      return Result::kConflict;
    }
    *revision = ++last_;
    entries_[key] = Entry{key, value, *revision, false};
    Tell(entries_[key]);
    return Result::kDone;
  }
  void Tell(const Entry& entry) {
    for (const Watcher& watcher : watchers_) watcher(entry);
  }

  std::mutex mutex_;
  std::uint64_t last_ = 0;
  std::map<std::string, Entry> entries_;
  std::vector<Watcher> watchers_;
};

bool WaitFor(const std::function<bool()>& condition, std::chrono::seconds limit) {
  for (auto end = Clock::now() + limit; Clock::now() < end;) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return condition();
}

// One instance's leases, with what its callbacks were told.
struct LeaseHolder {
  LeaseHolder(MemoryRecords* records, const std::string& name)
      : leases(records, name, std::chrono::milliseconds(300)) {
    leases.Start([this](const std::string&) { ++freed; }, [this](const std::string&) { ++lost; });
  }
  Leases leases;
  std::atomic<int> freed{0};
  std::atomic<int> lost{0};
};

TEST(ChanneldLeases, OneHolderAtATimeWhateverTheOtherSeesOrMisses) {
  MemoryRecords records;
  LeaseHolder a(&records, "a"), b(&records, "b");
  ASSERT_TRUE(a.leases.Acquire("p", false));
  EXPECT_FALSE(b.leases.Acquire("p", false));
  // a renews: b never sees it run out.
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_FALSE(b.leases.Acquire("p", false));
  EXPECT_TRUE(a.leases.Valid("p"));
  EXPECT_EQ(1u, a.leases.held());

  // a is cut off from the records: it stops at its deadline, and b, once it
  // can, takes the lease only after seeing it unchanged for a lifetime.
  b.leases.Want("p");
  records.available = false;
  std::atomic<bool> both{false};
  std::atomic<bool> sampling{true};
  std::thread sampler([&] {
    while (sampling) both = both || (a.leases.Valid("p") && b.leases.Valid("p"));
  });
  ASSERT_TRUE(WaitFor([&] { return !a.leases.Valid("p"); }, std::chrono::seconds(5)));
  EXPECT_TRUE(WaitFor([&] { return a.lost > 0; }, std::chrono::seconds(5)));
  records.available = true;
  ASSERT_TRUE(WaitFor([&] { return b.freed > 0; }, std::chrono::seconds(5)));
  ASSERT_TRUE(b.leases.Acquire("p", false));
  EXPECT_EQ(1u, b.leases.takeovers());
  // a, back, cannot have it again while b renews.
  EXPECT_FALSE(a.leases.Acquire("p", false));
  sampling = false;
  sampler.join();
  EXPECT_FALSE(both);

  // Released, it is free at once; taken over, its holder hears of it.
  b.leases.Release("p");
  EXPECT_TRUE(a.leases.Acquire("p", false));
  EXPECT_TRUE(b.leases.Acquire("p", /*takeOver=*/true));
  EXPECT_TRUE(WaitFor([&] { return !a.leases.Valid("p") && a.lost >= 2; }, std::chrono::seconds(5)));
}

TEST(ChanneldSharedTopology, EachObjectHasARecordOfItsOwnThatNoOtherChannelShares) {
  ChannelState channel;
  channel.key = "a/ca1";  // a key may hold what object ids hold
  AdminState admin;
  admin.id = 1;
  admin.consumerSide = true;
  channel.admins.push_back(admin);
  ProxyState proxy;
  proxy.admin = 1;
  proxy.id = 2;
  proxy.consumerSide = true;
  channel.proxies.push_back(proxy);
  FilterState filter;
  filter.id = 3;
  channel.filters.push_back(filter);
  std::map<std::string, ChannelState> records = SharedTopology::Split(channel);
  std::vector<std::string> names;
  for (const auto& entry : records) names.push_back(entry.first);
  EXPECT_EQ((std::vector<std::string>{"a/ca1/ca1", "a/ca1/ca1/p2", "a/ca1/channel", "a/ca1/f3"}),
            names);
  for (const auto& entry : records) EXPECT_EQ(entry.first, SharedTopology::RecordOf(entry.second));
  // Channel "a" has no record among them: its admin 1 would be "a/ca1".
  EXPECT_EQ(0u, records.count("a/ca1"));
}

TEST(ChanneldCommandLine, AClusterInstanceNeedsItsServersAndAFixedPort) {
  CommandLine line = Parse({"--port", "5000", "--cluster",
                            "nats://127.0.0.1:4222,tls://user:pw@n2:4223", "--stream-replicas",
                            "1", "--stream-max-age", "60", "--stream-max-bytes", "1048576",
                            "--accept-timeout", "250", "--advertise", "h1:5000", "--advertise",
                            "[::1]:5001"});
  ASSERT_EQ(CommandLine::Action::kRun, line.action()) << line.error();
  const ClusterSettings& cluster = line.options().cluster;
  EXPECT_EQ((std::vector<std::string>{"nats://127.0.0.1:4222", "tls://user:pw@n2:4223"}),
            cluster.servers);
  EXPECT_EQ(1, cluster.replicas);
  EXPECT_EQ(60u, cluster.maxAgeSeconds);
  EXPECT_EQ(1048576, cluster.maxBytes);
  EXPECT_EQ(250u, cluster.acceptTimeoutMs);
  EXPECT_NE(std::string::npos, cluster.instance.find("-5000"));  // HOSTNAME-PORT
  EXPECT_EQ((std::vector<std::string>{"h1:5000", "[::1]:5001"}), line.options().advertised);

  EXPECT_TRUE(Parse({}).options().cluster.servers.empty());
  for (const auto& bad : std::vector<std::vector<const char*>>{
           {"--cluster", "nats://a:1"},                                    // no fixed port
           {"--port", "1", "--cluster", "http://a:1"},                     // not NATS
           {"--port", "1", "--cluster", "nats://a:1,"},                    // an empty server
           {"--port", "1", "--stream-replicas", "3"},                      // without --cluster
           {"--port", "1", "--cluster", "nats://a:1", "--stream-replicas", "7"},
           {"--port", "1", "--cluster", "nats://a:1", "--nats-tls-cert", "c.pem"},
           {"--port", "1", "--cluster", "nats://a:1", "--instance", "a b"},
           {"--advertise", "nohost"}}) {
    CommandLine refused = Parse(bad);
    EXPECT_EQ(CommandLine::Action::kError, refused.action()) << bad.back();
    EXPECT_FALSE(refused.error().empty());
  }
}

}  // namespace
}  // namespace channeld
}  // namespace kestrel
