// Filter constraints come from any consumer of a channel, and the service
// compiles and evaluates each against every event that passes. Compiling
// must answer a constraint or an error with its position within the text;
// evaluating must answer true or false: no crash, no leak, no unbounded
// recursion, no exception.
//
// Input: the constraint's text, as it is. Each one that compiles is
// evaluated twice against each of a few events (a Kestrel record with
// properties, a body with a union, an enum, a sequence, an array and an
// any, and an empty body), through one view per event, and must answer the
// same both times.

#include <omniORB4/CORBA.h>
#include <omniORB4/cdrStream.h>

#include <COS/CosNotification.hh>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

#include "channel/event_record.h"
#include "filter/constraint.h"
#include "filter/event_view.h"
#include "kestrel.hh"

namespace {

using kestrel::filter::Constraint;
using kestrel::filter::EventView;
using kestrel::filter::ParseResult;

CORBA::ORB_ptr orb = CORBA::ORB::_nil();
std::vector<CosNotification::StructuredEvent>* events = nullptr;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

CosNotification::StructuredEvent Named(const char* domain, const char* type) {
  CosNotification::StructuredEvent event;
  event.header.fixed_header.event_type.domain_name = domain;
  event.header.fixed_header.event_type.type_name = type;
  event.header.fixed_header.event_name = "fuzz";
  return event;
}

void AddProperty(CosNotification::PropertySeq& properties, const char* name, CORBA::Long value) {
  const CORBA::ULong i = properties.length();
  properties.length(i + 1);
  properties[i].name = name;
  properties[i].value <<= value;
}

CosNotification::StructuredEvent RecordEvent() {
  CosNotification::StructuredEvent event = Named("Kestrel", "Alarm");
  Kestrel::EventData record{};
  record.mModule = "disk";
  record.mHost = "alpha";
  record.mSeverity = 4;
  record.mMessageCode = 17;
  record.mDescription = "disk is full";
  kestrel::InsertRecord(event.remainder_of_body, record);
  AddProperty(event.filterable_data, "count", 3);
  AddProperty(event.header.variable_header, "Priority", 2);
  return event;
}

// struct Mixed { union switch (long) { case 1: string s; default: double d; } u;
//   enum { A, B } e; sequence<long> numbers; short pair[2]; any inner; };
CORBA::TypeCode_ptr MixedType() {
  CORBA::UnionMemberSeq arms;
  arms.length(2);
  arms[0].name = "s";
  arms[0].label <<= CORBA::Long(1);
  arms[0].type = CORBA::TypeCode::_duplicate(CORBA::_tc_string);
  arms[1].name = "d";
  arms[1].label <<= CORBA::Any::from_octet(0);
  arms[1].type = CORBA::TypeCode::_duplicate(CORBA::_tc_double);
  CORBA::EnumMemberSeq enumerators;
  enumerators.length(2);
  enumerators[0] = "A";
  enumerators[1] = "B";
  CORBA::StructMemberSeq members;
  members.length(5);
  members[0].name = "u";
  members[0].type = orb->create_union_tc("IDL:Fuzz/U:1.0", "U", CORBA::_tc_long, arms);
  members[1].name = "e";
  members[1].type = orb->create_enum_tc("IDL:Fuzz/E:1.0", "E", enumerators);
  members[2].name = "numbers";
  members[2].type = orb->create_sequence_tc(0, CORBA::_tc_long);
  members[3].name = "pair";
  members[3].type = orb->create_array_tc(2, CORBA::_tc_short);
  members[4].name = "inner";
  members[4].type = CORBA::TypeCode::_duplicate(CORBA::_tc_any);
  return orb->create_struct_tc("IDL:Fuzz/Mixed:1.0", "Mixed", members);
}

CosNotification::StructuredEvent MixedEvent() {
  CosNotification::StructuredEvent event = Named("Lab", "Mixed");
  cdrMemoryStream bytes;
  CORBA::Long(1) >>= bytes;
  bytes.marshalString("text");
  CORBA::ULong(1) >>= bytes;
  CORBA::ULong(3) >>= bytes;
  for (CORBA::Long i = 0; i < 3; ++i) i >>= bytes;
  CORBA::Short(-1) >>= bytes;
  CORBA::Short(1) >>= bytes;
  CORBA::Any inner;
  inner <<= CORBA::Double(0.5);
  inner >>= bytes;
  CORBA::TypeCode_var type = MixedType();
  event.remainder_of_body.replace(type, nullptr);
  event.remainder_of_body.NP_unmarshalDataOnly(bytes);
  return event;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Strings are decoded through the ORB's code sets and type codes are made
  // by it. The ORB and the events stay for the life of the process.
  char name[] = "fuzz_filter_constraint";
  char traceOption[] = "-ORBtraceLevel";
  char traceLevel[] = "0";
  char* argv[] = {name, traceOption, traceLevel, nullptr};
  int argc = 3;
  orb = CORBA::ORB_init(argc, argv);
  events = new std::vector<CosNotification::StructuredEvent>;
  events->push_back(RecordEvent());
  events->push_back(MixedEvent());
  events->push_back(Named("", ""));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::unique_ptr<Constraint> constraint;
  const ParseResult result = Constraint::Compile(text, &constraint);
  if (!result.ok) {
    if (result.error.empty()) Fail("a refused constraint has no message");
    if (result.position > size) Fail("an error's position is past the text");
    if (constraint != nullptr) Fail("a refused constraint was compiled");
    return 0;
  }
  if (constraint == nullptr) Fail("a compiled constraint is missing");
  for (const CosNotification::StructuredEvent& event : *events) {
    EventView view(event);
    const bool first = constraint->Matches(&view);
    if (constraint->Matches(&view) != first) Fail("a view answered differently the second time");
  }
  return 0;
}
