#include "filter/operand.h"

#include <cmath>

namespace kestrel {
namespace filter {

namespace {

double AsDouble(const Operand& operand) {
  return operand.kind == OperandKind::kInteger ? static_cast<double>(operand.integer)
                                               : operand.real;
}

Operand FiniteFloat(double real) {
  return std::isfinite(real) ? Operand::Float(real) : Operand::Error();
}

Operand IntegerArithmetic(Op op, int64_t left, int64_t right) {
  int64_t result = 0;
  bool overflow = false;
  switch (op) {
    case Op::kAdd: overflow = __builtin_add_overflow(left, right, &result); break;
    case Op::kSubtract: overflow = __builtin_sub_overflow(left, right, &result); break;
    case Op::kMultiply: overflow = __builtin_mul_overflow(left, right, &result); break;
    default: return Operand::Error();
  }
  return overflow ? Operand::Error() : Operand::Integer(result);
}

Operand FloatArithmetic(Op op, double left, double right) {
  switch (op) {
    case Op::kAdd: return FiniteFloat(left + right);
    case Op::kSubtract: return FiniteFloat(left - right);
    case Op::kMultiply: return FiniteFloat(left * right);
    case Op::kDivide: return right == 0 ? Operand::Error() : FiniteFloat(left / right);
    default: return Operand::Error();
  }
}

// -1, 0 or 1 as left is below, equal to or above right; false when the two
// cannot be compared.
bool Order(const Operand& left, const Operand& right, int* order) {
  if (left.kind == OperandKind::kInteger && right.kind == OperandKind::kInteger) {
    *order = (left.integer > right.integer) - (left.integer < right.integer);
    return true;
  }
  if (left.IsNumber() && right.IsNumber()) {
    const double a = AsDouble(left);
    const double b = AsDouble(right);
    *order = (a > b) - (a < b);
    return true;
  }
  if (left.kind == OperandKind::kString && right.kind == OperandKind::kString) {
    const int compared = left.text.compare(right.text);
    *order = (compared > 0) - (compared < 0);
    return true;
  }
  if (left.kind == OperandKind::kBoolean && right.kind == OperandKind::kBoolean) {
    *order = static_cast<int>(left.boolean) - static_cast<int>(right.boolean);
    return true;
  }
  return false;
}

}  // namespace

Operand Operand::Boolean(bool boolean) {
  Operand operand;
  operand.kind = OperandKind::kBoolean;
  operand.boolean = boolean;
  return operand;
}

Operand Operand::Integer(int64_t integer) {
  Operand operand;
  operand.kind = OperandKind::kInteger;
  operand.integer = integer;
  return operand;
}

Operand Operand::Float(double real) {
  Operand operand;
  operand.kind = OperandKind::kFloat;
  operand.real = real;
  return operand;
}

Operand Operand::String(std::string_view text) {
  Operand operand;
  operand.kind = OperandKind::kString;
  operand.text = text;
  return operand;
}

Operand Operand::FromValue(const Value* value) {
  if (value == nullptr) return Error();
  switch (value->kind) {
    case ValueKind::kBoolean: return Boolean(value->boolean);
    case ValueKind::kInteger: return Integer(value->integer);
    case ValueKind::kFloat: return Float(value->real);
    case ValueKind::kString: case ValueKind::kEnum: return String(value->text);
    case ValueKind::kStruct: case ValueKind::kUnion: case ValueKind::kSequence: {
      Operand operand;
      operand.kind = OperandKind::kComposite;
      operand.value = value;
      return operand;
    }
    default: return Error();
  }
}

Operand Arithmetic(Op op, const Operand& left, const Operand& right) {
  if (!left.IsNumber() || !right.IsNumber()) return Operand::Error();
  if (op != Op::kDivide && left.kind == OperandKind::kInteger &&
      right.kind == OperandKind::kInteger) {
    return IntegerArithmetic(op, left.integer, right.integer);
  }
  return FloatArithmetic(op, AsDouble(left), AsDouble(right));
}

Operand Negate(const Operand& operand) {
  if (operand.kind == OperandKind::kFloat) return Operand::Float(-operand.real);
  if (operand.kind != OperandKind::kInteger) return Operand::Error();
  return IntegerArithmetic(Op::kSubtract, 0, operand.integer);
}

Operand Compare(Op op, const Operand& left, const Operand& right) {
  int order;
  if (!Order(left, right, &order)) return Operand::Error();
  switch (op) {
    case Op::kEqual: return Operand::Boolean(order == 0);
    case Op::kNotEqual: return Operand::Boolean(order != 0);
    case Op::kLess: return Operand::Boolean(order < 0);
    case Op::kLessEqual: return Operand::Boolean(order <= 0);
    case Op::kGreater: return Operand::Boolean(order > 0);
    case Op::kGreaterEqual: return Operand::Boolean(order >= 0);
    default: return Operand::Error();
  }
}

Operand Substring(const Operand& left, const Operand& right) {
  if (left.kind != OperandKind::kString || right.kind != OperandKind::kString) {
    return Operand::Error();
  }
  return Operand::Boolean(right.text.find(left.text) != std::string_view::npos);
}

bool Equal(const Operand& left, const Operand& right) {
  int order;
  return Order(left, right, &order) && order == 0;
}

}  // namespace filter
}  // namespace kestrel
