#include "filter/event_view.h"

#include "filter/limits.h"
#include "filter/value_decoder.h"

namespace kestrel {
namespace filter {

namespace {

const char* Safe(const char* text) { return text != nullptr ? text : ""; }

// The value of the property named name in properties (a sequence of
// name-value structs), or null.
const Value* Find(const Value* properties, std::string_view name) {
  for (const Value* property : properties->items) {
    if (property->items[0]->text == name) return property->items[1];
  }
  return nullptr;
}

}  // namespace

// The header's few values are made whatever the constraints need, so that
// every path through the event has the same shape; only the anys wait.
EventView::EventView(const CosNotification::StructuredEvent& event, Names names)
    : event_(event), names_(names) {
  const CosNotification::FixedEventHeader& fixed = event.header.fixed_header;
  const Value* eventType = Struct({{"domain_name", Text(fixed.event_type.domain_name.in())},
                                   {"type_name", Text(fixed.event_type.type_name.in())}});
  const Value* fixedHeader =
      Struct({{"event_type", eventType}, {"event_name", Text(fixed.event_name.in())}});
  variable_ = Properties(event.header.variable_header);
  const Value* header = Struct({{"fixed_header", fixedHeader}, {"variable_header", variable_}});
  filterable_ = Properties(event.filterable_data);
  root_ = Struct({{"header", header},
                  {"filterable_data", filterable_},
                  {"remainder_of_body", body_ = Any(event.remainder_of_body)}});
}

const Value* EventView::Property(std::string_view name) {
  const Value* found = Find(filterable_, name);
  if (found == nullptr) found = Find(variable_, name);
  if (found != nullptr || names_ == Names::kProperties) return found;
  const Value* body = Content(body_);
  if (body == nullptr || body->kind != ValueKind::kStruct) return nullptr;
  for (std::size_t i = 0; i < body->items.size(); ++i) {
    if (name == body->names[i]) return body->items[i];
  }
  return nullptr;
}

// An any may hold an any; each is looked through, as deep as values nest.
const Value* EventView::Content(const Value* value) {
  for (int depth = 0; value != nullptr && value->kind == ValueKind::kAny; ++depth) {
    if (depth == kMaxValueNesting) return nullptr;
    DecodeAny(*value, &arena_);
    value = value->content;
  }
  return value;
}

const char* EventView::domain_name() const {
  return Safe(event_.header.fixed_header.event_type.domain_name.in());
}

const char* EventView::type_name() const {
  return Safe(event_.header.fixed_header.event_type.type_name.in());
}

const Value* EventView::Text(const char* text) {
  Value* value = arena_.NewLayoutValue(ValueKind::kString);
  value->text = Safe(text);
  return value;
}

const Value* EventView::Struct(
    std::initializer_list<std::pair<const char*, const Value*>> members) {
  Value* value = arena_.NewLayoutValue(ValueKind::kStruct);
  for (const auto& member : members) {
    value->names.push_back(member.first);
    value->items.push_back(member.second);
  }
  return value;
}

const Value* EventView::Properties(const CosNotification::PropertySeq& properties) {
  Value* value = arena_.NewLayoutValue(ValueKind::kSequence);
  for (CORBA::ULong i = 0; i < properties.length(); ++i) {
    value->items.push_back(
        Struct({{"name", Text(properties[i].name.in())}, {"value", Any(properties[i].value)}}));
  }
  return value;
}

const Value* EventView::Any(const CORBA::Any& any) {
  Value* value = arena_.NewLayoutValue(ValueKind::kAny);
  value->source = &any;
  return value;
}

}  // namespace filter
}  // namespace kestrel
