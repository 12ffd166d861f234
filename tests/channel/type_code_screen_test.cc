// The type code screen: every type code that a peer may honestly send gets
// through unchanged, in either byte order; what would bring omniORB down, or
// could not be checked before omniORB reads it, is refused with MARSHAL.
// The refused cases are real: without the screen, the first of them ends
// this process.

#include <gtest/gtest.h>

#include <omniORB4/CORBA.h>
#include <omniORB4/cdrStream.h>

#include <cstdint>
#include <string>
#include <vector>

#include "channel/event_record.h"
#include "channel/type_code_screen.h"
#include "kestrel.hh"
#include "tests/support/cdr_writer.h"
#include "tests/support/orb_environment.h"

namespace kestrel {
namespace {

using testing::CdrWriter;

using testing::OrbEnvironment;

::testing::Environment* const kOrbEnvironment =
    ::testing::AddGlobalTestEnvironment(new OrbEnvironment);

// A stream that reads what writer wrote, as a request body is read.
class Incoming {
 public:
  explicit Incoming(const CdrWriter& writer)
      : bytes_(writer.bytes()), stream_(bytes_.data(), static_cast<CORBA::ULong>(bytes_.size())) {
    stream_.setByteSwapFlag(!writer.bigEndian());
  }
  cdrStream& stream() { return stream_; }

