// Splits a constraint into tokens. A component (`$` and its path) is one
// token whose steps the lexer reads itself, since its dots and digits mean
// something else than in numbers.
//
// Words: the operators `and or not in exist default`, the literals TRUE and
// FALSE. Numbers: digits, with an optional fraction and exponent; an
// integer too large for 64 bits reads as floating point. Strings: single
// quotes, with \' and \\ as the only escapes.

#ifndef KESTREL_FILTER_LEXER_H_
#define KESTREL_FILTER_LEXER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "filter/parse_result.h"
#include "filter/syntax_tree.h"

namespace kestrel {
namespace filter {

enum class TokenKind {
  kEnd, kInteger, kFloat, kString, kTrue, kFalse, kComponent,
  kOpen, kClose, kPlus, kMinus, kStar, kSlash,
  kEqual, kNotEqual, kLess, kLessEqual, kGreater, kGreaterEqual, kTilde,
  kAnd, kOr, kNot, kIn, kExist, kDefault,
};

struct Token {
  TokenKind kind = TokenKind::kEnd;
  std::size_t position = 0;
  int64_t integer = 0;
  double real = 0;
  std::string text;
  Component component;
};

class Lexer {
 public:
  explicit Lexer(std::string_view text) : text_(text) {}

  // Appends every token of the text to tokens, ending with kEnd.
  ParseResult Tokenize(std::vector<Token>* tokens);

 private:
  ParseResult Next(Token* token);
  ParseResult Number(Token* token);
  ParseResult String(Token* token);
  ParseResult Word(Token* token);
  ParseResult Symbol(Token* token);
  ParseResult ComponentToken(Token* token);
  ParseResult ComponentStep(Component* component);
  ParseResult DotStep(Component* component);
  ParseResult UnionLabel(Component* component);
  ParseResult Index(Component* component);
  ParseResult Digits(int64_t* number);

  void SkipSpace();
  bool AtEnd() const { return position_ >= text_.size(); }
  char Peek(std::size_t ahead = 0) const;
  std::string Identifier();
  ParseResult Fail(const std::string& error) const;

  std::string_view text_;
  std::size_t position_ = 0;
};

}  // namespace filter
}  // namespace kestrel

#endif  // KESTREL_FILTER_LEXER_H_
