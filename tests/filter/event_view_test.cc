// One EventView serves every constraint evaluated for its event: each any is
// decoded once, on first use, and only when a constraint reaches into it;
// values too large or too deep to decode make constraints false, never
// crash.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "filter/constraint.h"
#include "filter/event_view.h"
#include "filter/limits.h"
#include "tests/filter/test_events.h"
#include "tests/support/orb_environment.h"

namespace kestrel {
namespace filter {
namespace {

std::unique_ptr<Constraint> Compiled(const std::string& text) {
  std::unique_ptr<Constraint> constraint;
  const ParseResult result = Constraint::Compile(text, &constraint);
  EXPECT_TRUE(result.ok) << text << ": " << result.error;
  return constraint;
}

bool Matches(const std::string& text, EventView* view) { return Compiled(text)->Matches(view); }

const Value* Body(const EventView& view) { return view.Root()->items[2]; }

TEST(FilterEventView, OneViewServesManyConstraints) {
  const std::vector<CosNotification::StructuredEvent> events = testing::LanguageEvents();
  EventView view(events[4]);  // disk, severity 5, "it's full"
  std::vector<std::unique_ptr<Constraint>> constraints;
  for (int severity = 0; severity <= 10; ++severity) {
    constraints.push_back(Compiled("$.remainder_of_body.mSeverity >= " + std::to_string(severity)));
  }
  int matched = 0;
  for (int round = 0; round < 3; ++round) {
    for (const auto& constraint : constraints) matched += constraint->Matches(&view) ? 1 : 0;
  }
  EXPECT_EQ(3 * 6, matched);  // 0 to 5, three times
  EXPECT_TRUE(Matches("$.remainder_of_body.mModule == 'disk'", &view));
  EXPECT_TRUE(Matches("$count == 3 and $domain_name == 'Kestrel'", &view));
  EXPECT_FALSE(Matches("$.remainder_of_body.mModule == 'net'", &view));
}

TEST(FilterEventView, AnAnyIsDecodedOnceAndOnlyWhenReached) {
  const std::vector<CosNotification::StructuredEvent> events = testing::LanguageEvents();
  EventView view(events[6]);
  EXPECT_TRUE(Matches("$type_name == 'Sample' and $event_name == 's6'", &view));
  EXPECT_FALSE(Body(view)->decoded);

  EXPECT_TRUE(Matches("$.remainder_of_body.label == 'first'", &view));
  EXPECT_TRUE(Body(view)->decoded);
  const Value* content = view.Content(Body(view));
  ASSERT_NE(nullptr, content);
  EXPECT_EQ(ValueKind::kStruct, content->kind);
  EXPECT_TRUE(Matches("$.remainder_of_body.words[1] == 'beta'", &view));
  EXPECT_EQ(content, view.Content(Body(view)));  // not decoded again
}

TEST(FilterEventView, PropertiesAreFoundInTheFilterableDataFirst) {
  const std::vector<CosNotification::StructuredEvent> events = testing::LanguageEvents();
  EventView both(events[4]);  // count: 3.0 filterable, 99 in the variable header
  const Value* count = both.Content(both.Property("count"));
  ASSERT_NE(nullptr, count);
  EXPECT_EQ(ValueKind::kFloat, count->kind);
  EventView variableOnly(events[2]);
  count = variableOnly.Content(variableOnly.Property("count"));
  ASSERT_NE(nullptr, count);
  EXPECT_EQ(7, count->integer);
  EXPECT_EQ(nullptr, variableOnly.Property("absent"));
}

struct Oversized {
  const char* what;
  std::function<void(CORBA::Any&)> body;
  const char* reachable;  // a constraint true of the body when it decodes
  bool decodes;
};

TEST(FilterEventView, ValuesBeyondTheLimitsMakeConstraintsFalse) {
  const Oversized cases[] = {
      {"a sequence within the budget",
       [](CORBA::Any& body) { testing::LongSequence(body, 1000); },
       "$.remainder_of_body[999] == 999", true},
      {"a sequence past the budget",
       [](CORBA::Any& body) {
         testing::LongSequence(body, static_cast<CORBA::ULong>(kMaxDecodedValues) + 1);
       },
       "$.remainder_of_body._length > 0", false},
      {"nodes nested within the limit",
       [](CORBA::Any& body) { testing::NestedNodes(body, kMaxValueNesting / 2 - 1); },
       "$.remainder_of_body.children[0].children._length == 1", true},
      {"nodes nested past the limit",
       [](CORBA::Any& body) { testing::NestedNodes(body, 10 * kMaxValueNesting); },
       "exist $.remainder_of_body.children", false},
  };
  for (const Oversized& oversized : cases) {
    SCOPED_TRACE(oversized.what);
    CosNotification::StructuredEvent event = testing::EventNamed("Lab", "Big", "b");
    oversized.body(event.remainder_of_body);
    EventView view(event);
    EXPECT_EQ(oversized.decodes, Matches(oversized.reachable, &view));
    EXPECT_EQ(oversized.decodes, view.Content(Body(view)) != nullptr);
    // The header stays reachable whatever the body holds.
    EXPECT_TRUE(Matches("$type_name == 'Big'", &view));
  }
}

// struct W { wstring w; Object o; long n; }: what constraints cannot look
// into is read past, and the members after it stay reachable.
TEST(FilterEventView, OpaqueMembersAreReadPast) {
  CORBA::ORB_ptr orb = kestrel::testing::OrbEnvironment::orb().in();
  CORBA::StructMemberSeq members;
  members.length(3);
  members[0].name = "w";
  members[0].type = CORBA::TypeCode::_duplicate(CORBA::_tc_wstring);
  members[1].name = "o";
  members[1].type = CORBA::TypeCode::_duplicate(CORBA::_tc_Object);
  members[2].name = "n";
  members[2].type = CORBA::TypeCode::_duplicate(CORBA::_tc_long);
  CORBA::TypeCode_var type = orb->create_struct_tc("IDL:Lab/W:1.0", "W", members);
  CosNotification::StructuredEvent event = testing::EventNamed("Lab", "W", "w");
  testing::Compose(event.remainder_of_body, type, [](cdrStream& out) {
    out.marshalWString(L"hi");
    CORBA::Object::_marshalObjRef(CORBA::Object::_nil(), out);
    CORBA::Long(5) >>= out;
  });
  EventView view(event);
  EXPECT_TRUE(Matches("$.remainder_of_body.n == 5", &view));
  EXPECT_TRUE(Matches("exist $.remainder_of_body.w", &view));
  EXPECT_FALSE(Matches("$.remainder_of_body.w == 'hi'", &view));
  EXPECT_FALSE(Matches("$.remainder_of_body.o != 'hi'", &view));
}

}  // namespace
}  // namespace filter
}  // namespace kestrel
