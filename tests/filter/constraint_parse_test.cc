// Compiling constraints: malformed ones are refused with the offset of the
// fault, and the bounds on length and nesting hold against hostile input
// without exhausting the stack.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "filter/constraint.h"
#include "filter/event_view.h"
#include "filter/limits.h"
#include "tests/filter/test_events.h"

namespace kestrel {
namespace filter {
namespace {

struct Malformed {
  const char* constraint;
  std::size_t position;
  const char* error;  // a part of the message
};

const Malformed kMalformed[] = {
    {"$.remainder_of_body.mSeverity >", 31, "expected a value, found the end"},
    {"(1 == 1", 7, "expected ')'"},
    {"1 == 1)", 6, "expected an operator, found ')'"},
    {"1 == 2 == 3", 7, "expected an operator"},
    {"1 +", 3, "expected a value"},
    {"* 2", 0, "expected a value"},
    {"'abc", 0, "unterminated string"},
    {"$.x == 'it\\'s", 7, "unterminated string"},
    {"$.x == 'a\\q'", 9, "unknown escape"},
    {"severity > 3", 0, "unknown word 'severity'"},
    {"$.x == true", 7, "unknown word 'true'"},
    {"$.x # 1", 4, "unexpected character '#'"},
    {"$.x = 1", 4, "unexpected character '='"},
    {"1e", 2, "exponent"},
    {"3abc", 1, "expected an operator after a number"},
    {"$. x", 2, "expected a member name"},
    {"$.x[abc]", 4, "expected a number"},
    {"$.x[-1]", 4, "expected a number"},
    {"$.x[1", 5, "expected ']'"},
    {"$.x[99999999999]", 4, "number too large"},
    {"$.(1", 4, "expected ')' after a union label"},
    {"$.(red)", 3, "expected a union label"},
    {"exist 1", 6, "expected a component ($...), found '1'"},
    {"default", 7, "expected a component"},
    {"$x$y", 2, "expected an operator"},
    {"()", 1, "expected a value"},
    {"1e999", 0, "out of range"},
};

TEST(FilterConstraintParse, MalformedConstraintsAreRefusedWithTheirPosition) {
  for (const Malformed& malformed : kMalformed) {
    SCOPED_TRACE(malformed.constraint);
    std::unique_ptr<Constraint> constraint;
    const ParseResult result = Constraint::Compile(malformed.constraint, &constraint);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(malformed.position, result.position);
    EXPECT_NE(std::string::npos, result.error.find(malformed.error)) << result.error;
    EXPECT_EQ(nullptr, constraint);
  }
}

TEST(FilterConstraintParse, AFailedCompileLeavesTheConstraintAsItWas) {
  std::unique_ptr<Constraint> constraint;
  ASSERT_TRUE(Constraint::Compile("TRUE", &constraint).ok);
  const Constraint* before = constraint.get();
  EXPECT_FALSE(Constraint::Compile("TRUE and", &constraint).ok);
  EXPECT_EQ(before, constraint.get());
}

std::string Repeated(const std::string& part, std::size_t times) {
  std::string text;
  text.reserve(part.size() * times);
  for (std::size_t i = 0; i < times; ++i) text += part;
  return text;
}

struct Bound {
  const char* what;
  std::string constraint;
  bool accepted;
  const char* error;  // a part of the message when refused
};

// Each refused input would overflow the stack of a parser or evaluator that
// recursed without bound; the accepted ones sit at the limits.
TEST(FilterConstraintParse, LengthAndNestingAreBounded) {
  const std::size_t limit = kMaxConstraintNesting;
  const Bound bounds[] = {
      {"100,000 parentheses", Repeated("(", 100000) + "TRUE" + Repeated(")", 100000), false,
       "longer than 65536 characters"},
      {"30,000 parentheses", Repeated("(", 30000) + "TRUE" + Repeated(")", 30000), false,
       "nested deeper than 256"},
      {"16,000 nots", Repeated("not ", 16000) + "TRUE", false, "nested deeper than 256"},
      {"60,000 minus signs", Repeated("-", 60000) + "1 == 1", false, "nested deeper than 256"},
      {"16,000 additions", Repeated("1 + ", 16000) + "1 == 1", false, "nested deeper than 256"},
      {"100,000 nots", Repeated("not ", 100000) + "TRUE", false, "longer than"},
      {"one character too long", Repeated(" ", kMaxConstraintLength - 3) + "TRUE", false,
       "longer than"},
      {"as long as allowed", Repeated(" ", kMaxConstraintLength - 4) + "TRUE", true, ""},
      {"as deep as allowed", Repeated("(", limit - 1) + "TRUE" + Repeated(")", limit - 1), true,
       ""},
      {"one level too deep", Repeated("(", limit + 1) + "TRUE" + Repeated(")", limit + 1), false,
       "nested deeper"},
      {"a long flat or", Repeated("FALSE or ", 7000) + "TRUE", true, ""},
      {"a long flat and", Repeated("TRUE and ", 7000) + "TRUE", true, ""},
  };
  const std::vector<CosNotification::StructuredEvent> events = testing::LanguageEvents();
  for (const Bound& bound : bounds) {
    SCOPED_TRACE(bound.what);
    std::unique_ptr<Constraint> constraint;
    const ParseResult result = Constraint::Compile(bound.constraint, &constraint);
    EXPECT_EQ(bound.accepted, result.ok) << result.error;
    if (!bound.accepted) {
      EXPECT_NE(std::string::npos, result.error.find(bound.error)) << result.error;
      EXPECT_LE(result.position, bound.constraint.size());
      continue;
    }
    EventView view(events[0]);
    EXPECT_TRUE(constraint->Matches(&view));
  }
}

TEST(FilterConstraintParse, TheDepthErrorPointsAtTheFirstLevelTooMany) {
  std::unique_ptr<Constraint> constraint;
  const std::string text = "  " + Repeated("(", 1000) + "1" + Repeated(")", 1000);
  const ParseResult result = Constraint::Compile(text, &constraint);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(2 + static_cast<std::size_t>(kMaxConstraintNesting), result.position);
}

}  // namespace
}  // namespace filter
}  // namespace kestrel
