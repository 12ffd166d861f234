// The event record: its type codes, its CDR encoding as peers read it, and
// its way into and out of an any, including bodies that are not a record.

#include <gtest/gtest.h>

#include <omniORB4/CORBA.h>
#include <omniORB4/anyStream.h>
#include <omniORB4/cdrStream.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "channel/event_record.h"
#include "kestrel.hh"
#include "tests/support/orb_environment.h"

namespace kestrel {
namespace {

using Bytes = std::vector<uint8_t>;

using testing::OrbEnvironment;

::testing::Environment* const kOrbEnvironment =
    ::testing::AddGlobalTestEnvironment(new OrbEnvironment);

Kestrel::EventData MakeRecord(const char* module, const char* host, CORBA::ULong severity,
                              CORBA::ULong messageCode, const char* description) {
  Kestrel::EventData record{};
  record.mModule = module;
  record.mHost = host;
  record.mSeverity = severity;
  record.mMessageCode = messageCode;
  record.mDescription = description;
  return record;
}

// The record whose encoding is pinned below. Its string lengths put 3 and 1
// padding bytes before the next length, and its message code has four
// different bytes, so both alignment and byte order show.
Kestrel::EventData PinnedRecord() {
  return MakeRecord("Pump", "node-7", 3, 0x0A0B0C0Du, "Overheat");
}

const Bytes kPinnedLittleEndian = {
    0x05, 0x00, 0x00, 0x00, 'P', 'u', 'm', 'p', 0x00,  // mModule, length counts the NUL
    0x00, 0x00, 0x00,                                  // padding to offset 12
    0x07, 0x00, 0x00, 0x00, 'n', 'o', 'd', 'e', '-', '7', 0x00,  // mHost
    0x00,                                                        // padding to offset 24
    0x03, 0x00, 0x00, 0x00,                                      // mSeverity
    0x0D, 0x0C, 0x0B, 0x0A,                                      // mMessageCode
    0x09, 0x00, 0x00, 0x00, 'O', 'v', 'e', 'r', 'h', 'e', 'a', 't', 0x00,  // mDescription
};

const Bytes kPinnedBigEndian = {
    0x00, 0x00, 0x00, 0x05, 'P', 'u', 'm', 'p', 0x00,
    0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x07, 'n', 'o', 'd', 'e', '-', '7', 0x00,
    0x00,
    0x00, 0x00, 0x00, 0x03,
    0x0A, 0x0B, 0x0C, 0x0D,
    0x00, 0x00, 0x00, 0x09, 'O', 'v', 'e', 'r', 'h', 'e', 'a', 't', 0x00,
};

// A record whose strings hold no text and whose numbers are 0.
const Bytes kEmptyLittleEndian = {
    0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // mModule "", padding
    0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // mHost "", padding
    0x00, 0x00, 0x00, 0x00,                          // mSeverity
    0x00, 0x00, 0x00, 0x00,                          // mMessageCode
    0x01, 0x00, 0x00, 0x00, 0x00,                    // mDescription ""
};

std::string Hex(const Bytes& bytes) {
  std::string text;
  char octet[4];
  for (uint8_t byte : bytes) {
    std::snprintf(octet, sizeof octet, "%02x ", byte);
    text += octet;
  }
  return text;
}

Bytes Contents(const cdrMemoryStream& stream) {
  const uint8_t* begin = static_cast<const uint8_t*>(stream.bufPtr());
  return Bytes(begin, begin + stream.bufSize());
}

// Padding bytes carry no value; a cleared stream makes them zero, so that
// the comparison can cover every byte.
Bytes Encode(const Kestrel::EventData& record, bool littleEndian) {
  cdrMemoryStream stream(0, true);
  stream.setByteSwapFlag(littleEndian);
  record >>= stream;
  return Contents(stream);
}

Bytes Prefix(const Bytes& bytes, size_t length) {
  return Bytes(bytes.begin(), bytes.begin() + length);
}

void ExpectRecord(const Kestrel::EventData& record, const char* module, const char* host,
                  CORBA::ULong severity, CORBA::ULong messageCode, const char* description) {
  ASSERT_NE(nullptr, record.mModule.in());
  ASSERT_NE(nullptr, record.mHost.in());
  ASSERT_NE(nullptr, record.mDescription.in());
  EXPECT_STREQ(module, record.mModule.in());
  EXPECT_STREQ(host, record.mHost.in());
  EXPECT_EQ(severity, record.mSeverity);
  EXPECT_EQ(messageCode, record.mMessageCode);
  EXPECT_STREQ(description, record.mDescription.in());
}

// The any as the receiving side gets it: marshalled with its type code in
// the given byte order and read back, so that it holds only the encoded
// form and extraction has to decode it.
void Transmit(const CORBA::Any& sent, CORBA::Any& received, bool littleEndian) {
  cdrMemoryStream stream;
  stream.setByteSwapFlag(littleEndian);
  sent >>= stream;
  received <<= stream;
}

// Gives any the type code tc and exactly bytes as its encoded body, however
// malformed: the deprecated (TypeCode_ptr, void*) constructor with a null
// value sets the type code alone, and the any's write stream takes the bytes
// without looking at them. Reading past them raises MARSHAL rather than
// touching other memory.
void SetRawBody(CORBA::Any& any, CORBA::TypeCode_ptr tc, const Bytes& bytes) {
  CORBA::Any typed(tc, nullptr);
  typed.PR_streamToWrite().put_octet_array(bytes.data(), static_cast<int>(bytes.size()));
  any = typed;
}

TEST(EventRecordTypes, AliasesAreUnsignedLongUnderTheirRepositoryIds) {
  struct Alias {
    CORBA::TypeCode_ptr tc;
    const char* id;
    const char* name;
  };
  const Alias aliases[] = {
      {Kestrel::_tc_SeverityType, "IDL:TarnwellCorp/Kestrel/SeverityType:1.0", "SeverityType"},
      {Kestrel::_tc_MessageCodeType, "IDL:TarnwellCorp/Kestrel/MessageCodeType:1.0",
       "MessageCodeType"},
  };
  for (const Alias& alias : aliases) {
    SCOPED_TRACE(alias.name);
    EXPECT_EQ(CORBA::tk_alias, alias.tc->kind());
    EXPECT_STREQ(alias.id, alias.tc->id());
    EXPECT_STREQ(alias.name, alias.tc->name());
    CORBA::TypeCode_var content = alias.tc->content_type();
    EXPECT_EQ(CORBA::tk_ulong, content->kind());
  }
  static_assert(sizeof(Kestrel::SeverityType) == 4 && sizeof(Kestrel::MessageCodeType) == 4,
                "the numbers are 32-bit");
}

TEST(EventRecordTypes, StructHasFiveMembersInEncodingOrder) {
  CORBA::TypeCode_ptr tc = Kestrel::_tc_EventData;
  EXPECT_EQ(CORBA::tk_struct, tc->kind());
  EXPECT_STREQ("IDL:TarnwellCorp/Kestrel/EventData:1.0", tc->id());
  EXPECT_STREQ("EventData", tc->name());
  ASSERT_EQ(5u, tc->member_count());

  const char* const names[] = {"mModule", "mHost", "mSeverity", "mMessageCode", "mDescription"};
  for (CORBA::ULong i = 0; i < 5; ++i) EXPECT_STREQ(names[i], tc->member_name(i)) << i;

  for (CORBA::ULong i : {0u, 1u, 4u}) {
    CORBA::TypeCode_var member = tc->member_type(i);
    EXPECT_EQ(CORBA::tk_string, member->kind()) << names[i];
    EXPECT_EQ(0u, member->length()) << names[i] << " must be unbounded";
  }
  CORBA::TypeCode_var severity = tc->member_type(2);
  CORBA::TypeCode_var messageCode = tc->member_type(3);
  EXPECT_STREQ("IDL:TarnwellCorp/Kestrel/SeverityType:1.0", severity->id());
  EXPECT_STREQ("IDL:TarnwellCorp/Kestrel/MessageCodeType:1.0", messageCode->id());
  EXPECT_TRUE(severity->equal(Kestrel::_tc_SeverityType));
  EXPECT_TRUE(messageCode->equal(Kestrel::_tc_MessageCodeType));
}

TEST(EventRecordEncoding, LittleEndianBytesArePinned) {
  EXPECT_EQ(Hex(kPinnedLittleEndian), Hex(Encode(PinnedRecord(), true)));

  Bytes buffer = kPinnedLittleEndian;
  cdrMemoryStream stream(buffer.data(), buffer.size());
  stream.setByteSwapFlag(true);
  Kestrel::EventData decoded{};
  decoded <<= stream;
  ExpectRecord(decoded, "Pump", "node-7", 3, 0x0A0B0C0Du, "Overheat");
}

TEST(EventRecordEncoding, BigEndianBytesArePinnedAndDecodeToTheSameValues) {
  EXPECT_EQ(Hex(kPinnedBigEndian), Hex(Encode(PinnedRecord(), false)));

  Bytes buffer = kPinnedBigEndian;
  cdrMemoryStream stream(buffer.data(), buffer.size());
  stream.setByteSwapFlag(false);
  Kestrel::EventData decoded{};
  decoded <<= stream;
  ExpectRecord(decoded, "Pump", "node-7", 3, 0x0A0B0C0Du, "Overheat");
}

TEST(EventRecordEncoding, UnsetStringsEncodeAsEmptyStrings) {
  Kestrel::EventData unset{};
  EXPECT_EQ(Hex(kEmptyLittleEndian), Hex(Encode(unset, true)));
}

// What the generated decoder does with a body that ends after mHost: it
// raises, and keeps what it read. ExtractRecord turns this into null.
TEST(EventRecordEncoding, ShortBufferRaisesAfterKeepingWhatWasRead) {
  Bytes buffer = Prefix(kPinnedLittleEndian, 24);
  cdrMemoryStream stream(buffer.data(), buffer.size());
  stream.setByteSwapFlag(true);
  Kestrel::EventData decoded = MakeRecord("old", "old", 1, 1, "old");
  EXPECT_THROW(decoded <<= stream, CORBA::MARSHAL);
  EXPECT_STREQ("Pump", decoded.mModule.in());
  EXPECT_STREQ("node-7", decoded.mHost.in());
  EXPECT_STREQ("old", decoded.mDescription.in());
}

TEST(EventRecordAny, NumbersAtBothEndsPassUnchanged) {
  const CORBA::ULong kMax = 4294967295u;
  const CORBA::ULong pairs[][2] = {{0, 0}, {kMax, kMax}, {0, kMax}, {kMax, 0}};
  for (const auto& pair : pairs) {
    SCOPED_TRACE(std::to_string(pair[0]) + "/" + std::to_string(pair[1]));
    CORBA::Any sent;
    InsertRecord(sent, MakeRecord("m", "h", pair[0], pair[1], "d"));
    const Kestrel::EventData* local = ExtractRecord(sent);
    ASSERT_NE(nullptr, local);
    ExpectRecord(*local, "m", "h", pair[0], pair[1], "d");

    CORBA::Any received;
    Transmit(sent, received, true);
    const Kestrel::EventData* decoded = ExtractRecord(received);
    ASSERT_NE(nullptr, decoded);
    ExpectRecord(*decoded, "m", "h", pair[0], pair[1], "d");
  }
}

TEST(EventRecordAny, EmptyAndLongStringsPassUnchanged) {
  const std::string longText(1 << 20, 'x');
  const std::string longModule(70000, 'm');
  struct Case {
    std::string module, host, description;
  };
  const Case cases[] = {
      {"", "", ""},
      {"mod", "host", longText},
      {longModule, "", longText},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.module.size()) + "/" + std::to_string(c.description.size()));
    CORBA::Any sent;
    InsertRecord(sent, MakeRecord(c.module.c_str(), c.host.c_str(), 7, 8, c.description.c_str()));
    CORBA::Any received;
    Transmit(sent, received, true);
    const Kestrel::EventData* decoded = ExtractRecord(received);
    ASSERT_NE(nullptr, decoded);
    EXPECT_EQ(c.module, decoded->mModule.in());
    EXPECT_EQ(c.host, decoded->mHost.in());
    EXPECT_EQ(c.description, decoded->mDescription.in());
  }
}

