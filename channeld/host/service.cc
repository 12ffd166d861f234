#include "channeld/host/service.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "channeld/base/log.h"
#include "channeld/base/system.h"
#include "channeld/model/event_channel.h"
#include "channeld/model/farewell_calls.h"
#include "channeld/model/passing_events.h"
#include "channeld/runtime/allowed_peers.h"
#include "channeld/runtime/allowed_subjects.h"
#include "channeld/runtime/refused_peers.h"
#include "channeld/state/restoration.h"

namespace kestrel {
namespace channeld {

namespace {

// The channels' events, to the console's tail.
class TailFeed : public PassingEvents {
 public:
  explicit TailFeed(NotificationTail* tail) : tail_(tail) {}
  bool Watched() const override { return tail_->Watched(); }
  void Passed(const std::string& channel,
              const CosNotification::StructuredEvent& event) override {
    tail_->Offer(channel, event);
  }

 private:
  NotificationTail* const tail_;
};

}  // namespace

Service::Service(const ServiceOptions& options)
    : options_(options),
      reporter_(std::chrono::seconds(1), [this] { Tend(); },
                [this] { ReportCounters(); }),
      signals_([this] { reporter_.Request(); }) {
  Log::SetVerbose(options_.verbose);
  context_.maxSuppliers = options_.maxSuppliers;
  context_.maxConsumers = options_.maxConsumers;
  context_.queuePolicy.maxEvents = options_.queueLength;
  context_.queuePolicy.blockTimeout = std::chrono::milliseconds(options_.blockTimeoutMs);
  context_.delivery.callTimeoutMs = options_.pushTimeoutMs;
  context_.connectTimeout = std::chrono::seconds(options_.connectTimeoutSeconds);
  context_.filters = options_.filters;
  context_.maxUnconnected = options_.maxUnconnected;
  if (options_.persistentEvents) context_.queuePolicy.eventReliability = CosNotification::Persistent;
}

Service::~Service() {
  if (metrics_) metrics_->Stop();
  reporter_.Stop();
  if (stream_) stream_->Stop();
  if (store_) store_->StopWriter();
  channels_.clear();
  if (janitor_) janitor_->Stop();
  orb_.Stop();
}

std::string Service::Address(const std::string& host, int port, const std::string& key,
                             bool tls) {
  bool ipv6 = host.find(':') != std::string::npos && host.front() != '[';
  return std::string(tls ? "corbaloc:ssliop:" : "corbaloc:iiop:") +
         (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port) + "/" + key;
}

bool Service::OpenState() {
  if (options_.stateDir.empty()) return true;
  std::string error;
  lock_.reset(new StateLock(options_.stateDir));
  // A directory that cannot be written cannot be locked either: the store
  // says so below, as it always has.
  if (lock_->Take(&error) == StateLock::Result::kHeld) {
    Log::Error(error);
    return false;
  }
  store_.reset(new StateStore(options_.stateDir));
  if (!store_->Open(&error)) {
    if (options_.persistentEvents) {
      Log::Error(error + "; events cannot be kept as --event-reliability persistent promises");
      return false;
    }
    Log::Error(error + "; what changes is not kept until it can be written");
  }
  context_.state = store_.get();
  context_.queuePolicy.connectionReliability = CosNotification::Persistent;
  eventLog_.reset(new EventLog(store_->directory()));
  return true;
}

bool Service::RecoverEvents(StateStore::Loaded* loaded) {
  std::vector<EventLog::Pending> pending = eventLog_->Recover(&loaded->problems);
  std::string error;
  if (!eventLog_->Open(&error)) {
    if (options_.persistentEvents) {
      Log::Error("cannot keep an event log: " + error +
                 "; events cannot be kept as --event-reliability persistent promises");
      return false;
    }
    Log::Error("cannot keep an event log: " + error +
               "; events with EventReliability Persistent are refused");
  }
  context_.eventLog = eventLog_.get();
  // A planned stop saves its queues before it empties the log; a log still
  // there beside them holds nothing that they do not.
  if (!loaded->stoppedCleanly) AddLogEvents(pending, &loaded->queued, &restoredFromLog_);
  return true;
}

int Service::Run(const std::function<void()>& onServing,
                 const std::function<void()>& onStopping) {
  // Before anything else: a service that could not present its certificate
  // would start, and then fail every client's handshake.
  if (options_.tls.enabled()) {
    std::string problem = CheckTlsFiles(options_.tls);
    if (!problem.empty()) {
      Log::Error(problem);
      return kBadTlsFiles;
    }
  }
  if (!OpenState()) return 1;
  std::string error;
  std::vector<std::string> rules;
  if (!TransportRules(options_.allowed, InterfaceAddresses(),
                      options_.tls.enabled() ? "ssl" : "tcp", &rules, &error)) {
    Log::Error(error);
    return 1;
  }
  if (options_.allowed.empty() && !IsLoopback(options_.listenHost)) {
    Log::Error("listening on " + options_.listenHost +
               ", but only this machine's programs may connect: --allow names the others");
  }
  RefusedPeers::Install();
  OrbRuntime::Settings settings;
  settings.host = options_.listenHost;
  settings.port = options_.port;
  settings.verbose = options_.verbose;
  // A cluster's instances serve one another's objects: their keys must
  // not depend on the process that made them.
  settings.persistent = store_ != nullptr || !options_.cluster.servers.empty();
  settings.rules = std::move(rules);
  settings.idleTimeoutSeconds = options_.idleTimeoutSeconds;
  settings.advertised = options_.advertised;
  settings.tls = options_.tls;
  OrbRuntime::Status status = orb_.Start(settings, &error);
  if (status != OrbRuntime::Status::kReady) {
    Log::Error(error);
    return 1;
  }
  AllowedSubjects::Install(options_.allowedSubjects);
  if (!StartMetrics()) {
    Shutdown();
    return 1;
  }
  if (!JoinCluster()) {
    Shutdown();
    return 1;
  }
  janitor_.reset(new Janitor);
  context_.channelPoa = PortableServer::POA::_duplicate(orb_.insPoa());
  context_.proxyPoa = PortableServer::POA::_duplicate(orb_.proxyPoa());
  context_.janitor = janitor_.get();
  StateStore::Loaded loaded;
  if (store_) {
    loaded = store_->Load();  // object references need the ORB
    if (!RecoverEvents(&loaded)) {
      Shutdown();
      return 1;
    }
    // A cluster's topology is the cluster's, and what a consumer is owed
    // stays in its position there.
    if (stream_) {
      loaded.channels.clear();
      loaded.queued.clear();
    }
  }
  if (!StartChannels(&loaded)) {
    Shutdown();
    return 1;
  }
  if (shared_) ShareTopology();
  if (store_) {
    if (relogged_ == 0 || eventLog_->WaitDurable(relogged_)) eventLog_->DropRecovered();
    // Not before: until their events are in the new log, a crash would
    // lose them.
    store_->DropQueued();
    ReportRestored(loaded);
    store_->StartWriter([this] { return Capture(); });
    store_->Changed(/*wait=*/true);  // what could not be restored is gone for good
  }
  try {
    orb_.Serve();
  } catch (const CORBA::Exception& e) {
    Log::Error(std::string("cannot serve requests: ") + e._name());
    Shutdown();
    return 1;
  }

  CosNotifyChannelAdmin::EventChannel_var first = Channels().front()->Reference();
  int port = OrbRuntime::PublishedPort(first.in());
  if (port < 0) {
    Log::Error("cannot tell which port the service listens on");
    Shutdown();
    return 1;
  }
  if (options_.port == 0) AllowRestartOnPort(port);
  // A service that listens on every interface is reached at the address
  // that its references carry, which omniORB chose among them.
  std::string host = OrbRuntime::IsWildcard(options_.listenHost)
                         ? OrbRuntime::PublishedHost(first.in())
                         : options_.listenHost;
  std::string lines;
  for (const auto& channel : Channels()) {
    lines += Address(host, port, channel->key(), options_.tls.enabled()) + "\n";
  }
  // Before the addresses go out: whoever reads them finds /health ready.
  if (metrics_) metrics_->Serving();
  Log::Addresses(lines);
  reporter_.Start();
  if (onServing) onServing();

  std::string reason = signals_.Wait().reason;
  if (onStopping) onStopping();
  Log::Info("shutting down (" + reason + ")");
  Shutdown();
  return 0;
}

bool Service::StartChannels(StateStore::Loaded* loaded) {
  std::vector<std::atomic<std::size_t>*> backlogs;
  if (store_) backlogs = store_->MapBacklogs(options_.channels);
  for (std::size_t i = 0; i < options_.channels.size(); ++i) {
    const std::string& key = options_.channels[i];
    PortableServer::Servant_var<EventChannel> channel =
        new EventChannel(key, context_, [this](EventChannel*) { OnChannelDestroyed(); });
    if (i < backlogs.size()) channel->backlog().CountIn(backlogs[i]);
    const ChannelState* restored = nullptr;
    for (const ChannelState& state : loaded->channels) {
      if (state.key == key) restored = &state;
    }
    RestoredQueues queues;
    for (QueuedEvents& queued : loaded->queued) {
      if (queued.channel == key) queues[ProxyKey(queued.admin, queued.proxy)].swap(queued.events);
    }
    std::size_t orphans = DropOrphans(restored, &queues);
    if (context_.eventLog != nullptr) {
      relogged_ = std::max(relogged_, Relog(context_.eventLog, key, queues));
    }
    try {
      channel->Activate(restored, &queues);
    } catch (const CORBA::Exception& e) {
      Log::Error("cannot serve the channel " + key + ": " + e._name());
      return false;
    }
    if (orphans > 0) {
      Log::Error("channel " + key + ": " + std::to_string(orphans) +
                 " saved events were for consumers no longer connected; they are dropped");
    }
    std::lock_guard<std::mutex> lock(channelsMutex_);
    channels_.push_back(channel);
  }
  return true;
}

bool Service::JoinCluster() {
  if (options_.cluster.servers.empty()) return true;
  std::string error;
  stream_ = OpenEventStream(options_.cluster, &error);
  if (!stream_) {
    Log::Error(error);
    return false;
  }
  context_.stream = stream_.get();
  leases_.reset(new Leases(stream_->leases(), options_.cluster.instance,
                           options_.cluster.leaseLifetime));
  proxyLeases_.reset(new ProxyLeases(leases_.get()));
  context_.leases = proxyLeases_.get();
  shared_.reset(new SharedTopology(
      stream_->topology(), [this] { return Channels(); },
      [this](const std::string& key) { return ServeClusterChannel(key); }));
  context_.shared = shared_.get();
  Log::Info("instance " + options_.cluster.instance + " of the cluster at " +
            options_.cluster.servers.front() + (options_.cluster.servers.size() > 1 ? ",..." : ""));
  return true;
}

bool Service::Serves(const std::string& key) {
  std::lock_guard<std::mutex> lock(channelsMutex_);
  for (const auto& channel : channels_) {
    if (channel->key() == key) return true;
  }
  return false;
}

std::vector<PortableServer::Servant_var<EventChannel>> Service::Channels() {
  std::lock_guard<std::mutex> lock(channelsMutex_);
  return channels_;
}

void Service::ServeClusterChannels() {
  for (const std::string& key : stream_->Channels()) ServeClusterChannel(key);
}

PortableServer::Servant_var<EventChannel> Service::ServeClusterChannel(const std::string& key) {
  // One at a time: the records' watcher and the tending both serve them.
  std::lock_guard<std::mutex> serving(servingMutex_);
  for (const auto& channel : Channels()) {
    if (channel->key() == key) return channel;
  }
  if (!CommandLine::IsValidKey(key)) return nullptr;
  PortableServer::Servant_var<EventChannel> channel =
      new EventChannel(key, context_, [this](EventChannel*) { OnChannelDestroyed(); });
  try {
    channel->Activate();
  } catch (const CORBA::Exception& e) {
    Log::Error("cannot serve the cluster's channel " + key + ": " + e._name());
    return nullptr;
  }
  {
    std::lock_guard<std::mutex> lock(channelsMutex_);
    channels_.push_back(channel);
  }
  Log::Error("channel " + key + ": served as well, since the cluster has it (no --channel " + key +
             " here)");
  return channel;
}

void Service::ShareTopology() {
  shared_->Start();
  // A reference that another instance handed out should work here as
  // soon as clients are served; without NATS the cluster's objects come
  // when it does.
  if (!shared_->WaitCaughtUp(kCatchUpBound)) {
    Log::Error("the cluster's topology is not here yet; its objects are served once it is");
  }
  shared_->Changed();  // this instance's channels, which the cluster may lack
  proxyLeases_->Start();
}

void Service::ReportRestored(const StateStore::Loaded& loaded) {
  for (const std::string& problem : loaded.problems) Log::Error(problem);
  for (const ChannelState& state : loaded.channels) {
    if (!Serves(state.key)) {
      Log::Error("channel " + state.key + " of the state directory is not served (no --channel " +
                 state.key + "); its " + std::to_string(state.proxies.size()) +
                 " proxies are dropped");
    }
  }
  if (loaded.stoppedCleanly) return;
  // What the log restored was part of the backlog at the crash; the rest
  // was held in memory only.
  for (const auto& entry : loaded.backlogAtStop) {
    std::uint64_t restored = restoredFromLog_[entry.first];
    if (entry.second <= restored) continue;
    lostAtRestore_[entry.first] = entry.second - restored;
    Log::Error("channel " + entry.first + ": " + std::to_string(entry.second - restored) +
               " queued events could not be restored: the service was not stopped cleanly");
  }
}

std::vector<ChannelState> Service::Capture() {
  std::vector<ChannelState> channels;
  for (const auto& channel : Channels()) channels.push_back(channel->Capture());
  return channels;
}

void Service::OnChannelDestroyed() {
  if (++destroyedChannels_ == Channels().size()) {
    signals_.Request("every channel was destroyed");
  }
}

void Service::Tend() {
  if (stream_) {
    ServeClusterChannels();
    shared_->Retry();  // what could not be written before
  }
  std::size_t reclaimed = 0;
  for (const auto& channel : Channels()) {
    channel->ReportDiscards();
    reclaimed += channel->ReclaimAbandoned();
  }
  // Thousands of proxies freed at once leave the heap's free pages with the
  // process; give them back, so that a flood of abandoned proxies does not
  // keep the service large for good.
  if (reclaimed >= kTrimAfterReclaiming) ReturnFreedMemory();
  for (const std::string& refused : {RefusedPeers::TakeReport(), AllowedSubjects::TakeReport()}) {
    if (!refused.empty()) Log::Error(refused);
  }
}

void Service::ReportCounters() { Log::Lines(ReportLines(Figures())); }

bool Service::StartMetrics() {
  if (options_.metricsHost.empty()) return true;
  MetricsEndpoint::Readiness ready;
  if (!options_.cluster.servers.empty()) {
    // Asked only once serving, after the cluster was joined.
    ready = [this](std::string* reason) { return stream_->Ready(reason); };
  }
  if (options_.console) {
    tail_.reset(new NotificationTail);
    tailFeed_.reset(new TailFeed(tail_.get()));
    context_.passing = tailFeed_.get();
    console_.reset(new ConsoleRoutes(tail_.get(), [this] {
      return ConsoleView(Figures(), KESTREL_VERSION, options_.stateDir);
    }));
  }
  metrics_.reset(
      new MetricsEndpoint([this] { return Figures(); }, nullptr, ready, console_.get()));
  std::string error;
  if (metrics_->Start(options_.metricsHost, options_.metricsPort, &error)) return true;
  Log::Error(error);
  metrics_.reset();
  return false;
}

ServiceFigures Service::Figures() {
  ServiceFigures figures;
  figures.uptime = std::chrono::steady_clock::now() - started_;
  std::vector<PortableServer::Servant_var<EventChannel>> channels = Channels();
  for (const auto& channel : channels) figures.channels.push_back(channel->Figures());
  figures.refusedConnections = RefusedPeers::total();
  figures.checksSubjects = !options_.allowedSubjects.empty();
  figures.refusedSubjects = AllowedSubjects::refused();
  if (stream_) {
    figures.clustered = true;
    figures.cluster = stream_->Figures();
    figures.cluster.leasesHeld = proxyLeases_->held();
    figures.cluster.takeovers = proxyLeases_->takeovers();
    figures.cluster.repeats += proxyLeases_->repeats();
  }
  EventLog* log = context_.eventLog;
  if (log == nullptr) return figures;
  figures.stateKept = true;
  figures.eventLogAppended = log->appended();
  figures.eventLogSyncs = log->syncTimes().snapshot();
  figures.eventLogSegments = log->segments();
  for (const auto& channel : channels) figures.restored[channel->key()];
  for (const auto& entry : restoredFromLog_) figures.restored[entry.first].fromLog = entry.second;
  for (const auto& entry : lostAtRestore_) figures.restored[entry.first].lost = entry.second;
  return figures;
}

void Service::Park() {
  // Nothing may change while the state is saved: incoming calls wait (and
  // fail over to the next run when the ORB goes), deliveries end with what
  // they still owe saved, and no client is told anything.
  orb_.HoldRequests();
  // What the stream has not handed over stays in it for the next start.
  if (stream_) stream_->Stop();
  std::vector<QueuedEvents> queues;
  for (const auto& channel : channels_) channel->Park(&queues);
  store_->Changed(/*wait=*/false);
  store_->StopWriter();
  std::size_t events = 0;
  for (const QueuedEvents& queue : queues) events += queue.events.size();
  if (store_->SaveQueued(queues)) {
    // The saved queues hold every event that the log still had pending.
    if (eventLog_) eventLog_->RemoveAll();
    Log::Info("saved " + std::to_string(events) + " queued events in " + store_->directory());
  }
  for (const auto& channel : channels_) channel->Release();
  if (janitor_) janitor_->Stop();
  channels_.clear();
  orb_.Stop();
}

void Service::LeaveCluster() {
  // The cluster keeps every object and connection: nothing ends but this
  // instance's part. Incoming calls wait (and fail over to another
  // instance when the ORB goes), and the consumers this instance delivered
  // to are handed over at once.
  orb_.HoldRequests();
  shared_->Stop();
  proxyLeases_->Leave();
  stream_->Stop();  // every feed at once; the proxies then let theirs go
  if (store_) store_->StopWriter();
  for (const auto& channel : channels_) channel->Release();
  if (janitor_) janitor_->Stop();
  channels_.clear();
  orb_.Stop();
}

void Service::Shutdown() {
  // The last discards are reported; then every client is told, all at
  // once, then the delivery threads end, then the ORB finishes the calls in
  // progress and goes.
  if (metrics_) metrics_->Stop();  // before what it reads goes
  reporter_.Stop();
  if (stream_ && !channels_.empty()) {
    LeaveCluster();
    return;
  }
  if (store_ && !channels_.empty()) {
    Park();
    return;
  }
  if (stream_) stream_->Stop();
  FarewellCalls farewells(context_.farewellTimeoutMs);
  for (const auto& channel : channels_) channel->Destroy(farewells);
  farewells.Run();
  if (janitor_) janitor_->Stop();
  channels_.clear();
  orb_.Stop();
}

}  // namespace channeld
}  // namespace kestrel
