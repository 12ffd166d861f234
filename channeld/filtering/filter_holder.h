// The filters that one admin or proxy holds (CosNotifyFilter::FilterAdmin),
// as a mixin that every admin and proxy inherits.
//
// The object passes an event when it holds no filters, or when one of them
// matches it: its filters are ORed. A filter of this service is evaluated in
// place, against the event's view that every filter shares; any other
// filter is asked with match_structured, and one that cannot answer does not
// match.

#ifndef KESTREL_CHANNELD_FILTERING_FILTER_HOLDER_H_
#define KESTREL_CHANNELD_FILTERING_FILTER_HOLDER_H_

#include <COS/CosNotifyFilter.hh>

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "channeld/filtering/filter_object.h"
#include "channeld/filtering/lazy_event_view.h"
#include "channeld/state/service_state.h"

namespace kestrel {
namespace channeld {

class FilterFactory;

class FilterHolder : public virtual POA_CosNotifyFilter::FilterAdmin {
 public:
  // True when the object holds no filters or one of them matches the event.
  // Thread-safe; never raises.
  bool Passes(LazyEventView& view) const;

  // The filters as the state directory keeps them, and back.
  AttachedFilters CaptureFilters() const;
  void RestoreFilters(const AttachedFilters& state);

  // CosNotifyFilter::FilterAdmin
  CosNotifyFilter::FilterID add_filter(CosNotifyFilter::Filter_ptr filter) override;
  void remove_filter(CosNotifyFilter::FilterID filter) override;   // FilterNotFound
  CosNotifyFilter::Filter_ptr get_filter(CosNotifyFilter::FilterID filter) override;  // idem
  CosNotifyFilter::FilterIDSeq* get_all_filters() override;
  void remove_all_filters() override;

 protected:
  FilterHolder();
  ~FilterHolder() override;

  // The channel's filter factory, which tells this service's filters from
  // others'; null once the channel has ended.
  virtual FilterFactory* filterFactory() = 0;
  // The filters changed: the state directory should keep them.
  virtual void FiltersChanged() = 0;

 private:
  struct Entry {
    CosNotifyFilter::FilterID id;
    CosNotifyFilter::Filter_var reference;
    PortableServer::Servant_var<FilterObject> local;  // null for another's filter
  };
  // Ordered by id. Replaced, never changed in place.
  using Entries = std::vector<Entry>;

  std::shared_ptr<const Entries> Snapshot() const;
  bool HoldsFilters() const;
  // Lets go of every filter (remove_all_filters).
  void DropFilters();
  Entry Resolve(CosNotifyFilter::FilterID id, CORBA::Object_ptr reference);

  // REQUIRES: mutex_ held.
  void Install(std::shared_ptr<const Entries> next, std::shared_ptr<const Entries>* previous);

  mutable std::mutex mutex_;
  std::shared_ptr<const Entries> entries_;
  // Whether entries_ is not empty, read without the lock: most objects hold
  // no filters, and every event asks every object.
  std::atomic<bool> holdsFilters_{false};
  CosNotifyFilter::FilterID nextId_ = 1;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_FILTERING_FILTER_HOLDER_H_
