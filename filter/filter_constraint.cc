#include "filter/filter_constraint.h"

#include "filter/event_type_match.h"

namespace kestrel {
namespace filter {

ParseResult FilterConstraint::Compile(const CosNotification::EventTypeSeq& types,
                                      const char* expression,
                                      std::unique_ptr<FilterConstraint>* constraint) {
  std::unique_ptr<FilterConstraint> compiled(new FilterConstraint);
  compiled->expression_ = expression != nullptr ? expression : "";
  ParseResult result = Constraint::Compile(compiled->expression_, &compiled->constraint_);
  if (!result.ok) return result;
  compiled->types_ = types;
  *constraint = std::move(compiled);
  return result;
}

bool FilterConstraint::Matches(EventView* view) const {
  return EventTypesMatch(types_, view->domain_name(), view->type_name()) &&
         constraint_->Matches(view);
}

}  // namespace filter
}  // namespace kestrel
