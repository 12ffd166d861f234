// A background thread for clean-up work that must not run where it arises:
// a delivery thread cannot join itself, and an incoming call should not wait
// for a consumer's delivery thread to finish its current push.

#ifndef KESTREL_CHANNELD_RUNTIME_JANITOR_H_
#define KESTREL_CHANNELD_RUNTIME_JANITOR_H_

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace kestrel {
namespace channeld {

class Janitor {
 public:
  Janitor();
  ~Janitor();  // Stop()
  Janitor(const Janitor&) = delete;
  Janitor& operator=(const Janitor&) = delete;

  // Runs task on the janitor's thread, in posting order; once stopped, runs
  // it at once on the caller's thread.
  void Post(std::function<void()> task);

  // Runs every task posted so far, then ends the thread. Idempotent.
  void Stop();

 private:
  void Run();

  std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<std::function<void()>> tasks_;
  bool stopping_ = false;
  bool stopped_ = false;
  std::thread thread_;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_RUNTIME_JANITOR_H_
