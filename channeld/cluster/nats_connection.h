// This instance's connection to the cluster's NATS servers, with its
// JetStream context. It connects in the background when no server answers
// yet and reconnects, through every server given, for as long as it lives.
// Answers to asynchronous publishes go to the AckWaiters that it is given,
// by message id.

#ifndef KESTREL_CHANNELD_CLUSTER_NATS_CONNECTION_H_
#define KESTREL_CHANNELD_CLUSTER_NATS_CONNECTION_H_

#include <nats/nats.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "channeld/cluster/ack_waiters.h"
#include "channeld/cluster/event_stream.h"

namespace kestrel {
namespace channeld {

class NatsConnection {
 public:
  // The header that carries an event's EventReliability.
  static constexpr const char* kPersistentHeader = "Kestrel-Persistent";

  NatsConnection(const ClusterSettings& settings, AckWaiters* waiters);
  ~NatsConnection();  // Close()
  NatsConnection(const NatsConnection&) = delete;
  NatsConnection& operator=(const NatsConnection&) = delete;

  // Starts connecting; false, with error set, when the settings cannot be
  // used (a server address, a credentials or certificate file).
  bool Open(std::string* error);
  // Ends the connection and the library's threads that serve it. REQUIRES:
  // not called on one of the library's threads. Idempotent.
  void Close();

  bool connected() const;
  jsCtx* js() const { return js_; }
  // The same, for requests that nothing waits on the answer of but a stop
  // (a watcher's start and end, which make and delete a consumer): they
  // give up after kQuickWaitMs, so that a stop is not held up by a server
  // that does not answer.
  jsCtx* quickJs() const { return quickJs_; }
  static constexpr std::int64_t kQuickWaitMs = 1000;
  std::uint64_t reconnections() const { return reconnections_.load(); }

  // Publishes data on subject under id, without waiting: the answer, or a
  // timeout after maxWaitMs, goes to the waiters. False when the message
  // could not even be sent.
  natsStatus PublishAsync(const std::string& subject, const std::string& id, const void* data,
                          std::size_t size, bool persistent, std::int64_t maxWaitMs);
  // Appends waiting for room among those in flight.
  std::uint64_t stalls() const { return stalls_.load(); }

  // How many appends may be in flight at once, across the connection.
  static constexpr std::int64_t kMaxInFlight = 4096;

 private:
  static void OnAck(jsCtx* js, natsMsg* msg, jsPubAck* ack, jsPubAckErr* error, void* closure);
  static void OnConnected(natsConnection* connection, void* closure);
  static void OnDisconnected(natsConnection* connection, void* closure);
  static void OnReconnected(natsConnection* connection, void* closure);
  bool Configure(std::string* error);

  const ClusterSettings settings_;
  AckWaiters* const waiters_;
  natsOptions* options_ = nullptr;
  natsConnection* connection_ = nullptr;
  jsCtx* js_ = nullptr;
  jsCtx* quickJs_ = nullptr;
  std::atomic<std::uint64_t> reconnections_{0};
  std::atomic<bool> everConnected_{false};
  std::atomic<bool> closing_{false};
  std::atomic<std::uint64_t> stalls_{0};
  std::atomic<std::int64_t> inFlight_{0};
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_CLUSTER_NATS_CONNECTION_H_
