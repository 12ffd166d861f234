// The event types that a consumer side (admin or proxy) subscribes to, or
// that a supplier side offers.
//
// An empty set matches every event: a consumer side that never subscribed
// receives everything. Types match as filter/event_type_match.h says, the
// rule that filter constraints use too.

#ifndef KESTREL_CHANNELD_MODEL_SUBSCRIPTION_SET_H_
#define KESTREL_CHANNELD_MODEL_SUBSCRIPTION_SET_H_

#include <COS/CosNotification.hh>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace kestrel {
namespace channeld {

class SubscriptionSet {
 public:
  // Adds the types in added that the set lacks, then removes the ones in
  // removed that it holds (exactly as written; removing a type that the set
  // does not hold is no error). Thread-safe.
  void Change(const CosNotification::EventTypeSeq& added,
              const CosNotification::EventTypeSeq& removed);

  // Makes types the whole set, as Change from an empty one would, at once.
  void Replace(const CosNotification::EventTypeSeq& types);

  // True when the set is empty or one of its types matches. Thread-safe.
  bool Matches(const char* domain, const char* type) const;

  bool empty() const;
  // The types, in the order in which they were added.
  CosNotification::EventTypeSeq* Types() const;

 private:
  using Type = std::pair<std::string, std::string>;
  // REQUIRES: mutex_ held.
  void AddLocked(const CosNotification::EventTypeSeq& added);

  mutable std::mutex mutex_;
  std::vector<Type> types_;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_MODEL_SUBSCRIPTION_SET_H_
