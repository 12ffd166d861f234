// Event types against the patterns of subscriptions and of filter
// constraints; and a filter constraint, which must match both its types and
// its expression.

#include <gtest/gtest.h>

#include <memory>
#include <utility>
#include <vector>

#include "filter/event_type_match.h"
#include "filter/event_view.h"
#include "filter/filter_constraint.h"
#include "tests/filter/test_events.h"

namespace kestrel {
namespace filter {
namespace {

struct NameCase {
  const char* pattern;
  const char* name;
  bool matches;
};

const NameCase kNames[] = {
    {"Kestrel", "Kestrel", true},  {"kestrel", "Kestrel", false}, {"Kes*", "Kestrel", true},
    {"*rel", "Kestrel", true},     {"K*t*l", "Kestrel", true},    {"Kestrel*", "Kestrel", true},
    {"K*x", "Kestrel", false},     {"Kestrel", "Kestrels", false}, {"", "anything", true},
    {"*", "", true},               {"a*b*c", "abxbc", true},      {"a*b*c", "abxbd", false},
    {nullptr, "Kestrel", true},    {"x", nullptr, false},
};

TEST(FilterEventTypeMatch, NamesMatchTheirPatterns) {
  for (const NameCase& name : kNames) {
    SCOPED_TRACE(std::string(name.pattern ? name.pattern : "(null)") + " / " +
                 (name.name ? name.name : "(null)"));
    EXPECT_EQ(name.matches, NameMatches(name.pattern, name.name));
  }
}

CosNotification::EventTypeSeq Types(const std::vector<std::pair<const char*, const char*>>& types) {
  CosNotification::EventTypeSeq sequence;
  sequence.length(static_cast<CORBA::ULong>(types.size()));
  for (CORBA::ULong i = 0; i < sequence.length(); ++i) {
    sequence[i].domain_name = types[i].first;
    sequence[i].type_name = types[i].second;
  }
  return sequence;
}

struct TypesCase {
  std::vector<std::pair<const char*, const char*>> types;
  const char* domain;
  const char* type;
  bool matches;
};

TEST(FilterEventTypeMatch, ListsOfTypesMatchEvents) {
  const TypesCase cases[] = {
      {{}, "Kestrel", "Alarm", true},
      {{{"Kestrel", "Alarm"}}, "Kestrel", "Alarm", true},
      {{{"Kestrel", "Alarm"}}, "Kestrel", "Notice", false},
      {{{"Kestrel", "Alarm"}, {"Other", "*"}}, "Other", "Notice", true},
      {{{"*", "Alarm"}}, "Other", "Alarm", true},
      {{{"Kestrel", "%ALL"}}, "Kestrel", "", true},
      {{{"Kestrel", "%ALL"}}, "Other", "Alarm", false},
      {{{"", "%ALL"}}, "Other", "Alarm", true},
      {{{"K*", "A*m"}}, "Kestrel", "Alarm", true},
  };
  for (const TypesCase& types : cases) {
    SCOPED_TRACE(std::string(types.domain) + "/" + types.type);
    EXPECT_EQ(types.matches, EventTypesMatch(Types(types.types), types.domain, types.type));
  }
}

TEST(FilterEventTypeMatch, AFilterConstraintMatchesItsTypesAndItsExpression) {
  const std::vector<CosNotification::StructuredEvent> events = testing::LanguageEvents();
  std::unique_ptr<FilterConstraint> constraint;
  ASSERT_TRUE(FilterConstraint::Compile(Types({{"Kestrel", "Alarm"}, {"Lab", "*"}}),
                                        "$.remainder_of_body.mSeverity > 1 or $event_name == 's7'",
                                        &constraint)
                  .ok);
  std::vector<int> selected;
  for (std::size_t i = 0; i < events.size(); ++i) {
    EventView view(events[i]);
    if (constraint->Matches(&view)) selected.push_back(static_cast<int>(i));
  }
  // 0 is severity 1, 2 and 4 are no alarms, 3 is in another domain, 6 is
  // not s7.
  EXPECT_EQ(std::vector<int>({1, 5, 7}), selected);
  EXPECT_STREQ("$.remainder_of_body.mSeverity > 1 or $event_name == 's7'",
               constraint->expression().c_str());

  std::unique_ptr<FilterConstraint> refused;
  const ParseResult result = FilterConstraint::Compile(Types({}), "$x ==", &refused);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(5u, result.position);
  EXPECT_EQ(nullptr, refused);
}

}  // namespace
}  // namespace filter
}  // namespace kestrel