TEST(EventRecordAny, InsertionCopiesTheRecord) {
  Kestrel::EventData record = PinnedRecord();
  CORBA::Any body;
  InsertRecord(body, record);
  record.mModule = "changed";
  record.mSeverity = 99;

  const Kestrel::EventData* inside = ExtractRecord(body);
  ASSERT_NE(nullptr, inside);
  EXPECT_NE(&record, inside);
  ExpectRecord(*inside, "Pump", "node-7", 3, 0x0A0B0C0Du, "Overheat");
  EXPECT_STREQ("changed", record.mModule.in());
}

TEST(EventRecordAny, InsertionReplacesWhatTheAnyHeld) {
  CORBA::Any body;
  body <<= static_cast<CORBA::ULong>(5);
  InsertRecord(body, MakeRecord("first", "h", 1, 1, "d"));
  InsertRecord(body, PinnedRecord());
  CORBA::TypeCode_var tc = body.type();
  EXPECT_TRUE(tc->equivalent(Kestrel::_tc_EventData));
  const Kestrel::EventData* inside = ExtractRecord(body);
  ASSERT_NE(nullptr, inside);
  ExpectRecord(*inside, "Pump", "node-7", 3, 0x0A0B0C0Du, "Overheat");
}

TEST(EventRecordAny, SecondExtractionAnswersTheCachedRecord) {
  CORBA::Any sent;
  InsertRecord(sent, PinnedRecord());
  CORBA::Any received;
  Transmit(sent, received, true);

  const Kestrel::EventData* first = ExtractRecord(received);
  ASSERT_NE(nullptr, first);
  EXPECT_EQ(first, ExtractRecord(received));
  const Kestrel::EventData* generated = nullptr;
  ASSERT_TRUE(received >>= generated);
  EXPECT_EQ(first, generated);

  // And the other way round: the generated operator decodes, ExtractRecord
  // finds its record.
  CORBA::Any again;
  Transmit(sent, again, true);
  ASSERT_TRUE(again >>= generated);
  EXPECT_EQ(generated, ExtractRecord(again));
}

