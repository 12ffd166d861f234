// state_dir_bench: what kestrel-channeld's state directory costs.
//
//   1. The delivery rate through a service with a state directory (events
//      best-effort) against one without, in alternating rounds, so that both
//      see the same machine: one supplier pushing two-way, one consumer in a
//      helper process, timed until the consumer has every event.
//   2. EventReliability Persistent: the rate with 1 supplier and with 50
//      suppliers pushing at once (threads of this process, a proxy each),
//      and the syncs that the service made for them (its counters).
//   3. A restart under a large topology: 500 connected suppliers (each with
//      a reference of its own) and 10 consumers (helper processes); the time
//      from the start of the restarted service until it serves, until every
//      consumer has an event pushed through an old proxy, and its memory.
//
// The helper processes are this program run with --consumer-helper.

#include <COS/CosNotifyChannelAdmin.hh>
#include <COS/CosNotifyComm.hh>

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "bench/common/channel_helpers.h"
#include "bench/common/figures.h"
#include "bench/common/pipeline.h"
#include "tests/support/channel_service.h"

namespace {

using Clock = std::chrono::steady_clock;
using kestrel::bench::BenchEvent;
using kestrel::bench::Helper;
using kestrel::bench::Median;
using kestrel::bench::Pipeline;
using kestrel::bench::ResidentKilobytes;
using kestrel::testing::ChannelService;

constexpr long kBatch = 2000;
constexpr int kRounds = 8;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string MakeFolder() {
  char path[] = "/tmp/kestrel-state-bench-XXXXXX";
  return ::mkdtemp(path) != nullptr ? path : "";
}

std::string ReadText(const std::string& path) {
  std::ifstream file(path);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// "event log: appended N events, S syncs": S, after SIGUSR1.
long Syncs(Pipeline& pipeline, const std::string& errorFile) {
  std::size_t before = ReadText(errorFile).size();
  ::kill(pipeline.service.pid(), SIGUSR1);
  std::string text;
  for (int i = 0; i < 100 && text.size() <= before; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    text = ReadText(errorFile);
  }
  long syncs = -1;
  std::regex counter("(\\d+) syncs");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), counter);
       it != std::sregex_iterator(); ++it) {
    syncs = std::stol((*it)[1]);
  }
  return syncs;
}

ChannelService::Options StateOptions(const std::string& folder, bool persistent) {
  ChannelService::Options options;
  options.extraArguments = {"--state-dir", folder + "/state"};
  if (persistent) options.extraArguments.insert(options.extraArguments.end(),
                                                {"--event-reliability", "persistent"});
  options.errorFile = folder + "/stderr";
  return options;
}

bool CompareRates(CORBA::ORB_ptr orb, const std::string& folder) {
  Pipeline without{ChannelService::Options(), kBatch};
  Pipeline with{StateOptions(folder, false), kBatch};
  if (!without.Start(orb, kBatch) || !with.Start(orb, kBatch)) return false;
  return kestrel::bench::ComparePipelines(without, "without a state directory", with,
                                          "with a state directory, best-effort",
                                          "state directory / none", kRounds);
}

bool PersistentRates(CORBA::ORB_ptr orb, const std::string& folder) {
  Pipeline persistent{StateOptions(folder, true), kBatch};
  if (!persistent.Start(orb, 100)) return false;
  persistent.Round();  // warm-up
  std::string errors = folder + "/stderr";
  long syncsBefore = Syncs(persistent, errors);
  Clock::time_point started = Clock::now();
  persistent.Round();
  double oneRate = kBatch / SecondsSince(started);
  long oneSyncs = Syncs(persistent, errors) - syncsBefore;

  constexpr int kSuppliers = 50;
  constexpr long kEach = 200;
  std::vector<CosNotifyChannelAdmin::StructuredProxyPushConsumer_var> proxies;
  for (int i = 0; i < kSuppliers; ++i) proxies.push_back(persistent.NewProxy());
  syncsBefore = Syncs(persistent, errors);
  const CosNotification::StructuredEvent event = BenchEvent();
  started = Clock::now();
  std::vector<std::thread> threads;
  for (auto& proxy : proxies) {
    threads.emplace_back([&proxy, &event] {
      for (long i = 0; i < kEach; ++i) proxy->push_structured_event(event);
    });
  }
  for (auto& thread : threads) thread.join();
  persistent.pushed += kSuppliers * kEach;
  bool all = persistent.consumer.WaitForCount(persistent.pushed, 30000);
  double manyRate = kSuppliers * kEach / SecondsSince(started);
  long manySyncs = Syncs(persistent, errors) - syncsBefore;
  std::printf("\nEventReliability Persistent, delivered events per second\n");
  std::printf("  1 supplier                             %10.0f  (%ld events, %ld syncs)\n",
              oneRate, kBatch, oneSyncs);
  std::printf("  %d suppliers at once                   %10.0f  (%ld events, %ld syncs)%s\n",
              kSuppliers, manyRate, kSuppliers * kEach, manySyncs,
              all ? "" : "  NOT ALL DELIVERED");
  return all;
}

