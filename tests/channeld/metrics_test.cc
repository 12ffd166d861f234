// kestrel-channeld's metrics endpoint (--metrics): the page and the answers
// on their own, then end to end, each case running its own channeld with
// the endpoint on a free loopback port and reading it as a scraper does.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "channeld/base/latency_histogram.h"
#include "channeld/host/command_line.h"
#include "channeld/host/metrics_endpoint.h"
#include "channeld/host/metrics_page.h"
#include "channeld/host/service_figures.h"
#include "tests/channeld/channel_clients.h"
#include "tests/support/channel_service.h"
#include "tests/support/test_support.h"

namespace kestrel {
namespace testing {
namespace {

using channeld::ChannelFigures;
using channeld::LatencyHistogram;
using channeld::MetricsEndpoint;
using channeld::MetricsServer;
using channeld::ProxyFigures;
using channeld::ServiceFigures;
using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = std::chrono::steady_clock;

constexpr auto kDeliveryWait = seconds(10);
constexpr auto kScrapeWait = seconds(10);

// ---------------------------------------------------------------------------
// The text exposition format, read back: a scraper's view of a page.

struct Exposition {
  std::map<std::string, std::string> types;  // family -> counter, gauge, histogram
  std::set<std::string> helped;              // families with a # HELP line
  // Each sample as written before its value ("name" or "name{labels}").
  std::map<std::string, std::string> samples;
  std::vector<std::string> errors;  // lines that the format does not allow

