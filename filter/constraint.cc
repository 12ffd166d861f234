#include "filter/constraint.h"

#include <new>

#include "filter/evaluator.h"
#include "filter/parser.h"

namespace kestrel {
namespace filter {

ParseResult Constraint::Compile(std::string_view text, std::unique_ptr<Constraint>* constraint) {
  try {
    std::unique_ptr<Constraint> compiled(new Constraint);
    ParseResult result = Parser::Parse(text, &compiled->tree_);
    if (result.ok) *constraint = std::move(compiled);
    return result;
  } catch (const std::bad_alloc&) {
    return ParseResult::Failure("out of memory", 0);
  }
}

// An event whose values exhaust the memory is one that the constraint
// cannot be evaluated for.
bool Constraint::Matches(EventView* view) const {
  try {
    return Evaluator(tree_, view).Matches();
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace filter
}  // namespace kestrel
