// tls_bench: what IIOP over TLS costs Kestrel's deliveries through
// kestrel-channeld, against plain IIOP, measured in one run.
//
// Two services run side by side: one plain, one started with --tls-cert,
// --tls-key and --tls-ca (certificates of a throwaway authority that openssl
// makes for the run). Each has one helper process (this program, run with
// --pair-helper) holding one Kestrel supplier and one Kestrel consumer, made
// by libkestrel.so as any client makes them: registered with kestrel-regsvr
// in a registry of the run's own, created through it, given a
// tools::ChannelSettings (offering ITlsSettings for the TLS helper). The
// process's ORB, and with it plain or TLS, is fixed when the library first
// makes it, so each kind needs a process of its own; keeping supplier and
// consumer together leaves one client process per kind, as consumer_bench
// does in its one process.
//
// A round: the helper publishes --events notifications (Publish, two-way)
// and times them until its sink has every one. The two kinds take turns
// round by round, each going first in every other round, so that both see
// the same machine. Printed per kind: the delivered rate (median and range
// over the rounds), the time per event at the median rate, and the
// processor time per event of the client process and of the service; then
// TLS against plain, the median of the paired rounds' ratios and their
// range (goal: at least 80 %), and the two kinds' processor time per event
// against each other: on a machine whose processors the client and the
// service keep busy (two cores do), the rates follow it.
//
// Then a new connection's price: a helper (--connect-helper) makes an ORB
// exactly as the library's broker is made (TranslateBrokerArguments and
// BrokerTable, with the same TLS files), and for each sample asks omniORB
// for a reference of the channel restricted to a connection of its own
// (omniConnectionMgmt, a new connection id each time), so that its first
// call must connect: TCP, and for TLS the whole handshake with both
// certificates, then the request and its reply. A second call on the same
// reference shows what the call costs on an open connection. omniORB's
// client offers no session to resume, so every TLS sample is a full
// handshake. Many samples in one process avoid counting a process's start,
// which a fresh process per sample would; the process's first connection
// pays for code paged in and libraries' lazy set-up, and is not counted.
// The service's descriptors must grow by one per sample, or the samples
// shared a connection and the figures would be wrong: the bench fails then.
// The helpers run in batches, the kinds taking turns.
//
//   tls_bench [--rounds N] [--events N] [--connections N] [--batches N]
//
// Exit status: 0 when every round and batch ran, 1 otherwise, 2 for a usage
// error.

#include <omniORB4/CORBA.h>
#include <omniORB4/omniConnectionMgmt.h>

#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "bench/common/figures.h"
#include "bench/common/helper_signals.h"
#include "kestrel/kestrel.h"
#include "orb/broker_table.h"
#include "orb/tls_context.h"
#include "tests/channeld/child_process.h"
#include "tests/support/channel_service.h"
#include "tests/tools/test_authorities.h"
#include "tools/common/channel_address.h"
#include "tools/common/channel_settings.h"
#include "tools/common/component_loader.h"

namespace {

using Clock = std::chrono::steady_clock;
using kestrel::bench::CpuSecondsOf;
using kestrel::bench::DieWithParent;
using kestrel::bench::Highest;
using kestrel::bench::Lowest;
using kestrel::bench::Median;
using kestrel::bench::OpenFilesOf;
using kestrel::bench::ParseCount;
using kestrel::bench::StartSignal;
using kestrel::testing::ChannelService;
using kestrel::testing::ChildProcess;
using kestrel::testing::ProgramResult;
using kestrel::testing::RunProgram;

constexpr const char* kPairHelper = "--pair-helper";
constexpr const char* kConnectHelper = "--connect-helper";
constexpr const char* kModule = "tls_bench";
constexpr const char* kDescription = "A description of about the length that Kestrel events carry.";
// Before the first timed round: connections, threads and buffers settle.
constexpr long kWarmUpEvents = 2000;
// How long a helper may take to connect, and a round or batch to end.
constexpr int kReadyTimeoutMs = 30000;
constexpr int kRoundTimeoutMs = 120000;

constexpr const char* kUsage =
    "usage: tls_bench [--rounds N] [--events N] [--connections N] [--batches N]\n"
    "  --rounds N       rounds of each kind for the delivery rate (default 25)\n"
    "  --events N       notifications per round (default 5000)\n"
    "  --connections N  new connections per batch (default 40)\n"
    "  --batches N      batches of each kind for the connection cost (default 5)\n";

struct Options {
  long rounds = 25;
  long events = 5000;
  long connections = 40;
  long batches = 5;
};

// ---- --pair-helper ADDRESS EVENTS [CERT KEY CA] ----------------------------

// Counts what the consumer hands over, for a waiter that needs a total.
class CountingSink final : public INotificationSink {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(const IID& riid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_INotificationSink)) {
      *out = static_cast<INotificationSink*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override { return --references_; }

