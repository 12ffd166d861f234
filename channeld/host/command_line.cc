#include "channeld/host/command_line.h"

#include <ace/OS_NS_unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "channeld/host/service_host.h"
#include "channeld/runtime/allowed_peers.h"

namespace kestrel {
namespace channeld {

namespace {

// Characters that RFC 2396 lets a URL path carry unescaped; '%' is left out,
// since it would start an escape.
bool IsKeyCharacter(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::strchr(";/:?@&=+$,-_.!~*'()", c) != nullptr;
}

// A whole decimal number in [low, high]; no sign, no blanks, no suffix.
bool ParseNumber(const std::string& text, unsigned long long low, unsigned long long high,
                 unsigned long long* out) {
  if (text.empty() || text.size() > 19) return false;
  if (!std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return false;
  }
  errno = 0;
  unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
  if (errno != 0 || value < low || value > high) return false;
  *out = value;
  return true;
}

// ADDRESS:PORT, an IPv6 address in brackets ([::1]:9464); the host comes
// without them.
bool ParseEndpoint(const std::string& text, std::string* host, int* port) {
  std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  std::string address = text.substr(0, colon);
  if (address.front() == '[') {
    if (address.size() < 3 || address.back() != ']') return false;
    address = address.substr(1, address.size() - 2);
  } else if (address.find_first_of(":]") != std::string::npos) {
    return false;
  }
  if (address.find_first_of(" \t\r\n/[]") != std::string::npos) return false;
  unsigned long long number = 0;
  if (!ParseNumber(text.substr(colon + 1), 1, 65535, &number)) return false;
  *host = address;
  *port = static_cast<int>(number);
  return true;
}

// The options that only an instance of a cluster takes.
bool IsClusterOption(const std::string& name) {
  return name == "--instance" || name == "--stream-replicas" || name == "--stream-max-age" ||
         name == "--stream-max-bytes" || name == "--accept-timeout" ||
         name == "--lease-lifetime" || name == "--nats-creds" ||
         name == "--nats-tls-ca" || name == "--nats-tls-cert" || name == "--nats-tls-key";
}

bool TakesValue(const std::string& name) {
  return name == "--listen" || name == "--port" || name == "--channel" ||
         name == "--max-suppliers" || name == "--max-consumers" || name == "--queue" ||
         name == "--block-timeout" || name == "--push-timeout" || name == "--state-dir" ||
         name == "--event-reliability" || name == "--allow" || name == "--connect-timeout" ||
         name == "--max-unconnected" || name == "--idle-timeout" || name == "--metrics" ||
         name == "--advertise" || name == "--cluster" || IsClusterOption(name) ||
         name == "--tls-cert" || name == "--tls-key" || name == "--tls-ca" ||
         name == "--allow-subject";
}

// nats://HOST:PORT or tls://HOST:PORT, with user:password@ before the host
// if the servers want one; nats.c reads the rest.
bool IsServerUrl(const std::string& url) {
  std::size_t scheme = url.find("://");
  if (scheme == std::string::npos) return false;
  std::string name = url.substr(0, scheme);
  if (name != "nats" && name != "tls") return false;
  std::string rest = url.substr(scheme + 3);
  return !rest.empty() && rest.find_first_of(" \t\r\n/") == std::string::npos;
}

std::string HostName() {
  char name[256] = {};
  if (ACE_OS::hostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "kestrel";
  return name;
}

bool Split(const std::string& list, std::vector<std::string>* items) {
  std::size_t start = 0;
  for (;;) {
    std::size_t comma = list.find(',', start);
    std::string item = list.substr(start, comma == std::string::npos ? comma : comma - start);
    if (item.empty()) return false;
    items->push_back(item);
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

}  // namespace

CommandLine CommandLine::Parse(int argc, const char* const argv[]) {
  CommandLine line;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i] != nullptr ? argv[i] : "";
    if (argument == "--help" || argument == "-h") {
      line.action_ = Action::kHelp;
      return line;
    }
    if (argument == "--version") {
      line.action_ = Action::kVersion;
      return line;
    }
    if (argument == "--no-filters") {
      line.options_.filters = false;
      continue;
    }
    if (argument == "--verbose") {
      line.options_.verbose = true;
      continue;
    }
    if (argument == "--console") {
      line.options_.console = true;
      continue;
    }
    std::string name = argument;
    std::string value;
    bool hasValue = false;
    std::size_t equals = argument.find('=');
    if (argument.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      name = argument.substr(0, equals);
      value = argument.substr(equals + 1);
      hasValue = true;
    }
    if (!TakesValue(name)) {
      line.Fail("unknown argument '" + argument + "'");
      return line;
    }
    if (!hasValue) {
      if (i + 1 >= argc || argv[i + 1] == nullptr) {
        line.Fail(name + " needs a value");
        return line;
      }
      value = argv[++i];
    }
    if (IsClusterOption(name)) line.clusterOption_ = name;
    if (!line.Apply(name, value)) return line;
  }
  if (line.options_.channels.empty()) {
    line.options_.channels.push_back(ServiceOptions::kDefaultChannel);
  }
  if (line.options_.persistentEvents && line.options_.stateDir.empty()) {
    line.Fail("--event-reliability persistent needs --state-dir");
  }
  if (line.options_.console && line.options_.metricsHost.empty()) {
    line.Fail("--console needs --metrics, whose endpoint serves it");
  }
  line.CheckTls();
  line.CheckCluster();
  return line;
}

bool CommandLine::Apply(const std::string& name, const std::string& value) {
  unsigned long long number = 0;
  if (name == "--listen") {
    if (value.empty() || value.find_first_of(" \t\r\n/") != std::string::npos) {
      return Fail("--listen: '" + value + "' is not a host name or address");
    }
    options_.listenHost = value;
  } else if (name == "--port") {
    if (!ParseNumber(value, 0, 65535, &number)) {
      return Fail("--port: '" + value + "' is not a port number (0 to 65535)");
    }
    options_.port = static_cast<int>(number);
  } else if (name == "--channel") {
    if (!IsValidKey(value)) {
      return Fail("--channel: '" + value +
                  "' is not a usable object key (letters, digits and ;/:?@&=+$,-_.!~*'() only)");
    }
    if (std::find(options_.channels.begin(), options_.channels.end(), value) !=
        options_.channels.end()) {
      return Fail("--channel: '" + value + "' is given twice");
    }
    options_.channels.push_back(value);
  } else if (name == "--max-suppliers" || name == "--max-consumers") {
    if (!ParseNumber(value, 0, 0x7fffffff, &number)) {
      return Fail(name + ": '" + value + "' is not a number from 0 (no limit) to 2147483647");
    }
    (name == "--max-suppliers" ? options_.maxSuppliers : options_.maxConsumers) =
        static_cast<long>(number);
  } else if (name == "--queue") {
    if (!ParseNumber(value, 1, 100000000, &number)) {
      return Fail("--queue: '" + value + "' is not a number from 1 to 100000000");
    }
    options_.queueLength = static_cast<std::size_t>(number);
  } else if (name == "--block-timeout") {
    if (!ParseNumber(value, 0, 3600000, &number)) {
      return Fail("--block-timeout: '" + value +
                  "' is not a number of milliseconds (0 to 3600000)");
    }
    options_.blockTimeoutMs = static_cast<unsigned long>(number);
  } else if (name == "--push-timeout") {
    if (!ParseNumber(value, 1, 3600000, &number)) {
      return Fail("--push-timeout: '" + value + "' is not a number of milliseconds (1 to 3600000)");
    }
    options_.pushTimeoutMs = static_cast<unsigned long>(number);
  } else if (name == "--max-unconnected") {
    if (!ParseNumber(value, 0, 0x7fffffff, &number)) {
      return Fail(name + ": '" + value + "' is not a number from 0 (no limit) to 2147483647");
    }
    options_.maxUnconnected = static_cast<long>(number);
  } else if (name == "--connect-timeout") {
    if (!ParseNumber(value, 0, 86400, &number)) {
      return Fail("--connect-timeout: '" + value + "' is not a number of seconds (0 to 86400)");
    }
    options_.connectTimeoutSeconds = static_cast<unsigned long>(number);
  } else if (name == "--idle-timeout") {
    // 1 would be omniORB's scan period itself, which closes connections
    // before their first call.
    if (!ParseNumber(value, 0, 86400, &number) || number == 1) {
      return Fail("--idle-timeout: '" + value + "' is not 0 or a number of seconds (2 to 86400)");
    }
    options_.idleTimeoutSeconds = static_cast<unsigned long>(number);
  } else if (name == "--allow") {
    if (!IsAllowEntry(value)) {
      return Fail("--allow: '" + value + "' is not an address, ADDRESS/PREFIX or host name");
    }
    options_.allowed.push_back(value);
  } else if (name == "--metrics") {
    if (!ParseEndpoint(value, &options_.metricsHost, &options_.metricsPort)) {
      return Fail("--metrics: '" + value +
                  "' is not ADDRESS:PORT (a port from 1 to 65535; [ADDRESS]:PORT for IPv6)");
    }
  } else if (name == "--advertise") {
    std::string host;
    int port = 0;
    if (!ParseEndpoint(value, &host, &port)) {
      return Fail("--advertise: '" + value + "' is not HOST:PORT ([ADDRESS]:PORT for IPv6)");
    }
    options_.advertised.push_back(value);
  } else if (name == "--tls-cert" || name == "--tls-key" || name == "--tls-ca") {
    if (value.empty()) return Fail(name + " needs a file");
    TlsFiles& tls = options_.tls;
    (name == "--tls-cert" ? tls.certificate : name == "--tls-key" ? tls.key : tls.authority) =
        value;
  } else if (name == "--allow-subject") {
    if (value.empty()) return Fail("--allow-subject needs a pattern");
    options_.allowedSubjects.push_back(value);
  } else if (name == "--cluster" || IsClusterOption(name)) {
    return ApplyCluster(name, value);
  } else if (name == "--state-dir") {
    if (value.empty()) return Fail("--state-dir needs a directory");
    options_.stateDir = value;
  } else if (name == "--event-reliability") {
    if (value != "best-effort" && value != "persistent") {
      return Fail("--event-reliability: '" + value + "' is neither best-effort nor persistent");
    }
    options_.persistentEvents = value == "persistent";
  }
  return true;
}

bool CommandLine::ApplyCluster(const std::string& name, const std::string& value) {
  ClusterSettings& cluster = options_.cluster;
  unsigned long long number = 0;
  if (name == "--cluster") {
    std::vector<std::string> servers;
    if (!Split(value, &servers) ||
        !std::all_of(servers.begin(), servers.end(), IsServerUrl)) {
      return Fail("--cluster: '" + value + "' is not a list of nats://HOST:PORT addresses");
    }
    cluster.servers = servers;
  } else if (name == "--instance") {
    if (value.empty() || value.size() > 64 ||
        value.find_first_of(" \t\r\n") != std::string::npos) {
      return Fail("--instance: '" + value + "' is not a name (1 to 64 characters, no blanks)");
    }
    cluster.instance = value;
  } else if (name == "--stream-replicas") {
    if (!ParseNumber(value, 1, 5, &number)) {
      return Fail("--stream-replicas: '" + value + "' is not a number from 1 to 5");
    }
    cluster.replicas = static_cast<int>(number);
  } else if (name == "--stream-max-age") {
    if (!ParseNumber(value, 0, 315360000, &number)) {
      return Fail("--stream-max-age: '" + value + "' is not a number of seconds (0: no limit)");
    }
    cluster.maxAgeSeconds = number;
  } else if (name == "--stream-max-bytes") {
    if (!ParseNumber(value, 65536, 1ULL << 50, &number)) {
      return Fail("--stream-max-bytes: '" + value + "' is not a number of bytes (at least 65536)");
    }
    cluster.maxBytes = static_cast<std::int64_t>(number);
  } else if (name == "--accept-timeout") {
    if (!ParseNumber(value, 1, 3600000, &number)) {
      return Fail("--accept-timeout: '" + value +
                  "' is not a number of milliseconds (1 to 3600000)");
    }
    cluster.acceptTimeoutMs = static_cast<unsigned long>(number);
  } else if (name == "--lease-lifetime") {
    if (!ParseNumber(value, 300, 600000, &number)) {
      return Fail("--lease-lifetime: '" + value +
                  "' is not a number of milliseconds (300 to 600000)");
    }
    cluster.leaseLifetime = std::chrono::milliseconds(number);
  } else {
    if (value.empty()) return Fail(name + " needs a file");
    (name == "--nats-creds"      ? cluster.credentials
     : name == "--nats-tls-ca"   ? cluster.tlsCa
     : name == "--nats-tls-cert" ? cluster.tlsCertificate
                                 : cluster.tlsKey) = value;
  }
  return true;
}

void CommandLine::CheckCluster() {
  if (action_ != Action::kRun) return;
  ClusterSettings& cluster = options_.cluster;
  if (cluster.servers.empty()) {
    if (!clusterOption_.empty()) Fail(clusterOption_ + " needs --cluster");
    return;
  }
  if (cluster.tlsCertificate.empty() != cluster.tlsKey.empty()) {
    Fail("--nats-tls-cert and --nats-tls-key go together");
    return;
  }
  // The instance's name keeps its place in every channel's stream across
  // restarts, and its references must reach it again: both want a port
  // that does not change.
  if (options_.port == 0) {
    Fail("--cluster needs a fixed --port");
    return;
  }
  if (cluster.instance.empty()) {
    cluster.instance = HostName() + "-" + std::to_string(options_.port);
  }
}

// TLS takes all three files, or none; what they hold is checked at start.
void CommandLine::CheckTls() {
  if (action_ == Action::kError) return;
  const TlsFiles& tls = options_.tls;
  int named = !tls.certificate.empty() + !tls.key.empty() + !tls.authority.empty();
  if (named != 0 && named != 3) {
    Fail("--tls-cert, --tls-key and --tls-ca go together");
  } else if (named == 0 && !options_.allowedSubjects.empty()) {
    Fail("--allow-subject needs TLS (--tls-cert, --tls-key and --tls-ca)");
  }
}

bool CommandLine::Fail(const std::string& message) {
  action_ = Action::kError;
  error_ = message;
  return false;
}

bool CommandLine::IsValidKey(const std::string& key) {
  return !key.empty() && std::all_of(key.begin(), key.end(), IsKeyCharacter);
}

std::string CommandLine::Usage(const std::string& program) {
  return "usage: " + program +
         " [--listen HOST] [--port N] [--channel KEY]... [--max-suppliers N]\n"
         "       [--max-consumers N] [--queue N] [--block-timeout MS] [--push-timeout MS]\n"
         "       [--state-dir DIR] [--event-reliability best-effort|persistent]\n"
         "       [--allow ADDRESS[/PREFIX]]... [--connect-timeout SEC]\n"
         "       [--max-unconnected N] [--idle-timeout SEC] [--metrics ADDRESS:PORT [--console]]\n"
         "       [--advertise HOST:PORT]... [--no-filters] [--verbose]\n"
         "       [--tls-cert FILE --tls-key FILE --tls-ca FILE [--allow-subject PATTERN]...]\n"
         "       [--cluster nats://HOST:PORT[,...] [--instance NAME] [--stream-replicas N]\n"
         "        [--stream-max-age SEC] [--stream-max-bytes N] [--accept-timeout MS]\n"
         "        [--lease-lifetime MS]\n"
         "        [--nats-creds FILE] [--nats-tls-ca FILE]\n"
         "        [--nats-tls-cert FILE --nats-tls-key FILE]]\n"
         "       " + program + " --help | --version\n"
         "Serves CosNotification event channels (structured push model) and prints\n"
         "each channel's corbaloc address on stdout once it is ready.\n"
         "  --listen HOST        the address or host name to listen on (default 127.0.0.1;\n"
         "                       0.0.0.0 or :: for every interface)\n"
         "  --port N             the port (default 0: a free port that the system picks)\n"
         "  --allow ADDRESS[/PREFIX]\n"
         "                       a peer (address, network or host name) that may connect;\n"
         "                       may be repeated; connections from any other address are\n"
         "                       closed at once and reported (default: this machine's\n"
         "                       programs only; list 127.0.0.1 too if they use it;\n"
         "                       0.0.0.0/0: all). Where loopback may connect, so may\n"
         "                       this machine's own interface addresses\n"
         "  --channel KEY        serve a channel at corbaloc:iiop:HOST:PORT/KEY; may be\n"
         "                       repeated (default: one channel, NotifyEventChannel)\n"
         "  --tls-cert FILE, --tls-key FILE, --tls-ca FILE\n"
         "                       serve by IIOP over TLS only (corbaloc:ssliop:), with this\n"
         "                       certificate chain and its key (PEM), to clients whose\n"
         "                       certificates come from the authority in the CA file; calls\n"
         "                       to consumers go by TLS too. Files that cannot be used are\n"
         "                       an error at start (exit status 2)\n"
         "  --allow-subject PATTERN\n"
         "                       with TLS, serve only clients whose certificate subject\n"
         "                       (RFC 2253: CN=name,O=org) matches PATTERN ('*' and '?');\n"
         "                       may be repeated; other requests are refused and reported\n"
         "  --max-suppliers N    at most N supplier proxies per channel (default 10000;\n"
         "                       0: no limit)\n"
         "  --max-consumers N    at most N consumer proxies per channel (default 10000;\n"
         "                       0: no limit)\n"
         "  --queue N            events held for each consumer (default 10000)\n"
         "  --block-timeout MS   how long a push waits for room in a consumer's full queue\n"
         "                       before that consumer's discard policy applies (the oldest\n"
         "                       event goes, by default); later pushes then stop waiting for\n"
         "                       it until its queue is half empty (default 2000; 0: never)\n"
         "  --push-timeout MS    time limit of one delivery to a consumer (default 5000)\n"
         "  --connect-timeout SEC  a proxy that its client has not connected this long\n"
         "                       after obtaining it is reclaimed (default 60; 0: never)\n"
         "  --max-unconnected N  at most N proxies per channel obtained and not yet\n"
         "                       connected; more raise AdminLimitExceeded (default 1000;\n"
         "                       0: no limit)\n"
         "  --idle-timeout SEC   a client connection that carries no call this long is\n"
         "                       closed (the client opens another when it next calls), and\n"
         "                       so is one whose request does not arrive whole within it\n"
         "                       (default 60; 0: never)\n"
         "  --state-dir DIR      keep the channels, admins, proxies and their connections\n"
         "                       in DIR, so that a restart on the same address and port\n"
         "                       keeps every object reference that clients hold\n"
         "  --event-reliability best-effort|persistent\n"
         "                       the channels' EventReliability: persistent puts every\n"
         "                       event in DIR before its push returns (default best-effort)\n"
         "  --metrics ADDRESS:PORT\n"
         "                       serve the counters over HTTP at /metrics (Prometheus text\n"
         "                       format) and the service's readiness at /health, to the\n"
         "                       peers that --allow lets in (default: no such endpoint)\n"
         "  --console            also serve a live console at / of that endpoint: the\n"
         "                       channels and their rates, and the notifications as they\n"
         "                       pass, text included (default: off, / answers 404)\n"
         "  --advertise HOST:PORT  put this address in every object reference instead of\n"
         "                       the listening one; may be repeated: the others go in as\n"
         "                       alternate addresses, which clients try in order when the\n"
         "                       first fails (a cluster's instances each name all)\n"
         "  --cluster nats://HOST:PORT[,nats://HOST:PORT...]\n"
         "                       be one instance of a cluster: every channel's events go\n"
         "                       through a NATS JetStream stream that all instances share,\n"
         "                       and a push returns once the stream has stored the event on\n"
         "                       a majority of its replicas (tls:// for TLS; user:password@\n"
         "                       before the host if the servers want one). Needs --port\n"
         "  --instance NAME      this instance's name in the cluster, which keeps its place\n"
         "                       in every stream across restarts (default HOSTNAME-PORT)\n"
         "  --stream-replicas N  copies of each channel's stream, 1 to 5 (default 3)\n"
         "  --stream-max-age SEC events older than this leave the stream (default 86400;\n"
         "                       0: never)\n"
         "  --stream-max-bytes N bytes each channel's stream keeps, the oldest going first\n"
         "                       (default 268435456); every server reserves them\n"
         "  --accept-timeout MS  how long a push waits for the stream's acknowledgement\n"
         "                       before it raises TIMEOUT (default 5000)\n"
         "  --lease-lifetime MS  how long a consumer whose instance died waits before\n"
         "                       another instance delivers to it (default 5000)\n"
         "  --nats-creds FILE    the NATS credentials (JWT and seed) to connect with\n"
         "  --nats-tls-ca FILE   the CAs that the NATS servers' certificates come from; TLS\n"
         "  --nats-tls-cert FILE, --nats-tls-key FILE\n"
         "                       this instance's certificate chain and key, for servers\n"
         "                       that verify their clients\n"
         "  --no-filters         answer every filter call with NO_IMPLEMENT, as a service\n"
         "                       without filters does (for testing clients against one)\n"
         "  --verbose            report connections and dropped consumers on stderr\n"
         "Discarded events are reported on stderr, once a second at most per consumer.\n" +
         ServiceHost::ControlHelp() +
         " disconnects every client and exits 0; with --state-dir it\n"
         "keeps them connected instead and saves the events still queued, which the next\n"
         "start delivers. What survives a restart:\n"
         "  no --state-dir             nothing\n"
         "  --state-dir, a stop        everything, queued events included\n"
         "  --state-dir, a crash       channels, proxies and connections; the events queued\n"
         "                             at the crash are lost (the next start says how many)\n"
         "                             unless their EventReliability is Persistent\n";
}

}  // namespace channeld
}  // namespace kestrel
