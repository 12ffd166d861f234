#include "channeld/filtering/filter_object.h"

#include <omniORB4/omniORB.h>

#include <algorithm>
#include <set>
#include <string>
#include <utility>

#include "channel/screened_dispatch.h"
#include "channeld/filtering/filter_factory.h"
#include "channeld/filtering/filter_home.h"
#include "channeld/filtering/filter_limits.h"

namespace kestrel {
namespace channeld {

namespace {

constexpr const char kGrammar[] = "EXTENDED_TCL";

using TypeSet = std::set<std::pair<std::string, std::string>>;

// The event types that constraints apply to, as callbacks are told them: a
// constraint for every type counts as "*"/"*".
template <typename Constraints>
TypeSet TypesOf(const Constraints& constraints) {
  TypeSet types;
  for (const auto& entry : constraints) {
    const CosNotification::EventTypeSeq& own = entry.constraint->types();
    if (own.length() == 0) types.emplace("*", "*");
    for (CORBA::ULong i = 0; i < own.length(); ++i) {
      types.emplace(own[i].domain_name.in(), own[i].type_name.in());
    }
  }
  return types;
}

// The types in from that are not in without.
CosNotification::EventTypeSeq Difference(const TypeSet& from, const TypeSet& without) {
  CosNotification::EventTypeSeq difference;
  for (const auto& type : from) {
    if (without.count(type) != 0) continue;
    CORBA::ULong at = difference.length();
    difference.length(at + 1);
    difference[at].domain_name = type.first.c_str();
    difference[at].type_name = type.second.c_str();
  }
  return difference;
}

std::shared_ptr<const filter::FilterConstraint> CompileOrRaise(
    const CosNotifyFilter::ConstraintExp& expression) {
  std::unique_ptr<filter::FilterConstraint> compiled;
  filter::ParseResult result = filter::FilterConstraint::Compile(
      expression.event_types, expression.constraint_expr.in(), &compiled);
  if (!result.ok) throw CosNotifyFilter::InvalidConstraint(expression);
  return std::shared_ptr<const filter::FilterConstraint>(std::move(compiled));
}

void Describe(CosNotifyFilter::ConstraintInfo* info, CosNotifyFilter::ConstraintID id,
              const filter::FilterConstraint& constraint) {
  info->constraint_id = id;
  info->constraint_expression.event_types = constraint.types();
  info->constraint_expression.constraint_expr = constraint.expression().c_str();
}

}  // namespace

CORBA::Boolean FilterObject::_dispatch(omniCallHandle& handle) {
  return DispatchScreenedMatch(this, handle) || POA_CosNotifyFilter::Filter::_dispatch(handle);
}

FilterObject::FilterObject(FilterFactory* factory, const FilterHome& home,
                           CosNotifyFilter::FilterID id)
    : factory_(Retain(factory)), home_(home), id_(id), constraints_(std::make_shared<Constraints>()) {}

FilterObject::~FilterObject() = default;

CosNotifyFilter::Filter_ptr FilterObject::Activate() {
  CORBA::Object_var reference = activation_.ActivateWithId(
      home_.poa.in(), home_.idPrefix + "/f" + std::to_string(id_), this);
  return CosNotifyFilter::Filter::_narrow(reference.in());
}

std::shared_ptr<const FilterObject::Constraints> FilterObject::Snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return constraints_;
}

bool FilterObject::Matches(filter::EventView* view) const {
  if (ended_.load(std::memory_order_acquire)) return false;
  std::shared_ptr<const Constraints> constraints = Snapshot();
  return std::any_of(constraints->begin(), constraints->end(),
                     [view](const Entry& entry) { return entry.constraint->Matches(view); });
}

void FilterObject::Restore(const FilterState& state) {
  auto restored = std::make_shared<Constraints>();
  for (CORBA::ULong i = 0; i < state.constraints.length(); ++i) {
    const CosNotifyFilter::ConstraintInfo& info = state.constraints[i];
    try {
      restored->push_back({info.constraint_id, CompileOrRaise(info.constraint_expression)});
    } catch (const CosNotifyFilter::InvalidConstraint&) {
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  constraints_ = std::move(restored);
  nextConstraintId_ = std::max<CosNotifyFilter::ConstraintID>(state.nextConstraintId, 1);
  nextCallbackId_ = std::max<CosNotifyFilter::CallbackID>(state.nextCallbackId, 1);
  attached_ = state.attached;
  // Unchecked: a checked narrow could ask the callback's process, and a
  // start must not wait for a client that is away.
  for (const auto& callback : state.callbacks) {
    callbacks_[callback.first] =
        CosNotifyComm::NotifySubscribe::_unchecked_narrow(callback.second.in());
  }
}

FilterState FilterObject::Capture() const {
  FilterState state;
  state.id = id_;
  std::lock_guard<std::mutex> lock(mutex_);
  state.attached = attached_;
  state.nextConstraintId = nextConstraintId_;
  state.constraints.length(static_cast<CORBA::ULong>(constraints_->size()));
  CORBA::ULong at = 0;
  for (const Entry& entry : *constraints_) Describe(&state.constraints[at++], entry.id, *entry.constraint);
  state.nextCallbackId = nextCallbackId_;
  for (const auto& callback : callbacks_) {
    state.callbacks.emplace_back(callback.first,
                                 CORBA::Object::_duplicate(callback.second.in()));
  }
  return state;
}

void FilterObject::MarkAttached() {
  bool first;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    first = !attached_;
    attached_ = true;
  }
  if (first) home_.topologyChanged(/*wait=*/false);
}

bool FilterObject::Reclaim(std::chrono::steady_clock::time_point unusedSince) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (attached_ || lastUsed_ >= unusedSince || ended_.load()) return false;
  }
  End();
  return true;
}

