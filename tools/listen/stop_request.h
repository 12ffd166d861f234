// When kestrel-listen ends, and with which exit status: SIGINT or SIGTERM,
// taken by a thread of its own with sigwait (no handler ever runs on a
// library thread), or a request from inside the program (enough events
// printed, standard output gone). The first request wins.

#ifndef KESTREL_TOOLS_LISTEN_STOP_REQUEST_H_
#define KESTREL_TOOLS_LISTEN_STOP_REQUEST_H_

#include <condition_variable>
#include <mutex>
#include <thread>

namespace kestrel {
namespace tools {

class StopRequest {
 public:
  // Blocks SIGINT and SIGTERM in the calling thread, which every thread it
  // starts afterwards inherits (the library's threads too), and ignores
  // SIGPIPE so that a closed output is an error to report, not death.
  // REQUIRES: called first in main, before any other thread exists.
  static void BlockInProcess();

  StopRequest();   // starts the signal thread
  ~StopRequest();  // ends it
  StopRequest(const StopRequest&) = delete;
  StopRequest& operator=(const StopRequest&) = delete;

  // Waits for the first request and answers its exit status.
  int Wait();
  // Thread-safe; requests after the first are ignored.
  void Request(int exitStatus);

 private:
  void WatchSignals();

  std::mutex mutex_;
  std::condition_variable requested_;
  bool isRequested_ = false;
  int exitStatus_ = 0;
  bool ending_ = false;
  std::thread watcher_;
};

}  // namespace tools
}  // namespace kestrel

#endif  // KESTREL_TOOLS_LISTEN_STOP_REQUEST_H_
