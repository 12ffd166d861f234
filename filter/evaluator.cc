#include "filter/evaluator.h"

#include "filter/component_path.h"

namespace kestrel {
namespace filter {

bool Evaluator::Matches() {
  if (tree_.root < 0) return true;
  const Operand result = Evaluate(tree_.root);
  return result.kind == OperandKind::kBoolean && result.boolean;
}

Operand Evaluator::Evaluate(int index) {
  const Node& node = tree_.nodes[index];
  switch (node.op) {
    case Op::kBoolean: case Op::kInteger: case Op::kFloat: case Op::kString:
      return Literal(node);
    case Op::kComponent: return ResolveOperand(tree_.components[node.component], view_);
    case Op::kExist: return Exist(node);
    case Op::kDefault: return Default(node);
    case Op::kNot: return Not(node);
    case Op::kNegate: return Negate(Evaluate(node.children[0]));
    case Op::kAnd: case Op::kOr: return Logical(node);
    case Op::kIn: return In(node);
    default: break;
  }
  const Operand left = Evaluate(node.children[0]);
  if (left.IsError()) return left;
  const Operand right = Evaluate(node.children[1]);
  switch (node.op) {
    case Op::kAdd: case Op::kSubtract: case Op::kMultiply: case Op::kDivide:
      return Arithmetic(node.op, left, right);
    case Op::kSubstring: return Substring(left, right);
    default: return Compare(node.op, left, right);
  }
}

Operand Evaluator::Literal(const Node& node) const {
  switch (node.op) {
    case Op::kBoolean: return Operand::Boolean(node.boolean);
    case Op::kInteger: return Operand::Integer(node.integer);
    case Op::kFloat: return Operand::Float(node.real);
    default: return Operand::String(node.text);
  }
}

// Three-valued: the deciding value (TRUE for or, FALSE for and) wins over
// an error, wherever the two stand.
Operand Evaluator::Logical(const Node& node) {
  const bool deciding = node.op == Op::kOr;
  bool error = false;
  for (int child : node.children) {
    const Operand operand = Evaluate(child);
    if (operand.kind != OperandKind::kBoolean) {
      error = true;
    } else if (operand.boolean == deciding) {
      return operand;
    }
  }
  return error ? Operand::Error() : Operand::Boolean(!deciding);
}

Operand Evaluator::Not(const Node& node) {
  const Operand operand = Evaluate(node.children[0]);
  if (operand.kind != OperandKind::kBoolean) return Operand::Error();
  return Operand::Boolean(!operand.boolean);
}

Operand Evaluator::Exist(const Node& node) {
  return Operand::Boolean(!ResolveOperand(tree_.components[node.component], view_).IsError() ||
                          ResolveValue(tree_.components[node.component], view_) != nullptr);
}

Operand Evaluator::Default(const Node& node) {
  const Value* value = ResolveValue(tree_.components[node.component], view_);
  if (value == nullptr || value->kind != ValueKind::kUnion) return Operand::Error();
  return Operand::Boolean(value->hasMember && value->isDefault);
}

// An element of another kind than the value sought is no match, not an
// error: a sequence of anys may mix kinds.
Operand Evaluator::In(const Node& node) {
  const Operand sought = Evaluate(node.children[0]);
  if (sought.IsError() || sought.kind == OperandKind::kComposite) return Operand::Error();
  const Operand sequence = Evaluate(node.children[1]);
  if (sequence.kind != OperandKind::kComposite || sequence.value->kind != ValueKind::kSequence) {
    return Operand::Error();
  }
  for (const Value* element : sequence.value->items) {
    if (Equal(sought, Operand::FromValue(view_->Content(element)))) return Operand::Boolean(true);
  }
  return Operand::Boolean(false);
}

}  // namespace filter
}  // namespace kestrel
