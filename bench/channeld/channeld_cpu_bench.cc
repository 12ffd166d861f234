// channeld_cpu_bench: kestrel-channeld's processor time per delivered event.
//
// A shape is S suppliers and C consumers on the default channel of a fresh
// service. Every supplier and every consumer is a process of its own, so
// that the service's user + system time (read from /proc) is its own work
// only. The suppliers (BarePublisher, Kestrel's event with a nil supplier
// reference) connect first, then push EVENTS events each, two-way, as fast
// as their pushes return, all starting at one signal. Each consumer (a bare
// CountingConsumer) must receive S * EVENTS. A round is timed from that
// signal until the last consumer has them all, and the service's processor
// time is read at both ends. That time comes in clock ticks (10 ms): rounds
// of a few seconds keep the error under 1 %.
//
//   channeld_cpu_bench [--rounds N] [--events N] [--shapes SxC[,SxC]...]
//
// Defaults: 3 rounds, 20000 events per supplier, shapes 1x1,1x10,4x1. The
// rounds take the shapes in turn, so that each shape sees the machine as the
// others do. Printed per shape, min-max over the rounds:
//   delivered/s    events delivered per second, each consumer's copy counted
//   us/event       the service's processor time per delivered event
//   lost           S * EVENTS * C less what the consumers received (exact:
//                  each is asked for its count after the round)
// Exit status: 0 when every round ran and lost nothing, 1 otherwise, 2 for a
// usage error.
//
// The helper processes are this program, run with --supplier-helper or
// --consumer-helper.

#include <COS/CosNotifyChannelAdmin.hh>
#include <COS/CosNotifyComm.hh>

#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/common/bare_publisher.h"
#include "bench/common/channel_helpers.h"
#include "bench/common/figures.h"
#include "bench/common/helper_process.h"
#include "bench/common/helper_signals.h"
#include "tests/support/channel_service.h"

