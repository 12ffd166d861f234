// The start-up arguments of a broker, built the way a command line would be:
// "Appname", then "-ORBid" and the ORB id, then the machine-wide settings
// kept in the registry under HKEY_LOCAL_MACHINE\SOFTWARE\Tarnwell
// Networks\Common:
//
//   no id, setting off:  Appname
//   no id, setting on:   Appname -ORBDottedDecimalAddresses 1
//   id, setting off:     Appname -ORBid <id>
//   id, setting on:      Appname -ORBid <id> -ORBDottedDecimalAddresses 1
//
// "ORBDottedDecimalAddresses" is a 32-bit number; any value but 0 turns the
// option on. A missing key, a missing value or a value of another type
// leaves it off. The registry is read anew for every list.
//
// The TLS files kept under the same key travel beside the arguments, not in
// them: a path may hold spaces.
//
// A list is built for one broker start and discarded when the start returns.
// (broker_settings.h lists every setting kept under that key.)

#ifndef KESTREL_ORB_ORB_ARGUMENT_LIST_H_
#define KESTREL_ORB_ORB_ARGUMENT_LIST_H_

#include <memory>
#include <string>
#include <vector>

#include "orb/tls_context.h"

namespace kestrel {

class RegistryStore;
struct BrokerSettings;

class OrbArgumentList {
 public:
  // orbId may be null: no "-ORBid" then. Reads the machine's registry.
  explicit OrbArgumentList(const char* orbId);
  // The same, with the registry read from store.
  OrbArgumentList(const char* orbId, const RegistryStore& store);
  // The same, from settings read already.
  OrbArgumentList(const char* orbId, const BrokerSettings& settings);
  virtual ~OrbArgumentList();

  OrbArgumentList(const OrbArgumentList&) = delete;
  OrbArgumentList& operator=(const OrbArgumentList&) = delete;

  // Formats like printf into at most 255 characters, splits the text at
  // every space (empty pieces are skipped) and appends the pieces as
  // arguments. Always answers 0.
  int AppendFormatted(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // The argument vector, rebuilt on every call; the previous one is freed.
  // Only the latest vector is valid, until the next call or destruction.
  char** BuildArgv();

  int count() const { return static_cast<int>(arguments_.size()); }
  const std::vector<std::string>& arguments() const { return arguments_; }
  // The registry's TLS files; not enabled() when TLS is off.
  const TlsFiles& tls() const { return tls_; }

 private:
  void Build(const char* orbId, const BrokerSettings& settings);

  std::vector<std::string> arguments_;
  TlsFiles tls_;
  std::unique_ptr<char*[]> argv_;
};

}  // namespace kestrel

#endif  // KESTREL_ORB_ORB_ARGUMENT_LIST_H_
