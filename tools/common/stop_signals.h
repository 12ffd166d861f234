// How a command-line program is asked to end: SIGINT or SIGTERM, taken by a
// thread of its own with sigwait (so that no handler ever runs on a broker
// thread), or a request from inside the program. kestrel-channeld and
// kestrel-listen both end this way. A program may also take SIGUSR1 on the
// same thread, as a request for a report. On Windows, console control
// events (Ctrl+C, Ctrl+Break, closing) take the place of the signals.

#ifndef KESTREL_TOOLS_COMMON_STOP_SIGNALS_H_
#define KESTREL_TOOLS_COMMON_STOP_SIGNALS_H_

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace kestrel {
namespace tools {

class StopSignals {
 public:
  struct Stop {
    std::string reason;  // "SIGINT", "SIGTERM", or what the program said
    int exitStatus = 0;  // 0 for a signal: being asked to end is a normal end
  };

  // How a user asks the program to end, for its usage text:
  // "SIGINT or SIGTERM", or on Windows "Ctrl+C or Ctrl+Break".
  static const char* const kEndRequests;

  // Blocks SIGINT and SIGTERM in the calling thread, which every thread it
  // starts afterwards inherits (the library's and the broker's threads
  // too), and ignores SIGPIPE so that a closed output is an error to
  // report, not death.
  // With reportSignal, SIGUSR1 is blocked as well.
  // REQUIRES: called first in main, before any other thread exists.
  static void BlockInProcess(bool reportSignal = false);

  StopSignals();   // starts the signal thread
  // SIGUSR1 calls onReport, on the signal thread.
  // REQUIRES: BlockInProcess(true) was called.
  explicit StopSignals(std::function<void()> onReport);
  ~StopSignals();  // ends it
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // Waits for the first request and answers it.
  Stop Wait();
  // Thread-safe; requests after the first are ignored. An empty reason
  // reads "request".
  void Request(const std::string& reason, int exitStatus = 0);

  // What a signal would do, asked by other means (a Windows service's
  // control handler): the StopSignals that is listening now is asked to end
  // for reason, or to report (when it takes reports). False when no
  // StopSignals is listening.
  static bool RequestOfListening(const std::string& reason);
  static bool ReportOfListening();

 private:
  void WatchSignals();

  // The one that listens: there is one at a time.
  static std::atomic<StopSignals*> listening_;

  const std::function<void()> onReport_;
  std::mutex mutex_;
  std::condition_variable requested_;
  bool isRequested_ = false;
  Stop stop_;
  bool ending_ = false;
  std::thread watcher_;
};

}  // namespace tools
}  // namespace kestrel

#endif  // KESTREL_TOOLS_COMMON_STOP_SIGNALS_H_
