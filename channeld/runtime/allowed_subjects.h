// Which certificates may call kestrel-channeld over TLS (--allow-subject).
//
// The handshake has already proved that the peer holds a certificate of the
// service's authority; these patterns narrow that to some of its subjects.
// omniORB names the verified certificate only per request (its accept comes
// before the handshake), so every request is checked, before it reaches any
// object: one whose certificate's subject matches no pattern is answered
// with NO_PERMISSION. Without patterns, every holder of a certificate from
// the authority is let in and nothing is checked.
//
// A pattern is matched against the whole subject in RFC 2253's form, most
// specific part first ("CN=publisher,OU=ops,O=Example"), with '*' for any
// run of characters and '?' for one, case-sensitively.
//
// Refusals are counted and reported like RefusedPeers': a line for the log
// once a second at most, taken from the reporter's thread.
//
// Process-wide, as omniORB's interceptors are.

#ifndef KESTREL_CHANNELD_RUNTIME_ALLOWED_SUBJECTS_H_
#define KESTREL_CHANNELD_RUNTIME_ALLOWED_SUBJECTS_H_

#include <cstdint>
#include <string>
#include <vector>

namespace kestrel {
namespace channeld {

class AllowedSubjects {
 public:
  // Sets the patterns and, with some, checks every request from then on.
  // REQUIRES: the ORB initialised and no request served yet; called once.
  static void Install(const std::vector<std::string>& patterns);

  // True when subject matches one of patterns.
  static bool Matches(const std::vector<std::string>& patterns, const std::string& subject);

  // Requests refused since the process started.
  static std::uint64_t refused();

  // A line for the log about the requests refused since the last call,
  // naming the latest subject and peer; empty when there were none.
  static std::string TakeReport();
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_RUNTIME_ALLOWED_SUBJECTS_H_