TEST(EventRecordAny, BigEndianBodyDecodesToTheSameValues) {
  CORBA::Any sent;
  InsertRecord(sent, PinnedRecord());
  CORBA::Any received;
  Transmit(sent, received, false);
  const Kestrel::EventData* decoded = ExtractRecord(received);
  ASSERT_NE(nullptr, decoded);
  ExpectRecord(*decoded, "Pump", "node-7", 3, 0x0A0B0C0Du, "Overheat");
}

TEST(EventRecordAny, OtherContentAnswersNull) {
  CORBA::Any text;
  text <<= "Pump";
  CORBA::Any number;
  number <<= static_cast<CORBA::ULong>(3);
  CORBA::Any severity;
  severity <<= static_cast<Kestrel::SeverityType>(3);
  CORBA::Any nothing;
  CORBA::Any typeOnly(Kestrel::_tc_SeverityType, nullptr);

  struct Case {
    const char* name;
    const CORBA::Any* body;
  };
  const Case cases[] = {{"string", &text},     {"number", &number},         {"severity", &severity},
                        {"nothing", &nothing}, {"alias tc only", &typeOnly}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Kestrel::EventData* record = nullptr;
    EXPECT_NO_THROW(record = ExtractRecord(*c.body));
    EXPECT_EQ(nullptr, record);
  }
}

