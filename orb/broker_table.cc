#include "orb/broker_table.h"

#include <omniORB4/omniORB.h>

#include <cstring>
#include <memory>

#include "platform/orb_options.h"

namespace kestrel {

namespace {

// omniORB writes some errors to stderr whatever the trace level; the
// library prints nothing, so they go nowhere.
void DiscardLog(const char*) {}

// The TLS endpoint that stands in for environmentEndpoint: the same host,
// any port. Empty when the environment listens by TLS already.
std::string TlsEndpoint(const char* environmentEndpoint) {
  const std::string endpoint = environmentEndpoint != nullptr ? environmentEndpoint : "";
  constexpr char kTls[] = "giop:ssl:";
  if (endpoint.compare(0, sizeof kTls - 1, kTls) == 0) return std::string();
  constexpr char kTcp[] = "giop:tcp:";
  std::string host;
  if (endpoint.compare(0, sizeof kTcp - 1, kTcp) == 0) {
    host = endpoint.substr(sizeof kTcp - 1);
    host = host.substr(0, host.rfind(':'));
  }
  return kTls + host + ":";
}

void AddTlsOptions(const char* environmentEndpoint, std::vector<std::string>* arguments) {
  arguments->insert(arguments->end(), {"-ORBclientTransportRule", "* ssl",
                                       "-ORBserverTransportRule", "* ssl"});
  std::string endpoint = TlsEndpoint(environmentEndpoint);
  if (!endpoint.empty()) arguments->insert(arguments->end(), {"-ORBendPoint", endpoint});
}

}  // namespace

BrokerOptions TranslateBrokerArguments(int argc, char** argv, const TlsFiles& tls,
                                       const char* environmentEndpoint) {
  BrokerOptions options;
  options.orbArguments.push_back(argc > 0 && argv[0] != nullptr ? argv[0] : "Appname");
  options.orbArguments.insert(options.orbArguments.end(), {"-ORBtraceLevel", "0"});
  for (const std::string& option : PlatformOrbOptions()) options.orbArguments.push_back(option);
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-ORBid") == 0 && i + 1 < argc) {
      options.orbId = argv[++i];
    } else if (std::strcmp(argv[i], "-ORBDottedDecimalAddresses") == 0 && i + 1 < argc) {
      if (std::strcmp(argv[++i], "0") != 0) {
        options.orbArguments.insert(options.orbArguments.end(), {"-ORBendPointPublish", "addr"});
      }
    }
  }
  if (tls.enabled()) {
    options.tls = tls;
    AddTlsOptions(environmentEndpoint, &options.orbArguments);
  }
  return options;
}

BrokerTable& BrokerTable::instance() {
  // Never destroyed: runtimes may outlive static destruction at exit.
  static BrokerTable* table = new BrokerTable;
  return *table;
}

CORBA::ORB_ptr BrokerTable::Join(const BrokerOptions& options) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (CORBA::is_nil(processOrb_)) InitialiseProcessOrb(options);
  ++shares_[options.orbId];
  return CORBA::ORB::_duplicate(processOrb_);
}

void BrokerTable::InitialiseProcessOrb(const BrokerOptions& options) {
  std::vector<std::string> arguments = options.orbArguments;
  // omniORB reads its arguments only when it creates the ORB. A probe
  // option, set against the current value, tells whether this call created
  // it or found the client's own ORB, which the library must never destroy.
  const bool probeBefore = omniORB::traceThreadId;
  arguments.insert(arguments.end(), {"-ORBtraceThreadId", probeBefore ? "0" : "1"});
  std::unique_ptr<char*[]> argv(new char*[arguments.size() + 1]);
  for (size_t i = 0; i < arguments.size(); ++i) argv[i] = &arguments[i][0];
  argv[arguments.size()] = nullptr;
  int argc = static_cast<int>(arguments.size());

  const CORBA::ULong traceLevelBefore = omniORB::traceLevel;
  omniORB::traceLevel = 0;
  omniORB::setLogFunction(&DiscardLog);
  // omniORB takes the context over, and deletes it with this ORB.
  if (options.tls.enabled()) InstallTlsContext(options.tls);
  try {
    processOrb_ = CORBA::ORB_init(argc, argv.get(), "omniORB4");
  } catch (...) {
    omniORB::traceThreadId = probeBefore;
    throw;
  }
  ownsProcessOrb_ = omniORB::traceThreadId != probeBefore;
  omniORB::traceThreadId = probeBefore;
  if (ownsProcessOrb_) {
    ++orbCreations_;
  } else {
    // The client's ORB keeps its client's settings.
    omniORB::traceLevel = traceLevelBefore;
    omniORB::setLogFunction(nullptr);
  }
}

void BrokerTable::Leave(const std::string& orbId) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (shares_.count(orbId) == 0) return;
  if (totalShares() == 1) {
    if (ownsProcessOrb_) processOrb_->destroy();
    processOrb_ = CORBA::ORB::_nil();
  }
  DropShare(orbId);
}

void BrokerTable::Abandon(const std::string& orbId) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (shares_.count(orbId) == 0) return;
  DropShare(orbId);
  if (totalShares() == 0) processOrb_ = CORBA::ORB::_nil();
}

void BrokerTable::DropShare(const std::string& orbId) {
  if (--shares_[orbId] == 0) shares_.erase(orbId);
}

int BrokerTable::totalShares() const {
  int total = 0;
  for (const auto& entry : shares_) total += entry.second;
  return total;
}

int BrokerTable::shares(const std::string& orbId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = shares_.find(orbId);
  return it == shares_.end() ? 0 : it->second;
}

int BrokerTable::orbCreations() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return orbCreations_;
}

bool BrokerTable::hasProcessOrb() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return !CORBA::is_nil(processOrb_);
}

}  // namespace kestrel