  HRESULT STDMETHODCALLTYPE OnEvent(const char* module, const char*, uint32_t, uint32_t,
                                    const char*) override {
    // Only this run's notifications count: anything else on the channel
    // would make a round look faster than it was.
    if (module == nullptr || std::strcmp(module, kModule) != 0) return S_OK;
    long count = ++count_;
    if (count >= target_.load()) {
      std::lock_guard<std::mutex> lock(mutex_);
      arrived_.notify_all();
    }
    return S_OK;
  }

  bool WaitFor(long total, int timeoutMs) {
    target_.store(total);
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return count_.load() >= total; });
  }

 private:
  std::atomic<uint32_t> references_{1};
  std::atomic<long> count_{0};
  std::atomic<long> target_{0};
  std::mutex mutex_;
  std::condition_variable arrived_;
};

bool Publish(INotificationSupplier* supplier, long events) {
  for (long i = 0; i < events; ++i) {
    HRESULT hr = supplier->Publish(static_cast<uint32_t>(i % 8), static_cast<uint32_t>(i),
                                   kDescription);
    if (hr != S_OK) {
      std::fprintf(stderr, "tls_bench pair helper: Publish answered %s\n",
                   kestrel::tools::DescribeResult(hr).c_str());
      return false;
    }
  }
  return true;
}

