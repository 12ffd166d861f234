// kestrel-channeld's console (--console): the tail and what a page is sent
// on their own, the endpoint's answers, then one service end to end with
// pages watching it through HTTP as a browser does.

#include <gtest/gtest.h>

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "channel/event_record.h"
#include "channeld/console/console_json.h"
#include "channeld/console/console_routes.h"
#include "channeld/console/notification_tail.h"
#include "channeld/console/tail_filter.h"
#include "channeld/host/command_line.h"
#include "channeld/host/metrics_endpoint.h"
#include "tests/channeld/channel_clients.h"
#include "tests/support/channel_service.h"
#include "tests/support/test_support.h"

namespace kestrel {
namespace testing {
namespace {

using channeld::ConsoleFigures;
using channeld::ConsoleRoutes;
using channeld::MetricsEndpoint;
using channeld::MetricsServer;
using channeld::NotificationTail;
using channeld::PassedEvent;
using channeld::TailFilter;
using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = std::chrono::steady_clock;
using Next = NotificationTail::Viewer::Next;

CosNotification::StructuredEvent Notification(const char* module, CORBA::ULong severity,
                                              const std::string& description,
                                              CORBA::ULong code = 0x1001) {
  Kestrel::EventData record;
  SetRecordText(record.mModule, module);
  SetRecordText(record.mHost, "web1");
  record.mSeverity = severity;
  record.mMessageCode = code;
  SetRecordText(record.mDescription, description.c_str());
  CosNotification::StructuredEvent event;
  event.header.fixed_header.event_type.domain_name = "TNW";
  event.header.fixed_header.event_type.type_name = "Event";
  event.header.fixed_header.event_name = "SystemEvent";
  InsertRecord(event.remainder_of_body, record);
  return event;
}

// The description of the notification that a tail's event carries.
std::string DescriptionOf(const PassedEvent& passed) {
  const Kestrel::EventData* record = ExtractRecord(passed.event.remainder_of_body);
  return record != nullptr ? record->mDescription.in() : "";
}

// An ORB for the records' type codes, the process's for every case.
const TestOrb& Orb() {
  static TestOrb* orb = new TestOrb;
  return *orb;
}

// ---------------------------------------------------------------------------
// The tail.

// Everything queued for viewer now, by description.
std::vector<std::string> Taken(NotificationTail::Viewer* viewer, std::uint64_t* dropped,
                               milliseconds wait = milliseconds(0)) {
  std::vector<std::shared_ptr<const PassedEvent>> events;
  std::vector<std::string> descriptions;
  if (viewer->TakeAll(wait, &events, dropped) == Next::kEvents) {
    for (const auto& event : events) descriptions.push_back(DescriptionOf(*event));
  }
  return descriptions;
}

TEST(NotificationTail, NothingIsCopiedWhileNoPageWatchesAndNothingAfterTheLastGoes) {
  Orb();
  NotificationTail tail;
  CosNotification::StructuredEvent event = Notification("disk", 3, "unwatched");
  for (int i = 0; i < 1000; ++i) tail.Offer("K", event);
  EXPECT_FALSE(tail.Watched());
  EXPECT_EQ(0u, tail.copies());

  std::unique_ptr<NotificationTail::Viewer> viewer = tail.Watch();
  ASSERT_TRUE(viewer);
  EXPECT_TRUE(tail.Watched());
  tail.Offer("K", Notification("disk", 3, "watched"));
  EXPECT_EQ(1u, tail.copies());
  std::uint64_t dropped = 1;
  EXPECT_EQ(std::vector<std::string>{"watched"}, Taken(viewer.get(), &dropped));
  EXPECT_EQ(0u, dropped);

  viewer.reset();
  EXPECT_FALSE(tail.Watched());
  for (int i = 0; i < 1000; ++i) tail.Offer("K", event);
  EXPECT_EQ(1u, tail.copies());
}

TEST(NotificationTail, AReaderThatStallsLosesWhatDoesNotFitAndCountsItWhileOffersGoOn) {
  Orb();
  constexpr std::size_t kBound = 8;
  NotificationTail tail(2, kBound);
  std::unique_ptr<NotificationTail::Viewer> stalled = tail.Watch();
  std::unique_ptr<NotificationTail::Viewer> reading = tail.Watch();
  ASSERT_TRUE(stalled && reading);

  // Offers from a thread of their own, as a supplier's: they must end
  // although the stalled page never reads.
  std::atomic<bool> offered{false};
  std::thread supplier([&] {
    for (int i = 0; i < 100; ++i) tail.Offer("K", Notification("disk", 3, std::to_string(i)));
    offered = true;
  });
  std::vector<std::string> taken;
  std::uint64_t readerLost = 0;
  for (;;) {
    // Once every offer was made, an empty take means nothing is left.
    bool allOffered = offered;
    std::vector<std::string> more = Taken(reading.get(), &readerLost, milliseconds(10));
    taken.insert(taken.end(), more.begin(), more.end());
    if (allOffered && more.empty()) break;
  }
  supplier.join();
  // The reader kept up or lost some, in order either way.
  EXPECT_EQ(100u, taken.size() + readerLost);
  for (std::size_t i = 1; i < taken.size(); ++i) {
    EXPECT_LT(std::stoi(taken[i - 1]), std::stoi(taken[i]));
  }
  // The stalled page holds the first kBound and counts the rest as lost.
  std::uint64_t stalledLost = 0;
  std::vector<std::string> held = Taken(stalled.get(), &stalledLost);
  EXPECT_EQ(100u - kBound, stalledLost);
  ASSERT_EQ(kBound, held.size());
  for (std::size_t i = 0; i < kBound; ++i) EXPECT_EQ(std::to_string(i), held[i]);
  EXPECT_TRUE(Taken(stalled.get(), &stalledLost, milliseconds(10)).empty());

  // With no room anywhere, an offer copies nothing and is counted lost.
  NotificationTail full(1, 1);
  std::unique_ptr<NotificationTail::Viewer> page = full.Watch();
  for (int i = 0; i < 10; ++i) full.Offer("K", Notification("disk", 3, std::to_string(i)));
  EXPECT_EQ(1u, full.copies());
  EXPECT_EQ(std::vector<std::string>{"0"}, Taken(page.get(), &stalledLost));
  EXPECT_EQ(9u, stalledLost);
}

TEST(NotificationTail, PagesAreBoundedAndACloseEndsEveryWait) {
  NotificationTail tail(2, 4);
  std::unique_ptr<NotificationTail::Viewer> first = tail.Watch();
  std::unique_ptr<NotificationTail::Viewer> second = tail.Watch();
  ASSERT_TRUE(first && second);
  EXPECT_FALSE(tail.Watch());
  second.reset();
  second = tail.Watch();
  ASSERT_TRUE(second);

  std::atomic<bool> ended{false};
  std::thread waiting([&] {
    std::vector<std::shared_ptr<const PassedEvent>> events;
    std::uint64_t dropped = 0;
    while (first->TakeAll(seconds(30), &events, &dropped) != Next::kClosed) {
    }
    first->Linger(seconds(30));
    ended = true;
  });
  tail.Close();
  waiting.join();  // a close that did not wake the page would hold this 30 s
  EXPECT_TRUE(ended);
  std::vector<std::shared_ptr<const PassedEvent>> events;
  std::uint64_t dropped = 0;
  EXPECT_EQ(Next::kClosed, second->TakeAll(seconds(30), &events, &dropped));
  second.reset();
  EXPECT_FALSE(tail.Watch());
}

// ---------------------------------------------------------------------------
// Filters and what a page is sent.

// The line of one notification, as sent to a page.
std::string Line(const CosNotification::StructuredEvent& event) {
  PassedEvent passed{"K<1>", std::chrono::system_clock::now(), event};
  filter::EventView view(passed.event, TailFilter::kNames);
  return channeld::NotificationJson(passed, &view);
}

bool Selects(const std::string& constraint, const CosNotification::StructuredEvent& event) {
  TailFilter::Problem problem;
  std::unique_ptr<TailFilter> filter = TailFilter::Compile(constraint, &problem);
  EXPECT_TRUE(filter) << constraint << ": " << problem.message;
  if (!filter) return false;
  filter::EventView view(event, TailFilter::kNames);
  return filter->Selects(&view);
}

TEST(ConsoleFilter, RecordMembersGoByTheirNamesAsWellAsByTheirPath) {
  Orb();
  const auto diskError = Notification("disk", 4, "disk /var is 92% full");
  const auto diskNotice = Notification("disk", 2, "disk checked");
  const auto netError = Notification("net", 5, "link eth0 is down");
  const std::string byName = "$mSeverity >= 4 and $mModule == 'disk'";
  EXPECT_TRUE(Selects(byName, diskError));
  EXPECT_FALSE(Selects(byName, diskNotice));
  EXPECT_FALSE(Selects(byName, netError));
  EXPECT_TRUE(Selects("$.remainder_of_body.mSeverity >= 4", netError));
  EXPECT_TRUE(Selects("'full' ~ $mDescription", diskError));
  EXPECT_TRUE(Selects("", diskNotice));
  // A property of that name comes first, as it does for every filter.
  auto shadowed = diskNotice;
  shadowed.filterable_data.length(1);
  shadowed.filterable_data[0].name = "mSeverity";
  shadowed.filterable_data[0].value <<= static_cast<CORBA::ULong>(9);
  EXPECT_TRUE(Selects("$mSeverity == 9", shadowed));
  // Another body has no such members.
  CosNotification::StructuredEvent other;
  other.remainder_of_body <<= static_cast<CORBA::ULong>(4);
  EXPECT_FALSE(Selects("$mSeverity == 4", other));
}

TEST(ConsoleFilter, AMalformedConstraintSaysWhatAndWhereAsABrowserCounts) {
  TailFilter::Problem problem;
  EXPECT_FALSE(TailFilter::Compile("$mSeverity >=", &problem));
  EXPECT_FALSE(problem.message.empty());
  EXPECT_EQ(13u, problem.position);
  // "é" is two bytes and one character; "𝄞" four bytes and two UTF-16 units.
  EXPECT_FALSE(TailFilter::Compile("'\xC3\xA9\xF0\x9D\x84\x9E' == == 1", &problem));
  EXPECT_EQ(9u, problem.position);
  EXPECT_EQ("{\"ok\":false,\"message\":" + channeld::JsonString(problem.message) +
                ",\"position\":9}",
            channeld::FilterAnswerJson(&problem));
}

TEST(ConsoleJson, UntrustedTextStaysAStringThatNoPageCanTakeForMarkup) {
  Orb();
  const std::string hostile =
      "</script><script>alert(1)</script> \"quoted\" back\\slash\nline\x01 & \xE2\x80\xA8 "
      "\xFF\xC3 caf\xC3\xA9";
  std::string line = Line(Notification("disk", 3, hostile, 0xFFFFFFFF));
  EXPECT_EQ(std::string::npos, line.find('<'));
  EXPECT_EQ(std::string::npos, line.find('>'));
  EXPECT_EQ(std::string::npos, line.find('\n'));
  EXPECT_EQ(std::string::npos, line.find("\xE2\x80\xA8"));
  EXPECT_NE(std::string::npos,
            line.find("\"description\":\"\\u003c/script\\u003e\\u003cscript\\u003ealert(1)"
                      "\\u003c/script\\u003e \\\"quoted\\\" back\\\\slash\\nline\\u0001 "
                      "\\u0026 \\u2028 \\ufffd\\ufffd caf\xC3\xA9\""))
      << line;
  EXPECT_NE(std::string::npos, line.find("\"channel\":\"K\\u003c1\\u003e\""));
  EXPECT_NE(std::string::npos, line.find("\"host\":\"web1\",\"module\":\"disk\""));
  EXPECT_NE(std::string::npos,
            line.find("\"severity\":3,\"severityName\":\"warning\",\"code\":4294967295"));
  EXPECT_STREQ("alert", channeld::SeverityName(4000000000u));
}

// ---------------------------------------------------------------------------
// The endpoint's answers.

MetricsServer::Request Asked(const std::string& path, const std::string& peer = "127.0.0.1") {
  MetricsServer::Request request;
  request.method = "GET";
  request.path = path;
  request.peerAddress = peer;
  request.peerPort = 40000;
  return request;
}

TEST(ConsoleAnswers, OnlyWithTheConsoleAndOnlyToPeersLetIn) {
  NotificationTail tail(1, 4);
  std::atomic<int> taken{0};
  ConsoleRoutes routes(&tail, [&taken] {
    ++taken;
    ConsoleFigures figures;
    figures.channels.push_back({"K", 1, 2, 3, 4, 5});
    return figures;
  });
  auto loopbackOnly = [](const std::string& address, int) { return address == "127.0.0.1"; };
  MetricsEndpoint without([] { return channeld::ServiceFigures(); }, loopbackOnly);
  MetricsEndpoint with([] { return channeld::ServiceFigures(); }, loopbackOnly, nullptr, &routes);
  without.Serving();
  EXPECT_EQ(404, without.Answer(Asked("/")).status);
  EXPECT_EQ(404, without.Answer(Asked("/console/tail")).status);

  for (const char* path : {"/", "/console/state", "/console/tail", "/console/filter"}) {
    EXPECT_EQ(403, with.Answer(Asked(path, "192.0.2.7")).status) << path;
  }
  EXPECT_EQ(0, taken);
  EXPECT_EQ(0u, tail.viewers());
  // Before the channels serve, there are no figures to show.
  EXPECT_EQ(503, with.Answer(Asked("/console/state")).status);
  EXPECT_EQ(0, taken);
  with.Serving();
  MetricsServer::Reply page = with.Answer(Asked("/"));
  EXPECT_EQ(200, page.status);
  EXPECT_EQ("text/html; charset=utf-8", page.contentType);
  bool policy = false;
  for (const auto& header : page.headers) policy |= header.first == "Content-Security-Policy";
  EXPECT_TRUE(policy);
  MetricsServer::Reply state = with.Answer(Asked("/console/state"));
  EXPECT_EQ(200, state.status);
  EXPECT_NE(std::string::npos, state.body.find("\"key\":\"K\",\"suppliers\":1,\"consumers\":2"));
  EXPECT_EQ(1, taken);
  EXPECT_EQ(200, with.Answer(Asked("/metrics")).status);
}

// ---------------------------------------------------------------------------
// End to end.

// A page watching a service's tail over HTTP, on a thread of its own, as
// a browser's EventSource does.
class Page {
 public:
  Page(int port, const std::string& constraint) {
    thread_ = std::thread([this, port, constraint] {
      httplib::Client client("127.0.0.1", port);
      client.set_read_timeout(30, 0);
      httplib::Params query = {{"constraint", constraint}};
      httplib::Result result = client.Get(
          "/console/tail", query, httplib::Headers(),
          [this](const httplib::Response& response) {
            std::lock_guard<std::mutex> lock(mutex_);
            status_ = response.status;
            changed_.notify_all();
            return true;
          },
          [this](const char* data, std::size_t length) {
            std::lock_guard<std::mutex> lock(mutex_);
            text_.append(data, length);
            changed_.notify_all();
            return !leaving_;
          });
      std::lock_guard<std::mutex> lock(mutex_);
      if (result && status_ == 0) status_ = result->status;
      if (result) text_ += result->body;
      ended_ = true;
      changed_.notify_all();
    });
  }
  ~Page() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      leaving_ = true;
    }
    thread_.join();
  }

