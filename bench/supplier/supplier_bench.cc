// supplier_bench: what Kestrel's Publish costs over a plain omniORB push.
//
//   BarePush          a plain omniORB loop pushes two-way to a
//                     StructuredProxyPushConsumer of kestrel-channeld. Each
//                     push first sets severity, code and description in an
//                     EventData and inserts it into the body with the
//                     generated operator<<=, under the header that Kestrel
//                     sends: the work a client does without Kestrel.
//   KestrelPublish    INotificationSupplier::Publish with the same values,
//                     to a proxy of the same channeld.
//   PrebuiltBarePush  the bare push of one event built once: what the
//                     insertion costs, for the analysis.
//
// One consumer, in a helper process, is attached to the channel throughout.
// Each iteration is a batch of pushes; only the pushes are timed. Between
// batches the bench waits, untimed, until the consumer has every event, so
// that each batch starts with an empty delivery queue. Short runs of the
// three alternate, round after round (the first two take turns at going
// first), and the program ends with the rates, the pushing thread's CPU time
// per push, and the ratio of Publish to the bare loop.
//
//   supplier_bench [--rounds N] [--bare-call-timeout MS] [benchmark flags]
//   supplier_bench --memory [CALLS] [--bare]
//       the resident size after 10,000 and after CALLS (default 1,000,000)
//       Publish calls, with checkpoints; --bare runs the plain loop instead,
//       as a baseline for what omniORB itself adds.
//
// --bare-call-timeout gives the bare loop's proxy omniORB's call timeout, as
// the library gives one to its own proxies unless its CallTimeout setting is
// 0. omniORB polls the socket before every send and every receive of a call
// that has a timeout: two system calls per push, several times what Publish
// itself adds to the push.
// KESTREL_REGISTRY, when set, names the registry with the library's broker
// settings; otherwise a file that does not exist stands for the defaults.
//
// The helper process is this program run with --consumer-helper.

#include <benchmark/benchmark.h>

#include <COS/CosNotifyChannelAdmin.hh>
#include <COS/CosNotifyComm.hh>
#include <omniORB4/omniORB.h>

#include <ace/INET_Addr.h>
#include <signal.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/common/bare_publisher.h"
#include "bench/common/counting_consumer.h"
#include "bench/common/figures.h"
#include "bench/common/helper_process.h"
#include "channel/event_record.h"
#include "kestrel/notification.h"
#include "server/com_object_base.h"
#include "supplier/notification_supplier.h"
#include "tests/channeld/channel_clients.h"
#include "tests/support/channel_service.h"
#include "tests/support/fake_settings.h"

namespace {

using Clock = std::chrono::steady_clock;
using kestrel::bench::CountingConsumer;
using kestrel::bench::Highest;
using kestrel::bench::Lowest;
using kestrel::bench::Median;
using kestrel::bench::PrintPairedRatio;
using kestrel::bench::BarePublisher;

constexpr long kBatch = 2000;
constexpr int kDefaultRounds = 8;
// A fixed count, so that each registered run is run once (no estimating
// runs) and the runs of one round pair up: about 0.3 s at the bare rate.
constexpr int kBatchesPerRun = 10;
constexpr char kModule[] = "supplier_bench";
constexpr char kDescription[] = "A description of about the length that Kestrel events carry.";

// ---- The helper process: a consumer that counts ---------------------------

// --consumer-helper REPORT CHANNEL PARENT: connects a counting consumer to
// the channel, prints a line when it is connected, then serves until killed,
// at the latest when the bench process (PARENT) ends.
int RunConsumerHelper(long report, const char* channelAddress, pid_t parent) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) return 1;
  kestrel::testing::TestOrb orb;
  PortableServer::Servant_var<CountingConsumer> servant = new CountingConsumer(report);
  PortableServer::ObjectId_var id = orb.poa()->activate_object(servant.in());
  CORBA::Object_var reference = orb.poa()->id_to_reference(id.in());
  CosNotifyComm::StructuredPushConsumer_var consumer =
      CosNotifyComm::StructuredPushConsumer::_narrow(reference.in());
  CosNotifyChannelAdmin::EventChannel_var channel = orb.Channel(channelAddress);
  CosNotifyChannelAdmin::ConsumerAdmin_var admin = channel->default_consumer_admin();
  CosNotifyChannelAdmin::ProxyID proxyId;
  CosNotifyChannelAdmin::ProxySupplier_var proxy =
      admin->obtain_notification_push_supplier(CosNotifyChannelAdmin::STRUCTURED_EVENT, proxyId);
  CosNotifyChannelAdmin::StructuredProxyPushSupplier_var structured =
      CosNotifyChannelAdmin::StructuredProxyPushSupplier::_narrow(proxy.in());
  structured->connect_structured_push_consumer(consumer.in());
  std::printf("connected\n");
  std::fflush(stdout);
  orb.orb()->run();
  return 0;
}

