// Which peers may connect to kestrel-channeld (--allow), as omniORB server
// transport rules: a connection from any other address is closed by the
// ORB as soon as it is accepted, before a request is read.
//
//   no --allow          loopback peers only (127.0.0.0/8 and ::1)
//   --allow 10.1.2.3    that address
//   --allow 10.1.0.0/16 an IPv4 network; IPv6 networks alike (fd00::/8)
//   --allow web1        the addresses that the host name resolves to, at start
//   --allow 0.0.0.0/0   every IPv4 peer (and ::/0 every IPv6 one), on purpose

#ifndef KESTREL_TOOLS_CHANNELD_ALLOWED_PEERS_H_
#define KESTREL_TOOLS_CHANNELD_ALLOWED_PEERS_H_

#include <string>
#include <vector>

namespace kestrel {
namespace channeld {

// True when entry is ADDRESS/PREFIX with a numeric address and a prefix
// that fits it, or a plain address, or something that may be a host name.
bool IsAllowEntry(const std::string& entry);

// The server transport rules for allowed (resolving host names now), ending
// in one that refuses everyone else. False, with error set, when a host
// name does not resolve.
bool TransportRules(const std::vector<std::string>& allowed, std::vector<std::string>* rules,
                    std::string* error);

// True for an address or name that only loopback peers can reach.
bool IsLoopback(const std::string& host);

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_TOOLS_CHANNELD_ALLOWED_PEERS_H_
