#include "channeld/model/subscription_set.h"

#include <algorithm>

#include "filter/event_type_match.h"

namespace kestrel {
namespace channeld {

namespace {

const char* Text(const char* text) { return text != nullptr ? text : ""; }

}  // namespace

void SubscriptionSet::Replace(const CosNotification::EventTypeSeq& types) {
  std::lock_guard<std::mutex> lock(mutex_);
  types_.clear();
  AddLocked(types);
}

void SubscriptionSet::AddLocked(const CosNotification::EventTypeSeq& added) {
  for (CORBA::ULong i = 0; i < added.length(); ++i) {
    Type type(Text(added[i].domain_name.in()), Text(added[i].type_name.in()));
    if (std::find(types_.begin(), types_.end(), type) == types_.end()) types_.push_back(type);
  }
}

void SubscriptionSet::Change(const CosNotification::EventTypeSeq& added,
                             const CosNotification::EventTypeSeq& removed) {
  std::lock_guard<std::mutex> lock(mutex_);
  AddLocked(added);
  for (CORBA::ULong i = 0; i < removed.length(); ++i) {
    Type type(Text(removed[i].domain_name.in()), Text(removed[i].type_name.in()));
    types_.erase(std::remove(types_.begin(), types_.end(), type), types_.end());
  }
}

bool SubscriptionSet::Matches(const char* domain, const char* type) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (types_.empty()) return true;
  for (const Type& pattern : types_) {
    if (filter::EventTypeMatches(pattern.first.c_str(), pattern.second.c_str(), domain, type)) {
      return true;
    }
  }
  return false;
}

bool SubscriptionSet::empty() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return types_.empty();
}

CosNotification::EventTypeSeq* SubscriptionSet::Types() const {
  std::lock_guard<std::mutex> lock(mutex_);
  CosNotification::EventTypeSeq* types = new CosNotification::EventTypeSeq;
  types->length(static_cast<CORBA::ULong>(types_.size()));
  for (CORBA::ULong i = 0; i < types->length(); ++i) {
    (*types)[i].domain_name = types_[i].first.c_str();
    (*types)[i].type_name = types_[i].second.c_str();
  }
  return types;
}

}  // namespace channeld
}  // namespace kestrel
