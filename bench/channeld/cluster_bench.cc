// cluster_bench: what kestrel-channeld's cluster mode costs, and what its
// faults cost, on one machine: three nats-server processes (the channel's
// stream with 3 replicas) and three instances A, B and C, each advertising
// its own address first, then the others'.
//
//   cluster_bench [--rounds N] [--events N] [--paced-seconds N]
//                 [--fault-rate N] [--skip-faults | --faults-only] [--logs DIR]
//
// Every round runs, each on a fresh cluster or a fresh plain service:
//   throughput  4 supplier processes on A push EVENTS events each, two-way,
//               as fast as their pushes return; 1 consumer process on B
//               counts them. Then the same shape through one plain
//               kestrel-channeld (no --cluster).
//   paced       20 supplier processes, all on A, push 250 events a second
//               each for SECONDS (5,000 a second in all, each push at its due
//               time); 1 consumer process on B. Then the same through one
//               plain kestrel-channeld.
//   faults      one supplier in this process pushes numbered events to A at
//               a steady pace, one at a time, reconnecting after a failure
//               through the channel reference that A handed out (A, then B,
//               then C); a consumer in this process on B records every
//               delivery and its time. The bench SIGKILLs A, and once pushes
//               are accepted again, the NATS server that leads the stream.
//   consumer-faults  the consumer's side of a failover, each on a fresh
//               cluster whose instances are given --lease-lifetime 5000 (the
//               default, named so that the figures say it): a consumer in
//               this process, connected through B, that never calls the
//               service; a supplier in this process pushing numbered events
//               to A, 200 a second, one at a time, always through the proxy
//               it first obtained.
//               (a) the instance that holds the consumer's lease (B, or
//                   another that took it first) is SIGKILLed, and the
//                   pushes go on 5 s past the lease's lifetime: another
//                   takes the lease and delivers from the last event
//                   acknowledged.
//               (b) A, B and C get SIGTERM together and are started again
//                   on the same ports with the same arguments; the pushes
//                   go on throughout, and fail while no instance is up.
//                   The consumer admin's proxy ids must be the same after.
//               A table per round gives repeats, the time without
//               deliveries, the lease takeovers that the instances count,
//               and the accepted events lost.
//
// Processor time is user + system time from /proc/PID/stat (CpuSecondsOf),
// read for the instances and the NATS servers just before the suppliers'
// start signal and just after the consumer has its last event; suppliers and
// consumers are processes of their own, so none of their work is counted.
// It comes in clock ticks (10 ms per process): rounds of several seconds
// keep the error to about a percent.
//
// Exit status: 0 when every part of every round ran, no accepted event (a
// push that returned) was lost and a full restart kept the consumer's
// proxies, 1 otherwise, 2 for a usage error. The helper processes are this
// program, run with --burst-helper, --paced-helper or --consumer-helper.

#include <COS/CosNotifyChannelAdmin.hh>
#include <COS/CosNotifyComm.hh>
#include <httplib.h>
#include <omniORB4/CORBA.h>

#include <ftw.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bench/common/bare_publisher.h"
#include "bench/common/channel_helpers.h"
#include "bench/common/figures.h"
#include "bench/common/helper_signals.h"
#include "tests/channeld/child_process.h"
#include "tests/support/channel_service.h"
#include "tests/support/nats_cluster.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;
using kestrel::bench::CpuSecondsOf;
using kestrel::bench::DieWithParent;
using kestrel::bench::Helper;
using kestrel::bench::Highest;
using kestrel::bench::Lowest;
using kestrel::bench::ParseCount;
using kestrel::bench::StartSignal;
using kestrel::testing::ChannelService;
using kestrel::testing::ChildProcess;
using kestrel::testing::NatsCluster;
using kestrel::testing::UnusedPort;

constexpr const char* kUsage =
    "usage: cluster_bench [--rounds N] [--events N] [--paced-seconds N] [--fault-rate N]\n"
    "                     [--skip-faults | --faults-only] [--logs DIR]\n"
    "  --rounds N         times each part is run (default 3)\n"
    "  --events N         events that each of the 4 throughput suppliers pushes (default 3000)\n"
    "  --paced-seconds N  how long the 20 paced suppliers push (default 5)\n"
    "  --fault-rate N     events a second that the fault part's supplier pushes (default 500)\n"
    "  --skip-faults      no fault parts (faults, consumer-faults)\n"
    "  --faults-only      the fault parts only\n"
    "  --logs DIR         keep the instances' stderr in DIR (default: a temporary folder,\n"
    "                     removed at the end; a failed round prints the end of each)\n";

constexpr const char* kStream = "kestrel-NotifyEventChannel";
constexpr int kBurstSuppliers = 4;
constexpr int kPacedSuppliers = 20;
constexpr int kPacedRate = 250;  // events a second, per supplier
// An idle cluster still works (heartbeats, the instances' pulls): measured
// this long before each throughput run, to show what the per-event figure
// holds of it.
constexpr auto kIdle = seconds(2);
// A load ends when the consumer has everything accepted, or when its count
// has not grown for this long (events were lost).
constexpr auto kQuiet = seconds(3);
// Each fault phase goes on until pushes have been accepted again for this
// long, and gives up after the limit.
constexpr auto kSettle = seconds(2);
constexpr auto kPhaseLimit = seconds(90);
// How long the fault part waits for an accepted event that has not arrived:
// past the instances' 30 s AckWait, after which NATS sends again what an
// instance fetched and never acknowledged.
constexpr auto kMissingWait = seconds(40);
// A push may wait for the stream's election; the service's own bound
// (--accept-timeout, 5 s) comes first.
constexpr unsigned long kCallTimeoutMs = 15000;
// The fault part's supplier, after a failed push: short, so that the times
// after a kill are the service's, and long enough not to spin on a
// service that refuses at once.
constexpr auto kRetryPause = milliseconds(20);
// Every instance's --lease-lifetime: the service's default, given all the
// same so that what the consumer-faults part measures is stated, not assumed.
constexpr long kLeaseLifetimeMs = 5000;
// The consumer-faults part's supplier: slow enough that a lease's lifetime
// of backlog (1,000 events) drains in well under a second, fast enough that
// the time without deliveries is resolved to 5 ms.
constexpr int kFailoverRate = 200;
// How long the pushes go on past the lease's lifetime after the SIGKILL of
// the consumer's instance: deliveries must have come back, and stayed, by
// then.
constexpr auto kPastLease = seconds(5);
// Where a delivering instance is supposed to be back: the lease's lifetime,
// and two seconds to notice it ran out, take it, and fetch.
constexpr double kFailoverGoalMs = kLeaseLifetimeMs + 2000;

struct Options {
  int rounds = 3;
  long events = 3000;
  int pacedSeconds = 5;
  int faultRate = 500;
  bool faults = true;
  bool loads = true;
  std::string logs;
};

// ---------------------------------------------------------------------------
// Helper processes

