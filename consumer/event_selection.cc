#include "consumer/event_selection.h"

#include <new>

#include "filter/event_view.h"

namespace kestrel {

HRESULT EventSelection::Set(const char* text) {
  std::shared_ptr<const filter::FilterConstraint> compiled;
  if (text != nullptr && *text != '\0') {
    try {
      std::unique_ptr<filter::FilterConstraint> constraint;
      // No event types: the constraint applies to events of every type, as
      // the filter that the service is given says too.
      if (!filter::FilterConstraint::Compile(CosNotification::EventTypeSeq(), text, &constraint).ok) {
        return E_INVALIDARG;
      }
      compiled = std::move(constraint);
    } catch (const std::bad_alloc&) {
      return E_OUTOFMEMORY;
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  constraint_.swap(compiled);
  return S_OK;
}

std::shared_ptr<const filter::FilterConstraint> EventSelection::constraint() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return constraint_;
}

bool EventSelection::Selects(const CosNotification::StructuredEvent& event) const {
  std::shared_ptr<const filter::FilterConstraint> selected = constraint();
  if (selected == nullptr) return true;
  try {
    filter::EventView view(event);
    return selected->Matches(&view);
  } catch (...) {
    return false;
  }
}

}  // namespace kestrel