// Connects a consumer and a supplier to the channel, warms them up, prints
// "ready"; then per SIGUSR1 publishes EVENTS notifications and prints the
// seconds until the sink had them all. Runs until killed.
int RunPairHelper(int argc, char** argv) {
  sigset_t start = StartSignal();
  // Before the library makes the ORB's threads, which inherit the mask.
  pthread_sigmask(SIG_BLOCK, &start, nullptr);
  kestrel::tools::ChannelAddress channel;
  std::string error;
  long events = 0;
  if (!kestrel::tools::ParseChannelAddress(argv[0], &channel, &error) ||
      !ParseCount(argv[1], 1, 100000000, &events) || channel.tls != (argc == 5)) {
    std::fprintf(stderr, "tls_bench pair helper: bad arguments %s\n", error.c_str());
    return 2;
  }
  if (channel.tls) {
    channel.certificateFile = argv[2];
    channel.keyFile = argv[3];
    channel.authorityFile = argv[4];
  }
  INotificationConsumer* consumer = nullptr;
  INotificationSupplier* supplier = nullptr;
  HRESULT hr = kestrel::tools::CreateComponent(CLSID_NotificationConsumer,
                                               IID_INotificationConsumer,
                                               reinterpret_cast<void**>(&consumer));
  if (hr == S_OK) {
    hr = kestrel::tools::CreateComponent(CLSID_NotificationSupplier, IID_INotificationSupplier,
                                         reinterpret_cast<void**>(&supplier));
  }
  if (hr != S_OK) {
    std::fprintf(stderr, "tls_bench pair helper: creating the objects: %s\n",
                 kestrel::tools::DescribeResult(hr).c_str());
    return 1;
  }
  // Never freed: the library's threads may call it until the process is gone.
  CountingSink& sink = *new CountingSink;
  hr = consumer->Connect(new kestrel::tools::ChannelSettings(channel, &sink), 1);
  if (hr != S_OK) {
    std::fprintf(stderr, "tls_bench pair helper: Connect: %s\n",
                 kestrel::tools::DescribeResult(hr).c_str());
    return 1;
  }
  hr = supplier->Initialize(new kestrel::tools::ChannelSettings(channel), kModule);
  if (hr != S_OK) {
    std::fprintf(stderr, "tls_bench pair helper: Initialize: %s\n",
                 kestrel::tools::DescribeResult(hr).c_str());
    return 1;
  }
  long total = kWarmUpEvents;
  if (!Publish(supplier, kWarmUpEvents) || !sink.WaitFor(total, kRoundTimeoutMs)) {
    std::fprintf(stderr, "tls_bench pair helper: the warm-up did not arrive\n");
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  for (;;) {
    int signal = 0;
    if (sigwait(&start, &signal) != 0) return 1;
    const Clock::time_point started = Clock::now();
    total += events;
    if (!Publish(supplier, events)) return 1;
    if (!sink.WaitFor(total, kRoundTimeoutMs)) {
      std::fprintf(stderr, "tls_bench pair helper: a round's notifications did not all arrive\n");
      return 1;
    }
    std::printf("%.6f\n", std::chrono::duration<double>(Clock::now() - started).count());
    std::fflush(stdout);
  }
}

// ---- --connect-helper ADDRESS SAMPLES [CERT KEY CA] ------------------------

// Prints one line per sample, "FIRST_US OPEN_US": the first call on a new
// connection and a second call on it; then "done", and waits to be killed
// with every connection still open, so that the bench can count them.
int RunConnectHelper(int argc, char** argv) {
  long samples = 0;
  if (!ParseCount(argv[1], 1, 10000, &samples)) return 2;
  kestrel::TlsFiles tls;
  if (argc == 5) {
    tls.certificate = argv[2];
    tls.key = argv[3];
    tls.authority = argv[4];
    std::string problem = kestrel::CheckTlsFiles(tls);
    if (!problem.empty()) {
      std::fprintf(stderr, "tls_bench connect helper: %s\n", problem.c_str());
      return 1;
    }
  }
  // omniORB takes extensions only before its ORB exists.
  omniConnectionMgmt::init();
  char program[] = "tls_bench";
  char* arguments[] = {program, nullptr};
  try {
    CORBA::ORB_var orb = kestrel::BrokerTable::instance().Join(
        kestrel::TranslateBrokerArguments(1, arguments, tls, std::getenv("ORBendPoint")));
    CORBA::Object_var channel = orb->string_to_object(argv[0]);
    std::vector<CORBA::Object_var> open;
    for (long i = 0; i <= samples; ++i) {
      CORBA::Object_var own = omniConnectionMgmt::makeRestrictedReference(
          channel.in(), static_cast<CORBA::ULong>(i + 1), 1, 1, false, false, false);
      const Clock::time_point started = Clock::now();
      const bool goneFirst = own->_non_existent();
      const Clock::time_point connected = Clock::now();
      const bool goneSecond = own->_non_existent();
      const Clock::time_point ended = Clock::now();
      if (goneFirst || goneSecond) {
        std::fprintf(stderr, "tls_bench connect helper: the service says the channel is gone\n");
        return 1;
      }
      open.push_back(own);
      if (i == 0) continue;
      std::printf("%.1f %.1f\n",
                  std::chrono::duration<double, std::micro>(connected - started).count(),
                  std::chrono::duration<double, std::micro>(ended - connected).count());
    }
    std::printf("done\n");
    std::fflush(stdout);
    for (;;) ::pause();
  } catch (const CORBA::Exception& e) {
    std::fprintf(stderr, "tls_bench connect helper: %s\n", e._name());
    return 1;
  }
}

// ---- The bench --------------------------------------------------------------

// One kind of transport: its service, its client process, its figures.
struct Kind {
  const char* name;
  ChannelService service;
  std::vector<std::string> tlsFiles;  // cert, key, CA for the helpers; empty for plain
  ChildProcess pair;
  std::vector<double> rates;          // delivered per second, per round
  double seconds = 0;
  double events = 0;
  double clientCpu = 0;
  double serviceCpu = 0;
  std::vector<double> firstCall;      // us, one per new connection
  std::vector<double> openCall;       // us, the second call on that connection
  std::vector<double> setUp;          // us, first less second, per connection

  Kind(const char* name, ChannelService::Options options, std::vector<std::string> files)
      : name(name), service(std::move(options)), tlsFiles(std::move(files)) {}

  std::vector<std::string> HelperCommand(const char* helper, long count) const {
    std::vector<std::string> command = {"/proc/self/exe", helper, service.address(),
                                        std::to_string(count)};
    command.insert(command.end(), tlsFiles.begin(), tlsFiles.end());
    return command;
  }
};

bool StartKind(Kind* kind, long events) {
  if (!kind->service.Start()) {
    std::fprintf(stderr, "tls_bench: kestrel-channeld (%s) did not start (exit status %d)\n",
                 kind->name, kind->service.exit_status());
    return false;
  }
  const std::string scheme = kind->tlsFiles.empty() ? "corbaloc:iiop:" : "corbaloc:ssliop:";
  if (kind->service.address().compare(0, scheme.size(), scheme) != 0) {
    std::fprintf(stderr, "tls_bench: the %s service serves %s\n", kind->name,
                 kind->service.address().c_str());
    return false;
  }
  std::string ready;
  if (!kind->pair.Spawn(kind->HelperCommand(kPairHelper, events)) ||
      !kind->pair.ReadLine(&ready, kReadyTimeoutMs) || ready != "ready") {
    std::fprintf(stderr, "tls_bench: the %s supplier and consumer did not connect\n", kind->name);
    return false;
  }
  return true;
}

bool RunRound(Kind* kind, long events) {
  const double clientBefore = CpuSecondsOf(kind->pair.pid());
  const double serviceBefore = CpuSecondsOf(kind->service.pid());
  std::string line;
  if (::kill(kind->pair.pid(), SIGUSR1) != 0 || !kind->pair.ReadLine(&line, kRoundTimeoutMs)) {
    std::fprintf(stderr, "tls_bench: a %s round did not end\n", kind->name);
    return false;
  }
  const double seconds = std::atof(line.c_str());
  if (seconds <= 0) return false;
  kind->clientCpu += CpuSecondsOf(kind->pair.pid()) - clientBefore;
  kind->serviceCpu += CpuSecondsOf(kind->service.pid()) - serviceBefore;
  kind->seconds += seconds;
  kind->events += static_cast<double>(events);
  kind->rates.push_back(static_cast<double>(events) / seconds);
  return true;
}

// The service's descriptors once they have stopped changing: connections of
// helpers that ended close on the service's side a little later.
long SteadyDescriptors(pid_t service) {
  long count = OpenFilesOf(service);
  for (int i = 0; i < 50; ++i) {
    ::usleep(100000);
    long now = OpenFilesOf(service);
    if (now == count) break;
    count = now;
  }
  return count;
}

bool RunConnectionBatch(Kind* kind, long samples) {
  const long before = SteadyDescriptors(kind->service.pid());
  ChildProcess helper;
  if (!helper.Spawn(kind->HelperCommand(kConnectHelper, samples))) return false;
  std::string line;
  for (long i = 0; i < samples; ++i) {
    double first = 0;
    double open = 0;
    if (!helper.ReadLine(&line, kRoundTimeoutMs) ||
        std::sscanf(line.c_str(), "%lf %lf", &first, &open) != 2) {
      std::fprintf(stderr, "tls_bench: the %s connection helper stopped\n", kind->name);
      return false;
    }
    kind->firstCall.push_back(first);
    kind->openCall.push_back(open);
    kind->setUp.push_back(first - open);
  }
  if (!helper.ReadLine(&line, kRoundTimeoutMs) || line != "done") return false;
  const long grown = OpenFilesOf(kind->service.pid()) - before;
  helper.Kill(SIGKILL);
  // The warm-up connection, then one per sample.
  if (grown < samples + 1) {
    std::fprintf(stderr,
                 "tls_bench: the %s service gained %ld descriptors for %ld new connections: "
                 "the samples shared connections\n",
                 kind->name, grown, samples + 1);
    return false;
  }
  return true;
}

// The value below which a fraction of values lie (nearest rank).
double Percentile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  std::size_t rank = static_cast<std::size_t>(fraction * static_cast<double>(values.size()));
  return values[std::min(rank, values.size() - 1)];
}

