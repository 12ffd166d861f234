// The constraint language against a fixed set of events: each row is a
// constraint and exactly the events it selects. Events 0-5 carry Kestrel
// records, 6 and 7 a Sample (test_events.h); a constraint that cannot be
// evaluated for an event (a Kestrel member on a Sample, a missing
// property) must leave that event out, whichever way the constraint is
// negated.

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "filter/constraint.h"
#include "filter/event_view.h"
#include "tests/filter/test_events.h"

namespace kestrel {
namespace filter {
namespace {

struct Row {
  const char* constraint;
  std::set<int> selected;
};

const std::set<int> kAll = {0, 1, 2, 3, 4, 5, 6, 7};
const std::set<int> kRecords = {0, 1, 2, 3, 4, 5};
const std::set<int> kNone = {};

const Row kRows[] = {
    // The empty constraint and the literals.
    {"", kAll},
    {"   ", kAll},
    {"TRUE", kAll},
    {"FALSE", kNone},

    // The header: the named variables, and paths by name and by position.
    {"$domain_name == 'Kestrel'", {0, 1, 2, 4, 5}},
    {"$type_name == 'Alarm'", {0, 1, 3, 5}},
    {"$event_name == 'e2'", {2}},
    {"$.header.fixed_header.event_type.domain_name == 'Kestrel'", {0, 1, 2, 4, 5}},
    {"$.header.fixed_header.event_type.type_name != 'Alarm'", {2, 4, 6, 7}},
    {"$.0.0.1 == 'e3'", {3}},
    {"$.header.fixed_header.event_type.1 == 'Sample'", {6, 7}},
    {"'e' ~ $event_name", {0, 1, 2, 3, 4, 5}},

    // The Kestrel record's members.
    {"$.remainder_of_body.mSeverity >= 4", {3, 4, 5}},
    {"$.remainder_of_body.mModule == 'disk'", {0, 2, 4}},
    {"'full' ~ $.remainder_of_body.mDescription", {0, 2, 4}},
    {"$.remainder_of_body.mHost != 'alpha'", {1, 2, 3}},
    {"$.remainder_of_body.mDescription == 'it\\'s full'", {4}},
    {"$.remainder_of_body.mDescription == 'back\\\\slash'", {5}},
    {"$.remainder_of_body.2 == 6", {5}},
    {"$.remainder_of_body._type_id == 'EventData'", kRecords},
    {"$.remainder_of_body._repos_id == 'IDL:TarnwellCorp/Kestrel/EventData:1.0'", kRecords},

    // Arithmetic, with the usual precedence; / divides in floating point.
    {"$.remainder_of_body.mSeverity * 2 + 1 == 7", {2}},
    {"$.remainder_of_body.mSeverity - 10 < -7", {0, 1}},
    {"-$.remainder_of_body.mSeverity == -6", {5}},
    {"$.remainder_of_body.mSeverity / 2 == 1.5", {2}},
    {"$.remainder_of_body.mMessageCode / 100 == $.remainder_of_body.mSeverity", kRecords},
    {"7 / 2 == 3.5", kAll},
    {"1 + 2 * 3 == 7", kAll},
    {"(1 + 2) * 3 == 9", kAll},
    {"10 - 4 - 3 == 3", kAll},

    // not, and, or; an error loses to the deciding operand only.
    {"$.remainder_of_body.mModule == 'disk' and $.remainder_of_body.mSeverity > 2", {2, 4}},
    {"$.remainder_of_body.mModule == 'net' or $.remainder_of_body.mModule == 'cpu'", {1, 3}},
    {"not ($.remainder_of_body.mModule == 'disk')", {1, 3, 5}},
    {"not not ($.remainder_of_body.mModule == 'disk')", {0, 2, 4}},
    {"not $.remainder_of_body.mModule == 'disk'", kNone},  // (not 'disk') == 'disk'
    {"$type_name == 'Sample' or $.remainder_of_body.mSeverity == 1", {0, 6, 7}},
    {"$.remainder_of_body.mSeverity == 1 and $type_name == 'Alarm'", {0}},
    {"$.remainder_of_body.nothing == 1 or TRUE", kAll},
    {"$.remainder_of_body.nothing == 1 and FALSE", kNone},
    {"$.remainder_of_body.nothing == 1 and TRUE", kNone},
    {"FALSE or $type_name == 'Notice' or $type_name == 'Trace'", {2, 4}},

    // Substrings.
    {"'is' ~ $.remainder_of_body.mDescription", {0}},
    {"$.remainder_of_body.mModule ~ 'disk,net'", {0, 1, 2, 4}},
    {"'' ~ $event_name", kAll},

    // Membership in sequences and arrays.
    {"'b' in $tags", {5}},
    {"'z' in $tags", kNone},
    {"'beta' in $.remainder_of_body.words", {6}},
    {"2 in $.remainder_of_body.numbers", {6}},
    {"2.0 in $.remainder_of_body.numbers", {6}},
    {"1 in $.remainder_of_body.matrix", {7}},
    {"'count' in $.filterable_data", kNone},  // structs are no strings

    // exist and default.
    {"exist $count", {0, 1, 2, 4}},
    {"not exist $count", {3, 5, 6, 7}},
    {"exist $Priority", {0}},
    {"exist $.remainder_of_body.mSeverity", kRecords},
    {"exist $.filterable_data[1]", {0, 1}},
    {"exist $.remainder_of_body.choice.(1)", {6}},
    {"exist $.remainder_of_body.numbers._length", {6, 7}},
    {"default $.remainder_of_body.choice", {7}},
    {"not default $.remainder_of_body.choice", {6}},
    {"default $.remainder_of_body.at", kNone},

    // $name: the filterable data first, then the variable header.
    {"$count == 3", {0, 4}},
    {"$count > 5", {1, 2}},
    {"$ratio < 1", {0}},
    {"$flags", {3}},
    {"$flags == TRUE", {3}},
    {"$tag == 'x'", {1}},
    {"$Priority == 5.0", {0}},
    {"$tags[1] == 'b'", {5}},
    {"$tags._length == 2", {5}},

    // The filterable data and the variable header as paths.
    {"$.filterable_data[0].name == 'count'", {0, 1, 4}},
    {"$.filterable_data[1].value == 'x'", {1}},
    {"$.filterable_data[0].value == 3", {0, 4}},
    {"$.filterable_data._length == 2", {0, 1}},
    {"$.header.variable_header[0].value == 99", {4}},
    {"$.filterable_data[0].value._type_id == 'StringSeq'", {5}},

    // Numbers compare by value across kinds.
    {"3 == 3.0", kAll},
    {"$.remainder_of_body.small == -3", {6}},
    {"$.remainder_of_body.small < 0.5", {6}},
    {"$.remainder_of_body.big > 4294967296", {6}},
    {"$.remainder_of_body.big == -1.0", {7}},
    {"$.remainder_of_body.f == 0.25", {7}},
    {"$.remainder_of_body.f * 4 == 10", {6}},
    {"$.remainder_of_body.mSeverity == 2.0", {1}},
    {"1e1 == 10", kAll},

    // Booleans, chars and enums (by their member's name).
    {"$.remainder_of_body.on", {6}},
    {"$.remainder_of_body.on == FALSE", {7}},
    {"$.remainder_of_body.letter == 'q'", {6}},
    {"$.remainder_of_body.colour == 'BLUE'", {7}},
    {"$.remainder_of_body.colour != 'RED'", {6, 7}},
    {"$.remainder_of_body.colour == 2", kNone},

    // Unions.
    {"$.remainder_of_body.choice._d == 1", {6}},
    {"$.remainder_of_body.choice.(1) == 'hello'", {6}},
    {"$.remainder_of_body.choice.(+1) == 'hello'", {6}},
    {"$.remainder_of_body.choice.(2) == 'hello'", kNone},
    {"$.remainder_of_body.choice.() == 2.5", {7}},
    {"$.remainder_of_body.choice.(9) > 2", {7}},
    {"$.remainder_of_body.choice.( 9 ) > 2", {7}},

    // Sequences, arrays and nested structs.
    {"$.remainder_of_body.numbers._length == 3", {6}},
    {"$.remainder_of_body.numbers._length == 0", {7}},
    {"$.remainder_of_body.numbers[2] == 3", {6}},
    {"$.remainder_of_body.numbers[ 2 ] == 3", {6}},
    {"$.remainder_of_body.matrix[2] == 1", {7}},
    {"$.remainder_of_body.matrix._length == 3", {6, 7}},
    {"$.remainder_of_body.words[0] ~ 'alphabet'", {6}},
    {"$.remainder_of_body.at.y < 0", {7}},
    {"$.remainder_of_body.at.x + $.remainder_of_body.at.y == 3", {6}},
    {"$.remainder_of_body.12.1 == 2", {6}},

    // Anys in the body, and the body's own type.
    {"$.remainder_of_body.inner == 42", {6}},
    {"$.remainder_of_body.inner.mDescription == 'inner record'", {7}},
    {"$.remainder_of_body.inner._type_id == 'EventData'", {7}},
    {"$.remainder_of_body._type_id == 'Sample'", {6, 7}},
    {"$.remainder_of_body._repos_id == 'IDL:Lab/Sample:1.0'", {6, 7}},

    // What cannot be evaluated is false, negated or not.
    {"$.remainder_of_body.mSeverity / 0 == 1", kNone},
    {"$.remainder_of_body.mSeverity / 0 != 1", kNone},
    {"$.remainder_of_body.mSeverity / 0.0 != 1", kNone},
    {"$.remainder_of_body.numbers[3] == 0", kNone},
    {"$.remainder_of_body.numbers[3] != 0", kNone},
    {"$.remainder_of_body.mModule > 3", kNone},
    {"$.remainder_of_body.mModule + 1 == 1", kNone},
    {"$missing == 1", kNone},
    {"$missing != 1", kNone},
    {"not ($missing == 1)", kNone},
    {"$.remainder_of_body.mSeverity", kNone},
    {"9223372036854775807 + 1 > 0", kNone},
    {"-9223372036854775807 - 2 < 0", kNone},
    {"$.remainder_of_body.at.2 == 0", kNone},
    {"'x' in $.remainder_of_body.mModule", kNone},
    {"$.remainder_of_body.at == 1", kNone},
    {"$.remainder_of_body.mModule._length == 4", kNone},
    {"$.remainder_of_body.at._type_id == 'Point'", kNone},
    {"$.header == $.header", kNone},
    {"TRUE == 1", kNone},
    {"'a' < 'b' and 'b' > 'a' and FALSE < TRUE", kAll},
};

std::set<int> Selected(const Constraint& constraint,
                       const std::vector<CosNotification::StructuredEvent>& events) {
  std::set<int> selected;
  for (std::size_t i = 0; i < events.size(); ++i) {
    EventView view(events[i]);
    if (constraint.Matches(&view)) selected.insert(static_cast<int>(i));
  }
  return selected;
}

TEST(FilterConstraintLanguage, EachConstraintSelectsExactlyItsEvents) {
  const std::vector<CosNotification::StructuredEvent> events = testing::LanguageEvents();
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.constraint);
    std::unique_ptr<Constraint> constraint;
    const ParseResult result = Constraint::Compile(row.constraint, &constraint);
    ASSERT_TRUE(result.ok) << result.error << " at " << result.position;
    EXPECT_EQ(row.selected, Selected(*constraint, events));
  }
}

}  // namespace
}  // namespace filter
}  // namespace kestrel