void FilterObject::End() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ended_.exchange(true)) return;
    callbacks_.clear();
  }
  activation_.Deactivate();
}

void FilterObject::CheckAlive() const {
  if (ended_.load()) throw CORBA::OBJECT_NOT_EXIST(0, CORBA::COMPLETED_NO);
}

void FilterObject::Touch() {
  std::lock_guard<std::mutex> lock(mutex_);
  CheckAlive();
  lastUsed_ = std::chrono::steady_clock::now();
}

void FilterObject::Replace(std::shared_ptr<const Constraints> next) {
  TypeSet before;
  TypeSet after = TypesOf(*next);
  Callbacks callbacks;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    before = TypesOf(*constraints_);
    constraints_ = std::move(next);
    lastUsed_ = std::chrono::steady_clock::now();
    callbacks = callbacks_;
  }
  home_.topologyChanged(/*wait=*/true);
  CosNotification::EventTypeSeq added = Difference(after, before);
  CosNotification::EventTypeSeq removed = Difference(before, after);
  if (added.length() == 0 && removed.length() == 0) return;
  // A callback that is gone or slow costs its own call only.
  for (auto& callback : callbacks) {
    try {
      omniORB::setClientCallTimeout(callback.second.in(), home_.callbackTimeoutMs);
      callback.second->subscription_change(added, removed);
    } catch (...) {
    }
  }
}

char* FilterObject::constraint_grammar() {
  Touch();
  return CORBA::string_dup(kGrammar);
}

CosNotifyFilter::ConstraintInfoSeq* FilterObject::add_constraints(
    const CosNotifyFilter::ConstraintExpSeq& constraints) {
  Touch();
  // Every expression compiles before any is added: a batch is all or nothing.
  std::vector<std::shared_ptr<const filter::FilterConstraint>> compiled;
  for (CORBA::ULong i = 0; i < constraints.length(); ++i) {
    compiled.push_back(CompileOrRaise(constraints[i]));
  }
  auto next = std::make_shared<Constraints>();
  CosNotifyFilter::ConstraintInfoSeq_var added = new CosNotifyFilter::ConstraintInfoSeq;
  added->length(constraints.length());
  {
    std::lock_guard<std::mutex> lock(mutex_);
    CheckAlive();
    if (constraints_->size() + compiled.size() > kMaxConstraintsPerFilter) {
      throw CORBA::IMP_LIMIT(0, CORBA::COMPLETED_NO);
    }
    *next = *constraints_;
    for (std::size_t i = 0; i < compiled.size(); ++i) {
      CosNotifyFilter::ConstraintID id = nextConstraintId_++;
      next->push_back({id, compiled[i]});
      Describe(&added[static_cast<CORBA::ULong>(i)], id, *compiled[i]);
    }
  }
  Replace(std::move(next));
  return added._retn();
}

void FilterObject::modify_constraints(const CosNotifyFilter::ConstraintIDSeq& del_list,
                                      const CosNotifyFilter::ConstraintInfoSeq& modify_list) {
  Touch();
  std::map<CosNotifyFilter::ConstraintID, std::shared_ptr<const filter::FilterConstraint>> modified;
  for (CORBA::ULong i = 0; i < modify_list.length(); ++i) {
    modified[modify_list[i].constraint_id] = CompileOrRaise(modify_list[i].constraint_expression);
  }
  auto next = std::make_shared<Constraints>();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    CheckAlive();
    auto known = [this](CosNotifyFilter::ConstraintID id) {
      return std::any_of(constraints_->begin(), constraints_->end(),
                         [id](const Entry& entry) { return entry.id == id; });
    };
    for (CORBA::ULong i = 0; i < del_list.length(); ++i) {
      if (!known(del_list[i])) throw CosNotifyFilter::ConstraintNotFound(del_list[i]);
    }
    for (const auto& change : modified) {
      if (!known(change.first)) throw CosNotifyFilter::ConstraintNotFound(change.first);
    }
    for (const Entry& entry : *constraints_) {
      bool deleted = std::find(del_list.get_buffer(), del_list.get_buffer() + del_list.length(),
                               entry.id) != del_list.get_buffer() + del_list.length();
      if (deleted) continue;
      auto change = modified.find(entry.id);
      next->push_back({entry.id, change != modified.end() ? change->second : entry.constraint});
    }
  }
  Replace(std::move(next));
}