 private:
  std::vector<uint8_t> bytes_;
  cdrMemoryStream stream_;
};

// Reads what writer wrote through the screen; answers the name of the
// exception raised, or "" when the type code got through.
std::string ScreenOutcome(const CdrWriter& writer) {
  Incoming incoming(writer);
  try {
    CORBA::TypeCode_var type = ReadScreenedTypeCode(incoming.stream());
    return "";
  } catch (const CORBA::SystemException& e) {
    return e._name();
  }
}

// A struct type code with one member of each type given.
CdrWriter StructTypeCode(bool bigEndian, const std::vector<CdrWriter>& memberTypes,
                         uint32_t announcedCount) {
  CdrWriter parameters = CdrWriter::Encapsulated(bigEndian);
  parameters.String("IDL:Probe/S:1.0").String("S").ULong(announcedCount);
  for (const CdrWriter& member : memberTypes) {
    parameters.String("m").TypeCode(member);
  }
  CdrWriter type(bigEndian);
  return type.Complex(CORBA::tk_struct, parameters);
}

CdrWriter Kind(bool bigEndian, CORBA::TCKind kind) { return CdrWriter(bigEndian).ULong(kind); }

// Type codes that peers send honestly, built by the ORB itself.
std::vector<CORBA::TypeCode_var> HonestTypeCodes() {
  CORBA::ORB_ptr orb = OrbEnvironment::orb().in();
  std::vector<CORBA::TypeCode_var> types;
  types.emplace_back(CORBA::TypeCode::_duplicate(Kestrel::_tc_EventData));
  types.emplace_back(CORBA::TypeCode::_duplicate(CORBA::_tc_string));
  types.emplace_back(orb->create_string_tc(40));
  types.emplace_back(CORBA::TypeCode::_duplicate(CORBA::_tc_ulong));
  types.emplace_back(orb->create_fixed_tc(10, 2));
  types.emplace_back(orb->create_sequence_tc(0, Kestrel::_tc_EventData));
  types.emplace_back(orb->create_array_tc(3, CORBA::_tc_double));
  types.emplace_back(orb->create_alias_tc("IDL:Probe/Code:1.0", "Code", CORBA::_tc_ulong));
  types.emplace_back(orb->create_interface_tc("IDL:Probe/I:1.0", "I"));

  CORBA::EnumMemberSeq enumerators;
  enumerators.length(3);
  enumerators[0] = CORBA::string_dup("red");
  enumerators[1] = CORBA::string_dup("green");
  enumerators[2] = CORBA::string_dup("blue");
  CORBA::TypeCode_var colour = orb->create_enum_tc("IDL:Probe/Colour:1.0", "Colour", enumerators);
  types.emplace_back(CORBA::TypeCode::_duplicate(colour));

  // Unions over each kind of label, the last through an alias.
  CORBA::TypeCode_var aliasedShort =
      orb->create_alias_tc("IDL:Probe/Small:1.0", "Small", CORBA::_tc_short);
  const CORBA::TypeCode_ptr discriminators[] = {
      CORBA::_tc_short, CORBA::_tc_ulong, CORBA::_tc_longlong, CORBA::_tc_boolean,
      CORBA::_tc_char, colour.in(), aliasedShort.in()};
  for (CORBA::TypeCode_ptr discriminator : discriminators) {
    CORBA::UnionMemberSeq members;
    members.length(1);
    CORBA::TCKind kind = discriminator->kind() == CORBA::tk_alias
                             ? CORBA::TypeCode_var(discriminator->content_type())->kind()
                             : discriminator->kind();
    switch (kind) {
      case CORBA::tk_short: members[0].label <<= CORBA::Short(7); break;
      case CORBA::tk_ulong: members[0].label <<= CORBA::ULong(7); break;
      case CORBA::tk_longlong: members[0].label <<= CORBA::LongLong(7); break;
      case CORBA::tk_boolean: members[0].label <<= CORBA::Any::from_boolean(true); break;
      case CORBA::tk_char: members[0].label <<= CORBA::Any::from_char('x'); break;
      default: {
        CORBA::Any label;
        label.replace(discriminator, nullptr);
        cdrMemoryStream value;
        CORBA::ULong green = 1;
        green >>= value;
        label.NP_unmarshalDataOnly(value);
        members[0].label = label;
      }
    }
    members[0].name = CORBA::string_dup("m");
    members[0].type = CORBA::TypeCode::_duplicate(Kestrel::_tc_EventData);
    types.emplace_back(orb->create_union_tc("IDL:Probe/U:1.0", "U", discriminator, members));
  }
  return types;
}

TEST(TypeCodeScreen, HonestTypeCodesGetThroughUnchanged) {
  for (CORBA::TypeCode_var& type : HonestTypeCodes()) {
    cdrMemoryStream stream;
    CORBA::TypeCode::marshalTypeCode(type, stream);
    CORBA::TypeCode_var screened = ReadScreenedTypeCode(stream);
    EXPECT_TRUE(screened->equal(type)) << "kind " << type->kind();
  }
}

// More kinds than the cache keeps, read twice over in turn: each read must
// answer its own type code, whether it was kept, evicted or built anew.
TEST(TypeCodeScreen, ACacheAnswersEachTypeCodeItsOwnWhateverItKeeps) {
  std::vector<CORBA::TypeCode_var> types = HonestTypeCodes();
  ASSERT_GT(types.size(), TypeCodeCache::kCapacity);
  TypeCodeCache cache;
  for (int round = 0; round < 2; ++round) {
    for (CORBA::TypeCode_var& type : types) {
      for (int again = 0; again < 2; ++again) {
        cdrMemoryStream stream;
        CORBA::TypeCode::marshalTypeCode(type, stream);
        CORBA::TypeCode_var read = ReadScreenedTypeCode(stream, &cache);
        EXPECT_TRUE(read->equal(type)) << "kind " << type->kind();
      }
    }
  }
  // A type code that fails the screen never reaches the cache.
  cdrMemoryStream refused;
  CORBA::ULong unknownKind = 0x7fffffff;
  unknownKind >>= refused;
  EXPECT_THROW(CORBA::TypeCode_var none = ReadScreenedTypeCode(refused, &cache), CORBA::MARSHAL);
}

TEST(TypeCodeScreen, EitherByteOrderGetsThrough) {
  for (bool bigEndian : {false, true}) {
    CdrWriter bounded(bigEndian);
    bounded.ULong(CORBA::tk_string).ULong(40);
    Incoming boundedIn(bounded);
    CORBA::TypeCode_var string = ReadScreenedTypeCode(boundedIn.stream());
    EXPECT_EQ(40u, string->length()) << "big endian " << bigEndian;

    CdrWriter structure = StructTypeCode(
        bigEndian, {Kind(bigEndian, CORBA::tk_ulong), Kind(bigEndian, CORBA::tk_ulonglong)}, 2);
    Incoming structureIn(structure);
    CORBA::TypeCode_var type = ReadScreenedTypeCode(structureIn.stream());
    ASSERT_EQ(2u, type->member_count());
    EXPECT_EQ(CORBA::tk_ulonglong, CORBA::TypeCode_var(type->member_type(1))->kind());
  }
}

TEST(TypeCodeScreen, CountsBeyondTheirEncapsulationAreRefused) {
  // The struct case is the one that ends an unscreened process.
  EXPECT_EQ("MARSHAL", ScreenOutcome(StructTypeCode(false, {}, 0xfffffff0)));
  EXPECT_EQ("MARSHAL", ScreenOutcome(StructTypeCode(false, {Kind(false, CORBA::tk_long)}, 2)));

  CdrWriter enumeration = CdrWriter::Encapsulated(false);
  enumeration.String("IDL:Probe/E:1.0").String("E").ULong(0x10000000).String("a");
  EXPECT_EQ("MARSHAL", ScreenOutcome(CdrWriter(false).Complex(CORBA::tk_enum, enumeration)));

  CdrWriter alternatives = CdrWriter::Encapsulated(false);
  alternatives.String("IDL:Probe/U:1.0").String("U").ULong(CORBA::tk_long).ULong(0xffffffff)
      .ULong(0x20000000);
  EXPECT_EQ("MARSHAL", ScreenOutcome(CdrWriter(false).Complex(CORBA::tk_union, alternatives)));
}

TEST(TypeCodeScreen, WhatCannotBeCheckedFirstIsRefused) {
  // An any or a type code inside a value, and value types.
  EXPECT_EQ("MARSHAL", ScreenOutcome(StructTypeCode(false, {Kind(false, CORBA::tk_any)}, 1)));
  EXPECT_EQ("MARSHAL", ScreenOutcome(Kind(false, CORBA::tk_any)));
  EXPECT_EQ("MARSHAL", ScreenOutcome(Kind(false, CORBA::tk_TypeCode)));
  CdrWriter value = CdrWriter::Encapsulated(false);
  value.String("IDL:Probe/V:1.0").String("V").UShort(0).ULong(CORBA::tk_null).ULong(0);
  EXPECT_EQ("MARSHAL", ScreenOutcome(CdrWriter(false).Complex(CORBA::tk_value, value)));

  // A struct whose member refers back to the struct itself.
  CdrWriter selfReference(false);
  selfReference.ULong(0xffffffff).ULong(static_cast<uint32_t>(-40));
  EXPECT_EQ("MARSHAL", ScreenOutcome(StructTypeCode(false, {selfReference}, 1)));

  // A union over a type that cannot discriminate, even with no members to
  // label (omniORB aborts reading its value), and one whose default is no
  // member.
  CdrWriter nullDiscriminator = CdrWriter::Encapsulated(false);
  nullDiscriminator.String("IDL:Probe/N:1.0").String("N").ULong(CORBA::tk_null).ULong(0xffffffff)
      .ULong(0);
  EXPECT_EQ("MARSHAL", ScreenOutcome(CdrWriter(false).Complex(CORBA::tk_union, nullDiscriminator)));
  CdrWriter defaultBeyond = CdrWriter::Encapsulated(false);
  defaultBeyond.String("IDL:Probe/D:1.0").String("D").ULong(CORBA::tk_long).ULong(1).ULong(1)
      .ULong(0).String("m").ULong(CORBA::tk_long);
  EXPECT_EQ("MARSHAL", ScreenOutcome(CdrWriter(false).Complex(CORBA::tk_union, defaultBeyond)));

  // A union over a wide character, and a number that is no kind.
  CdrWriter wide = CdrWriter::Encapsulated(false);
  wide.String("IDL:Probe/W:1.0").String("W").ULong(CORBA::tk_wchar).ULong(0).ULong(1)
      .UShort('x').String("m").ULong(CORBA::tk_long);
  EXPECT_EQ("MARSHAL", ScreenOutcome(CdrWriter(false).Complex(CORBA::tk_union, wide)));
  EXPECT_EQ("MARSHAL", ScreenOutcome(Kind(false, static_cast<CORBA::TCKind>(99))));
}

TEST(TypeCodeScreen, WhatOmniOrbAbortsOrLeaksOnIsRefused) {
  // Fixed-point limits that no fixed type has: omniORB asserts on them.
  for (uint16_t digits : {0, 32, 126}) {
    CdrWriter fixed(false);
    fixed.ULong(CORBA::tk_fixed).UShort(digits).UShort(0);
    EXPECT_EQ("MARSHAL", ScreenOutcome(fixed)) << digits << " digits";
  }
  CdrWriter scaleBeyondDigits(false);
  scaleBeyondDigits.ULong(CORBA::tk_fixed).UShort(4).UShort(5);
  EXPECT_EQ("MARSHAL", ScreenOutcome(scaleBeyondDigits));
  CdrWriter negativeScale(false);
  negativeScale.ULong(CORBA::tk_fixed).UShort(4).UShort(0xffff);
  EXPECT_EQ("MARSHAL", ScreenOutcome(negativeScale));

  // Types that cannot travel.
  for (CORBA::TCKind kind : {CORBA::tk_native, CORBA::tk_local_interface}) {
    CdrWriter parameters = CdrWriter::Encapsulated(false);
    parameters.String("IDL:Probe/L:1.0").String("L");
    EXPECT_EQ("MARSHAL", ScreenOutcome(CdrWriter(false).Complex(kind, parameters))) << kind;
  }

  // A name without its terminating octet: omniORB would leak it.
  CdrWriter unterminated = CdrWriter::Encapsulated(false);
  unterminated.String("IDL:Probe/A:1.0").ULong(2).Octet('A').Octet('B').ULong(CORBA::tk_long);
  EXPECT_EQ("MARSHAL", ScreenOutcome(CdrWriter(false).Complex(CORBA::tk_alias, unterminated)));
}

TEST(TypeCodeScreen, NestingIsBoundedAtTheLimit) {
  auto nestedSequences = [](int depth) {
    CdrWriter type = Kind(false, CORBA::tk_ulong);
    for (int i = 0; i < depth; ++i) {
      CdrWriter parameters = CdrWriter::Encapsulated(false);
      parameters.TypeCode(type).ULong(0);
      type = CdrWriter(false).Complex(CORBA::tk_sequence, parameters);
    }
    return type;
  };
  EXPECT_EQ("", ScreenOutcome(nestedSequences(kMaxTypeCodeNesting)));
  EXPECT_EQ("MARSHAL", ScreenOutcome(nestedSequences(kMaxTypeCodeNesting + 1)));
}

TEST(TypeCodeScreen, TruncatedTypeCodesAreRefused) {
  CdrWriter full = StructTypeCode(false, {Kind(false, CORBA::tk_long)}, 1);
  for (size_t keep : {size_t{0}, size_t{2}, size_t{4}, size_t{8}, full.bytes().size() - 1}) {
    CdrWriter truncated(false);
    for (size_t i = 0; i < keep; ++i) truncated.Octet(full.bytes()[i]);
    EXPECT_EQ("MARSHAL", ScreenOutcome(truncated)) << keep << " bytes";
  }
  // An encapsulation that announces more than arrived, or nothing at all.
  CdrWriter empty(false);
  empty.ULong(CORBA::tk_struct).ULong(0);
  EXPECT_EQ("MARSHAL", ScreenOutcome(empty));
}

TEST(TypeCodeScreen, AWholeEventReadsBackAsSent) {
  CosNotification::StructuredEvent sent;
  sent.header.fixed_header.event_type.domain_name = "Kestrel";
  sent.header.fixed_header.event_type.type_name = "Notification";
  sent.header.fixed_header.event_name = "probe";
  sent.header.variable_header.length(1);
  sent.header.variable_header[0].name = "Priority";
  sent.header.variable_header[0].value <<= CORBA::Short(3);
  sent.filterable_data.length(1);
  sent.filterable_data[0].name = "Module";
  sent.filterable_data[0].value <<= "disk";
  Kestrel::EventData record{};
  record.mModule = "disk";
  record.mHost = "h1";
  record.mSeverity = 4;
  record.mMessageCode = 0x01020304;
  record.mDescription = "full";
  InsertRecord(sent.remainder_of_body, record);

  cdrMemoryStream wire;
  sent >>= wire;
  CosNotification::StructuredEvent received;
  ReadScreenedEvent(wire, received);

  EXPECT_STREQ("probe", received.header.fixed_header.event_name.in());
  CORBA::Short priority = 0;
  ASSERT_EQ(1u, received.header.variable_header.length());
  EXPECT_TRUE(received.header.variable_header[0].value >>= priority);
  EXPECT_EQ(3, priority);
  const char* module = nullptr;
  ASSERT_EQ(1u, received.filterable_data.length());
  EXPECT_TRUE(received.filterable_data[0].value >>= module);
  EXPECT_STREQ("disk", module);
  const Kestrel::EventData* body = ExtractRecord(received.remainder_of_body);
  ASSERT_NE(nullptr, body);
  EXPECT_EQ(0x01020304u, body->mMessageCode);
  EXPECT_STREQ("full", body->mDescription.in());
}

TEST(TypeCodeScreen, PropertyCountsBeyondTheMessageAreRefused) {
  CdrWriter properties(false);
  properties.ULong(0x7fffffff).String("p").ULong(CORBA::tk_long).ULong(1);
  Incoming incoming(properties);
  CosNotification::PropertySeq read;
  EXPECT_THROW(ReadScreenedProperties(incoming.stream(), read), CORBA::MARSHAL);
}

}  // namespace
}  // namespace kestrel
