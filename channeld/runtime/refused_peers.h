// Connections that the --allow rules refuse, as omniORB refuses them: it
// closes each one silently and tells nobody, so the last of the service's
// transport rules is one of ours that matches every peer that the rules
// before it did not let in, counts it, keeps its address, and refuses it.
// What it counted is reported once a second at most, from the reporter's
// thread, never from the thread that accepts connections.
//
// Process-wide, as omniORB's transport rules are.

#ifndef KESTREL_CHANNELD_RUNTIME_REFUSED_PEERS_H_
#define KESTREL_CHANNELD_RUNTIME_REFUSED_PEERS_H_

#include <cstdint>
#include <string>

namespace kestrel {
namespace channeld {

class RefusedPeers {
 public:
  // The server transport rule that ends the list: every peer, refused and
  // counted.
  static const char kRule[];

  // Teaches omniORB kRule. Call before ORB_init; idempotent.
  static void Install();

  // Counts a connection from endpoint (omniORB's "giop:tcp:HOST:PORT").
  static void Note(const char* endpoint);

  // Connections refused since the process started.
  static std::uint64_t total();

  // A line for the log about the connections refused since the last call,
  // naming the latest peer; empty when there were none.
  static std::string TakeReport();

  // The peer's address in endpoint ("giop:tcp:[::1]:4711" gives "::1"), or
  // endpoint itself when it has no such form.
  static std::string PeerAddress(const std::string& endpoint);
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_RUNTIME_REFUSED_PEERS_H_
