// channeld_bench: how much of omniORB's plain two-way rate survives the trip
// through kestrel-channeld.
//
//   BareTwoWayPush         the bench process pushes structured events two-way,
//                          as fast as it can, to a bare StructuredPushConsumer
//                          servant in a helper process, over loopback.
//   ChanneldEndToEnd       the same pushes go two-way to a kestrel-channeld
//                          proxy; a consumer in a helper process receives them.
//                          Timed until the consumer has every event.
//   then, once: a sustained   the supplier pushes kSustained events through
//   stream                    kestrel-channeld without pausing (many times
//                             the consumer's queue), and the consumer must
//                             receive every one: flow control slows the
//                             supplier to the pace of delivery instead of
//                             discarding. Printed: events lost, and the
//                             delivered rate beside the bare two-way rate.
//
// Each iteration is a batch of events; items_per_second is events delivered
// per second. At the end the program prints both rates and their ratio.
//
// The helper processes are this program run with --consumer-helper.

#include <benchmark/benchmark.h>

#include <COS/CosNotifyChannelAdmin.hh>
#include <COS/CosNotifyComm.hh>

#include <signal.h>
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

#include "bench/common/channel_helpers.h"
#include "bench/common/figures.h"
#include "bench/common/helper_process.h"
#include "tests/support/channel_service.h"

