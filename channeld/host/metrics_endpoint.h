// The service's metrics endpoint (--metrics), over HTTP:
//
//   GET /metrics  the service's figures (see MetricsPage), 200; 503 while
//                 the service restores its state, when they are not yet
//                 all there
//   GET /health   200 once the service serves its channels and while it is
//                 ready (in a cluster: NATS reachable and the channels'
//                 streams there), 503 otherwise, with the reason
//
// With --console, also / and /console/... (see channeld/console/), which
// answer 404 without it.
//
// HEAD as GET; any other method 405, any other path 404. Only the peers
// that the service's --allow rules let in are answered (loopback and the
// machine's own addresses by default); any other gets 403 and nothing of
// the service, and is counted and reported with the connections refused.
//
// The endpoint starts before the restore, so that a monitor sees the
// service is there but not ready, and stops before the service takes its
// channels down. It reads what the service counts anyway; it adds nothing
// to the delivery of an event.

#ifndef KESTREL_CHANNELD_HOST_METRICS_ENDPOINT_H_
#define KESTREL_CHANNELD_HOST_METRICS_ENDPOINT_H_

#include <atomic>
#include <functional>
#include <string>

#include "channeld/console/console_routes.h"
#include "channeld/host/metrics_server.h"
#include "channeld/host/service_figures.h"

namespace kestrel {
namespace channeld {

class MetricsEndpoint {
 public:
  // Takes the service's figures; called on the server's threads, only
  // between Serving and Stop.
  using Figures = std::function<ServiceFigures()>;
  // Whether a peer (numeric address, port) may be answered.
  using PeerCheck = std::function<bool(const std::string& address, int port)>;
  // Whether the service can do its work now; when not, reason says why.
  using Readiness = std::function<bool(std::string* reason)>;

  // peerAllowed: PeerAllowed (the ORB's rules) unless told otherwise;
  // ready: always, once serving, unless given; console: the console's
  // paths, when served, which must outlive the endpoint.
  explicit MetricsEndpoint(Figures figures, PeerCheck peerAllowed = nullptr,
                           Readiness ready = nullptr, ConsoleRoutes* console = nullptr);
  ~MetricsEndpoint();  // Stop()
  MetricsEndpoint(const MetricsEndpoint&) = delete;
  MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

  // Listens on host:port; false, with error set (one line, for the log),
  // when it cannot. REQUIRES: the ORB started, unless a PeerCheck was
  // given.
  bool Start(const std::string& host, int port, std::string* error);
  // The channels serve: /health says so, /metrics has the figures.
  void Serving();
  // Answers nobody from now on; ends the console's tails and waits for
  // the requests in progress. Idempotent.
  void Stop();

  // What the endpoint answers request (the server's handler).
  MetricsServer::Reply Answer(const MetricsServer::Request& request);

 private:
  const Figures figures_;
  const PeerCheck peerAllowed_;
  const Readiness ready_;
  ConsoleRoutes* const console_;
  std::atomic<bool> serving_{false};
  MetricsServer server_;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_HOST_METRICS_ENDPOINT_H_
