#include "orb/orb_argument_list.h"

#include <cstdarg>
#include <cstdio>

#include "orb/broker_settings.h"
#include "platform/registry_store.h"

namespace kestrel {

namespace {

constexpr size_t kFormatBufferSize = 256;

}  // namespace

OrbArgumentList::OrbArgumentList(const char* orbId)
    : OrbArgumentList(orbId, BrokerSettings::Read(RegistryStore())) {}

OrbArgumentList::OrbArgumentList(const char* orbId, const RegistryStore& store)
    : OrbArgumentList(orbId, BrokerSettings::Read(store)) {}

OrbArgumentList::OrbArgumentList(const char* orbId, const BrokerSettings& settings) {
  Build(orbId, settings);
}

OrbArgumentList::~OrbArgumentList() = default;

void OrbArgumentList::Build(const char* orbId, const BrokerSettings& settings) {
  arguments_.push_back("Appname");
  if (orbId != nullptr) AppendFormatted("-ORBid %s", orbId);
  if (settings.dottedDecimalAddresses) AppendFormatted("-ORBDottedDecimalAddresses 1");
  tls_ = settings.tls;
}

int OrbArgumentList::AppendFormatted(const char* format, ...) {
  char text[kFormatBufferSize];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);

  std::string_view rest(text);
  while (!rest.empty()) {
    size_t space = rest.find(' ');
    std::string_view piece = rest.substr(0, space);
    if (!piece.empty()) arguments_.emplace_back(piece);
    if (space == std::string_view::npos) break;
    rest.remove_prefix(space + 1);
  }
  return 0;
}

char** OrbArgumentList::BuildArgv() {
  argv_.reset(new char*[arguments_.size() + 1]);
  for (size_t i = 0; i < arguments_.size(); ++i) argv_[i] = &arguments_[i][0];
  // A terminating null, as main()'s argv has; not counted.
  argv_[arguments_.size()] = nullptr;
  return argv_.get();
}

}  // namespace kestrel
