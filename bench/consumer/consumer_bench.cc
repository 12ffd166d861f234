// consumer_bench: Kestrel end to end through kestrel-channeld, against the
// same path in plain omniORB.
//
//   KestrelEndToEnd   a Kestrel supplier publishes a batch; a Kestrel
//                     consumer in the same process hands each event to a
//                     sink. Timed until the sink has the whole batch.
//   BareEndToEnd      a plain omniORB loop pushes the same events two-way to
//                     a StructuredProxyPushConsumer (the header that Kestrel
//                     sends, the record inserted per push with the generated
//                     operator<<=); a plain StructuredPushConsumer servant
//                     takes the record out with the generated operator>>=.
//
// Each path has a channel of its own in one kestrel-channeld, so that neither
// consumer sees the other's events. Both ends of both paths live in this
// process and share its ORB. Short runs of the two alternate, round after
// round, each taking its turn at going first; the program prints both rates
// and their ratio.
//
// Then the latency: each path in turn sends at a fixed rate, well below
// saturation, for a few seconds, and every event's time from just before
// Publish (or the bare push) to its arrival in OnEvent (or the bare
// servant) is kept by sequence number (carried as the message code). Both
// ends read one clock. The program prints the percentiles.
//
//   consumer_bench [--rounds N] [--threads N] [--bare-call-timeout MS]
//                  [--latency-rate EVENTS_PER_S] [--latency-seconds S]
//                  [--latency-rounds N] [benchmark flags]
//
// --rounds 0 skips the rates, --latency-rounds 0 the latency. --threads is
// the consumer's threadCount (1 by default). --bare-call-timeout gives the
// bare supplier's proxy omniORB's call timeout, as the library gives one to
// its own proxies unless its CallTimeout setting is 0. KESTREL_REGISTRY,
// when set, names the registry with the library's broker settings;
// otherwise a file that does not exist stands for the defaults.

#include <benchmark/benchmark.h>

#include <COS/CosNotifyChannelAdmin.hh>
#include <COS/CosNotifyComm.hh>
#include <omniORB4/omniORB.h>

#include <ace/INET_Addr.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/common/bare_publisher.h"
#include "bench/common/figures.h"
#include "channel/event_record.h"
#include "consumer/notification_consumer.h"
#include "kestrel/notification.h"
#include "server/com_object_base.h"
#include "supplier/notification_supplier.h"
#include "tests/channeld/channel_clients.h"
#include "tests/support/channel_service.h"
#include "tests/support/fake_settings.h"

namespace {

using Clock = std::chrono::steady_clock;
using kestrel::bench::CpuSecondsOf;
using kestrel::bench::Lowest;
using kestrel::bench::Highest;
using kestrel::bench::Median;
using kestrel::bench::PrintPairedRatio;
using kestrel::bench::BarePublisher;

constexpr long kBatch = 2000;
// A fixed count, so that each registered run is run once (no estimating
// runs) and the runs of one round pair up.
constexpr int kBatchesPerRun = 5;
constexpr int kWaitMs = 20000;
constexpr char kModule[] = "consumer_bench";
constexpr char kDescription[] = "A description of about the length that Kestrel events carry.";
constexpr char kKestrelChannel[] = "KestrelPath";
constexpr char kBareChannel[] = "BarePath";

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

// What one path's consumer received: a count that a waiter can wait for,
// and, while latencies are taken, each event's time in transit by sequence
// number. Delivered may run on any number of threads at once.
class DeliveryLog {
 public:
  // Wait returns once total events have arrived since the start.
  void Expect(long total) { target_.store(total); }

