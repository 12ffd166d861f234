// One value of an event, as constraints see it: the event's own fields and
// whatever its anys hold, decoded from their type codes and CDR bytes.
//
// Values live in a ValueArena and point at one another; they never own what
// they point to. An any's content is decoded on first use (see EventView),
// which is why its fields are mutable.

#ifndef KESTREL_FILTER_VALUE_H_
#define KESTREL_FILTER_VALUE_H_

#include <omniORB4/CORBA.h>

#include <cstdint>
#include <string_view>
#include <vector>

namespace kestrel {
namespace filter {

enum class ValueKind {
  kNone,      // void, null, or a union without an active member
  kBoolean,
  kInteger,   // every integer kind and octet; unsigned long long above
              // INT64_MAX is a kFloat
  kFloat,     // float, double
  kString,    // string, and char as a one-character string
  kEnum,      // its member's name in text, its ordinal in integer
  kStruct,    // items are the members, names their names
  kUnion,     // items[0] the discriminator, items[1] the active member
  kSequence,  // sequences and arrays; items are the elements
  kAny,       // content decoded on first use
  kOpaque,    // a kind that constraints cannot look into (object
              // references, fixed, wide strings, long double, ...)
};

struct Value {
  ValueKind kind = ValueKind::kNone;
  bool boolean = false;
  int64_t integer = 0;
  double real = 0;
  std::string_view text;
  std::vector<const Value*> items;
  std::vector<const char*> names;
  // kUnion: whether it holds a member, and whether that member is the
  // union's default one.
  bool hasMember = false;
  bool isDefault = false;
  // kAny: the any itself, then what decoding it found.
  const CORBA::Any* source = nullptr;
  mutable bool decoded = false;
  mutable const Value* content = nullptr;  // null: undecodable
  mutable std::string_view typeName;
  mutable std::string_view repositoryId;
};

}  // namespace filter
}  // namespace kestrel

#endif  // KESTREL_FILTER_VALUE_H_