void PrintRates(const Kind& plain, const Kind& tls, long events) {
  std::printf("\ndelivered per second, one Kestrel supplier to one Kestrel consumer through "
              "kestrel-channeld\n(%zu rounds of %ld each; us/event at the median rate; CPU "
              "us/event over all rounds)\n\n",
              plain.rates.size(), events);
  std::printf("  %-14s %9s %17s %9s %14s %14s\n", "", "median", "range", "us/event",
              "client CPU", "channeld CPU");
  for (const Kind* kind : {&plain, &tls}) {
    const double median = Median(kind->rates);
    std::printf("  %-14s %9.0f %8.0f-%-8.0f %9.1f %14.1f %14.1f\n", kind->name, median,
                Lowest(kind->rates), Highest(kind->rates), median > 0 ? 1e6 / median : 0,
                kind->events > 0 ? 1e6 * kind->clientCpu / kind->events : 0,
                kind->events > 0 ? 1e6 * kind->serviceCpu / kind->events : 0);
  }
  std::vector<double> ratios;
  for (std::size_t i = 0; i < plain.rates.size() && i < tls.rates.size(); ++i) {
    ratios.push_back(tls.rates[i] / plain.rates[i]);
  }
  const double overall = plain.seconds > 0 && tls.seconds > 0
                             ? (tls.events / tls.seconds) / (plain.events / plain.seconds)
                             : 0;
  std::printf("\nTLS / plain: %.3f median of paired rounds (pairs %.3f to %.3f), %.3f overall; "
              "goal at least 0.8: %s\n",
              Median(ratios), Lowest(ratios), Highest(ratios), overall,
              Median(ratios) >= 0.8 ? "met" : "NOT met");
  // Where both processes keep the machine's processors busy, the rates
  // follow the processor time per event; this ratio is the rate ratio that
  // such a machine would show, and moves less than the rates when other
  // work comes and goes.
  const double plainCpu = plain.clientCpu + plain.serviceCpu;
  const double tlsCpu = tls.clientCpu + tls.serviceCpu;
  if (plainCpu > 0 && tlsCpu > 0 && plain.events > 0 && tls.events > 0) {
    std::printf("processor time per event, plain / TLS (client and channeld together): %.3f\n",
                (plainCpu / plain.events) / (tlsCpu / tls.events));
  }
}

