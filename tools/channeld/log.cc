#include "tools/channeld/log.h"

#include <atomic>
#include <cstdio>

namespace kestrel {
namespace channeld {

namespace {

std::atomic<bool> verboseLogging{false};

void Write(const std::string& message) {
  // One write per line, so that lines from different threads do not mix.
  std::string line = "kestrel-channeld: " + message + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

void Log::SetVerbose(bool verbose) { verboseLogging = verbose; }

bool Log::verbose() { return verboseLogging; }

void Log::Info(const std::string& message) {
  if (verboseLogging) Write(message);
}

void Log::Error(const std::string& message) { Write(message); }

}  // namespace channeld
}  // namespace kestrel
