// One constraint of a CosNotification filter: the event types it applies
// to and its expression, compiled once. What a filter object holds for each
// of its constraints.
//
// Thread-safe for Matches, as Constraint is.

#ifndef KESTREL_FILTER_FILTER_CONSTRAINT_H_
#define KESTREL_FILTER_FILTER_CONSTRAINT_H_

#include <COS/CosNotification.hh>

#include <memory>
#include <string>

#include "filter/constraint.h"
#include "filter/event_view.h"
#include "filter/parse_result.h"

namespace kestrel {
namespace filter {

class FilterConstraint {
 public:
  // Compiles expression for the event types given (see event_type_match.h)
  // into *constraint; on failure leaves it as it was and answers why.
  static ParseResult Compile(const CosNotification::EventTypeSeq& types, const char* expression,
                             std::unique_ptr<FilterConstraint>* constraint);

  FilterConstraint(const FilterConstraint&) = delete;
  FilterConstraint& operator=(const FilterConstraint&) = delete;

  // True when the event's type is among the types and it satisfies the
  // expression.
  bool Matches(EventView* view) const;

  const CosNotification::EventTypeSeq& types() const { return types_; }
  const std::string& expression() const { return expression_; }

 private:
  FilterConstraint() = default;

  CosNotification::EventTypeSeq types_;
  std::string expression_;
  std::unique_ptr<Constraint> constraint_;
};

}  // namespace filter
}  // namespace kestrel

#endif  // KESTREL_FILTER_FILTER_CONSTRAINT_H_