  // Waits until the page's text holds what, or has ended; answers the
  // status and the text so far.
  bool WaitFor(const std::string& what, seconds timeout = seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
      return text_.find(what) != std::string::npos || ended_;
    }) && text_.find(what) != std::string::npos;
  }
  bool WaitEnded(seconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return ended_; });
  }
  int status() {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
  }
  std::string text() {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int status_ = 0;
  std::string text_;
  bool ended_ = false;
  bool leaving_ = false;
  std::thread thread_;
};

TEST(ConsoleEndToEnd, PagesGetWhatTheirFilterSelectsAsItPassesUpToTheBoundAndAStopEndsThem) {
  const TestOrb& orb = Orb();
  TemporaryFolder folder;
  const int port = UnusedPort();
  ChannelService::Options options;
  options.extraArguments = {"--metrics", "127.0.0.1:" + std::to_string(port), "--console"};
  options.errorFile = folder.File("stderr");
  ChannelService service(options);
  ASSERT_TRUE(service.Start()) << ReadFile(folder.File("stderr"));

  std::vector<std::unique_ptr<Page>> pages;
  pages.emplace_back(new Page(port, "$mSeverity >= 4 and $mModule == 'disk'"));
  pages.emplace_back(new Page(port, ""));
  for (auto& page : pages) ASSERT_TRUE(page->WaitFor(": watching")) << page->text();

  CosNotifyChannelAdmin::EventChannel_var channel = orb.Channel(service.address());
  ConnectedSupplier supplier = ConnectSupplier(orb, channel.in());
  supplier.proxy->push_structured_event(Notification("net", 5, "link eth0 is down"));
  supplier.proxy->push_structured_event(Notification("disk", 2, "disk checked"));
  supplier.proxy->push_structured_event(Notification("disk", 4, "disk <b>/var</b> is full"));

  ASSERT_TRUE(pages[0]->WaitFor("is full")) << pages[0]->text();
  EXPECT_EQ(std::string::npos, pages[0]->text().find("link eth0"));
  EXPECT_EQ(std::string::npos, pages[0]->text().find("disk checked"));
  EXPECT_NE(std::string::npos, pages[0]->text().find(
                                   "\"severity\":4,\"severityName\":\"error\",\"code\":4097,"
                                   "\"description\":\"disk \\u003cb\\u003e/var\\u003c/b\\u003e "
                                   "is full\"}\n\n"));
  ASSERT_TRUE(pages[1]->WaitFor("is full")) << pages[1]->text();
  std::string all = pages[1]->text();
  EXPECT_LT(all.find("link eth0"), all.find("disk checked"));
  EXPECT_LT(all.find("disk checked"), all.find("is full"));

  // A malformed filter is refused with its reason; the bound is kept.
  Page malformed(port, "$mSeverity >=");
  ASSERT_TRUE(malformed.WaitEnded(seconds(10)));
  EXPECT_EQ(400, malformed.status());
  EXPECT_NE(std::string::npos, malformed.text().find("\"position\":13")) << malformed.text();
  pages.emplace_back(new Page(port, ""));
  pages.emplace_back(new Page(port, ""));
  for (auto& page : pages) ASSERT_TRUE(page->WaitFor(": watching")) << page->text();
  Page beyond(port, "");
  ASSERT_TRUE(beyond.WaitEnded(seconds(10)));
  EXPECT_EQ(503, beyond.status());
  EXPECT_NE(std::string::npos, beyond.text().find("too many viewers: at most 4"));

  // Pages that never leave hold nothing up: the service stops as ever.
  EXPECT_EQ(0, service.Stop());
  for (auto& page : pages) EXPECT_TRUE(page->WaitEnded(seconds(10)));
}

TEST(ConsoleOption, IsOffByDefaultAndNeedsTheMetricsEndpoint) {
  auto parse = [](std::vector<const char*> arguments) {
    arguments.insert(arguments.begin(), "kestrel-channeld");
    return channeld::CommandLine::Parse(static_cast<int>(arguments.size()), arguments.data());
  };
  EXPECT_FALSE(parse({}).options().console);
  EXPECT_TRUE(parse({"--metrics", "127.0.0.1:9464", "--console"}).options().console);
  channeld::CommandLine alone = parse({"--console"});
  EXPECT_EQ(channeld::CommandLine::Action::kError, alone.action());
  EXPECT_NE(std::string::npos, alone.error().find("--console needs --metrics"));
}

}  // namespace
}  // namespace testing
}  // namespace kestrel