  bool Has(const std::string& series) const { return samples.count(series) != 0; }
  // The sample's value as a whole number; -1 when there is no such sample.
  long long Count(const std::string& series) const {
    auto found = samples.find(series);
    return found == samples.end() ? -1 : std::stoll(found->second);
  }
  double Value(const std::string& series) const {
    auto found = samples.find(series);
    return found == samples.end() ? -1 : std::stod(found->second);
  }
  // How many samples of family name (the name itself, not its _bucket).
  std::size_t SeriesOf(const std::string& name) const {
    std::size_t series = 0;
    for (const auto& sample : samples) {
      series += sample.first == name || sample.first.rfind(name + "{", 0) == 0;
    }
    return series;
  }
};

// The family that a sample belongs to: itself, or a histogram's.
std::string FamilyOf(const std::string& name, const Exposition& page) {
  if (page.types.count(name)) return name;
  for (const char* suffix : {"_bucket", "_sum", "_count"}) {
    std::string ending = suffix;
    if (name.size() > ending.size() &&
        name.compare(name.size() - ending.size(), ending.size(), ending) == 0) {
      std::string base = name.substr(0, name.size() - ending.size());
      auto found = page.types.find(base);
      if (found != page.types.end() && found->second == "histogram") return base;
    }
  }
  return std::string();
}

// name="value" pairs, comma-separated, values escaped as the format says.
bool WellFormedLabels(const std::string& labels) {
  std::size_t at = 0;
  while (at < labels.size()) {
    std::size_t equals = labels.find('=', at);
    if (equals == std::string::npos || equals == at || equals + 1 >= labels.size() ||
        labels[equals + 1] != '"') {
      return false;
    }
    std::size_t i = equals + 2;
    while (i < labels.size() && labels[i] != '"') i += labels[i] == '\\' ? 2 : 1;
    if (i >= labels.size()) return false;
    at = i + 1;
    if (at < labels.size() && labels[at++] != ',') return false;
  }
  return true;
}

Exposition Parse(const std::string& text) {
  Exposition page;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("# HELP ", 0) == 0 || line.rfind("# TYPE ", 0) == 0) {
      std::istringstream words(line.substr(7));
      std::string name, rest;
      words >> name >> rest;
      if (line[2] == 'H') {
        page.helped.insert(name);
      } else if (rest == "counter" || rest == "gauge" || rest == "histogram") {
        if (page.types.count(name)) page.errors.push_back("second TYPE: " + line);
        page.types[name] = rest;
      } else {
        page.errors.push_back(line);
      }
      continue;
    }
    std::size_t space = line.rfind(' ');
    std::size_t brace = line.find('{');
    std::string series = space == std::string::npos ? line : line.substr(0, space);
    std::string name = series.substr(0, brace);
    bool labelled = brace != std::string::npos && brace < series.size();
    if (space == std::string::npos || name.empty() || FamilyOf(name, page).empty() ||
        (labelled && (series.back() != '}' ||
                      !WellFormedLabels(series.substr(brace + 1, series.size() - brace - 2))))) {
      page.errors.push_back(line);
      continue;
    }
    char* end = nullptr;
    std::string value = line.substr(space + 1);
    std::strtod(value.c_str(), &end);
    if (value.empty() || *end != '\0' || page.samples.count(series)) page.errors.push_back(line);
    page.samples[series] = value;
  }
  return page;
}

// ---------------------------------------------------------------------------
// The page, from figures made up here.

ProxyFigures ConsumerProxy(std::uint32_t admin, std::uint32_t id, std::uint64_t delivered,
                           std::size_t queued) {
  ProxyFigures proxy;
  proxy.admin = admin;
  proxy.id = id;
  proxy.consumerSide = true;
  proxy.connected = true;
  proxy.name = "channel A: consumer proxy " + std::to_string(id);
  proxy.delivered = delivered;
  proxy.queued = queued;
  return proxy;
}

ServiceFigures TwoChannels() {
  ServiceFigures figures;
  figures.uptime = seconds(90);
  figures.refusedConnections = 4;
  ChannelFigures a;
  a.key = "A";
  a.received = 10;
  a.delivered = 25;
  a.discarded = 3;
  a.queued = 2;
  a.supplierProxies = 1;
  a.consumerProxies = 2;
  a.reclaimed = 6;
  ProxyFigures supplier;
  supplier.name = "channel A: supplier proxy 1";
  supplier.id = 1;
  supplier.received = 10;
  a.proxies = {supplier, ConsumerProxy(0, 1, 20, 2), ConsumerProxy(2, 7, 5, 0)};
  ChannelFigures b;
  b.key = "B/1";
  figures.channels = {a, b};
  return figures;
}

TEST(MetricsPage, EverySampleBelongsToAFamilyWithHelpAndType) {
  ServiceFigures figures = TwoChannels();
  figures.stateKept = true;
  figures.restored["A"].fromLog = 8;
  figures.restored["B/1"].lost = 5;
  Exposition page = Parse(channeld::MetricsPage(figures, "9.8.7"));
  EXPECT_TRUE(page.errors.empty()) << page.errors.front();
  for (const auto& type : page.types) {
    EXPECT_EQ(0u, type.first.rfind("kestrel_channeld_", 0)) << type.first;
    EXPECT_TRUE(page.helped.count(type.first)) << type.first;
    bool counter = type.second == "counter";
    bool total = type.first.size() > 6 &&
                 type.first.compare(type.first.size() - 6, 6, "_total") == 0;
    EXPECT_EQ(counter, total) << type.first << " is a " << type.second;
  }
  EXPECT_EQ(1, page.Count("kestrel_channeld_build_info{version=\"9.8.7\"}"));
  EXPECT_EQ(90, page.Value("kestrel_channeld_uptime_seconds"));
  EXPECT_EQ(4, page.Count("kestrel_channeld_connections_refused_total"));
  EXPECT_EQ(10, page.Count("kestrel_channeld_events_received_total{channel=\"A\"}"));
  EXPECT_EQ(25, page.Count("kestrel_channeld_events_delivered_total{channel=\"A\"}"));
  EXPECT_EQ(3, page.Count("kestrel_channeld_events_discarded_total{channel=\"A\"}"));
  EXPECT_EQ(2, page.Count("kestrel_channeld_events_queued{channel=\"A\"}"));
  EXPECT_EQ(1, page.Count("kestrel_channeld_supplier_proxies{channel=\"A\"}"));
  EXPECT_EQ(2, page.Count("kestrel_channeld_consumer_proxies{channel=\"A\"}"));
  EXPECT_EQ(6, page.Count("kestrel_channeld_proxies_reclaimed_total{channel=\"A\"}"));
  EXPECT_EQ(0, page.Count("kestrel_channeld_events_received_total{channel=\"B/1\"}"));
  EXPECT_EQ(20, page.Count(
                    "kestrel_channeld_proxy_events_delivered_total{channel=\"A\",proxy=\"0/1\"}"));
  EXPECT_EQ(0, page.Count("kestrel_channeld_proxy_events_queued{channel=\"A\",proxy=\"2/7\"}"));
  // Supplier proxies have no per-proxy series.
  EXPECT_EQ(2u, page.SeriesOf("kestrel_channeld_proxy_events_delivered_total"));
  EXPECT_EQ(8, page.Count("kestrel_channeld_events_restored_total{channel=\"A\"}"));
  EXPECT_EQ(5, page.Count("kestrel_channeld_events_not_restored_total{channel=\"B/1\"}"));
  EXPECT_EQ("histogram", page.types["kestrel_channeld_event_log_sync_seconds"]);
}

TEST(MetricsPage, StateSeriesOnlyWithAStateDirectory) {
  Exposition page = Parse(channeld::MetricsPage(TwoChannels(), "1"));
  EXPECT_TRUE(page.errors.empty());
  for (const auto& type : page.types) {
    EXPECT_EQ(std::string::npos, type.first.find("event_log")) << type.first;
    EXPECT_EQ(std::string::npos, type.first.find("restored")) << type.first;
  }
}

TEST(MetricsPage, ProxySeriesAreThoseOfTheBusiestHundredConsumerProxies) {
  ServiceFigures figures;
  ChannelFigures channel;
  channel.key = "A";
  // 150 connected consumer proxies, the later the busier, and some that
  // no consumer connected, which never have series.
  for (std::uint32_t id = 1; id <= 150; ++id) {
    channel.proxies.push_back(ConsumerProxy(0, id, id % 2 == 0 ? id : 0, id % 2 == 0 ? 0 : id));
    ProxyFigures idle = ConsumerProxy(1, id, 0, 0);
    idle.connected = false;
    channel.proxies.push_back(idle);
  }
  channel.consumerProxies = 300;
  figures.channels = {channel};
  Exposition page = Parse(channeld::MetricsPage(figures, "1"));
  EXPECT_TRUE(page.errors.empty());
  for (const char* family : {"kestrel_channeld_proxy_events_delivered_total",
                             "kestrel_channeld_proxy_events_discarded_total",
                             "kestrel_channeld_proxy_events_queued"}) {
    EXPECT_EQ(channeld::kMaxProxySeries, page.SeriesOf(family)) << family;
  }
  for (std::uint32_t id = 1; id <= 150; ++id) {
    EXPECT_EQ(id > 50, page.Has("kestrel_channeld_proxy_events_queued{channel=\"A\",proxy=\"0/" +
                                std::to_string(id) + "\"}"))
        << id;
  }
  EXPECT_EQ(300, page.Count("kestrel_channeld_consumer_proxies{channel=\"A\"}"));
}

TEST(MetricsPage, SyncTimesAreACumulativeHistogramInSeconds) {
  LatencyHistogram syncs;
  for (auto taken : {std::chrono::microseconds(300), std::chrono::microseconds(500),
                     std::chrono::microseconds(700), std::chrono::microseconds(3000),
                     std::chrono::microseconds(2000000)}) {
    syncs.Record(taken);
  }
  EXPECT_EQ(5u, syncs.count());
  ServiceFigures figures;
  figures.stateKept = true;
  figures.eventLogAppended = 12;
  figures.eventLogSyncs = syncs.snapshot();
  Exposition page = Parse(channeld::MetricsPage(figures, "1"));
  EXPECT_TRUE(page.errors.empty());
  const std::string bucket = "kestrel_channeld_event_log_sync_seconds_bucket{le=\"";
  const std::map<std::string, long long> expected = {
      {"0.0005", 2}, {"0.001", 3}, {"0.0025", 3}, {"0.005", 4}, {"0.01", 4},  {"0.025", 4},
      {"0.05", 4},   {"0.1", 4},   {"0.25", 4},   {"0.5", 4},   {"1", 4},     {"+Inf", 5}};
  for (const auto& le : expected) EXPECT_EQ(le.second, page.Count(bucket + le.first + "\"}"));
  EXPECT_EQ(5, page.Count("kestrel_channeld_event_log_sync_seconds_count"));
  EXPECT_DOUBLE_EQ(2.0045, page.Value("kestrel_channeld_event_log_sync_seconds_sum"));
  EXPECT_EQ(5, page.Count("kestrel_channeld_event_log_syncs_total"));
  EXPECT_EQ(12, page.Count("kestrel_channeld_event_log_appends_total"));
}

TEST(MetricsPage, LabelValuesAreEscaped) {
  ServiceFigures figures;
  ChannelFigures channel;
  channel.key = "a\"b\\c";
  figures.channels = {channel};
  Exposition page = Parse(channeld::MetricsPage(figures, "x\ny"));
  EXPECT_TRUE(page.errors.empty()) << page.errors.front();
  EXPECT_TRUE(page.Has("kestrel_channeld_events_received_total{channel=\"a\\\"b\\\\c\"}"));
  EXPECT_TRUE(page.Has("kestrel_channeld_build_info{version=\"x\\ny\"}"));
}

// SIGUSR1's report is read by people and scripts: it is made from the same
// figures and keeps its words.
TEST(MetricsPage, TheReportKeepsItsText) {
  ServiceFigures figures = TwoChannels();
  figures.channels[0].unconnectedProxies = 1;
  figures.channels[0].proxies[2].connected = false;
  figures.channels[0].proxies[1].discarded = 4;
  figures.channels[0].proxies[1].retries = 1;
  figures.channels[0].proxies[1].overflowing = true;
  EXPECT_EQ(
      "channel A: received 10, queued 2, supplier proxies 1, consumer proxies 2, not connected 1, "
      "reclaimed 6\n"
      "channel A: supplier proxy 1: received 10\n"
      "channel A: consumer proxy 1: delivered 20, discarded 4, queued 2, retries 1, "
      "overflowing yes\n"
      "channel A: consumer proxy 7: not connected\n"
      "channel B/1: received 0, queued 0, supplier proxies 0, consumer proxies 0, not connected 0, "
      "reclaimed 0\n"
      "connections refused by --allow: 4\n",
      channeld::ReportLines(figures));
  figures.stateKept = true;
  figures.eventLogAppended = 7;
  LatencyHistogram syncs;
  syncs.Record(milliseconds(1));
  syncs.Record(milliseconds(2));
  figures.eventLogSyncs = syncs.snapshot();
  figures.eventLogSegments = 1;
  std::string report = channeld::ReportLines(figures);
  EXPECT_EQ("event log: appended 7 events, 2 syncs, 1 segments\n",
            report.substr(report.rfind("event log")));
  // A line of its own, where certificate subjects are checked.
  figures.checksSubjects = true;
  figures.refusedSubjects = 3;
  report = channeld::ReportLines(figures);
  EXPECT_NE(std::string::npos,
            report.find("connections refused by --allow: 4\nrequests refused by --allow-subject: 3\n"))
      << report;
}

// ---------------------------------------------------------------------------
// What the endpoint answers, whoever asks.

MetricsServer::Request Asked(const std::string& path, const std::string& peer = "127.0.0.1",
                             const std::string& method = "GET") {
  MetricsServer::Request request;
  request.method = method;
  request.path = path;
  request.peerAddress = peer;
  request.peerPort = 40000;
  return request;
}

TEST(MetricsEndpointAnswers, RefusedPeersGetNothingButA403) {
  std::atomic<int> taken{0};
  MetricsEndpoint endpoint(
      [&taken] {
        ++taken;
        return TwoChannels();
      },
      [](const std::string& address, int) { return address == "192.0.2.1"; });
  endpoint.Serving();
  for (const char* path : {"/metrics", "/health", "/nothing"}) {
    MetricsServer::Reply refused = endpoint.Answer(Asked(path, "192.0.2.2"));
    EXPECT_EQ(403, refused.status) << path;
    EXPECT_EQ(std::string::npos, refused.body.find("kestrel_channeld")) << path;
  }
  EXPECT_EQ(0, taken);
  EXPECT_EQ(200, endpoint.Answer(Asked("/metrics", "192.0.2.1")).status);
  EXPECT_EQ(1, taken);
}

TEST(MetricsEndpointAnswers, HealthAndFiguresWaitForTheChannelsToServe) {
  std::atomic<int> taken{0};
  MetricsEndpoint endpoint(
      [&taken] {
        ++taken;
        return TwoChannels();
      },
      [](const std::string&, int) { return true; });
  EXPECT_EQ(503, endpoint.Answer(Asked("/health")).status);
  EXPECT_EQ(503, endpoint.Answer(Asked("/metrics")).status);
  EXPECT_EQ(0, taken);
  endpoint.Serving();
  EXPECT_EQ(200, endpoint.Answer(Asked("/health")).status);
  MetricsServer::Reply metrics = endpoint.Answer(Asked("/metrics", "127.0.0.1", "HEAD"));
  EXPECT_EQ(200, metrics.status);
  EXPECT_EQ("text/plain; version=0.0.4; charset=utf-8", metrics.contentType);
  EXPECT_TRUE(Parse(metrics.body).errors.empty());
  EXPECT_EQ(404, endpoint.Answer(Asked("/")).status);
  EXPECT_EQ(404, endpoint.Answer(Asked("/metrics/x")).status);
  EXPECT_EQ(405, endpoint.Answer(Asked("/metrics", "127.0.0.1", "POST")).status);
  EXPECT_EQ(1, taken);
}

// ---------------------------------------------------------------------------
// The option.

channeld::CommandLine ParseLine(std::vector<const char*> arguments) {
  arguments.insert(arguments.begin(), "kestrel-channeld");
  return channeld::CommandLine::Parse(static_cast<int>(arguments.size()), arguments.data());
}

TEST(MetricsOption, TakesAnAddressAndAPortAndIsOffByDefault) {
  EXPECT_EQ("", ParseLine({}).options().metricsHost);
  const std::vector<std::vector<std::string>> good = {{"127.0.0.1:9464", "127.0.0.1", "9464"},
                                                      {"[::1]:1", "::1", "1"},
                                                      {"0.0.0.0:65535", "0.0.0.0", "65535"},
                                                      {"localhost:80", "localhost", "80"}};
  for (const auto& one : good) {
    channeld::CommandLine line = ParseLine({"--metrics", one[0].c_str()});
    ASSERT_EQ(channeld::CommandLine::Action::kRun, line.action()) << one[0] << line.error();
    EXPECT_EQ(one[1], line.options().metricsHost);
    EXPECT_EQ(std::stoi(one[2]), line.options().metricsPort);
  }
  EXPECT_EQ(9464, ParseLine({"--metrics=127.0.0.1:9464"}).options().metricsPort);
  for (const char* bad : {"", "9464", ":9464", "127.0.0.1", "127.0.0.1:", "127.0.0.1:0",
                          "127.0.0.1:65536", "127.0.0.1:x", "::1:9464", "[::1]", "[]:1",
                          "[::1:9464", "a b:1", "a/b:1"}) {
    channeld::CommandLine line = ParseLine({"--metrics", bad});
    EXPECT_EQ(channeld::CommandLine::Action::kError, line.action()) << bad;
    EXPECT_NE(std::string::npos, line.error().find("--metrics")) << bad;
  }
  EXPECT_NE(std::string::npos, channeld::CommandLine::Usage("x").find("--metrics ADDRESS:PORT"));
}

// ---------------------------------------------------------------------------
// End to end.

struct Reply {
  int status = -1;  // -1: no answer
  std::string contentType;
  std::string body;
};

// GET path from the endpoint on 127.0.0.1:port, connecting from source (any
// loopback address: they all reach 127.0.0.1).
Reply Get(int port, const std::string& path, const std::string& source = "127.0.0.1") {
  httplib::Client client("127.0.0.1", port);
  client.set_connection_timeout(5, 0);
  client.set_read_timeout(10, 0);
  client.set_socket_options([source](socket_t socket) {
    sockaddr_in from = {};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, source.c_str(), &from.sin_addr);
    ::bind(socket, reinterpret_cast<sockaddr*>(&from), sizeof from);
  });
  Reply reply;
  httplib::Result result = client.Get(path.c_str());
  if (!result) return reply;
  reply.status = result->status;
  reply.contentType = result->get_header_value("Content-Type");
  reply.body = result->body;
  return reply;
}

