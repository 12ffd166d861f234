#include "filter/constraint.h"

#include "filter/evaluator.h"
#include "filter/parser.h"

namespace kestrel {
namespace filter {

ParseResult Constraint::Compile(std::string_view text, std::unique_ptr<Constraint>* constraint) {
  std::unique_ptr<Constraint> compiled(new Constraint);
  ParseResult result = Parser::Parse(text, &compiled->tree_);
  if (result.ok) *constraint = std::move(compiled);
  return result;
}

bool Constraint::Matches(EventView* view) const { return Evaluator(tree_, view).Matches(); }

}  // namespace filter
}  // namespace kestrel
