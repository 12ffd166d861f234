// metrics_bench: what kestrel-channeld's metrics endpoint (--metrics) costs.
//
//   1. The delivery rate of a service that a scraper reads every 100 ms
//      against one that nobody reads (both with the endpoint), in
//      alternating rounds, so that both see the same machine: one supplier
//      pushing two-way, one consumer in a helper process. The scraper runs
//      during the scraped service's rounds only, so that serving it costs
//      the other nothing.
//   2. One scrape of a service with 10,000 connected consumers (4 helper
//      processes of 2,500 proxies each) that each had an event: the page's
//      size and how long it takes to get it, the median of 20 scrapes.
//
// Arguments (rate, size) run those parts only. The helper processes are
// this program run with --consumer-helper.

#include <COS/CosNotifyChannelAdmin.hh>
#include <COS/CosNotifyComm.hh>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/common/channel_helpers.h"
#include "bench/common/figures.h"
#include "bench/common/pipeline.h"
#include "tests/support/channel_service.h"

namespace {

using Clock = std::chrono::steady_clock;
using kestrel::bench::Helper;
using kestrel::bench::Median;
using kestrel::bench::Pipeline;
using kestrel::testing::ChannelService;
using kestrel::testing::UnusedPort;

// Rounds long enough for a few scrapes each.
constexpr long kBatch = 10000;
constexpr int kRounds = 10;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Enough descriptors for this process's side of the connections.
void RaiseOpenFileLimit() {
  rlimit files;
  if (::getrlimit(RLIMIT_NOFILE, &files) != 0) return;
  files.rlim_cur = files.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &files);
}

ChannelService::Options WithMetrics(int port) {
  ChannelService::Options options;
  options.extraArguments = {"--metrics", "127.0.0.1:" + std::to_string(port)};
  return options;
}

// The page's size in bytes, or -1 when there was none.
long ScrapeOnce(int port) {
  httplib::Client client("127.0.0.1", port);
  client.set_read_timeout(30, 0);
  httplib::Result result = client.Get("/metrics");
  return result && result->status == 200 ? static_cast<long>(result->body.size()) : -1;
}

// Reads the page every period on a thread of its own while it lives.
class Scraper {
 public:
  // Reads it at once, then every period.
  Scraper(int port, std::chrono::milliseconds period)
      : thread_([this, port, period] {
          Clock::time_point next = Clock::now();
          while (!stopping_) {
            if (ScrapeOnce(port) < 0) ++failed_;
            ++scrapes_;
            next += period;
            std::this_thread::sleep_until(next);
          }
        }) {}
  ~Scraper() {
    stopping_ = true;
    thread_.join();
  }
  long scrapes() const { return scrapes_; }
  long failed() const { return failed_; }

  Scraper(const Scraper&) = delete;
  Scraper& operator=(const Scraper&) = delete;

 private:
  std::atomic<bool> stopping_{false};
  std::atomic<long> scrapes_{0};
  std::atomic<long> failed_{0};
  std::thread thread_;
};

bool CompareScraped(CORBA::ORB_ptr orb) {
  int unreadPort = UnusedPort();
  int scrapedPort = UnusedPort();
  Pipeline unread{WithMetrics(unreadPort), kBatch};
  Pipeline scraped{WithMetrics(scrapedPort), kBatch};
  if (!unread.Start(orb, kBatch) || !scraped.Start(orb, kBatch)) return false;
  unread.Round();  // warm-up
  scraped.Round();
  unread.rounds.clear();
  scraped.rounds.clear();
  long scrapes = 0;
  long failed = 0;
  for (int round = 0; round < kRounds; ++round) {
    unread.Round();
    Scraper scraper(scrapedPort, std::chrono::milliseconds(100));
    scraped.Round();
    scrapes += scraper.scrapes();
    failed += scraper.failed();
  }
  std::printf("delivered events per second (median of %d rounds of %ld)\n", kRounds, kBatch);
  std::printf("  %-38s %10.0f\n", "nobody reads /metrics", Median(unread.rounds));
  std::printf("  %-38s %10.0f\n", "a scraper reads it every 100 ms", Median(scraped.rounds));
  double overallUnread = 0, overallScraped = 0;
  for (double rate : unread.rounds) overallUnread += rate / kRounds;
  for (double rate : scraped.rounds) overallScraped += rate / kRounds;
  kestrel::bench::PrintPairedRatio("scraped / not", overallScraped, overallUnread,
                                   scraped.rounds, unread.rounds);
  std::printf("  scrapes during the scraped rounds      %10ld  (%ld failed)\n", scrapes, failed);
  return static_cast<int>(unread.rounds.size()) == kRounds &&
         static_cast<int>(scraped.rounds.size()) == kRounds && failed == 0;
}