std::string Series(const std::string& name, const std::string& channel) {
  return "kestrel_channeld_" + name + "{channel=\"" + channel + "\"}";
}

std::string ProxySeries(const std::string& name, const std::string& channel,
                        CosNotifyChannelAdmin::ProxyID id) {
  return "kestrel_channeld_" + name + "{channel=\"" + channel + "\",proxy=\"0/" +
         std::to_string(id) + "\"}";
}

class MetricsTest : public ::testing::Test {
 protected:
  // A service with the endpoint on a free port, its stderr in a file.
  ChannelService::Options WithMetrics(std::vector<std::string> more = {}) {
    metricsPort_ = UnusedPort();
    ChannelService::Options options;
    options.extraArguments = {"--metrics", "127.0.0.1:" + std::to_string(metricsPort_)};
    options.extraArguments.insert(options.extraArguments.end(), more.begin(), more.end());
    options.errorFile = folder_.File("stderr");
    return options;
  }

  // The page, read and parsed; fails the test when it cannot be had.
  Exposition Scrape(const std::string& source = "127.0.0.1") {
    Reply reply = Get(metricsPort_, "/metrics", source);
    EXPECT_EQ(200, reply.status) << reply.body;
    EXPECT_EQ("text/plain; version=0.0.4; charset=utf-8", reply.contentType);
    Exposition page = Parse(reply.body);
    EXPECT_TRUE(page.errors.empty()) << page.errors.front();
    return page;
  }

