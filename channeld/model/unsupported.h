// The parts of the CosNotification interfaces that channeld does not
// implement raise CORBA::NO_IMPLEMENT rather than pretending: pull and
// untyped proxies, mapping filters, the channel's factory.

#ifndef KESTREL_CHANNELD_MODEL_UNSUPPORTED_H_
#define KESTREL_CHANNELD_MODEL_UNSUPPORTED_H_

#include <omniORB4/CORBA.h>

namespace kestrel {
namespace channeld {

// Raises CORBA::NO_IMPLEMENT (completed: no).
[[noreturn]] void RaiseNoImplement();

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_MODEL_UNSUPPORTED_H_
