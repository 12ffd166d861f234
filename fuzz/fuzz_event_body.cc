// The body of a structured event comes from whatever supplier the channel
// lets in, so its type code and its bytes are untrusted. The consumer reads
// the any from the request through the type code screen, which refuses a
// type code that omniORB could not read safely before omniORB sees it and
// then has omniORB check the value's bytes against it; the consumer then
// extracts the record. Reading must answer a sound any or raise; extraction
// a sound record or null: no crash, no leak, no other exception.
//
// Input: a flags byte (bit 0: the message's byte order, 1 little endian as
// GIOP's flag; bit 1: raw), then
//   raw:       the any's bytes exactly as they arrive, type code and value;
//   otherwise: a byte giving the length of a recipe, the recipe, then the
//              value's bytes. The recipe builds a well-formed type code
//              (kinds, nesting, repository ids, among them the record's own
//              and those of its members), which is marshalled as a peer's
//              broker would, followed by the value's bytes as they are.
// Raw inputs reach every check of the screen; recipes reach deep, honest
// type codes that random bytes seldom spell.

#include <omniORB4/CORBA.h>
#include <omniORB4/cdrStream.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "channel/event_record.h"
#include "channel/type_code_screen.h"
#include "kestrel.hh"

namespace {

CORBA::ORB_ptr orb = CORBA::ORB::_nil();

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

// The recipe, read one byte at a time; zeros once it is used up.
class Recipe {
 public:
  Recipe(const uint8_t* bytes, size_t size) : bytes_(bytes), size_(size) {}
  uint8_t Next() { return position_ < size_ ? bytes_[position_++] : 0; }
  uint8_t Below(uint8_t limit) { return static_cast<uint8_t>(Next() % limit); }

