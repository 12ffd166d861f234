// Decodes the value that an any holds into Values, by walking the any's type
// code alongside the CDR bytes of its value, as the channel's type code
// screen walks type codes: no DynAny, and one pass over the bytes.
//
// What decoding cannot look into (object references, fixed-point numbers,
// wide characters and strings, long double, type codes, value types) is
// still read past, by omniORB, and becomes an opaque value, so the members
// around it stay reachable.

#ifndef KESTREL_FILTER_VALUE_DECODER_H_
#define KESTREL_FILTER_VALUE_DECODER_H_

#include <omniORB4/CORBA.h>

#include "filter/value.h"
#include "filter/value_arena.h"

namespace kestrel {
namespace filter {

// Fills any's content, type name and repository id (a kAny value) from
// any.source. Leaves content null when the value nests deeper than
// kMaxValueNesting, needs more than the arena's budget, or cannot be read.
// Never raises.
// REQUIRES: the process ORB is initialised (strings are decoded through its
// code sets).
void DecodeAny(const Value& any, ValueArena* arena);

}  // namespace filter
}  // namespace kestrel

#endif  // KESTREL_FILTER_VALUE_DECODER_H_
