// How kestrel-listen writes one received notification: a readable text line
// or a JSON object, each ending in a newline.

#ifndef KESTREL_TOOLS_LISTEN_EVENT_LINE_H_
#define KESTREL_TOOLS_LISTEN_EVENT_LINE_H_

#include <time.h>

#include <cstdint>
#include <string>

namespace kestrel {
namespace tools {

// The five values of one notification, as OnEvent hands them over; null
// strings count as empty.
struct EventFields {
  const char* module;
  const char* host;
  uint32_t severity;
  uint32_t messageCode;
  const char* description;
};

// "2026-12-07 09:10:11.123 host module severity=3 code=0x00001001 text\n",
// with receivedAt in local time. An empty host or module shows as "-", and
// every control character as a space, so that one event is one line.
std::string TextLine(const EventFields& event, const timespec& receivedAt);

// {"module":"...","host":"...","severity":3,"messageCode":4097,"description":"..."}
// and a newline. Quotes and backslashes are escaped, control characters
// written as \u00XX; other bytes, UTF-8 or not, are passed on unchanged.
std::string JsonLine(const EventFields& event);

}  // namespace tools
}  // namespace kestrel

#endif  // KESTREL_TOOLS_LISTEN_EVENT_LINE_H_
