// The thread that writes channeld's reports to stderr: every period, what
// the periodic task finds (discarded events), and on request, at once, what
// the requested task writes (the counters that SIGUSR1 asks for). Both run
// on this one thread, never at the same time.

#ifndef KESTREL_CHANNELD_HOST_REPORTER_H_
#define KESTREL_CHANNELD_HOST_REPORTER_H_

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace kestrel {
namespace channeld {

class Reporter {
 public:
  using Task = std::function<void()>;

  Reporter(std::chrono::milliseconds period, Task periodic, Task requested);
  ~Reporter();  // Stop()
  Reporter(const Reporter&) = delete;
  Reporter& operator=(const Reporter&) = delete;

  void Start();
  // Thread-safe; requests before Start or after Stop are dropped.
  void Request();
  // Runs the periodic task once more, then ends the thread. Idempotent.
  void Stop();

 private:
  void Run();

  const std::chrono::milliseconds period_;
  const Task periodic_;
  const Task requested_;
  std::mutex mutex_;
  std::condition_variable woken_;
  bool running_ = false;
  bool requestPending_ = false;
  std::thread thread_;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_HOST_REPORTER_H_
