#include "channeld/runtime/orb_runtime.h"

#include <ace/OS_NS_netdb.h>
#include <ace/OS_NS_stdlib.h>
#include <ace/OS_NS_string.h>
#include <ace/OS_NS_sys_socket.h>
#include <omniORB4/omniIOR.h>
#include <omniORB4/omniORB.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "channeld/base/system.h"
#include "channeld/runtime/restore_gate.h"

namespace kestrel {
namespace channeld {

namespace {

// IPv6 addresses go in brackets in an endpoint.
std::string EndpointHost(const std::string& host) {
  if (host.find(':') != std::string::npos && host.front() != '[') return "[" + host + "]";
  return host;
}

// Binds a socket to host:port, as a listener must, and answers errno's
// value (0: the bind worked; IsAddressInUse tells the busy port); a host
// that does not resolve fills *message.
int ProbeBind(const std::string& host, int port, std::string* message) {
  std::string bare = host;
  if (bare.size() > 2 && bare.front() == '[' && bare.back() == ']') {
    bare = bare.substr(1, bare.size() - 2);
  }
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* addresses = nullptr;
  std::string service = std::to_string(port);
  int resolved = ACE_OS::getaddrinfo(bare.c_str(), service.c_str(), &hints, &addresses);
  if (resolved != 0) {
    *message = ACE_TEXT_ALWAYS_CHAR(ACE_OS::gai_strerror(resolved));
    return EADDRNOTAVAIL;
  }
  int result = 0;
  for (addrinfo* address = addresses; address != nullptr; address = address->ai_next) {
    ACE_HANDLE probe =
        ACE_OS::socket(address->ai_family, address->ai_socktype, address->ai_protocol);
    if (probe == ACE_INVALID_HANDLE) {
      result = errno;
      continue;
    }
    PrepareExclusiveBind(probe);
    int bound = ACE_OS::bind(probe, address->ai_addr, static_cast<int>(address->ai_addrlen));
    result = bound == 0 ? 0 : errno;
    ACE_OS::closesocket(probe);
    if (result != 0) break;
  }
  ACE_OS::freeaddrinfo(addresses);
  return result;
}

std::string AddressInUse(const std::string& host, int port) {
  return "cannot listen on " + host + ":" + std::to_string(port) +
         ": the address is already in use";
}

// omniORB closes an incoming connection that has been idle for its
// inConScanPeriod, checked every scanGranularity seconds, and a request that
// stops arriving: while its first buffer (8 kB) is read, the connection
// counts as idle; beyond it, serverCallTimeOutPeriod bounds the rest. Either
// way the thread that served the connection is free again; one that stays
// idle for idleThreadTimeout ends. Without these, a peer that connects and
// sends nothing, or half a request, holds a thread until it goes away. A
// client that closed connection reaches finds it closed in good order and
// opens another for its next call.
void AddConnectionBounds(unsigned long idleSeconds, std::vector<std::string>* arguments) {
  arguments->insert(arguments->end(), {"-ORBidleThreadTimeout", "5"});
  if (idleSeconds == 0) {
    arguments->insert(arguments->end(), {"-ORBinConScanPeriod", "0"});
    return;
  }
  arguments->insert(arguments->end(),
                    {"-ORBscanGranularity", "1", "-ORBinConScanPeriod", std::to_string(idleSeconds),
                     "-ORBserverCallTimeOutPeriod", std::to_string(idleSeconds * 1000)});
}

}  // namespace

OrbRuntime::OrbRuntime() = default;

OrbRuntime::~OrbRuntime() { Stop(); }

OrbRuntime::Status OrbRuntime::Start(const Settings& settings, std::string* error) {
  const std::string& host = settings.host;
  const int port = settings.port;
  // Endpoints from the environment would add to ours: the service listens
  // where its command line says, and nowhere else.
  for (const char* name : {"ORBendPoint", "ORBendPointPublish", "ORBendPointNoListen",
                           "ORBendPointNoPublish", "ORBendPointPublishAllIFs"}) {
    RemoveEnvironmentVariable(name);
  }
  const std::string transport = settings.tls.enabled() ? "giop:ssl:" : "giop:tcp:";
  std::string endpoint = transport + EndpointHost(host) + ":" + std::to_string(port);
  // omniORB's thread per connection is kept, not its thread pool. A supplier
  // whose push waits for room in a full consumer queue holds the thread
  // that serves it: with a connection of its own, only that supplier waits,
  // which is the point; with a pool, a few waiting pushes would take every
  // pool thread and stall all other calls, consumers' liveness checks
  // among them. Measured with 500 supplier processes, the threads cost
  // little (about 1,000 threads in 40 MB), and pushes were both faster and
  // cheaper in CPU than through a pool. omniORB still falls back to pooling
  // beyond its threadPerConnectionUpperLimit.
  std::vector<std::string> arguments = {"kestrel-channeld", "-ORBendPoint", endpoint};
  for (const std::string& rule : settings.rules) {
    arguments.insert(arguments.end(), {"-ORBserverTransportRule", rule});
  }
  if (settings.tls.enabled()) {
    arguments.insert(arguments.end(), {"-ORBclientTransportRule", "* ssl"});
    InstallTlsContext(settings.tls);
  }
  AddConnectionBounds(settings.idleTimeoutSeconds, &arguments);
  if (!settings.advertised.empty()) {
    std::string published;
    for (const std::string& address : settings.advertised) {
      published += (published.empty() ? "" : ",") + transport + address;
    }
    arguments.insert(arguments.end(), {"-ORBendPointPublish", published});
  }
  if (!settings.verbose) {
    arguments.insert(arguments.end(), {"-ORBtraceLevel", "0", "-ORBtraceExceptions", "0"});
  }
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(&argument[0]);
  argv.push_back(nullptr);
  int argc = static_cast<int>(arguments.size());
  // A fixed port is tried first with a bind that another listener refuses.
  // omniORB's own bind would not be refused on Windows, where it shares the
  // port (SO_REUSEADDR) and could not be made exclusive after the fact: two
  // services would then listen on one port, each getting some of the
  // connections.
  if (port != 0) {
    std::string message;
    if (IsAddressInUse(ProbeBind(host, port, &message))) {
      *error = AddressInUse(host, port);
      return Status::kAddressInUse;
    }
  }
  try {
    orb_ = CORBA::ORB_init(argc, argv.data());
    RestoreGate::Install();  // before anything can be reached
    CORBA::Object_var root = orb_->resolve_initial_references("RootPOA");
    rootPoa_ = PortableServer::POA::_narrow(root.in());
    CORBA::Object_var ins = orb_->resolve_initial_references("omniINSPOA");
    insPoa_ = PortableServer::POA::_narrow(ins.in());
    PortableServer::POAManager_var rootManager = rootPoa_->the_POAManager();
    // A persistent POA's object keys hold its name and the object's id, and
    // nothing of this process: a restart on the same endpoint serves them
    // again. A transient one's die with the process, as the RootPOA's do.
    CORBA::PolicyList policies;
    policies.length(2);
    policies[0] = rootPoa_->create_lifespan_policy(settings.persistent ? PortableServer::PERSISTENT
                                                              : PortableServer::TRANSIENT);
    policies[1] = rootPoa_->create_id_assignment_policy(PortableServer::USER_ID);
    proxyPoa_ = rootPoa_->create_POA("kestrel", rootManager.in(), policies);
    for (CORBA::ULong i = 0; i < policies.length(); ++i) policies[i]->destroy();
    return Status::kReady;
  } catch (const CORBA::Exception& e) {
    Stop();
    std::string message;
    int why = ProbeBind(host, port, &message);
    if (IsAddressInUse(why)) {
      *error = AddressInUse(host, port);
      return Status::kAddressInUse;
    }
    if (message.empty()) message = why != 0 ? ACE_OS::strerror(why) : e._name();
    *error = "cannot listen on " + host + ":" + std::to_string(port) + ": " + message;
    return Status::kFailed;
  }
}

namespace {

// The TLS port that a profile's component names; 0 without one. Its data
// is an encapsulation of the target's supported and required options, then
// the port.
CORBA::UShort TlsPort(const IIOP::ProfileBody& body) {
  for (CORBA::ULong i = 0; i < body.components.length(); ++i) {
    const IOP::TaggedComponent& component = body.components[i];
    if (component.tag != IOP::TAG_SSL_SEC_TRANS) continue;
    cdrEncapsulationStream data(component.component_data.get_buffer(),
                                component.component_data.length(), true);
    CORBA::UShort supports, requires, port;
    supports <<= data;
    requires <<= data;
    port <<= data;
    return port;
  }
  return 0;
}

// The address of reference's first IIOP profile, with its TLS port when the
// profile offers TLS only (port 0); false when it has none.
bool FirstIiopAddress(CORBA::Object_ptr reference, IIOP::Address* address) {
  if (CORBA::is_nil(reference)) return false;
  omniIOR* ior = reference->_PR_getobj()->_getIOR();
  bool found = false;
  const IOP::TaggedProfileList& profiles = ior->iopProfiles();
  for (CORBA::ULong i = 0; i < profiles.length() && !found; ++i) {
    if (profiles[i].tag != IOP::TAG_INTERNET_IOP) continue;
    IIOP::ProfileBody body;
    IIOP::unmarshalProfile(profiles[i], body);
    *address = body.address;
    if (address->port == 0) address->port = TlsPort(body);
    found = true;
  }
  ior->release();
  return found;
}

}  // namespace

int OrbRuntime::PublishedPort(CORBA::Object_ptr reference) {
  IIOP::Address address;
  return FirstIiopAddress(reference, &address) ? address.port : -1;
}

std::string OrbRuntime::PublishedHost(CORBA::Object_ptr reference) {
  IIOP::Address address;
  return FirstIiopAddress(reference, &address) ? address.host.in() : std::string();
}

bool OrbRuntime::IsWildcard(const std::string& host) {
  return host == "0.0.0.0" || host == "::" || host == "[::]";
}

void OrbRuntime::Serve() {
  RestoreGate::Open();
  for (PortableServer::POA_ptr poa : {rootPoa_.in(), insPoa_.in()}) {
    PortableServer::POAManager_var manager = poa->the_POAManager();
    manager->activate();
  }
}

void OrbRuntime::HoldRequests() {
  for (PortableServer::POA_ptr poa : {rootPoa_.in(), insPoa_.in()}) {
    if (CORBA::is_nil(poa)) continue;
    try {
      PortableServer::POAManager_var manager = poa->the_POAManager();
      manager->hold_requests(true);
    } catch (const CORBA::Exception&) {
    }
  }
}

void OrbRuntime::Stop() {
  RestoreGate::Open();  // requests held so far end with the ORB
  proxyPoa_ = PortableServer::POA::_nil();
  insPoa_ = PortableServer::POA::_nil();
  rootPoa_ = PortableServer::POA::_nil();
  if (CORBA::is_nil(orb_.in())) return;
  try {
    orb_->shutdown(true);
    orb_->destroy();
  } catch (const CORBA::Exception&) {
  }
  orb_ = CORBA::ORB::_nil();
}

}  // namespace channeld
}  // namespace kestrel
