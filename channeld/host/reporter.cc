#include "channeld/host/reporter.h"

#include <utility>

namespace kestrel {
namespace channeld {

Reporter::Reporter(std::chrono::milliseconds period, Task periodic, Task requested)
    : period_(period), periodic_(std::move(periodic)), requested_(std::move(requested)) {}

Reporter::~Reporter() { Stop(); }

void Reporter::Start() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (running_ || thread_.joinable()) return;
  running_ = true;
  thread_ = std::thread([this] { Run(); });
}

void Reporter::Request() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_) return;
    requestPending_ = true;
  }
  woken_.notify_one();
}

void Reporter::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
  }
  woken_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void Reporter::Run() {
  std::chrono::steady_clock::time_point next = std::chrono::steady_clock::now() + period_;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    woken_.wait_until(lock, next, [this] { return !running_ || requestPending_; });
    bool requested = requestPending_;
    bool due = std::chrono::steady_clock::now() >= next;
    bool ending = !running_;
    requestPending_ = false;
    lock.unlock();
    if (requested) requested_();
    if (due || ending) {
      periodic_();
      next = std::chrono::steady_clock::now() + period_;
    }
    if (ending) return;
    lock.lock();
  }
}

}  // namespace channeld
}  // namespace kestrel
