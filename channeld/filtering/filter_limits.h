// The bounds on what clients may make of a channel's filters. Any consumer or
// supplier of a channel may make filters and add constraints, so that neither
// may make the service grow without end.

#ifndef KESTREL_CHANNELD_FILTERING_FILTER_LIMITS_H_
#define KESTREL_CHANNELD_FILTERING_FILTER_LIMITS_H_

#include <cstddef>

namespace kestrel {
namespace channeld {

// Filter objects that one channel's factory keeps at once; create_filter
// raises IMP_LIMIT beyond.
constexpr std::size_t kMaxFiltersPerChannel = 1024;
// Constraints of one filter; add_constraints and modify_constraints raise
// IMP_LIMIT beyond.
constexpr std::size_t kMaxConstraintsPerFilter = 1024;
// Callbacks attached to one filter; attach_callback raises IMP_LIMIT beyond.
constexpr std::size_t kMaxCallbacksPerFilter = 64;
// Filters that one admin or proxy holds; add_filter raises IMP_LIMIT beyond.
constexpr std::size_t kMaxFiltersPerObject = 64;

// How long another service's filter may take to answer match_structured,
// in milliseconds; past it the event does not match.
constexpr unsigned long kForeignMatchTimeoutMs = 1000;

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_FILTERING_FILTER_LIMITS_H_