  // Scrapes until done says the page is what it waits for, or kScrapeWait
  // has passed; answers the last page.
  Exposition ScrapeUntil(const std::function<bool(const Exposition&)>& done,
                         const std::string& source = "127.0.0.1") {
    Clock::time_point deadline = Clock::now() + kScrapeWait;
    Exposition page = Scrape(source);
    while (!done(page) && Clock::now() < deadline) {
      std::this_thread::sleep_for(milliseconds(50));
      page = Scrape(source);
    }
    return page;
  }

  std::string Errors() const { return ReadFile(folder_.File("stderr")); }

  TemporaryFolder folder_;
  TestOrb orb_;
  int metricsPort_ = -1;
};

TEST_F(MetricsTest, CountersMoveByExactlyTheEventsPublished) {
  ChannelService service(WithMetrics());
  ASSERT_TRUE(service.Start());
  const std::string key = service.key();
  CosNotifyChannelAdmin::EventChannel_var channel = orb_.Channel(service.address());
  ConnectedConsumer consumer = ConnectConsumer(orb_, channel.in());
  ConnectedSupplier supplier = ConnectSupplier(orb_, channel.in());
  PushEvents(supplier.proxy.in(), "warm-up", 0, 3);
  ASSERT_TRUE(consumer.servant->WaitForEvents(3, kDeliveryWait));
  const std::string delivered = Series("events_delivered_total", key);
  Exposition before = ScrapeUntil([&](const Exposition& page) {
    return page.Count(delivered) == 3;
  });
  ASSERT_EQ(3, before.Count(Series("events_received_total", key)));
  ASSERT_EQ(3, before.Count(delivered));

  constexpr long kEvents = 57;
  PushEvents(supplier.proxy.in(), "s", 0, kEvents);
  ASSERT_TRUE(consumer.servant->WaitForEvents(3 + kEvents, kDeliveryWait));
  Exposition after = ScrapeUntil([&](const Exposition& page) {
    return page.Count(delivered) >= 3 + kEvents;
  });
  EXPECT_EQ(kEvents, after.Count(Series("events_received_total", key)) -
                         before.Count(Series("events_received_total", key)));
  EXPECT_EQ(kEvents, after.Count(delivered) - before.Count(delivered));
  EXPECT_EQ(3 + kEvents,
            after.Count(ProxySeries("proxy_events_delivered_total", key, consumer.id)));
  EXPECT_EQ(0, after.Count(ProxySeries("proxy_events_queued", key, consumer.id)));
  EXPECT_EQ(0, after.Count(ProxySeries("proxy_events_discarded_total", key, consumer.id)));
  EXPECT_EQ(0, after.Count(Series("events_discarded_total", key)));
  EXPECT_EQ(0, after.Count(Series("events_queued", key)));
  EXPECT_EQ(1, after.Count(Series("supplier_proxies", key)));
  EXPECT_EQ(1, after.Count(Series("consumer_proxies", key)));
  EXPECT_EQ(0, after.Count(Series("unconnected_proxies", key)));
  EXPECT_GT(after.Value("kestrel_channeld_uptime_seconds"),
            before.Value("kestrel_channeld_uptime_seconds"));
  EXPECT_EQ(1, after.Count("kestrel_channeld_build_info{version=\"" KESTREL_VERSION "\"}"));
  EXPECT_EQ(0, service.Stop());
  EXPECT_EQ("", Errors());
}