  bool Wait(int timeoutMs) {
    long target = target_.load();
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return count_.load() >= target; });
  }

  // Latencies of sequence numbers 0 to samples - 1, until StopLatencies.
  // REQUIRES: nothing is in transit.
  void StartLatencies(std::size_t samples) {
    samples_ = samples;
    sent_.reset(new std::atomic<int64_t>[samples]);
    latency_.reset(new std::atomic<int64_t>[samples]);
    for (std::size_t i = 0; i < samples; ++i) {
      sent_[i].store(-1);
      latency_[i].store(-1);
    }
    timing_.store(true);
  }

  void MarkSent(uint32_t sequence) { sent_[sequence].store(NowNs()); }

  // The latencies in nanoseconds of the events that arrived, sorted, and
  // how many did not arrive.
  std::vector<int64_t> StopLatencies(std::size_t* missing) {
    timing_.store(false);
    std::vector<int64_t> latencies;
    *missing = 0;
    for (std::size_t i = 0; i < samples_; ++i) {
      int64_t latency = latency_[i].load();
      if (latency >= 0) {
        latencies.push_back(latency);
      } else {
        ++*missing;
      }
    }
    std::sort(latencies.begin(), latencies.end());
    return latencies;
  }

  void Delivered(uint32_t sequence) {
    if (timing_.load(std::memory_order_acquire) && sequence < samples_) {
      int64_t sent = sent_[sequence].load();
      if (sent >= 0) latency_[sequence].store(NowNs() - sent);
    }
    long count = count_.fetch_add(1) + 1;
    if (count >= target_.load()) {
      std::lock_guard<std::mutex> lock(mutex_);
      arrived_.notify_all();
    }
  }

  long count() const { return count_.load(); }

 private:
  std::atomic<long> count_{0};
  std::atomic<long> target_{0};
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::atomic<bool> timing_{false};
  std::size_t samples_ = 0;
  std::unique_ptr<std::atomic<int64_t>[]> sent_;
  std::unique_ptr<std::atomic<int64_t>[]> latency_;
};

// The client's sink; owned by the bench, never deleted by its count.
class CountingSink : public INotificationSink {
 public:
  explicit CountingSink(DeliveryLog* log) : log_(log) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(const IID& riid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_INotificationSink) {
      *out = static_cast<INotificationSink*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override { return --references_; }

  HRESULT STDMETHODCALLTYPE OnEvent(const char*, const char*, uint32_t, uint32_t messageCode,
                                    const char*) override {
    log_->Delivered(messageCode);
    return S_OK;
  }

 private:
  DeliveryLog* const log_;
  std::atomic<uint32_t> references_{1};
};

// The plain omniORB consumer.
class BareConsumer : public POA_CosNotifyComm::StructuredPushConsumer {
 public:
  explicit BareConsumer(DeliveryLog* log) : log_(log) {}

  void push_structured_event(const CosNotification::StructuredEvent& event) override {
    const Kestrel::EventData* record = nullptr;
    if (event.remainder_of_body >>= record) log_->Delivered(record->mMessageCode);
  }
  void disconnect_structured_push_consumer() override {}
  void offer_change(const CosNotification::EventTypeSeq&,
                    const CosNotification::EventTypeSeq&) override {}

