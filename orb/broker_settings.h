// The machine-wide settings of Kestrel's brokers, kept in the registry
// under HKEY_LOCAL_MACHINE\SOFTWARE\Tarnwell Networks\Common, all 32-bit
// numbers (a value of another type reads as missing):
//
//   ORBDottedDecimalAddresses  non-zero: numeric addresses in references  (0)
//   ConsumerLivenessInterval   seconds between checks that a consumer's
//                              proxy still exists; 0 turns them off      (10)
//   CallTimeout                milliseconds that a remote call to the
//                              channel may take; 0 means no limit     (30000)
//
// and, as strings, the files of IIOP over TLS (see orb/tls_context.h):
//
//   TlsCaFile                  the site's certificate authority (PEM); when
//                              set, the channel is reached by TLS only
//   TlsCertFile                this machine's certificate (PEM)
//   TlsKeyFile                 its private key (PEM)
//   TlsKeyPassword             the key's password, for an encrypted key
//
// They are read anew for every object that starts a broker.

#ifndef KESTREL_ORB_BROKER_SETTINGS_H_
#define KESTREL_ORB_BROKER_SETTINGS_H_

#include <cstdint>

#include "orb/tls_context.h"

namespace kestrel {

class RegistryStore;

// The registry key of the settings, below HKEY_LOCAL_MACHINE.
extern const char kBrokerSettingsKey[];

struct BrokerSettings {
  bool dottedDecimalAddresses = false;
  uint32_t consumerLivenessIntervalSeconds = 10;
  uint32_t callTimeoutMilliseconds = 30000;
  TlsFiles tls;

  // Missing values keep the defaults above.
  static BrokerSettings Read(const RegistryStore& store);
};

}  // namespace kestrel

#endif  // KESTREL_ORB_BROKER_SETTINGS_H_
