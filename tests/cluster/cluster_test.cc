// kestrel-channeld as a cluster, end to end: real nats-server processes and
// instances of the service on loopback, plain omniORB suppliers and
// consumers. Each case catches a class of faults: an event that does not
// cross instances, an accepted event lost to a server's or an instance's
// death, a consumer left behind by its instance's death, two instances
// delivering to one consumer, a stream reconfigured behind its owner's
// back, a service that cannot start without NATS.

#include <gtest/gtest.h>
#include <httplib.h>
#include <nats/nats.h>
#include <signal.h>
#include <omniORB4/CORBA.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/channeld/channel_clients.h"
#include "tests/support/channel_service.h"
#include "tests/support/nats_cluster.h"
#include "tests/tools/tool_process.h"

namespace kestrel {
namespace testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = std::chrono::steady_clock;

constexpr const char* kChannel = "NotifyEventChannel";
constexpr const char* kStream = "kestrel-NotifyEventChannel";

// One instance of the cluster, with its metrics endpoint for /health. Its
// ports are chosen at once, so that others can advertise it before it runs.
struct Instance {
  Instance(const std::string& name, const NatsCluster& nats, int replicas)
      : port(UnusedPort()),
        metricsPort(UnusedPort()),
        errorFile(::testing::TempDir() +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name() + "-" + name +
                  ".err") {
    arguments = {"--cluster", nats.urls(), "--instance", name, "--stream-replicas",
                 std::to_string(replicas), "--stream-max-bytes", "1048576",
                 "--metrics", "127.0.0.1:" + std::to_string(metricsPort)};
  }

  ~Instance() {
    service.reset();
    std::remove(errorFile.c_str());
  }

  // Starts it with extra arguments after the cluster's, serving channels
  // (the default channel when none).
  bool Start(const std::vector<std::string>& extra = {},
             const std::vector<std::string>& channels = {}) {
    ChannelService::Options options;
    options.channels = channels;
    options.port = port;
    options.errorFile = errorFile;
    options.extraArguments = arguments;
    options.extraArguments.insert(options.extraArguments.end(), extra.begin(), extra.end());
    service.reset(new ChannelService(options));
    return service->Start();
  }

  // What /health answers: its status, or -1 when nothing answers.
  int Health() const {
    httplib::Client client("127.0.0.1", metricsPort);
    auto answer = client.Get("/health");
    return answer ? answer->status : -1;
  }

  bool WaitHealthy(seconds limit) const {
    for (auto end = Clock::now() + limit; Clock::now() < end;) {
      if (Health() == 200) return true;
      std::this_thread::sleep_for(milliseconds(50));
    }
    return false;
  }

