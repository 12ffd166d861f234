// Union paths for every kind of discriminator that labels can be written
// for: `.(label)` reaches the active member only under its own label,
// `._d` is the discriminator, and `.()` and `default` tell the default
// member. Each union is
//   union U switch (D) { case L1: long a; case L2: string b; default: double c; };
// (no default for boolean), holding a = 7 under L1, or c = 1.5 under a value
// that no case names.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "filter/constraint.h"
#include "filter/event_view.h"
#include "tests/filter/test_events.h"
#include "tests/support/orb_environment.h"

namespace kestrel {
namespace filter {
namespace {

using Write = std::function<void(cdrStream&)>;

CORBA::ORB_ptr Orb() { return kestrel::testing::OrbEnvironment::orb().in(); }

CORBA::TypeCode_ptr ColourType() {
  CORBA::EnumMemberSeq members;
  members.length(3);
  members[0] = "RED";
  members[1] = "GREEN";
  members[2] = "BLUE";
  return Orb()->create_enum_tc("IDL:Lab/Colour:1.0", "Colour", members);
}

struct UnionKind {
  const char* what;
  std::function<CORBA::TypeCode_ptr()> discriminator;
  Write first, second, unnamed;  // each writes one discriminator value
  const char* firstLabel;        // as a constraint writes them
  const char* secondLabel;
  bool hasDefault;
};

CORBA::TypeCode_ptr UnionType(const UnionKind& kind, CORBA::TypeCode_ptr discriminator) {
  CORBA::UnionMemberSeq members;
  members.length(kind.hasDefault ? 3 : 2);
  const Write* labels[] = {&kind.first, &kind.second};
  const char* names[] = {"a", "b"};
  CORBA::TypeCode_ptr types[] = {CORBA::_tc_long, CORBA::_tc_string};
  for (int i = 0; i < 2; ++i) {
    members[i].name = names[i];
    kestrel::testing::Compose(members[i].label, discriminator, *labels[i]);
    members[i].type = CORBA::TypeCode::_duplicate(types[i]);
  }
  if (kind.hasDefault) {
    members[2].name = "c";
    members[2].label <<= CORBA::Any::from_octet(0);
    members[2].type = CORBA::TypeCode::_duplicate(CORBA::_tc_double);
  }
  return Orb()->create_union_tc("IDL:Lab/U:1.0", "U", discriminator, members);
}

// An event whose body is the union, active under discriminator.
CosNotification::StructuredEvent UnionEvent(const UnionKind& kind, const Write& discriminator,
                                            bool defaultArm) {
  CosNotification::StructuredEvent event = kestrel::testing::EventNamed("Lab", "Union", "u");
  CORBA::TypeCode_var discriminatorType = kind.discriminator();
  CORBA::TypeCode_var type = UnionType(kind, discriminatorType);
  kestrel::testing::Compose(event.remainder_of_body, type, [&](cdrStream& out) {
    discriminator(out);
    if (defaultArm) {
      CORBA::Double(1.5) >>= out;
    } else {
      CORBA::Long(7) >>= out;
    }
  });
  return event;
}

bool Matches(const std::string& text, const CosNotification::StructuredEvent& event) {
  std::unique_ptr<Constraint> constraint;
  const ParseResult result = Constraint::Compile(text, &constraint);
  EXPECT_TRUE(result.ok) << text << ": " << result.error;
  if (!result.ok) return false;
  EventView view(event);
  return constraint->Matches(&view);
}

TEST(FilterUnionPaths, LabelsDiscriminatorsAndDefaultsOfEveryKind) {
  const UnionKind kinds[] = {
      {"short", [] { return CORBA::TypeCode::_duplicate(CORBA::_tc_short); },
       [](cdrStream& out) { CORBA::Short(2) >>= out; },
       [](cdrStream& out) { CORBA::Short(5) >>= out; },
       [](cdrStream& out) { CORBA::Short(9) >>= out; }, "2", "5", true},
      {"long", [] { return CORBA::TypeCode::_duplicate(CORBA::_tc_long); },
       [](cdrStream& out) { CORBA::Long(-2) >>= out; },
       [](cdrStream& out) { CORBA::Long(5) >>= out; },
       [](cdrStream& out) { CORBA::Long(9) >>= out; }, "-2", "5", true},
      {"unsigned long long", [] { return CORBA::TypeCode::_duplicate(CORBA::_tc_ulonglong); },
       [](cdrStream& out) { CORBA::ULongLong(1) >>= out; },
       [](cdrStream& out) { CORBA::ULongLong(2) >>= out; },
       [](cdrStream& out) { CORBA::ULongLong(3) >>= out; }, "1", "2", true},
      {"char", [] { return CORBA::TypeCode::_duplicate(CORBA::_tc_char); },
       [](cdrStream& out) { out.marshalChar('x'); },
       [](cdrStream& out) { out.marshalChar('y'); },
       [](cdrStream& out) { out.marshalChar('z'); }, "'x'", "'y'", true},
      {"enum", ColourType,
       [](cdrStream& out) { CORBA::ULong(1) >>= out; },
       [](cdrStream& out) { CORBA::ULong(2) >>= out; },
       [](cdrStream& out) { CORBA::ULong(0) >>= out; }, "'GREEN'", "'BLUE'", true},
      {"boolean", [] { return CORBA::TypeCode::_duplicate(CORBA::_tc_boolean); },
       [](cdrStream& out) { out.marshalBoolean(true); },
       [](cdrStream& out) { out.marshalBoolean(false); }, nullptr, "TRUE", "FALSE", false},
  };
  for (const UnionKind& kind : kinds) {
    SCOPED_TRACE(kind.what);
    const std::string first = kind.firstLabel;
    const std::string second = kind.secondLabel;
    const CosNotification::StructuredEvent labelled = UnionEvent(kind, kind.first, false);
    EXPECT_TRUE(Matches("$.remainder_of_body.(" + first + ") == 7", labelled));
    EXPECT_FALSE(Matches("$.remainder_of_body.(" + second + ") == 7", labelled));
    EXPECT_FALSE(Matches("exist $.remainder_of_body.(" + second + ")", labelled));
    EXPECT_TRUE(Matches("$.remainder_of_body._d == " + first, labelled));
    EXPECT_FALSE(Matches("$.remainder_of_body._d == " + second, labelled));
    EXPECT_FALSE(Matches("default $.remainder_of_body", labelled));
    EXPECT_TRUE(Matches("not default $.remainder_of_body", labelled));
    EXPECT_FALSE(Matches("exist $.remainder_of_body.()", labelled));
    if (!kind.hasDefault) continue;
    const CosNotification::StructuredEvent unnamed = UnionEvent(kind, kind.unnamed, true);
    EXPECT_TRUE(Matches("default $.remainder_of_body", unnamed));
    EXPECT_TRUE(Matches("$.remainder_of_body.() == 1.5", unnamed));
    EXPECT_FALSE(Matches("exist $.remainder_of_body.(" + first + ")", unnamed));
  }
}

}  // namespace
}  // namespace filter
}  // namespace kestrel