// A counter never goes back: what a consumer was delivered stays in its
// channel's total once it has gone.
TEST_F(MetricsTest, WhatAConsumerGoneWasDeliveredStaysInItsChannelsTotal) {
  ChannelService service(WithMetrics());
  ASSERT_TRUE(service.Start());
  const std::string key = service.key();
  const std::string delivered = Series("events_delivered_total", key);
  CosNotifyChannelAdmin::EventChannel_var channel = orb_.Channel(service.address());
  ConnectedSupplier supplier = ConnectSupplier(orb_, channel.in());
  {
    ConnectedConsumer first = ConnectConsumer(orb_, channel.in());
    PushEvents(supplier.proxy.in(), "s", 0, 20);
    ASSERT_TRUE(first.servant->WaitForEvents(20, kDeliveryWait));
    ASSERT_EQ(20, ScrapeUntil([&](const Exposition& page) {
                    return page.Count(delivered) == 20;
                  }).Count(delivered));
    first.proxy->disconnect_structured_push_supplier();
  }
  Exposition gone = ScrapeUntil([&](const Exposition& page) {
    return page.Count(Series("consumer_proxies", key)) == 0;
  });
  ASSERT_EQ(0, gone.Count(Series("consumer_proxies", key)));
  EXPECT_EQ(20, gone.Count(delivered));
  EXPECT_EQ(0u, gone.SeriesOf("kestrel_channeld_proxy_events_delivered_total"));

  ConnectedConsumer second = ConnectConsumer(orb_, channel.in());
  PushEvents(supplier.proxy.in(), "s", 20, 30);
  ASSERT_TRUE(second.servant->WaitForEvents(10, kDeliveryWait));
  Exposition later = ScrapeUntil([&](const Exposition& page) {
    return page.Count(delivered) >= 30;
  });
  EXPECT_EQ(30, later.Count(delivered));
  EXPECT_EQ(30, later.Count(Series("events_received_total", key)));
  EXPECT_EQ(10, later.Count(ProxySeries("proxy_events_delivered_total", key, second.id)));
  EXPECT_EQ(0, service.Stop());
}