class QuietSupplier : public POA_CosNotifyComm::StructuredPushSupplier {
 public:
  void disconnect_structured_push_supplier() override {}
  void subscription_change(const CosNotification::EventTypeSeq&,
                           const CosNotification::EventTypeSeq&) override {}
};

bool RestartUnderLoad(CORBA::ORB_ptr orb, const std::string& folder) {
  constexpr int kSuppliers = 500;
  constexpr int kConsumers = 10;
  ChannelService::Options options = StateOptions(folder, false);
  Pipeline pipeline{options, kBatch};
  if (!pipeline.Start(orb, 1)) return false;
  std::vector<std::unique_ptr<Helper>> consumers;
  for (int i = 1; i < kConsumers; ++i) {
    consumers.emplace_back(new Helper);
    if (!consumers.back()->Start(1, pipeline.service.address())) return false;
  }
  CORBA::Object_var rootObject = orb->resolve_initial_references("RootPOA");
  PortableServer::POA_var poa = PortableServer::POA::_narrow(rootObject.in());
  std::vector<PortableServer::Servant_var<QuietSupplier>> servants;
  std::vector<CosNotifyChannelAdmin::StructuredProxyPushConsumer_var> proxies;
  CosNotifyChannelAdmin::SupplierAdmin_var admin = pipeline.channel->default_supplier_admin();
  for (int i = 0; i < kSuppliers; ++i) {
    servants.emplace_back(new QuietSupplier);
    PortableServer::ObjectId_var id = poa->activate_object(servants.back().in());
    CORBA::Object_var reference = poa->id_to_reference(id.in());
    auto supplier = CosNotifyComm::StructuredPushSupplier::_narrow(reference.in());
    CosNotifyChannelAdmin::ProxyID proxyId;
    CosNotifyChannelAdmin::ProxyConsumer_var any =
        admin->obtain_notification_push_consumer(CosNotifyChannelAdmin::STRUCTURED_EVENT, proxyId);
    proxies.push_back(CosNotifyChannelAdmin::StructuredProxyPushConsumer::_narrow(any.in()));
    proxies.back()->connect_structured_push_supplier(supplier);
    CORBA::release(supplier);
  }
  long before = ResidentKilobytes(pipeline.service.pid());
  long stateBytes = static_cast<long>(ReadText(folder + "/state/topology").size());
  pipeline.service.Stop(SIGTERM);
  Clock::time_point started = Clock::now();
  if (!pipeline.service.Start()) return false;
  double serving = SecondsSince(started);
  long after = ResidentKilobytes(pipeline.service.pid());
  const CosNotification::StructuredEvent event = BenchEvent();
  proxies.back()->push_structured_event(event);
  bool all = pipeline.consumer.WaitForCount(1, 10000);
  for (auto& consumer : consumers) all = consumer->WaitForCount(1, 10000) && all;
  double delivered = SecondsSince(started);
  std::printf("\nrestart (SIGTERM) with %d connected suppliers and %d consumers\n", kSuppliers,
              kConsumers);
  std::printf("  topology file                          %10ld bytes\n", stateBytes);
  std::printf("  start until serving                    %10.3f s\n", serving);
  std::printf("  start until every consumer has an event%10.3f s%s\n", delivered,
              all ? "" : "  NOT ALL DELIVERED");
  std::printf("  memory before the restart              %10ld kB\n", before);
  std::printf("  memory after the restart               %10ld kB\n", after);
  for (auto& servant : servants) {
    PortableServer::ObjectId_var id = poa->servant_to_id(servant.in());
    poa->deactivate_object(id.in());
  }
  return all;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "--consumer-helper") == 0) {
    return kestrel::bench::RunConsumerHelper(std::atol(argv[2]), argc >= 4 ? argv[3] : nullptr);
  }
  CORBA::ORB_var orb = kestrel::bench::InitOrb();
  bool ok = false;
  try {
    ok = CompareRates(orb.in(), MakeFolder()) && PersistentRates(orb.in(), MakeFolder()) &&
         RestartUnderLoad(orb.in(), MakeFolder());
  } catch (const CORBA::Exception& e) {
    std::fprintf(stderr, "state_dir_bench: %s\n", e._name());
  }
  orb->destroy();
  return ok ? 0 : 1;
}