// Bodies under EventData's own type code that no peer could have encoded
// from a record.
TEST(EventRecordAny, MalformedBodiesAnswerNullAndStayAsTheyWere) {
  Bytes zeroLength = kPinnedLittleEndian;
  zeroLength[0] = 0;
  Bytes noTerminator = kPinnedLittleEndian;
  noTerminator[8] = '!';
  Bytes hugeLength = kPinnedLittleEndian;
  hugeLength[12] = hugeLength[13] = hugeLength[14] = hugeLength[15] = 0xFF;
  Bytes pastTheEnd = kPinnedLittleEndian;
  pastTheEnd[32] = 0x0A;

  struct Case {
    const char* name;
    Bytes body;
  };
  const Case cases[] = {
      {"ends after mHost", Prefix(kPinnedLittleEndian, 24)},
      {"ends inside mHost", Prefix(kPinnedLittleEndian, 18)},
      {"ends inside mMessageCode", Prefix(kPinnedLittleEndian, 30)},
      {"ends before the last NUL", Prefix(kPinnedLittleEndian, kPinnedLittleEndian.size() - 1)},
      {"empty", Bytes()},
      {"string length 0", zeroLength},
      {"string without its NUL", noTerminator},
      {"string length 0xFFFFFFFF", hugeLength},
      {"description one byte longer than the body", pastTheEnd},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CORBA::Any body;
    SetRawBody(body, Kestrel::_tc_EventData, c.body);

    Kestrel::EventData sentinel{};
    const Kestrel::EventData* record = &sentinel;
    EXPECT_NO_THROW(record = ExtractRecord(body));
    EXPECT_EQ(nullptr, record);
    EXPECT_EQ(nullptr, ExtractRecord(body)) << "a failed decode must not be cached";
    CORBA::TypeCode_var tc = body.type();
    EXPECT_TRUE(tc->equal(Kestrel::_tc_EventData));
  }

  // The same bytes, whole, do decode: the cases fail for their flaw alone.
  CORBA::Any whole;
  SetRawBody(whole, Kestrel::_tc_EventData, kPinnedLittleEndian);
  const Kestrel::EventData* record = ExtractRecord(whole);
  ASSERT_NE(nullptr, record);
  ExpectRecord(*record, "Pump", "node-7", 3, 0x0A0B0C0Du, "Overheat");
}

