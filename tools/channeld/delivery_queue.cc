#include "tools/channeld/delivery_queue.h"

#include <thread>
#include <utility>

namespace kestrel {
namespace channeld {

DeliveryQueue::DeliveryQueue(std::size_t capacity) : capacity_(capacity > 0 ? capacity : 1) {}

void DeliveryQueue::UpdatePoppable() {
  poppable_.store(closed_ || (!paused_ && !events_.empty()), std::memory_order_release);
}

bool DeliveryQueue::Push(EventPtr event) {
  EventPtr oldest;  // released outside the lock
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return false;
    if (events_.size() >= capacity_) {
      oldest = std::move(events_.front());
      events_.pop_front();
      ++discarded_;
    }
    events_.push_back(std::move(event));
    UpdatePoppable();
  }
  changed_.notify_one();
  return true;
}

bool DeliveryQueue::Pop(EventPtr* event) {
  using Clock = std::chrono::steady_clock;
  if (streaming_ && !poppable_.load(std::memory_order_acquire)) {
    Clock::time_point until = Clock::now() + kSpin;
    while (!poppable_.load(std::memory_order_acquire) && Clock::now() < until) {
      std::this_thread::yield();
    }
  }
  std::unique_lock<std::mutex> lock(mutex_);
  auto ready = [this] { return closed_ || (!paused_ && !events_.empty()); };
  if (!ready()) {
    Clock::time_point started = Clock::now();
    changed_.wait(lock, ready);
    streaming_ = Clock::now() - started < kSpin;
  }
  if (closed_) return false;
  *event = std::move(events_.front());
  events_.pop_front();
  UpdatePoppable();
  return true;
}

bool DeliveryQueue::SleepUnlessClosed(std::chrono::milliseconds delay) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, delay, [this] { return closed_; });
  return !closed_;
}

void DeliveryQueue::Pause() {
  std::lock_guard<std::mutex> lock(mutex_);
  paused_ = true;
  UpdatePoppable();
}

void DeliveryQueue::Resume() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    paused_ = false;
    UpdatePoppable();
  }
  changed_.notify_all();
}

bool DeliveryQueue::paused() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return paused_;
}

void DeliveryQueue::Close() {
  std::deque<EventPtr> discarded;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    discarded.swap(events_);
    UpdatePoppable();
  }
  changed_.notify_all();
}

bool DeliveryQueue::closed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closed_;
}

std::size_t DeliveryQueue::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_.size();
}

std::uint64_t DeliveryQueue::discarded() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return discarded_;
}

}  // namespace channeld
}  // namespace kestrel
