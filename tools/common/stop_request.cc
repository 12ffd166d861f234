// The part of StopSignals that is the same on every system: waiting for the
// first request to end, and answering it.

#include "tools/common/stop_signals.h"

namespace kestrel {
namespace tools {

std::atomic<StopSignals*> StopSignals::listening_{nullptr};

StopSignals::StopSignals() : StopSignals(nullptr) {}

StopSignals::Stop StopSignals::Wait() {
  std::unique_lock<std::mutex> lock(mutex_);
  requested_.wait(lock, [this] { return isRequested_; });
  return stop_;
}

void StopSignals::Request(const std::string& reason, int exitStatus) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (isRequested_) return;
  isRequested_ = true;
  stop_.reason = reason.empty() ? "request" : reason;
  stop_.exitStatus = exitStatus;
  requested_.notify_all();
}

bool StopSignals::RequestOfListening(const std::string& reason) {
  StopSignals* listening = listening_.load();
  if (listening == nullptr) return false;
  listening->Request(reason);
  return true;
}

bool StopSignals::ReportOfListening() {
  StopSignals* listening = listening_.load();
  if (listening == nullptr || listening->onReport_ == nullptr) return false;
  listening->onReport_();
  return true;
}

}  // namespace tools
}  // namespace kestrel
