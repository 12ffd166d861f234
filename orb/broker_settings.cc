#include "orb/broker_settings.h"

#include "platform/registry_store.h"

namespace kestrel {

const char kBrokerSettingsKey[] = "SOFTWARE\\Tarnwell Networks\\Common";

BrokerSettings BrokerSettings::Read(const RegistryStore& store) {
  BrokerSettings settings;
  RegistryTree tree;
  if (store.Load(&tree) != RegistryStatus::kOk) return settings;
  const RegistryKey* key = tree.Find(RegistryRoot::kLocalMachine, kBrokerSettingsKey);
  if (key == nullptr) return settings;
  auto read = [key](const char* name, uint32_t* value) {
    const RegistryValue* found = key->FindValue(name);
    if (found != nullptr && found->type == RegistryValue::Type::kDword) *value = found->number;
  };
  uint32_t dottedDecimal = 0;
  read("ORBDottedDecimalAddresses", &dottedDecimal);
  settings.dottedDecimalAddresses = dottedDecimal != 0;
  read("ConsumerLivenessInterval", &settings.consumerLivenessIntervalSeconds);
  read("CallTimeout", &settings.callTimeoutMilliseconds);
  return settings;
}

}  // namespace kestrel