// ---- The bench process ------------------------------------------------------

// This program's path. Spawning the path itself rather than /proc/self/exe
// lets the bench run under valgrind, which cannot start that link.
std::string ThisProgram() {
  char path[4096];
  ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return "/proc/self/exe";
  return std::string(path, static_cast<std::size_t>(length));
}

class Helper {
 public:
  // Runs this program with --consumer-helper and waits until it is
  // connected. Call it on the main thread: the helper ends with the thread
  // that started it.
  bool Start(long report, const std::string& channelAddress) {
    std::string line;
    return process_.Start({ThisProgram(), "--consumer-helper", std::to_string(report),
                           channelAddress, std::to_string(::getpid())},
                          &line) &&
           line == "connected";
  }
  bool WaitForCount(long count, int timeoutMs) { return process_.WaitForCount(count, timeoutMs); }
  void Stop() { process_.Stop(); }

 private:
  kestrel::bench::HelperProcess process_;
};

// The resident set size of this process, in kB.
long ResidentKb() {
  std::FILE* file = std::fopen("/proc/self/statm", "r");
  if (file == nullptr) return -1;
  long size = 0;
  long resident = 0;
  int read = std::fscanf(file, "%ld %ld", &size, &resident);
  std::fclose(file);
  if (read != 2) return -1;
  return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

// One loop's figures: totals, and the rate of each run (one per round).
struct Rate {
  double events = 0;
  double seconds = 0;
  double cpuSeconds = 0;  // the pushing thread's CPU time
  std::vector<double> rounds;
  double perSecond() const { return seconds > 0 ? events / seconds : 0; }
  double cpuMicrosPerEvent() const { return events > 0 ? 1e6 * cpuSeconds / events : 0; }
  void Add(double runEvents, double runSeconds, double runCpuSeconds) {
    events += runEvents;
    seconds += runSeconds;
    cpuSeconds += runCpuSeconds;
    rounds.push_back(runSeconds > 0 ? runEvents / runSeconds : 0);
  }
};

double ThreadCpuSeconds() {
  timespec now;
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Declared in the order of construction; torn down explicitly by TearDown,
// the library's supplier before the ORB that it joined.
struct World {
  kestrel::testing::TestOrb orb;  // first: the library joins this ORB
  kestrel::testing::ChannelService channeld;
  Helper consumer;
  std::unique_ptr<kestrel::testing::FakeSettings> settings;
  INotificationSupplier* supplier = nullptr;
  BarePublisher bare{kModule};
  long pushed = 0;  // events pushed to the channel so far, all loops together
  Rate bareRate;
  Rate kestrelRate;
  Rate prebuiltRate;
};

World* world = nullptr;

INotificationSupplier* NewSupplier() {
  kestrel::ComObjectBase* object = nullptr;
  if (FAILED(kestrel::CreateNotificationSupplier(nullptr, &object))) return nullptr;
  INotificationSupplier* supplier = nullptr;
  object->QueryInterface(IID_INotificationSupplier, reinterpret_cast<void**>(&supplier));
  object->Release();
  return supplier;
}

struct Options {
  int rounds = kDefaultRounds;
  unsigned long bareCallTimeoutMs = 0;
  bool memory = false;
  bool bare = false;
  long calls = 1000000;
};

bool SetUpWorld(const Options& options) {
  if (!world->channeld.Start()) {
    std::fprintf(stderr, "supplier_bench: kestrel-channeld did not start (%s)\n",
                 kestrel::testing::ChannelService::ProgramPath().c_str());
    return false;
  }
  // The memory run never waits for the consumer: it does not report then.
  if (!world->consumer.Start(options.memory ? 0 : kBatch, world->channeld.address())) {
    std::fprintf(stderr, "supplier_bench: the consumer did not start\n");
    return false;
  }
  world->settings.reset(new kestrel::testing::FakeSettings(
      world->channeld.host(), world->channeld.port(), world->channeld.key()));
  world->supplier = NewSupplier();
  if (world->supplier == nullptr) {
    std::fprintf(stderr, "supplier_bench: no supplier object\n");
    return false;
  }
  world->settings->AddRef();  // the reference that Initialize takes over
  HRESULT hr = world->supplier->Initialize(world->settings.get(), kModule);
  if (FAILED(hr)) {
    std::fprintf(stderr, "supplier_bench: Initialize answered 0x%08X\n", static_cast<unsigned>(hr));
    return false;
  }
  CosNotifyChannelAdmin::EventChannel_var channel = world->orb.Channel(world->channeld.address());
  world->bare.Connect(channel.in(), options.bareCallTimeoutMs);
  // The memory run counts every call from the first.
  if (options.memory) return true;
  // Warms both paths up (connections, buffers) and leaves the bare event
  // built for PushAgain.
  for (long i = 0; i < kBatch; ++i) {
    CORBA::ULong n = static_cast<CORBA::ULong>(i);
    world->bare.Push(n % 8, 0x1000 + n, kDescription);
    if (world->supplier->Publish(n % 8, 0x1000 + n, kDescription) != S_OK) {
      std::fprintf(stderr, "supplier_bench: Publish failed\n");
      return false;
    }
  }
  world->pushed += 2 * kBatch;
  if (!world->consumer.WaitForCount(world->pushed, 10000)) {
    std::fprintf(stderr, "supplier_bench: the consumer did not receive the warm-up events\n");
    return false;
  }
  return true;
}

void TearDownWorld() {
  if (world->supplier != nullptr) world->supplier->Release();
  world->supplier = nullptr;
  try {
    world->bare.Disconnect();
  } catch (const CORBA::Exception&) {
  }
  world->consumer.Stop();
  world->channeld.Stop();
}

// Times batches of push(i); after each, waits untimed for the consumer.
template <class Push>
void RunBatches(benchmark::State& state, Rate* rate, Push push) {
  double pushSeconds = 0;
  double cpuSeconds = 0;
  for (auto _ : state) {
    double cpuStarted = ThreadCpuSeconds();
    Clock::time_point started = Clock::now();
    for (long i = 0; i < kBatch; ++i) {
      if (!push(static_cast<CORBA::ULong>(i))) {
        state.SkipWithError("a push failed");
        return;
      }
    }
    double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    cpuSeconds += ThreadCpuSeconds() - cpuStarted;
    state.SetIterationTime(seconds);
    pushSeconds += seconds;
    world->pushed += kBatch;
    state.PauseTiming();
    bool drained = world->consumer.WaitForCount(world->pushed, 10000);
    state.ResumeTiming();
    if (!drained) {
      state.SkipWithError("the consumer did not receive every event");
      return;
    }
  }
  double events = static_cast<double>(state.iterations() * kBatch);
  state.SetItemsProcessed(state.iterations() * kBatch);
  state.counters["cpu_us_per_push"] = 1e6 * cpuSeconds / events;
  rate->Add(events, pushSeconds, cpuSeconds);
}

void BarePush(benchmark::State& state) {
  RunBatches(state, &world->bareRate, [](CORBA::ULong i) {
    world->bare.Push(i % 8, 0x1000 + i, kDescription);
    return true;
  });
}

void KestrelPublish(benchmark::State& state) {
  RunBatches(state, &world->kestrelRate, [](CORBA::ULong i) {
    return world->supplier->Publish(i % 8, 0x1000 + i, kDescription) == S_OK;
  });
}

void PrebuiltBarePush(benchmark::State& state) {
  RunBatches(state, &world->prebuiltRate, [](CORBA::ULong) {
    world->bare.PushAgain();
    return true;
  });
}

void PrintRates() {
  std::printf("\n%-44s %9s %9s %9s %9s %12s\n", "pushes per second", "overall", "median", "min",
              "max", "CPU us/push");
  auto row = [](const char* name, const Rate& rate) {
    std::printf("%-44s %9.0f %9.0f %9.0f %9.0f %12.2f\n", name, rate.perSecond(),
                Median(rate.rounds),
                Lowest(rate.rounds), Highest(rate.rounds),
                rate.cpuMicrosPerEvent());
  };
  row("bare omniORB push, record inserted per push", world->bareRate);
  row("Kestrel Publish", world->kestrelRate);
  row("bare omniORB push, event built once", world->prebuiltRate);
  if (world->bareRate.perSecond() > 0 && world->kestrelRate.perSecond() > 0) {
    std::printf("wall time per push: bare %.2f us, Publish %.2f us, built once %.2f us\n",
                1e6 / world->bareRate.perSecond(), 1e6 / world->kestrelRate.perSecond(),
                world->prebuiltRate.perSecond() > 0 ? 1e6 / world->prebuiltRate.perSecond() : 0.0);
  }
  PrintPairedRatio("Publish / bare", world->kestrelRate.perSecond(), world->bareRate.perSecond(),
                   world->kestrelRate.rounds, world->bareRate.rounds);
}

int RunRates(int rounds) {
  // Short runs, alternating, so that all see the same machine conditions;
  // the first two take turns at going first.
  for (int round = 0; round < rounds; ++round) {
    auto bare = [] {
      benchmark::RegisterBenchmark("BarePush", BarePush)
          ->UseManualTime()
          ->Unit(benchmark::kMicrosecond)
          ->Iterations(kBatchesPerRun);
    };
    auto kestrel = [] {
      benchmark::RegisterBenchmark("KestrelPublish", KestrelPublish)
          ->UseManualTime()
          ->Unit(benchmark::kMicrosecond)
          ->Iterations(kBatchesPerRun);
    };
    if (round % 2 == 0) {
      bare();
      kestrel();
    } else {
      kestrel();
      bare();
    }
    benchmark::RegisterBenchmark("PrebuiltBarePush", PrebuiltBarePush)
        ->UseManualTime()
        ->Unit(benchmark::kMicrosecond)
        ->Iterations(kBatchesPerRun);
  }
  benchmark::RunSpecifiedBenchmarks();
  PrintRates();
  return 0;
}

int RunMemory(long calls, bool bare) {
  const long checkpoints[] = {10000, 100000, 250000, 500000, 750000};
  std::printf("%s, %ld calls\n%12s %12s %12s %12s\n",
              bare ? "bare omniORB push (record inserted per push)" : "Kestrel Publish", calls,
              "calls", "RSS kB", "vs 10,000", "calls/s");
  long base = -1;
  std::size_t next = 0;
  Clock::time_point started = Clock::now();
  auto report = [&](long done) {
    long resident = ResidentKb();
    if (base < 0) base = resident;
    double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    std::printf("%12ld %12ld %+12ld %12.0f\n", done, resident, resident - base, done / seconds);
    std::fflush(stdout);
  };
  for (long i = 0; i < calls; ++i) {
    CORBA::ULong n = static_cast<CORBA::ULong>(i);
    if (bare) {
      world->bare.Push(n % 8, 0x1000 + n, kDescription);
    } else {
      HRESULT hr = world->supplier->Publish(n % 8, 0x1000 + n, kDescription);
      if (hr != S_OK) {
        std::fprintf(stderr, "supplier_bench: Publish answered 0x%08X\n",
                     static_cast<unsigned>(hr));
        return 1;
      }
    }
    long done = i + 1;
    if (next < sizeof checkpoints / sizeof checkpoints[0] && done == checkpoints[next]) {
      report(done);
      ++next;
    }
  }
  if (next == 0 || checkpoints[next - 1] != calls) report(calls);
  return 0;
}

// Takes this program's own flags out of argv, leaving the benchmark's.
Options TakeOptions(int* argc, char** argv) {
  Options options;
  int kept = 1;
  for (int i = 1; i < *argc; ++i) {
    if (std::strcmp(argv[i], "--memory") == 0) {
      options.memory = true;
      if (i + 1 < *argc && argv[i + 1][0] >= '0' && argv[i + 1][0] <= '9') {
        options.calls = std::max(10000L, std::atol(argv[++i]));
      }
    } else if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < *argc) {
      options.rounds = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--bare-call-timeout") == 0 && i + 1 < *argc) {
      options.bareCallTimeoutMs = std::strtoul(argv[++i], nullptr, 10);
    } else if (std::strcmp(argv[i], "--bare") == 0) {
      options.bare = true;
    } else {
      argv[kept++] = argv[i];
    }
  }
  *argc = kept;
  argv[kept] = nullptr;
  return options;
}

}  // namespace

int main(int argc, char** argv) {
  // Every ORB of this run, the helper's and channeld's included, listens on
  // loopback only.
  ::setenv("ORBendPoint", "giop:tcp:127.0.0.1:", 1);
  // The library reads its broker settings from the registry: the defaults
  // unless the caller names a registry file of its own.
  ::setenv("KESTREL_REGISTRY", KESTREL_BENCH_REGISTRY, 0);
  if (argc >= 5 && std::strcmp(argv[1], "--consumer-helper") == 0) {
    return RunConsumerHelper(std::max(0L, std::atol(argv[2])), argv[3],
                             static_cast<pid_t>(std::atol(argv[4])));
  }
  Options options = TakeOptions(&argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;

  int status = 1;
  std::unique_ptr<World> owner(new World);
  world = owner.get();
  try {
    if (SetUpWorld(options)) {
      status = options.memory ? RunMemory(options.calls, options.bare) : RunRates(options.rounds);
    }
  } catch (const CORBA::Exception& e) {
    std::fprintf(stderr, "supplier_bench: %s\n", e._name());
    status = 1;
  }
  TearDownWorld();
  owner.reset();
  benchmark::Shutdown();
  return status;
}
