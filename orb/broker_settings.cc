#include "orb/broker_settings.h"

#include "platform/registry_store.h"

namespace kestrel {

const char kBrokerSettingsKey[] = "SOFTWARE\\Tarnwell Networks\\Common";

BrokerSettings BrokerSettings::Read(const RegistryStore& store) {
  BrokerSettings settings;
  auto read = [&store](const char* name, uint32_t* value) {
    store.ReadDword(RegistryRoot::kLocalMachine, kBrokerSettingsKey, name, value);
  };
  uint32_t dottedDecimal = 0;
  read("ORBDottedDecimalAddresses", &dottedDecimal);
  settings.dottedDecimalAddresses = dottedDecimal != 0;
  read("ConsumerLivenessInterval", &settings.consumerLivenessIntervalSeconds);
  read("CallTimeout", &settings.callTimeoutMilliseconds);
  return settings;
}

}  // namespace kestrel