CosNotifyFilter::ConstraintInfoSeq* FilterObject::get_constraints(
    const CosNotifyFilter::ConstraintIDSeq& id_list) {
  Touch();
  std::shared_ptr<const Constraints> constraints = Snapshot();
  CosNotifyFilter::ConstraintInfoSeq_var found = new CosNotifyFilter::ConstraintInfoSeq;
  found->length(id_list.length());
  for (CORBA::ULong i = 0; i < id_list.length(); ++i) {
    auto entry = std::find_if(constraints->begin(), constraints->end(),
                              [&](const Entry& e) { return e.id == id_list[i]; });
    if (entry == constraints->end()) throw CosNotifyFilter::ConstraintNotFound(id_list[i]);
    Describe(&found[i], entry->id, *entry->constraint);
  }
  return found._retn();
}

CosNotifyFilter::ConstraintInfoSeq* FilterObject::get_all_constraints() {
  Touch();
  std::shared_ptr<const Constraints> constraints = Snapshot();
  CosNotifyFilter::ConstraintInfoSeq_var all = new CosNotifyFilter::ConstraintInfoSeq;
  all->length(static_cast<CORBA::ULong>(constraints->size()));
  CORBA::ULong at = 0;
  for (const Entry& entry : *constraints) Describe(&all[at++], entry.id, *entry.constraint);
  return all._retn();
}

void FilterObject::remove_all_constraints() {
  Touch();
  Replace(std::make_shared<Constraints>());
}

void FilterObject::destroy() {
  Touch();
  End();
  factory_->Forget(id_);
}

CORBA::Boolean FilterObject::match(const CORBA::Any& event) {
  Touch();
  // An untyped event is seen as the structured form that carries it.
  CosNotification::StructuredEvent structured;
  structured.header.fixed_header.event_type.type_name = "%ANY";
  structured.remainder_of_body = event;
  filter::EventView view(structured);
  return Matches(&view);
}

CORBA::Boolean FilterObject::match_structured(const CosNotification::StructuredEvent& event) {
  Touch();
  filter::EventView view(event);
  return Matches(&view);
}

CORBA::Boolean FilterObject::match_typed(const CosNotification::PropertySeq&) {
  throw CORBA::NO_IMPLEMENT(0, CORBA::COMPLETED_NO);
}

CosNotifyFilter::CallbackID FilterObject::attach_callback(
    CosNotifyComm::NotifySubscribe_ptr callback) {
  if (CORBA::is_nil(callback)) throw CORBA::BAD_PARAM(0, CORBA::COMPLETED_NO);
  CosNotifyFilter::CallbackID id;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    CheckAlive();
    lastUsed_ = std::chrono::steady_clock::now();
    if (callbacks_.size() >= kMaxCallbacksPerFilter) throw CORBA::IMP_LIMIT(0, CORBA::COMPLETED_NO);
    id = nextCallbackId_++;
    callbacks_[id] = CosNotifyComm::NotifySubscribe::_duplicate(callback);
  }
  home_.topologyChanged(/*wait=*/true);
  return id;
}

void FilterObject::detach_callback(CosNotifyFilter::CallbackID callback) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    CheckAlive();
    lastUsed_ = std::chrono::steady_clock::now();
    if (callbacks_.erase(callback) == 0) throw CosNotifyFilter::CallbackNotFound();
  }
  home_.topologyChanged(/*wait=*/true);
}

CosNotifyFilter::CallbackIDSeq* FilterObject::get_callbacks() {
  Touch();
  std::lock_guard<std::mutex> lock(mutex_);
  CosNotifyFilter::CallbackIDSeq_var ids = new CosNotifyFilter::CallbackIDSeq;
  ids->length(static_cast<CORBA::ULong>(callbacks_.size()));
  CORBA::ULong at = 0;
  for (const auto& callback : callbacks_) ids[at++] = callback.first;
  return ids._retn();
}

}  // namespace channeld
}  // namespace kestrel
