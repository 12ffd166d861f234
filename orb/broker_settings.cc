#include "orb/broker_settings.h"

#include "platform/registry_store.h"

namespace kestrel {

const char kBrokerSettingsKey[] = "SOFTWARE\\Tarnwell Networks\\Common";

BrokerSettings BrokerSettings::Read(const RegistryStore& store) {
  BrokerSettings settings;
  const RegistryStore::Dwords values =
      store.ReadDwords(RegistryRoot::kLocalMachine, kBrokerSettingsKey);
  auto read = [&values](const char* name, uint32_t* value) {
    auto found = values.find(name);
    if (found != values.end()) *value = found->second;
  };
  uint32_t dottedDecimal = 0;
  read("ORBDottedDecimalAddresses", &dottedDecimal);
  settings.dottedDecimalAddresses = dottedDecimal != 0;
  read("ConsumerLivenessInterval", &settings.consumerLivenessIntervalSeconds);
  read("CallTimeout", &settings.callTimeoutMilliseconds);
  const RegistryStore::Strings texts =
      store.ReadStrings(RegistryRoot::kLocalMachine, kBrokerSettingsKey);
  auto readText = [&texts](const char* name, std::string* value) {
    auto found = texts.find(name);
    if (found != texts.end()) *value = found->second;
  };
  readText("TlsCaFile", &settings.tls.authority);
  readText("TlsCertFile", &settings.tls.certificate);
  readText("TlsKeyFile", &settings.tls.key);
  readText("TlsKeyPassword", &settings.tls.keyPassword);
  return settings;
}

}  // namespace kestrel
