// Builds the syntax tree of a constraint from its tokens, by recursive
// descent over the trader constraint language's grammar, lowest precedence
// first:
//   or, and                              (left to right, kept flat)
//   == != < <= > >=                      (at most one per operand)
//   in                                   (a value in a sequence)
//   ~                                    (a substring of)
//   + -
//   * /
//   not                                  (binds to the factor after it)
//   unary -
//   ( ... ), literals, components, exist <component>, default <component>
// As in that grammar, `not` binds tighter than a comparison:
// `not $a == 1` is `(not $a) == 1`; write `not ($a == 1)`.
//
// Every level of parentheses, `not` and unary minus counts towards
// kMaxConstraintNesting before the parser descends into it, and every node
// checks the height of the tree under it, so neither the parser nor the
// evaluator recurses deeper than that.

#ifndef KESTREL_FILTER_PARSER_H_
#define KESTREL_FILTER_PARSER_H_

#include <string>
#include <string_view>
#include <vector>

#include "filter/lexer.h"
#include "filter/parse_result.h"
#include "filter/syntax_tree.h"

namespace kestrel {
namespace filter {

class Parser {
 public:
  // Parses text into tree. An empty or blank text parses into the empty
  // constraint.
  static ParseResult Parse(std::string_view text, SyntaxTree* tree);

 private:
  Parser(std::string_view text, std::vector<Token> tokens, SyntaxTree* tree)
      : text_(text), tokens_(std::move(tokens)), tree_(tree) {}

  ParseResult Or(int* node);
  ParseResult And(int* node);
  ParseResult Flat(Op op, TokenKind separator, int* node);
  ParseResult Comparison(int* node);
  ParseResult In(int* node);
  ParseResult Substring(int* node);
  ParseResult Sum(int* node);
  ParseResult Product(int* node);
  ParseResult Not(int* node);
  ParseResult Negation(int* node);
  ParseResult Primary(int* node);
  ParseResult Parenthesised(int* node);
  ParseResult Literal(int* node);
  ParseResult ComponentOperand(Op op, int* node);

  ParseResult Operand(Op op, int* node);
  ParseResult Binary(Op op, int left, int right, std::size_t position, int* node);
  ParseResult Unary(Op op, int child, std::size_t position, int* node);
  ParseResult Deeper(std::size_t position);
  int NewNode(Op op);

  const Token& Current() const { return tokens_[next_]; }
  TokenKind Kind() const { return tokens_[next_].kind; }
  ParseResult Unexpected(const char* expected) const;
  std::string Found() const;

  std::string_view text_;
  std::vector<Token> tokens_;
  std::size_t next_ = 0;
  int depth_ = 0;
  SyntaxTree* tree_;
};

}  // namespace filter
}  // namespace kestrel

#endif  // KESTREL_FILTER_PARSER_H_
