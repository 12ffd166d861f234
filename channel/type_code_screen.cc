#include "channel/type_code_screen.h"

#include <vector>

namespace kestrel {

namespace {

// The smallest encoding of one item of a counted list inside an
// encapsulation: a string is a length and at least its terminating octet; a
// type code is at least its kind; a union label is at least one octet.
constexpr CORBA::ULong kMinString = 5;
constexpr CORBA::ULong kMinTypeCode = 4;
constexpr CORBA::ULong kMinStructMember = kMinString + kMinTypeCode;
constexpr CORBA::ULong kMinUnionMember = 1 + kMinString + kMinTypeCode;
constexpr CORBA::ULong kMinEnumerator = kMinString;

// The most digits that a fixed-point type may have.
constexpr CORBA::UShort kMaxFixedDigits = 31;

[[noreturn]] void Refuse() { throw CORBA::MARSHAL(0, CORBA::COMPLETED_NO); }

// How the parameters of a kind are laid out after the kind itself.
enum class Parameters { kNone, kBound, kFixed, kEncapsulation, kRefused };

Parameters ParametersOf(CORBA::ULong kind) {
  switch (kind) {
    case CORBA::tk_null: case CORBA::tk_void: case CORBA::tk_short: case CORBA::tk_long:
    case CORBA::tk_ushort: case CORBA::tk_ulong: case CORBA::tk_float: case CORBA::tk_double:
    case CORBA::tk_boolean: case CORBA::tk_char: case CORBA::tk_octet: case CORBA::tk_Principal:
    case CORBA::tk_longlong: case CORBA::tk_ulonglong: case CORBA::tk_longdouble:
    case CORBA::tk_wchar:
      return Parameters::kNone;
    case CORBA::tk_string: case CORBA::tk_wstring:
      return Parameters::kBound;
    case CORBA::tk_fixed:
      return Parameters::kFixed;
    case CORBA::tk_objref: case CORBA::tk_struct: case CORBA::tk_union: case CORBA::tk_enum:
    case CORBA::tk_sequence: case CORBA::tk_array: case CORBA::tk_alias: case CORBA::tk_except:
      return Parameters::kEncapsulation;
    default:
      // Nested anys and type codes are read by omniORB past this screen;
      // value types may share and nest without limit; native and local
      // types cannot travel (omniORB aborts reading one); indirections refer
      // back to themselves; and other numbers are no kind that omniORB
      // knows.
      return Parameters::kRefused;
  }
}

// omniORB leaks a type code's string that lacks its terminating octet, so
// the screen looks for it first.
void SkipString(cdrStream& in) {
  CORBA::ULong length;
  length <<= in;
  if (length == 0 || !in.checkInputOverrun(1, length)) Refuse();
  in.skipInput(length - 1);
  if (in.unmarshalOctet() != 0) Refuse();
}

struct FixedLimits {
  CORBA::UShort digits;
  CORBA::Short scale;
};

// omniORB ends the process, instead of raising, when a fixed-point value is
// read under limits that no fixed type can have.
FixedLimits ReadFixedLimits(cdrStream& in) {
  FixedLimits limits;
  limits.digits <<= in;
  limits.scale <<= in;
  if (limits.digits == 0 || limits.digits > kMaxFixedDigits || limits.scale < 0 ||
      limits.scale > limits.digits) {
    Refuse();
  }
  return limits;
}

void CheckCount(CORBA::ULong count, CORBA::ULong available, CORBA::ULong itemSize) {
  if (count > available / itemSize) Refuse();
}

CORBA::ULong ScreenNested(cdrStream& in, int depth);

// The kinds that a union's discriminator may have (aliases seen through);
// omniORB aborts reading a union value over any other.
bool IsDiscriminatorKind(CORBA::ULong kind) {
  switch (kind) {
    case CORBA::tk_short: case CORBA::tk_ushort: case CORBA::tk_long: case CORBA::tk_ulong:
    case CORBA::tk_enum: case CORBA::tk_longlong: case CORBA::tk_ulonglong:
    case CORBA::tk_boolean: case CORBA::tk_char: case CORBA::tk_octet:
      return true;
    default:
      return false;
  }
}

// A union label is a value of the discriminator's kind.
void SkipLabel(cdrStream& in, CORBA::ULong discriminatorKind) {
  switch (discriminatorKind) {
    case CORBA::tk_short: case CORBA::tk_ushort: {
      CORBA::UShort label;
      label <<= in;
      return;
    }
    case CORBA::tk_long: case CORBA::tk_ulong: case CORBA::tk_enum: {
      CORBA::ULong label;
      label <<= in;
      return;
    }
    case CORBA::tk_longlong: case CORBA::tk_ulonglong: {
      CORBA::ULongLong label;
      label <<= in;
      return;
    }
    case CORBA::tk_boolean: case CORBA::tk_char: case CORBA::tk_octet:
      in.skipInput(1);
      return;
    default:
      Refuse();
  }
}

// Checks the encapsulated parameters of kind. Answers the kind that a
// value of this type code has once aliases are seen through, which a union
// needs of its discriminator.
CORBA::ULong ScreenParameters(CORBA::ULong kind, cdrEncapsulationStream& in,
                              CORBA::ULong length, int depth) {
  switch (kind) {
    case CORBA::tk_sequence: case CORBA::tk_array: {
      ScreenNested(in, depth);
      CORBA::ULong bound;
      bound <<= in;
      return kind;
    }
    default:
      break;
  }
  SkipString(in);  // repository id
  SkipString(in);  // name
  switch (kind) {
    case CORBA::tk_struct: case CORBA::tk_except: {
      CORBA::ULong count;
      count <<= in;
      CheckCount(count, length, kMinStructMember);
      for (CORBA::ULong i = 0; i < count; ++i) {
        SkipString(in);
        ScreenNested(in, depth);
      }
      return kind;
    }
    case CORBA::tk_union: {
      CORBA::ULong discriminatorKind = ScreenNested(in, depth);
      if (!IsDiscriminatorKind(discriminatorKind)) Refuse();
      CORBA::Long defaultIndex;
      defaultIndex <<= in;
      CORBA::ULong count;
      count <<= in;
      CheckCount(count, length, kMinUnionMember);
      // No default, or one of the members.
      if (defaultIndex < -1 || (defaultIndex >= 0 && static_cast<CORBA::ULong>(defaultIndex) >= count)) {
        Refuse();
      }
      for (CORBA::ULong i = 0; i < count; ++i) {
        SkipLabel(in, discriminatorKind);
        SkipString(in);
        ScreenNested(in, depth);
      }
      return kind;
    }
    case CORBA::tk_enum: {
      CORBA::ULong count;
      count <<= in;
      CheckCount(count, length, kMinEnumerator);
      for (CORBA::ULong i = 0; i < count; ++i) SkipString(in);
      return kind;
    }
    case CORBA::tk_alias:
      return ScreenNested(in, depth);
    default:  // the interface kinds: an id and a name only
      return kind;
  }
}

// Reads the encapsulation that follows kind and checks it; answers the
// encapsulation's bytes as they arrived.
std::vector<CORBA::Octet> ScreenEncapsulation(cdrStream& in, CORBA::ULong kind, int depth,
                                              CORBA::ULong* effectiveKind) {
  if (depth >= kMaxTypeCodeNesting) Refuse();
  CORBA::ULong length;
  length <<= in;
  if (length == 0 || !in.checkInputOverrun(1, length)) Refuse();
  std::vector<CORBA::Octet> bytes(length);
  in.get_octet_array(bytes.data(), length);
  cdrEncapsulationStream encapsulation(bytes.data(), length);
  *effectiveKind = ScreenParameters(kind, encapsulation, length, depth + 1);
  return bytes;
}

// Checks one type code inside an encapsulation; answers its effective kind.
CORBA::ULong ScreenNested(cdrStream& in, int depth) {
  CORBA::ULong kind;
  kind <<= in;
  switch (ParametersOf(kind)) {
    case Parameters::kNone:
      return kind;
    case Parameters::kBound: {
      CORBA::ULong bound;
      bound <<= in;
      return kind;
    }
    case Parameters::kFixed:
      ReadFixedLimits(in);
      return kind;
    case Parameters::kEncapsulation: {
      CORBA::ULong effectiveKind;
      ScreenEncapsulation(in, kind, depth, &effectiveKind);
      return effectiveKind;
    }
    case Parameters::kRefused:
      break;
  }
  Refuse();
}

// Copies the outermost type code into out once it has been checked: the
// kind and simple parameters in out's own byte order, an encapsulation
// exactly as it arrived (it carries its own byte order).
void CopyScreened(cdrStream& in, cdrMemoryStream& out) {
  CORBA::ULong kind;
  kind <<= in;
  kind >>= out;
  switch (ParametersOf(kind)) {
    case Parameters::kNone:
      return;
    case Parameters::kBound: {
      CORBA::ULong bound;
      bound <<= in;
      bound >>= out;
      return;
    }
    case Parameters::kFixed: {
      FixedLimits limits = ReadFixedLimits(in);
      limits.digits >>= out;
      limits.scale >>= out;
      return;
    }
    case Parameters::kEncapsulation: {
      CORBA::ULong effectiveKind;
      std::vector<CORBA::Octet> bytes = ScreenEncapsulation(in, kind, 0, &effectiveKind);
      CORBA::ULong length = static_cast<CORBA::ULong>(bytes.size());
      length >>= out;
      out.put_octet_array(bytes.data(), length);
      return;
    }
    case Parameters::kRefused:
      break;
  }
  Refuse();
}

}  // namespace

CORBA::TypeCode_ptr ReadScreenedTypeCode(cdrStream& in, TypeCodeCache* cache) {
  cdrMemoryStream screened;
  CopyScreened(in, screened);
  if (cache != nullptr) return cache->Find(screened);
  return CORBA::TypeCode::unmarshalTypeCode(screened);
}

void ReadScreenedAny(cdrStream& in, CORBA::Any& value, TypeCodeCache* cache) {
  CORBA::TypeCode_var type = ReadScreenedTypeCode(in, cache);
  value.replace(type, nullptr);
  value.NP_unmarshalDataOnly(in);
}

void ReadScreenedProperties(cdrStream& in, CosNotification::PropertySeq& properties,
                            TypeCodeCache* cache) {
  CORBA::ULong count;
  count <<= in;
  // The same bound as omniORB's own sequences: no more items than bytes.
  if (!in.checkInputOverrun(1, count)) Refuse();
  properties.length(count);
  for (CORBA::ULong i = 0; i < count; ++i) {
    properties[i].name = in.unmarshalString();
    ReadScreenedAny(in, properties[i].value, cache);
  }
}

void ReadScreenedEvent(cdrStream& in, CosNotification::StructuredEvent& event,
                       TypeCodeCache* cache) {
  event.header.fixed_header <<= in;
  ReadScreenedProperties(in, event.header.variable_header, cache);
  ReadScreenedProperties(in, event.filterable_data, cache);
  ReadScreenedAny(in, event.remainder_of_body, cache);
}

}  // namespace kestrel
