// The HTTP server of the metrics endpoint, on threads of its own: it hands
// every request, whatever its method and path, to one handler, and sends
// back what that answers. Its threads write nothing anywhere; what a
// handler throws becomes a 500 with an empty body. One request per
// connection: scrapes are seconds apart, and a connection held open would
// hold a thread and delay a stop. A reply may stream (the console's tail):
// it holds one of the threads for as long as it runs, which is why the
// server is told how many may run at once.
//
// The implementation (cpp-httplib: Debian's library on Linux, its header
// compiled whole on Windows) is one file, so that nothing else sees the HTTP
// library.

#ifndef KESTREL_CHANNELD_HOST_METRICS_SERVER_H_
#define KESTREL_CHANNELD_HOST_METRICS_SERVER_H_

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "channeld/base/http_reply.h"

namespace kestrel {
namespace channeld {

class MetricsServer {
 public:
  struct Request {
    std::string method;       // "GET", "HEAD", ...
    std::string path;         // without the query
    std::string peerAddress;  // numeric
    int peerPort = 0;
    std::map<std::string, std::string> query;  // decoded; the last of a name
  };
  using Reply = HttpReply;
  // Called on the server's threads, at most a few at once.
  using Handler = std::function<Reply(const Request&)>;

  // streams: replies that may stream at once, each on a thread of its own
  // beside those that answer the scrapes.
  explicit MetricsServer(std::size_t streams = 0);
  ~MetricsServer();  // Stop()
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  // Listens on host (a name or a numeric address, IPv6 without brackets)
  // and port, and serves from then on; false, with error set, when it
  // cannot listen there. Call once.
  bool Start(const std::string& host, int port, Handler handler, std::string* error);

  // Stops listening and waits for the requests in progress, streams
  // included: end them first. Idempotent.
  void Stop();

 private:
  struct Rep;
  const std::size_t streams_;
  std::unique_ptr<Rep> rep_;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_HOST_METRICS_SERVER_H_
