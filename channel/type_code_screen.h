// Reading the anys of an incoming request without trusting their type codes.
//
// omniORB 4.2 believes the member counts that a struct, union or value type
// code announces: it allocates that many members before it reads one, and
// when the allocation fails its clean-up walks members that were never
// initialised, which ends the process. The same holds for the type code of
// an any nested in a value, and a self-referring type code lets a value
// nest deeper than a thread's stack. Any peer of a channel can send such an
// any, so what arrives is first checked here, and only a type code that
// passes reaches omniORB:
//   - every count fits in the bytes that are left of its encapsulation, and
//     every string ends with its terminating octet (omniORB leaks one that
//     does not);
//   - encapsulations nest at most kMaxTypeCodeNesting deep;
//   - no indirection (a type code that refers to itself or to an enclosing
//     one) and no nested any, since their values could not be checked the
//     same way before omniORB reads them;
//   - only the kinds that CORBA defines, union discriminators of the kinds
//     a union may have, and fixed-point limits that a fixed type may have
//     (omniORB aborts on others).
// A type code that fails raises CORBA::MARSHAL, as any other malformed
// request does, and omniORB answers the caller with that exception.

#ifndef KESTREL_CHANNEL_TYPE_CODE_SCREEN_H_
#define KESTREL_CHANNEL_TYPE_CODE_SCREEN_H_

#include <COS/CosNotification.hh>
#include <omniORB4/CORBA.h>

#include "channel/type_code_cache.h"

namespace kestrel {

// Deepest nesting of encapsulated type codes that is read: an event record
// needs two, and the limit also bounds how deep a value nests.
constexpr int kMaxTypeCodeNesting = 32;

// Reads one type code from in. Raises CORBA::MARSHAL when it fails the
// checks above or ends early; otherwise answers a new reference. With a
// cache, a type code that passed before is not built again (the screen
// still reads and checks it).
CORBA::TypeCode_ptr ReadScreenedTypeCode(cdrStream& in, TypeCodeCache* cache = nullptr);

// Reads one any (its type code, then its value) into value.
void ReadScreenedAny(cdrStream& in, CORBA::Any& value, TypeCodeCache* cache = nullptr);

// Reads a property sequence (name and any for each property).
void ReadScreenedProperties(cdrStream& in, CosNotification::PropertySeq& properties,
                            TypeCodeCache* cache = nullptr);

// Reads a whole structured event: header, filterable data and body.
void ReadScreenedEvent(cdrStream& in, CosNotification::StructuredEvent& event,
                       TypeCodeCache* cache = nullptr);

}  // namespace kestrel

#endif  // KESTREL_CHANNEL_TYPE_CODE_SCREEN_H_
