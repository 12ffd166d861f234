#include "channeld/filtering/filter_factory.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "channeld/filtering/filter_limits.h"

namespace kestrel {
namespace channeld {

FilterFactory::FilterFactory(FilterHome home) : home_(std::move(home)) {}

FilterFactory::~FilterFactory() = default;

void FilterFactory::Activate(const ChannelState* restored) {
  if (restored != nullptr) {
    std::lock_guard<std::mutex> lock(mutex_);
    nextId_ = std::max<CosNotifyFilter::FilterID>(restored->nextFilterId, 1);
    for (const FilterState& state : restored->filters) RemakeLocked(state);
  }
  CORBA::Object_var reference =
      activation_.ActivateWithId(home_.poa.in(), home_.idPrefix + "/ff", this);
  reference_ = CosNotifyFilter::FilterFactory::_narrow(reference.in());
}

void FilterFactory::RemakeLocked(const FilterState& state) {
  PortableServer::Servant_var<FilterObject> filter = new FilterObject(this, home_, state.id);
  filter->Restore(state);
  CosNotifyFilter::Filter_var reference = filter->Activate();
  filters_[state.id] = filter;
  nextId_ = std::max(nextId_, state.id + 1);
}

void FilterFactory::Share(const FilterState& state) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (ended_) return;
  auto found = filters_.find(state.id);
  if (found == filters_.end()) {
    RemakeLocked(state);
  } else {
    found->second->Restore(state);
  }
}

bool FilterFactory::CaptureOne(CosNotifyFilter::FilterID id, FilterState* state) const {
  PortableServer::Servant_var<FilterObject> filter;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = filters_.find(id);
    if (found == filters_.end()) return false;
    filter = found->second;
  }
  *state = filter->Capture();
  return true;
}

void FilterFactory::Drop(CosNotifyFilter::FilterID id) {
  PortableServer::Servant_var<FilterObject> filter;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = filters_.find(id);
    if (found == filters_.end()) return;
    filter = found->second;
    filters_.erase(found);
  }
  filter->End();
}

void FilterFactory::SetNextId(CosNotifyFilter::FilterID id) {
  std::lock_guard<std::mutex> lock(mutex_);
  nextId_ = std::max(nextId_, id);
}

CosNotifyFilter::FilterFactory_ptr FilterFactory::Reference() {
  return CosNotifyFilter::FilterFactory::_duplicate(reference_.in());
}

PortableServer::Servant_var<FilterObject> FilterFactory::Local(CORBA::Object_ptr reference) const {
  if (CORBA::is_nil(reference)) return nullptr;
  PortableServer::ServantBase* servant = nullptr;
  try {
    servant = home_.poa->reference_to_servant(reference);
  } catch (const CORBA::Exception&) {
    return nullptr;  // another POA's, another process's, or no longer active
  }
  // reference_to_servant counted a reference for the caller.
  PortableServer::Servant_var<PortableServer::ServantBase> held(servant);
  auto* filter = dynamic_cast<FilterObject*>(servant);
  return filter != nullptr ? Retain(filter) : nullptr;
}

void FilterFactory::Capture(ChannelState* channel) const {
  Filters filters;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    channel->nextFilterId = nextId_;
    filters = filters_;
  }
  for (const auto& entry : filters) channel->filters.push_back(entry.second->Capture());
}

std::size_t FilterFactory::ReclaimUnused(std::chrono::steady_clock::time_point unusedSince) {
  Filters filters;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    filters = filters_;
  }
  std::size_t reclaimed = 0;
  for (auto& entry : filters) {
    if (!entry.second->Reclaim(unusedSince)) continue;
    Forget(entry.first);
    ++reclaimed;
  }
  return reclaimed;
}

void FilterFactory::Forget(CosNotifyFilter::FilterID id) {
  PortableServer::Servant_var<FilterObject> filter;  // released outside the lock
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = filters_.find(id);
    if (found == filters_.end()) return;
    filter = found->second;
    filters_.erase(found);
  }
  home_.topologyChanged(/*wait=*/false);
}

void FilterFactory::End() {
  Filters filters;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ended_) return;
    ended_ = true;
    filters.swap(filters_);
  }
  activation_.Deactivate();
  for (auto& entry : filters) entry.second->End();
}

CosNotifyFilter::Filter_ptr FilterFactory::create_filter(const char* constraint_grammar) {
  if (constraint_grammar == nullptr || std::strcmp(constraint_grammar, "EXTENDED_TCL") != 0) {
    throw CosNotifyFilter::InvalidGrammar();
  }
  PortableServer::Servant_var<FilterObject> filter;
  CosNotifyFilter::Filter_var reference;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ended_) throw CORBA::OBJECT_NOT_EXIST(0, CORBA::COMPLETED_NO);
    if (filters_.size() >= kMaxFiltersPerChannel) throw CORBA::IMP_LIMIT(0, CORBA::COMPLETED_NO);
    while (home_.reserve && !home_.reserve(home_.idPrefix + "/f" + std::to_string(nextId_))) {
      ++nextId_;
    }
    CosNotifyFilter::FilterID id = nextId_++;
    filter = new FilterObject(this, home_, id);
    reference = filter->Activate();
    filters_[id] = filter;
  }
  home_.topologyChanged(/*wait=*/true);
  return reference._retn();
}

CosNotifyFilter::MappingFilter_ptr FilterFactory::create_mapping_filter(const char*,
                                                                        const CORBA::Any&) {
  throw CORBA::NO_IMPLEMENT(0, CORBA::COMPLETED_NO);
}

}  // namespace channeld
}  // namespace kestrel