  std::string Errors() const {
    std::ifstream in(errorFile);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  std::vector<std::string> Advertise() const {
    return {"--advertise", "127.0.0.1:" + std::to_string(port)};
  }

  // One sample of its /metrics, by name and labels after the service's
  // prefix; -1 when it has none.
  double Metric(const std::string& sample) const {
    httplib::Client client("127.0.0.1", metricsPort);
    auto answer = client.Get("/metrics");
    if (!answer) return -1;
    const std::string name = "kestrel_channeld_" + sample + " ";
    std::istringstream lines(answer->body);
    for (std::string line; std::getline(lines, line);) {
      if (line.compare(0, name.size(), name) == 0) return std::stod(line.substr(name.size()));
    }
    return -1;
  }

  const int port;
  const int metricsPort;
  const std::string errorFile;
  std::vector<std::string> arguments;
  std::unique_ptr<ChannelService> service;
};

// The address of channel key at instance's port.
std::string Service(const Instance& instance, const std::string& key) {
  return "corbaloc:iiop:127.0.0.1:" + std::to_string(instance.port) + "/" + key;
}

// Waits until consumer holds every sequence in wanted; answers the ones
// still missing.
std::set<unsigned long> Missing(const RecordingConsumer& consumer,
                                const std::set<unsigned long>& wanted, seconds limit) {
  std::set<unsigned long> missing = wanted;
  for (auto end = Clock::now() + limit; Clock::now() < end; std::this_thread::sleep_for(milliseconds(50))) {
    missing = wanted;
    for (unsigned long sequence : Sequences(consumer)) missing.erase(sequence);
    if (missing.empty()) break;
  }
  return missing;
}

// True once the service at address serves a channel at key, within limit.
bool WaitForChannel(const TestOrb& orb, const std::string& address, seconds limit) {
  for (auto end = Clock::now() + limit; Clock::now() < end;) {
    try {
      CosNotifyChannelAdmin::EventChannel_var channel = orb.Channel(address);
      if (!channel->_non_existent()) return true;
    } catch (const CORBA::Exception&) {
    }
    std::this_thread::sleep_for(milliseconds(100));
  }
  return false;
}

TEST(ChanneldCluster, AnEventPushedOnOneInstanceReachesTheConsumersOfEvery) {
  NatsCluster nats(NatsCluster::Options{1});
  ASSERT_TRUE(nats.Start());
  Instance a("a", nats, 1), b("b", nats, 1);
  // b is given one channel of a's two: it serves the other as the cluster has it.
  ASSERT_TRUE(a.Start({}, {kChannel, "Second"})) << a.Errors();
  ASSERT_TRUE(b.Start({}, {kChannel})) << b.Errors();
  ASSERT_TRUE(a.WaitHealthy(seconds(20))) << a.Errors();
  ASSERT_TRUE(b.WaitHealthy(seconds(20))) << b.Errors();

  TestOrb orb;
  CosNotifyChannelAdmin::EventChannel_var onA = orb.Channel(a.service->address());
  CosNotifyChannelAdmin::EventChannel_var onB = orb.Channel(b.service->address());
  // Each proxy keeps its own subscriptions, whichever instance delivers to
  // it: b's second consumer wants another type and must get none of these.
  ConnectedConsumer local = ConnectConsumer(orb, onA.in());
  ConnectedConsumer remote = ConnectConsumer(orb, onB.in());
  ConnectedConsumer other = ConnectConsumer(orb, onB.in(), EventTypes({{"Kestrel", "Other"}}));
  ConnectedSupplier supplier = ConnectSupplier(orb, onA.in());
  PushEvents(supplier.proxy.in(), "s", 0, 200);

  ASSERT_TRUE(remote.servant->WaitForEvents(200, milliseconds(20000))) << b.Errors();
  ASSERT_TRUE(local.servant->WaitForEvents(200, milliseconds(20000))) << a.Errors();
  EXPECT_EQ(Range(0, 200), Sequences(*remote.servant));  // once each, in the order pushed
  EXPECT_EQ(Range(0, 200), Sequences(*local.servant));
  std::vector<TestEvent> events = remote.servant->events();
  EXPECT_EQ("Kestrel", events.front().domain);
  EXPECT_EQ("Tick", events.front().type);
  EXPECT_EQ(0u, other.servant->count());

  // The second channel's events stay on it, and reach b's consumers of it.
  const std::string secondOnB = Service(b, "Second");
  ASSERT_TRUE(WaitForChannel(orb, secondOnB, seconds(20))) << b.Errors();
  CosNotifyChannelAdmin::EventChannel_var second = orb.Channel(secondOnB);
  ConnectedConsumer secondConsumer = ConnectConsumer(orb, second.in());
  CosNotifyChannelAdmin::EventChannel_var secondOnA = orb.Channel(a.service->address(1));
  ConnectedSupplier secondSupplier = ConnectSupplier(orb, secondOnA.in());
  PushEvents(secondSupplier.proxy.in(), "t", 0, 5);
  ASSERT_TRUE(secondConsumer.servant->WaitForEvents(5, milliseconds(20000))) << b.Errors();
  EXPECT_EQ(Range(0, 5), Sequences(*secondConsumer.servant));
  EXPECT_EQ(200u, remote.servant->count());

  EXPECT_EQ(0, a.service->Stop());
  EXPECT_EQ(0, b.service->Stop());
}

// A plain supplier that pushes numbered events one at a time, as a Kestrel
// supplier does, and keeps count of those the channel accepted (the push
// returned). After a failure it obtains a new proxy through channel, whose
// reference names every instance.
class CountingSupplier {
 public:
  CountingSupplier(const TestOrb& orb, CosNotifyChannelAdmin::EventChannel_ptr channel)
      : orb_(orb), channel_(CosNotifyChannelAdmin::EventChannel::_duplicate(channel)) {}

