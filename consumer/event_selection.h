// The consumer's selection: the constraint that a client set through
// INotificationFilter, compiled once, and its evaluation against every event
// that arrives.
//
// A delivery takes the constraint as it is when the event arrives and
// evaluates it against a view of its own, so that any number of deliveries
// evaluate at once without a lock held. Replacing the constraint does not
// disturb an evaluation in flight: that one finishes with the constraint it
// took.
//
// Thread-safe.

#ifndef KESTREL_CONSUMER_EVENT_SELECTION_H_
#define KESTREL_CONSUMER_EVENT_SELECTION_H_

#include <COS/CosNotification.hh>

#include <memory>
#include <mutex>

#include "filter/filter_constraint.h"
#include "kestrel/result_codes.h"

namespace kestrel {

class EventSelection {
 public:
  // Compiles text, for every event type, and makes it the selection. Null
  // or empty text clears the selection. Answers S_OK; E_INVALIDARG for a
  // malformed constraint, or E_OUTOFMEMORY, leaving the selection as it was.
  HRESULT Set(const char* text);

  // The constraint now selected; null when every event is selected.
  std::shared_ptr<const filter::FilterConstraint> constraint() const;

  // True when event is selected. Never raises: an event that cannot be
  // evaluated, for want of memory too, is not selected.
  bool Selects(const CosNotification::StructuredEvent& event) const;

 private:
  // Guards constraint_, which is replaced whole and never changed.
  mutable std::mutex mutex_;
  std::shared_ptr<const filter::FilterConstraint> constraint_;
};

}  // namespace kestrel

#endif  // KESTREL_CONSUMER_EVENT_SELECTION_H_
