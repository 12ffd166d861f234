#include "channeld/cluster/nats_connection.h"

#include <vector>

#include "channeld/base/log.h"

namespace kestrel {
namespace channeld {

namespace {

// The connections of this process that are open, across instances of the
// class: the library is the process's, and closes with the last.
std::atomic<int>& OpenConnections() {
  static std::atomic<int> open{0};
  return open;
}


// The header that JetStream's duplicate window reads.
constexpr const char* kMessageIdHeader = "Nats-Msg-Id";

AckWaiters::Answer AnswerFor(const jsPubAck* ack, const jsPubAckErr* error) {
  if (ack != nullptr) return AckWaiters::Answer::kStored;
  if (error == nullptr) return AckWaiters::Answer::kRefused;
  switch (error->Err) {
    case NATS_TIMEOUT:
      return AckWaiters::Answer::kTimedOut;
    case NATS_NO_RESPONDERS:
      return AckWaiters::Answer::kNoResponders;
    case NATS_CONNECTION_CLOSED:
      return AckWaiters::Answer::kClosed;
    default:
      return AckWaiters::Answer::kRefused;
  }
}

std::string ConnectedUrl(natsConnection* connection) {
  char url[256] = {};
  if (natsConnection_GetConnectedUrl(connection, url, sizeof url) != NATS_OK || url[0] == '\0') {
    return "?";
  }
  return url;
}

std::string Failed(const char* what, natsStatus status) {
  return std::string(what) + ": " + natsStatus_GetText(status);
}

}  // namespace

NatsConnection::NatsConnection(const ClusterSettings& settings, AckWaiters* waiters)
    : settings_(settings), waiters_(waiters) {}

NatsConnection::~NatsConnection() { Close(); }

bool NatsConnection::Configure(std::string* error) {
  natsStatus status = natsOptions_Create(&options_);
  if (status != NATS_OK) {
    *error = Failed("cannot set up the connection to the cluster", status);
    return false;
  }
  std::vector<const char*> servers;
  for (const std::string& server : settings_.servers) servers.push_back(server.c_str());
  status = natsOptions_SetServers(options_, servers.data(), static_cast<int>(servers.size()));
  if (status != NATS_OK) {
    *error = Failed("--cluster", status);
    return false;
  }
  natsOptions_SetName(options_, ("kestrel-channeld " + settings_.instance).c_str());
  // A service that outlives its servers' restarts: it never gives up on
  // them, and starts (and serves, answering TRANSIENT) before they answer.
  natsOptions_SetMaxReconnect(options_, -1);
  natsOptions_SetReconnectWait(options_, 500);
  // With no callback the library would retry within Connect, for ever;
  // with one, Connect returns and it goes on trying in the background.
  natsOptions_SetRetryOnFailedConnect(options_, true, &NatsConnection::OnConnected, this);
  natsOptions_SetReconnectedCB(options_, &NatsConnection::OnReconnected, this);
  natsOptions_SetDisconnectedCB(options_, &NatsConnection::OnDisconnected, this);
  if (!settings_.credentials.empty()) {
    status = natsOptions_SetUserCredentialsFromFiles(options_, settings_.credentials.c_str(),
                                                     nullptr);
    if (status != NATS_OK) {
      *error = Failed(("--nats-creds " + settings_.credentials).c_str(), status);
      return false;
    }
  }
  if (!settings_.tlsCa.empty()) {
    natsOptions_SetSecure(options_, true);
    status = natsOptions_LoadCATrustedCertificates(options_, settings_.tlsCa.c_str());
    if (status != NATS_OK) {
      *error = Failed(("--nats-tls-ca " + settings_.tlsCa).c_str(), status);
      return false;
    }
  }
  if (!settings_.tlsCertificate.empty() || !settings_.tlsKey.empty()) {
    natsOptions_SetSecure(options_, true);
    status = natsOptions_LoadCertificatesChain(options_, settings_.tlsCertificate.c_str(),
                                               settings_.tlsKey.c_str());
    if (status != NATS_OK) {
      *error = Failed("--nats-tls-cert and --nats-tls-key", status);
      return false;
    }
  }
  return true;
}

bool NatsConnection::Open(std::string* error) {
  if (!Configure(error)) return false;
  natsStatus status = natsConnection_Connect(&connection_, options_);
  if (connection_ != nullptr) ++OpenConnections();
  // Not yet connected: it goes on trying in the background.
  if (status == NATS_NOT_YET_CONNECTED) {
    Log::Error("cluster: no NATS server answers yet; serving, and trying in the background");
  } else if (status != NATS_OK) {
    *error = Failed("cannot connect to the cluster", status);
    return false;
  } else {
    everConnected_ = true;
  }
  jsOptions options;
  jsOptions_Init(&options);
  options.Wait = static_cast<std::int64_t>(settings_.acceptTimeoutMs);
  options.PublishAsync.MaxPending = kMaxInFlight;
  options.PublishAsync.AckHandler = &NatsConnection::OnAck;
  options.PublishAsync.AckHandlerClosure = this;
  options.PublishAsync.StallWait = static_cast<std::int64_t>(settings_.acceptTimeoutMs);
  status = natsConnection_JetStream(&js_, connection_, &options);
  if (status == NATS_OK) {
    jsOptions quick;
    jsOptions_Init(&quick);
    quick.Wait = kQuickWaitMs;
    status = natsConnection_JetStream(&quickJs_, connection_, &quick);
  }
  if (status != NATS_OK) {
    *error = Failed("cannot use JetStream", status);
    return false;
  }
  return true;
}

void NatsConnection::Close() {
  closing_ = true;  // the end of the connection is no loss to report
  bool opened = connection_ != nullptr;
  if (js_ != nullptr) jsCtx_Destroy(js_);
  js_ = nullptr;
  if (quickJs_ != nullptr) jsCtx_Destroy(quickJs_);
  quickJs_ = nullptr;
  if (connection_ != nullptr) natsConnection_Destroy(connection_);
  connection_ = nullptr;
  if (options_ != nullptr) natsOptions_Destroy(options_);
  options_ = nullptr;
  // The library's own threads and timers are the process's: they end with
  // its last connection (the service has one; a test may have several),
  // so that nothing is left running, or reported as leaked, at exit.
  if (opened && --OpenConnections() == 0) nats_CloseAndWait(2000);
}

bool NatsConnection::connected() const {
  return connection_ != nullptr && natsConnection_Status(connection_) == NATS_CONN_STATUS_CONNECTED;
}

natsStatus NatsConnection::PublishAsync(const std::string& subject, const std::string& id,
                                        const void* data, std::size_t size, bool persistent,
                                        std::int64_t maxWaitMs) {
  natsMsg* message = nullptr;
  natsStatus status = natsMsg_Create(&message, subject.c_str(), nullptr,
                                     static_cast<const char*>(data), static_cast<int>(size));
  if (status == NATS_OK) status = natsMsgHeader_Set(message, kMessageIdHeader, id.c_str());
  if (status == NATS_OK && persistent) status = natsMsgHeader_Set(message, kPersistentHeader, "1");
  if (status == NATS_OK) {
    jsPubOptions options;
    jsPubOptions_Init(&options);
    options.MaxWait = maxWaitMs;
    if (inFlight_.fetch_add(1) >= kMaxInFlight) stalls_.fetch_add(1, std::memory_order_relaxed);
    status = js_PublishMsgAsync(js_, &message, &options);
    // On success the library owns the message and its answer comes to
    // OnAck, which counts it out.
    if (status != NATS_OK) inFlight_.fetch_sub(1);
  }
  natsMsg_Destroy(message);  // null once the library took it
  return status;
}

void NatsConnection::OnAck(jsCtx*, natsMsg* message, jsPubAck* ack, jsPubAckErr* error,
                           void* closure) {
  auto* self = static_cast<NatsConnection*>(closure);
  self->inFlight_.fetch_sub(1);
  const char* id = nullptr;
  if (natsMsgHeader_Get(message, kMessageIdHeader, &id) == NATS_OK && id != nullptr) {
    self->waiters_->Settle(id, AnswerFor(ack, error));
  }
  natsMsg_Destroy(message);
}

void NatsConnection::OnConnected(natsConnection* connection, void* closure) {
  static_cast<NatsConnection*>(closure)->everConnected_ = true;
  Log::Error("cluster: connected to NATS at " + ConnectedUrl(connection));
}

void NatsConnection::OnDisconnected(natsConnection*, void* closure) {
  // Also called when a connection that never came up fails again: the
  // operator hears of a loss once, and of the start's wait at connection.
  auto* self = static_cast<NatsConnection*>(closure);
  if (!self->everConnected_.load() || self->closing_.load()) return;
  Log::Error("cluster: lost the connection to NATS; pushes fail after --accept-timeout and "
             "deliveries pause until it is back");
}

void NatsConnection::OnReconnected(natsConnection* connection, void* closure) {
  static_cast<NatsConnection*>(closure)->reconnections_.fetch_add(1, std::memory_order_relaxed);
  Log::Error("cluster: reconnected to NATS at " + ConnectedUrl(connection));
}

}  // namespace channeld
}  // namespace kestrel