TEST_F(MetricsTest, ProxiesNeverConnectedAreCountedAndSoIsTheirReclaiming) {
  ChannelService service(WithMetrics({"--connect-timeout", "1"}));
  ASSERT_TRUE(service.Start());
  const std::string key = service.key();
  CosNotifyChannelAdmin::EventChannel_var channel = orb_.Channel(service.address());
  CosNotifyChannelAdmin::ConsumerAdmin_var consumers = channel->default_consumer_admin();
  CosNotifyChannelAdmin::SupplierAdmin_var suppliers = channel->default_supplier_admin();
  ConnectedConsumer kept = ConnectConsumer(orb_, channel.in());
  CosNotifyChannelAdmin::ProxyID id;
  CosNotifyChannelAdmin::ProxySupplier_var idle =
      consumers->obtain_notification_push_supplier(CosNotifyChannelAdmin::STRUCTURED_EVENT, id);
  CosNotifyChannelAdmin::ProxySupplier_var alsoIdle =
      consumers->obtain_notification_push_supplier(CosNotifyChannelAdmin::STRUCTURED_EVENT, id);
  CosNotifyChannelAdmin::ProxyConsumer_var idleSupplier =
      suppliers->obtain_notification_push_consumer(CosNotifyChannelAdmin::STRUCTURED_EVENT, id);
  const std::string reclaimed = Series("proxies_reclaimed_total", key);
  Exposition page = ScrapeUntil([&](const Exposition& p) { return p.Count(reclaimed) >= 3; });
  EXPECT_EQ(3, page.Count(reclaimed));
  EXPECT_EQ(0, page.Count(Series("unconnected_proxies", key)));
  EXPECT_EQ(1, page.Count(Series("consumer_proxies", key)));
  EXPECT_EQ(0, page.Count(Series("supplier_proxies", key)));
  EXPECT_EQ(0, service.Stop());
}

