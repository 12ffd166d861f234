// Owns the values of one event and what they borrow: decoded strings, the
// anys found inside anys, and the type codes whose member names struct
// values point at. Nothing moves once made, so values may point at each
// other and at these for as long as the arena lives.

#ifndef KESTREL_FILTER_VALUE_ARENA_H_
#define KESTREL_FILTER_VALUE_ARENA_H_

#include <omniORB4/CORBA.h>

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

#include "filter/limits.h"
#include "filter/value.h"

namespace kestrel {
namespace filter {

class ValueArena {
 public:
  ValueArena() = default;
  ValueArena(const ValueArena&) = delete;
  ValueArena& operator=(const ValueArena&) = delete;

  // A new decoded value of kind, or null once kMaxDecodedValues have been
  // made.
  Value* NewValue(ValueKind kind) {
    if (decoded_ >= kMaxDecodedValues) return nullptr;
    ++decoded_;
    return NewLayoutValue(kind);
  }

  // A new value outside the budget: for the event's own layout, whose size
  // is that of the event already in memory.
  Value* NewLayoutValue(ValueKind kind) {
    values_.emplace_back();
    values_.back().kind = kind;
    return &values_.back();
  }

  std::string_view KeepText(std::string text) {
    texts_.push_back(std::move(text));
    return texts_.back();
  }

  CORBA::Any* NewAny() {
    anys_.emplace_back();
    return &anys_.back();
  }

  // Holds type until the arena goes, so that names read from it stay valid.
  void KeepType(CORBA::TypeCode_ptr type) { types_.emplace_back(type); }

 private:
  std::size_t decoded_ = 0;
  std::deque<Value> values_;
  std::deque<std::string> texts_;
  std::deque<CORBA::Any> anys_;
  std::deque<CORBA::TypeCode_var> types_;
};

}  // namespace filter
}  // namespace kestrel

#endif  // KESTREL_FILTER_VALUE_ARENA_H_
