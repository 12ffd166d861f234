// One compiled constraint of the extended trader constraint language
// (EXTENDED_TCL), the language of CosNotification filters, over structured
// events. Parsed once; evaluated against any number of events.
//
// The language, in short (lexer.h, parser.h, component_path.h and
// operand.h have the details):
//   literals       42  2.5  1e3  'text' ('it\'s', '\\')  TRUE  FALSE
//   operators      + - * /  == != < <= > >=  and or not  ~  in
//                  exist <component>   default <component>
//   components     $.header.fixed_header.event_type.domain_name
//                  $.filterable_data[0].name  $.remainder_of_body.mSeverity
//                  $domain_name $type_name $event_name (the fixed header)
//                  $name: the property name, from the filterable data, else
//                  the variable header
// A constraint that cannot be evaluated for an event (a missing member, a
// mismatch of kinds, division by zero, an index past the end) is false for
// that event. The empty constraint is true for every event.
//
// Thread-safe: Matches changes nothing of the constraint, so many threads may
// evaluate one constraint, each against an EventView of its own.

#ifndef KESTREL_FILTER_CONSTRAINT_H_
#define KESTREL_FILTER_CONSTRAINT_H_

#include <memory>
#include <string_view>

#include "filter/event_view.h"
#include "filter/parse_result.h"
#include "filter/syntax_tree.h"

namespace kestrel {
namespace filter {

class Constraint {
 public:
  // Compiles text into *constraint. On failure leaves *constraint as it was
  // and answers why, and the offset in text where (see limits.h for the
  // length and nesting that are refused). Never raises; running out of
  // memory is a failure too.
  static ParseResult Compile(std::string_view text, std::unique_ptr<Constraint>* constraint);

  Constraint(const Constraint&) = delete;
  Constraint& operator=(const Constraint&) = delete;

  // True when the event that view shows satisfies the constraint. Never
  // raises: running out of memory makes it false.
  bool Matches(EventView* view) const;

 private:
  Constraint() = default;

  SyntaxTree tree_;
};

}  // namespace filter
}  // namespace kestrel

#endif  // KESTREL_FILTER_CONSTRAINT_H_
