// Graceful shutdown requests: SIGTERM and SIGINT, taken by a dedicated
// thread with sigwait (so that no handler ever runs on an ORB thread), or a
// request from inside the program.

#ifndef KESTREL_TOOLS_CHANNELD_SHUTDOWN_SIGNALS_H_
#define KESTREL_TOOLS_CHANNELD_SHUTDOWN_SIGNALS_H_

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace kestrel {
namespace channeld {

class ShutdownSignals {
 public:
  // Blocks SIGTERM and SIGINT in the calling thread, which every thread it
  // starts afterwards inherits, and ignores SIGPIPE. Call it first in main,
  // before any other thread exists.
  static void BlockInProcess();

  ShutdownSignals();   // starts the signal thread
  ~ShutdownSignals();  // ends it
  ShutdownSignals(const ShutdownSignals&) = delete;
  ShutdownSignals& operator=(const ShutdownSignals&) = delete;

  // Waits for the first request; answers its reason ("SIGTERM", ...).
  std::string Wait();
  // Requests shutdown; later requests are ignored.
  void Request(const std::string& reason);

 private:
  void Watch();

  std::mutex mutex_;
  std::condition_variable requested_;
  std::string reason_;
  bool stopping_ = false;
  std::thread watcher_;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_TOOLS_CHANNELD_SHUTDOWN_SIGNALS_H_
