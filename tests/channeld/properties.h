// CosNotification properties for the tests: QoS and admin properties are
// both sequences of name and any.

#ifndef KESTREL_TESTS_CHANNELD_PROPERTIES_H_
#define KESTREL_TESTS_CHANNELD_PROPERTIES_H_

#include <COS/CosNotification.hh>

#include <vector>

namespace kestrel {
namespace testing {

template <typename T>
CosNotification::Property Property(const char* name, T value) {
  CosNotification::Property property;
  property.name = name;
  property.value <<= value;
  return property;
}

inline CosNotification::PropertySeq Properties(
    const std::vector<CosNotification::Property>& list) {
  CosNotification::PropertySeq properties;
  properties.length(static_cast<CORBA::ULong>(list.size()));
  for (CORBA::ULong i = 0; i < properties.length(); ++i) properties[i] = list[i];
  return properties;
}

}  // namespace testing
}  // namespace kestrel

#endif  // KESTREL_TESTS_CHANNELD_PROPERTIES_H_
