// The component model's text form of an identifier:
// "{EA1B5AA6-69A5-4EC7-825E-154A09FF80FD}", braces, upper-case, 38 characters.

#ifndef KESTREL_PLATFORM_GUID_TEXT_H_
#define KESTREL_PLATFORM_GUID_TEXT_H_

#include <string>

#include "kestrel/com.h"

namespace kestrel {

constexpr size_t kGuidTextLength = 38;

std::string GuidToText(const GUID& guid);

// Accepts exactly the form above, in either case; false for anything else.
bool GuidFromText(const char* text, GUID* guid);

}  // namespace kestrel

#endif  // KESTREL_PLATFORM_GUID_TEXT_H_