// A TCP connection from 127.0.0.1 to port, which the service closes at once
// when --allow refuses it.
class RefusedConnection {
 public:
  explicit RefusedConnection(int port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ =
        fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~RefusedConnection() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool connected() const { return connected_; }
  // Waits until the service has closed it; false if it has not within the
  // wait.
  bool WaitUntilClosed() const {
    Clock::time_point deadline = Clock::now() + kScrapeWait;
    while (Clock::now() < deadline) {
      char buffer[256];
      ssize_t got = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
      if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) return true;
      if (got < 0) std::this_thread::sleep_for(milliseconds(20));
    }
    return false;
  }

 private:
  int fd_;
  bool connected_ = false;
};

// 127.0.0.2 is let in, 127.0.0.1 is not: both reach the service's loopback
// address, so that one machine has a peer of each kind.
TEST_F(MetricsTest, RefusedPeersAreCountedAndGetNoFigures) {
  ChannelService service(WithMetrics({"--allow", "127.0.0.2"}));
  ASSERT_TRUE(service.Start());
  const std::string refused = "kestrel_channeld_connections_refused_total";
  const std::string allowed = "127.0.0.2";
  long long before = Scrape(allowed).Count(refused);
  ASSERT_GE(before, 0);
  for (int i = 0; i < 3; ++i) {
    RefusedConnection connection(service.port());
    ASSERT_TRUE(connection.connected());
    ASSERT_TRUE(connection.WaitUntilClosed());
  }
  EXPECT_EQ(before + 3, Scrape(allowed).Count(refused));

  for (const char* path : {"/metrics", "/health"}) {
    Reply reply = Get(metricsPort_, path);
    EXPECT_EQ(403, reply.status) << path;
    EXPECT_EQ(std::string::npos, reply.body.find("kestrel_channeld")) << path;
  }
  EXPECT_EQ(200, Get(metricsPort_, "/health", allowed).status);
  // The scrapes refused are refused connections too.
  EXPECT_EQ(before + 5, Scrape(allowed).Count(refused));
  EXPECT_EQ(0, service.Stop());
  EXPECT_NE(std::string::npos,
            Errors().find("connection from 127.0.0.1 refused: --allow does not name it"))
      << Errors();
}

// The restore is held where it reads the state directory: its topology file
// is a pipe that yields nothing until this test has seen the endpoint's
// answer, so that answer is the one given while the service restores.
TEST_F(MetricsTest, HealthIs503WhileTheStateIsRestoredAnd200OnceTheChannelsServe) {
  const std::string state = folder_.File("state");
  ASSERT_EQ(0, ::mkdir(state.c_str(), 0700));
  const std::string topology = state + "/topology";
  ASSERT_EQ(0, ::mkfifo(topology.c_str(), 0600));
  ChannelService service(WithMetrics({"--state-dir", state}));
  const int port = metricsPort_;
  std::atomic<int> whileRestoring{-1};
  std::atomic<int> metricsWhileRestoring{-1};
  std::thread restorer([&] {
    Clock::time_point deadline = Clock::now() + kScrapeWait;
    Reply health;
    while (health.status < 0 && Clock::now() < deadline) {
      health = Get(port, "/health");
      if (health.status < 0) std::this_thread::sleep_for(milliseconds(20));
    }
    whileRestoring = health.status;
    metricsWhileRestoring = Get(port, "/metrics").status;
    // Lets the restore go on: the pipe ends, empty.
    int writer = -1;
    while (writer < 0 && Clock::now() < deadline + kScrapeWait) {
      writer = ::open(topology.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      if (writer < 0) std::this_thread::sleep_for(milliseconds(20));
    }
    if (writer >= 0) ::close(writer);
  });
  bool started = service.Start();
  restorer.join();
  ASSERT_TRUE(started);
  EXPECT_EQ(503, whileRestoring);
  EXPECT_EQ(503, metricsWhileRestoring);
  EXPECT_EQ(200, Get(port, "/health").status);
  Exposition page = Scrape();
  EXPECT_EQ(0, page.Count(Series("events_restored_total", service.key())));
  EXPECT_EQ(0, service.Stop());
}

// A scraper that connects and sends half a request holds one of the
// endpoint's threads: the stop neither hangs on it nor fails.
TEST_F(MetricsTest, AStopEndsTheEndpointWhateverItsPeersAreDoing) {
  ChannelService service(WithMetrics());
  ASSERT_TRUE(service.Start());
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(metricsPort_));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address));
  const std::string half = "GET /metr";
  ASSERT_EQ(static_cast<ssize_t>(half.size()), ::send(fd, half.data(), half.size(), MSG_NOSIGNAL));
  EXPECT_EQ(200, Get(metricsPort_, "/health").status);
  EXPECT_EQ(0, service.Stop());
  EXPECT_EQ("", Errors());
  ::close(fd);
  EXPECT_EQ(-1, Get(metricsPort_, "/health").status);
}

