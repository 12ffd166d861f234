#include "channeld/delivery/delivery_queue.h"

#include <algorithm>
#include <iterator>
#include <thread>
#include <utility>

namespace kestrel {
namespace channeld {

DeliveryQueue::DeliveryQueue(const QueuePolicy& policy, ChannelBacklog* backlog)
    : backlog_(backlog), policy_(policy) {}

DeliveryQueue::~DeliveryQueue() {
  if (backlog_ != nullptr) backlog_->Removed(events_.size());
}

void DeliveryQueue::SetPolicy(const QueuePolicy& policy) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    policy_ = policy;
  }
  roomFreed_.notify_all();
}

QueuePolicy DeliveryQueue::policy() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return policy_;
}

bool DeliveryQueue::Full() const {
  return policy_.maxEvents > 0 && events_.size() >= policy_.maxEvents;
}

bool DeliveryQueue::ChannelFull() const { return backlog_ != nullptr && backlog_->full(); }

void DeliveryQueue::UpdatePoppable() {
  poppable_.store(closed_ || (!paused_ && !events_.empty()), std::memory_order_release);
}

void DeliveryQueue::Append(EventPtr event) {
  events_.push_back(std::move(event));
  if (backlog_ != nullptr) backlog_->Added(1);
  UpdatePoppable();
}

DeliveryQueue::Offer DeliveryQueue::Discard(EventPtr event, EventPtr* dropped) {
  ++discarded_;
  if (policy_.DiscardsNewest() || events_.empty()) {
    *dropped = std::move(event);
    return Offer::kDiscarded;
  }
  // One out, one in: the channel's backlog stays as it was. A bound made
  // smaller while the queue was fuller gives way one event per push, so
  // that a policy change never discards a burst at once.
  *dropped = std::move(events_.front());
  events_.pop_front();
  events_.push_back(std::move(event));
  return Offer::kQueued;
}

DeliveryQueue::Offer DeliveryQueue::TryPush(EventPtr event) {
  EventPtr dropped;  // released outside the lock
  Offer offer;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return Offer::kClosed;
    bool channelFull = ChannelFull();
    if (!Full() && !channelFull) {
      Append(std::move(event));
      offer = Offer::kQueued;
    } else if (!channelFull && !overflowing_ && policy_.blockTimeout.count() > 0) {
      return Offer::kMustWait;
    } else {
      offer = Discard(std::move(event), &dropped);
    }
  }
  Dropped(dropped);
  if (offer == Offer::kQueued) changed_.notify_one();
  return offer;
}

DeliveryQueue::Offer DeliveryQueue::PushWaiting(EventPtr event, Clock::time_point waitStarted) {
  EventPtr dropped;
  Offer offer;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    Clock::time_point deadline =
        waitStarted + std::chrono::duration_cast<Clock::duration>(policy_.blockTimeout);
    ++waitingPushers_;
    // Pop wakes waiters in batches (see kWakeInterval); a waiter also looks
    // for room by itself as often, so that room made by a consumer that
    // then stalls is never missed.
    auto ready = [this] { return closed_ || overflowing_ || !Full(); };
    bool room = false;
    for (;;) {
      Clock::time_point until = std::min(deadline, Clock::now() + kWakeInterval);
      room = roomFreed_.wait_until(lock, until, ready);
      if (room || until >= deadline) break;
    }
    --waitingPushers_;
    if (closed_) return Offer::kClosed;
    if (!room) {
      overflowing_ = true;
      roomFreed_.notify_all();  // the other waiters give up as well
    }
    if (!Full() && !ChannelFull()) {
      Append(std::move(event));
      offer = Offer::kQueued;
    } else {
      offer = Discard(std::move(event), &dropped);
    }
  }
  Dropped(dropped);
  if (offer == Offer::kQueued) changed_.notify_one();
  return offer;
}

bool DeliveryQueue::Push(EventPtr event) {
  Offer offer = TryPush(event);
  if (offer == Offer::kMustWait) offer = PushWaiting(std::move(event), Clock::now());
  return offer != Offer::kClosed;
}

bool DeliveryQueue::Pop(EventPtr* event) {
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
  if (backlog_ != nullptr) backlog_->Removed(1);
  if (overflowing_ && (policy_.maxEvents == 0 || events_.size() <= policy_.maxEvents / 2)) {
    overflowing_ = false;
  }
  UpdatePoppable();
  bool wake = waitingPushers_ > 0 && TimeToWakePushers();
  lock.unlock();
  if (wake) roomFreed_.notify_all();
  return true;
}

bool DeliveryQueue::TimeToWakePushers() {
  ++freedSinceWake_;
  Clock::time_point now = Clock::now();
  bool batch = freedSinceWake_ >= kWakeBatch ||
               (policy_.maxEvents > 0 && freedSinceWake_ >= policy_.maxEvents / 2);
  if (!batch && now - lastWake_ < kWakeInterval) return false;
  freedSinceWake_ = 0;
  lastWake_ = now;
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
  std::deque<EventPtr> unsent;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    unsent.swap(events_);
    if (backlog_ != nullptr) backlog_->Removed(unsent.size());
    UpdatePoppable();
  }
  changed_.notify_all();
  roomFreed_.notify_all();
  for (const EventPtr& event : unsent) Dropped(event);
}

void DeliveryQueue::Seal() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    sealed_ = true;
    UpdatePoppable();
  }
  changed_.notify_all();
  roomFreed_.notify_all();
}

void DeliveryQueue::Restore(std::vector<EventPtr> events) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return;
    for (EventPtr& event : events) Append(std::move(event));
  }
  changed_.notify_one();
}

std::vector<EventPtr> DeliveryQueue::TakeAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<EventPtr> taken(std::make_move_iterator(events_.begin()),
                              std::make_move_iterator(events_.end()));
  events_.clear();
  if (backlog_ != nullptr) backlog_->Removed(taken.size());
  UpdatePoppable();
  return taken;
}

bool DeliveryQueue::sealed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sealed_;
}

bool DeliveryQueue::closed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closed_;
}

std::size_t DeliveryQueue::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_.size();
}

DeliveryQueue::Counters DeliveryQueue::counters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  Counters counters;
  counters.queued = events_.size();
  counters.discarded = discarded_;
  counters.overflowing = overflowing_;
  return counters;
}

std::uint64_t DeliveryQueue::TakeNewDiscards() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::uint64_t fresh = discarded_ - reportedDiscards_;
  reportedDiscards_ = discarded_;
  return fresh;
}

}  // namespace channeld
}  // namespace kestrel
