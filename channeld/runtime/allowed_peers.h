// Which peers may connect to kestrel-channeld (--allow), as omniORB server
// transport rules: a connection from any other address is closed by the
// ORB as soon as it is accepted, before a request is read.
//
//   no --allow          this machine's own programs only: loopback peers
//                       (127.0.0.0/8 and ::1) and its interfaces' addresses
//   --allow 10.1.2.3    that address
//   --allow 10.1.0.0/16 an IPv4 network; IPv6 networks alike (fd00::/8)
//   --allow web1        the addresses that the host name resolves to, at start
//   --allow 0.0.0.0/0   every IPv4 peer (and ::/0 every IPv6 one), on purpose
//
// Wherever loopback peers are allowed (no --allow, or an entry that names a
// loopback address), so are the machine's own interface addresses: a local
// program that reaches the service at the address in its references (the
// machine's own, when it listens on 0.0.0.0) connects from that address,
// not from 127.0.0.1, and is just as local.

#ifndef KESTREL_CHANNELD_RUNTIME_ALLOWED_PEERS_H_
#define KESTREL_CHANNELD_RUNTIME_ALLOWED_PEERS_H_

#include <string>
#include <vector>

namespace kestrel {
namespace channeld {

// True when entry is ADDRESS/PREFIX with a numeric address and a prefix
// that fits it, or a plain address, or something that may be a host name.
bool IsAllowEntry(const std::string& entry);

// The server transport rules for allowed (resolving host names now), ending
// in RefusedPeers::kRule, which refuses everyone else. localAddresses are
// the machine's interface addresses (see InterfaceAddresses), let in where
// loopback is. transport is what the rules let them in by: "tcp", or "ssl"
// for a service that speaks TLS only, which then refuses plain connections
// even on an endpoint that it was not told of (omniORB's configuration
// file's, say). False, with error set, when a host name does not resolve.
bool TransportRules(const std::vector<std::string>& allowed,
                    const std::vector<std::string>& localAddresses, const std::string& transport,
                    std::vector<std::string>* rules, std::string* error);

// True for an address or name that only loopback peers can reach.
bool IsLoopback(const std::string& host);

// Whether the rules that the ORB was started with let a TCP peer at address
// (numeric, IPv4 or IPv6) and port in: for other servers of the service
// that obey the same rules. It asks omniORB's own matcher, so that no peer
// is judged differently here and there, and a peer refused is counted and
// reported with the ORB's refusals (see RefusedPeers).
// REQUIRES: the ORB started (OrbRuntime::Start) and not yet stopped.
bool PeerAllowed(const std::string& address, int port);

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_RUNTIME_ALLOWED_PEERS_H_