// --burst-helper CHANNEL EVENTS, --paced-helper CHANNEL RATE MS: connects,
// prints "ready", waits for SIGUSR1, then pushes two-way: EVENTS events as
// fast as the pushes return, or RATE a second for MS milliseconds (each at
// its due time; a late push makes the next ones come sooner, so that the
// offered rate holds while the service keeps up). Then prints "ACCEPTED
// FAILED" and waits to be killed, its proxy still connected, so that a run
// is pushes and deliveries only. A push that raised is counted and the
// helper goes on; its stderr names the last exception.
int RunSupplierHelper(const char* channelAddress, long events, long rate, long windowMs) {
  sigset_t start = StartSignal();
  // Before the ORB's threads exist, so that they inherit the mask.
  pthread_sigmask(SIG_BLOCK, &start, nullptr);
  int argc = 0;
  CORBA::ORB_var orb = CORBA::ORB_init(argc, nullptr);
  kestrel::bench::BarePublisher publisher("cluster_bench");
  try {
    CORBA::Object_var object = orb->string_to_object(channelAddress);
    CosNotifyChannelAdmin::EventChannel_var channel =
        CosNotifyChannelAdmin::EventChannel::_narrow(object.in());
    if (CORBA::is_nil(channel.in())) {
      std::fprintf(stderr, "supplier helper: %s is no event channel\n", channelAddress);
      return 1;
    }
    publisher.Connect(channel.in(), kCallTimeoutMs);
  } catch (const CORBA::Exception& e) {
    std::fprintf(stderr, "supplier helper: %s\n", e._name());
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  int signal = 0;
  sigwait(&start, &signal);

  long accepted = 0;
  long failed = 0;
  const char* lastFailure = nullptr;
  auto pushOne = [&](long i) {
    try {
      if (i == 0) {
        publisher.Push(2, 0x1001, "disk /var is 92% full, as Kestrel events say it");
      } else {
        publisher.PushAgain();
      }
      ++accepted;
    } catch (const CORBA::Exception& e) {
      ++failed;
      lastFailure = e._name();
      // A service that refuses at once must not be asked a thousand
      // times a second.
      std::this_thread::sleep_for(milliseconds(10));
    }
  };
  const Clock::time_point started = Clock::now();
  if (rate <= 0) {
    for (long i = 0; i < events; ++i) pushOne(i);
  } else {
    const Clock::time_point end = started + milliseconds(windowMs);
    for (long i = 0;; ++i) {
      Clock::time_point due = started + std::chrono::nanoseconds(i * 1000000000LL / rate);
      if (due >= end) break;
      std::this_thread::sleep_until(due);
      pushOne(i);
    }
  }
  if (failed > 0) {
    std::fprintf(stderr, "supplier helper: %ld pushes failed, the last with %s\n", failed,
                 lastFailure);
  }
  std::printf("%ld %ld\n", accepted, failed);
  std::fflush(stdout);
  for (;;) ::pause();
}

// A supplier helper as the bench sees it: started, signalled, then asked for
// what it pushed.
class SupplierProcess {
 public:
  bool Start(const std::vector<std::string>& arguments) {
    std::string line;
    return process_.Spawn(arguments) && process_.ReadLine(&line, 20000) && line == "ready";
  }
  void Signal() const { ::kill(process_.pid(), SIGUSR1); }
  bool Result(int timeoutMs, long* accepted, long* failed) {
    std::string line;
    return process_.ReadLine(&line, timeoutMs) &&
           std::sscanf(line.c_str(), "%ld %ld", accepted, failed) == 2;
  }

 private:
  ChildProcess process_;
};

// ---------------------------------------------------------------------------
// The cluster

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The last lines of text, indented, for a failure message.
std::string Tail(const std::string& text, int lines) {
  std::size_t from = text.size();
  for (int seen = 0; from > 0 && seen <= lines; --from) seen += text[from - 1] == '\n';
  std::string tail = text.substr(from == 0 ? 0 : from + 1);
  std::string indented;
  std::size_t begin = 0;
  while (begin < tail.size()) {
    std::size_t end = tail.find('\n', begin);
    if (end == std::string::npos) end = tail.size();
    indented += "    " + tail.substr(begin, end - begin) + "\n";
    begin = end + 1;
  }
  return indented.empty() ? "    (nothing)\n" : indented;
}

// One instance of the cluster. Its ports are chosen at once, so that the
// others can advertise it before it runs.
struct Instance {
  Instance(const std::string& name, const std::string& errorFile)
      : name(name), port(UnusedPort()), metricsPort(UnusedPort()), errorFile(errorFile) {}

  std::string advertised() const { return "127.0.0.1:" + std::to_string(port); }

  // Its own address first, so that its clients' calls come to it while it
  // runs. Once it has run, it starts again as it was: same ports, same
  // arguments, waiting out a port that its last run still holds.
  bool Start(const NatsCluster& nats, const std::vector<const Instance*>& others) {
    if (service) return service->Restart();
    ChannelService::Options options;
    options.port = port;
    options.errorFile = errorFile;
    options.extraArguments = {"--cluster", nats.urls(), "--instance", name,
                              "--stream-replicas", "3", "--lease-lifetime",
                              std::to_string(kLeaseLifetimeMs), "--metrics",
                              "127.0.0.1:" + std::to_string(metricsPort),
                              "--advertise", advertised()};
    for (const Instance* other : others) {
      options.extraArguments.insert(options.extraArguments.end(),
                                    {"--advertise", other->advertised()});
    }
    service.reset(new ChannelService(options));
    return service->Start();
  }

  // /health answers 200 once NATS is reachable and the stream exists.
  bool WaitHealthy(Clock::duration limit) const {
    for (Clock::time_point end = Clock::now() + limit; Clock::now() < end;) {
      httplib::Client client("127.0.0.1", metricsPort);
      client.set_connection_timeout(1);
      client.set_read_timeout(2);
      auto answer = client.Get("/health");
      if (answer && answer->status == 200) return true;
      if (!service->running()) return false;
      std::this_thread::sleep_for(milliseconds(50));
    }
    return false;
  }

  pid_t pid() const { return service && service->running() ? service->pid() : -1; }

  const std::string name;
  const int port;
  const int metricsPort;
  const std::string errorFile;
  std::unique_ptr<ChannelService> service;
};

// Three NATS servers and instances A, B and C; everything is stopped when
// the object goes (the instances first, so that their goodbyes reach NATS
// and the clients).
class Cluster {
 public:
  explicit Cluster(const std::string& folder, const std::string& label)
      : nats_(NatsOptions(folder, label)) {
    for (const char* name : {"A", "B", "C"}) {
      instances_.emplace_back(new Instance(name, folder + "/" + label + "-" + name + ".err"));
    }
  }
  ~Cluster() { Stop(); }

  // Starts the servers, then the instances, and waits for each to be
  // healthy. False, with a line on stderr, when one did not come up.
  bool Start() {
    if (!nats_.Start()) {
      std::fprintf(stderr, "cluster_bench: the NATS servers did not start\n%s",
                   Tail(nats_.logOf(0), 20).c_str());
      return false;
    }
    return StartInstances();
  }

  // Starts every instance that is not running (again, as it was, for one
  // that ran) and waits for each to be healthy.
  bool StartInstances() {
    for (std::size_t i = 0; i < instances_.size(); ++i) {
      if (instances_[i]->pid() > 0) continue;
      std::vector<const Instance*> others;
      for (std::size_t j = 0; j < instances_.size(); ++j) {
        if (j != i) others.push_back(instances_[j].get());
      }
      if (!instances_[i]->Start(nats_, others)) {
        std::fprintf(stderr, "cluster_bench: instance %s did not start\n%s",
                     instances_[i]->name.c_str(), Errors(i).c_str());
        return false;
      }
    }
    for (std::size_t i = 0; i < instances_.size(); ++i) {
      if (!instances_[i]->WaitHealthy(seconds(60))) {
        std::fprintf(stderr, "cluster_bench: instance %s is not healthy after 60 s\n%s",
                     instances_[i]->name.c_str(), Errors(i).c_str());
        return false;
      }
    }
    return true;
  }

  // SIGTERM to each instance still running, one after the other; false,
  // with its stderr, for one that did not exit 0.
  bool Stop() {
    bool clean = true;
    for (std::size_t i = 0; i < instances_.size(); ++i) {
      Instance& instance = *instances_[i];
      if (!instance.service || !instance.service->running()) continue;
      clean = ExitedCleanly(i, instance.service->Stop()) && clean;
    }
    return clean;
  }

  // SIGTERM to every instance at once, as when the whole cluster is shut
  // down: none can hand its consumers to another that stays up. Then each
  // is reaped (signal 0 only waits).
  bool StopTogether() {
    std::vector<std::size_t> stopping;
    for (std::size_t i = 0; i < instances_.size(); ++i) {
      if (instances_[i]->pid() <= 0) continue;
      ::kill(instances_[i]->pid(), SIGTERM);
      stopping.push_back(i);
    }
    bool clean = true;
    for (std::size_t i : stopping) {
      clean = ExitedCleanly(i, instances_[i]->service->Stop(0)) && clean;
    }
    return clean;
  }

  Instance& instance(std::size_t i) { return *instances_[i]; }
  std::size_t size() const { return instances_.size(); }
  NatsCluster& nats() { return nats_; }

  std::vector<pid_t> instancePids() const {
    std::vector<pid_t> pids;
    for (const auto& instance : instances_) pids.push_back(instance->pid());
    return pids;
  }
  std::vector<pid_t> natsPids() const {
    std::vector<pid_t> pids;
    for (std::size_t i = 0; i < nats_.size(); ++i) pids.push_back(nats_.pid(i));
    return pids;
  }

  bool ExitedCleanly(std::size_t i, int status) const {
    if (status == 0) return true;
    std::fprintf(stderr, "cluster_bench: instance %s exited with %d\n%s",
                 instances_[i]->name.c_str(), status, Errors(i).c_str());
    return false;
  }

  // The end of instance i's stderr.
  std::string Errors(std::size_t i) const {
    return Tail(ReadFile(instances_[i]->errorFile), 30);
  }
  std::string AllErrors() const {
    std::string all;
    for (std::size_t i = 0; i < instances_.size(); ++i) {
      all += "  instance " + instances_[i]->name + ":\n" + Errors(i);
    }
    return all;
  }

 private:
  static NatsCluster::Options NatsOptions(const std::string& folder, const std::string& label) {
    NatsCluster::Options options;
    options.errorFile = folder + "/" + label + "-nats.err";
    return options;
  }

  NatsCluster nats_;
  std::vector<std::unique_ptr<Instance>> instances_;
};

// ---------------------------------------------------------------------------
// Loads: suppliers and a consumer in processes of their own

// Where a run's clients connect, and whose processor time it counts.
struct Target {
  std::string supplierAddress;
  std::string consumerAddress;
  std::vector<pid_t> services;  // the instances, or the plain service
  std::vector<pid_t> nats;      // none for the plain service
};

struct Load {
  int suppliers = 0;
  long events = 0;       // a burst's events per supplier; 0 for a paced load
  long rate = 0;         // a paced load's events a second per supplier
  long windowMs = 0;     // how long a paced load pushes
  bool measureIdle = false;

  // What each supplier pushes when every push is accepted on time.
  long nominal() const { return rate > 0 ? (windowMs * rate + 999) / 1000 : events; }
};

struct LoadResult {
  double seconds = 0;       // from the start signal to the last delivery
  long accepted = 0;        // pushes that returned
  long failed = 0;          // pushes that raised
  long received = 0;        // deliveries to the consumer
  long lost = 0;            // accepted less received, when more were accepted
  double serviceCpu = 0;    // seconds, the instances or the plain service
  std::vector<double> serviceCpuEach;  // the same, per process
  double natsCpu = 0;       // seconds, the NATS servers
  double idleCpuPerSecond = 0;  // before the load, every process counted
  double drainMs = 0;       // paced: from the end of the window to the last delivery

  double perSecond() const { return seconds > 0 ? received / seconds : 0; }
  double pushedPerSecond(const Load& load) const {
    return load.windowMs > 0 ? accepted * 1000.0 / load.windowMs : 0;
  }
  double micros(double cpu) const { return received > 0 ? cpu * 1e6 / received : 0; }
};

double CpuOf(const std::vector<pid_t>& pids) {
  double sum = 0;
  for (pid_t pid : pids) sum += pid > 0 ? CpuSecondsOf(pid) : 0;
  return sum;
}

// Runs load against target; false, with a line on stderr, when a process did
// not start or a supplier did not finish.
bool RunLoad(const Target& target, const Load& load, LoadResult* result) {
  const long nominalTotal = load.nominal() * load.suppliers;
  // Its one report comes when every event has arrived as it should; the
  // count is asked for otherwise.
  Helper consumer;
  if (!consumer.Start(nominalTotal, target.consumerAddress)) {
    std::fprintf(stderr, "cluster_bench: the consumer did not start\n");
    return false;
  }
  std::vector<std::unique_ptr<SupplierProcess>> suppliers;
  for (int i = 0; i < load.suppliers; ++i) {
    std::vector<std::string> arguments =
        load.rate > 0
            ? std::vector<std::string>{"/proc/self/exe", "--paced-helper", target.supplierAddress,
                                       std::to_string(load.rate), std::to_string(load.windowMs)}
            : std::vector<std::string>{"/proc/self/exe", "--burst-helper", target.supplierAddress,
                                       std::to_string(load.events)};
    suppliers.emplace_back(new SupplierProcess);
    if (!suppliers.back()->Start(arguments)) {
      std::fprintf(stderr, "cluster_bench: a supplier did not connect\n");
      return false;
    }
  }
  std::vector<pid_t> everyone = target.services;
  everyone.insert(everyone.end(), target.nats.begin(), target.nats.end());
  if (load.measureIdle) {
    double before = CpuOf(everyone);
    std::this_thread::sleep_for(kIdle);
    result->idleCpuPerSecond =
        (CpuOf(everyone) - before) / std::chrono::duration<double>(kIdle).count();
  }

  std::vector<double> eachBefore;
  for (pid_t pid : target.services) eachBefore.push_back(CpuSecondsOf(pid));
  const double serviceBefore = CpuOf(target.services);
  const double natsBefore = CpuOf(target.nats);
  const Clock::time_point started = Clock::now();
  for (auto& supplier : suppliers) supplier->Signal();
  // A fail-safe only: as long as a burst would take at 500 pushes a second.
  const int patienceMs = static_cast<int>(
      std::min(60000L + load.windowMs + (load.rate > 0 ? 0 : load.events * 2), 3600000L));
  for (auto& supplier : suppliers) {
    long accepted = 0;
    long failed = 0;
    if (!supplier->Result(patienceMs, &accepted, &failed)) {
      std::fprintf(stderr, "cluster_bench: a supplier did not finish its pushes\n");
      return false;
    }
    result->accepted += accepted;
    result->failed += failed;
  }

  // Waits while the count grows; the run's time is up to the last growth.
  long received = -1;
  Clock::time_point lastGrowth = Clock::now();
  for (;;) {
    if (result->accepted == nominalTotal && consumer.WaitForCount(nominalTotal, 100)) {
      lastGrowth = Clock::now();
      received = nominalTotal;
      break;
    }
    if (result->accepted != nominalTotal) std::this_thread::sleep_for(milliseconds(100));
    long count = consumer.CountNow(5000);
    if (count < 0) {
      std::fprintf(stderr, "cluster_bench: the consumer did not say what it received\n");
      return false;
    }
    if (count != received) lastGrowth = Clock::now();
    received = count;
    if (received >= result->accepted || Clock::now() - lastGrowth >= kQuiet) break;
  }
  result->serviceCpu = CpuOf(target.services) - serviceBefore;
  for (std::size_t i = 0; i < target.services.size(); ++i) {
    result->serviceCpuEach.push_back(CpuSecondsOf(target.services[i]) - eachBefore[i]);
  }
  result->natsCpu = CpuOf(target.nats) - natsBefore;
  result->seconds = std::chrono::duration<double>(lastGrowth - started).count();
  if (load.windowMs > 0) {
    result->drainMs = std::max(
        0.0, std::chrono::duration<double, std::milli>(lastGrowth - started).count() -
                 static_cast<double>(load.windowMs));
  }
  // Exact: the periodic report may lag.
  long exact = consumer.CountNow(5000);
  if (exact >= 0) received = exact;
  result->received = received;
  result->lost = std::max(0L, result->accepted - received);
  return true;
}

// The load through a fresh cluster: suppliers on A, the consumer on B.
bool RunOnCluster(const std::string& folder, const std::string& label, const Load& load,
                  LoadResult* result) {
  Cluster cluster(folder, label);
  if (!cluster.Start()) return false;
  Target target;
  target.supplierAddress = cluster.instance(0).service->address();
  target.consumerAddress = cluster.instance(1).service->address();
  target.services = cluster.instancePids();
  target.nats = cluster.natsPids();
  bool ran = RunLoad(target, load, result);
  if (!ran || result->lost > 0) {
    std::fprintf(stderr, "cluster_bench: %s; the instances' stderr:\n%s",
                 ran ? "events were lost" : "the run failed", cluster.AllErrors().c_str());
  }
  return cluster.Stop() && ran;
}

// The load through one fresh plain kestrel-channeld.
bool RunOnPlain(const std::string& folder, const std::string& label, const Load& load,
                LoadResult* result) {
  ChannelService::Options options;
  options.errorFile = folder + "/" + label + ".err";
  ChannelService service(options);
  if (!service.Start()) {
    std::fprintf(stderr, "cluster_bench: kestrel-channeld did not start (%s)\n%s",
                 ChannelService::ProgramPath().c_str(),
                 Tail(ReadFile(options.errorFile), 20).c_str());
    return false;
  }
  Target target;
  target.supplierAddress = service.address();
  target.consumerAddress = service.address();
  target.services = {service.pid()};
  bool ran = RunLoad(target, load, result);
  int status = service.Stop();
  if (status != 0 || !ran || result->lost > 0) {
    std::fprintf(stderr, "cluster_bench: plain kestrel-channeld (exit %d):\n%s", status,
                 Tail(ReadFile(options.errorFile), 30).c_str());
  }
  return ran && status == 0;
}

// ---------------------------------------------------------------------------
// Faults: a supplier and a consumer in this process

CORBA::ORB_ptr BenchOrb() {
  static CORBA::ORB_var orb;
  if (CORBA::is_nil(orb.in())) {
    orb = kestrel::bench::InitOrb();
    omniORB::setClientCallTimeout(kCallTimeoutMs);
  }
  return orb.in();
}

CosNotification::StructuredEvent NumberedEvent(unsigned long sequence) {
  CosNotification::StructuredEvent event = kestrel::bench::BenchEvent();
  CORBA::ULong last = event.filterable_data.length();
  event.filterable_data.length(last + 1);
  event.filterable_data[last].name = "Sequence";
  event.filterable_data[last].value <<= static_cast<CORBA::ULong>(sequence);
  return event;
}

// Records each delivery's number and time; deliveries come on the ORB's
// threads.
class RecordingConsumer : public POA_CosNotifyComm::StructuredPushConsumer {
 public:
  struct Delivery {
    unsigned long sequence;
    Clock::time_point at;
  };

  void push_structured_event(const CosNotification::StructuredEvent& event) override {
    Clock::time_point at = Clock::now();
    CORBA::ULong sequence = 0;
    for (CORBA::ULong i = 0; i < event.filterable_data.length(); ++i) {
      if (std::strcmp(event.filterable_data[i].name.in(), "Sequence") == 0) {
        event.filterable_data[i].value >>= sequence;
      }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    deliveries_.push_back({sequence, at});
  }
  // A cluster that stops or fails over must not end the consumer's
  // connection: counted, so that one that does shows.
  void disconnect_structured_push_consumer() override { ++disconnects_; }
  void offer_change(const CosNotification::EventTypeSeq&,
                    const CosNotification::EventTypeSeq&) override {}

  std::vector<Delivery> deliveries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return deliveries_;
  }
  long disconnects() const { return disconnects_.load(); }

 private:
  std::atomic<long> disconnects_{0};
  mutable std::mutex mutex_;
  std::vector<Delivery> deliveries_;  // guarded by mutex_, in the order they came
};

// One supplier as a Kestrel client is: numbered events, one push at a time,
// at a steady pace (a push that returns late makes the next one wait its
// turn from then on: no burst to catch up). After a push that raised
// anything but TIMEOUT it obtains a new proxy through the channel reference
// it was given, whose alternate addresses name the other instances; or,
// made to keep its proxy, it pushes to the same one again, as a client
// whose proxy every instance serves may. It pauses kRetryPause after a
// failure, which the times after a kill include.
class FaultSupplier {
 public:
  struct Push {
    unsigned long sequence;
    Clock::time_point started;
    Clock::time_point ended;
    const char* failure;  // nullptr: accepted; else the exception's name
  };

  enum class OnFailure { kReconnect, kKeepProxy };

  FaultSupplier(CosNotifyChannelAdmin::EventChannel_ptr channel, int rate,
                OnFailure onFailure = OnFailure::kReconnect)
      : channel_(CosNotifyChannelAdmin::EventChannel::_duplicate(channel)),
        period_(std::chrono::nanoseconds(1000000000LL / rate)),
        onFailure_(onFailure) {}

  // Runs on a thread of its own until stop is set.
  void Run(const std::atomic<bool>& stop) {
    Clock::time_point due = Clock::now();
    for (unsigned long sequence = 0; !stop.load(); ++sequence) {
      std::this_thread::sleep_until(due);
      Push push{sequence, Clock::now(), {}, nullptr};
      try {
        if (CORBA::is_nil(proxy_.in())) Connect();
        proxy_->push_structured_event(NumberedEvent(sequence));
      } catch (const CORBA::TIMEOUT& e) {
        // It may still be stored: the proxy is kept.
        push.failure = e._name();
      } catch (const CORBA::Exception& e) {
        push.failure = e._name();
        if (onFailure_ == OnFailure::kReconnect) {
          proxy_ = CosNotifyChannelAdmin::StructuredProxyPushConsumer::_nil();
        }
      }
      push.ended = Clock::now();
      {
        std::lock_guard<std::mutex> lock(mutex_);
        pushes_.push_back(push);
      }
      due = std::max(due + period_, push.ended);
      if (push.failure != nullptr) due = std::max(due, push.ended + kRetryPause);
    }
  }

  std::vector<Push> pushes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pushes_;
  }

  // A number that no push started so far carries: every later push has it
  // or a higher one.
  unsigned long NextSequence() const {
    std::lock_guard<std::mutex> lock(mutex_);
    // The push under way, if any, is not recorded yet.
    return pushes_.size() + 1;
  }

  // When the first push that started after since and was accepted returned;
  // Clock::time_point() when there is none yet.
  Clock::time_point FirstAcceptedAfter(Clock::time_point since) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Push& push : pushes_) {
      if (push.started > since && push.failure == nullptr) return push.ended;
    }
    return Clock::time_point();
  }

 private:
  void Connect() {
    CosNotifyChannelAdmin::SupplierAdmin_var admin = channel_->default_supplier_admin();
    CosNotifyChannelAdmin::ProxyID id;
    CosNotifyChannelAdmin::ProxyConsumer_var proxy =
        admin->obtain_notification_push_consumer(CosNotifyChannelAdmin::STRUCTURED_EVENT, id);
    CosNotifyChannelAdmin::StructuredProxyPushConsumer_var structured =
        CosNotifyChannelAdmin::StructuredProxyPushConsumer::_narrow(proxy.in());
    if (CORBA::is_nil(structured.in())) throw CORBA::BAD_PARAM();
    structured->connect_structured_push_supplier(CosNotifyComm::StructuredPushSupplier::_nil());
    proxy_ = structured._retn();
  }

  CosNotifyChannelAdmin::EventChannel_var channel_;
  const Clock::duration period_;
  const OnFailure onFailure_;
  // Used on the supplier's thread only.
  CosNotifyChannelAdmin::StructuredProxyPushConsumer_var proxy_;
  mutable std::mutex mutex_;
  std::vector<Push> pushes_;  // guarded by mutex_, in the order pushed
};

