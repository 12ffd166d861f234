// kestrel-channeld as a whole: starts the ORB, serves one channel per key,
// prints each channel's corbaloc address on stdout, reports discarded events
// on stderr (and every counter on SIGUSR1), and on SIGTERM, SIGINT or the
// destruction of its last channel disconnects every client and stops.
//
// With a state directory it restores, at start, what the previous run left
// there (channels, admins, proxies, connections, queued events), keeps it
// up to date, and at a planned stop keeps every client connected and saves
// the events still queued instead of saying goodbye.

#ifndef KESTREL_CHANNELD_HOST_SERVICE_H_
#define KESTREL_CHANNELD_HOST_SERVICE_H_

#include <omniORB4/CORBA.h>

#include <atomic>
#include <chrono>
#include <map>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "channeld/cluster/event_stream.h"
#include "channeld/cluster/leases.h"
#include "channeld/host/command_line.h"
#include "channeld/console/console_routes.h"
#include "channeld/console/notification_tail.h"
#include "channeld/host/metrics_endpoint.h"
#include "channeld/host/reporter.h"
#include "channeld/host/service_figures.h"
#include "channeld/model/proxy_leases.h"
#include "channeld/model/service_context.h"
#include "channeld/model/shared_topology.h"
#include "channeld/runtime/janitor.h"
#include "channeld/runtime/orb_runtime.h"
#include "channeld/state/event_log.h"
#include "channeld/state/state_lock.h"
#include "channeld/state/state_store.h"
#include "tools/common/stop_signals.h"

namespace kestrel {
namespace channeld {

class EventChannel;

class Service {
 public:
  explicit Service(const ServiceOptions& options);
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // The exit status of a start whose TLS files cannot be used, as for a
  // command line that cannot be.
  static constexpr int kBadTlsFiles = 2;

  // Runs the service to its end; answers the exit status: 0 after a graceful
  // shutdown, kBadTlsFiles or 1 when it could not start. onServing, when given, is called
  // once clients are served and the addresses are out; onStopping when a
  // stop is asked for, before anything ends.
  // REQUIRES: tools::StopSignals::BlockInProcess(true) was called first.
  int Run(const std::function<void()>& onServing = nullptr,
          const std::function<void()>& onStopping = nullptr);

  // The address that clients use for the channel at key: corbaloc:ssliop:
  // with tls, else corbaloc:iiop:.
  static std::string Address(const std::string& host, int port, const std::string& key,
                             bool tls);

 private:
  bool OpenState();
  bool StartChannels(StateStore::Loaded* loaded);
  // With --cluster: the cluster's stream, connecting in the background.
  bool JoinCluster();
  // Serves, at once, the channels that the cluster has and this instance
  // was not given.
  void ServeClusterChannels();
  // The cluster's channel key, served from now on if it was not; null when
  // it cannot be.
  PortableServer::Servant_var<EventChannel> ServeClusterChannel(const std::string& key);
  // Applies the cluster's topology, and starts taking leases.
  void ShareTopology();
  // A planned stop of one instance of a cluster.
  void LeaveCluster();
  // How long a start waits for the cluster's topology before serving.
  static constexpr std::chrono::seconds kCatchUpBound{5};
  bool Serves(const std::string& key);
  std::vector<PortableServer::Servant_var<EventChannel>> Channels();
  bool RecoverEvents(StateStore::Loaded* loaded);
  void ReportRestored(const StateStore::Loaded& loaded);
  std::vector<ChannelState> Capture();
  void Park();
  void OnChannelDestroyed();
  void Shutdown();
  // Once a second: discards reported, abandoned proxies reclaimed, refused
  // connections reported.
  void Tend();
  static constexpr std::size_t kTrimAfterReclaiming = 1000;
  void ReportCounters();
  // The metrics endpoint, when --metrics asks for one; false when it
  // cannot listen.
  bool StartMetrics();
  // What the counters' report and the metrics page show. Reads channels_:
  // only between StartChannels and Shutdown.
  ServiceFigures Figures();

  ServiceOptions options_;
  // Released last, once nothing of the service can write to the directory.
  std::unique_ptr<StateLock> lock_;
  const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  // Before signals_, whose SIGUSR1 asks it for the counters. It reads
  // channels_ only between StartChannels and Shutdown, which change it.
  Reporter reporter_;
  tools::StopSignals signals_;
  OrbRuntime orb_;
  std::unique_ptr<Janitor> janitor_;
  std::unique_ptr<StateStore> store_;
  std::unique_ptr<EventLog> eventLog_;
  EventLog::Position relogged_ = 0;
  std::map<std::string, std::uint64_t> restoredFromLog_;  // by channel key
  std::map<std::string, std::uint64_t> lostAtRestore_;    // by channel key
  // With --console: the notifications' tail, which the channels feed while
  // a page watches, and the console's paths; they outlive the endpoint.
  std::unique_ptr<NotificationTail> tail_;
  std::unique_ptr<PassingEvents> tailFeed_;
  std::unique_ptr<ConsoleRoutes> console_;
  // Stopped first: it reads the channels and asks the ORB's rules.
  std::unique_ptr<MetricsEndpoint> metrics_;
  ServiceContext context_;
  // Stopped before the channels go: it calls into them.
  std::unique_ptr<EventStream> stream_;
  // In a cluster: the leases, which the proxies' share of them uses, and
  // the shared topology; stopped before the channels go.
  std::unique_ptr<Leases> leases_;
  std::unique_ptr<ProxyLeases> proxyLeases_;
  std::unique_ptr<SharedTopology> shared_;
  std::mutex servingMutex_;  // serving a cluster's channel
  // Guards channels_ while the service runs: a cluster's channels join it
  // on the reporter's thread while others read it (the metrics, the state
  // writer).
  std::mutex channelsMutex_;
  std::vector<PortableServer::Servant_var<EventChannel>> channels_;
  std::atomic<std::size_t> destroyedChannels_{0};
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_HOST_SERVICE_H_
