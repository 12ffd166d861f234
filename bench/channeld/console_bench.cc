// console_bench: what the live console (--console) costs kestrel-channeld's
// deliveries while a page watches, and while a page has stopped reading.
//
// Three services, all with --metrics and --console, take turns round by
// round, so that all see the same machine: one supplier pushing Kestrel
// records two-way, one consumer in a helper process (this program run with
// --consumer-helper), as metrics_bench does.
//
//   no page        nobody asks for /console/tail
//   page           a page reads /console/tail as fast as it comes, on a
//                  thread of its own, for the whole run
//   stalled page   a page that sent its request for /console/tail and then
//                  never reads, opened anew for each round and filled up
//                  (untimed) before it: the kernel takes megabytes of lines
//                  for it first, a whole round's, during which it costs
//                  what a reading page costs
//
// Printed: each service's delivered rate and processor time per event, the
// page's and the stalled page's rate against none (goal: at least 95 %), the
// lines that the page received and those that the tail told it were
// dropped, and whether the stalled page was still watching at each round's
// end (the service gives up on a page whose socket stays full too long).

#include <COS/CosNotifyChannelAdmin.hh>
#include <COS/CosNotifyComm.hh>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench/common/channel_helpers.h"
#include "bench/common/figures.h"
#include "bench/common/pipeline.h"
#include "channel/event_record.h"
#include "kestrel.hh"
#include "tests/support/channel_service.h"

namespace {

using Clock = std::chrono::steady_clock;
using kestrel::bench::Median;
using kestrel::bench::Pipeline;
using kestrel::testing::ChannelService;
using kestrel::testing::UnusedPort;

constexpr long kBatch = 10000;
constexpr int kRounds = 10;
constexpr char kDescription[] = "disk /var is 97% full";

ChannelService::Options WithConsole(int port) {
  ChannelService::Options options;
  options.extraArguments = {"--metrics", "127.0.0.1:" + std::to_string(port), "--console"};
  return options;
}

// What the page shows: a record with every field filled in, so that the
// tail does all the work of a real notification's line.
CosNotification::StructuredEvent KestrelEvent() {
  CosNotification::StructuredEvent event;
  event.header.fixed_header.event_type.domain_name = "TNW";
  event.header.fixed_header.event_type.type_name = "Event";
  event.header.fixed_header.event_name = "SystemEvent";
  Kestrel::EventData record{};
  kestrel::SetRecordText(record.mModule, "disk");
  kestrel::SetRecordText(record.mHost, "bench-host");
  record.mSeverity = 3;
  record.mMessageCode = 0x1001;
  kestrel::SetRecordText(record.mDescription, kDescription);
  kestrel::InsertRecord(event.remainder_of_body, record);
  return event;
}

// Pipeline::Round with this event instead of BenchEvent; adds the
// service's processor time to *cpuSeconds.
void Round(Pipeline* pipeline, const CosNotification::StructuredEvent& event, double* cpuSeconds) {
  const double cpuBefore = kestrel::bench::CpuSecondsOf(pipeline->service.pid());
  Clock::time_point started = Clock::now();
  for (long i = 0; i < pipeline->batch; ++i) pipeline->proxy->push_structured_event(event);
  pipeline->pushed += pipeline->batch;
  if (!pipeline->consumer.WaitForCount(pipeline->pushed, 20000)) return;
  *cpuSeconds += kestrel::bench::CpuSecondsOf(pipeline->service.pid()) - cpuBefore;
  pipeline->rounds.push_back(pipeline->batch /
                             std::chrono::duration<double>(Clock::now() - started).count());
}

// A page that reads its tail as it comes, on a thread of its own, and
// counts the notifications' lines and the drops that the tail tells it of.
class Page {
 public:
  explicit Page(int port) : client_("127.0.0.1", port) {
    // The tail's keep-alives come every few seconds; stop() ends the read.
    client_.set_read_timeout(3600, 0);
    thread_ = std::thread([this] {
      client_.Get("/console/tail", [this](const char* data, std::size_t length) {
        Take(data, length);
        return !stopping_;
      });
      ended_ = true;
    });
  }
  ~Page() {
    stopping_ = true;
    client_.stop();
    thread_.join();
  }