// A peer whose declaration has only the first two members under the same
// repository id: omniORB checks the body against the peer's type code when
// it arrives and finds it sound, and counts the two type codes equivalent
// because their ids match, so only decoding finds that it ends after mHost.
TEST(EventRecordAny, PeerStructEndingAfterHostAnswersNull) {
  CORBA::StructMemberSeq members;
  members.length(2);
  members[0].name = "mModule";
  members[0].type = CORBA::TypeCode::_duplicate(CORBA::_tc_string);
  members[1].name = "mHost";
  members[1].type = CORBA::TypeCode::_duplicate(CORBA::_tc_string);
  CORBA::TypeCode_var shortTc = OrbEnvironment::orb()->create_struct_tc(
      "IDL:TarnwellCorp/Kestrel/EventData:1.0", "EventData", members);
  ASSERT_TRUE(shortTc->equivalent(Kestrel::_tc_EventData));

  cdrMemoryStream wire;
  CORBA::TypeCode::marshalTypeCode(shortTc, wire);
  wire.marshalString("Pump");
  wire.marshalString("node-7");
  CORBA::Any received;
  received <<= wire;

  const Kestrel::EventData* record = nullptr;
  EXPECT_NO_THROW(record = ExtractRecord(received));
  EXPECT_EQ(nullptr, record);
}

TEST(EventRecordNullText, SetRecordTextCopiesAndTurnsNullIntoEmpty) {
  Kestrel::EventData record{};
  char text[] = "Pump";
  SetRecordText(record.mModule, text);
  text[0] = 'X';
  EXPECT_STREQ("Pump", record.mModule.in());
  EXPECT_NE(static_cast<const char*>(text), record.mModule.in());

  SetRecordText(record.mModule, nullptr);
  ASSERT_NE(nullptr, record.mModule.in());
  EXPECT_STREQ("", record.mModule.in());
}

TEST(EventRecordNullText, NullMembersArriveAsEmptyStrings) {
  Kestrel::EventData record{};
  record.mModule = static_cast<const char*>(nullptr);
  record.mHost = static_cast<const char*>(nullptr);
  record.mDescription = static_cast<const char*>(nullptr);
  ASSERT_EQ(nullptr, record.mModule.in());

  CORBA::Any sent;
  InsertRecord(sent, record);
  EXPECT_EQ(nullptr, record.mModule.in()) << "the caller's record is left as it is";

  const Kestrel::EventData* local = ExtractRecord(sent);
  ASSERT_NE(nullptr, local);
  ExpectRecord(*local, "", "", 0, 0, "");

  cdrMemoryStream body(0, true);
  sent.NP_marshalDataOnly(body);
  EXPECT_EQ(Hex(kEmptyLittleEndian), Hex(Contents(body)));

  CORBA::Any received;
  Transmit(sent, received, true);
  const Kestrel::EventData* decoded = ExtractRecord(received);
  ASSERT_NE(nullptr, decoded);
  ExpectRecord(*decoded, "", "", 0, 0, "");
}

TEST(EventRecordNullText, OneNullMemberKeepsTheOthers) {
  Kestrel::EventData record = PinnedRecord();
  record.mHost = static_cast<const char*>(nullptr);
  CORBA::Any sent;
  InsertRecord(sent, record);
  CORBA::Any received;
  Transmit(sent, received, true);
  const Kestrel::EventData* decoded = ExtractRecord(received);
  ASSERT_NE(nullptr, decoded);
  ExpectRecord(*decoded, "Pump", "", 3, 0x0A0B0C0Du, "Overheat");
}

}  // namespace
}  // namespace kestrel
