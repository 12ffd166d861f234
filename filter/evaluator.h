// Evaluates a syntax tree against one event. Recurses once per level of the
// tree, which the parser has bounded by kMaxConstraintNesting.

#ifndef KESTREL_FILTER_EVALUATOR_H_
#define KESTREL_FILTER_EVALUATOR_H_

#include "filter/event_view.h"
#include "filter/operand.h"
#include "filter/syntax_tree.h"

namespace kestrel {
namespace filter {

class Evaluator {
 public:
  Evaluator(const SyntaxTree& tree, EventView* view) : tree_(tree), view_(view) {}

  // True only when the whole tree evaluates to TRUE; an empty tree is true.
  bool Matches();

 private:
  Operand Evaluate(int node);
  Operand Logical(const Node& node);
  Operand Not(const Node& node);
  Operand Exist(const Node& node);
  Operand Default(const Node& node);
  Operand In(const Node& node);
  Operand Literal(const Node& node) const;

  const SyntaxTree& tree_;
  EventView* view_;
};

}  // namespace filter
}  // namespace kestrel

#endif  // KESTREL_FILTER_EVALUATOR_H_
