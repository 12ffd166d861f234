#include "channeld/model/subscription_set.h"

#include <algorithm>

namespace kestrel {
namespace channeld {

namespace {

const char* Text(const char* text) { return text != nullptr ? text : ""; }

}  // namespace

void SubscriptionSet::Change(const CosNotification::EventTypeSeq& added,
                             const CosNotification::EventTypeSeq& removed) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (CORBA::ULong i = 0; i < added.length(); ++i) {
    Type type(Text(added[i].domain_name.in()), Text(added[i].type_name.in()));
    if (std::find(types_.begin(), types_.end(), type) == types_.end()) types_.push_back(type);
  }
  for (CORBA::ULong i = 0; i < removed.length(); ++i) {
    Type type(Text(removed[i].domain_name.in()), Text(removed[i].type_name.in()));
    types_.erase(std::remove(types_.begin(), types_.end(), type), types_.end());
  }
}

bool SubscriptionSet::Matches(const char* domain, const char* type) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (types_.empty()) return true;
  for (const Type& pattern : types_) {
    if (TypeMatches(pattern, Text(domain), Text(type))) return true;
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

bool SubscriptionSet::TypeMatches(const Type& pattern, const char* domain, const char* type) {
  if (!NameMatches(pattern.first.c_str(), domain)) return false;
  return pattern.second == "%ALL" || NameMatches(pattern.second.c_str(), type);
}

bool SubscriptionSet::NameMatches(const char* pattern, const char* name) {
  if (*pattern == '\0') return true;
  // Glob matching with '*' only: on a mismatch, let the last star swallow one
  // more character.
  const char* star = nullptr;
  const char* resume = nullptr;
  while (*name != '\0') {
    if (*pattern == '*') {
      star = pattern++;
      resume = name;
    } else if (*pattern == *name) {
      ++pattern;
      ++name;
    } else if (star != nullptr) {
      pattern = star + 1;
      name = ++resume;
    } else {
      return false;
    }
  }
  while (*pattern == '*') ++pattern;
  return *pattern == '\0';
}

}  // namespace channeld
}  // namespace kestrel
