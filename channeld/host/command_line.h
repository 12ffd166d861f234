// The command line of kestrel-channeld:
//   kestrel-channeld [--listen HOST] [--port N] [--channel KEY]...
//                    [--max-suppliers N] [--max-consumers N] [--queue N]
//                    [--block-timeout MS] [--push-timeout MS]
//                    [--state-dir DIR] [--event-reliability best-effort|persistent]
//                    [--allow ADDRESS[/PREFIX]]... [--connect-timeout SEC]
//                    [--max-unconnected N] [--idle-timeout SEC]
//                    [--metrics ADDRESS:PORT] [--advertise HOST:PORT]...
//                    [--cluster nats://HOST:PORT[,...] [--instance NAME]
//                     [--stream-replicas N] [--stream-max-age SEC]
//                     [--stream-max-bytes N] [--accept-timeout MS]
//                     [--nats-creds FILE] [--nats-tls-ca FILE]
//                     [--nats-tls-cert FILE --nats-tls-key FILE]]
//                    [--console] [--verbose]
//                    | --help | --version
// Every option also takes the form --option=value.

#ifndef KESTREL_CHANNELD_HOST_COMMAND_LINE_H_
#define KESTREL_CHANNELD_HOST_COMMAND_LINE_H_

#include <cstddef>
#include <string>
#include <vector>

#include "channeld/cluster/event_stream.h"
#include "orb/tls_context.h"

namespace kestrel {
namespace channeld {

// What the service runs with.
struct ServiceOptions {
  static constexpr const char* kDefaultChannel = "NotifyEventChannel";

  std::string listenHost = "127.0.0.1";
  int port = 0;                       // 0: the system picks a free port
  std::vector<std::string> channels;  // object keys; never empty once parsed
  long maxSuppliers = 10000;          // proxy consumers per channel; 0: no limit
  long maxConsumers = 10000;          // proxy suppliers per channel; 0: no limit
  std::size_t queueLength = 10000;    // events held for each consumer
  unsigned long blockTimeoutMs = 2000;  // a push's wait for room; 0: never
  unsigned long pushTimeoutMs = 5000;  // one delivery call to a consumer
  long maxUnconnected = 1000;  // proxies obtained but not connected per channel; 0: no limit
  unsigned long connectTimeoutSeconds = 60;  // an obtained proxy's wait for its client; 0: never
  unsigned long idleTimeoutSeconds = 60;  // an incoming connection without calls; 0: never
  std::vector<std::string> allowed;  // peers that may connect; empty: loopback only
  std::string stateDir;  // empty: nothing survives a restart
  bool persistentEvents = false;  // EventReliability Persistent by default
  // Where the metrics endpoint listens (HTTP); an empty host: it does not.
  std::string metricsHost;
  int metricsPort = 0;
  bool console = false;  // the live console at / of the metrics endpoint
  bool filters = true;  // false: filter calls answer NO_IMPLEMENT
  bool verbose = false;
  // HOST:PORT addresses that every object reference carries, in order, in
  // place of the listening address; empty: the listening address.
  std::vector<std::string> advertised;
  // With servers: one instance of a cluster (--cluster and its options).
  ClusterSettings cluster;
  // IIOP over TLS when enabled() (all three files named).
  TlsFiles tls;
  // With TLS: the certificate subjects that may call; empty: every one.
  std::vector<std::string> allowedSubjects;
};

class CommandLine {
 public:
  enum class Action { kRun, kHelp, kVersion, kError };

  // Never raises. On kError, error() says what is wrong.
  static CommandLine Parse(int argc, const char* const argv[]);

  // The usage text, one option a line, ending in a newline.
  static std::string Usage(const std::string& program);

  // True when key can be used as is in corbaloc:iiop:HOST:PORT/KEY: not empty,
  // and only characters that a corbaloc object key carries unescaped.
  static bool IsValidKey(const std::string& key);

  Action action() const { return action_; }
  const ServiceOptions& options() const { return options_; }
  const std::string& error() const { return error_; }

 private:
  bool Fail(const std::string& message);
  void CheckTls();
  bool Apply(const std::string& name, const std::string& value);
  bool ApplyCluster(const std::string& name, const std::string& value);
  // The cluster's options hang together; an instance's name comes from
  // the host and port unless given.
  void CheckCluster();

  Action action_ = Action::kRun;
  ServiceOptions options_;
  std::string error_;
  std::string clusterOption_;  // the last cluster-only option given
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_HOST_COMMAND_LINE_H_
