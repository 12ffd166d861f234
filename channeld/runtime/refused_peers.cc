#include "channeld/runtime/refused_peers.h"

#include <omniORB4/CORBA.h>
#include <omniORB4/internal/transportRules.h>

#include <cstring>
#include <mutex>

#include "channeld/runtime/refusal_tally.h"

namespace kestrel {
namespace channeld {

namespace {

constexpr const char kMask[] = "kestrel-refused";

RefusalTally tally;

class RefusingRule : public omni::transportRules::Rule {
 public:
  RefusingRule() : Rule(kMask) {}
  CORBA::Boolean match(const char* endpoint) override {
    RefusedPeers::Note(endpoint);
    return true;
  }
};

class RefusingRuleType : public omni::transportRules::RuleType {
 public:
  CORBA::Boolean createRules(const char* mask, const CORBA::StringSeq& actions,
                             omni::transportRules& rules) override {
    if (std::strcmp(mask, kMask) != 0) return false;
    rules.addRule(new RefusingRule, actions);
    return true;
  }
};

}  // namespace

const char RefusedPeers::kRule[] = "kestrel-refused none";

void RefusedPeers::Install() {
  static RefusingRuleType type;
  static std::once_flag added;
  std::call_once(added, [] { omni::transportRules::addRuleType(&type); });
}

void RefusedPeers::Note(const char* endpoint) {
  tally.Note("connection from " + PeerAddress(endpoint != nullptr ? endpoint : ""));
}

std::uint64_t RefusedPeers::total() { return tally.total(); }

std::string RefusedPeers::TakeReport() { return tally.TakeReport("--allow does not name it"); }

std::string RefusedPeers::PeerAddress(const std::string& endpoint) {
  // giop:TRANSPORT:HOST:PORT
  std::size_t transport = endpoint.find(':');
  std::size_t host = transport == std::string::npos ? transport : endpoint.find(':', transport + 1);
  std::size_t port = endpoint.rfind(':');
  if (host == std::string::npos || port <= host + 1) return endpoint;
  std::string address = endpoint.substr(host + 1, port - host - 1);
  if (address.size() > 2 && address.front() == '[' && address.back() == ']') {
    address = address.substr(1, address.size() - 2);
  }
  return address;
}

}  // namespace channeld
}  // namespace kestrel