struct FaultResult {
  long pushed = 0;
  long accepted = 0;
  long failed = 0;
  std::map<std::string, long> failures;  // by exception
  long lost = 0;                  // accepted, never delivered
  long repeats = 0;               // deliveries of an event already delivered
  long deliveredUnaccepted = 0;   // failed pushes whose event arrived all the same
  double longestGapMs = 0;        // without a delivery, from the first to the last
  double longestRefusalMs = 0;    // without an accepted push, while pushing
  double instanceKillToDeliveryMs = -1;  // A's SIGKILL to the first delivery of a later push
  double instanceKillToAcceptMs = -1;    // ... to the first accepted later push
  double leaderKillToDeliveryMs = -1;    // the same for the stream leader's SIGKILL
  double leaderKillToAcceptMs = -1;
  double electionMs = -1;         // the leader's SIGKILL to another's claim (its /jsz)
  std::string leader;             // the NATS server killed
  std::string newLeader;
  // The accepted events lost, as runs of consecutive numbers: the first, the
  // last, and when the first was pushed, from the leader's SIGKILL (ms,
  // negative: before it).
  struct LostRun {
    unsigned long first;
    unsigned long last;
    double sinceLeaderKillMs;
  };
  std::vector<LostRun> lostRuns;
  std::string consumerMetrics;  // B's cluster counters, when some were lost
  std::string streamState;      // the stream and B's durable as NATS has them at the end
};

double MillisBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

// An instance's /metrics page; empty when it did not answer.
std::string MetricsPage(int metricsPort) {
  httplib::Client client("127.0.0.1", metricsPort);
  client.set_connection_timeout(1);
  client.set_read_timeout(5);
  auto answer = client.Get("/metrics");
  return answer && answer->status == 200 ? answer->body : std::string();
}

// The value of sample (a name without the service's prefix, with its
// labels if it has any) in a /metrics page; -1 when it is not there.
double Metric(const std::string& page, const std::string& sample) {
  const std::string line = "\nkestrel_channeld_" + sample + " ";
  std::size_t at = ("\n" + page).find(line);
  return at == std::string::npos ? -1 : std::atof(page.c_str() + at + line.size() - 1);
}

// The cluster's lines of an instance's /metrics, indented.
std::string ClusterCounters(int metricsPort) {
  const std::string body = MetricsPage(metricsPort);
  if (body.empty()) return "    (no answer)\n";
  std::string lines;
  std::size_t begin = 0;
  while (begin < body.size()) {
    std::size_t end = body.find('\n', begin);
    if (end == std::string::npos) end = body.size();
    std::string line = body.substr(begin, end - begin);
    if (line[0] != '#' && line.find("_cluster_") != std::string::npos &&
        line.find("_bucket") == std::string::npos) {
      lines += "    " + line + "\n";
    }
    begin = end + 1;
  }
  return lines;
}

// Where "key": VALUE (VALUE a string, given without its quotes) first
// occurs in a monitoring page from position from; npos if nowhere.
std::size_t FindField(const std::string& page, std::size_t from, const std::string& key,
                      const std::string& value) {
  std::size_t compact = page.find("\"" + key + "\":\"" + value + "\"", from);
  std::size_t spaced = page.find("\"" + key + "\": \"" + value + "\"", from);
  return std::min(compact, spaced);
}

