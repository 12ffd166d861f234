#include "tools/channeld/log.h"

#include <atomic>
#include <cstdio>

namespace kestrel {
namespace channeld {

namespace {

std::atomic<bool> verboseLogging{false};

constexpr const char kPrefix[] = "kestrel-channeld: ";

// One write for the whole text, so that lines from different threads do not
// mix.
void WriteText(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

void Write(const std::string& message) { WriteText(kPrefix + message + "\n"); }

}  // namespace

void Log::SetVerbose(bool verbose) { verboseLogging = verbose; }

bool Log::verbose() { return verboseLogging; }

void Log::Info(const std::string& message) {
  if (verboseLogging) Write(message);
}

void Log::Error(const std::string& message) { Write(message); }

void Log::Lines(const std::string& lines) {
  std::string text;
  std::size_t start = 0;
  while (start < lines.size()) {
    std::size_t end = lines.find('\n', start);
    if (end == std::string::npos) end = lines.size();
    text += kPrefix + lines.substr(start, end - start) + "\n";
    start = end + 1;
  }
  WriteText(text);
}

}  // namespace channeld
}  // namespace kestrel
