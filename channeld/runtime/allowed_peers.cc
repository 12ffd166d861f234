#include "channeld/runtime/allowed_peers.h"

#include <ace/OS_NS_arpa_inet.h>
#include <ace/OS_NS_netdb.h>
#include <ace/OS_NS_sys_socket.h>
#include <omniORB4/CORBA.h>
#include <omniORB4/internal/transportRules.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "channeld/runtime/refused_peers.h"

namespace kestrel {
namespace channeld {

namespace {

// The address family of a numeric address, or AF_UNSPEC.
int FamilyOf(const std::string& address) {
  unsigned char bytes[16];
  if (ACE_OS::inet_pton(AF_INET, address.c_str(), bytes) == 1) return AF_INET;
  if (ACE_OS::inet_pton(AF_INET6, address.c_str(), bytes) == 1) return AF_INET6;
  return AF_UNSPEC;
}

int Bits(int family) { return family == AF_INET ? 32 : 128; }

// Splits ADDRESS/PREFIX; prefix is -1 without one, -2 when it is no number.
void Split(const std::string& entry, std::string* address, int* prefix) {
  std::size_t slash = entry.find('/');
  *address = entry.substr(0, slash);
  *prefix = -1;
  if (slash == std::string::npos) return;
  std::string digits = entry.substr(slash + 1);
  char* end = nullptr;
  long value = std::strtol(digits.c_str(), &end, 10);
  *prefix = digits.empty() || digits.size() > 3 || *end != '\0' || value < 0
                ? -2
                : static_cast<int>(value);
}

// An IPv4 peer of a socket that listens on "::" arrives as ::ffff:a.b.c.d,
// which omniORB matches against IPv4 rules only: an entry written in that
// form becomes the IPv4 one that it means.
void UnmapIpv4(std::string* address, int* prefix, int* family) {
  in6_addr bytes;
  if (*family != AF_INET6 || ACE_OS::inet_pton(AF_INET6, address->c_str(), &bytes) != 1 ||
      !IN6_IS_ADDR_V4MAPPED(&bytes) || (*prefix >= 0 && *prefix < 96)) {
    return;
  }
  char text[INET_ADDRSTRLEN];
  if (ACE_OS::inet_ntop(AF_INET, &bytes.s6_addr[12], text, sizeof text) == nullptr) return;
  *address = text;
  *family = AF_INET;
  if (*prefix >= 0) *prefix -= 96;
}

// omniORB compares a peer's masked address with a rule's address as it is
// written, so an entry with host bits set (10.1.2.3/16) would match no
// peer: the rule carries the network that the entry means.
std::string NetworkOf(const std::string& address, int family, int prefix) {
  unsigned char bytes[16];
  if (ACE_OS::inet_pton(family, address.c_str(), bytes) != 1) return address;
  const int size = Bits(family) / 8;
  for (int i = 0; i < size; ++i) {
    int kept = std::min(std::max(prefix - 8 * i, 0), 8);
    bytes[i] = static_cast<unsigned char>(bytes[i] & (0xff00 >> kept));
  }
  char text[INET6_ADDRSTRLEN];
  return ACE_OS::inet_ntop(family, bytes, text, sizeof text) != nullptr ? text : address;
}

// A rule's address mask; its transport is added once the list is made.
std::string Rule(const std::string& address, int prefix) {
  return address + "/" + std::to_string(prefix);
}

void AddOnce(const std::string& rule, std::vector<std::string>* rules) {
  if (std::find(rules->begin(), rules->end(), rule) == rules->end()) rules->push_back(rule);
}

// Whether entry lets loopback peers in: written as a loopback address or
// network, or as localhost.
bool NamesLoopback(const std::string& entry) {
  std::string address;
  int prefix;
  Split(entry, &address, &prefix);
  int family = FamilyOf(address);
  UnmapIpv4(&address, &prefix, &family);
  return IsLoopback(address);
}

// The loopback addresses among them are left to the rules that name
// loopback, which may let in less than all of it.
void AddLocalAddresses(const std::vector<std::string>& localAddresses,
                       std::vector<std::string>* rules) {
  for (const std::string& address : localAddresses) {
    int family = FamilyOf(address);
    if (family == AF_UNSPEC || IsLoopback(address)) continue;
    AddOnce(Rule(address, Bits(family)), rules);
  }
}

}  // namespace

bool IsAllowEntry(const std::string& entry) {
  std::string address;
  int prefix;
  Split(entry, &address, &prefix);
  if (address.empty() || prefix == -2) return false;
  int family = FamilyOf(address);
  if (family == AF_UNSPEC) {
    // A host name: resolved at start; no prefix, nothing that no name has.
    return prefix == -1 && address.find_first_of(" \t\r\n:/") == std::string::npos;
  }
  return prefix <= Bits(family);
}

bool TransportRules(const std::vector<std::string>& allowed,
                    const std::vector<std::string>& localAddresses, const std::string& transport,
                    std::vector<std::string>* rules, std::string* error) {
  rules->clear();
  if (allowed.empty()) {
    rules->push_back(Rule("127.0.0.0", 8));
    rules->push_back(Rule("::1", 128));
  }
  bool loopbackAllowed = allowed.empty();
  for (const std::string& entry : allowed) {
    loopbackAllowed = loopbackAllowed || NamesLoopback(entry);
    std::string address;
    int prefix;
    Split(entry, &address, &prefix);
    int family = FamilyOf(address);
    UnmapIpv4(&address, &prefix, &family);
    if (prefix == 0) {
      // omniORB's rule for a /0 network matches no peer at all: its two
      // halves say what was meant, every address of the family.
      bool v4 = family == AF_INET;
      rules->push_back(Rule(v4 ? "0.0.0.0" : "::", 1));
      rules->push_back(Rule(v4 ? "128.0.0.0" : "8000::", 1));
      continue;
    }
    if (family != AF_UNSPEC) {
      if (prefix < 0) prefix = Bits(family);
      rules->push_back(Rule(NetworkOf(address, family, prefix), prefix));
      continue;
    }
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int resolved = ACE_OS::getaddrinfo(address.c_str(), nullptr, &hints, &found);
    if (resolved != 0) {
      *error = "--allow " + entry + ": " + ACE_TEXT_ALWAYS_CHAR(ACE_OS::gai_strerror(resolved));
      return false;
    }
    for (addrinfo* each = found; each != nullptr; each = each->ai_next) {
      char text[INET6_ADDRSTRLEN];
      const void* raw =
          each->ai_family == AF_INET
              ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(each->ai_addr)->sin_addr)
              : static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(each->ai_addr)->sin6_addr);
      if (ACE_OS::inet_ntop(each->ai_family, raw, text, sizeof text) == nullptr) continue;
      AddOnce(Rule(text, Bits(each->ai_family)), rules);
    }
    ACE_OS::freeaddrinfo(found);
  }
  if (loopbackAllowed) AddLocalAddresses(localAddresses, rules);
  for (std::string& rule : *rules) rule += " " + transport;
  rules->push_back(RefusedPeers::kRule);
  return true;
}

bool IsLoopback(const std::string& host) {
  if (host == "localhost" || host == "::1" || host == "[::1]") return true;
  unsigned char bytes[4];
  return ACE_OS::inet_pton(AF_INET, host.c_str(), bytes) == 1 && bytes[0] == 127;
}

bool PeerAllowed(const std::string& address, int port) {
  // As omniORB writes a TCP connection's peer for its rules.
  bool ipv6 = address.find(':') != std::string::npos;
  std::string endpoint = "giop:tcp:" + (ipv6 ? "[" + address + "]" : address) + ":" +
                         std::to_string(port);
  CORBA::StringSeq actions;
  CORBA::ULong rule = 0;
  if (!omni::transportRules::serverRules().match(endpoint.c_str(), actions, rule)) return false;
  // The rules name the one transport that the service listens by; a peer
  // that they let in by it is let in here.
  bool transport = false;
  for (CORBA::ULong i = 0; i < actions.length(); ++i) {
    std::string action = actions[i].in();
    if (action == "none") return false;
    transport = transport || action == "tcp" || action == "ssl" || action == "*";
  }
  return transport;
}

}  // namespace channeld
}  // namespace kestrel
