// Reading the values of CosNotification properties (QoS and admin
// properties alike) and collecting what is wrong with them, so that a
// request is refused as a whole, with one PropertyError per refused
// property, before anything of it is applied.

#ifndef KESTREL_CHANNELD_QOS_PROPERTY_ERRORS_H_
#define KESTREL_CHANNELD_QOS_PROPERTY_ERRORS_H_

#include <COS/CosNotification.hh>

#include <cstring>

namespace kestrel {
namespace channeld {

class PropertyErrors {
 public:
  void Add(CosNotification::QoSError_code code, const char* name) {
    CORBA::ULong at = errors_.length();
    errors_.length(at + 1);
    errors_[at].code = code;
    errors_[at].name = name;
  }

  // An error that names the values that would have been accepted.
  template <typename T>
  void Add(CosNotification::QoSError_code code, const char* name, T low, T high) {
    Add(code, name);
    CosNotification::PropertyRange& range = errors_[errors_.length() - 1].available_range;
    range.low_val <<= low;
    range.high_val <<= high;
  }

  // The property's value as a T, or false with BAD_TYPE recorded.
  template <typename T>
  bool Read(const CosNotification::Property& property, T* value) {
    if (property.value >>= *value) return true;
    Add(CosNotification::BAD_TYPE, property.name.in());
    return false;
  }
  bool Read(const CosNotification::Property& property, bool* value) {
    CORBA::Boolean flag = false;
    if (property.value >>= CORBA::Any::to_boolean(flag)) {
      *value = flag != 0;
      return true;
    }
    Add(CosNotification::BAD_TYPE, property.name.in());
    return false;
  }

  bool empty() const { return errors_.length() == 0; }
  const CosNotification::PropertyErrorSeq& errors() const { return errors_; }

 private:
  CosNotification::PropertyErrorSeq errors_;
};

// Puts each property of changes into properties, in place of one of the same
// name: what a level's clients have set, request after request.
inline void Overlay(CosNotification::PropertySeq* properties,
                    const CosNotification::PropertySeq& changes) {
  for (CORBA::ULong i = 0; i < changes.length(); ++i) {
    CORBA::ULong at = 0;
    while (at < properties->length() &&
           std::strcmp((*properties)[at].name.in(), changes[i].name.in()) != 0) {
      ++at;
    }
    if (at == properties->length()) properties->length(at + 1);
    (*properties)[at] = changes[i];
  }
}

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_QOS_PROPERTY_ERRORS_H_