 private:
  DeliveryLog* const log_;
};

// CPU seconds (user + system) of this process.
double ProcessCpuSeconds() {
  rusage usage;
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

// One path's figures: totals, and the rate of each run (one per round).
struct Rate {
  double events = 0;
  double seconds = 0;
  double cpuSeconds = 0;          // this process, both ends
  double channeldCpuSeconds = 0;  // kestrel-channeld
  std::vector<double> rounds;
  double perSecond() const { return seconds > 0 ? events / seconds : 0; }
  double microsPerEvent(double cpu) const { return events > 0 ? 1e6 * cpu / events : 0; }
};

INotificationSupplier* NewSupplier() {
  kestrel::ComObjectBase* object = nullptr;
  if (FAILED(kestrel::CreateNotificationSupplier(nullptr, &object))) return nullptr;
  INotificationSupplier* supplier = nullptr;
  object->QueryInterface(IID_INotificationSupplier, reinterpret_cast<void**>(&supplier));
  object->Release();
  return supplier;
}

INotificationConsumer* NewConsumer() {
  kestrel::ComObjectBase* object = nullptr;
  if (FAILED(kestrel::CreateNotificationConsumer(nullptr, &object))) return nullptr;
  INotificationConsumer* consumer = nullptr;
  object->QueryInterface(IID_INotificationConsumer, reinterpret_cast<void**>(&consumer));
  object->Release();
  return consumer;
}

kestrel::testing::ChannelService::Options TwoChannels() {
  kestrel::testing::ChannelService::Options options;
  options.channels = {kKestrelChannel, kBareChannel};
  return options;
}

// Declared in the order of construction; torn down explicitly by
// TearDownWorld: the library's objects before the ORB that they joined.
struct World {
  kestrel::testing::TestOrb orb;  // first: the library joins this ORB
  kestrel::testing::ChannelService channeld{TwoChannels()};

  DeliveryLog kestrelLog;
  CountingSink sink{&kestrelLog};
  std::vector<std::unique_ptr<kestrel::testing::FakeSettings>> settings;
  INotificationConsumer* consumer = nullptr;
  INotificationSupplier* supplier = nullptr;

  DeliveryLog bareLog;
  PortableServer::Servant_var<BareConsumer> bareServant;
  PortableServer::ObjectId_var bareServantId;
  bool bareServantActive = false;
  CosNotifyChannelAdmin::StructuredProxyPushSupplier_var bareConsumerProxy;
  BarePublisher bareSupplier{kModule};

  long kestrelSent = 0;
  long bareSent = 0;
  Rate kestrelRate;
  Rate bareRate;
};

World* world = nullptr;

// Settings for channel index of the running channeld, with the reference
// that Connect or Initialize takes over already added.
kestrel::testing::FakeSettings* Settings(std::size_t channel, IUnknown* sink) {
  world->settings.emplace_back(new kestrel::testing::FakeSettings(
      world->channeld.host(), world->channeld.port(), world->channeld.key(channel)));
  world->settings.back()->set_sink(sink);
  world->settings.back()->AddRef();
  return world->settings.back().get();
}

bool PublishKestrel(uint32_t sequence) {
  return world->supplier->Publish(sequence % 8, sequence, kDescription) == S_OK;
}

bool PublishBare(uint32_t sequence) {
  world->bareSupplier.Push(sequence % 8, sequence, kDescription);
  return true;
}

void ConnectBareConsumer() {
  world->bareServant = new BareConsumer(&world->bareLog);
  world->bareServantId = world->orb.poa()->activate_object(world->bareServant.in());
  world->bareServantActive = true;
  CORBA::Object_var reference = world->orb.poa()->id_to_reference(world->bareServantId.in());
  CosNotifyComm::StructuredPushConsumer_var consumer =
      CosNotifyComm::StructuredPushConsumer::_narrow(reference.in());
  CosNotifyChannelAdmin::EventChannel_var channel = world->orb.Channel(world->channeld.address(1));
  CosNotifyChannelAdmin::ConsumerAdmin_var admin = channel->default_consumer_admin();
  CosNotifyChannelAdmin::ProxyID id;
  CosNotifyChannelAdmin::ProxySupplier_var proxy =
      admin->obtain_notification_push_supplier(CosNotifyChannelAdmin::STRUCTURED_EVENT, id);
  world->bareConsumerProxy =
      CosNotifyChannelAdmin::StructuredProxyPushSupplier::_narrow(proxy.in());
  world->bareConsumerProxy->connect_structured_push_consumer(consumer.in());
}

// Sends count events through one path and waits until they have arrived.
bool SendAndWait(bool (*publish)(uint32_t), DeliveryLog* log, long* sent, long count) {
  *sent += count;
  log->Expect(*sent);
  for (long i = 0; i < count; ++i) {
    if (!publish(static_cast<uint32_t>(i))) return false;
  }
  return log->Wait(kWaitMs);
}

bool SetUpWorld(uint32_t threadCount, unsigned long bareCallTimeoutMs) {
  if (!world->channeld.Start()) {
    std::fprintf(stderr, "consumer_bench: kestrel-channeld did not start (%s)\n",
                 kestrel::testing::ChannelService::ProgramPath().c_str());
    return false;
  }
  world->consumer = NewConsumer();
  world->supplier = NewSupplier();
  if (world->consumer == nullptr || world->supplier == nullptr) {
    std::fprintf(stderr, "consumer_bench: no supplier or consumer object\n");
    return false;
  }
  HRESULT hr = world->consumer->Connect(Settings(0, &world->sink), threadCount);
  if (FAILED(hr)) {
    std::fprintf(stderr, "consumer_bench: Connect answered 0x%08X\n", static_cast<unsigned>(hr));
    return false;
  }
  hr = world->supplier->Initialize(Settings(0, nullptr), kModule);
  if (FAILED(hr)) {
    std::fprintf(stderr, "consumer_bench: Initialize answered 0x%08X\n", static_cast<unsigned>(hr));
    return false;
  }
  ConnectBareConsumer();
  CosNotifyChannelAdmin::EventChannel_var channel = world->orb.Channel(world->channeld.address(1));
  world->bareSupplier.Connect(channel.in(), bareCallTimeoutMs);

  // Warms both paths up (connections, threads, buffers).
  if (!SendAndWait(PublishKestrel, &world->kestrelLog, &world->kestrelSent, kBatch) ||
      !SendAndWait(PublishBare, &world->bareLog, &world->bareSent, kBatch)) {
    std::fprintf(stderr, "consumer_bench: the warm-up events did not all arrive\n");
    return false;
  }
  return true;
}

void TearDownWorld() {
  if (world->supplier != nullptr) world->supplier->Release();
  world->supplier = nullptr;
  if (world->consumer != nullptr) world->consumer->Release();
  world->consumer = nullptr;
  try {
    world->bareSupplier.Disconnect();
    if (!CORBA::is_nil(world->bareConsumerProxy)) {
      world->bareConsumerProxy->disconnect_structured_push_supplier();
    }
  } catch (const CORBA::Exception&) {
  }
  world->bareConsumerProxy = CosNotifyChannelAdmin::StructuredProxyPushSupplier::_nil();
  world->bareServantActive = false;
  try {
    if (world->bareServantActive) world->orb.poa()->deactivate_object(world->bareServantId.in());
  } catch (const CORBA::Exception&) {
  }
  world->channeld.Stop();
}

// Times batches sent through one path until the consumer has each.
void RunEndToEnd(benchmark::State& state, bool (*publish)(uint32_t), DeliveryLog* log,
                 long* sent, Rate* rate) {
  double seconds = 0;
  double pushSeconds = 0;
  const double cpuStarted = ProcessCpuSeconds();
  const double channeldStarted = CpuSecondsOf(world->channeld.pid());
  for (auto _ : state) {
    *sent += kBatch;
    log->Expect(*sent);
    Clock::time_point started = Clock::now();
    for (long i = 0; i < kBatch; ++i) {
      if (!publish(static_cast<uint32_t>(i))) {
        state.SkipWithError("a publish failed");
        return;
      }
    }
    Clock::time_point pushed = Clock::now();
    if (!log->Wait(kWaitMs)) {
      state.SkipWithError("the consumer did not receive every event");
      return;
    }
    double batchSeconds = std::chrono::duration<double>(Clock::now() - started).count();
    state.SetIterationTime(batchSeconds);
    seconds += batchSeconds;
    pushSeconds += std::chrono::duration<double>(pushed - started).count();
  }
  const double events = static_cast<double>(state.iterations() * kBatch);
  const double cpu = ProcessCpuSeconds() - cpuStarted;
  const double channeldCpu = CpuSecondsOf(world->channeld.pid()) - channeldStarted;
  state.SetItemsProcessed(state.iterations() * kBatch);
  // How fast the supplier's calls returned: above the end-to-end rate when
  // the delivery is the slower half.
  state.counters["pushes_per_second"] = events / pushSeconds;
  state.counters["cpu_us_per_event"] = 1e6 * cpu / events;
  state.counters["channeld_cpu_us_per_event"] = 1e6 * channeldCpu / events;
  rate->events += events;
  rate->seconds += seconds;
  rate->cpuSeconds += cpu;
  rate->channeldCpuSeconds += channeldCpu;
  rate->rounds.push_back(events / seconds);
}

void KestrelEndToEnd(benchmark::State& state) {
  RunEndToEnd(state, PublishKestrel, &world->kestrelLog, &world->kestrelSent, &world->kestrelRate);
}

void BareEndToEnd(benchmark::State& state) {
  RunEndToEnd(state, PublishBare, &world->bareLog, &world->bareSent, &world->bareRate);
}

void PrintRates() {
  std::printf("\n%-36s %9s %9s %9s %9s %14s %14s\n", "events per second, end to end", "overall",
              "median", "min", "max", "CPU us/event", "channeld us/ev");
  auto row = [](const char* name, const Rate& rate) {
    std::printf("%-36s %9.0f %9.0f %9.0f %9.0f %14.2f %14.2f\n", name, rate.perSecond(),
                Median(rate.rounds),
                Lowest(rate.rounds), Highest(rate.rounds),
                rate.microsPerEvent(rate.cpuSeconds), rate.microsPerEvent(rate.channeldCpuSeconds));
  };
  row("bare omniORB supplier and consumer", world->bareRate);
  row("Kestrel supplier and consumer", world->kestrelRate);
  PrintPairedRatio("Kestrel / bare", world->kestrelRate.perSecond(), world->bareRate.perSecond(),
                   world->kestrelRate.rounds, world->bareRate.rounds);
}

void RunRates(int rounds) {
  for (int round = 0; round < rounds; ++round) {
    auto bare = [] {
      benchmark::RegisterBenchmark("BareEndToEnd", BareEndToEnd)
          ->UseManualTime()
          ->Unit(benchmark::kMicrosecond)
          ->Iterations(kBatchesPerRun);
    };
    auto kestrel = [] {
      benchmark::RegisterBenchmark("KestrelEndToEnd", KestrelEndToEnd)
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
  }
  benchmark::RunSpecifiedBenchmarks();
  PrintRates();
}

// ---- Latency at a fixed rate ------------------------------------------------

struct LatencyFigures {
  std::vector<int64_t> all;  // every round's latencies, in ns
  std::vector<double> p50s;  // per round, in us
  std::vector<double> p99s;
  std::size_t missing = 0;
  std::size_t late = 0;  // sends that started behind schedule by more than a period
};

// The nearest-rank percentile of sorted values (ns), in us.
double Percentile(const std::vector<int64_t>& sorted, double fraction) {
  if (sorted.empty()) return 0;
  double rank = std::ceil(fraction * static_cast<double>(sorted.size()));
  std::size_t index = rank < 1 ? 0 : static_cast<std::size_t>(rank) - 1;
  return static_cast<double>(sorted[std::min(index, sorted.size() - 1)]) / 1000.0;
}

// Sends events at ratePerSecond for seconds through one path and keeps the
// time that each took to arrive.
bool MeasureLatency(bool (*publish)(uint32_t), DeliveryLog* log, long* sent, int ratePerSecond,
                    double seconds, LatencyFigures* figures) {
  const std::size_t count = static_cast<std::size_t>(ratePerSecond * seconds);
  const auto period = std::chrono::nanoseconds(1000000000LL / ratePerSecond);
  log->StartLatencies(count);
  *sent += static_cast<long>(count);
  log->Expect(*sent);
  const Clock::time_point start = Clock::now() + std::chrono::milliseconds(5);
  for (std::size_t i = 0; i < count; ++i) {
    Clock::time_point due = start + period * static_cast<long>(i);
    std::this_thread::sleep_until(due);
    if (Clock::now() - due > period) ++figures->late;
    log->MarkSent(static_cast<uint32_t>(i));
    if (!publish(static_cast<uint32_t>(i))) return false;
  }
  bool complete = log->Wait(kWaitMs);
  std::size_t missing = 0;
  std::vector<int64_t> latencies = log->StopLatencies(&missing);
  figures->missing += missing;
  figures->p50s.push_back(Percentile(latencies, 0.50));
  figures->p99s.push_back(Percentile(latencies, 0.99));
  figures->all.insert(figures->all.end(), latencies.begin(), latencies.end());
  return complete;
}

void PrintLatency(const char* name, LatencyFigures* figures) {
  std::sort(figures->all.begin(), figures->all.end());
  auto spread = [](const std::vector<double>& values) {
    char text[64];
    if (values.empty()) return std::string("-");
    std::snprintf(text, sizeof text, "%.0f..%.0f", *std::min_element(values.begin(), values.end()),
                  *std::max_element(values.begin(), values.end()));
    return std::string(text);
  };
  std::printf("%-36s %8zu %8.0f %8.0f %8.0f %8.0f %12s %12s %8zu %6zu\n", name, figures->all.size(),
              Percentile(figures->all, 0.50), Percentile(figures->all, 0.90),
              Percentile(figures->all, 0.99), Percentile(figures->all, 1.0),
              spread(figures->p50s).c_str(), spread(figures->p99s).c_str(), figures->missing,
              figures->late);
}

bool RunLatency(int rounds, int ratePerSecond, double seconds) {
  LatencyFigures kestrel;
  LatencyFigures bare;
  bool complete = true;
  for (int round = 0; round < rounds && complete; ++round) {
    for (int turn = 0; turn < 2 && complete; ++turn) {
      if ((round + turn) % 2 == 0) {
        complete = MeasureLatency(PublishKestrel, &world->kestrelLog, &world->kestrelSent,
                                  ratePerSecond, seconds, &kestrel);
      } else {
        complete = MeasureLatency(PublishBare, &world->bareLog, &world->bareSent, ratePerSecond,
                                  seconds, &bare);
      }
    }
  }
  std::printf("\nlatency from the supplier's call to the consumer's upcall, us; %d events/s, "
              "%d x %.1f s per path\n",
              ratePerSecond, rounds, seconds);
  std::printf("%-36s %8s %8s %8s %8s %8s %12s %12s %8s %6s\n", "", "events", "p50", "p90", "p99",
              "max", "p50 rounds", "p99 rounds", "missing", "late");
  PrintLatency("bare omniORB supplier and consumer", &bare);
  PrintLatency("Kestrel Publish to OnEvent", &kestrel);
  if (!complete) std::fprintf(stderr, "consumer_bench: events went missing\n");
  return complete;
}

struct Options {
  int rounds = 8;
  uint32_t threads = 1;
  unsigned long bareCallTimeoutMs = 0;
  int latencyRate = 1000;
  double latencySeconds = 3;
  int latencyRounds = 2;
};

// Takes this program's own flags out of argv, leaving the benchmark's.
Options TakeOptions(int* argc, char** argv) {
  Options options;
  int kept = 1;
  for (int i = 1; i < *argc; ++i) {
    bool hasValue = i + 1 < *argc;
    if (hasValue && std::strcmp(argv[i], "--rounds") == 0) {
      options.rounds = std::max(0, std::atoi(argv[++i]));
    } else if (hasValue && std::strcmp(argv[i], "--threads") == 0) {
      options.threads = static_cast<uint32_t>(std::max(1, std::atoi(argv[++i])));
    } else if (hasValue && std::strcmp(argv[i], "--bare-call-timeout") == 0) {
      options.bareCallTimeoutMs = std::strtoul(argv[++i], nullptr, 10);
    } else if (hasValue && std::strcmp(argv[i], "--latency-rate") == 0) {
      options.latencyRate = std::max(1, std::atoi(argv[++i]));
    } else if (hasValue && std::strcmp(argv[i], "--latency-seconds") == 0) {
      options.latencySeconds = std::max(0.1, std::atof(argv[++i]));
    } else if (hasValue && std::strcmp(argv[i], "--latency-rounds") == 0) {
      options.latencyRounds = std::max(0, std::atoi(argv[++i]));
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
  // Every ORB of this run, channeld's included, listens on loopback only.
  ::setenv("ORBendPoint", "giop:tcp:127.0.0.1:", 1);
  // The library reads its broker settings from the registry: the defaults
  // unless the caller names a registry file of its own.
  ::setenv("KESTREL_REGISTRY", KESTREL_BENCH_REGISTRY, 0);
  Options options = TakeOptions(&argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;

  int status = 1;
  std::unique_ptr<World> owner(new World);
  world = owner.get();
  try {
    if (SetUpWorld(options.threads, options.bareCallTimeoutMs)) {
      status = 0;
      if (options.rounds > 0) RunRates(options.rounds);
      if (options.latencyRounds > 0 &&
          !RunLatency(options.latencyRounds, options.latencyRate, options.latencySeconds)) {
        status = 1;
      }
    }
  } catch (const CORBA::Exception& e) {
    std::fprintf(stderr, "consumer_bench: %s\n", e._name());
    status = 1;
  }
  TearDownWorld();
  owner.reset();
  benchmark::Shutdown();
  return status;
}
