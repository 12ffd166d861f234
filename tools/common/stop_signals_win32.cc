// On Windows a console program is asked to end by a console control event
// (Ctrl+C, Ctrl+Break, its window closing, logoff or shutdown). The system
// runs the handler on a thread of its own, which stands in for the signal
// thread. A service is asked by its control handler instead, through
// RequestOfListening and ReportOfListening.

#include "tools/common/stop_signals.h"

#include <windows.h>

#include <utility>

namespace kestrel {
namespace tools {

namespace {

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

// The handler has no context argument: it asks the one that listens.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  return StopSignals::RequestOfListening(EventName(event)) ? TRUE : FALSE;
}

}  // namespace

const char* const StopSignals::kEndRequests = "Ctrl+C or Ctrl+Break";

void StopSignals::BlockInProcess(bool /*reportSignal*/) {}

StopSignals::StopSignals(std::function<void()> onReport) : onReport_(std::move(onReport)) {
  listening_.store(this);
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

StopSignals::~StopSignals() {
  ::SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
  listening_.store(nullptr);
}

}  // namespace tools
}  // namespace kestrel
