#include "channeld/host/metrics_server.h"

#include <httplib.h>

#include <ace/OS_NS_errno.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

#include "channeld/base/system.h"

namespace kestrel {
namespace channeld {

namespace {

// Scrapes are seconds apart and take milliseconds: two threads answer
// them (besides the streams'), and another takes the connections.
constexpr std::size_t kThreads = 2;
// A peer that sends its request, or reads its answer, no faster than this
// loses its connection; it also bounds how long a stop waits for it.
constexpr time_t kTimeoutSeconds = 2;

// httplib's pool, with nothing escaping its threads.
class GuardedPool : public httplib::TaskQueue {
 public:
  explicit GuardedPool(std::size_t threads) : pool_(threads) {}
  void enqueue(std::function<void()> task) override {
    pool_.enqueue([task] {
      try {
        task();
      } catch (...) {
      }
    });
  }
  void shutdown() override { pool_.shutdown(); }

 private:
  httplib::ThreadPool pool_;
};

void Answer(const MetricsServer::Handler& handler, const httplib::Request& request,
            httplib::Response* response) {
  MetricsServer::Reply reply;
  try {
    MetricsServer::Request asked;
    asked.method = request.method;
    asked.path = request.path;
    asked.peerAddress = request.remote_addr;
    asked.peerPort = request.remote_port;
    for (const auto& parameter : request.params) asked.query[parameter.first] = parameter.second;
    reply = handler(asked);
  } catch (...) {
    reply = MetricsServer::Reply();
    reply.status = 500;
  }
  response->status = reply.status;
  for (const auto& header : reply.headers) response->set_header(header.first, header.second);
  if (!reply.stream || request.method == "HEAD") {
    response->set_content(reply.body, reply.contentType.c_str());
    return;
  }
  auto stream = std::move(reply.stream);
  response->set_chunked_content_provider(
      reply.contentType, [stream](std::size_t, httplib::DataSink& sink) {
        try {
          stream([&sink](std::string_view data) { return sink.write(data.data(), data.size()); });
        } catch (...) {
        }
        sink.done();
        return true;
      });
}

std::string Endpoint(const std::string& host, int port) {
  bool ipv6 = host.find(':') != std::string::npos;
  return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string BindError(int why) {
  if (IsAddressInUse(why)) return "the address is already in use";
  return why != 0 ? std::strerror(why) : "no such address here";
}

}  // namespace

struct MetricsServer::Rep {
  httplib::Server server;
  Handler handler;
  std::thread thread;
  std::atomic<bool> ended{false};
};

MetricsServer::MetricsServer(std::size_t streams) : streams_(streams), rep_(new Rep) {}

MetricsServer::~MetricsServer() { Stop(); }

bool MetricsServer::Start(const std::string& host, int port, Handler handler,
                          std::string* error) {
  Rep& rep = *rep_;
  rep.handler = std::move(handler);
  httplib::Server& server = rep.server;
  std::size_t threads = kThreads + streams_;
  server.new_task_queue = [threads] { return new GuardedPool(threads); };
  // httplib's own options would share the port with another listener
  // (SO_REUSEPORT): a second service would then take some of the scrapes
  // instead of failing to start.
  // (Winsock's SOCKET is an integer, ACE's handle a pointer there.)
  server.set_socket_options(
      [](socket_t socket) { PrepareExclusiveBind(reinterpret_cast<ACE_HANDLE>(socket)); });
  server.set_keep_alive_max_count(1);
  server.set_read_timeout(kTimeoutSeconds, 0);
  server.set_write_timeout(kTimeoutSeconds, 0);
  // Every request goes to the handler, before httplib's routing.
  server.set_pre_routing_handler([&rep](const httplib::Request& request,
                                        httplib::Response& response) {
    Answer(rep.handler, request, &response);
    return httplib::Server::HandlerResponse::Handled;
  });
  errno = 0;
  ACE_OS::last_error(0);
  if (!server.bind_to_port(host, port)) {
    // errno on Linux; Winsock's own code on Windows.
    int why = errno != 0 ? errno : ACE_OS::last_error();
    *error = "cannot serve metrics on " + Endpoint(host, port) + ": " + BindError(why);
    return false;
  }
  rep.thread = std::thread([&rep] {
    try {
      rep.server.listen_after_bind();
    } catch (...) {
    }
    rep.ended = true;
  });
  // httplib's stop does nothing to a server that is not running yet.
  while (!rep.server.is_running() && !rep.ended) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void MetricsServer::Stop() {
  if (!rep_->thread.joinable()) return;
  rep_->server.stop();
  rep_->thread.join();
}

}  // namespace channeld
}  // namespace kestrel
