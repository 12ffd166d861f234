#include "channeld/base/log.h"

#include <atomic>
#include <cstdio>
#include <ctime>

#include "channeld/base/log_file.h"

namespace kestrel {
namespace channeld {

namespace {

std::atomic<bool> verboseLogging{false};
LogFile* logFile = nullptr;  // set before any thread writes

constexpr const char kProgram[] = "kestrel-channeld: ";

std::string Prefix() {
  if (logFile == nullptr) return kProgram;
  std::time_t now = std::time(nullptr);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S ", std::localtime(&now));
  return stamp + std::string(kProgram);
}

// One write for the whole text, so that lines from different threads do not
// mix.
void WriteText(const std::string& text, std::FILE* stream = stderr) {
  if (logFile != nullptr) {
    logFile->Append(text);
    return;
  }
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

void Write(const std::string& message) { WriteText(Prefix() + message + "\n"); }

}  // namespace

void Log::SetVerbose(bool verbose) { verboseLogging = verbose; }

void Log::WriteTo(LogFile* file) { logFile = file; }

bool Log::verbose() { return verboseLogging; }

void Log::Info(const std::string& message) {
  if (verboseLogging) Write(message);
}

void Log::Error(const std::string& message) { Write(message); }

void Log::Lines(const std::string& lines) {
  const std::string prefix = Prefix();
  std::string text;
  std::size_t start = 0;
  while (start < lines.size()) {
    std::size_t end = lines.find('\n', start);
    if (end == std::string::npos) end = lines.size();
    text += prefix + lines.substr(start, end - start) + "\n";
    start = end + 1;
  }
  WriteText(text);
}

void Log::Raw(const char* text) { WriteText(text); }

void Log::Addresses(const std::string& lines) {
  if (logFile != nullptr) {
    Lines(lines);
  } else {
    WriteText(lines, stdout);
  }
}

}  // namespace channeld
}  // namespace kestrel
