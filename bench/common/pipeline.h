// A channel service, a consumer connected to it in a helper process, and a
// supplier's proxy in this process: what the channel benchmarks time, in
// rounds of a batch of two-way pushes each.

#ifndef KESTREL_BENCH_COMMON_PIPELINE_H_
#define KESTREL_BENCH_COMMON_PIPELINE_H_

#include <COS/CosNotifyChannelAdmin.hh>
#include <COS/CosNotifyComm.hh>

#include <chrono>
#include <utility>
#include <vector>

#include "bench/common/channel_helpers.h"
#include "bench/common/figures.h"
#include "tests/support/channel_service.h"

namespace kestrel {
namespace bench {

struct Pipeline {
  testing::ChannelService service;
  Helper consumer;
  CosNotifyChannelAdmin::EventChannel_var channel;
  CosNotifyChannelAdmin::StructuredProxyPushConsumer_var proxy;
  long batch;
  long pushed = 0;
  std::vector<double> rounds;  // events per second, one per Round()

  Pipeline(testing::ChannelService::Options options, long batch)
      : service(std::move(options)), batch(batch) {}

  // The consumer reports every report events.
  bool Start(CORBA::ORB_ptr orb, long report) {
    if (!service.Start() || !consumer.Start(report, service.address())) return false;
    CORBA::Object_var object = orb->string_to_object(service.address().c_str());
    channel = CosNotifyChannelAdmin::EventChannel::_narrow(object.in());
    proxy = NewProxy();
    return true;
  }

  // A connected supplier proxy of the default admin, for a nil supplier.
  CosNotifyChannelAdmin::StructuredProxyPushConsumer_ptr NewProxy() {
    CosNotifyChannelAdmin::SupplierAdmin_var admin = channel->default_supplier_admin();
    CosNotifyChannelAdmin::ProxyID id;
    CosNotifyChannelAdmin::ProxyConsumer_var any =
        admin->obtain_notification_push_consumer(CosNotifyChannelAdmin::STRUCTURED_EVENT, id);
    auto structured = CosNotifyChannelAdmin::StructuredProxyPushConsumer::_narrow(any.in());
    structured->connect_structured_push_supplier(CosNotifyComm::StructuredPushSupplier::_nil());
    return structured;
  }

  // Pushes a batch and waits for the consumer to have it; events per
  // second, or 0 if they did not all arrive.
  double Round() {
    using Clock = std::chrono::steady_clock;
    const CosNotification::StructuredEvent event = BenchEvent();
    Clock::time_point started = Clock::now();
    for (long i = 0; i < batch; ++i) proxy->push_structured_event(event);
    pushed += batch;
    if (!consumer.WaitForCount(pushed, 20000)) return 0;
    double rate = batch / std::chrono::duration<double>(Clock::now() - started).count();
    rounds.push_back(rate);
    return rate;
  }
};

// Runs a warm-up round on each pipeline, then rounds of each in turn, so
// that both see the same machine, and prints their rates and the ratio
// of the second's to the first's. False if a round lost events.
inline bool ComparePipelines(Pipeline& base, const char* baseLabel, Pipeline& other,
                             const char* otherLabel, const char* ratioLabel, int rounds) {
  base.Round();
  other.Round();
  base.rounds.clear();
  other.rounds.clear();
  for (int round = 0; round < rounds; ++round) {
    base.Round();
    other.Round();
  }
  std::printf("delivered events per second (median of %d rounds of %ld)\n", rounds, base.batch);
  std::printf("  %-38s %10.0f\n", baseLabel, Median(base.rounds));
  std::printf("  %-38s %10.0f\n", otherLabel, Median(other.rounds));
  double overallBase = 0, overallOther = 0;
  for (double rate : base.rounds) overallBase += rate / rounds;
  for (double rate : other.rounds) overallOther += rate / rounds;
  PrintPairedRatio(ratioLabel, overallOther, overallBase, other.rounds, base.rounds);
  return static_cast<int>(base.rounds.size()) == rounds &&
         static_cast<int>(other.rounds.size()) == rounds;
}

}  // namespace bench
}  // namespace kestrel

#endif  // KESTREL_BENCH_COMMON_PIPELINE_H_