TEST_F(MetricsTest, AnAddressThatCannotBeBoundEndsTheStartWithOneLine) {
  int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(holder, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, ::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address));
  ASSERT_EQ(0, ::listen(holder, 1));
  socklen_t length = sizeof address;
  ASSERT_EQ(0, ::getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length));
  const std::string endpoint = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  ChannelService::Options options;
  options.extraArguments = {"--metrics", endpoint};
  options.errorFile = folder_.File("stderr");
  ChannelService service(options);
  EXPECT_FALSE(service.Start());
  EXPECT_EQ(1, service.exit_status());
  EXPECT_EQ("kestrel-channeld: cannot serve metrics on " + endpoint +
                ": the address is already in use\n",
            Errors());
  ::close(holder);
}

TEST_F(MetricsTest, PersistentEventsAreLoggedTimedAndCountedAgainWhenACrashRestoresThem) {
  const std::string state = folder_.File("state");
  ChannelService service(WithMetrics({"--state-dir", state, "--event-reliability", "persistent"}));
  ASSERT_TRUE(service.Start());
  const std::string key = service.key();
  CosNotifyChannelAdmin::EventChannel_var channel = orb_.Channel(service.address());
  ConnectedConsumer consumer = ConnectConsumer(orb_, channel.in());
  ConnectedSupplier supplier = ConnectSupplier(orb_, channel.in());
  consumer.proxy->suspend_connection();
  PushEvents(supplier.proxy.in(), "s", 0, 20);
  Exposition page = Scrape();
  EXPECT_EQ(20, page.Count("kestrel_channeld_event_log_appends_total"));
  long long syncs = page.Count("kestrel_channeld_event_log_syncs_total");
  EXPECT_GE(syncs, 1);
  EXPECT_EQ(syncs, page.Count("kestrel_channeld_event_log_sync_seconds_count"));
  EXPECT_EQ(syncs, page.Count("kestrel_channeld_event_log_sync_seconds_bucket{le=\"+Inf\"}"));
  EXPECT_EQ(20, page.Count(Series("events_queued", key)));
  EXPECT_EQ(0, page.Count(Series("events_restored_total", key)));

  ASSERT_TRUE(service.Restart(SIGKILL));
  page = Scrape();
  EXPECT_EQ(20, page.Count(Series("events_restored_total", key)));
  EXPECT_EQ(0, page.Count(Series("events_not_restored_total", key)));
  EXPECT_EQ(20, page.Count(Series("events_queued", key)));
  EXPECT_EQ(0, page.Count(Series("events_received_total", key)));
  EXPECT_EQ(0, service.Stop());
}

TEST_F(MetricsTest, BestEffortEventsThatACrashLostAreCounted) {
  ChannelService service(WithMetrics({"--state-dir", folder_.File("state")}));
  ASSERT_TRUE(service.Start());
  const std::string key = service.key();
  CosNotifyChannelAdmin::EventChannel_var channel = orb_.Channel(service.address());
  ConnectedConsumer consumer = ConnectConsumer(orb_, channel.in());
  ConnectedSupplier supplier = ConnectSupplier(orb_, channel.in());
  consumer.proxy->suspend_connection();
  PushEvents(supplier.proxy.in(), "s", 0, 30);
  EXPECT_EQ(0, Scrape().Count("kestrel_channeld_event_log_appends_total"));
  ASSERT_TRUE(service.Restart(SIGKILL));
  Exposition page = Scrape();
  EXPECT_EQ(30, page.Count(Series("events_not_restored_total", key)));
  EXPECT_EQ(0, page.Count(Series("events_restored_total", key)));
  EXPECT_EQ(0, page.Count(Series("events_queued", key)));
  EXPECT_EQ(0, service.Stop());
}

}  // namespace
}  // namespace testing
}  // namespace kestrel