  // Until the tail's first line, after which every accepted event is ours.
  bool WaitUntilWatching(int timeoutMs) {
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!watching_ && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return watching_;
  }
  // Until lines and drops account for count events, or nothing came for a
  // while (drops are told only before the next line).
  bool WaitForAccounted(long count, int timeoutMs) {
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    long seen = -1;
    Clock::time_point changed = Clock::now();
    while (lines_ + dropped_ < count && Clock::now() < deadline && !ended_) {
      if (bytes_ != seen) {
        seen = bytes_;
        changed = Clock::now();
      } else if (Clock::now() - changed > std::chrono::milliseconds(500)) {
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return lines_ + dropped_ >= count;
  }
  long lines() const { return lines_; }
  long dropped() const { return dropped_; }
  long strange() const { return strange_; }

  Page(const Page&) = delete;
  Page& operator=(const Page&) = delete;

 private:
  void Take(const char* data, std::size_t length) {
    pending_.append(data, length);
    std::size_t start = 0;
    for (std::size_t end; (end = pending_.find('\n', start)) != std::string::npos;) {
      Line(pending_.substr(start, end - start));
      start = end + 1;
    }
    pending_.erase(0, start);
    bytes_ += static_cast<long>(length);
  }

  // An event's lines end with an empty one; a drop's data follows its name.
  void Line(const std::string& line) {
    static const std::string kShown = std::string("\"description\":\"") + kDescription + "\"}";
    if (line.empty()) {
      droppedEvent_ = false;
    } else if (line[0] == ':') {
      watching_ = true;
    } else if (line == "event: dropped") {
      droppedEvent_ = true;
    } else if (droppedEvent_ && line.compare(0, 17, "data: {\"dropped\":") == 0) {
      dropped_ = std::atol(line.c_str() + 17);
    } else if (!droppedEvent_ && line.compare(0, 6, "data: ") == 0) {
      strange_ += line.find(kShown) == std::string::npos;
      ++lines_;
    } else {
      ++strange_;
    }
  }

  httplib::Client client_;
  std::string pending_;  // the reader thread's only
  bool droppedEvent_ = false;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> ended_{false};
  std::atomic<bool> watching_{false};
  std::atomic<long> bytes_{0};
  std::atomic<long> lines_{0};
  std::atomic<long> dropped_{0};
  std::atomic<long> strange_{0};
  std::thread thread_;
};

// A page that asked for the tail and then stopped reading: a browser tab
// frozen in the background, or a peer gone without closing.
class StalledPage {
 public:
  explicit StalledPage(int port)
      : socket_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)), servicePort_(port) {
    if (socket_ < 0) return;
    // As little as this side may take: the stall is the service's to hold.
    int small = 4096;
    ::setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string request = "GET /console/tail HTTP/1.1\r\nHost: 127.0.0.1:" +
                                std::to_string(port) + "\r\nAccept: text/event-stream\r\n\r\n";
    sent_ = ::connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::send(socket_, request.data(), request.size(), MSG_NOSIGNAL) ==
                static_cast<ssize_t>(request.size());
    socklen_t length = sizeof address;
    if (sent_ && ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      ownPort_ = ntohs(address.sin_port);
    }
  }
  ~StalledPage() {
    if (socket_ >= 0) ::close(socket_);
  }
  bool sent() const { return sent_; }

  // The bytes that the service's end of this connection holds unsent, from
  // /proc/net/tcp; -1 when it is not there.
  long ServiceUnsent() const {
    std::FILE* table = std::fopen("/proc/net/tcp", "r");
    if (table == nullptr) return -1;
    char line[512];
    long unsent = -1;
    while (std::fgets(line, sizeof line, table) != nullptr) {
      unsigned local = 0, remote = 0;
      unsigned long queued = 0;
      if (std::sscanf(line, " %*d: %*x:%x %*x:%x %*x %lx:", &local, &remote, &queued) == 3 &&
          local == static_cast<unsigned>(servicePort_) && remote == ownPort_) {
        unsent = static_cast<long>(queued);
      }
    }
    std::fclose(table);
    return unsent;
  }

