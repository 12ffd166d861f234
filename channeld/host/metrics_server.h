// The HTTP server of the metrics endpoint, on threads of its own: it hands
// every request, whatever its method and path, to one handler, and sends
// back what that answers. Its threads write nothing anywhere; what a
// handler throws becomes a 500 with an empty body. One request per
// connection: scrapes are seconds apart, and a connection held open would
// hold a thread and delay a stop.
//
// The implementation (cpp-httplib: Debian's library on Linux, its header
// compiled whole on Windows) is one file, so that nothing else sees the HTTP
// library.

#ifndef KESTREL_CHANNELD_HOST_METRICS_SERVER_H_
#define KESTREL_CHANNELD_HOST_METRICS_SERVER_H_

#include <functional>
#include <memory>
#include <string>

namespace kestrel {
namespace channeld {

class MetricsServer {
 public:
  struct Request {
    std::string method;       // "GET", "HEAD", ...
    std::string path;         // without the query
    std::string peerAddress;  // numeric
    int peerPort = 0;
  };
  struct Reply {
    int status = 200;
    std::string contentType = "text/plain; charset=utf-8";
    std::string body;
  };
  // Called on the server's threads, at most a few at once.
  using Handler = std::function<Reply(const Request&)>;

  MetricsServer();
  ~MetricsServer();  // Stop()
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  // Listens on host (a name or a numeric address, IPv6 without brackets)
  // and port, and serves from then on; false, with error set, when it
  // cannot listen there. Call once.
  bool Start(const std::string& host, int port, Handler handler, std::string* error);

  // Stops listening and waits for the requests in progress. Idempotent.
  void Stop();

 private:
  struct Rep;
  std::unique_ptr<Rep> rep_;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_HOST_METRICS_SERVER_H_
