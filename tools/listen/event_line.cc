#include "tools/listen/event_line.h"

#include <cstdio>
#include <ctime>

namespace kestrel {
namespace tools {

namespace {

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

std::string TextField(const char* text) {
  if (text == nullptr || *text == '\0') return "-";
  std::string field(text);
  for (char& c : field) {
    if (IsControl(static_cast<unsigned char>(c))) c = ' ';
  }
  return field;
}

void AppendJsonString(const char* text, std::string* out) {
  out->push_back('"');
  for (const char* p = text != nullptr ? text : ""; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\') {
      out->push_back('\\');
      out->push_back(static_cast<char>(c));
    } else if (c < 0x20) {
      char escaped[7];
      std::snprintf(escaped, sizeof escaped, "\\u%04X", c);
      out->append(escaped);
    } else {
      out->push_back(static_cast<char>(c));
    }
  }
  out->push_back('"');
}

}  // namespace

std::string TextLine(const EventFields& event, const timespec& receivedAt) {
  tm local;
  localtime_r(&receivedAt.tv_sec, &local);
  char when[32];
  size_t length = std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &local);
  std::snprintf(when + length, sizeof when - length, ".%03ld", receivedAt.tv_nsec / 1000000L);

  char numbers[48];
  std::snprintf(numbers, sizeof numbers, " severity=%u code=0x%08X", event.severity,
                event.messageCode);

  std::string line(when);
  line += ' ';
  line += TextField(event.host);
  line += ' ';
  line += TextField(event.module);
  line += numbers;
  // The description is last, so it may be empty or hold spaces without
  // making the line ambiguous.
  if (event.description != nullptr && *event.description != '\0') {
    line += ' ';
    line += TextField(event.description);
  }
  line += '\n';
  return line;
}

std::string JsonLine(const EventFields& event) {
  std::string line = "{\"module\":";
  AppendJsonString(event.module, &line);
  line += ",\"host\":";
  AppendJsonString(event.host, &line);
  line += ",\"severity\":" + std::to_string(event.severity);
  line += ",\"messageCode\":" + std::to_string(event.messageCode);
  line += ",\"description\":";
  AppendJsonString(event.description, &line);
  line += "}\n";
  return line;
}

}  // namespace tools
}  // namespace kestrel
