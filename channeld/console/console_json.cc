#include "channeld/console/console_json.h"

#include <ace/OS_NS_time.h>

#include <cinttypes>
#include <cstdio>

#include "filter/value.h"

namespace kestrel {
namespace channeld {

namespace {

// The length of the UTF-8 sequence at text[i], or 0 when there is none.
std::size_t Utf8Length(std::string_view text, std::size_t i) {
  unsigned char c = static_cast<unsigned char>(text[i]);
  std::size_t length = c < 0x80 ? 1 : c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3
                       : c >= 0xF0 && c <= 0xF4                ? 4
                                                               : 0;
  if (length == 0 || i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 0;
  }
  unsigned char next = static_cast<unsigned char>(length > 1 ? text[i + 1] : 0);
  if (c == 0xE0 && next < 0xA0) return 0;  // overlong
  if (c == 0xED && next > 0x9F) return 0;  // a surrogate
  if (c == 0xF0 && next < 0x90) return 0;  // overlong
  if (c == 0xF4 && next > 0x8F) return 0;  // beyond U+10FFFF
  return length;
}

std::string Number(std::uint64_t value) { return std::to_string(value); }

std::string Member(const char* name, const std::string& json) {
  return std::string("\"") + name + "\":" + json;
}

// A string member of the record, as `$name` finds it; empty otherwise.
std::string_view Text(filter::EventView* view, const char* name) {
  const filter::Value* value = view->Content(view->Property(name));
  return value != nullptr && value->kind == filter::ValueKind::kString ? value->text
                                                                        : std::string_view();
}

std::uint32_t Unsigned(filter::EventView* view, const char* name) {
  const filter::Value* value = view->Content(view->Property(name));
  if (value == nullptr || value->kind != filter::ValueKind::kInteger) return 0;
  return static_cast<std::uint32_t>(value->integer);
}

// "2026-12-09 13:32:49.123", local time.
std::string LocalTime(std::chrono::system_clock::time_point time) {
  auto since = time.time_since_epoch();
  time_t seconds = static_cast<time_t>(std::chrono::duration_cast<std::chrono::seconds>(since).count());
  long millis = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(since).count() % 1000);
  struct tm local = {};
  ACE_OS::localtime_r(&seconds, &local);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03ld", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                millis);
  return text;
}

}  // namespace

std::string JsonString(std::string_view text) {
  std::string json = "\"";
  for (std::size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    std::size_t length = Utf8Length(text, i);
    if (length == 0) {
      json += "\\ufffd";
      ++i;
      continue;
    }
    if (length > 1) {
      std::string_view sequence = text.substr(i, length);
      // Line and paragraph separators end a line of script.
      if (sequence == "\xE2\x80\xA8" || sequence == "\xE2\x80\xA9") {
        json += sequence[2] == '\xA8' ? "\\u2028" : "\\u2029";
      } else {
        json += sequence;
      }
      i += length;
      continue;
    }
    switch (c) {
      case '"': json += "\\\""; break;
      case '\\': json += "\\\\"; break;
      case '\n': json += "\\n"; break;
      case '\r': json += "\\r"; break;
      case '\t': json += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F || c == '<' || c == '>' || c == '&') {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          json += escaped;
        } else {
          json += static_cast<char>(c);
        }
    }
    ++i;
  }
  return json + "\"";
}

const char* SeverityName(std::uint32_t severity) {
  static const char* const kNames[] = {"debug", "info", "notice", "warning",
                                       "error", "critical", "alert"};
  return kNames[severity < 6 ? severity : 6];
}

std::string NotificationJson(const PassedEvent& passed, filter::EventView* view) {
  std::uint32_t severity = Unsigned(view, "mSeverity");
  return "{" + Member("time", JsonString(LocalTime(passed.time))) + "," +
         Member("channel", JsonString(passed.channel)) + "," +
         Member("host", JsonString(Text(view, "mHost"))) + "," +
         Member("module", JsonString(Text(view, "mModule"))) + "," +
         Member("severity", Number(severity)) + "," +
         Member("severityName", JsonString(SeverityName(severity))) + "," +
         Member("code", Number(Unsigned(view, "mMessageCode"))) + "," +
         Member("description", JsonString(Text(view, "mDescription"))) + "}";
}

std::string StateJson(const ConsoleFigures& figures, std::size_t viewers, std::size_t maxViewers) {
  char uptime[32];
  std::snprintf(uptime, sizeof uptime, "%.1f", figures.uptimeSeconds);
  std::string json = "{" + Member("version", JsonString(figures.version)) + "," +
                     Member("uptimeSeconds", uptime) + "," +
                     Member("clustered", figures.clustered ? "true" : "false") + "," +
                     Member("viewers", Number(viewers)) + "," +
                     Member("maxViewers", Number(maxViewers)) + ",\"channels\":[";
  for (std::size_t i = 0; i < figures.channels.size(); ++i) {
    const ConsoleFigures::Channel& channel = figures.channels[i];
    json += std::string(i == 0 ? "" : ",") + "{" + Member("key", JsonString(channel.key)) + "," +
            Member("suppliers", Number(channel.suppliers)) + "," +
            Member("consumers", Number(channel.consumers)) + "," +
            Member("received", Number(channel.received)) + "," +
            Member("delivered", Number(channel.delivered)) + "," +
            Member("discarded", Number(channel.discarded)) + "}";
  }
  json += "],\"proxies\":[";
  for (std::size_t i = 0; i < figures.proxies.size(); ++i) {
    const ConsoleFigures::Proxy& proxy = figures.proxies[i];
    json += std::string(i == 0 ? "" : ",") + "{" + Member("channel", JsonString(proxy.channel)) +
            "," + Member("proxy", JsonString(proxy.proxy)) + "," +
            Member("queued", Number(proxy.queued)) + "," +
            Member("delivered", Number(proxy.delivered)) + "," +
            Member("discarded", Number(proxy.discarded)) + "}";
  }
  json += "],\"state\":";
  if (!figures.stateKept) return json + "null}";
  return json + "{" + Member("directory", JsonString(figures.stateDirectory)) + "," +
         Member("eventLogAppended", Number(figures.eventLogAppended)) + "," +
         Member("eventLogSegments", Number(figures.eventLogSegments)) + "," +
         Member("eventLogSyncs", Number(figures.eventLogSyncs)) + "}}";
}

std::string FilterAnswerJson(const TailFilter::Problem* problem) {
  if (problem == nullptr) return "{\"ok\":true}";
  return "{\"ok\":false," + Member("message", JsonString(problem->message)) + "," +
         Member("position", Number(problem->position)) + "}";
}

}  // namespace channeld
}  // namespace kestrel
