// What the console's page is sent, as JSON (the shapes are in this room's
// README). A notification's text is untrusted: every string is escaped so
// that it stays a string whatever it holds, markup included (<, > and &
// are written as \u escapes, so that nothing reads as a tag even outside a
// script's JSON.parse).

#ifndef KESTREL_CHANNELD_CONSOLE_CONSOLE_JSON_H_
#define KESTREL_CHANNELD_CONSOLE_CONSOLE_JSON_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "channeld/console/notification_tail.h"
#include "channeld/console/tail_filter.h"
#include "filter/event_view.h"

namespace kestrel {
namespace channeld {

// The service's figures as the page shows them; the host fills them.
struct ConsoleFigures {
  struct Channel {
    std::string key;
    std::uint64_t suppliers = 0;
    std::uint64_t consumers = 0;
    std::uint64_t received = 0;
    std::uint64_t delivered = 0;
    std::uint64_t discarded = 0;
  };
  struct Proxy {
    std::string channel;
    std::string proxy;  // "admin/id"
    std::uint64_t queued = 0;
    std::uint64_t delivered = 0;
    std::uint64_t discarded = 0;
  };
  std::string version;
  double uptimeSeconds = 0;
  bool clustered = false;
  std::vector<Channel> channels;
  std::vector<Proxy> proxies;  // the busiest connected consumer proxies
  // With a state directory only.
  bool stateKept = false;
  std::string stateDirectory;
  std::uint64_t eventLogAppended = 0;
  std::uint64_t eventLogSegments = 0;
  std::uint64_t eventLogSyncs = 0;
};

// text as a JSON string, quotes included. Bytes that are no UTF-8 become
// U+FFFD, so that the page always receives text.
std::string JsonString(std::string_view text);

// The console's reading of a severity: "debug", "info", "notice",
// "warning", "error", "critical", then "alert" for 6 and above.
const char* SeverityName(std::uint32_t severity);

// passed as one line of the tail; view is its event's, made with
// TailFilter::kNames. Members the event lacks (it is no notification)
// are empty or zero.
std::string NotificationJson(const PassedEvent& passed, filter::EventView* view);

// figures, with viewers of maxViewers watching the tail.
std::string StateJson(const ConsoleFigures& figures, std::size_t viewers, std::size_t maxViewers);

std::string FilterAnswerJson(const TailFilter::Problem* problem);  // null: ok

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_CONSOLE_CONSOLE_JSON_H_