  StalledPage(const StalledPage&) = delete;
  StalledPage& operator=(const StalledPage&) = delete;

 private:
  int socket_;
  int servicePort_;
  unsigned ownPort_ = 0;
  bool sent_ = false;
};

// Pushes, untimed, until the service's socket to the stalled page takes no
// more (the kernel buffers megabytes first, a whole round's lines), then
// enough for the page's queue in the tail to fill: the round then meets a
// page whose stream waits on it, and whose lines are all dropped. The
// service's unsent bytes; -1 when they never stopped growing.
long Stall(Pipeline* pipeline, const StalledPage& page,
           const CosNotification::StructuredEvent& event) {
  constexpr long kStep = 1000;  // more than the tail's queue of a page
  long before = -1;
  int unchanged = 0;
  // Whole batches: the consumer reports its count at each batch's end.
  for (int step = 0; step < 200 && (unchanged < 2 || pipeline->pushed % pipeline->batch != 0);
       ++step) {
    for (long i = 0; i < kStep; ++i) pipeline->proxy->push_structured_event(event);
    pipeline->pushed += kStep;
    long unsent = page.ServiceUnsent();
    unchanged = unsent > 0 && unsent == before ? unchanged + 1 : 0;
    before = unsent;
  }
  if (unchanged < 2 || !pipeline->consumer.WaitForCount(pipeline->pushed, 20000)) return -1;
  return before;
}

// The pages watching the service's tail, as /console/state says; -1 when
// it did not answer.
long Viewers(int port) {
  httplib::Client client("127.0.0.1", port);
  client.set_read_timeout(10, 0);
  httplib::Result state = client.Get("/console/state");
  if (!state || state->status != 200) return -1;
  std::size_t at = state->body.find("\"viewers\":");
  return at == std::string::npos ? -1 : std::atol(state->body.c_str() + at + 10);
}

// Until the service counts viewers pages, for at most fifteen seconds.
bool WaitForViewers(int port, long viewers) {
  Clock::time_point deadline = Clock::now() + std::chrono::seconds(15);
  while (Viewers(port) != viewers) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

bool CompareWatched(CORBA::ORB_ptr orb) {
  const int unwatchedPort = UnusedPort();
  const int watchedPort = UnusedPort();
  const int stalledPort = UnusedPort();
  Pipeline unwatched{WithConsole(unwatchedPort), kBatch};
  Pipeline watched{WithConsole(watchedPort), kBatch};
  Pipeline stalled{WithConsole(stalledPort), kBatch};
  if (!unwatched.Start(orb, kBatch) || !watched.Start(orb, kBatch) ||
      !stalled.Start(orb, kBatch)) {
    return false;
  }
  const CosNotification::StructuredEvent event = KestrelEvent();
  Page page(watchedPort);
  if (!page.WaitUntilWatching(10000)) {
    std::fprintf(stderr, "console_bench: the page got no answer from /console/tail\n");
    return false;
  }
  double cpu[3] = {0, 0, 0};  // each service's, over its rounds
  Round(&unwatched, event, &cpu[0]);  // warm-up
  Round(&watched, event, &cpu[1]);
  Round(&stalled, event, &cpu[2]);
  cpu[0] = cpu[1] = cpu[2] = 0;
  unwatched.rounds.clear();
  watched.rounds.clear();
  stalled.rounds.clear();
  int stillStalled = 0;
  bool stallsHeld = true;
  std::vector<double> stalledBytes;
  for (int round = 0; round < kRounds; ++round) {
    Round(&unwatched, event, &cpu[0]);
    Round(&watched, event, &cpu[1]);
    // What the page has yet to read must not be read in the next service's round.
    page.WaitForAccounted(watched.pushed, 10000);
    // The last round's stall is closed, but the service notices only when
    // it next writes to it: the new one must be the only one.
    stallsHeld = WaitForViewers(stalledPort, 0) && stallsHeld;
    StalledPage stall(stalledPort);
    stallsHeld = stall.sent() && WaitForViewers(stalledPort, 1) && stallsHeld;
    long unsent = Stall(&stalled, stall, event);
    stallsHeld = unsent > 0 && stallsHeld;
    stalledBytes.push_back(static_cast<double>(unsent));
    Round(&stalled, event, &cpu[2]);
    // The service gives up on a page whose socket stays full for long.
    stillStalled += Viewers(stalledPort) == 1;
  }
  // One event more, before which the tail tells the page of any drop that
  // the last lines did not.
  watched.proxy->push_structured_event(event);
  ++watched.pushed;
  bool accounted = page.WaitForAccounted(watched.pushed, 10000);

  std::printf("delivered events per second (median of %d rounds of %ld), all with --console\n",
              kRounds, kBatch);
  std::printf("  %-40s %10.0f\n", "no page open", Median(unwatched.rounds));
  std::printf("  %-40s %10.0f\n", "a page reads /console/tail", Median(watched.rounds));
  std::printf("  %-40s %10.0f\n", "a page stopped reading it", Median(stalled.rounds));
  std::printf("  %-40s %4.0f / %.0f / %.0f us\n", "channeld's CPU per event in its rounds",
              1e6 * cpu[0] / (kRounds * kBatch), 1e6 * cpu[1] / (kRounds * kBatch),
              1e6 * cpu[2] / (kRounds * kBatch));
  auto overall = [](const Pipeline& pipeline) {
    double sum = 0;
    for (double rate : pipeline.rounds) sum += rate / kRounds;
    return sum;
  };
  std::printf("against no page (goal: at least 95 %%)\n");
  kestrel::bench::PrintPairedRatio("  page open", overall(watched), overall(unwatched),
                                   watched.rounds, unwatched.rounds);
  kestrel::bench::PrintPairedRatio("  stalled page", overall(stalled), overall(unwatched),
                                   stalled.rounds, unwatched.rounds);
  std::printf("the page, over %ld accepted events (warm-up included)\n", watched.pushed);
  std::printf("  %-40s %10ld\n", "lines received", page.lines());
  std::printf("  %-40s %10ld\n", "lines dropped, as the tail told it", page.dropped());
  std::printf("  %-40s %10ld\n", "unaccounted for",
              watched.pushed - page.lines() - page.dropped());
  if (page.strange() > 0) std::printf("  %-40s %10ld\n", "lines not understood", page.strange());
  std::printf("the stalled page: %.0f kB unsent in the service's socket before each round "
              "(median); still watching at the end of %d of %d rounds%s\n",
              Median(stalledBytes) / 1024, stillStalled, kRounds,
              stallsHeld ? "" : "\n  (a stalled page was not watching, or never filled up)");
  return static_cast<int>(unwatched.rounds.size()) == kRounds &&
         static_cast<int>(watched.rounds.size()) == kRounds &&
         static_cast<int>(stalled.rounds.size()) == kRounds && accounted && stallsHeld &&
         page.strange() == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "--consumer-helper") == 0) {
    return kestrel::bench::RunConsumerHelper(std::atol(argv[2]), argc >= 4 ? argv[3] : nullptr,
                                             argc >= 5 ? std::atol(argv[4]) : 1);
  }
  // This process's servants, and its helpers' and services', on the loopback only.
  ::setenv("ORBendPoint", "giop:tcp:127.0.0.1:", 1);
  CORBA::ORB_var orb = kestrel::bench::InitOrb();
  bool ok = false;
  try {
    ok = CompareWatched(orb.in());
  } catch (const CORBA::Exception& e) {
    std::fprintf(stderr, "console_bench: %s\n", e._name());
  }
  orb->destroy();
  return ok ? 0 : 1;
}