namespace {

using Clock = std::chrono::steady_clock;
using kestrel::bench::CpuSecondsOf;
using kestrel::bench::Helper;
using kestrel::bench::DieWithParent;
using kestrel::bench::HelperProcess;
using kestrel::bench::ParseCount;
using kestrel::bench::StartSignal;
using kestrel::bench::Highest;
using kestrel::bench::Lowest;
using kestrel::testing::ChannelService;

constexpr const char* kUsage =
    "usage: channeld_cpu_bench [--rounds N] [--events N] [--shapes SxC[,SxC]...]\n"
    "  --rounds N    times each shape is run (default 3)\n"
    "  --events N    events that each supplier pushes per round (default 20000)\n"
    "  --shapes L    suppliers x consumers, comma-separated (default 1x1,1x10,4x1)\n";

// After the last push, what is still queued arrives at the consumers' pace;
// a round ends when every consumer has every event, or when their counts
// have not grown for this long (events were lost).
constexpr auto kQuiet = std::chrono::seconds(3);

struct Shape {
  int suppliers = 0;
  int consumers = 0;
  std::string name() const {
    return std::to_string(suppliers) + (suppliers == 1 ? " supplier -> " : " suppliers -> ") +
           std::to_string(consumers) + (consumers == 1 ? " consumer" : " consumers");
  }
};

struct Options {
  int rounds = 3;
  long events = 20000;
  std::vector<Shape> shapes;
};

struct Round {
  double perSecond = 0;        // deliveries per second
  double microsPerEvent = 0;   // the service's processor time per delivery
  long lost = 0;
  double seconds = 0;
  double cpuSeconds = 0;
};

// --supplier-helper CHANNEL EVENTS: connects, prints "ready", waits for
// SIGUSR1, pushes EVENTS events, prints EVENTS, and waits to be killed; its
// proxy stays connected meanwhile, so that the round is only pushes and
// deliveries.
int RunSupplierHelper(const char* channelAddress, long events) {
  sigset_t start = StartSignal();
  // Before the ORB's threads exist, so that they inherit the mask.
  pthread_sigmask(SIG_BLOCK, &start, nullptr);
  int argc = 0;
  CORBA::ORB_var orb = CORBA::ORB_init(argc, nullptr);
  try {
    CORBA::Object_var object = orb->string_to_object(channelAddress);
    CosNotifyChannelAdmin::EventChannel_var channel =
        CosNotifyChannelAdmin::EventChannel::_narrow(object.in());
    if (CORBA::is_nil(channel.in())) {
      std::fprintf(stderr, "supplier helper: %s is no event channel\n", channelAddress);
      return 1;
    }
    kestrel::bench::BarePublisher publisher("channeld_cpu_bench");
    publisher.Connect(channel.in(), 0);
    std::printf("ready\n");
    std::fflush(stdout);
    int signal = 0;
    sigwait(&start, &signal);
    if (events > 0) publisher.Push(2, 0x1001, "disk /var is 92% full, as Kestrel events say it");
    for (long i = 1; i < events; ++i) publisher.PushAgain();
    std::printf("%ld\n", events);
    std::fflush(stdout);
  } catch (const CORBA::Exception& e) {
    std::fprintf(stderr, "supplier helper: %s\n", e._name());
    return 1;
  }
  for (;;) ::pause();
}

// Runs one shape on a fresh service; false when it could not be run (a
// process that did not start or a supplier that failed).
bool RunRound(const Shape& shape, long events, Round* round) {
  ChannelService service;
  if (!service.Start()) {
    std::fprintf(stderr, "channeld_cpu_bench: kestrel-channeld did not start (%s)\n",
                 ChannelService::ProgramPath().c_str());
    return false;
  }
  const long perConsumer = events * shape.suppliers;
  // Killed as they go: after the service has stopped when the round ran, so
  // that its goodbyes to the consumers are answered.
  std::vector<std::unique_ptr<Helper>> consumers;
  for (int i = 0; i < shape.consumers; ++i) {
    consumers.emplace_back(new Helper);
    // One report, when the last event of the round has arrived.
    if (!consumers.back()->Start(perConsumer, service.address())) {
      std::fprintf(stderr, "channeld_cpu_bench: a consumer did not start\n");
      return false;
    }
  }
  std::vector<std::unique_ptr<HelperProcess>> suppliers;
  for (int i = 0; i < shape.suppliers; ++i) {
    suppliers.emplace_back(new HelperProcess);
    std::string ready;
    if (!suppliers.back()->Start({"/proc/self/exe", "--supplier-helper", service.address(),
                                  std::to_string(events)},
                                 &ready) ||
        ready != "ready") {
      std::fprintf(stderr, "channeld_cpu_bench: a supplier did not connect\n");
      return false;
    }
  }

  const double cpuBefore = CpuSecondsOf(service.pid());
  const Clock::time_point started = Clock::now();
  for (auto& supplier : suppliers) ::kill(supplier->pid(), SIGUSR1);
  // A fail-safe only: as long as it would take at 500 deliveries a second.
  const long deliveries = perConsumer * shape.consumers;
  const int patienceMs = static_cast<int>(std::min(30000L + deliveries * 2, 3600000L));
  for (auto& supplier : suppliers) {
    if (!supplier->WaitForCount(events, patienceMs)) {
      std::fprintf(stderr, "channeld_cpu_bench: a supplier did not push all its events\n");
      return false;
    }
  }
  // Waits while the counts grow; the round's time is up to the last growth.
  long received = -1;
  Clock::time_point lastGrowth = Clock::now();
  for (;;) {
    long sum = 0;
    bool everyOne = true;
    for (auto& consumer : consumers) {
      if (consumer->WaitForCount(perConsumer, 100)) {
        sum += perConsumer;
        continue;
      }
      everyOne = false;
      long count = consumer->CountNow(5000);
      if (count < 0) {
        std::fprintf(stderr, "channeld_cpu_bench: a consumer did not say what it received\n");
        return false;
      }
      sum += count;
    }
    if (sum != received) lastGrowth = Clock::now();
    received = sum;
    if (everyOne || Clock::now() - lastGrowth >= kQuiet) break;
  }
  const double seconds = std::chrono::duration<double>(lastGrowth - started).count();
  const double cpuSeconds = CpuSecondsOf(service.pid()) - cpuBefore;

  // Exact counts: a retried push may have reached a consumer twice, which
  // must not hide an event lost elsewhere.
  received = 0;
  long lost = 0;
  for (auto& consumer : consumers) {
    long count = consumer->CountNow(5000);
    if (count < 0) {
      std::fprintf(stderr, "channeld_cpu_bench: a consumer did not say what it received\n");
      return false;
    }
    received += std::min(count, perConsumer);
    lost += std::max(0L, perConsumer - count);
  }
  service.Stop();

  round->seconds = seconds;
  round->cpuSeconds = cpuSeconds;
  round->lost = lost;
  round->perSecond = seconds > 0 ? received / seconds : 0;
  round->microsPerEvent = received > 0 ? cpuSeconds * 1e6 / received : 0;
  return true;
}

// "12345" when low and high print alike, else "12345-13456".
std::string Span(double low, double high, int decimals) {
  char lowText[32];
  char highText[32];
  std::snprintf(lowText, sizeof lowText, "%.*f", decimals, low);
  std::snprintf(highText, sizeof highText, "%.*f", decimals, high);
  return std::strcmp(lowText, highText) == 0 ? lowText
                                             : std::string(lowText) + "-" + highText;
}

bool ParseShapes(const std::string& text, std::vector<Shape>* shapes) {
  shapes->clear();
  std::size_t begin = 0;
  while (begin <= text.size()) {
    std::size_t comma = text.find(',', begin);
    std::string one = text.substr(begin, comma == std::string::npos ? std::string::npos
                                                                     : comma - begin);
    std::size_t x = one.find('x');
    long suppliers = 0;
    long consumers = 0;
    if (x == std::string::npos || !ParseCount(one.substr(0, x).c_str(), 1, 100, &suppliers) ||
        !ParseCount(one.substr(x + 1).c_str(), 1, 100, &consumers)) {
      return false;
    }
    shapes->push_back({static_cast<int>(suppliers), static_cast<int>(consumers)});
    if (comma == std::string::npos) break;
    begin = comma + 1;
  }
  return !shapes->empty();
}

bool ParseOptions(int argc, char** argv, Options* options) {
  if (!ParseShapes("1x1,1x10,4x1", &options->shapes)) return false;
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    if (i + 1 >= argc) return false;
    const char* value = argv[++i];
    long number = 0;
    if (name == "--rounds" && ParseCount(value, 1, 1000, &number)) {
      options->rounds = static_cast<int>(number);
    } else if (name == "--events" && ParseCount(value, 1, 100000000, &number)) {
      options->events = number;
    } else if (name != "--shapes" || !ParseShapes(value, &options->shapes)) {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--supplier-helper") == 0) {
    if (!DieWithParent()) return 1;
    return RunSupplierHelper(argv[2], std::atol(argv[3]));
  }
  if (argc >= 3 && std::strcmp(argv[1], "--consumer-helper") == 0) {
    if (!DieWithParent()) return 1;
    return kestrel::bench::RunConsumerHelper(std::atol(argv[2]), argc >= 4 ? argv[3] : nullptr);
  }
  Options options;
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::printf("%s", kUsage);
    return 0;
  }
  if (!ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr, "%s", kUsage);
    return 2;
  }
  // Inherited by every helper: each listens on loopback only. The service
  // sets its own endpoint from --listen.
  ::setenv("ORBendPoint", "giop:tcp:127.0.0.1:", 1);

  std::vector<std::vector<Round>> results(options.shapes.size());
  bool ok = true;
  for (int r = 0; r < options.rounds; ++r) {
    for (std::size_t s = 0; s < options.shapes.size(); ++s) {
      const Shape& shape = options.shapes[s];
      Round round;
      if (!RunRound(shape, options.events, &round)) {
        std::fprintf(stderr, "channeld_cpu_bench: %s, round %d did not run\n",
                     shape.name().c_str(), r + 1);
        ok = false;
        continue;
      }
      ok = ok && round.lost == 0;
      std::printf("round %d  %-26s %9.0f delivered/s  %7.2f us/event  %ld lost"
                  "  (service %.2f s CPU in %.2f s)\n",
                  r + 1, shape.name().c_str(), round.perSecond, round.microsPerEvent, round.lost,
                  round.cpuSeconds, round.seconds);
      std::fflush(stdout);
      results[s].push_back(round);
    }
  }

  std::printf("\nkestrel-channeld, processor time (user + system) per delivered event\n");
  std::printf("%d round%s of %ld events per supplier; min-max over the rounds\n\n",
              options.rounds, options.rounds == 1 ? "" : "s", options.events);
  std::printf("%-26s %20s %16s %10s\n", "shape", "delivered/s", "us/event", "lost");
  for (std::size_t s = 0; s < options.shapes.size(); ++s) {
    std::vector<double> rates;
    std::vector<double> micros;
    std::vector<double> lost;
    for (const Round& round : results[s]) {
      rates.push_back(round.perSecond);
      micros.push_back(round.microsPerEvent);
      lost.push_back(static_cast<double>(round.lost));
    }
    if (rates.empty()) {
      std::printf("%-26s %20s\n", options.shapes[s].name().c_str(), "did not run");
      continue;
    }
    std::printf("%-26s %20s %16s %10s\n", options.shapes[s].name().c_str(),
                Span(Lowest(rates), Highest(rates), 0).c_str(),
                Span(Lowest(micros), Highest(micros), 1).c_str(),
                Span(Lowest(lost), Highest(lost), 0).c_str());
  }
  return ok ? 0 : 1;
}
