// On Windows a console program is asked to end by a console control event
// (Ctrl+C, Ctrl+Break, its window closing, logoff or shutdown). The system
// runs the handler on a thread of its own, which stands in for the signal
// thread; there is no report request.

#include "tools/common/stop_signals.h"

#include <windows.h>

#include <atomic>
#include <utility>

namespace kestrel {
namespace tools {

namespace {

// The handler has no context argument: one StopSignals at a time listens.
std::atomic<StopSignals*> listening{nullptr};

const char* EventName(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
      return "Ctrl+C";
    case CTRL_BREAK_EVENT:
      return "Ctrl+Break";
    case CTRL_CLOSE_EVENT:
      return "console closed";
    default:
      return "system shutdown";
  }
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
  StopSignals* stop = listening.load();
  if (stop == nullptr) return FALSE;
  stop->Request(EventName(event));
  return TRUE;
}

}  // namespace

const char* const StopSignals::kEndRequests = "Ctrl+C or Ctrl+Break";

void StopSignals::BlockInProcess(bool /*reportSignal*/) {}

StopSignals::StopSignals(std::function<void()> onReport) : onReport_(std::move(onReport)) {
  listening.store(this);
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

StopSignals::~StopSignals() {
  ::SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
  listening.store(nullptr);
}

}  // namespace tools
}  // namespace kestrel
