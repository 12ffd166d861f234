// open_network_bench: what kestrel-channeld's bounds for an open network
// cost, and what its clients cost it.
//
//   1. The delivery rate with a long --allow list (50 networks, loopback
//      last) against --allow 0.0.0.0/0, in alternating rounds, so that both
//      see the same machine: one supplier pushing two-way, one consumer in a
//      helper process.
//   2. The service's memory, threads and descriptors with 10,000 connected
//      suppliers (this process) and 10,000 connected consumers (4 helper
//      processes of 2,500 proxies each), and the time one event takes to
//      reach all 10,000.
//   3. 10,000 proxies obtained and never connected: memory before, while
//      held, and after they are reclaimed (--connect-timeout 5).
//   4. 1,000 connections that send nothing: threads and memory while they
//      are open, and how long until they are closed (--idle-timeout 5) and
//      their threads have ended.
//
// Arguments (allow, clients, abandoned, idle) run those parts only.
// The helper processes are this program run with --consumer-helper.

#include <COS/CosNotifyChannelAdmin.hh>
#include <COS/CosNotifyComm.hh>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

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
using kestrel::bench::OpenFilesOf;
using kestrel::bench::Pipeline;
using kestrel::bench::ResidentKilobytes;
using kestrel::bench::ThreadsOf;
using kestrel::testing::ChannelService;

constexpr long kBatch = 2000;
constexpr int kRounds = 8;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void PrintProcess(const char* label, pid_t pid) {
  std::printf("  %-38s %8ld kB %7ld threads %7ld descriptors\n", label, ResidentKilobytes(pid),
              ThreadsOf(pid), OpenFilesOf(pid));
}

// Enough descriptors for this process's side of the connections.
void RaiseOpenFileLimit() {
  rlimit files;
  if (::getrlimit(RLIMIT_NOFILE, &files) != 0) return;
  files.rlim_cur = files.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &files);
}

bool CompareAllowRules(CORBA::ORB_ptr orb) {
  ChannelService::Options open;
  open.extraArguments = {"--allow", "0.0.0.0/0"};
  ChannelService::Options listed;
  for (int i = 0; i < 49; ++i) {
    listed.extraArguments.insert(listed.extraArguments.end(),
                                 {"--allow", "10." + std::to_string(i) + ".0.0/16"});
  }
  listed.extraArguments.insert(listed.extraArguments.end(), {"--allow", "127.0.0.0/8"});
  Pipeline without{open, kBatch};
  Pipeline with{listed, kBatch};
  if (!without.Start(orb, kBatch) || !with.Start(orb, kBatch)) return false;
  return kestrel::bench::ComparePipelines(without, "--allow 0.0.0.0/0", with,
                                          "50 --allow networks, loopback last",
                                          "50 rules / one", kRounds);
}

CosNotifyChannelAdmin::EventChannel_ptr ChannelOf(CORBA::ORB_ptr orb,
                                                 const ChannelService& service) {
  CORBA::Object_var object = orb->string_to_object(service.address().c_str());
  return CosNotifyChannelAdmin::EventChannel::_narrow(object.in());
}

bool ManyConnectedClients(CORBA::ORB_ptr orb) {
  constexpr long kSuppliers = 10000;
  constexpr int kHelpers = 4;
  constexpr long kConsumersEach = 2500;
  ChannelService service;
  if (!service.Start()) return false;
  std::printf("\n10,000 connected suppliers and 10,000 connected consumers\n");
  PrintProcess("started", service.pid());
  CosNotifyChannelAdmin::EventChannel_var channel = ChannelOf(orb, service);
  Clock::time_point started = Clock::now();
  std::vector<std::unique_ptr<Helper>> consumers;
  for (int i = 0; i < kHelpers; ++i) {
    consumers.emplace_back(new Helper);
  }
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
  double consumersConnected = SecondsSince(started);
  PrintProcess("with 10,000 consumers", service.pid());
  CosNotifyChannelAdmin::SupplierAdmin_var admin = channel->default_supplier_admin();
  std::vector<CosNotifyChannelAdmin::StructuredProxyPushConsumer_var> proxies;
  started = Clock::now();
  for (long i = 0; i < kSuppliers; ++i) {
    CosNotifyChannelAdmin::ProxyID id;
    CosNotifyChannelAdmin::ProxyConsumer_var any =
        admin->obtain_notification_push_consumer(CosNotifyChannelAdmin::STRUCTURED_EVENT, id);
    proxies.push_back(CosNotifyChannelAdmin::StructuredProxyPushConsumer::_narrow(any.in()));
    proxies.back()->connect_structured_push_supplier(
        CosNotifyComm::StructuredPushSupplier::_nil());
  }
  double suppliersConnected = SecondsSince(started);
  PrintProcess("and 10,000 suppliers", service.pid());
  started = Clock::now();
  proxies.front()->push_structured_event(kestrel::bench::BenchEvent());
  bool all = true;
  for (auto& consumer : consumers) all = consumer->WaitForCount(kConsumersEach, 60000) && all;
  double fannedOut = SecondsSince(started);
  PrintProcess("after one event to every consumer", service.pid());
  std::printf("  connecting the consumers               %10.2f s\n", consumersConnected);
  std::printf("  connecting the suppliers               %10.2f s\n", suppliersConnected);
  std::printf("  one event to 10,000 consumers          %10.3f s%s\n", fannedOut,
              all ? "" : "  NOT ALL DELIVERED");
  service.Stop();
  return all;
}

