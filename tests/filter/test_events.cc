#include "tests/filter/test_events.h"

#include "channel/event_record.h"
#include "kestrel.hh"
#include "tests/support/orb_environment.h"

namespace kestrel {
namespace testing {

namespace {

// One ORB for the whole program, whichever of its files runs first.
::testing::Environment* const kOrbEnvironment =
    ::testing::AddGlobalTestEnvironment(new OrbEnvironment);

CORBA::ORB_ptr Orb() { return OrbEnvironment::orb().in(); }

CORBA::TypeCode_ptr Duplicate(CORBA::TypeCode_ptr type) {
  return CORBA::TypeCode::_duplicate(type);
}

void AddProperty(CosNotification::PropertySeq& properties, const char* name,
                 const CORBA::Any& value) {
  const CORBA::ULong i = properties.length();
  properties.length(i + 1);
  properties[i].name = name;
  properties[i].value = value;
}

template <typename T>
CORBA::Any AnyOf(T value) {
  CORBA::Any any;
  any <<= value;
  return any;
}

CORBA::Any Text(const char* text) {
  CORBA::Any any;
  any <<= text;
  return any;
}

struct Record {
  const char* domain;
  const char* type;
  const char* name;
  const char* module;
  const char* host;
  const char* description;
};

const Record kRecords[] = {
    {"Kestrel", "Alarm", "e0", "disk", "alpha", "disk is full"},
    {"Kestrel", "Alarm", "e1", "net", "beta", "link down"},
    {"Kestrel", "Notice", "e2", "disk", "beta", "quota nearly full"},
    {"Other", "Alarm", "e3", "cpu", "gamma", "load high"},
    {"Kestrel", "Trace", "e4", "disk", "alpha", "it's full"},
    {"Kestrel", "Alarm", "e5", "mem", "alpha", "back\\slash"},
};

Kestrel::EventData MakeRecord(const char* module, const char* host, CORBA::ULong severity,
                              const char* description) {
  Kestrel::EventData record{};
  record.mModule = module;
  record.mHost = host;
  record.mSeverity = severity;
  record.mMessageCode = severity * 100;
  record.mDescription = description;
  return record;
}

// The properties of the Kestrel events: counts of several numeric kinds,
// one that only the variable header holds (2), one that both hold (4).
void AddRecordProperties(int index, CosNotification::StructuredEvent& event) {
  CosNotification::PropertySeq& filterable = event.filterable_data;
  CosNotification::PropertySeq& variable = event.header.variable_header;
  switch (index) {
    case 0:
      AddProperty(filterable, "count", AnyOf(CORBA::Long(3)));
      AddProperty(filterable, "ratio", AnyOf(CORBA::Double(0.5)));
      AddProperty(variable, "Priority", AnyOf(CORBA::Short(5)));
      break;
    case 1:
      AddProperty(filterable, "count", AnyOf(CORBA::UShort(10)));
      AddProperty(filterable, "tag", Text("x"));
      break;
    case 2:
      AddProperty(variable, "count", AnyOf(CORBA::Long(7)));
      break;
    case 3:
      AddProperty(filterable, "flags", AnyOf(CORBA::Any::from_boolean(true)));
      break;
    case 4:
      AddProperty(filterable, "count", AnyOf(CORBA::Double(3.0)));
      AddProperty(variable, "count", AnyOf(CORBA::Long(99)));
      break;
    default: {
      CORBA::StringSeq tags;
      tags.length(2);
      tags[0] = "a";
      tags[1] = "b";
      AddProperty(filterable, "tags", AnyOf(tags));
      break;
    }
  }
}

CosNotification::StructuredEvent RecordEvent(int index) {
  const Record& record = kRecords[index];
  CosNotification::StructuredEvent event = EventNamed(record.domain, record.type, record.name);
  InsertRecord(event.remainder_of_body,
               MakeRecord(record.module, record.host, static_cast<CORBA::ULong>(index + 1),
                          record.description));
  AddRecordProperties(index, event);
  return event;
}

CORBA::TypeCode_ptr Member(CORBA::StructMemberSeq& members, const char* name,
                           CORBA::TypeCode_ptr type) {
  const CORBA::ULong i = members.length();
  members.length(i + 1);
  members[i].name = name;
  members[i].type = type;
  return type;
}

// union Choice switch (long) { case 1: string text; case 2: long count;
// default: double other; };
CORBA::TypeCode_ptr ChoiceType() {
  CORBA::UnionMemberSeq members;
  members.length(3);
  members[0].name = "text";
  members[0].label <<= CORBA::Long(1);
  members[0].type = Duplicate(CORBA::_tc_string);
  members[1].name = "count";
  members[1].label <<= CORBA::Long(2);
  members[1].type = Duplicate(CORBA::_tc_long);
  members[2].name = "other";
  members[2].label <<= CORBA::Any::from_octet(0);
  members[2].type = Duplicate(CORBA::_tc_double);
  return Orb()->create_union_tc("IDL:Lab/Choice:1.0", "Choice", CORBA::_tc_long, members);
}

CORBA::TypeCode_ptr ColourType() {
  CORBA::EnumMemberSeq members;
  members.length(3);
  members[0] = "RED";
  members[1] = "GREEN";
  members[2] = "BLUE";
  return Orb()->create_enum_tc("IDL:Lab/Colour:1.0", "Colour", members);
}

CORBA::TypeCode_ptr PointType() {
  CORBA::StructMemberSeq members;
  Member(members, "x", Duplicate(CORBA::_tc_long));
  Member(members, "y", Duplicate(CORBA::_tc_long));
  return Orb()->create_struct_tc("IDL:Lab/Point:1.0", "Point", members);
}

// struct Sample { string label; short small; long long big; float f;
//   boolean on; char letter; Colour colour; sequence<long> numbers;
//   long matrix[3]; Choice choice; sequence<string> words; any inner;
//   Point at; };
CORBA::TypeCode_ptr SampleType() {
  CORBA::StructMemberSeq members;
  Member(members, "label", Duplicate(CORBA::_tc_string));
  Member(members, "small", Duplicate(CORBA::_tc_short));
  Member(members, "big", Duplicate(CORBA::_tc_longlong));
  Member(members, "f", Duplicate(CORBA::_tc_float));
  Member(members, "on", Duplicate(CORBA::_tc_boolean));
  Member(members, "letter", Duplicate(CORBA::_tc_char));
  Member(members, "colour", ColourType());
  Member(members, "numbers", Orb()->create_sequence_tc(0, CORBA::_tc_long));
  Member(members, "matrix", Orb()->create_array_tc(3, CORBA::_tc_long));
  Member(members, "choice", ChoiceType());
  Member(members, "words", Orb()->create_sequence_tc(0, CORBA::_tc_string));
  Member(members, "inner", Duplicate(CORBA::_tc_any));
  Member(members, "at", PointType());
  return Orb()->create_struct_tc("IDL:Lab/Sample:1.0", "Sample", members);
}

struct Sample {
  const char* label;
  CORBA::Short small;
  CORBA::LongLong big;
  CORBA::Float f;
  bool on;
  char letter;
  CORBA::ULong colour;
  std::vector<CORBA::Long> numbers;
  CORBA::Long matrix[3];
  CORBA::Long choice;  // 1 holds text, anything else but 2 other
  std::vector<const char*> words;
  CORBA::Any inner;
  CORBA::Long x, y;
};

void WriteSample(const Sample& sample, cdrStream& out) {
  out.marshalString(sample.label);
  sample.small >>= out;
  sample.big >>= out;
  sample.f >>= out;
  out.marshalBoolean(sample.on);
  out.marshalChar(sample.letter);
  sample.colour >>= out;
  CORBA::ULong(sample.numbers.size()) >>= out;
  for (CORBA::Long number : sample.numbers) number >>= out;
  for (CORBA::Long number : sample.matrix) number >>= out;
  sample.choice >>= out;
  if (sample.choice == 1) {
    out.marshalString("hello");
  } else {
    CORBA::Double(2.5) >>= out;
  }
  CORBA::ULong(sample.words.size()) >>= out;
  for (const char* word : sample.words) out.marshalString(word);
  sample.inner >>= out;
  sample.x >>= out;
  sample.y >>= out;
}

CosNotification::StructuredEvent SampleEvent(const char* name, const Sample& sample) {
  CosNotification::StructuredEvent event = EventNamed("Lab", "Sample", name);
  CORBA::TypeCode_var type = SampleType();
  Compose(event.remainder_of_body, type, [&](cdrStream& out) { WriteSample(sample, out); });
  return event;
}

}  // namespace

void Compose(CORBA::Any& any, CORBA::TypeCode_ptr type,
             const std::function<void(cdrStream&)>& write) {
  cdrMemoryStream bytes;
  write(bytes);
  any.replace(type, nullptr);
  any.NP_unmarshalDataOnly(bytes);
}

CosNotification::StructuredEvent EventNamed(const char* domain, const char* type,
                                            const char* name) {
  CosNotification::StructuredEvent event;
  event.header.fixed_header.event_type.domain_name = domain;
  event.header.fixed_header.event_type.type_name = type;
  event.header.fixed_header.event_name = name;
  return event;
}

std::vector<CosNotification::StructuredEvent> LanguageEvents() {
  std::vector<CosNotification::StructuredEvent> events;
  for (int i = 0; i < 6; ++i) events.push_back(RecordEvent(i));

  Sample first{"first", -3, 5000000000LL, 2.5f, true, 'q', 1, {1, 2, 3}, {7, 8, 9}, 1,
               {"alpha", "beta"}, CORBA::Any(), 1, 2};
  first.inner <<= CORBA::Long(42);
  events.push_back(SampleEvent("s6", first));

  Sample second{"second", 4, -1, 0.25f, false, 'r', 2, {}, {0, 0, 1}, 9,
                {"gamma"}, CORBA::Any(), 0, -5};
  InsertRecord(second.inner, MakeRecord("disk", "delta", 3, "inner record"));
  events.push_back(SampleEvent("s7", second));
  return events;
}

void LongSequence(CORBA::Any& any, CORBA::ULong count) {
  CORBA::TypeCode_var type = Orb()->create_sequence_tc(0, CORBA::_tc_long);
  Compose(any, type, [count](cdrStream& out) {
    count >>= out;
    for (CORBA::ULong i = 0; i < count; ++i) CORBA::Long(i) >>= out;
  });
}

void NestedNodes(CORBA::Any& any, int depth) {
  CORBA::TypeCode_var self = Orb()->create_recursive_tc("IDL:Lab/Node:1.0");
  CORBA::TypeCode_var children = Orb()->create_sequence_tc(0, self);
  CORBA::StructMemberSeq members;
  Member(members, "children", Duplicate(children));
  CORBA::TypeCode_var node = Orb()->create_struct_tc("IDL:Lab/Node:1.0", "Node", members);
  Compose(any, node, [depth](cdrStream& out) {
    for (int i = 1; i < depth; ++i) CORBA::ULong(1) >>= out;
    CORBA::ULong(0) >>= out;
  });
}

}  // namespace testing
}  // namespace kestrel
