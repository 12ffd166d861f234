#include "filter/component_path.h"

namespace kestrel {
namespace filter {

namespace {

Operand LabelOperand(const Step& step) {
  switch (step.label) {
    case LabelKind::kString: return Operand::String(step.name);
    case LabelKind::kBoolean: return Operand::Boolean(step.boolean);
    default: return Operand::Integer(step.number);
  }
}

const Value* Member(const Value* value, const Step& step) {
  if (value->kind != ValueKind::kStruct) return nullptr;
  for (std::size_t i = 0; i < value->names.size(); ++i) {
    if (step.name == value->names[i]) return value->items[i];
  }
  return nullptr;
}

const Value* Item(const Value* value, ValueKind kind, int64_t index) {
  if (value->kind != kind || index < 0 || static_cast<uint64_t>(index) >= value->items.size()) {
    return nullptr;
  }
  return value->items[static_cast<std::size_t>(index)];
}

const Value* UnionMember(const Value* value, const Step& step) {
  if (value->kind != ValueKind::kUnion || !value->hasMember) return nullptr;
  if (step.kind == StepKind::kUnionDefault) return value->isDefault ? value->items[1] : nullptr;
  const Operand discriminator = Operand::FromValue(value->items[0]);
  return Equal(discriminator, LabelOperand(step)) ? value->items[1] : nullptr;
}

// One step from value, which is no any; null when it finds nothing.
const Value* Follow(const Value* value, const Step& step) {
  switch (step.kind) {
    case StepKind::kMember: return Member(value, step);
    case StepKind::kPosition: return Item(value, ValueKind::kStruct, step.number);
    case StepKind::kDiscriminator: return Item(value, ValueKind::kUnion, 0);
    case StepKind::kUnionLabel: case StepKind::kUnionDefault: return UnionMember(value, step);
    case StepKind::kIndex: return Item(value, ValueKind::kSequence, step.number);
    default: return nullptr;
  }
}

bool Describes(const Step& step) {
  return step.kind == StepKind::kLength || step.kind == StepKind::kTypeId ||
         step.kind == StepKind::kRepositoryId;
}

// The value before the steps: the event, or a property's value.
const Value* Start(const Component& component, EventView* view) {
  return component.isProperty ? view->Property(component.property) : view->Root();
}

// Follows the steps in [0, end); answers the value reached, as it is (an
// any stays an any).
const Value* Walk(const Component& component, std::size_t end, EventView* view) {
  const Value* value = Start(component, view);
  for (std::size_t i = 0; i < end && value != nullptr; ++i) {
    value = view->Content(value);
    if (value == nullptr || Describes(component.steps[i])) return nullptr;
    value = Follow(value, component.steps[i]);
  }
  return value;
}

Operand Describe(const Value* value, const Step& step, EventView* view) {
  if (step.kind == StepKind::kLength) {
    value = view->Content(value);
    if (value == nullptr || value->kind != ValueKind::kSequence) return Operand::Error();
    return Operand::Integer(static_cast<int64_t>(value->items.size()));
  }
  if (value->kind != ValueKind::kAny) return Operand::Error();
  view->Content(value);  // fills the names even when the content is undecodable
  const std::string_view text =
      step.kind == StepKind::kTypeId ? value->typeName : value->repositoryId;
  return text.empty() ? Operand::Error() : Operand::String(text);
}

}  // namespace

const Value* ResolveValue(const Component& component, EventView* view) {
  const Value* value = Walk(component, component.steps.size(), view);
  return value != nullptr ? view->Content(value) : nullptr;
}

Operand ResolveOperand(const Component& component, EventView* view) {
  const std::size_t count = component.steps.size();
  if (count > 0 && Describes(component.steps[count - 1])) {
    const Value* value = Walk(component, count - 1, view);
    return value != nullptr ? Describe(value, component.steps[count - 1], view) : Operand::Error();
  }
  return Operand::FromValue(ResolveValue(component, view));
}

}  // namespace filter
}  // namespace kestrel
