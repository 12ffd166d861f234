// Which event types a list of types names: the rule shared by the channel's
// subscriptions and offers and by filter constraints.
//
// In a domain or type name, '*' matches any run of characters and an empty
// name matches anything; the type name "%ALL" matches every type. An empty
// list names every type.

#ifndef KESTREL_FILTER_EVENT_TYPE_MATCH_H_
#define KESTREL_FILTER_EVENT_TYPE_MATCH_H_

#include <COS/CosNotification.hh>

namespace kestrel {
namespace filter {

// One pattern against one name. Null reads as the empty string.
bool NameMatches(const char* pattern, const char* name);

// One pattern type (domain and type patterns) against an event's domain and
// type names.
bool EventTypeMatches(const char* domainPattern, const char* typePattern, const char* domain,
                      const char* type);

// True when types is empty or one of its types matches.
bool EventTypesMatch(const CosNotification::EventTypeSeq& types, const char* domain,
                     const char* type);

}  // namespace filter
}  // namespace kestrel

#endif  // KESTREL_FILTER_EVENT_TYPE_MATCH_H_
