#include "channeld/host/metrics_endpoint.h"

#include <utility>

#include "channeld/host/metrics_page.h"
#include "channeld/runtime/allowed_peers.h"

namespace kestrel {
namespace channeld {

namespace {

MetricsServer::Reply Plain(int status, const std::string& body) {
  MetricsServer::Reply reply;
  reply.status = status;
  reply.body = body;
  return reply;
}

}  // namespace

MetricsEndpoint::MetricsEndpoint(Figures figures, PeerCheck peerAllowed, Readiness ready,
                                 ConsoleRoutes* console)
    : figures_(std::move(figures)),
      peerAllowed_(peerAllowed ? std::move(peerAllowed) : PeerCheck(&PeerAllowed)),
      ready_(std::move(ready)),
      console_(console),
      server_(console != nullptr ? console->maxStreams() : 0) {}

MetricsEndpoint::~MetricsEndpoint() { Stop(); }

bool MetricsEndpoint::Start(const std::string& host, int port, std::string* error) {
  return server_.Start(host, port, [this](const MetricsServer::Request& request) {
    return Answer(request);
  }, error);
}

void MetricsEndpoint::Serving() { serving_.store(true, std::memory_order_release); }

void MetricsEndpoint::Stop() {
  if (console_ != nullptr) console_->Close();
  server_.Stop();
}

MetricsServer::Reply MetricsEndpoint::Answer(const MetricsServer::Request& request) {
  if (!peerAllowed_(request.peerAddress, request.peerPort)) {
    return Plain(403, "forbidden: --allow does not name this peer\n");
  }
  if (request.method != "GET" && request.method != "HEAD") {
    return Plain(405, "method not allowed\n");
  }
  if (console_ != nullptr && ConsoleRoutes::Serves(request.path)) {
    if (request.path == "/console/state" && !serving_.load(std::memory_order_acquire)) {
      return Plain(503, "restoring the state\n");
    }
    auto constraint = request.query.find("constraint");
    return console_->Answer(
        request.path, constraint != request.query.end() ? constraint->second : std::string());
  }
  bool serving = serving_.load(std::memory_order_acquire);
  if (request.path == "/health") {
    if (!serving) return Plain(503, "restoring the state\n");
    std::string reason;
    if (ready_ && !ready_(&reason)) return Plain(503, reason + "\n");
    return Plain(200, "serving\n");
  }
  if (request.path != "/metrics") return Plain(404, "not found: /metrics or /health\n");
  if (!serving) return Plain(503, "restoring the state\n");
  MetricsServer::Reply reply;
  reply.contentType = kMetricsContentType;
  reply.body = MetricsPage(figures_(), KESTREL_VERSION);
  return reply;
}

}  // namespace channeld
}  // namespace kestrel