void PrintConnections(const Kind& plain, const Kind& tls) {
  std::printf("\na new connection: its first call (_non_existent on the channel), and a second "
              "call on it\n(%zu connections of each kind, us: median [10th-90th percentile])\n\n",
              plain.firstCall.size());
  std::printf("  %-14s %24s %24s %24s\n", "", "first call", "call on it once open",
              "first less open");
  for (const Kind* kind : {&plain, &tls}) {
    auto cell = [](const std::vector<double>& values) {
      char text[64];
      std::snprintf(text, sizeof text, "%.0f [%.0f-%.0f]", Median(values),
                    Percentile(values, 0.1), Percentile(values, 0.9));
      return std::string(text);
    };
    std::printf("  %-14s %24s %24s %24s\n", kind->name, cell(kind->firstCall).c_str(),
                cell(kind->openCall).c_str(), cell(kind->setUp).c_str());
  }
  std::printf("\nsetting up a TLS connection costs %.0f us more than a plain one (medians of "
              "first less open: %.0f us against %.0f us)\n",
              Median(tls.setUp) - Median(plain.setUp), Median(tls.setUp), Median(plain.setUp));
}

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    if (i + 1 >= argc) return false;
    const std::string name = argv[i];
    const char* value = argv[++i];
    long* target = name == "--rounds"        ? &options->rounds
                   : name == "--events"      ? &options->events
                   : name == "--connections" ? &options->connections
                   : name == "--batches"     ? &options->batches
                                             : nullptr;
    if (target == nullptr || !ParseCount(value, 1, 10000000, target)) return false;
  }
  return true;
}

