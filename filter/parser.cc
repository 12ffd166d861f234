#include "filter/parser.h"

#include <algorithm>
#include <string>

#include "filter/limits.h"

namespace kestrel {
namespace filter {

namespace {

struct ComparisonToken {
  TokenKind token;
  Op op;
};

const ComparisonToken kComparisons[] = {
    {TokenKind::kEqual, Op::kEqual},        {TokenKind::kNotEqual, Op::kNotEqual},
    {TokenKind::kLess, Op::kLess},          {TokenKind::kLessEqual, Op::kLessEqual},
    {TokenKind::kGreater, Op::kGreater},    {TokenKind::kGreaterEqual, Op::kGreaterEqual},
};

// How much of the text an error quotes.
constexpr std::size_t kQuotedLength = 16;

const std::string kTooDeep = "constraint nested deeper than " +
                             std::to_string(kMaxConstraintNesting) + " levels";

// Decrements the nesting depth when a nested parse returns, however it ends.
class DepthGuard {
 public:
  explicit DepthGuard(int* depth) : depth_(depth) {}
  ~DepthGuard() { --*depth_; }

 private:
  int* depth_;
};

}  // namespace

ParseResult Parser::Parse(std::string_view text, SyntaxTree* tree) {
  *tree = SyntaxTree();
  if (text.size() > kMaxConstraintLength) {
    return ParseResult::Failure(
        "constraint longer than " + std::to_string(kMaxConstraintLength) + " characters",
        kMaxConstraintLength);
  }
  std::vector<Token> tokens;
  ParseResult result = Lexer(text).Tokenize(&tokens);
  if (!result.ok) return result;
  if (tokens.front().kind == TokenKind::kEnd) return result;
  Parser parser(text, std::move(tokens), tree);
  result = parser.Or(&tree->root);
  if (result.ok && parser.Kind() != TokenKind::kEnd) result = parser.Unexpected("an operator");
  if (!result.ok) *tree = SyntaxTree();
  return result;
}

ParseResult Parser::Unexpected(const char* expected) const {
  return ParseResult::Failure(std::string("expected ") + expected + ", found " + Found(),
                              Current().position);
}

// The start of the current token as the message quotes it.
std::string Parser::Found() const {
  if (Kind() == TokenKind::kEnd) return "the end";
  std::string_view rest = text_.substr(Current().position);
  const std::size_t end = rest.find_first_of(" \t\r\n");
  rest = rest.substr(0, std::min<std::size_t>(end, kQuotedLength));
  return "'" + std::string(rest) + "'";
}

int Parser::NewNode(Op op) {
  tree_->nodes.emplace_back();
  tree_->nodes.back().op = op;
  return static_cast<int>(tree_->nodes.size() - 1);
}

ParseResult Parser::Deeper(std::size_t position) {
  if (++depth_ > kMaxConstraintNesting) return ParseResult::Failure(kTooDeep, position);
  return ParseResult::Success();
}

ParseResult Parser::Binary(Op op, int left, int right, std::size_t position, int* node) {
  const int height = 1 + std::max(tree_->nodes[left].height, tree_->nodes[right].height);
  if (height > kMaxConstraintNesting) return ParseResult::Failure(kTooDeep, position);
  *node = NewNode(op);
  tree_->nodes[*node].children = {left, right};
  tree_->nodes[*node].height = height;
  return ParseResult::Success();
}

ParseResult Parser::Unary(Op op, int child, std::size_t position, int* node) {
  const int height = 1 + tree_->nodes[child].height;
  if (height > kMaxConstraintNesting) return ParseResult::Failure(kTooDeep, position);
  *node = NewNode(op);
  tree_->nodes[*node].children = {child};
  tree_->nodes[*node].height = height;
  return ParseResult::Success();
}

ParseResult Parser::Or(int* node) { return Flat(Op::kOr, TokenKind::kOr, node); }

ParseResult Parser::And(int* node) { return Flat(Op::kAnd, TokenKind::kAnd, node); }

// `a or b or c` is one node with three children, so a long list of
// alternatives adds one level, not one per alternative.
ParseResult Parser::Flat(Op op, TokenKind separator, int* node) {
  int first;
  ParseResult result = op == Op::kOr ? And(&first) : Comparison(&first);
  if (!result.ok || Kind() != separator) {
    *node = first;
    return result;
  }
  std::vector<int> children = {first};
  int height = tree_->nodes[first].height;
  const std::size_t position = Current().position;
  while (Kind() == separator) {
    ++next_;
    int child;
    result = op == Op::kOr ? And(&child) : Comparison(&child);
    if (!result.ok) return result;
    children.push_back(child);
    height = std::max(height, tree_->nodes[child].height);
  }
  if (height + 1 > kMaxConstraintNesting) return ParseResult::Failure(kTooDeep, position);
  *node = NewNode(op);
  tree_->nodes[*node].children = std::move(children);
  tree_->nodes[*node].height = height + 1;
  return result;
}

ParseResult Parser::Comparison(int* node) {
  int left;
  ParseResult result = In(&left);
  if (!result.ok) return result;
  *node = left;
  for (const ComparisonToken& comparison : kComparisons) {
    if (Kind() != comparison.token) continue;
    const std::size_t position = Current().position;
    ++next_;
    int right;
    result = In(&right);
    if (!result.ok) return result;
    return Binary(comparison.op, left, right, position, node);
  }
  return result;
}

ParseResult Parser::In(int* node) {
  ParseResult result = Substring(node);
  if (!result.ok || Kind() != TokenKind::kIn) return result;
  const std::size_t position = Current().position;
  ++next_;
  int right;
  result = Substring(&right);
  if (!result.ok) return result;
  return Binary(Op::kIn, *node, right, position, node);
}

ParseResult Parser::Substring(int* node) {
  ParseResult result = Sum(node);
  if (!result.ok || Kind() != TokenKind::kTilde) return result;
  const std::size_t position = Current().position;
  ++next_;
  int right;
  result = Sum(&right);
  if (!result.ok) return result;
  return Binary(Op::kSubstring, *node, right, position, node);
}

ParseResult Parser::Sum(int* node) {
  ParseResult result = Product(node);
  while (result.ok && (Kind() == TokenKind::kPlus || Kind() == TokenKind::kMinus)) {
    const Op op = Kind() == TokenKind::kPlus ? Op::kAdd : Op::kSubtract;
    const std::size_t position = Current().position;
    ++next_;
    int right;
    result = Product(&right);
    if (result.ok) result = Binary(op, *node, right, position, node);
  }
  return result;
}

ParseResult Parser::Product(int* node) {
  ParseResult result = Not(node);
  while (result.ok && (Kind() == TokenKind::kStar || Kind() == TokenKind::kSlash)) {
    const Op op = Kind() == TokenKind::kStar ? Op::kMultiply : Op::kDivide;
    const std::size_t position = Current().position;
    ++next_;
    int right;
    result = Not(&right);
    if (result.ok) result = Binary(op, *node, right, position, node);
  }
  return result;
}

ParseResult Parser::Not(int* node) {
  if (Kind() != TokenKind::kNot) return Negation(node);
  const std::size_t position = Current().position;
  ParseResult result = Deeper(position);
  DepthGuard guard(&depth_);
  if (!result.ok) return result;
  ++next_;
  int child;
  result = Not(&child);
  if (!result.ok) return result;
  return Unary(Op::kNot, child, position, node);
}

ParseResult Parser::Negation(int* node) {
  if (Kind() != TokenKind::kMinus) return Primary(node);
  const std::size_t position = Current().position;
  ParseResult result = Deeper(position);
  DepthGuard guard(&depth_);
  if (!result.ok) return result;
  ++next_;
  int child;
  result = Negation(&child);
  if (!result.ok) return result;
  return Unary(Op::kNegate, child, position, node);
}

ParseResult Parser::Primary(int* node) {
  switch (Kind()) {
    case TokenKind::kOpen: return Parenthesised(node);
    case TokenKind::kComponent: return ComponentOperand(Op::kComponent, node);
    case TokenKind::kExist: return Operand(Op::kExist, node);
    case TokenKind::kDefault: return Operand(Op::kDefault, node);
    default: return Literal(node);
  }
}

ParseResult Parser::Parenthesised(int* node) {
  ParseResult result = Deeper(Current().position);
  DepthGuard guard(&depth_);
  if (!result.ok) return result;
  ++next_;
  result = Or(node);
  if (!result.ok) return result;
  if (Kind() != TokenKind::kClose) return Unexpected("')'");
  ++next_;
  return result;
}

// exist and default take a component, not an expression.
ParseResult Parser::Operand(Op op, int* node) {
  ++next_;
  if (Kind() != TokenKind::kComponent) return Unexpected("a component ($...)");
  return ComponentOperand(op, node);
}

ParseResult Parser::ComponentOperand(Op op, int* node) {
  tree_->components.push_back(std::move(tokens_[next_].component));
  ++next_;
  *node = NewNode(op);
  tree_->nodes[*node].component = static_cast<int>(tree_->components.size() - 1);
  return ParseResult::Success();
}

ParseResult Parser::Literal(int* node) {
  const Token& token = Current();
  switch (token.kind) {
    case TokenKind::kInteger:
      *node = NewNode(Op::kInteger);
      tree_->nodes[*node].integer = token.integer;
      break;
    case TokenKind::kFloat:
      *node = NewNode(Op::kFloat);
      tree_->nodes[*node].real = token.real;
      break;
    case TokenKind::kString:
      *node = NewNode(Op::kString);
      tree_->nodes[*node].text = token.text;
      break;
    case TokenKind::kTrue: case TokenKind::kFalse:
      *node = NewNode(Op::kBoolean);
      tree_->nodes[*node].boolean = token.kind == TokenKind::kTrue;
      break;
    default:
      return Unexpected("a value");
  }
  ++next_;
  return ParseResult::Success();
}

}  // namespace filter
}  // namespace kestrel
