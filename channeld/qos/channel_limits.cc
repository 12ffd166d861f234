#include "channeld/qos/channel_limits.h"

#include <cstring>

#include "channeld/qos/property_errors.h"

namespace kestrel {
namespace channeld {

ChannelLimits ChannelLimits::Apply(const ChannelLimits& limits,
                                   const CosNotification::AdminProperties& properties) {
  ChannelLimits applied = limits;
  PropertyErrors errors;
  for (CORBA::ULong i = 0; i < properties.length(); ++i) {
    const CosNotification::Property& property = properties[i];
    const char* name = property.name.in();
    long* count = std::strcmp(name, CosNotification::MaxQueueLength) == 0 ? &applied.maxQueueLength
                  : std::strcmp(name, CosNotification::MaxConsumers) == 0 ? &applied.maxConsumers
                  : std::strcmp(name, CosNotification::MaxSuppliers) == 0 ? &applied.maxSuppliers
                                                                          : nullptr;
    if (count != nullptr) {
      CORBA::Long value = 0;
      if (!errors.Read(property, &value)) continue;
      if (value < 0) {
        errors.Add(CosNotification::BAD_VALUE, name);
      } else {
        *count = value;
      }
    } else if (std::strcmp(name, CosNotification::RejectNewEvents) == 0) {
      errors.Read(property, &applied.rejectNewEvents);
    } else {
      errors.Add(CosNotification::UNSUPPORTED_PROPERTY, name);
    }
  }
  if (!errors.empty()) throw CosNotification::UnsupportedAdmin(errors.errors());
  return applied;
}

CosNotification::AdminProperties* ChannelLimits::Describe() const {
  auto* properties = new CosNotification::AdminProperties;
  properties->length(4);
  (*properties)[0].name = CosNotification::MaxQueueLength;
  (*properties)[0].value <<= static_cast<CORBA::Long>(maxQueueLength);
  (*properties)[1].name = CosNotification::MaxConsumers;
  (*properties)[1].value <<= static_cast<CORBA::Long>(maxConsumers);
  (*properties)[2].name = CosNotification::MaxSuppliers;
  (*properties)[2].value <<= static_cast<CORBA::Long>(maxSuppliers);
  (*properties)[3].name = CosNotification::RejectNewEvents;
  (*properties)[3].value <<= CORBA::Any::from_boolean(rejectNewEvents);
  return properties;
}

}  // namespace channeld
}  // namespace kestrel
