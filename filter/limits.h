// The bounds that keep a constraint's parsing and evaluation, and the
// decoding of an event's values, finite whatever a client or a supplier
// sends. Constraints come from any consumer of a channel and events from any
// supplier, so neither may make the service recurse or allocate without a
// limit.

#ifndef KESTREL_FILTER_LIMITS_H_
#define KESTREL_FILTER_LIMITS_H_

#include <cstddef>

namespace kestrel {
namespace filter {

// Longest constraint text accepted, in characters. Far above what a person
// writes, and small enough that parsing one is always quick.
constexpr std::size_t kMaxConstraintLength = 65536;

// Deepest nesting of a constraint: parentheses, `not`, unary minus and the
// height of its syntax tree. Evaluation recurses once per level, so this
// bounds its stack too. Chains of `and` and `or` do not count against it:
// they are kept flat.
constexpr int kMaxConstraintNesting = 256;

// Deepest nesting of a decoded value (structs, unions, sequences and anys
// inside one another); a recursive type could otherwise nest without end.
constexpr int kMaxValueNesting = 64;

// Most values decoded for one event. Past it the any being decoded reads as
// undecodable, and constraints that reach into it are false.
constexpr std::size_t kMaxDecodedValues = 1 << 18;

}  // namespace filter
}  // namespace kestrel

#endif  // KESTREL_FILTER_LIMITS_H_