  // Pushes sequence; true when it was accepted.
  bool Push(unsigned long sequence) {
    try {
      if (!connected_) {
        supplier_ = ConnectSupplier(orb_, channel_.in());
        omniORB::setClientCallTimeout(supplier_.proxy.in(), 15000);
        connected_ = true;
      }
      PushEvents(supplier_.proxy.in(), "s", sequence, sequence + 1);
      accepted_.insert(sequence);
      acceptedInOrder_.push_back(sequence);
      return true;
    } catch (const CORBA::TIMEOUT&) {
      // Completed maybe: it may arrive, it need not.
    } catch (const CORBA::Exception&) {
      connected_ = false;
      std::this_thread::sleep_for(milliseconds(100));
    }
    ++failed_;
    return false;
  }

  const std::set<unsigned long>& accepted() const { return accepted_; }
  const std::vector<unsigned long>& acceptedInOrder() const { return acceptedInOrder_; }
  int failed() const { return failed_; }

 private:
  const TestOrb& orb_;
  CosNotifyChannelAdmin::EventChannel_var channel_;
  ConnectedSupplier supplier_;
  bool connected_ = false;
  std::set<unsigned long> accepted_;
  std::vector<unsigned long> acceptedInOrder_;
  int failed_ = 0;
};

std::vector<std::string> Joined(std::vector<std::string> first, const std::vector<std::string>& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

TEST(ChanneldCluster, NothingAcceptedIsLostWhenTheStreamLeaderOrTheSuppliersInstanceIsKilled) {
  NatsCluster nats;  // three servers
  ASSERT_TRUE(nats.Start());
  Instance a("a", nats, 3), b("b", nats, 3);
  // Each advertises itself first, where its own proxies live, then the other.
  ASSERT_TRUE(a.Start(Joined(Joined(a.Advertise(), b.Advertise()), {"--accept-timeout", "4000"})))
      << a.Errors();
  ASSERT_TRUE(b.Start(Joined(b.Advertise(), a.Advertise()))) << b.Errors();
  ASSERT_TRUE(a.WaitHealthy(seconds(30))) << a.Errors();
  ASSERT_TRUE(b.WaitHealthy(seconds(30))) << b.Errors();

  TestOrb orb;
  CosNotifyChannelAdmin::EventChannel_var onB = orb.Channel(b.service->address());
  ConnectedConsumer consumer = ConnectConsumer(orb, onB.in());
  // The channel as a handed it out: a's address, then b's as an alternate.
  CosNotifyChannelAdmin::EventChannel_var viaA = orb.Channel(a.service->address());
  CosNotifyChannelAdmin::SupplierAdmin_var admin = viaA->default_supplier_admin();
  CosNotifyChannelAdmin::EventChannel_var handedOut = admin->MyChannel();
  CountingSupplier supplier(orb, handedOut.in());

  unsigned long next = 0;
  auto pushUntilAccepted = [&](std::size_t count) {
    for (auto end = Clock::now() + seconds(60); supplier.accepted().size() < count &&
                                                Clock::now() < end;) {
      supplier.Push(next++);
    }
    return supplier.accepted().size() >= count;
  };
  ASSERT_TRUE(pushUntilAccepted(100));
  int leader = nats.WaitForStreamLeader(kStream, 10000);
  ASSERT_GE(leader, 0);
  nats.Kill(static_cast<std::size_t>(leader), SIGKILL);
  ASSERT_TRUE(pushUntilAccepted(200)) << a.Errors();
  a.service->Stop(SIGKILL);
  ASSERT_TRUE(pushUntilAccepted(300)) << b.Errors();

  std::set<unsigned long> missing = Missing(*consumer.servant, supplier.accepted(), seconds(30));
  EXPECT_TRUE(missing.empty()) << missing.size() << " accepted events never arrived, the first "
                               << *missing.begin() << "; " << b.Errors();
  // Once the cluster is steady again, accepted events arrive in the order
  // accepted; others (a push that timed out may still have been stored)
  // and repeats may come between. Across the faults an event that the
  // stream handed out just as a server died comes again only after the
  // position's wait, after later ones.
  std::vector<unsigned long> steady(supplier.acceptedInOrder().end() - 100,
                                    supplier.acceptedInOrder().end());
  std::set<unsigned long> wanted(steady.begin(), steady.end()), seen;
  std::vector<unsigned long> firstSeen;
  for (unsigned long sequence : Sequences(*consumer.servant)) {
    if (wanted.count(sequence) != 0 && seen.insert(sequence).second) firstSeen.push_back(sequence);
  }
  EXPECT_EQ(steady, firstSeen);
  EXPECT_EQ(0, b.service->Stop());
}

// Two instances of one NATS server, each advertising itself and then the
// other, so that every reference names both; leases last lifetime.
struct Pair {
  explicit Pair(const std::string& lifetime = "5000")
      : nats(NatsCluster::Options{1}), a("a", nats, 1), b("b", nats, 1) {
    lease = {"--lease-lifetime", lifetime};
  }
  bool Start(Instance& instance, Instance& other) {
    return instance.Start(Joined(Joined(instance.Advertise(), other.Advertise()), lease)) &&
           instance.WaitHealthy(seconds(30));
  }
  bool Start() { return nats.Start() && Start(a, b) && Start(b, a); }

  NatsCluster nats;
  Instance a, b;
  std::vector<std::string> lease;
};

// Every sequence of wanted that consumer never received, once it has had
// limit to receive them; repeats are allowed.
std::string Lost(const RecordingConsumer& consumer, unsigned long from, unsigned long to,
                 seconds limit) {
  std::vector<unsigned long> range = Range(from, to);
  std::set<unsigned long> missing = Missing(consumer, {range.begin(), range.end()}, limit);
  std::string lost;
  for (unsigned long sequence : missing) lost += std::to_string(sequence) + " ";
  return lost;
}

CosNotifyFilter::ConstraintExpSeq PassOnly(const char* type) {
  CosNotifyFilter::ConstraintExpSeq constraints;
  constraints.length(1);
  constraints[0].event_types = EventTypes({{"Kestrel", type}});
  constraints[0].constraint_expr = "TRUE";
  return constraints;
}

TEST(ChanneldCluster, AConsumerWhoseInstanceIsKilledGetsEverythingThroughAnotherAsItWasSetUp) {
  Pair pair("2000");
  ASSERT_TRUE(pair.Start()) << pair.a.Errors() << pair.b.Errors();
  Instance& a = pair.a;
  Instance& b = pair.b;

  TestOrb orb;
  CosNotifyChannelAdmin::EventChannel_var onB = orb.Channel(b.service->address());
  ConnectedConsumer consumer = ConnectConsumer(orb, onB.in());
  // Set up on b: a filter that passes Tick only, and a QoS of its own.
  CosNotifyFilter::FilterFactory_var factory = onB->default_filter_factory();
  CosNotifyFilter::Filter_var filter = factory->create_filter("EXTENDED_TCL");
  CosNotifyFilter::ConstraintInfoSeq_var constraints = filter->add_constraints(PassOnly("Tick"));
  consumer.proxy->add_filter(filter.in());
  CosNotification::QoSProperties qos;
  qos.length(1);
  qos[0].name = CosNotification::MaxEventsPerConsumer;
  qos[0].value <<= static_cast<CORBA::Long>(500);
  consumer.proxy->set_qos(qos);

  CosNotifyChannelAdmin::EventChannel_var onA = orb.Channel(a.service->address());
  ConnectedSupplier supplier = ConnectSupplier(orb, onA.in());
  ConnectedSupplier supplierOnB = ConnectSupplier(orb, onB.in());
  PushEvents(supplier.proxy.in(), "s", 0, 10);
  PushEvents(supplier.proxy.in(), "s", 100, 105, "Kestrel", "Other");
  ASSERT_TRUE(consumer.servant->WaitForEvents(10, milliseconds(20000))) << b.Errors();
  // The instance that the consumer connected through delivers to it.
  EXPECT_EQ(1, b.Metric("cluster_leases_held"));
  EXPECT_EQ(0, a.Metric("cluster_leases_held"));

  // The consumer never calls: a goes on delivering once b's lease has run
  // out, from where b was.
  b.service->Stop(SIGKILL);
  const Clock::time_point killed = Clock::now();
  PushEvents(supplier.proxy.in(), "s", 10, 30);
  PushEvents(supplier.proxy.in(), "s", 105, 110, "Kestrel", "Other");
  // The supplier proxy that b handed out takes pushes on a: its first push
  // may still go out on the connection to b, which fails it.
  bool pushed = false;
  for (int attempt = 0; attempt < 3 && !pushed; ++attempt) {
    try {
      PushEvents(supplierOnB.proxy.in(), "s", 30, 31);
      pushed = true;
    } catch (const CORBA::COMM_FAILURE&) {
    }
  }
  ASSERT_TRUE(pushed);
  PushEvents(supplierOnB.proxy.in(), "s", 31, 35);
  EXPECT_EQ("", Lost(*consumer.servant, 0, 35, seconds(30))) << a.Errors();
  // The lease's lifetime and two seconds, with room for a loaded machine.
  EXPECT_LT(Clock::now() - killed, seconds(15));
  for (const TestEvent& event : consumer.servant->events()) EXPECT_EQ("Tick", event.type);

  // The reference that b handed out reaches the same proxy on a, as b set it
  // up. The first call may still go out on the connection to b, which
  // fails it (completed maybe) as it would fail any client's.
  CosNotification::QoSProperties_var got;
  for (int attempt = 0; attempt < 3 && !got.operator->(); ++attempt) {
    try {
      got = consumer.proxy->get_qos();
    } catch (const CORBA::COMM_FAILURE&) {
    }
  }
  ASSERT_TRUE(got.operator->() != nullptr);
  CORBA::Long most = 0;
  for (CORBA::ULong i = 0; i < got->length(); ++i) {
    if (std::string(got[i].name.in()) == CosNotification::MaxEventsPerConsumer) got[i].value >>= most;
  }
  EXPECT_EQ(500, most);
  CosNotifyFilter::FilterIDSeq_var filters = consumer.proxy->get_all_filters();
  EXPECT_EQ(1u, filters->length());
  EXPECT_EQ(1, a.Metric("cluster_leases_held"));
  EXPECT_GE(a.Metric("cluster_lease_takeovers_total"), 1);
  EXPECT_EQ(1, a.Metric("consumer_proxies{channel=\"NotifyEventChannel\"}"));
  EXPECT_EQ(0, a.service->Stop());
}

TEST(ChanneldCluster, AHolderPausedPastItsLeaseNeverDeliversBesideTheInstanceThatTookIt) {
  Pair pair("1500");
  ASSERT_TRUE(pair.Start()) << pair.a.Errors() << pair.b.Errors();
  Instance& a = pair.a;
  Instance& b = pair.b;
  TestOrb orb;
  CosNotifyChannelAdmin::EventChannel_var onB = orb.Channel(b.service->address());
  ConnectedConsumer consumer = ConnectConsumer(orb, onB.in());
  CosNotifyChannelAdmin::EventChannel_var onA = orb.Channel(a.service->address());
  ConnectedSupplier supplier = ConnectSupplier(orb, onA.in());
  PushEvents(supplier.proxy.in(), "s", 0, 10);
  ASSERT_TRUE(consumer.servant->WaitForEvents(10, milliseconds(20000))) << b.Errors();
  const std::string delivered = "proxy_events_delivered_total{channel=\"NotifyEventChannel\",proxy=\"0/" +
                                std::to_string(consumer.id) + "\"}";
  for (auto end = Clock::now() + seconds(10); b.Metric(delivered) < 10 && Clock::now() < end;) {
    std::this_thread::sleep_for(milliseconds(50));
  }
  ASSERT_EQ(10, b.Metric(delivered));

  ASSERT_EQ(0, ::kill(b.service->pid(), SIGSTOP));
  PushEvents(supplier.proxy.in(), "s", 10, 20);
  EXPECT_EQ("", Lost(*consumer.servant, 10, 20, seconds(30))) << a.Errors();
  ASSERT_EQ(0, ::kill(b.service->pid(), SIGCONT));
  PushEvents(supplier.proxy.in(), "s", 20, 40);
  EXPECT_EQ("", Lost(*consumer.servant, 20, 40, seconds(30))) << a.Errors() << b.Errors();
  std::this_thread::sleep_for(milliseconds(500));  // for anything b would still push

  // b, back, found its lease gone and delivered nothing more.
  EXPECT_EQ(10, b.Metric(delivered));
  EXPECT_EQ(0, b.Metric("cluster_leases_held"));
  EXPECT_EQ(1, a.Metric("cluster_leases_held"));
  std::vector<unsigned long> after;
  for (unsigned long sequence : Sequences(*consumer.servant)) {
    if (sequence >= 20) after.push_back(sequence);
  }
  // Once each, from a alone; one that b had fetched when it stopped comes
  // to a once its wait is over, after later ones.
  std::sort(after.begin(), after.end());
  EXPECT_EQ(Range(20, 40), after);
  EXPECT_EQ(0, a.service->Stop());
  EXPECT_EQ(0, b.service->Stop());
}

TEST(ChanneldCluster, StoppingInstancesHandsTheirConsumersOverAndAFullRestartKeepsEveryProxy) {
  Pair pair;
  ASSERT_TRUE(pair.Start()) << pair.a.Errors() << pair.b.Errors();
  Instance& a = pair.a;
  Instance& b = pair.b;
  TestOrb orb;
  CosNotifyChannelAdmin::EventChannel_var onB = orb.Channel(b.service->address());
  ConnectedConsumer consumer = ConnectConsumer(orb, onB.in());
  CosNotifyChannelAdmin::EventChannel_var onA = orb.Channel(a.service->address());
  ConnectedSupplier supplier = ConnectSupplier(orb, onA.in());
  PushEvents(supplier.proxy.in(), "s", 0, 10);
  ASSERT_TRUE(consumer.servant->WaitForEvents(10, milliseconds(20000))) << b.Errors();
  CosNotifyChannelAdmin::ConsumerAdmin_var admin = onA->default_consumer_admin();
  CosNotifyChannelAdmin::ProxyIDSeq_var before = admin->push_suppliers();

  // A planned stop hands b's consumer to a at once, without waiting for
  // the lease to run out.
  ASSERT_EQ(0, b.service->Stop());
  const Clock::time_point stopped = Clock::now();
  PushEvents(supplier.proxy.in(), "s", 10, 20);
  EXPECT_EQ("", Lost(*consumer.servant, 10, 20, seconds(30))) << a.Errors();
  EXPECT_LT(Clock::now() - stopped, seconds(4));

  // Every instance stops, and starts again: the same proxies, still
  // connected, reached by the references from before.
  ASSERT_EQ(0, a.service->Stop());
  ASSERT_TRUE(pair.Start(a, b)) << a.Errors();
  ASSERT_TRUE(pair.Start(b, a)) << b.Errors();
  PushEvents(supplier.proxy.in(), "s", 20, 30);
  EXPECT_EQ("", Lost(*consumer.servant, 20, 30, seconds(30))) << a.Errors() << b.Errors();
  CosNotifyChannelAdmin::ProxyIDSeq_var after = admin->push_suppliers();
  EXPECT_EQ(Ids(before.in()), Ids(after.in()));
  EXPECT_EQ(0u, consumer.servant->disconnects());
  // In the order pushed, at least once each.
  std::vector<unsigned long> firstSeen;
  std::set<unsigned long> seen;
  for (unsigned long sequence : Sequences(*consumer.servant)) {
    if (seen.insert(sequence).second) firstSeen.push_back(sequence);
  }
  EXPECT_EQ(Range(0, 30), firstSeen);
  EXPECT_EQ(0, a.service->Stop());
  EXPECT_EQ(0, b.service->Stop());
}

// Kestrel's own tools on the cluster: kestrel-listen on listenOn and
// kestrel-publish on publishOn, a first line seen across.
void StartTools(ToolProcess* listener, ToolProcess* publisher, const std::string& listenOn,
                const std::string& publishOn) {
  ASSERT_TRUE(listener->Start({BinPath("kestrel-listen"), "--channel", listenOn}));
  ASSERT_TRUE(listener->WaitForError("listening on", 20000)) << listener->error();
  // One Publish a line.
  ASSERT_TRUE(publisher->Start({BinPath("kestrel-publish"), "--channel", publishOn, "--module", "m"}));
  ASSERT_TRUE(publisher->WriteInput("before\n"));
  std::string line;
  ASSERT_TRUE(listener->ReadLine(&line, 20000)) << publisher->error() << listener->error();
  EXPECT_NE(std::string::npos, line.find("before")) << line;
}

// Publishes "after 1" to "after 20" and ends the publisher: true when every
// Publish answered S_OK.
bool PublishAfter(ToolProcess* publisher) {
  for (int i = 1; i <= 20; ++i) {
    if (!publisher->WriteInput("after " + std::to_string(i) + "\n")) return false;
  }
  publisher->CloseInput();
  return publisher->Wait(30000) == 0;
}

TEST(ChanneldCluster, KestrelsPublisherGoesOnThroughTheNextInstanceWhenItsOwnIsKilled) {
  NatsCluster nats(NatsCluster::Options{1});
  ASSERT_TRUE(nats.Start());
  Instance a("a", nats, 1), b("b", nats, 1);
  ASSERT_TRUE(a.Start()) << a.Errors();
  ASSERT_TRUE(b.Start()) << b.Errors();
  ASSERT_TRUE(a.WaitHealthy(seconds(20))) << a.Errors();
  ASSERT_TRUE(b.WaitHealthy(seconds(20))) << b.Errors();

  // The library's supplier naming a and then b.
  ToolProcess listener, publisher;
  const std::string both = "corbaloc:iiop:127.0.0.1:" + std::to_string(a.port) +
                           ",iiop:127.0.0.1:" + std::to_string(b.port) + "/" + kChannel;
  StartTools(&listener, &publisher, b.service->address(), both);
  if (HasFatalFailure()) return;

  a.service->Stop(SIGKILL);
  EXPECT_TRUE(PublishAfter(&publisher)) << publisher.error();
  std::string line;
  for (int i = 1; i <= 20; ++i) {
    ASSERT_TRUE(listener.ReadLine(&line, 20000)) << "after " << i << ": " << b.Errors();
    EXPECT_NE(std::string::npos, line.find("after " + std::to_string(i))) << line;
  }
  EXPECT_EQ(0, b.service->Stop());
}

TEST(ChanneldCluster, KestrelsConsumerGoesOnThroughTheClusterWhenItsInstanceIsKilledWithOneProxy) {
  NatsCluster nats(NatsCluster::Options{1});
  ASSERT_TRUE(nats.Start());
  Instance a("a", nats, 1), b("b", nats, 1), c("c", nats, 1);
  const std::vector<std::string> lease = {"--lease-lifetime", "2000"};
  ASSERT_TRUE(a.Start(Joined(Joined(Joined(a.Advertise(), b.Advertise()), c.Advertise()), lease)));
  ASSERT_TRUE(b.Start(Joined(Joined(Joined(b.Advertise(), c.Advertise()), a.Advertise()), lease)));
  ASSERT_TRUE(c.Start(Joined(Joined(Joined(c.Advertise(), a.Advertise()), b.Advertise()), lease)));
  for (Instance* instance : {&a, &b, &c}) ASSERT_TRUE(instance->WaitHealthy(seconds(20)));

  // The library's consumer on b, its client naming b and then c; the
  // library's supplier on a.
  ToolProcess listener, publisher;
  const std::string bThenC = "corbaloc:iiop:127.0.0.1:" + std::to_string(b.port) +
                             ",iiop:127.0.0.1:" + std::to_string(c.port) + "/" + kChannel;
  StartTools(&listener, &publisher, bThenC, a.service->address());
  if (HasFatalFailure()) return;

  b.service->Stop(SIGKILL);
  EXPECT_TRUE(PublishAfter(&publisher)) << publisher.error();
  // Every one arrives; one in flight at the kill may arrive twice.
  std::string line;
  std::set<std::string> missing;
  for (int i = 1; i <= 20; ++i) missing.insert("after " + std::to_string(i));
  while (!missing.empty() && listener.ReadLine(&line, 30000)) {
    std::size_t at = line.find("after ");
    if (at != std::string::npos) missing.erase(line.substr(at, line.find_first_not_of("0123456789", at + 6) - at));
  }
  EXPECT_TRUE(missing.empty()) << missing.size() << " never arrived, " << *missing.begin() << "; "
                               << a.Errors() << c.Errors() << listener.error();
  // It resumed its proxy rather than obtaining a second one.
  EXPECT_EQ(1, a.Metric("consumer_proxies{channel=\"NotifyEventChannel\"}"));
  EXPECT_EQ(1, c.Metric("consumer_proxies{channel=\"NotifyEventChannel\"}"));
  EXPECT_EQ(1, a.Metric("cluster_leases_held") + c.Metric("cluster_leases_held"));
  listener.Signal(SIGTERM);
  listener.Wait(10000);
  EXPECT_EQ(0, a.service->Stop());
  EXPECT_EQ(0, c.service->Stop());
}

// nats.c in the test, to make and read a stream as another party would.
class StreamAdmin {
 public:
  explicit StreamAdmin(const std::string& url) {
    ok_ = natsConnection_ConnectTo(&connection_, url.c_str()) == NATS_OK &&
          natsConnection_JetStream(&js_, connection_, nullptr) == NATS_OK;
  }
  ~StreamAdmin() {
    jsCtx_Destroy(js_);
    natsConnection_Destroy(connection_);
  }
  bool ok() const { return ok_; }

  bool Add(const char* name, const char* subject, std::int64_t maxAgeSeconds) {
    jsStreamConfig config;
    jsStreamConfig_Init(&config);
    const char* subjects[] = {subject};
    config.Name = name;
    config.Subjects = subjects;
    config.SubjectsLen = 1;
    config.Storage = js_FileStorage;
    config.MaxAge = maxAgeSeconds * 1000000000LL;
    jsStreamInfo* info = nullptr;
    natsStatus status = js_AddStream(&info, js_, &config, nullptr, nullptr);
    jsStreamInfo_Destroy(info);
    return status == NATS_OK;
  }

  // The stream's max age in seconds and its message count; -1 on failure.
  std::pair<std::int64_t, std::int64_t> Read(const char* name) {
    jsStreamInfo* info = nullptr;
    if (js_GetStreamInfo(&info, js_, name, nullptr, nullptr) != NATS_OK) return {-1, -1};
    std::pair<std::int64_t, std::int64_t> read{info->Config->MaxAge / 1000000000LL,
                                               static_cast<std::int64_t>(info->State.Msgs)};
    jsStreamInfo_Destroy(info);
    return read;
  }

 private:
  natsConnection* connection_ = nullptr;
  jsCtx* js_ = nullptr;
  bool ok_ = false;
};

TEST(ChanneldCluster, AStreamWithOtherSettingsIsUsedAsItIsAndNeverChanged) {
  NatsCluster nats(NatsCluster::Options{1});
  ASSERT_TRUE(nats.Start());
  StreamAdmin admin(nats.url(0));
  ASSERT_TRUE(admin.ok());
  ASSERT_TRUE(admin.Add(kStream, "kestrel.events.NotifyEventChannel", 42));

  Instance a("a", nats, 1);  // asks for a day's age, not 42 s
  ASSERT_TRUE(a.Start()) << a.Errors();
  ASSERT_TRUE(a.WaitHealthy(seconds(20))) << a.Errors();
  TestOrb orb;
  CosNotifyChannelAdmin::EventChannel_var channel = orb.Channel(a.service->address());
  ConnectedConsumer consumer = ConnectConsumer(orb, channel.in());
  ConnectedSupplier supplier = ConnectSupplier(orb, channel.in());
  PushEvents(supplier.proxy.in(), "s", 0, 10);
  ASSERT_TRUE(consumer.servant->WaitForEvents(10, milliseconds(20000))) << a.Errors();

  std::pair<std::int64_t, std::int64_t> stream = admin.Read(kStream);
  EXPECT_EQ(42, stream.first);
  EXPECT_EQ(10, stream.second);
  EXPECT_NE(std::string::npos, a.Errors().find("has other settings")) << a.Errors();
  EXPECT_EQ(0, a.service->Stop());
}

TEST(ChanneldCluster, WithoutNatsAtStartItServesRefusesNewProxiesAndGoesOnOnceNatsIsThere) {
  NatsCluster nats(NatsCluster::Options{1});
  ASSERT_TRUE(nats.Start());
  nats.Kill(0, SIGTERM);  // its address stays, with nothing behind it

  Instance a("a", nats, 1);
  ASSERT_TRUE(a.Start()) << a.Errors();
  EXPECT_EQ(503, a.Health());
  TestOrb orb;
  CosNotifyChannelAdmin::EventChannel_var channel = orb.Channel(a.service->address());
  // A proxy is the cluster's, and so is a consumer's place in the stream:
  // neither can be made without it.
  EXPECT_THROW(ConnectConsumer(orb, channel.in()), CORBA::TRANSIENT);
  EXPECT_THROW(ConnectSupplier(orb, channel.in()), CORBA::TRANSIENT);

  ASSERT_TRUE(nats.Restart(0));
  ASSERT_TRUE(a.WaitHealthy(seconds(30))) << a.Errors();
  ConnectedConsumer consumer = ConnectConsumer(orb, channel.in());
  ConnectedSupplier supplier = ConnectSupplier(orb, channel.in());
  PushEvents(supplier.proxy.in(), "s", 1, 11);
  ASSERT_TRUE(consumer.servant->WaitForEvents(10, milliseconds(20000))) << a.Errors();
  EXPECT_EQ(Range(1, 11), Sequences(*consumer.servant));
  EXPECT_EQ(0, a.service->Stop());
}

}  // namespace
}  // namespace testing
}  // namespace kestrel