bool AbandonedProxies(CORBA::ORB_ptr orb) {
  constexpr long kProxies = 10000;
  ChannelService::Options options;
  options.extraArguments = {"--max-unconnected", "0", "--connect-timeout", "5"};
  ChannelService service(options);
  if (!service.Start()) return false;
  std::printf("\n10,000 proxies obtained and never connected (--connect-timeout 5)\n");
  CosNotifyChannelAdmin::EventChannel_var channel = ChannelOf(orb, service);
  CosNotifyChannelAdmin::ConsumerAdmin_var admin = channel->default_consumer_admin();
  PrintProcess("started", service.pid());
  for (long i = 0; i < kProxies; ++i) {
    CosNotifyChannelAdmin::ProxyID id;
    CosNotifyChannelAdmin::ProxySupplier_var proxy =
        admin->obtain_notification_push_supplier(CosNotifyChannelAdmin::STRUCTURED_EVENT, id);
  }
  PrintProcess("holding them", service.pid());
  Clock::time_point deadline = Clock::now() + std::chrono::seconds(60);
  CosNotifyChannelAdmin::ProxyIDSeq_var left = admin->push_suppliers();
  while (left->length() > 0 && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    left = admin->push_suppliers();
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  PrintProcess("once reclaimed", service.pid());
  service.Stop();
  return left->length() == 0;
}

bool IdleConnections() {
  constexpr int kConnections = 1000;
  ChannelService::Options options;
  options.extraArguments = {"--idle-timeout", "5"};
  ChannelService service(options);
  if (!service.Start()) return false;
  std::printf("\n1,000 connections that send nothing (--idle-timeout 5)\n");
  PrintProcess("started", service.pid());
  const long threadsBefore = ThreadsOf(service.pid());
  std::vector<int> sockets;
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(service.port()));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  Clock::time_point opened = Clock::now();
  for (int i = 0; i < kConnections; ++i) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) break;
    sockets.push_back(fd);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) break;
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  PrintProcess("while they are open", service.pid());
  double closedAfter = -1;
  double threadsGoneAfter = -1;
  Clock::time_point deadline = opened + std::chrono::seconds(60);
  while ((closedAfter < 0 || threadsGoneAfter < 0) && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (closedAfter < 0 && OpenFilesOf(service.pid()) < kConnections / 10) {
      closedAfter = SecondsSince(opened);
    }
    if (threadsGoneAfter < 0 && ThreadsOf(service.pid()) <= threadsBefore + 5) {
      threadsGoneAfter = SecondsSince(opened);
    }
  }
  PrintProcess("after", service.pid());
  std::printf("  closed by the service after            %10.1f s\n", closedAfter);
  std::printf("  their threads ended after              %10.1f s\n", threadsGoneAfter);
  for (int fd : sockets) ::close(fd);
  service.Stop();
  return closedAfter > 0 && threadsGoneAfter > 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "--consumer-helper") == 0) {
    return kestrel::bench::RunConsumerHelper(std::atol(argv[2]), argc >= 4 ? argv[3] : nullptr,
                                             argc >= 5 ? std::atol(argv[4]) : 1);
  }
  RaiseOpenFileLimit();
  CORBA::ORB_var orb = kestrel::bench::InitOrb();
  bool ok = false;
  // open_network_bench [allow|clients|abandoned|idle]...: those parts only.
  auto wanted = [argc, argv](const char* part) {
    if (argc < 2) return true;
    for (int i = 1; i < argc; ++i) {
      if (std::strcmp(argv[i], part) == 0) return true;
    }
    return false;
  };
  try {
    ok = (!wanted("allow") || CompareAllowRules(orb.in())) &&
         (!wanted("clients") || ManyConnectedClients(orb.in())) &&
         (!wanted("abandoned") || AbandonedProxies(orb.in())) &&
         (!wanted("idle") || IdleConnections());
  } catch (const CORBA::Exception& e) {
    std::fprintf(stderr, "open_network_bench: %s\n", e._name());
  }
  orb->destroy();
  return ok ? 0 : 1;
}