 private:
  const uint8_t* bytes_;
  size_t size_;
  size_t position_ = 0;
};

const char* const kRepositoryIds[] = {
    "IDL:TarnwellCorp/Kestrel/EventData:1.0",
    "IDL:TarnwellCorp/Kestrel/SeverityType:1.0",
    "IDL:TarnwellCorp/Kestrel/MessageCodeType:1.0",
    "IDL:Other/Record:1.0",
};
const char* const kNames[] = {"EventData", "mModule", "mHost", "mSeverity", "", "x"};

const char* RepositoryId(Recipe& recipe) { return kRepositoryIds[recipe.Below(4)]; }
const char* Name(Recipe& recipe) { return kNames[recipe.Below(6)]; }

CORBA::TypeCode_ptr BuildType(Recipe& recipe, int depth);

CORBA::TypeCode_ptr BuildStruct(Recipe& recipe, int depth) {
  CORBA::StructMemberSeq members;
  members.length(recipe.Below(7));
  for (CORBA::ULong i = 0; i < members.length(); ++i) {
    members[i].name = Name(recipe);
    members[i].type = BuildType(recipe, depth + 1);
  }
  return orb->create_struct_tc(RepositoryId(recipe), Name(recipe), members);
}

CORBA::TypeCode_ptr BuildUnion(Recipe& recipe, int depth) {
  CORBA::UnionMemberSeq members;
  members.length(1 + recipe.Below(3));
  for (CORBA::ULong i = 0; i < members.length(); ++i) {
    members[i].name = Name(recipe);
    if (recipe.Below(4) == 0) {
      members[i].label <<= CORBA::Any::from_octet(0);  // the default case
    } else {
      members[i].label <<= static_cast<CORBA::Long>(recipe.Next());
    }
    members[i].type = BuildType(recipe, depth + 1);
  }
  return orb->create_union_tc(RepositoryId(recipe), Name(recipe), CORBA::_tc_long, members);
}

CORBA::TypeCode_ptr BuildEnum(Recipe& recipe) {
  static const char* const kEnumerators[] = {"A", "B", "C", "D"};
  CORBA::EnumMemberSeq members;
  members.length(1 + recipe.Below(4));
  for (CORBA::ULong i = 0; i < members.length(); ++i) members[i] = kEnumerators[i];
  return orb->create_enum_tc(RepositoryId(recipe), Name(recipe), members);
}

// struct Node { string name; sequence<Node> children; } under a recipe id.
CORBA::TypeCode_ptr BuildRecursive(Recipe& recipe) {
  const char* id = RepositoryId(recipe);
  CORBA::TypeCode_var self = orb->create_recursive_tc(id);
  CORBA::TypeCode_var children = orb->create_sequence_tc(0, self);
  CORBA::StructMemberSeq members;
  members.length(2);
  members[0].name = "name";
  members[0].type = CORBA::TypeCode::_duplicate(CORBA::_tc_string);
  members[1].name = "children";
  members[1].type = CORBA::TypeCode::_duplicate(children);
  return orb->create_struct_tc(id, Name(recipe), members);
}

CORBA::TypeCode_ptr BuildType(Recipe& recipe, int depth) {
  // Deeper than this only primitive kinds are chosen.
  const uint8_t kinds = depth < 4 ? 20 : 11;
  switch (recipe.Below(kinds)) {
    case 0: return CORBA::TypeCode::_duplicate(CORBA::_tc_ulong);
    case 1: return CORBA::TypeCode::_duplicate(CORBA::_tc_string);
    case 2: return CORBA::TypeCode::_duplicate(CORBA::_tc_long);
    case 3: return CORBA::TypeCode::_duplicate(CORBA::_tc_octet);
    case 4: return CORBA::TypeCode::_duplicate(CORBA::_tc_short);
    case 5: return CORBA::TypeCode::_duplicate(CORBA::_tc_boolean);
    case 6: return CORBA::TypeCode::_duplicate(CORBA::_tc_char);
    case 7: return CORBA::TypeCode::_duplicate(CORBA::_tc_double);
    case 8: return CORBA::TypeCode::_duplicate(CORBA::_tc_ulonglong);
    case 9: return orb->create_string_tc(1 + recipe.Below(16));
    case 10: return CORBA::TypeCode::_duplicate(CORBA::_tc_wstring);
    case 11: return CORBA::TypeCode::_duplicate(Kestrel::_tc_EventData);
    case 12: {
      CORBA::TypeCode_var content = BuildType(recipe, depth + 1);
      return orb->create_alias_tc(RepositoryId(recipe), Name(recipe), content);
    }
    case 13:
    case 14: return BuildStruct(recipe, depth);
    case 15: {
      CORBA::TypeCode_var element = BuildType(recipe, depth + 1);
      return orb->create_sequence_tc(recipe.Below(3), element);
    }
    case 16: {
      CORBA::TypeCode_var element = BuildType(recipe, depth + 1);
      return orb->create_array_tc(1 + recipe.Below(4), element);
    }
    case 17: return BuildUnion(recipe, depth);
    case 18: return BuildEnum(recipe);
    default:
      if (depth == 0) return BuildRecursive(recipe);
      return CORBA::TypeCode::_duplicate(CORBA::_tc_longlong);
  }
}

bool SameText(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

bool SameRecord(const Kestrel::EventData& a, const Kestrel::EventData& b) {
  return SameText(a.mModule.in(), b.mModule.in()) && SameText(a.mHost.in(), b.mHost.in()) &&
         a.mSeverity == b.mSeverity && a.mMessageCode == b.mMessageCode &&
         SameText(a.mDescription.in(), b.mDescription.in());
}

// A record that was extracted must be whole, must have come out of the
// record's type, and must travel on unchanged when published again.
void CheckRecord(const CORBA::Any& body, const Kestrel::EventData& record) {
  if (record.mModule.in() == nullptr || record.mHost.in() == nullptr ||
      record.mDescription.in() == nullptr) {
    Fail("an extracted record holds a null string");
  }
  CORBA::TypeCode_var type = body.type();
  if (!type->equivalent(Kestrel::_tc_EventData)) Fail("a record came out of another type");

  CORBA::Any sent;
  kestrel::InsertRecord(sent, record);
  cdrMemoryStream wire;
  sent >>= wire;
  CORBA::Any received;
  received <<= wire;
  const Kestrel::EventData* again = kestrel::ExtractRecord(received);
  if (again == nullptr || !SameRecord(record, *again)) Fail("a record changed on its way on");
}

// The message as a peer's broker would have written it: the type code
// marshalled, then the value's bytes.
std::vector<uint8_t> Compose(CORBA::TypeCode_ptr type, bool littleEndian, const uint8_t* value,
                             size_t valueSize) {
  cdrMemoryStream wire(0, true);
  wire.setByteSwapFlag(littleEndian);
  CORBA::TypeCode::marshalTypeCode(type, wire);
  wire.put_octet_array(value, static_cast<int>(valueSize));
  const uint8_t* begin = static_cast<const uint8_t*>(wire.bufPtr());
  return std::vector<uint8_t>(begin, begin + wire.bufSize());
}

// The message as it arrives, from the input after its flags byte; empty
// when a recipe makes a type code that the ORB will not make, which no peer
// sends.
std::vector<uint8_t> Message(const uint8_t* data, size_t size, bool raw, bool littleEndian) {
  if (raw) return std::vector<uint8_t>(data, data + size);
  if (size < 1) return {};
  const size_t recipeSize = std::min<size_t>(data[0], size - 1);
  Recipe recipe(data + 1, recipeSize);
  CORBA::TypeCode_var type;
  try {
    type = BuildType(recipe, 0);
  } catch (const CORBA::SystemException&) {
    return {};
  }
  return Compose(type, littleEndian, data + 1 + recipeSize, size - 1 - recipeSize);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Strings are decoded through the ORB's code sets and type codes are made
  // by it, so the ORB must exist. It stays for the life of the process, as
  // a consumer's does.
  char name[] = "fuzz_event_body";
  char traceOption[] = "-ORBtraceLevel";
  char traceLevel[] = "0";
  char* argv[] = {name, traceOption, traceLevel, nullptr};
  int argc = 3;
  orb = CORBA::ORB_init(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool littleEndian = (data[0] & 1) != 0;
  const bool raw = (data[0] & 2) != 0;
  const std::vector<uint8_t> composed = Message(data + 1, size - 1, raw, littleEndian);
  if (composed.empty()) return 0;

  // A buffer of exactly the message's length, so that reading past it is
  // caught.
  std::unique_ptr<uint8_t[]> message(new uint8_t[composed.size()]);
  std::memcpy(message.get(), composed.data(), composed.size());
  cdrMemoryStream stream(message.get(), composed.size());
  stream.setByteSwapFlag(littleEndian);

  CORBA::Any body;
  try {
    kestrel::ReadScreenedAny(stream, body);
  } catch (const CORBA::SystemException&) {
    // The broker refuses the request; the consumer never sees the event.
    return 0;
  }

  const Kestrel::EventData* record = kestrel::ExtractRecord(body);
  if (kestrel::ExtractRecord(body) != record) Fail("a second extraction answered another record");
  if (record != nullptr) CheckRecord(body, *record);
  return 0;
}