bool ScrapeOfTenThousandConsumers(CORBA::ORB_ptr orb) {
  constexpr int kHelpers = 4;
  constexpr long kConsumersEach = 2500;
  constexpr int kScrapes = 20;
  int port = UnusedPort();
  ChannelService service(WithMetrics(port));
  if (!service.Start()) return false;
  std::vector<std::unique_ptr<Helper>> consumers;
  for (int i = 0; i < kHelpers; ++i) consumers.emplace_back(new Helper);
  std::vector<std::thread> starting;
  std::vector<char> ready(kHelpers, 0);
  for (int i = 0; i < kHelpers; ++i) {
    starting.emplace_back([&, i] {
      ready[i] = consumers[i]->Start(kConsumersEach, service.address(), kConsumersEach, 300000);
    });
  }
  for (auto& thread : starting) thread.join();
  for (char one : ready) {
    if (!one) return false;
  }
  CORBA::Object_var object = orb->string_to_object(service.address().c_str());
  CosNotifyChannelAdmin::EventChannel_var channel =
      CosNotifyChannelAdmin::EventChannel::_narrow(object.in());
  CosNotifyChannelAdmin::SupplierAdmin_var admin = channel->default_supplier_admin();
  CosNotifyChannelAdmin::ProxyID id;
  CosNotifyChannelAdmin::ProxyConsumer_var any =
      admin->obtain_notification_push_consumer(CosNotifyChannelAdmin::STRUCTURED_EVENT, id);
  CosNotifyChannelAdmin::StructuredProxyPushConsumer_var proxy =
      CosNotifyChannelAdmin::StructuredProxyPushConsumer::_narrow(any.in());
  proxy->connect_structured_push_supplier(CosNotifyComm::StructuredPushSupplier::_nil());
  proxy->push_structured_event(kestrel::bench::BenchEvent());
  bool all = true;
  for (auto& consumer : consumers) all = consumer->WaitForCount(kConsumersEach, 60000) && all;
  std::vector<double> times;
  long size = -1;
  for (int i = 0; i < kScrapes; ++i) {
    Clock::time_point started = Clock::now();
    size = ScrapeOnce(port);
    if (size < 0) break;
    times.push_back(SecondsSince(started));
  }
  std::printf("\none scrape with 10,000 connected consumers (median of %d)\n", kScrapes);
  std::printf("  page size                              %10ld bytes\n", size);
  std::printf("  time to get it                         %10.2f ms (%.2f to %.2f)\n",
              1000 * Median(times), 1000 * kestrel::bench::Lowest(times),
              1000 * kestrel::bench::Highest(times));
  service.Stop();
  return all && static_cast<int>(times.size()) == kScrapes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "--consumer-helper") == 0) {
    return kestrel::bench::RunConsumerHelper(std::atol(argv[2]), argc >= 4 ? argv[3] : nullptr,
                                             argc >= 5 ? std::atol(argv[4]) : 1);
  }
  RaiseOpenFileLimit();
  CORBA::ORB_var orb = kestrel::bench::InitOrb();
  // metrics_bench [rate|size]...: those parts only.
  auto wanted = [argc, argv](const char* part) {
    if (argc < 2) return true;
    for (int i = 1; i < argc; ++i) {
      if (std::strcmp(argv[i], part) == 0) return true;
    }
    return false;
  };
  bool ok = false;
  try {
    ok = (!wanted("rate") || CompareScraped(orb.in())) &&
         (!wanted("size") || ScrapeOfTenThousandConsumers(orb.in()));
  } catch (const CORBA::Exception& e) {
    std::fprintf(stderr, "metrics_bench: %s\n", e._name());
  }
  orb->destroy();
  return ok ? 0 : 1;
}
