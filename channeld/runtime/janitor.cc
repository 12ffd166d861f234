#include "channeld/runtime/janitor.h"

#include <utility>

namespace kestrel {
namespace channeld {

Janitor::Janitor() : thread_([this] { Run(); }) {}

Janitor::~Janitor() { Stop(); }

void Janitor::Post(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!stopped_) {
      tasks_.push_back(std::move(task));
      posted_.notify_one();
      return;
    }
  }
  task();
}

void Janitor::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
  }
  posted_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void Janitor::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    posted_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
    if (tasks_.empty()) {
      // Stopping with nothing left: later posts run on their caller.
      stopped_ = true;
      return;
    }
    std::function<void()> task = std::move(tasks_.front());
    tasks_.pop_front();
    lock.unlock();
    task();
    task = nullptr;
    lock.lock();
  }
}

}  // namespace channeld
}  // namespace kestrel