// The number, or the string's text, that follows "key": in page from
// position from; empty if none.
std::string ValueAfter(const std::string& page, std::size_t from, const std::string& key) {
  if (from == std::string::npos) return "";
  std::size_t at = page.find("\"" + key + "\":", from);
  if (at == std::string::npos) return "";
  at += key.size() + 3;
  while (at < page.size() && (page[at] == ' ' || page[at] == '"')) ++at;
  std::size_t end = page.find_first_of(",\"}\n", at);
  return page.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// What the NATS servers hold at the end, beside what the consumer got: the
// stream's messages and last sequence (as its leader says), and how far B's
// durable consumer has delivered and had acknowledged (as that consumer's
// leader says: the others' figures lag). An accepted event that is in the
// stream, at or below B's acknowledgement floor, and never reached B's
// consumer was passed over by B.
std::string StreamState(const NatsCluster& nats, const std::string& durable) {
  std::string stream = "the stream's leader did not answer";
  std::string consumer = "its leader did not answer";
  for (std::size_t i = 0; i < nats.size(); ++i) {
    if (!nats.running(i)) continue;
    std::string config = ReadFile(nats.directory() + "/" + nats.serverName(i) + ".conf");
    std::size_t http = config.find("http: 127.0.0.1:");
    if (http == std::string::npos) continue;
    httplib::Client client("127.0.0.1", std::atoi(config.c_str() + http + 16));
    client.set_connection_timeout(1);
    client.set_read_timeout(5);
    auto answer = client.Get("/jsz?accounts=true&streams=true&consumers=true");
    if (!answer || answer->status != 200) continue;
    const std::string& page = answer->body;
    const std::string name = nats.serverName(i);
    std::size_t streamAt = FindField(page, 0, "name", kStream);
    if (streamAt != std::string::npos && ValueAfter(page, streamAt, "leader") == name) {
      stream = ValueAfter(page, streamAt, "messages") + " messages, the last " +
               ValueAfter(page, streamAt, "last_seq") + " (" + name + ")";
    }
    std::size_t consumerAt = FindField(page, 0, "name", durable);
    if (consumerAt != std::string::npos && ValueAfter(page, consumerAt, "leader") == name) {
      consumer = "delivered to " +
                 ValueAfter(page, page.find("\"delivered\":", consumerAt), "stream_seq") +
                 ", acknowledged to " +
                 ValueAfter(page, page.find("\"ack_floor\":", consumerAt), "stream_seq") + ", " +
                 ValueAfter(page, consumerAt, "num_ack_pending") + " awaiting acknowledgement, " +
                 ValueAfter(page, consumerAt, "num_redelivered") + " redelivered, " +
                 ValueAfter(page, consumerAt, "num_pending") + " pending (" + name + ")";
    }
  }
  return "stream: " + stream + "; " + durable + "'s durable: " + consumer;
}

// Waits until a push that started after since has been accepted for
// kSettle; false after kPhaseLimit.
bool WaitForAcceptedAfter(const FaultSupplier& supplier, Clock::time_point since) {
  for (Clock::time_point end = Clock::now() + kPhaseLimit; Clock::now() < end;) {
    Clock::time_point first = supplier.FirstAcceptedAfter(since);
    if (first != Clock::time_point() && Clock::now() - first >= kSettle) return true;
    std::this_thread::sleep_for(milliseconds(50));
  }
  return false;
}

// What came of the pushes and deliveries.
void Analyse(const std::vector<FaultSupplier::Push>& pushes,
             const std::vector<RecordingConsumer::Delivery>& deliveries,
             Clock::time_point instanceKill, Clock::time_point leaderKill, FaultResult* result) {
  std::map<unsigned long, int> times;
  for (const auto& delivery : deliveries) ++times[delivery.sequence];
  Clock::time_point lastAccept;
  for (const auto& push : pushes) {
    ++result->pushed;
    if (push.failure == nullptr) {
      ++result->accepted;
      if (times.count(push.sequence) == 0) {
        ++result->lost;
        if (!result->lostRuns.empty() && result->lostRuns.back().last + 1 == push.sequence) {
          result->lostRuns.back().last = push.sequence;
        } else {
          result->lostRuns.push_back(
              {push.sequence, push.sequence,
               leaderKill == Clock::time_point() ? 0 : MillisBetween(leaderKill, push.started)});
        }
      }
      if (lastAccept != Clock::time_point()) {
        result->longestRefusalMs =
            std::max(result->longestRefusalMs, MillisBetween(lastAccept, push.ended));
      }
      lastAccept = push.ended;
    } else {
      ++result->failed;
      ++result->failures[push.failure];
      if (times.count(push.sequence) != 0) ++result->deliveredUnaccepted;
    }
  }
  for (const auto& counted : times) result->repeats += counted.second - 1;

  std::vector<Clock::time_point> arrivals;
  for (const auto& delivery : deliveries) arrivals.push_back(delivery.at);
  std::sort(arrivals.begin(), arrivals.end());
  for (std::size_t i = 1; i < arrivals.size(); ++i) {
    result->longestGapMs = std::max(result->longestGapMs, MillisBetween(arrivals[i - 1], arrivals[i]));
  }

  // The outage as a client sees it: from the kill to the first delivery of
  // an event pushed after it (earlier ones may still be on their way), and
  // to the first accepted push.
  std::map<unsigned long, Clock::time_point> started;
  for (const auto& push : pushes) started[push.sequence] = push.started;
  auto firstDeliveryAfter = [&](Clock::time_point kill) {
    double best = -1;
    for (const auto& delivery : deliveries) {
      auto pushed = started.find(delivery.sequence);
      if (pushed == started.end() || pushed->second <= kill) continue;
      double ms = MillisBetween(kill, delivery.at);
      if (best < 0 || ms < best) best = ms;
    }
    return best;
  };
  auto firstAcceptAfter = [&](Clock::time_point kill) {
    for (const auto& push : pushes) {
      if (push.started > kill && push.failure == nullptr) return MillisBetween(kill, push.ended);
    }
    return -1.0;
  };
  if (instanceKill != Clock::time_point()) {
    result->instanceKillToDeliveryMs = firstDeliveryAfter(instanceKill);
    result->instanceKillToAcceptMs = firstAcceptAfter(instanceKill);
  }
  if (leaderKill != Clock::time_point()) {
    result->leaderKillToDeliveryMs = firstDeliveryAfter(leaderKill);
    result->leaderKillToAcceptMs = firstAcceptAfter(leaderKill);
  }
}

CosNotifyChannelAdmin::EventChannel_var ChannelAt(const std::string& address) {
  CORBA::Object_var object = BenchOrb()->string_to_object(address.c_str());
  return CosNotifyChannelAdmin::EventChannel::_narrow(object.in());
}

// The recording consumer, connected through a new proxy of admin; answers
// the proxy's name as the metrics label it ("ADMIN/ID"). Raises what the
// calls raise.
std::string ConnectRecorder(CosNotifyChannelAdmin::ConsumerAdmin_ptr admin,
                            CosNotifyComm::StructuredPushConsumer_ptr consumer) {
  CosNotifyChannelAdmin::ProxyID proxyId;
  CosNotifyChannelAdmin::ProxySupplier_var proxy = admin->obtain_notification_push_supplier(
      CosNotifyChannelAdmin::STRUCTURED_EVENT, proxyId);
  CosNotifyChannelAdmin::StructuredProxyPushSupplier_var structured =
      CosNotifyChannelAdmin::StructuredProxyPushSupplier::_narrow(proxy.in());
  structured->connect_structured_push_consumer(consumer);
  return std::to_string(admin->MyID()) + "/" + std::to_string(proxyId);
}

// Until everything accepted has arrived (or nothing more comes for
// kMissingWait), then a moment for late repeats.
void WaitForEveryAccepted(const std::vector<FaultSupplier::Push>& pushes,
                          const RecordingConsumer& consumer) {
  std::set<unsigned long> accepted;
  for (const auto& push : pushes) {
    if (push.failure == nullptr) accepted.insert(push.sequence);
  }
  std::size_t lastCount = 0;
  Clock::time_point lastGrowth = Clock::now();
  for (;;) {
    std::vector<RecordingConsumer::Delivery> deliveries = consumer.deliveries();
    std::set<unsigned long> missing = accepted;
    for (const auto& delivery : deliveries) missing.erase(delivery.sequence);
    if (missing.empty()) break;
    if (deliveries.size() != lastCount) lastGrowth = Clock::now();
    lastCount = deliveries.size();
    if (Clock::now() - lastGrowth >= kMissingWait) break;
    std::this_thread::sleep_for(milliseconds(100));
  }
  std::this_thread::sleep_for(seconds(1));
}

// The fault part on a fresh cluster; false, with a line on stderr, when a
// step could not be taken.
bool RunFaults(const std::string& folder, const std::string& label, int rate,
               FaultResult* result) {
  Cluster cluster(folder, label);
  if (!cluster.Start()) return false;
  CORBA::ORB_ptr orb = BenchOrb();
  CORBA::Object_var root = orb->resolve_initial_references("RootPOA");
  PortableServer::POA_var poa = PortableServer::POA::_narrow(root.in());
  PortableServer::Servant_var<RecordingConsumer> consumer = new RecordingConsumer;
  PortableServer::ObjectId_var consumerId = poa->activate_object(consumer.in());
  bool ok = true;
  std::atomic<bool> stop{false};
  std::thread pushing;
  Clock::time_point instanceKill;
  Clock::time_point leaderKill;
  std::unique_ptr<FaultSupplier> supplier;
  try {
    CORBA::Object_var reference = poa->id_to_reference(consumerId.in());
    CosNotifyComm::StructuredPushConsumer_var consumerReference =
        CosNotifyComm::StructuredPushConsumer::_narrow(reference.in());
    CosNotifyChannelAdmin::EventChannel_var channelB =
        ChannelAt(cluster.instance(1).service->address());
    CosNotifyChannelAdmin::ConsumerAdmin_var consumerAdmin = channelB->default_consumer_admin();
    ConnectRecorder(consumerAdmin.in(), consumerReference.in());

    // The channel as A hands it out: A's address, then B's and C's.
    CosNotifyChannelAdmin::EventChannel_var channelA =
        ChannelAt(cluster.instance(0).service->address());
    CosNotifyChannelAdmin::SupplierAdmin_var supplierAdmin = channelA->default_supplier_admin();
    CosNotifyChannelAdmin::EventChannel_var handedOut = supplierAdmin->MyChannel();
    supplier.reset(new FaultSupplier(handedOut.in(), rate));
  } catch (const CORBA::Exception& e) {
    std::fprintf(stderr, "cluster_bench: the fault part's clients did not connect: %s\n%s",
                 e._name(), cluster.AllErrors().c_str());
    poa->deactivate_object(consumerId.in());
    return false;
  }
  pushing = std::thread([&] { supplier->Run(stop); });

  if (!WaitForAcceptedAfter(*supplier, Clock::now())) {
    std::fprintf(stderr, "cluster_bench: no push was accepted before the faults\n");
    ok = false;
  }
  if (ok) {
    instanceKill = Clock::now();
    cluster.instance(0).service->Stop(SIGKILL);
    if (!WaitForAcceptedAfter(*supplier, instanceKill)) {
      std::fprintf(stderr, "cluster_bench: no push was accepted after A's SIGKILL\n");
      ok = false;
    }
  }
  if (ok) {
    int leader = cluster.nats().WaitForStreamLeader(kStream, 10000);
    if (leader < 0) {
      std::fprintf(stderr, "cluster_bench: no NATS server leads %s\n", kStream);
      ok = false;
    } else {
      result->leader = cluster.nats().serverName(static_cast<std::size_t>(leader));
      leaderKill = Clock::now();
      cluster.nats().Kill(static_cast<std::size_t>(leader), SIGKILL);
      // What the servers say, beside what the clients see: a push in
      // flight at the kill may wait longer than the election.
      int next = cluster.nats().WaitForStreamLeader(kStream, 60000);
      if (next >= 0) {
        result->electionMs = MillisBetween(leaderKill, Clock::now());
        result->newLeader = cluster.nats().serverName(static_cast<std::size_t>(next));
      }
      if (!WaitForAcceptedAfter(*supplier, leaderKill)) {
        std::fprintf(stderr, "cluster_bench: no push was accepted after the leader's SIGKILL\n");
        ok = false;
      }
    }
  }
  stop = true;
  pushing.join();

  std::vector<FaultSupplier::Push> pushes = supplier->pushes();
  WaitForEveryAccepted(pushes, *consumer);
  Analyse(pushes, consumer->deliveries(), instanceKill, leaderKill, result);
  result->streamState = StreamState(cluster.nats(), "kestrel-B");
  if (!ok || result->lost > 0) {
    std::fprintf(stderr, "cluster_bench: the instances' stderr:\n%s", cluster.AllErrors().c_str());
    result->consumerMetrics = ClusterCounters(cluster.instance(1).metricsPort);
  }
  ok = cluster.Stop() && ok;
  poa->deactivate_object(consumerId.in());
  return ok;
}

// ---------------------------------------------------------------------------
// Consumer faults: the instance that delivers to a consumer goes

// One failover as the consumer saw it, and as the instances count it.
struct Failover {
  bool ran = false;
  FaultResult events;       // the fault's moment is its instanceKill
  double backMs = -1;       // the fault to the first delivery of a later push
  // Summed over the instances running at the end; -1 when one did not say.
  double takeovers = -1;    // cluster_lease_takeovers_total
  double skipped = -1;      // cluster_repeats_total: sent again, not delivered
  double leasesHeld = -1;   // cluster_leases_held: 1 when exactly one delivers
  std::string deliveredBy;  // the consumer's proxy_events_delivered_total, each
  std::string holder;       // the instance that delivered before the fault
  long disconnects = 0;     // disconnect calls that reached the consumer
};

struct ConsumerFaultResult {
  Failover kill;            // (a) the SIGKILL of the lease's holder
  Failover restart;         // (b) SIGTERM of A, B and C, and their start
  double stopMs = -1;       // (b): the SIGTERM to every instance gone
  double restartMs = -1;    // (b): the SIGTERM to every instance healthy again
  std::string proxiesBefore;  // the consumer admin's proxy ids, sorted
  std::string proxiesAfter;

  bool sameProxies() const { return !proxiesBefore.empty() && proxiesBefore == proxiesAfter; }
  long lost() const { return kill.events.lost + restart.events.lost; }
};

// Adds value to a sum that stays -1 once a figure was missing.
double Add(double sum, double value) { return sum < 0 || value < 0 ? -1 : sum + value; }

// A fresh cluster, the recording consumer connected through B, and a
// supplier on A pushing kFailoverRate events a second through the one
// proxy that it obtains, whatever happens. The fault is the caller's;
// everything started is stopped when the object goes.
class FailoverRig {
 public:
  FailoverRig(const std::string& folder, const std::string& label)
      : cluster_(folder, label), consumer_(new RecordingConsumer) {}
  ~FailoverRig() {
    StopPushing();
    // Before the consumer goes, so that no instance finds it gone and
    // drops its proxy.
    cluster_.Stop();
    if (active_) poa_->deactivate_object(consumerId_.in());
  }

  // Up to the first deliveries, and one instance holding the consumer's
  // lease. False, with a line on stderr, when a step failed.
  bool Start() {
    if (!cluster_.Start()) return false;
    CORBA::Object_var root = BenchOrb()->resolve_initial_references("RootPOA");
    poa_ = PortableServer::POA::_narrow(root.in());
    consumerId_ = poa_->activate_object(consumer_.in());
    active_ = true;
    try {
      CORBA::Object_var reference = poa_->id_to_reference(consumerId_.in());
      CosNotifyComm::StructuredPushConsumer_var consumer =
          CosNotifyComm::StructuredPushConsumer::_narrow(reference.in());
      CosNotifyChannelAdmin::EventChannel_var channelB =
          ChannelAt(cluster_.instance(1).service->address());
      consumerAdmin_ = channelB->default_consumer_admin();
      proxy_ = ConnectRecorder(consumerAdmin_.in(), consumer.in());
      CosNotifyChannelAdmin::EventChannel_var channelA =
          ChannelAt(cluster_.instance(0).service->address());
      supplier_.reset(new FaultSupplier(channelA.in(), kFailoverRate,
                                        FaultSupplier::OnFailure::kKeepProxy));
    } catch (const CORBA::Exception& e) {
      std::fprintf(stderr, "cluster_bench: the consumer-faults part's clients did not connect: %s\n%s",
                   e._name(), cluster_.AllErrors().c_str());
      return false;
    }
    pushing_ = std::thread([this] { supplier_->Run(stop_); });
    return WaitForFirstDeliveries() && WaitForHolder();
  }

  // The instance that holds the consumer's lease: B, through which the
  // consumer connected, or another, since the others learn of the
  // connected proxy before B asks for its lease, and may ask first.
  Instance& holder() { return cluster_.instance(holder_); }

  // The fault's moment: what is pushed from now on is later.
  Clock::time_point Fault() {
    fault_ = Clock::now();
    firstLater_ = supplier_->NextSequence();
    return fault_;
  }

  // Only what is pushed from now on is later: for a fault that takes a
  // while, during which the instances still take and deliver events.
  void LaterFromNow() { firstLater_ = supplier_->NextSequence(); }

  // Until an event pushed after the fault was delivered kSettle ago and
  // atLeast has passed since the fault; false after kPhaseLimit.
  bool WaitForRecovery(Clock::duration atLeast) {
    for (Clock::time_point end = Clock::now() + kPhaseLimit; Clock::now() < end;) {
      Clock::time_point first = FirstLaterDelivery();
      if (first != Clock::time_point() && Clock::now() - first >= kSettle &&
          Clock::now() - fault_ >= atLeast) {
        return true;
      }
      std::this_thread::sleep_for(milliseconds(50));
    }
    return false;
  }

  // The consumer admin's proxy ids, asked through the reference obtained
  // before any fault, sorted; asked again while calls fail as they do
  // when instances are coming back. Empty when no answer came.
  std::string ProxyIds() {
    for (Clock::time_point end = Clock::now() + seconds(20); Clock::now() < end;) {
      try {
        CosNotifyChannelAdmin::ProxyIDSeq_var ids = consumerAdmin_->push_suppliers();
        std::vector<long> sorted;
        for (CORBA::ULong i = 0; i < ids->length(); ++i) sorted.push_back(ids[i]);
        std::sort(sorted.begin(), sorted.end());
        std::string text;
        for (long id : sorted) text += (text.empty() ? "" : " ") + std::to_string(id);
        return text.empty() ? "(none)" : text;
      } catch (const CORBA::TRANSIENT&) {
      } catch (const CORBA::COMM_FAILURE&) {
      } catch (const CORBA::Exception& e) {
        std::fprintf(stderr, "cluster_bench: push_suppliers raised %s\n", e._name());
        return "";
      }
      std::this_thread::sleep_for(milliseconds(100));
    }
    return "";
  }

  // Stops the pushes, waits for what was accepted, and works out the
  // figures, counting the instances running now.
  void Finish(Failover* result) {
    StopPushing();
    std::vector<FaultSupplier::Push> pushes = supplier_->pushes();
    WaitForEveryAccepted(pushes, *consumer_);
    Analyse(pushes, consumer_->deliveries(), fault_, Clock::time_point(), &result->events);
    Clock::time_point back = FirstLaterDelivery();
    if (back != Clock::time_point()) result->backMs = MillisBetween(fault_, back);
    result->disconnects = consumer_->disconnects();
    CountLeases(result);
    result->holder = holder().name;
    result->ran = true;
  }

  // Stops the instances; false when one did not exit cleanly or ok is.
  bool Stop(bool ok, const Failover& result) {
    if (!ok || result.events.lost > 0) {
      std::fprintf(stderr, "cluster_bench: the instances' stderr:\n%s", cluster_.AllErrors().c_str());
    }
    return cluster_.Stop() && ok;
  }

  Cluster& cluster() { return cluster_; }

 private:
  bool WaitForFirstDeliveries() {
    for (Clock::time_point end = Clock::now() + seconds(30); Clock::now() < end;) {
      if (!consumer_->deliveries().empty()) return true;
      std::this_thread::sleep_for(milliseconds(50));
    }
    std::fprintf(stderr, "cluster_bench: the consumer had no event 30 s after the first push\n%s",
                 cluster_.AllErrors().c_str());
    return false;
  }

  // Until exactly one instance says that it holds a lease.
  bool WaitForHolder() {
    for (Clock::time_point end = Clock::now() + seconds(10); Clock::now() < end;) {
      std::vector<std::size_t> holders;
      for (std::size_t i = 0; i < cluster_.size(); ++i) {
        double held = Metric(MetricsPage(cluster_.instance(i).metricsPort), "cluster_leases_held");
        if (held != 0) holders.push_back(i);
      }
      if (holders.size() == 1) {
        holder_ = holders[0];
        return true;
      }
      std::this_thread::sleep_for(milliseconds(50));
    }
    std::fprintf(stderr, "cluster_bench: no single instance holds the consumer's lease\n");
    return false;
  }

  // When the first event pushed after the fault was delivered; Clock's
  // epoch when none has been.
  Clock::time_point FirstLaterDelivery() const {
    Clock::time_point first;
    for (const auto& delivery : consumer_->deliveries()) {
      if (delivery.sequence >= firstLater_ && (first == Clock::time_point() || delivery.at < first)) {
        first = delivery.at;
      }
    }
    return first;
  }

  void CountLeases(Failover* result) {
    result->takeovers = result->skipped = result->leasesHeld = 0;
    const std::string delivered = "proxy_events_delivered_total{channel=\"" +
                                  std::string(ChannelService::kDefaultChannel) + "\",proxy=\"" +
                                  proxy_ + "\"}";
    for (std::size_t i = 0; i < cluster_.size(); ++i) {
      Instance& instance = cluster_.instance(i);
      if (instance.pid() <= 0) continue;
      const std::string page = MetricsPage(instance.metricsPort);
      result->takeovers = Add(result->takeovers, Metric(page, "cluster_lease_takeovers_total"));
      result->skipped = Add(result->skipped, Metric(page, "cluster_repeats_total"));
      result->leasesHeld = Add(result->leasesHeld, Metric(page, "cluster_leases_held"));
      double count = Metric(page, delivered);
      result->deliveredBy += (result->deliveredBy.empty() ? "" : ", ") + instance.name + " " +
                             (count < 0 ? std::string("-") : std::to_string(long(count)));
    }
    result->deliveredBy = proxy_ + " delivered by " + result->deliveredBy;
  }

  void StopPushing() {
    stop_ = true;
    if (pushing_.joinable()) pushing_.join();
  }

  Cluster cluster_;
  PortableServer::Servant_var<RecordingConsumer> consumer_;
  PortableServer::POA_var poa_;
  PortableServer::ObjectId_var consumerId_;
  bool active_ = false;  // consumerId_ names the activated consumer
  CosNotifyChannelAdmin::ConsumerAdmin_var consumerAdmin_;
  std::string proxy_;  // the consumer's, as the metrics label it
  std::unique_ptr<FaultSupplier> supplier_;
  std::atomic<bool> stop_{false};
  std::thread pushing_;
  Clock::time_point fault_;
  unsigned long firstLater_ = 0;
  std::size_t holder_ = 1;
};

// (a): the instance that delivers to the consumer is SIGKILLed; the pushes
// go on kPastLease past the lease's lifetime.
bool RunConsumerKill(const std::string& folder, const std::string& label, Failover* result) {
  FailoverRig rig(folder, label);
  if (!rig.Start()) return false;
  rig.Fault();
  rig.holder().service->Stop(SIGKILL);
  bool ok = rig.WaitForRecovery(milliseconds(kLeaseLifetimeMs) + kPastLease);
  if (!ok) {
    std::fprintf(stderr, "cluster_bench: no event pushed after %s's SIGKILL was delivered\n",
                 rig.holder().name.c_str());
  }
  rig.Finish(result);
  return rig.Stop(ok, *result);
}

// (b): every instance gets SIGTERM at once, and all start again as they
// were; the pushes go on throughout, through the same proxy.
bool RunFullRestart(const std::string& folder, const std::string& label,
                    ConsumerFaultResult* result) {
  FailoverRig rig(folder, label);
  if (!rig.Start()) return false;
  result->proxiesBefore = rig.ProxyIds();
  const Clock::time_point stopped = rig.Fault();
  bool ok = rig.cluster().StopTogether();
  result->stopMs = MillisBetween(stopped, Clock::now());
  // Until the last instance exits, pushes are still taken and delivered:
  // the restart is over when something pushed after that is delivered.
  rig.LaterFromNow();
  if (!rig.cluster().StartInstances()) {
    ok = false;
  } else {
    result->restartMs = MillisBetween(stopped, Clock::now());
    if (!rig.WaitForRecovery(Clock::duration::zero())) {
      std::fprintf(stderr, "cluster_bench: no event pushed after the restart was delivered\n");
      ok = false;
    }
    result->proxiesAfter = rig.ProxyIds();
  }
  rig.Finish(&result->restart);
  return rig.Stop(ok, result->restart);
}

bool RunConsumerFaults(const std::string& folder, const std::string& round,
                       ConsumerFaultResult* result) {
  bool ok = RunConsumerKill(folder, round + "-consumer-kill", &result->kill);
  return RunFullRestart(folder, round + "-consumer-restart", result) && ok;
}

// ---------------------------------------------------------------------------
// Reports

// "12345" when low and high print alike, else "12345-13456".
std::string Span(const std::vector<double>& values, int decimals) {
  if (values.empty()) return "-";
  char low[32];
  char high[32];
  std::snprintf(low, sizeof low, "%.*f", decimals, Lowest(values));
  std::snprintf(high, sizeof high, "%.*f", decimals, Highest(values));
  return std::strcmp(low, high) == 0 ? low : std::string(low) + "-" + high;
}

template <typename Result, typename Figure>
std::string SpanOf(const std::vector<Result>& results, Figure figure, int decimals) {
  std::vector<double> values;
  for (const Result& result : results) {
    double value = figure(result);
    if (value >= 0) values.push_back(value);
  }
  return Span(values, decimals);
}

void PrintLoad(const char* part, int round, const char* where, const Load& load,
               const LoadResult& r, bool cluster) {
  std::printf("round %d  %-10s %-8s %8.0f delivered/s", round, part, where, r.perSecond());
  if (load.rate > 0) std::printf(" (%.0f pushed/s, drain %.0f ms)", r.pushedPerSecond(load), r.drainMs);
  std::printf("  %7.1f us/event", r.micros(r.serviceCpu + r.natsCpu));
  if (cluster) {
    std::printf(" (instances %.1f, NATS %.1f; A %.1f, B %.1f, C %.1f)", r.micros(r.serviceCpu),
                r.micros(r.natsCpu), r.micros(r.serviceCpuEach.at(0)),
                r.micros(r.serviceCpuEach.at(1)), r.micros(r.serviceCpuEach.at(2)));
  }
  std::printf("  %ld lost, %ld failed, %ld extra", r.lost, r.failed,
              std::max(0L, r.received - r.accepted));
  if (load.measureIdle && cluster) std::printf(", idle %.0f ms CPU/s", r.idleCpuPerSecond * 1000);
  std::printf("\n");
  std::fflush(stdout);
}

void PrintLoadTable(const char* title, const Load& load, const std::vector<LoadResult>& cluster,
                    const std::vector<LoadResult>& plain) {
  std::printf("\n%s\n", title);
  std::printf("%-34s %13s", "", "delivered/s");
  if (load.rate > 0) std::printf(" %10s %9s", "pushed/s", "drain ms");
  std::printf(" %11s %11s %9s %6s %7s\n", "us/event", "instances", "NATS", "lost", "failed");
  auto row = [&](const char* name, const std::vector<LoadResult>& results, bool isCluster) {
    if (results.empty()) {
      std::printf("%-34s %13s\n", name, "did not run");
      return;
    }
    std::printf("%-34s %13s", name,
                SpanOf(results, [](const LoadResult& r) { return r.perSecond(); }, 0).c_str());
    if (load.rate > 0) {
      std::printf(" %10s %9s",
                  SpanOf(results, [&](const LoadResult& r) { return r.pushedPerSecond(load); }, 0)
                      .c_str(),
                  SpanOf(results, [](const LoadResult& r) { return r.drainMs; }, 0).c_str());
    }
    std::printf(
        " %11s %11s %9s %6s %7s\n",
        SpanOf(results, [](const LoadResult& r) { return r.micros(r.serviceCpu + r.natsCpu); }, 1)
            .c_str(),
        isCluster ? SpanOf(results, [](const LoadResult& r) { return r.micros(r.serviceCpu); }, 1)
                        .c_str()
                  : "-",
        isCluster ? SpanOf(results, [](const LoadResult& r) { return r.micros(r.natsCpu); }, 1)
                        .c_str()
                  : "-",
        SpanOf(results, [](const LoadResult& r) { return static_cast<double>(r.lost); }, 0).c_str(),
        SpanOf(results, [](const LoadResult& r) { return static_cast<double>(r.failed); }, 0)
            .c_str());
  };
  row("cluster: A, B, C + 3 NATS servers", cluster, true);
  row("one plain kestrel-channeld", plain, false);
  if (load.rate == 0 && !cluster.empty()) {
    std::printf("%-34s %s ms of CPU a second, all six processes\n", "idle cluster before each run:",
                SpanOf(cluster, [](const LoadResult& r) { return r.idleCpuPerSecond * 1000; }, 0)
                    .c_str());
  }
}

std::string Failures(const FaultResult& r) {
  std::string text;
  for (const auto& failure : r.failures) {
    text += (text.empty() ? "" : ", ") + std::to_string(failure.second) + " " + failure.first;
  }
  return text.empty() ? "none" : text;
}

void PrintFault(int round, const FaultResult& r) {
  std::printf("round %d  faults  %ld pushed, %ld accepted, %ld lost, %ld repeats, %ld failed (%s),"
              " %ld of those delivered; longest without a delivery %.0f ms, without an accepted"
              " push %.0f ms; A killed: next accepted %.0f ms, next delivery %.0f ms; leader %s"
              " killed: %s leads after %.0f ms, next accepted %.0f ms, next delivery %.0f ms\n",
              round, r.pushed, r.accepted, r.lost, r.repeats, r.failed, Failures(r).c_str(),
              r.deliveredUnaccepted, r.longestGapMs, r.longestRefusalMs,
              r.instanceKillToAcceptMs, r.instanceKillToDeliveryMs, r.leader.c_str(),
              r.newLeader.empty() ? "none" : r.newLeader.c_str(), r.electionMs,
              r.leaderKillToAcceptMs, r.leaderKillToDeliveryMs);
  for (const auto& run : r.lostRuns) {
    std::printf("         lost #%lu-#%lu (%lu), the first pushed %.0f ms after the leader's SIGKILL\n",
                run.first, run.last, run.last - run.first + 1, run.sinceLeaderKillMs);
  }
  std::printf("         %s\n", r.streamState.c_str());
  if (!r.consumerMetrics.empty()) {
    std::printf("         B's counters at the end:\n%s", r.consumerMetrics.c_str());
  }
  std::fflush(stdout);
}

void PrintFaultTable(const Options& options, const std::vector<FaultResult>& results) {
  std::printf("\nFaults: 1 supplier on A, %d events/s, one push at a time, reconnecting through the"
              "\nchannel that A handed out (A, B, C); 1 consumer on B; SIGKILL of A, then of the"
              "\nNATS server leading %s; min-max over %zu round%s\n",
              options.faultRate, kStream, results.size(), results.size() == 1 ? "" : "s");
  if (results.empty()) {
    std::printf("  did not run\n");
    return;
  }
  auto line = [&](const char* name, double (*figure)(const FaultResult&), int decimals) {
    std::printf("  %-52s %s\n", name, SpanOf(results, figure, decimals).c_str());
  };
  line("pushes accepted", [](const FaultResult& r) { return double(r.accepted); }, 0);
  line("accepted events lost", [](const FaultResult& r) { return double(r.lost); }, 0);
  line("repeats (deliveries of an event already delivered)",
       [](const FaultResult& r) { return double(r.repeats); }, 0);
  line("failed pushes (not accepted)", [](const FaultResult& r) { return double(r.failed); }, 0);
  line("  of which delivered all the same",
       [](const FaultResult& r) { return double(r.deliveredUnaccepted); }, 0);
  line("longest time without a delivery, ms", [](const FaultResult& r) { return r.longestGapMs; }, 0);
  line("longest time without an accepted push, ms",
       [](const FaultResult& r) { return r.longestRefusalMs; }, 0);
  line("A's SIGKILL -> next accepted push, ms",
       [](const FaultResult& r) { return r.instanceKillToAcceptMs; }, 0);
  line("A's SIGKILL -> first delivery of a later push, ms",
       [](const FaultResult& r) { return r.instanceKillToDeliveryMs; }, 0);
  line("leader's SIGKILL -> another leads the stream (/jsz), ms",
       [](const FaultResult& r) { return r.electionMs; }, 0);
  line("leader's SIGKILL -> next accepted push, ms",
       [](const FaultResult& r) { return r.leaderKillToAcceptMs; }, 0);
  line("leader's SIGKILL -> first delivery of a later push, ms",
       [](const FaultResult& r) { return r.leaderKillToDeliveryMs; }, 0);
  std::map<std::string, std::vector<double>> failures;
  for (const FaultResult& r : results) {
    for (const auto& failure : r.failures) failures[failure.first];
  }
  for (auto& failure : failures) {
    for (const FaultResult& r : results) {
      auto found = r.failures.find(failure.first);
      failure.second.push_back(found == r.failures.end() ? 0 : double(found->second));
    }
    std::printf("  %-52s %s\n", ("  failed with " + failure.first).c_str(),
                Span(failure.second, 0).c_str());
  }
}

// "3 (TRANSIENT 3)", or "0".
std::string FailedPushes(const FaultResult& r) {
  return r.failed == 0 ? "0" : std::to_string(r.failed) + " (" + Failures(r) + ")";
}

// -1 (a figure that was not had) as "?".
std::string Figure(double value) {
  return value < 0 ? "?" : std::to_string(static_cast<long>(value + 0.5));
}

void PrintFailover(int round, const char* what, const Failover& f) {
  const FaultResult& r = f.events;
  std::printf("round %d  consumer-faults %s: %ld pushed, %ld accepted, %s failed, %ld lost,"
              " %ld repeats; longest without a delivery %.0f ms, first delivery of a later"
              " push %.0f ms after the fault; instances up: %s takeovers, %s leases held, %s repeats"
              " skipped; proxy %s; %ld disconnects; %s delivered before\n",
              round, what, r.pushed, r.accepted, FailedPushes(r).c_str(), r.lost, r.repeats,
              r.longestGapMs, f.backMs, Figure(f.takeovers).c_str(),
              Figure(f.leasesHeld).c_str(), Figure(f.skipped).c_str(), f.deliveredBy.c_str(),
              f.disconnects, f.holder.c_str());
  if (r.deliveredUnaccepted > 0) {
    std::printf("         %ld failed pushes were delivered all the same\n", r.deliveredUnaccepted);
  }
  for (const auto& run : r.lostRuns) {
    std::printf("         lost #%lu-#%lu (%lu)\n", run.first, run.last, run.last - run.first + 1);
  }
}

void PrintConsumerFaults(int round, const ConsumerFaultResult& r) {
  if (r.kill.ran) {
    PrintFailover(round, ("(a) " + r.kill.holder + " SIGKILLed").c_str(), r.kill);
  }
  if (r.restart.ran) {
    PrintFailover(round, "(b) A, B, C SIGTERMed together, started again", r.restart);
    std::printf("         every instance gone %.0f ms after the SIGTERM, all healthy again after"
                " %.0f ms (a later push: one pushed after they were gone); the consumer"
                " admin's proxy ids: \"%s\" before, \"%s\" after\n",
                r.stopMs, r.restartMs, r.proxiesBefore.c_str(), r.proxiesAfter.c_str());
  }
  std::fflush(stdout);
}

// Repeats, the time without deliveries, takeovers and losses of (a) and
// (b); min-max over results.
void PrintFailoverTable(const std::string& title, const std::vector<ConsumerFaultResult>& results) {
  std::printf("\n%s\n", title.c_str());
  std::printf("  %-38s %7s %11s %13s %9s %5s %9s\n", "", "repeats", "longest gap",
              "fault -> next", "lease", "lost", "proxy ids");
  std::printf("  %-38s %7s %11s %13s %9s %5s %9s\n", "", "", "ms", "delivery ms", "takeovers", "",
              "");
  auto row = [&](const char* name, Failover ConsumerFaultResult::*part, bool restart) {
    std::vector<ConsumerFaultResult> ran;
    for (const ConsumerFaultResult& r : results) {
      if ((r.*part).ran) ran.push_back(r);
    }
    if (ran.empty()) {
      std::printf("  %-38s %s\n", name, "did not run");
      return;
    }
    auto of = [&](double (*figure)(const Failover&), int decimals) {
      std::vector<double> values;
      for (const ConsumerFaultResult& r : ran) {
        if (figure(r.*part) >= 0) values.push_back(figure(r.*part));
      }
      return Span(values, decimals);
    };
    long same = std::count_if(ran.begin(), ran.end(),
                              [](const ConsumerFaultResult& r) { return r.sameProxies(); });
    std::string proxies = !restart ? "-"
                          : same == long(ran.size()) ? "same"
                          : same == 0 ? "CHANGED"
                                      : std::to_string(same) + " same";
    std::printf("  %-38s %7s %11s %13s %9s %5s %9s\n", name,
                of([](const Failover& f) { return double(f.events.repeats); }, 0).c_str(),
                of([](const Failover& f) { return f.events.longestGapMs; }, 0).c_str(),
                of([](const Failover& f) { return f.backMs; }, 0).c_str(),
                of([](const Failover& f) { return f.takeovers; }, 0).c_str(),
                of([](const Failover& f) { return double(f.events.lost); }, 0).c_str(),
                proxies.c_str());
  };
  row("(a) SIGKILL of the consumer's instance", &ConsumerFaultResult::kill, false);
  row("(b) SIGTERM of A, B and C, restart", &ConsumerFaultResult::restart, true);
  std::printf("  longest gap: between two deliveries, over the whole run; fault -> next delivery:"
              "\n  from the SIGKILL or SIGTERM to the first delivery of an event pushed after it"
              "\n  ((b): after every instance had exited); lease takeovers: as the instances up"
              " at\n  the end count them\n");
  int met = 0;
  int ran = 0;
  for (const ConsumerFaultResult& r : results) {
    if (!r.kill.ran) continue;
    ++ran;
    met += r.kill.backMs >= 0 && r.kill.backMs <= kFailoverGoalMs;
  }
  std::printf("  goal: (a) delivers again within the lease's lifetime + 2 s (%.0f ms): ",
              kFailoverGoalMs);
  if (ran == 0) {
    std::printf("not measured\n");
  } else if (results.size() == 1) {
    std::printf("%s\n", met == 1 ? "met" : "MISSED");
  } else {
    std::printf("met in %d of %d rounds\n", met, ran);
  }
  std::fflush(stdout);
}

// ---------------------------------------------------------------------------
// Options and the folder of the instances' stderr

bool RemoveFolder(const std::string& folder) {
  auto remove = [](const char* path, const struct stat*, int, struct FTW*) {
    return ::remove(path);
  };
  return ::nftw(folder.c_str(), remove, 8, FTW_DEPTH | FTW_PHYS) == 0;
}

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    if (name == "--skip-faults" || name == "--faults-only") {
      (name == "--skip-faults" ? options->faults : options->loads) = false;
      continue;
    }
    if (i + 1 >= argc) return false;
    const char* value = argv[++i];
    long number = 0;
    if (name == "--rounds" && ParseCount(value, 1, 1000, &number)) {
      options->rounds = static_cast<int>(number);
    } else if (name == "--events" && ParseCount(value, 1, 100000000, &number)) {
      options->events = number;
    } else if (name == "--paced-seconds" && ParseCount(value, 1, 3600, &number)) {
      options->pacedSeconds = static_cast<int>(number);
    } else if (name == "--fault-rate" && ParseCount(value, 1, 100000, &number)) {
      options->faultRate = static_cast<int>(number);
    } else if (name == "--logs" && *value != '\0') {
      options->logs = value;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--burst-helper") == 0) {
    if (!DieWithParent()) return 1;
    return RunSupplierHelper(argv[2], std::atol(argv[3]), 0, 0);
  }
  if (argc == 5 && std::strcmp(argv[1], "--paced-helper") == 0) {
    if (!DieWithParent()) return 1;
    return RunSupplierHelper(argv[2], 0, std::atol(argv[3]), std::atol(argv[4]));
  }
  if (argc >= 3 && std::strcmp(argv[1], "--consumer-helper") == 0) {
    if (!DieWithParent()) return 1;
    return kestrel::bench::RunConsumerHelper(std::atol(argv[2]), argc >= 4 ? argv[3] : nullptr);
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
  // Inherited by every helper, and read by this process's ORB (the fault
  // part's consumer): each listens on loopback only. The instances set
  // their own endpoint from --listen.
  ::setenv("ORBendPoint", "giop:tcp:127.0.0.1:", 1);

  std::string folder = options.logs;
  bool temporary = folder.empty();
  if (temporary) {
    char pattern[] = "/tmp/cluster_bench.XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
      std::perror("cluster_bench: mkdtemp");
      return 1;
    }
    folder = pattern;
  } else if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
    std::perror(("cluster_bench: " + folder).c_str());
    return 1;
  }

  Load burst;
  burst.suppliers = kBurstSuppliers;
  burst.events = options.events;
  burst.measureIdle = true;
  Load paced;
  paced.suppliers = kPacedSuppliers;
  paced.rate = kPacedRate;
  paced.windowMs = options.pacedSeconds * 1000L;

  std::vector<LoadResult> burstCluster, burstPlain, pacedCluster, pacedPlain;
  std::vector<FaultResult> faults;
  std::vector<ConsumerFaultResult> consumerFaults;
  char failoverTitle[256];
  std::snprintf(failoverTitle, sizeof failoverTitle,
                "Failover: 1 consumer in this process through B, 1 supplier on A at %d events/s"
                "\n(one push at a time, always the same proxy); --lease-lifetime %ld",
                kFailoverRate, kLeaseLifetimeMs);
  bool ok = true;
  const Clock::time_point began = Clock::now();
  for (int r = 1; r <= options.rounds; ++r) {
    const std::string round = "round" + std::to_string(r);
    struct Run {
      const char* part;
      const char* where;
      const Load& load;
      std::vector<LoadResult>& results;
      bool cluster;
    };
    const std::vector<Run> runs = {Run{"throughput", "cluster", burst, burstCluster, true},
                                   Run{"throughput", "plain", burst, burstPlain, false},
                                   Run{"paced", "cluster", paced, pacedCluster, true},
                                   Run{"paced", "plain", paced, pacedPlain, false}};
    for (const Run& run : runs) {
      if (!options.loads) break;
      LoadResult result;
      std::string label = round + "-" + run.part + "-" + run.where;
      bool ran = run.cluster ? RunOnCluster(folder, label, run.load, &result)
                             : RunOnPlain(folder, label, run.load, &result);
      if (!ran) {
        std::fprintf(stderr, "cluster_bench: round %d, %s on the %s did not run\n", r, run.part,
                     run.where);
        ok = false;
        continue;
      }
      ok = ok && result.lost == 0;
      PrintLoad(run.part, r, run.where, run.load, result, run.cluster);
      run.results.push_back(result);
    }
    if (options.faults) {
      FaultResult result;
      if (!RunFaults(folder, round + "-faults", options.faultRate, &result)) {
        std::fprintf(stderr, "cluster_bench: round %d, the fault part did not run to its end\n", r);
        ok = false;
      }
      ok = ok && result.lost == 0;
      if (result.pushed > 0) {
        PrintFault(r, result);
        faults.push_back(result);
      }
      ConsumerFaultResult failover;
      if (!RunConsumerFaults(folder, round, &failover)) {
        std::fprintf(stderr, "cluster_bench: round %d, the consumer-faults part did not run to"
                             " its end\n", r);
        ok = false;
      }
      if (failover.restart.ran && !failover.sameProxies()) {
        std::fprintf(stderr, "cluster_bench: round %d, the consumer admin's proxies changed in"
                             " the restart\n", r);
      }
      ok = ok && failover.lost() == 0 && failover.sameProxies();
      PrintConsumerFaults(r, failover);
      PrintFailoverTable("round " + std::to_string(r) + " " + failoverTitle, {failover});
      consumerFaults.push_back(failover);
    }
  }

  std::printf("\nkestrel-channeld as a cluster (3 NATS servers, stream replicas 3, instances A, B, C)"
              "\nagainst one plain kestrel-channeld, all on this machine (%ld cores); %d round%s"
              " in %.0f s.\nus/event: processor time (user + system) of the services per delivered"
              " event;\ninstances and NATS: the cluster's two parts of it. min-max over the"
              " rounds.\n",
              ::sysconf(_SC_NPROCESSORS_ONLN), options.rounds, options.rounds == 1 ? "" : "s",
              std::chrono::duration<double>(Clock::now() - began).count());
  char title[256];
  std::snprintf(title, sizeof title,
                "Throughput: 4 suppliers on A -> 1 consumer on B, %ld events each, two-way, as"
                " fast as pushes return",
                options.events);
  if (options.loads) PrintLoadTable(title, burst, burstCluster, burstPlain);
  std::snprintf(title, sizeof title,
                "Paced: %d suppliers on A at %d events/s each -> 1 consumer on B, for %d s",
                kPacedSuppliers, kPacedRate, options.pacedSeconds);
  if (options.loads) PrintLoadTable(title, paced, pacedCluster, pacedPlain);
  if (options.faults) PrintFaultTable(options, faults);
  if (options.faults) {
    PrintFailoverTable(std::string(failoverTitle) + "; min-max over " +
                           std::to_string(consumerFaults.size()) + " round" +
                           (consumerFaults.size() == 1 ? "" : "s"),
                       consumerFaults);
  }
  std::printf("\n%s\n", ok ? "nothing accepted was lost" : "FAILED: see above");

  if (temporary) {
    if (!RemoveFolder(folder)) std::fprintf(stderr, "cluster_bench: could not remove %s\n", folder.c_str());
  } else {
    std::printf("the instances' stderr: %s\n", folder.c_str());
  }
  return ok ? 0 : 1;
}