// The library is created as clients create it: registered in a registry of
// the run's own, which also holds no TLS files of the machine's, so that the
// plain helper is plain whatever the caller's registry says.
bool RegisterLibrary(const std::string& registry) {
  ::setenv("KESTREL_REGISTRY", registry.c_str(), 1);
  ProgramResult result =
      RunProgram({kestrel::testing::BinDir() + "/kestrel-regsvr", KESTREL_LIBRARY}, 20000);
  if (result.status != 0) {
    std::fprintf(stderr, "tls_bench: kestrel-regsvr failed: %s%s", result.out.c_str(),
                 result.err.c_str());
  }
  return result.status == 0;
}

int RunBench(const Options& options) {
  kestrel::testing::Authorities files;
  if (!files.Make()) {
    std::fprintf(stderr, "tls_bench: openssl could not make the run's certificates\n");
    return 1;
  }
  if (!RegisterLibrary(files.Path("registry.reg"))) return 1;

  ChannelService::Options tlsOptions;
  tlsOptions.extraArguments = {"--tls-cert", files.Cert("service"), "--tls-key",
                               files.Key("service"), "--tls-ca", files.Ca("site")};
  Kind plain("plain IIOP", ChannelService::Options(), {});
  Kind tls("IIOP over TLS", tlsOptions,
           {files.Cert("publisher"), files.Key("publisher"), files.Ca("site")});
  if (!StartKind(&plain, options.events) || !StartKind(&tls, options.events)) return 1;

  std::printf("tls_bench: %ld rounds of %ld notifications per kind, taking turns\n",
              options.rounds, options.events);
  for (long round = 0; round < options.rounds; ++round) {
    Kind* order[2] = {&plain, &tls};
    if (round % 2 == 1) std::swap(order[0], order[1]);
    for (Kind* kind : order) {
      if (!RunRound(kind, options.events)) return 1;
    }
    std::printf("round %ld: plain %.0f/s, TLS %.0f/s, TLS/plain %.3f\n", round + 1,
                plain.rates.back(), tls.rates.back(), tls.rates.back() / plain.rates.back());
    std::fflush(stdout);
  }
  PrintRates(plain, tls, options.events);
  std::fflush(stdout);
  // Their proxies stay in the services, idle: only the connections' figures
  // run from here on.
  plain.pair.Kill(SIGKILL);
  tls.pair.Kill(SIGKILL);

  for (long batch = 0; batch < options.batches; ++batch) {
    Kind* order[2] = {&plain, &tls};
    if (batch % 2 == 1) std::swap(order[0], order[1]);
    for (Kind* kind : order) {
      if (!RunConnectionBatch(kind, options.connections)) return 1;
    }
  }
  PrintConnections(plain, tls);
  plain.service.Stop();
  tls.service.Stop();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if ((argc == 4 || argc == 7) && std::strcmp(argv[1], kPairHelper) == 0) {
    if (!DieWithParent()) return 1;
    return RunPairHelper(argc - 2, argv + 2);
  }
  if ((argc == 4 || argc == 7) && std::strcmp(argv[1], kConnectHelper) == 0) {
    if (!DieWithParent()) return 1;
    return RunConnectHelper(argc - 2, argv + 2);
  }
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::printf("%s", kUsage);
    return 0;
  }
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr, "%s", kUsage);
    return 2;
  }
  // Inherited by every helper: each listens on loopback only (the library
  // makes a TLS endpoint of it on the same host). The services set their
  // own from --listen.
  ::setenv("ORBendPoint", "giop:tcp:127.0.0.1:", 1);
  return RunBench(options);
}
