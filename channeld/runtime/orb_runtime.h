// The ORB of kestrel-channeld: initialised with one listening endpoint
// (HOST:PORT, nothing from the environment), its RootPOA and omniINSPOA
// active, and quiet unless verbose.
//
// With TLS files, that endpoint speaks IIOP over TLS and the service has no
// plain one, which a client could otherwise fall back to; its calls to
// consumers go by TLS too, and reach no consumer that does not offer it.

#ifndef KESTREL_CHANNELD_RUNTIME_ORB_RUNTIME_H_
#define KESTREL_CHANNELD_RUNTIME_ORB_RUNTIME_H_

#include <omniORB4/CORBA.h>

#include <string>
#include <vector>

#include "orb/tls_context.h"

namespace kestrel {
namespace channeld {

class OrbRuntime {
 public:
  enum class Status { kReady, kAddressInUse, kFailed };

  OrbRuntime();
  ~OrbRuntime();  // Stop()
  OrbRuntime(const OrbRuntime&) = delete;
  OrbRuntime& operator=(const OrbRuntime&) = delete;

  struct Settings {
    std::string host;  // where to listen
    int port = 0;      // 0: one that the system picks
    bool verbose = false;
    // The proxy POA's object keys stay valid across restarts on the same
    // address and port.
    bool persistent = false;
    // omniORB server transport rules: which peers may connect.
    std::vector<std::string> rules;
    // An incoming connection that carries no call for this long is closed
    // (its client reopens one when it next calls), and so is one whose
    // request does not arrive whole within it. 0: never.
    unsigned long idleTimeoutSeconds = 0;
    // HOST:PORT addresses that object references carry, in order, instead
    // of the listening one: the first as the profile's address, the rest
    // as its alternate addresses, which a client tries when one fails.
    std::vector<std::string> advertised;
    // Checked already (CheckTlsFiles); not enabled(): plain IIOP.
    TlsFiles tls;
  };

  // Initialises the ORB. Requests wait until Serve() (see RestoreGate). On
  // failure, error says why.
  Status Start(const Settings& settings, std::string* error);

  CORBA::ORB_ptr orb() const { return orb_.in(); }
  PortableServer::POA_ptr rootPoa() const { return rootPoa_.in(); }
  PortableServer::POA_ptr insPoa() const { return insPoa_.in(); }
  // Admins and proxies, at ids that the service assigns.
  PortableServer::POA_ptr proxyPoa() const { return proxyPoa_.in(); }

  // Serves incoming requests, once every object that they may reach is
  // there: a supplier's push must find its restored proxy, and the
  // consumers' proxies behind it. Raises what the POA raises.
  void Serve();
  // Holds incoming requests (waiting for those in progress to end), so
  // that nothing changes while the service saves its state.
  void HoldRequests();

  // The port in reference's first IIOP profile (its TLS port, when it
  // offers TLS only), or -1.
  static int PublishedPort(CORBA::Object_ptr reference);
  // The host in reference's first IIOP profile, or empty.
  static std::string PublishedHost(CORBA::Object_ptr reference);
  // True for an address that means every interface (0.0.0.0, ::).
  static bool IsWildcard(const std::string& host);

  // Shuts the ORB down, waiting for incoming calls in progress, and destroys
  // it. Idempotent.
  void Stop();

 private:
  CORBA::ORB_var orb_;
  PortableServer::POA_var rootPoa_;
  PortableServer::POA_var insPoa_;
  PortableServer::POA_var proxyPoa_;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_RUNTIME_ORB_RUNTIME_H_
