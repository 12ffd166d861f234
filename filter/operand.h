// The values that a constraint's operators work on, and the language's rules
// for them:
//   - numbers compare and compute by value whatever their kinds: integers
//     exactly, and as double once either side is floating point; `/`
//     always divides in floating point (7 / 2 == 3.5); integer overflow,
//     division by zero and an infinite or undefined result are errors;
//   - strings compare with strings, byte by byte; `~` is true when the left
//     string occurs in the right one;
//   - booleans compare with booleans, FALSE below TRUE;
//   - an enum is the name of its member, a string: `$.colour == 'RED'`; a
//     char is a one-character string;
//   - anything else (a mismatch of kinds, a struct compared with a number)
//     is an error, which makes the whole constraint false.
// An error is a value of its own, kError, and passes through every operator
// but `and` and `or`, which use three-valued logic: FALSE and anything is
// FALSE, TRUE or anything is TRUE. So `not` of an error stays an error,
// and a missing member never selects an event through a negation.

#ifndef KESTREL_FILTER_OPERAND_H_
#define KESTREL_FILTER_OPERAND_H_

#include <cstdint>
#include <string_view>

#include "filter/syntax_tree.h"
#include "filter/value.h"

namespace kestrel {
namespace filter {

enum class OperandKind { kError, kBoolean, kInteger, kFloat, kString, kComposite };

struct Operand {
  OperandKind kind = OperandKind::kError;
  bool boolean = false;
  int64_t integer = 0;
  double real = 0;
  std::string_view text;
  const Value* value = nullptr;  // kComposite: a struct, union or sequence

  static Operand Error() { return Operand(); }
  static Operand Boolean(bool boolean);
  static Operand Integer(int64_t integer);
  static Operand Float(double real);
  static Operand String(std::string_view text);

  // value as an operand; an any must have been unwrapped before (see
  // EventView::Content), and one that was not, or holds nothing, is an
  // error.
  static Operand FromValue(const Value* value);

  bool IsError() const { return kind == OperandKind::kError; }
  bool IsNumber() const { return kind == OperandKind::kInteger || kind == OperandKind::kFloat; }
};

// +, -, *, / on two operands.
Operand Arithmetic(Op op, const Operand& left, const Operand& right);

// Unary minus.
Operand Negate(const Operand& operand);

// ==, !=, <, <=, >, >= on two operands.
Operand Compare(Op op, const Operand& left, const Operand& right);

// left ~ right.
Operand Substring(const Operand& left, const Operand& right);

// True when left and right are of comparable kinds and equal.
bool Equal(const Operand& left, const Operand& right);

}  // namespace filter
}  // namespace kestrel

#endif  // KESTREL_FILTER_OPERAND_H_
