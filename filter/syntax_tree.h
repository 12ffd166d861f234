// The compiled form of a constraint: its nodes in one vector, children by
// index, so that a tree of any shape is freed without recursion. The parser
// builds it; the evaluator walks it; nothing changes it in between.

#ifndef KESTREL_FILTER_SYNTAX_TREE_H_
#define KESTREL_FILTER_SYNTAX_TREE_H_

#include <cstdint>
#include <string>
#include <vector>

namespace kestrel {
namespace filter {

enum class StepKind {
  kMember,         // .name
  kPosition,       // .N, a struct's member by position
  kDiscriminator,  // ._d
  kUnionLabel,     // .(label)
  kUnionDefault,   // .()
  kIndex,          // [N]
  kLength,         // ._length
  kTypeId,         // ._type_id
  kRepositoryId,   // ._repos_id
};

enum class LabelKind { kInteger, kString, kBoolean };

struct Step {
  StepKind kind;
  std::string name;    // kMember; a kString label
  int64_t number = 0;  // kPosition, kIndex; a kInteger label
  LabelKind label = LabelKind::kInteger;
  bool boolean = false;  // a kBoolean label
};

// `$` followed by steps, or `$name` (a property) followed by steps.
struct Component {
  bool isProperty = false;
  std::string property;
  std::vector<Step> steps;
};

enum class Op {
  kBoolean, kInteger, kFloat, kString,  // literals
  kComponent, kExist, kDefault,
  kNot, kNegate,
  kAnd, kOr,  // any number of children
  kAdd, kSubtract, kMultiply, kDivide,
  kEqual, kNotEqual, kLess, kLessEqual, kGreater, kGreaterEqual,
  kSubstring, kIn,
};

struct Node {
  Op op;
  std::vector<int> children;
  bool boolean = false;
  int64_t integer = 0;
  double real = 0;
  std::string text;
  int component = -1;  // kComponent, kExist, kDefault
  int height = 1;      // of the subtree under this node
};

struct SyntaxTree {
  std::vector<Node> nodes;
  std::vector<Component> components;
  int root = -1;  // -1: the empty constraint, which every event passes
};

}  // namespace filter
}  // namespace kestrel

#endif  // KESTREL_FILTER_SYNTAX_TREE_H_
