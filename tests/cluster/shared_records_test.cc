// The cluster's shared records and consumers' positions against real
// nats-servers, through the stream as an instance holds it: a
// compare-and-set that loses must say so, a watcher must hold the bucket's
// state across another instance's changes and a lost connection, and a
// position must hand out each event once, again only when it was not done,
// and nothing from before it was made.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "channeld/cluster/event_stream.h"
#include "tests/support/nats_cluster.h"

namespace kestrel {
namespace channeld {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = std::chrono::steady_clock;
using testing::NatsCluster;
using Records = SharedRecords::Result;
using Position = EventStream::Result;

// Bounds on a loaded machine, not expectations.
constexpr seconds kReachable{30};
constexpr seconds kArrival{20};

ClusterSettings SettingsFor(const NatsCluster& nats, const std::string& instance) {
  ClusterSettings settings;
  for (std::size_t i = 0; i < nats.size(); ++i) settings.servers.push_back(nats.url(i));
  settings.instance = instance;
  settings.replicas = static_cast<int>(nats.size());
  settings.maxBytes = 1 << 20;  // reserved on each replica's server
  return settings;
}

std::unique_ptr<EventStream> Open(const NatsCluster& nats, const std::string& instance) {
  std::string error;
  std::unique_ptr<EventStream> stream = OpenEventStream(SettingsFor(nats, instance), &error);
  EXPECT_NE(nullptr, stream) << error;
  return stream;
}

// Calls attempt until it answers other than unavailable (the bucket or the
// stream being found, made, or elected), or the bound passes.
template <typename Result>
Result WhileUnavailable(Result unavailable, const std::function<Result()>& attempt) {
  Result result = attempt();
  for (auto end = Clock::now() + kReachable; result == unavailable && Clock::now() < end;) {
    std::this_thread::sleep_for(milliseconds(100));
    result = attempt();
  }
  return result;
}

template <typename Item>
class Collected {
 public:
  void Add(Item item) {
    std::lock_guard<std::mutex> lock(mutex_);
    items_.push_back(std::move(item));
    arrived_.notify_all();
  }
  // Waits until done(items) or the bound; answers what it has then.
  std::vector<Item> Until(const std::function<bool(const std::vector<Item>&)>& done,
                          seconds limit = kArrival) {
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait_for(lock, limit, [&] { return done(items_); });
    return items_;
  }
  std::vector<Item> Now() {
    std::lock_guard<std::mutex> lock(mutex_);
    return items_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<Item> items_;
};

using Entries = std::vector<SharedRecords::Entry>;

std::size_t CaughtUpMarks(const Entries& entries) {
  std::size_t marks = 0;
  for (const SharedRecords::Entry& entry : entries) marks += entry.key.empty() ? 1 : 0;
  return marks;
}

// What a watcher holds after each entry: the bucket's keys and values as
// of the last start over.
std::map<std::string, std::string> Held(const Entries& entries, std::size_t from) {
  std::map<std::string, std::string> held;
  for (std::size_t i = from; i < entries.size(); ++i) {
    if (entries[i].key.empty()) continue;
    if (entries[i].deleted) {
      held.erase(entries[i].key);
    } else {
      held[entries[i].key] = entries[i].value;
    }
  }
  return held;
}

TEST(ClusterSharedRecords, CompareAndSetWatchersAndAnotherInstancesChanges) {
  NatsCluster nats(NatsCluster::Options(1));
  ASSERT_TRUE(nats.Start()) << nats.logOf(0);
  Collected<SharedRecords::Entry> seen;
  std::unique_ptr<EventStream> first = Open(nats, "first");
  ASSERT_NE(nullptr, first);
  SharedRecords* records = first->topology();
  ASSERT_NE(nullptr, records);
  ASSERT_NE(nullptr, first->leases());
  EXPECT_NE(records, first->leases());

  // Keys hold what the bucket's own spelling may not: '/', '.', spaces.
  const std::string object = "chan/ca0/p3";
  std::uint64_t made = 0;
  ASSERT_EQ(Records::kDone, WhileUnavailable<Records>(Records::kUnavailable, [&] {
              return records->Create(object, "v1", &made);
            }));
  EXPECT_GT(made, 0u);
  std::uint64_t unchanged = 0;
  EXPECT_EQ(Records::kConflict, records->Create(object, "v2", &unchanged));
  std::uint64_t updated = 0;
  EXPECT_EQ(Records::kDone, records->Update(object, "v3", made, &updated));
  EXPECT_GT(updated, made);
  EXPECT_EQ(Records::kConflict, records->Update(object, "v4", made, &unchanged));
  SharedRecords::Entry entry;
  ASSERT_EQ(Records::kDone, records->Get(object, &entry));
  EXPECT_EQ(object, entry.key);
  EXPECT_EQ("v3", entry.value);
  EXPECT_EQ(updated, entry.revision);

  EXPECT_EQ(Records::kDone, records->Put("a.b c", std::string("\0two", 4), nullptr));
  EXPECT_EQ(Records::kDone, records->Put("empty", "", nullptr));
  EXPECT_EQ(Records::kDone, records->Put("gone", "x", nullptr));
  EXPECT_EQ(Records::kDone, records->Delete("gone"));
  EXPECT_EQ(Records::kMissing, records->Get("gone", &entry));
  EXPECT_EQ(Records::kDone, records->Delete("never there"));
  std::uint64_t recreated = 0;
  EXPECT_EQ(Records::kDone, records->Create("gone", "back", &recreated));
  EXPECT_EQ(Records::kDone, records->Delete("gone"));
  // The leases are another bucket.
  EXPECT_EQ(Records::kMissing, WhileUnavailable<Records>(Records::kUnavailable, [&] {
              return first->leases()->Get(object, &entry);
            }));

  // The watcher can be held inside its call, as a busy one would be.
  std::mutex gateMutex;
  std::condition_variable gateOpened;
  bool gateOpen = true;
  records->Watch([&](const SharedRecords::Entry& each) {
    std::unique_lock<std::mutex> lock(gateMutex);
    gateOpened.wait(lock, [&] { return gateOpen; });
    lock.unlock();
    seen.Add(each);
  });
  Entries entries = seen.Until([](const Entries& all) { return CaughtUpMarks(all) == 1; });
  ASSERT_EQ(1u, CaughtUpMarks(entries));
  ASSERT_FALSE(entries.empty());
  EXPECT_TRUE(entries.back().key.empty()) << "the mark ends the values as they were";
  std::map<std::string, std::string> expected = {
      {object, "v3"}, {"a.b c", std::string("\0two", 4)}, {"empty", ""}};
  EXPECT_EQ(expected, Held(entries, 0));
  for (const SharedRecords::Entry& each : entries) {
    EXPECT_FALSE(each.deleted) << each.key << ": only keys that hold values come first";
    if (each.key == object) {
      EXPECT_EQ(updated, each.revision);
    }
  }

  // Another instance's changes, through its own connection.
  std::unique_ptr<EventStream> second = Open(nats, "second");
  ASSERT_NE(nullptr, second);
  std::uint64_t put = 0;
  ASSERT_EQ(Records::kDone, WhileUnavailable<Records>(Records::kUnavailable, [&] {
              return second->topology()->Put("from/second", "hello", &put);
            }));
  ASSERT_EQ(Records::kDone, second->topology()->Delete(object));
  entries = seen.Until([&](const Entries& all) {
    return !all.empty() && all.back().key == object && all.back().deleted;
  });
  ASSERT_GE(entries.size(), 2u);
  const SharedRecords::Entry& added = entries[entries.size() - 2];
  EXPECT_EQ("from/second", added.key);
  EXPECT_EQ("hello", added.value);
  EXPECT_EQ(put, added.revision);
  EXPECT_FALSE(added.deleted);
  EXPECT_TRUE(entries.back().deleted);
  expected = {{"a.b c", std::string("\0two", 4)}, {"empty", ""}, {"from/second", "hello"}};
  EXPECT_EQ(expected, Held(entries, 0));

  // A lost connection: the watcher starts over from the values as they
  // are, and must hold them whatever changed while it was away. It is held
  // in its call until then, so that no change is read as one.
  {
    std::lock_guard<std::mutex> lock(gateMutex);
    gateOpen = false;
  }
  ASSERT_EQ(Records::kDone, second->topology()->Put("held", "1", nullptr));
  ASSERT_TRUE(nats.Restart(0)) << nats.logOf(0);
  for (auto end = Clock::now() + kReachable;
       first->Figures().reconnections == 0 && Clock::now() < end;) {
    std::this_thread::sleep_for(milliseconds(50));
  }
  ASSERT_GE(first->Figures().reconnections, 1u);
  ASSERT_EQ(Records::kDone, WhileUnavailable<Records>(Records::kUnavailable, [&] {
              return second->topology()->Delete("empty");
            }));
  ASSERT_EQ(Records::kDone, second->topology()->Put("while/away", "1", nullptr));
  {
    std::lock_guard<std::mutex> lock(gateMutex);
    gateOpen = true;
  }
  gateOpened.notify_all();
  expected.erase("empty");
  expected["held"] = "1";
  expected["while/away"] = "1";
  entries = seen.Until([&](const Entries& all) {
    return CaughtUpMarks(all) >= 2 && Held(all, 0) == expected;
  });
  EXPECT_GE(CaughtUpMarks(entries), 2u);
  EXPECT_EQ(expected, Held(entries, 0));
  std::size_t restart = 0;  // the start over's first entry: after the one held
  while (restart < entries.size() && entries[restart].key != "held") ++restart;
  EXPECT_EQ(expected, Held(entries, restart + 1))
      << "the values that did not change come again";
}

struct Fed {
  std::string data;
  std::uint64_t sequence = 0;
  bool persistent = false;
  std::shared_ptr<EventStream::Acknowledgement> acknowledgement;
};

EventStream::FeedDeliver Into(Collected<Fed>* fed) {
  return [fed](const EventStream::FedEvent& event) {
    fed->Add(Fed{std::string(static_cast<const char*>(event.data), event.size), event.sequence,
                 event.persistent, event.acknowledgement});
  };
}

std::set<std::string> DataOf(const std::vector<Fed>& events) {
  std::set<std::string> data;
  for (const Fed& event : events) data.insert(event.data);
  return data;
}

std::function<bool(const std::vector<Fed>&)> Holds(std::set<std::string> wanted) {
  return [wanted](const std::vector<Fed>& events) {
    std::set<std::string> data = DataOf(events);
    for (const std::string& each : wanted) {
      if (data.count(each) == 0) return false;
    }
    return true;
  };
}

TEST(ClusterPositions, EachEventOnceAgainOnlyUntilDoneAndNothingFromBefore) {
  constexpr const char* kChannel = "orders/eu";
  const std::string position = "chan/ca0/p3";
  constexpr milliseconds kPending{1000};
  NatsCluster nats;
  ASSERT_TRUE(nats.Start()) << nats.logOf(0);
  std::unique_ptr<EventStream> stream = Open(nats, "first");
  ASSERT_NE(nullptr, stream);
  // No per-instance consumer: the stream only has to be there for appends.
  stream->Open(kChannel);
  auto accept = [&](const std::string& data, bool persistent = false) {
    return WhileUnavailable<Position>(Position::kUnavailable, [&] {
      return stream->Accept(kChannel, data.data(), data.size(), persistent);
    });
  };
  ASSERT_EQ(Position::kAccepted, accept("before"));

  ASSERT_EQ(Position::kAccepted, WhileUnavailable<Position>(Position::kUnavailable, [&] {
              return stream->MakePosition(kChannel, position, 64, kPending);
            }));
  // Found, and left as it was: its window stays 64, not 2.
  EXPECT_EQ(Position::kAccepted, stream->MakePosition(kChannel, position, 2, kPending));
  for (const char* data : {"e1", "e2", "e3", "e4", "e5"}) {
    ASSERT_EQ(Position::kAccepted, accept(data, data == std::string("e2")));
  }

  std::shared_ptr<EventStream::Acknowledgement> e3;
  {
    Collected<Fed> fed;
    std::unique_ptr<EventStream::Feed> feed = stream->Follow(kChannel, position, Into(&fed), nullptr);
    ASSERT_NE(nullptr, feed);
    std::vector<Fed> events = fed.Until([](const std::vector<Fed>& all) { return all.size() >= 5; });
    ASSERT_EQ(5u, events.size());
    for (std::size_t i = 0; i < events.size(); ++i) {
      EXPECT_EQ("e" + std::to_string(i + 1), events[i].data);
      EXPECT_EQ(i == 1, events[i].persistent) << events[i].data;
      if (i > 0) {
        EXPECT_EQ(events[i - 1].sequence + 1, events[i].sequence);
      }
      ASSERT_NE(nullptr, events[i].acknowledgement);
    }
    events[0].acknowledgement->Done();
    events[1].acknowledgement->Done();
    events[1].acknowledgement->Done();  // later calls do nothing
    e3 = events[2].acknowledgement;
    // e4 and e5 are never done: their acknowledgements go with fed.
  }
  e3->Done();  // after its feed went
  e3.reset();
  ASSERT_EQ(Position::kAccepted, accept("e6"));

  {
    // Whoever follows next has what was not done, once the wait has passed,
    // after the newer e6.
    Collected<Fed> fed;
    std::unique_ptr<EventStream::Feed> feed = stream->Follow(kChannel, position, Into(&fed), nullptr);
    ASSERT_NE(nullptr, feed);
    std::vector<Fed> events = fed.Until(Holds({"e4", "e5", "e6"}));
    EXPECT_EQ((std::set<std::string>{"e4", "e5", "e6"}), DataOf(events));
    // Had they not been done, e1-e3 would have come with e4 and e5.
    std::this_thread::sleep_for(2 * kPending);
    events = fed.Now();
    EXPECT_EQ((std::set<std::string>{"e4", "e5", "e6"}), DataOf(events));
    EXPECT_EQ(events.size(), DataOf(events).size()) << "each once";
    for (const Fed& event : events) event.acknowledgement->Done();
  }

  EXPECT_EQ(Position::kAccepted, stream->DropPosition(kChannel, position));
  EXPECT_EQ(Position::kAccepted, stream->DropPosition(kChannel, position));
  ASSERT_EQ(Position::kAccepted, accept("while dropped"));
  Collected<Fed> fed;
  std::unique_ptr<EventStream::Feed> feed = stream->Follow(kChannel, position, Into(&fed), nullptr);
  ASSERT_NE(nullptr, feed);
  std::this_thread::sleep_for(2 * kPending);
  EXPECT_TRUE(fed.Now().empty()) << "a feed waits for its position, never makes it";
  ASSERT_EQ(Position::kAccepted, WhileUnavailable<Position>(Position::kUnavailable, [&] {
              return stream->MakePosition(kChannel, position, 64, kPending);
            }));
  ASSERT_EQ(Position::kAccepted, accept("after"));
  std::vector<Fed> events = fed.Until(Holds({"after"}));
  EXPECT_EQ((std::set<std::string>{"after"}), DataOf(events));
  EXPECT_EQ(0u, feed->repeats());
  for (const Fed& event : events) event.acknowledgement->Done();
  feed.reset();
  stream->Stop();
  EXPECT_EQ(nullptr, stream->Follow(kChannel, position, Into(&fed), nullptr));
}

}  // namespace
}  // namespace channeld
}  // namespace kestrel
