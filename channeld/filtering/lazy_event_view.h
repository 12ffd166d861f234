// An event's filter view, made on the first call that needs one: an event
// that meets no filter on its way costs nothing, and one that meets many is
// laid out and decoded once for all of them.

#ifndef KESTREL_CHANNELD_FILTERING_LAZY_EVENT_VIEW_H_
#define KESTREL_CHANNELD_FILTERING_LAZY_EVENT_VIEW_H_

#include <COS/CosNotification.hh>

#include <optional>

#include "filter/event_view.h"

namespace kestrel {
namespace channeld {

// Borrows the event, which must outlive it. One thread at a time.
class LazyEventView {
 public:
  explicit LazyEventView(const CosNotification::StructuredEvent& event) : event_(event) {}
  LazyEventView(const LazyEventView&) = delete;
  LazyEventView& operator=(const LazyEventView&) = delete;

  filter::EventView* get() {
    if (!view_) view_.emplace(event_);
    return &*view_;
  }
  const CosNotification::StructuredEvent& event() const { return event_; }

 private:
  const CosNotification::StructuredEvent& event_;
  std::optional<filter::EventView> view_;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_FILTERING_LAZY_EVENT_VIEW_H_
