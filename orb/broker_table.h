// The process's brokers.
//
// omniORB runs one ORB per process and knows no ORB ids but its own, while
// each kind of Kestrel object asks for a broker of its own ("KestrelSupplier",
// "KestrelConsumer"). The table keeps those as logical brokers over the one
// process ORB: each is counted by the runtimes that joined it, the process
// ORB is created when the first broker is joined and destroyed when the last
// share of all is given back, and a join after that creates a fresh ORB.
// Releasing one object therefore never tears down a broker that another
// object still uses.
//
// The process ORB takes the options of the start that created it; a later
// start with other options joins it as it is. When the client created the
// process ORB itself before the library did, the library joins it and never
// destroys it.
//
// Thread-safe.

#ifndef KESTREL_ORB_BROKER_TABLE_H_
#define KESTREL_ORB_BROKER_TABLE_H_

#include <omniORB4/CORBA.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "orb/tls_context.h"

namespace kestrel {

// The ORB id and the omniORB options that a broker argument vector stands
// for: "-ORBid <id>" selects the logical broker (the first piece after
// "-ORBid"; no id is the id ""), "-ORBDottedDecimalAddresses 1" asks for
// numeric addresses in object references, and omniORB's own tracing is
// always turned off, so that the library prints nothing. Other arguments
// are not omniORB's business and are dropped.
//
// With TLS files, the broker speaks IIOP over TLS only: it reaches nothing
// in plain IIOP, accepts no plain connection, and listens by TLS for the
// channel's calls (a consumer's deliveries) at the host of the endpoint
// that environmentEndpoint names (omniORB's ORBendPoint, "giop:tcp:HOST:"),
// or on every interface without one, as omniORB's own default would.
struct BrokerOptions {
  std::string orbId;
  std::vector<std::string> orbArguments;  // argv for CORBA::ORB_init, program name first
  TlsFiles tls;  // installed before ORB_init when enabled()
};
BrokerOptions TranslateBrokerArguments(int argc, char** argv, const TlsFiles& tls = TlsFiles(),
                                       const char* environmentEndpoint = nullptr);

class BrokerTable {
 public:
  static BrokerTable& instance();

  // Takes one share of the broker options.orbId and answers the process ORB
  // (a new reference). Creates the process ORB when there is none.
  // Raises what CORBA::ORB_init raises; then nothing is taken.
  CORBA::ORB_ptr Join(const BrokerOptions& options);

  // Gives one share of orbId back. With the last share of all, destroys the
  // process ORB; if that raises, the share is kept and the exception passes.
  void Leave(const std::string& orbId);

  // Gives one share back whatever happens: for teardown after a failed
  // Leave. With the last share of all, the process ORB is dropped without
  // another destroy.
  void Abandon(const std::string& orbId);

  int shares(const std::string& orbId) const;
  // How many process ORBs this table has created so far (a client's own
  // ORB, joined, is not counted).
  int orbCreations() const;
  bool hasProcessOrb() const;

 private:
  BrokerTable() = default;
  void InitialiseProcessOrb(const BrokerOptions& options);  // REQUIRES: mutex_ held
  int totalShares() const;  // REQUIRES: mutex_ held
  void DropShare(const std::string& orbId);  // REQUIRES: mutex_ held

  mutable std::mutex mutex_;
  // Guarded by mutex_: the shares of each logical broker, the process ORB
  // (nil while no share is held), and the creation count.
  std::map<std::string, int> shares_;
  CORBA::ORB_var processOrb_;
  bool ownsProcessOrb_ = false;
  int orbCreations_ = 0;
};

}  // namespace kestrel

#endif  // KESTREL_ORB_BROKER_TABLE_H_
