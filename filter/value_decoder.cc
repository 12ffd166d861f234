#include "filter/value_decoder.h"

#include <omniORB4/cdrStream.h>

#include <cstdint>
#include <limits>
#include <new>
#include <string>

#include "filter/limits.h"

namespace kestrel {
namespace filter {

namespace {

// Octets and booleans are common in sequences and need no value of their
// own each: every decoded one points here.
struct SharedScalars {
  Value octets[256];
  Value booleans[2];
  SharedScalars() {
    for (int i = 0; i < 256; ++i) {
      octets[i].kind = ValueKind::kInteger;
      octets[i].integer = i;
    }
    for (int i = 0; i < 2; ++i) {
      booleans[i].kind = ValueKind::kBoolean;
      booleans[i].boolean = i != 0;
    }
  }
};

const SharedScalars& Shared() {
  static const SharedScalars* const shared = new SharedScalars;
  return *shared;
}

class Decoder {
 public:
  Decoder(cdrStream& in, ValueArena* arena) : in_(in), arena_(arena) {}

  // Null when the value cannot be decoded within the limits.
  const Value* Decode(CORBA::TypeCode_ptr type, int depth);

 private:
  const Value* Integer(int64_t integer);
  const Value* Unsigned(uint64_t integer);
  const Value* Float(double real);
  const Value* Text(std::string text);
  const Value* Enum(CORBA::TypeCode_ptr type);
  const Value* Struct(CORBA::TypeCode_ptr type, int depth);
  const Value* Union(CORBA::TypeCode_ptr type, int depth);
  const Value* Elements(CORBA::TypeCode_ptr element, CORBA::ULong count, int depth);
  const Value* Sequence(CORBA::TypeCode_ptr type, int depth);
  const Value* Array(CORBA::TypeCode_ptr type, int depth);
  const Value* NestedAny();
  const Value* Opaque(CORBA::TypeCode_ptr type);

