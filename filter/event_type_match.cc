#include "filter/event_type_match.h"

#include <cstring>

namespace kestrel {
namespace filter {

namespace {

const char* Text(const char* text) { return text != nullptr ? text : ""; }

}  // namespace

bool NameMatches(const char* pattern, const char* name) {
  pattern = Text(pattern);
  name = Text(name);
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

bool EventTypeMatches(const char* domainPattern, const char* typePattern, const char* domain,
                      const char* type) {
  if (!NameMatches(domainPattern, domain)) return false;
  return std::strcmp(Text(typePattern), "%ALL") == 0 || NameMatches(typePattern, type);
}

bool EventTypesMatch(const CosNotification::EventTypeSeq& types, const char* domain,
                     const char* type) {
  if (types.length() == 0) return true;
  for (CORBA::ULong i = 0; i < types.length(); ++i) {
    if (EventTypeMatches(types[i].domain_name.in(), types[i].type_name.in(), domain, type)) {
      return true;
    }
  }
  return false;
}

}  // namespace filter
}  // namespace kestrel
