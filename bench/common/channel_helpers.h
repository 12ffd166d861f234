// What the channel benchmarks share: an event shaped like Kestrel's, the
// process's ORB, and the helper process that connects a counting consumer to
// a channel (the benchmark program itself, run with --consumer-helper).

#ifndef KESTREL_BENCH_COMMON_CHANNEL_HELPERS_H_
#define KESTREL_BENCH_COMMON_CHANNEL_HELPERS_H_

#include <COS/CosNotifyChannelAdmin.hh>
#include <COS/CosNotifyComm.hh>
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench/common/counting_consumer.h"
#include "bench/common/helper_process.h"

namespace kestrel {
namespace bench {

// An event shaped like Kestrel's: header, three filterable fields, a body.
inline CosNotification::StructuredEvent BenchEvent() {
  CosNotification::StructuredEvent event;
  event.header.fixed_header.event_type.domain_name = "Kestrel";
  event.header.fixed_header.event_type.type_name = "Notification";
  event.header.fixed_header.event_name = "bench";
  event.filterable_data.length(3);
  event.filterable_data[0].name = "Module";
  event.filterable_data[0].value <<= "channeld_bench";
  event.filterable_data[1].name = "Severity";
  event.filterable_data[1].value <<= static_cast<CORBA::ULong>(2);
  event.filterable_data[2].name = "MessageCode";
  event.filterable_data[2].value <<= static_cast<CORBA::ULong>(4711);
  event.remainder_of_body <<= "A description of about the length that Kestrel events carry.";
  return event;
}

inline CORBA::ORB_var InitOrb() {
  int argc = 0;
  CORBA::ORB_var orb = CORBA::ORB_init(argc, nullptr);
  CORBA::Object_var root = orb->resolve_initial_references("RootPOA");
  PortableServer::POA_var poa = PortableServer::POA::_narrow(root.in());
  PortableServer::POAManager_var manager = poa->the_POAManager();
  manager->activate();
  return orb;
}

// --consumer-helper REPORT [CHANNEL [PROXIES]]: prints the consumer's IOR
// (and, with a channel, connects it there first, through PROXIES proxies,
// default 1), then serves until killed. SIGUSR1 makes it write its count
// at once (see HelperProcess::CountNow).
inline int RunConsumerHelper(long report, const char* channelAddress, long proxies = 1) {
  // Blocked before the ORB starts its threads, which inherit the mask, so
  // that only the thread below ever takes the signal.
  sigset_t askCount;
  sigemptyset(&askCount);
  sigaddset(&askCount, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &askCount, nullptr);
  CORBA::ORB_var orb = InitOrb();
  CORBA::Object_var root = orb->resolve_initial_references("RootPOA");
  PortableServer::POA_var poa = PortableServer::POA::_narrow(root.in());
  // Lives until the process is killed, as does the thread that reads it.
  PortableServer::Servant_var<CountingConsumer> servant = new CountingConsumer(report);
  CountingConsumer* counted = servant.in();
  std::thread([counted, askCount] {
    int signal = 0;
    while (sigwait(&askCount, &signal) == 0) counted->WriteCountNow();
  }).detach();
  PortableServer::ObjectId_var id = poa->activate_object(servant.in());
  CORBA::Object_var reference = poa->id_to_reference(id.in());
  CosNotifyComm::StructuredPushConsumer_var consumer =
      CosNotifyComm::StructuredPushConsumer::_narrow(reference.in());
  if (channelAddress != nullptr) {
    CORBA::Object_var object = orb->string_to_object(channelAddress);
    CosNotifyChannelAdmin::EventChannel_var channel =
        CosNotifyChannelAdmin::EventChannel::_narrow(object.in());
    CosNotifyChannelAdmin::ConsumerAdmin_var admin = channel->default_consumer_admin();
    for (long i = 0; i < proxies; ++i) {
      CosNotifyChannelAdmin::ProxyID proxyId;
      CosNotifyChannelAdmin::ProxySupplier_var proxy = admin->obtain_notification_push_supplier(
          CosNotifyChannelAdmin::STRUCTURED_EVENT, proxyId);
      CosNotifyChannelAdmin::StructuredProxyPushSupplier_var structured =
          CosNotifyChannelAdmin::StructuredProxyPushSupplier::_narrow(proxy.in());
      structured->connect_structured_push_consumer(consumer.in());
    }
  }
  CORBA::String_var ior = orb->object_to_string(consumer.in());
  std::printf("%s\n", ior.in());
  std::fflush(stdout);
  orb->run();
  return 0;
}

class Helper {
 public:
  // Runs this program with --consumer-helper and reads its IOR line.
  bool Start(long report, const std::string& channelAddress, long proxies = 1,
             int readyTimeoutMs = 10000) {
    std::vector<std::string> arguments = {"/proc/self/exe", "--consumer-helper",
                                          std::to_string(report)};
    if (!channelAddress.empty()) {
      arguments.insert(arguments.end(), {channelAddress, std::to_string(proxies)});
    }
    return process_.Start(arguments, &ior_, readyTimeoutMs);
  }
  bool WaitForCount(long count, int timeoutMs) { return process_.WaitForCount(count, timeoutMs); }
  long reported() const { return process_.reported(); }
  long CountNow(int timeoutMs) { return process_.CountNow(timeoutMs); }
  const std::string& ior() const { return ior_; }

 private:
  HelperProcess process_;
  std::string ior_;
};

}  // namespace bench
}  // namespace kestrel

#endif  // KESTREL_BENCH_COMMON_CHANNEL_HELPERS_H_
