#include "filter/lexer.h"

#include <cerrno>
#include <cstdlib>
#include <limits>

namespace kestrel {
namespace filter {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

struct Keyword {
  const char* word;
  TokenKind kind;
};

const Keyword kKeywords[] = {
    {"and", TokenKind::kAnd},     {"or", TokenKind::kOr},       {"not", TokenKind::kNot},
    {"in", TokenKind::kIn},       {"exist", TokenKind::kExist}, {"default", TokenKind::kDefault},
    {"TRUE", TokenKind::kTrue},   {"FALSE", TokenKind::kFalse},
};

// The header's fields that have a name of their own.
struct HeaderVariable {
  const char* name;
  const char* path[3];
};

const HeaderVariable kHeaderVariables[] = {
    {"domain_name", {"fixed_header", "event_type", "domain_name"}},
    {"type_name", {"fixed_header", "event_type", "type_name"}},
    {"event_name", {"fixed_header", "event_name", nullptr}},
};

Step MemberStep(const char* name) {
  Step step;
  step.kind = StepKind::kMember;
  step.name = name;
  return step;
}

// $domain_name and its kind are paths through the header, so the evaluator
// knows only two roots.
bool SetHeaderVariable(const std::string& name, Component* component) {
  for (const HeaderVariable& variable : kHeaderVariables) {
    if (name != variable.name) continue;
    component->steps.push_back(MemberStep("header"));
    for (const char* member : variable.path) {
      if (member != nullptr) component->steps.push_back(MemberStep(member));
    }
    return true;
  }
  return false;
}

}  // namespace

ParseResult Lexer::Tokenize(std::vector<Token>* tokens) {
  for (;;) {
    Token token;
    ParseResult result = Next(&token);
    if (!result.ok) return result;
    const bool end = token.kind == TokenKind::kEnd;
    tokens->push_back(std::move(token));
    if (end) return result;
  }
}

char Lexer::Peek(std::size_t ahead) const {
  return position_ + ahead < text_.size() ? text_[position_ + ahead] : '\0';
}

void Lexer::SkipSpace() {
  while (!AtEnd() && IsSpace(text_[position_])) ++position_;
}

ParseResult Lexer::Fail(const std::string& error) const {
  return ParseResult::Failure(error, position_);
}

std::string Lexer::Identifier() {
  const std::size_t start = position_;
  while (!AtEnd() && (IsLetter(Peek()) || IsDigit(Peek()))) ++position_;
  return std::string(text_.substr(start, position_ - start));
}

ParseResult Lexer::Next(Token* token) {
  SkipSpace();
  token->position = position_;
  if (AtEnd()) {
    token->kind = TokenKind::kEnd;
    return ParseResult::Success();
  }
  const char c = Peek();
  if (IsDigit(c) || (c == '.' && IsDigit(Peek(1)))) return Number(token);
  if (c == '\'') return String(token);
  if (IsLetter(c)) return Word(token);
  if (c == '$') return ComponentToken(token);
  return Symbol(token);
}

ParseResult Lexer::Number(Token* token) {
  const std::size_t start = position_;
  bool real = false;
  while (IsDigit(Peek())) ++position_;
  if (Peek() == '.') {
    real = true;
    ++position_;
    while (IsDigit(Peek())) ++position_;
  }
  if (Peek() == 'e' || Peek() == 'E') {
    real = true;
    ++position_;
    if (Peek() == '+' || Peek() == '-') ++position_;
    if (!IsDigit(Peek())) return Fail("expected the digits of an exponent");
    while (IsDigit(Peek())) ++position_;
  }
  if (IsLetter(Peek())) return Fail("expected an operator after a number");
  const std::string digits(text_.substr(start, position_ - start));
  errno = 0;
  if (!real) {
    const long long integer = std::strtoll(digits.c_str(), nullptr, 10);
    if (errno == 0) {
      token->kind = TokenKind::kInteger;
      token->integer = integer;
      return ParseResult::Success();
    }
    errno = 0;
  }
  token->kind = TokenKind::kFloat;
  token->real = std::strtod(digits.c_str(), nullptr);
  if (errno == ERANGE && token->real != 0) {
    return ParseResult::Failure("number out of range", start);
  }
  return ParseResult::Success();
}

ParseResult Lexer::String(Token* token) {
  const std::size_t start = position_++;
  token->kind = TokenKind::kString;
  for (;;) {
    if (AtEnd()) return ParseResult::Failure("unterminated string", start);
    const char c = text_[position_];
    if (c == '\'') {
      ++position_;
      return ParseResult::Success();
    }
    if (c == '\\') {
      const char escaped = Peek(1);
      if (escaped != '\'' && escaped != '\\') return Fail("unknown escape in a string");
      token->text.push_back(escaped);
      position_ += 2;
      continue;
    }
    token->text.push_back(c);
    ++position_;
  }
}

ParseResult Lexer::Word(Token* token) {
  const std::size_t start = position_;
  const std::string word = Identifier();
  for (const Keyword& keyword : kKeywords) {
    if (word == keyword.word) {
      token->kind = keyword.kind;
      return ParseResult::Success();
    }
  }
  return ParseResult::Failure("unknown word '" + word + "' (names start with $)", start);
}

ParseResult Lexer::Symbol(Token* token) {
  struct SymbolToken {
    const char* text;
    TokenKind kind;
  };
  // Two-character symbols first, so that "<=" is not read as "<".
  static const SymbolToken kSymbols[] = {
      {"==", TokenKind::kEqual}, {"!=", TokenKind::kNotEqual}, {"<=", TokenKind::kLessEqual},
      {">=", TokenKind::kGreaterEqual}, {"<", TokenKind::kLess}, {">", TokenKind::kGreater},
      {"(", TokenKind::kOpen}, {")", TokenKind::kClose}, {"+", TokenKind::kPlus},
      {"-", TokenKind::kMinus}, {"*", TokenKind::kStar}, {"/", TokenKind::kSlash},
      {"~", TokenKind::kTilde},
  };
  for (const SymbolToken& symbol : kSymbols) {
    if (text_.substr(position_).rfind(symbol.text, 0) == 0) {
      token->kind = symbol.kind;
      position_ += std::char_traits<char>::length(symbol.text);
      return ParseResult::Success();
    }
  }
  return Fail(std::string("unexpected character '") + Peek() + "'");
}

ParseResult Lexer::ComponentToken(Token* token) {
  ++position_;  // '$'
  token->kind = TokenKind::kComponent;
  Component& component = token->component;
  if (IsLetter(Peek())) {
    const std::string name = Identifier();
    if (!SetHeaderVariable(name, &component)) {
      component.isProperty = true;
      component.property = name;
    }
  }
  while (Peek() == '.' || Peek() == '[') {
    ParseResult result = ComponentStep(&component);
    if (!result.ok) return result;
  }
  if (IsLetter(Peek()) || IsDigit(Peek())) return Fail("expected '.' or '[' in a component");
  return ParseResult::Success();
}

ParseResult Lexer::ComponentStep(Component* component) {
  if (Peek() == '[') return Index(component);
  ++position_;  // '.'
  return DotStep(component);
}

ParseResult Lexer::DotStep(Component* component) {
  Step step;
  if (Peek() == '(') return UnionLabel(component);
  if (IsDigit(Peek())) {
    step.kind = StepKind::kPosition;
    ParseResult result = Digits(&step.number);
    if (!result.ok) return result;
    component->steps.push_back(step);
    return result;
  }
  if (!IsLetter(Peek())) return Fail("expected a member name, a position or '(' after '.'");
  step.name = Identifier();
  step.kind = StepKind::kMember;
  if (step.name == "_d") step.kind = StepKind::kDiscriminator;
  if (step.name == "_length") step.kind = StepKind::kLength;
  if (step.name == "_type_id") step.kind = StepKind::kTypeId;
  if (step.name == "_repos_id") step.kind = StepKind::kRepositoryId;
  component->steps.push_back(step);
  return ParseResult::Success();
}

ParseResult Lexer::UnionLabel(Component* component) {
  ++position_;  // '('
  SkipSpace();
  Step step;
  step.kind = StepKind::kUnionLabel;
  if (Peek() == ')') {
    step.kind = StepKind::kUnionDefault;
  } else if (Peek() == '\'') {
    Token string;
    ParseResult result = String(&string);
    if (!result.ok) return result;
    step.label = LabelKind::kString;
    step.name = string.text;
  } else if (IsLetter(Peek())) {
    const std::size_t start = position_;
    const std::string word = Identifier();
    if (word != "TRUE" && word != "FALSE") {
      return ParseResult::Failure("expected a union label", start);
    }
    step.label = LabelKind::kBoolean;
    step.boolean = word == "TRUE";
  } else {
    const bool negative = Peek() == '-';
    if (negative || Peek() == '+') ++position_;
    ParseResult result = Digits(&step.number);
    if (!result.ok) return result;
    if (negative) step.number = -step.number;
  }
  SkipSpace();
  if (Peek() != ')') return Fail("expected ')' after a union label");
  ++position_;
  component->steps.push_back(step);
  return ParseResult::Success();
}

ParseResult Lexer::Index(Component* component) {
  ++position_;  // '['
  SkipSpace();
  Step step;
  step.kind = StepKind::kIndex;
  ParseResult result = Digits(&step.number);
  if (!result.ok) return result;
  SkipSpace();
  if (Peek() != ']') return Fail("expected ']' after an index");
  ++position_;
  component->steps.push_back(step);
  return ParseResult::Success();
}

// A non-negative decimal number that fits in 32 bits, as every position,
// index and union label of a CORBA value does.
ParseResult Lexer::Digits(int64_t* number) {
  if (!IsDigit(Peek())) return Fail("expected a number");
  const std::size_t start = position_;
  *number = 0;
  while (IsDigit(Peek())) {
    *number = *number * 10 + (Peek() - '0');
    if (*number > std::numeric_limits<uint32_t>::max()) {
      return ParseResult::Failure("number too large", start);
    }
    ++position_;
  }
  return ParseResult::Success();
}

}  // namespace filter
}  // namespace kestrel