namespace {

using Clock = std::chrono::steady_clock;
using kestrel::bench::BenchEvent;
using kestrel::bench::CpuSecondsOf;
using kestrel::bench::Helper;
using kestrel::bench::InitOrb;
using kestrel::bench::Median;
using kestrel::bench::PrintPairedRatio;

constexpr long kBatch = 2000;
constexpr int kRounds = 8;
constexpr long kSustained = 100 * kBatch;

struct Rate {
  double events = 0;
  double seconds = 0;
  std::vector<double> rounds;  // events per second, one per benchmark run
  double perSecond() const { return seconds > 0 ? events / seconds : 0; }
};

struct World {
  CORBA::ORB_var orb;
  Helper bareConsumer;
  kestrel::testing::ChannelService channeld;
  Helper channelConsumer;
  CosNotifyComm::StructuredPushConsumer_var bare;
  CosNotifyChannelAdmin::StructuredProxyPushConsumer_var proxy;
  Rate bareRate;
  Rate channelRate;
};

World* world = nullptr;

bool SetUpWorld() {
  world->orb = InitOrb();
  if (!world->bareConsumer.Start(0, "")) {
    std::fprintf(stderr, "channeld_bench: the bare consumer did not start\n");
    return false;
  }
  CORBA::Object_var object = world->orb->string_to_object(world->bareConsumer.ior().c_str());
  world->bare = CosNotifyComm::StructuredPushConsumer::_narrow(object.in());

  if (!world->channeld.Start()) {
    std::fprintf(stderr, "channeld_bench: kestrel-channeld did not start (%s)\n",
                 kestrel::testing::ChannelService::ProgramPath().c_str());
    return false;
  }
  if (!world->channelConsumer.Start(kBatch, world->channeld.address())) {
    std::fprintf(stderr, "channeld_bench: the channel consumer did not start\n");
    return false;
  }
  CORBA::Object_var channelObject = world->orb->string_to_object(world->channeld.address().c_str());
  CosNotifyChannelAdmin::EventChannel_var channel =
      CosNotifyChannelAdmin::EventChannel::_narrow(channelObject.in());
  CosNotifyChannelAdmin::SupplierAdmin_var admin = channel->default_supplier_admin();
  CosNotifyChannelAdmin::ProxyID id;
  CosNotifyChannelAdmin::ProxyConsumer_var proxy =
      admin->obtain_notification_push_consumer(CosNotifyChannelAdmin::STRUCTURED_EVENT, id);
  world->proxy = CosNotifyChannelAdmin::StructuredProxyPushConsumer::_narrow(proxy.in());
  world->proxy->connect_structured_push_supplier(CosNotifyComm::StructuredPushSupplier::_nil());
  return true;
}

void BareTwoWayPush(benchmark::State& state) {
  const CosNotification::StructuredEvent event = BenchEvent();
  Rate run;
  for (auto _ : state) {
    Clock::time_point started = Clock::now();
    for (long i = 0; i < kBatch; ++i) world->bare->push_structured_event(event);
    double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    state.SetIterationTime(seconds);
    run.events += kBatch;
    run.seconds += seconds;
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  world->bareRate.events += run.events;
  world->bareRate.seconds += run.seconds;
  world->bareRate.rounds.push_back(run.perSecond());
}

long pushedThroughChanneld = 0;

void ChanneldEndToEnd(benchmark::State& state) {
  const CosNotification::StructuredEvent event = BenchEvent();
  long& pushed = pushedThroughChanneld;
  double pushPhase = 0;
  Rate run;
  const double channeldCpu = CpuSecondsOf(world->channeld.pid());
  for (auto _ : state) {
    Clock::time_point started = Clock::now();
    for (long i = 0; i < kBatch; ++i) world->proxy->push_structured_event(event);
    pushPhase += std::chrono::duration<double>(Clock::now() - started).count();
    pushed += kBatch;
    if (!world->channelConsumer.WaitForCount(pushed, 10000)) {
      state.SkipWithError("the consumer did not receive every event");
      return;
    }
    double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    state.SetIterationTime(seconds);
    run.events += kBatch;
    run.seconds += seconds;
  }
  world->channelRate.events += run.events;
  world->channelRate.seconds += run.seconds;
  world->channelRate.rounds.push_back(run.perSecond());
  state.SetItemsProcessed(state.iterations() * kBatch);
  // How fast the supplier's pushes returned: above the end-to-end rate when
  // the delivery is the slower half.
  if (pushPhase > 0) state.counters["pushes_per_second"] = state.iterations() * kBatch / pushPhase;
  // channeld's CPU time (user + system) per event delivered.
  if (run.events > 0) {
    state.counters["channeld_cpu_us_per_event"] =
        (CpuSecondsOf(world->channeld.pid()) - channeldCpu) * 1e6 / run.events;
  }
}

// Pushes kSustained events without pausing and waits for the consumer to
// have them all; prints what was lost and the delivered rate.
bool SustainedStream(long alreadyPushed) {
  const CosNotification::StructuredEvent event = BenchEvent();
  Clock::time_point started = Clock::now();
  for (long i = 0; i < kSustained; ++i) world->proxy->push_structured_event(event);
  double pushSeconds = std::chrono::duration<double>(Clock::now() - started).count();
  // Lost events never arrive: the count stops short and the wait times out.
  bool everyOne = world->channelConsumer.WaitForCount(alreadyPushed + kSustained, 15000);
  double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  long received = world->channelConsumer.reported() - alreadyPushed;
  std::printf("\nsustained stream through kestrel-channeld (its defaults), %ld events:\n",
              kSustained);
  if (everyOne) {
    std::printf("  events lost                            %10d\n", 0);
  } else {
    std::printf("  events lost                  at least %10ld (of %ld; %ld arrived)\n",
                kSustained - received - (kBatch - 1), kSustained, received);
  }
  std::printf("  supplier's pushes per second           %10.0f\n", kSustained / pushSeconds);
  if (everyOne) {
    std::printf("  delivered per second                   %10.0f\n", kSustained / seconds);
    std::printf("  bare two-way pushes per second         %10.0f\n", world->bareRate.perSecond());
  }
  return everyOne;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "--consumer-helper") == 0) {
    return kestrel::bench::RunConsumerHelper(std::atol(argv[2]), argc >= 4 ? argv[3] : nullptr);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;

  std::unique_ptr<World> owner(new World);
  world = owner.get();
  try {
    if (!SetUpWorld()) return 1;
    // Short runs, alternating, so that both see the same machine conditions.
    for (int round = 0; round < kRounds; ++round) {
      benchmark::RegisterBenchmark("BareTwoWayPush", BareTwoWayPush)
          ->UseManualTime()->Unit(benchmark::kMicrosecond)->MinTime(0.3);
      benchmark::RegisterBenchmark("ChanneldEndToEnd", ChanneldEndToEnd)
          ->UseManualTime()->Unit(benchmark::kMicrosecond)->MinTime(0.3);
    }
    benchmark::RunSpecifiedBenchmarks();
  } catch (const CORBA::Exception& e) {
    std::fprintf(stderr, "channeld_bench: %s\n", e._name());
    return 1;
  }
  std::printf("\n%-40s %10s %10s\n", "events per second", "overall", "median");
  std::printf("%-40s %10.0f %10.0f\n", "bare two-way push_structured_event",
              world->bareRate.perSecond(), Median(world->bareRate.rounds));
  std::printf("%-40s %10.0f %10.0f\n", "through kestrel-channeld, end to end",
              world->channelRate.perSecond(), Median(world->channelRate.rounds));
  PrintPairedRatio("channeld / bare", world->channelRate.perSecond(), world->bareRate.perSecond(),
                   world->channelRate.rounds, world->bareRate.rounds);
  bool noneLost = SustainedStream(pushedThroughChanneld);

  world->proxy = CosNotifyChannelAdmin::StructuredProxyPushConsumer::_nil();
  world->bare = CosNotifyComm::StructuredPushConsumer::_nil();
  world->channeld.Stop();
  world->orb->destroy();
  owner.reset();
  benchmark::Shutdown();
  return noneLost ? 0 : 1;
}
