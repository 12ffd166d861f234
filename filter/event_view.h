// One structured event as every constraint evaluated against it sees it.
//
// Build one view per event and evaluate all the filters and constraints for
// that event against it: the header and property names are laid out once,
// and each any (a property's value, the body) is decoded at most once, on
// the first constraint that reaches into it. An event that no constraint
// looks into costs no decoding at all.
//
// The view borrows the event, which must outlive it and stay unchanged. A
// view is not thread-safe: it decodes on first use, so one thread at a time.

#ifndef KESTREL_FILTER_EVENT_VIEW_H_
#define KESTREL_FILTER_EVENT_VIEW_H_

#include <COS/CosNotification.hh>

#include <initializer_list>
#include <string_view>
#include <utility>

#include "filter/value.h"
#include "filter/value_arena.h"

namespace kestrel {
namespace filter {

class EventView {
 public:
  // Where `$name` looks when neither the filterable data nor the variable
  // header holds name.
  enum class Names {
    kProperties,   // nowhere else: the language as filters speak it
    kBodyMembers,  // also the members of a struct body, so that a reader
                   // may write $mSeverity for $.remainder_of_body.mSeverity
  };

  explicit EventView(const CosNotification::StructuredEvent& event,
                     Names names = Names::kProperties);
  EventView(const EventView&) = delete;
  EventView& operator=(const EventView&) = delete;

  // The event as one struct value, as `$` names it: header (fixed_header,
  // variable_header), filterable_data and remainder_of_body.
  const Value* Root() const { return root_; }

  // The value of the property called name, as `$name` finds it: first among
  // the filterable data, then in the variable header, then (kBodyMembers)
  // in the body. Null when none holds it.
  const Value* Property(std::string_view name);

  // What an any value holds (through anys inside anys), decoded now if no
  // one asked before; null when it cannot be decoded (see DecodeAny). Any
  // other value is answered as it is.
  const Value* Content(const Value* value);

  const char* domain_name() const;
  const char* type_name() const;

 private:
  const Value* Text(const char* text);
  const Value* Struct(std::initializer_list<std::pair<const char*, const Value*>> members);
  const Value* Properties(const CosNotification::PropertySeq& properties);
  const Value* Any(const CORBA::Any& any);

  const CosNotification::StructuredEvent& event_;
  const Names names_;
  ValueArena arena_;
  const Value* root_ = nullptr;
  const Value* filterable_ = nullptr;
  const Value* variable_ = nullptr;
  const Value* body_ = nullptr;
};

}  // namespace filter
}  // namespace kestrel

#endif  // KESTREL_FILTER_EVENT_VIEW_H_
