#include "channeld/filtering/filter_holder.h"

#include <omniORB4/omniORB.h>

#include <algorithm>
#include <utility>

#include "channeld/filtering/filter_factory.h"
#include "channeld/filtering/filter_limits.h"

namespace kestrel {
namespace channeld {

namespace {

bool Matches(const CosNotifyFilter::Filter_var& filter, const FilterObject* local,
             LazyEventView& view) {
  if (local != nullptr) return local->Matches(view.get());
  try {
    return filter->match_structured(view.event());
  } catch (...) {
    return false;  // gone, unreachable, or unable to say: no match
  }
}

}  // namespace

FilterHolder::FilterHolder() : entries_(std::make_shared<Entries>()) {}

FilterHolder::~FilterHolder() = default;

std::shared_ptr<const FilterHolder::Entries> FilterHolder::Snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_;
}

bool FilterHolder::HoldsFilters() const { return holdsFilters_.load(std::memory_order_acquire); }

void FilterHolder::Install(std::shared_ptr<const Entries> next,
                           std::shared_ptr<const Entries>* previous) {
  holdsFilters_.store(!next->empty(), std::memory_order_release);
  *previous = std::move(entries_);
  entries_ = std::move(next);
}

bool FilterHolder::Passes(LazyEventView& view) const {
  if (!HoldsFilters()) return true;
  std::shared_ptr<const Entries> entries = Snapshot();
  if (entries->empty()) return true;
  return std::any_of(entries->begin(), entries->end(), [&view](const Entry& entry) {
    return Matches(entry.reference, entry.local.in(), view);
  });
}

FilterHolder::Entry FilterHolder::Resolve(CosNotifyFilter::FilterID id,
                                          CORBA::Object_ptr reference) {
  Entry entry{id, CosNotifyFilter::Filter::_unchecked_narrow(reference), nullptr};
  FilterFactory* factory = filterFactory();
  if (factory != nullptr) entry.local = factory->Local(reference);
  // Another's filter is asked on a supplier's thread: it may not hold it long.
  if (!entry.local && !CORBA::is_nil(entry.reference)) {
    omniORB::setClientCallTimeout(entry.reference.in(), kForeignMatchTimeoutMs);
  }
  return entry;
}

AttachedFilters FilterHolder::CaptureFilters() const {
  AttachedFilters state;
  std::lock_guard<std::mutex> lock(mutex_);
  state.nextId = nextId_;
  for (const Entry& entry : *entries_) {
    state.filters.emplace_back(entry.id, CORBA::Object::_duplicate(entry.reference.in()));
  }
  return state;
}

void FilterHolder::RestoreFilters(const AttachedFilters& state) {
  auto restored = std::make_shared<Entries>();
  for (const auto& filter : state.filters) restored->push_back(Resolve(filter.first, filter.second));
  std::shared_ptr<const Entries> previous;
  std::lock_guard<std::mutex> lock(mutex_);
  Install(std::move(restored), &previous);
  nextId_ = std::max<CosNotifyFilter::FilterID>(state.nextId, 1);
}

void FilterHolder::DropFilters() {
  std::shared_ptr<const Entries> previous;  // the last references go outside the lock
  std::lock_guard<std::mutex> lock(mutex_);
  Install(std::make_shared<Entries>(), &previous);
}

CosNotifyFilter::FilterID FilterHolder::add_filter(CosNotifyFilter::Filter_ptr filter) {
  if (CORBA::is_nil(filter)) throw CORBA::BAD_PARAM(0, CORBA::COMPLETED_NO);
  // Without a factory the service keeps no filters.
  if (filterFactory() == nullptr) throw CORBA::NO_IMPLEMENT(0, CORBA::COMPLETED_NO);
  Entry entry = Resolve(0, filter);
  std::shared_ptr<const Entries> previous;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (entries_->size() >= kMaxFiltersPerObject) throw CORBA::IMP_LIMIT(0, CORBA::COMPLETED_NO);
    entry.id = nextId_++;
    auto next = std::make_shared<Entries>(*entries_);
    next->push_back(entry);
    Install(std::move(next), &previous);
  }
  if (entry.local) entry.local->MarkAttached();
  FiltersChanged();
  return entry.id;
}

void FilterHolder::remove_filter(CosNotifyFilter::FilterID filter) {
  std::shared_ptr<const Entries> previous;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto next = std::make_shared<Entries>();
    for (const Entry& entry : *entries_) {
      if (entry.id != filter) next->push_back(entry);
    }
    if (next->size() == entries_->size()) throw CosNotifyFilter::FilterNotFound();
    Install(std::move(next), &previous);
  }
  FiltersChanged();
}

CosNotifyFilter::Filter_ptr FilterHolder::get_filter(CosNotifyFilter::FilterID filter) {
  std::shared_ptr<const Entries> entries = Snapshot();
  for (const Entry& entry : *entries) {
    if (entry.id == filter) return CosNotifyFilter::Filter::_duplicate(entry.reference.in());
  }
  throw CosNotifyFilter::FilterNotFound();
}

CosNotifyFilter::FilterIDSeq* FilterHolder::get_all_filters() {
  std::shared_ptr<const Entries> entries = Snapshot();
  CosNotifyFilter::FilterIDSeq_var ids = new CosNotifyFilter::FilterIDSeq;
  ids->length(static_cast<CORBA::ULong>(entries->size()));
  CORBA::ULong at = 0;
  for (const Entry& entry : *entries) ids[at++] = entry.id;
  return ids._retn();
}

void FilterHolder::remove_all_filters() {
  if (!HoldsFilters()) return;
  DropFilters();
  FiltersChanged();
}

}  // namespace channeld
}  // namespace kestrel