  cdrStream& in_;
  ValueArena* arena_;
};

// Sees through aliases; an alias chain is as long as its nesting at most.
CORBA::TypeCode_var Unaliased(CORBA::TypeCode_ptr type) {
  CORBA::TypeCode_var current = CORBA::TypeCode::_duplicate(type);
  for (int i = 0; i < kMaxValueNesting && current->kind() == CORBA::tk_alias; ++i) {
    current = current->content_type();
  }
  return current;
}

const Value* Decoder::Integer(int64_t integer) {
  Value* value = arena_->NewValue(ValueKind::kInteger);
  if (value != nullptr) value->integer = integer;
  return value;
}

const Value* Decoder::Unsigned(uint64_t integer) {
  if (integer <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    return Integer(static_cast<int64_t>(integer));
  }
  return Float(static_cast<double>(integer));
}

const Value* Decoder::Float(double real) {
  Value* value = arena_->NewValue(ValueKind::kFloat);
  if (value != nullptr) value->real = real;
  return value;
}

const Value* Decoder::Text(std::string text) {
  Value* value = arena_->NewValue(ValueKind::kString);
  if (value != nullptr) value->text = arena_->KeepText(std::move(text));
  return value;
}

const Value* Decoder::Enum(CORBA::TypeCode_ptr type) {
  CORBA::ULong ordinal;
  ordinal <<= in_;
  if (ordinal >= type->member_count()) return nullptr;
  Value* value = arena_->NewValue(ValueKind::kEnum);
  if (value == nullptr) return nullptr;
  value->integer = ordinal;
  value->text = arena_->KeepText(type->member_name(ordinal));
  return value;
}

const Value* Decoder::Struct(CORBA::TypeCode_ptr type, int depth) {
  Value* value = arena_->NewValue(ValueKind::kStruct);
  if (value == nullptr) return nullptr;
  // The names are the type code's own; the arena keeps the any's type code,
  // which holds this one.
  const CORBA::ULong count = type->member_count();
  for (CORBA::ULong i = 0; i < count; ++i) {
    CORBA::TypeCode_var memberType = type->member_type(i);
    const Value* member = Decode(memberType, depth + 1);
    if (member == nullptr) return nullptr;
    value->items.push_back(member);
    value->names.push_back(type->member_name(i));
  }
  return value;
}

// Two discriminator values are the same label when they decode alike.
bool SameLabel(const Value& a, const Value& b) {
  return a.kind == b.kind && a.integer == b.integer && a.boolean == b.boolean &&
         a.text == b.text;
}

// The label of member i of type, decoded as its discriminator is.
const Value* Label(CORBA::TypeCode_ptr type, CORBA::ULong i, CORBA::TypeCode_ptr discriminator,
                   ValueArena* arena) {
  CORBA::Any_var label = type->member_label(i);
  cdrMemoryStream bytes;
  label->NP_marshalDataOnly(bytes);
  return Decoder(bytes, arena).Decode(discriminator, kMaxValueNesting - 1);
}

const Value* Decoder::Union(CORBA::TypeCode_ptr type, int depth) {
  Value* value = arena_->NewValue(ValueKind::kUnion);
  if (value == nullptr) return nullptr;
  CORBA::TypeCode_var discriminatorType = type->discriminator_type();
  const Value* discriminator = Decode(discriminatorType, depth + 1);
  if (discriminator == nullptr) return nullptr;
  value->items.push_back(discriminator);
  const CORBA::Long defaultIndex = type->default_index();
  CORBA::Long active = defaultIndex;
  const CORBA::ULong count = type->member_count();
  for (CORBA::ULong i = 0; i < count; ++i) {
    if (static_cast<CORBA::Long>(i) == defaultIndex) continue;
    const Value* label = Label(type, i, discriminatorType, arena_);
    if (label == nullptr) return nullptr;
    if (SameLabel(*label, *discriminator)) {
      active = static_cast<CORBA::Long>(i);
      break;
    }
  }
  if (active < 0) return value;
  CORBA::TypeCode_var memberType = type->member_type(static_cast<CORBA::ULong>(active));
  const Value* member = Decode(memberType, depth + 1);
  if (member == nullptr) return nullptr;
  value->items.push_back(member);
  value->hasMember = true;
  value->isDefault = active == defaultIndex;
  return value;
}

const Value* Decoder::Elements(CORBA::TypeCode_ptr element, CORBA::ULong count, int depth) {
  Value* value = arena_->NewValue(ValueKind::kSequence);
  if (value == nullptr) return nullptr;
  // No more elements than bytes are left, as omniORB bounds its own
  // sequences; the arena's budget bounds the rest.
  if (!in_.checkInputOverrun(1, count)) return nullptr;
  value->items.reserve(count);
  for (CORBA::ULong i = 0; i < count; ++i) {
    const Value* item = Decode(element, depth + 1);
    if (item == nullptr) return nullptr;
    value->items.push_back(item);
  }
  return value;
}

const Value* Decoder::Sequence(CORBA::TypeCode_ptr type, int depth) {
  CORBA::TypeCode_var element = type->content_type();
  CORBA::ULong count;
  count <<= in_;
  return Elements(element, count, depth);
}

const Value* Decoder::Array(CORBA::TypeCode_ptr type, int depth) {
  CORBA::TypeCode_var element = type->content_type();
  return Elements(element, type->length(), depth);
}

const Value* Decoder::NestedAny() {
  Value* value = arena_->NewValue(ValueKind::kAny);
  if (value == nullptr) return nullptr;
  CORBA::Any* nested = arena_->NewAny();
  *nested <<= in_;
  value->source = nested;
  return value;
}

const Value* Decoder::Opaque(CORBA::TypeCode_ptr type) {
  CORBA::Any skipped;
  skipped.replace(type, nullptr);
  skipped.NP_unmarshalDataOnly(in_);
  return arena_->NewValue(ValueKind::kOpaque);
}

const Value* Decoder::Decode(CORBA::TypeCode_ptr aliased, int depth) {
  if (depth >= kMaxValueNesting) return nullptr;
  CORBA::TypeCode_var type = Unaliased(aliased);
  switch (type->kind()) {
    case CORBA::tk_null: case CORBA::tk_void:
      return arena_->NewValue(ValueKind::kNone);
    case CORBA::tk_boolean:
      return &Shared().booleans[in_.unmarshalBoolean() ? 1 : 0];
    case CORBA::tk_octet:
      return &Shared().octets[in_.unmarshalOctet()];
    case CORBA::tk_char:
      return Text(std::string(1, static_cast<char>(in_.unmarshalChar())));
    case CORBA::tk_short: { CORBA::Short v; v <<= in_; return Integer(v); }
    case CORBA::tk_ushort: { CORBA::UShort v; v <<= in_; return Integer(v); }
    case CORBA::tk_long: { CORBA::Long v; v <<= in_; return Integer(v); }
    case CORBA::tk_ulong: { CORBA::ULong v; v <<= in_; return Integer(v); }
    case CORBA::tk_longlong: { CORBA::LongLong v; v <<= in_; return Integer(v); }
    case CORBA::tk_ulonglong: { CORBA::ULongLong v; v <<= in_; return Unsigned(v); }
    case CORBA::tk_float: { CORBA::Float v; v <<= in_; return Float(v); }
    case CORBA::tk_double: { CORBA::Double v; v <<= in_; return Float(v); }
    case CORBA::tk_string: {
      CORBA::String_var text = in_.unmarshalString();
      return Text(text.in());
    }
    case CORBA::tk_enum: return Enum(type);
    case CORBA::tk_struct: case CORBA::tk_except: return Struct(type, depth);
    case CORBA::tk_union: return Union(type, depth);
    case CORBA::tk_sequence: return Sequence(type, depth);
    case CORBA::tk_array: return Array(type, depth);
    case CORBA::tk_any: return NestedAny();
    default: return Opaque(type);
  }
}

// The name and repository id that a type code has, or empty ones.
void Describe(CORBA::TypeCode_ptr type, const Value& any, ValueArena* arena) {
  switch (type->kind()) {
    case CORBA::tk_struct: case CORBA::tk_union: case CORBA::tk_enum: case CORBA::tk_alias:
    case CORBA::tk_except: case CORBA::tk_objref: case CORBA::tk_value:
    case CORBA::tk_value_box: case CORBA::tk_abstract_interface: case CORBA::tk_local_interface:
      any.typeName = arena->KeepText(type->name());
      any.repositoryId = arena->KeepText(type->id());
      return;
    default:
      return;
  }
}

}  // namespace

void DecodeAny(const Value& any, ValueArena* arena) {
  if (any.decoded) return;
  any.decoded = true;
  if (any.source == nullptr) return;
  try {
    CORBA::TypeCode_var type = any.source->type();
    arena->KeepType(CORBA::TypeCode::_duplicate(type));
    Describe(type, any, arena);
    cdrMemoryStream bytes;
    any.source->NP_marshalDataOnly(bytes);
    any.content = Decoder(bytes, arena).Decode(type, 0);
  } catch (const CORBA::Exception&) {
    any.content = nullptr;
  } catch (const omniORB::fatalException&) {
    any.content = nullptr;
  } catch (const std::bad_alloc&) {
    any.content = nullptr;
  }
}

}  // namespace filter
}  // namespace kestrel
