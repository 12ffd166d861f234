#include "channeld/console/notification_tail.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace kestrel {
namespace channeld {

NotificationTail::NotificationTail(std::size_t maxViewers, std::size_t queueBound)
    : maxViewers_(maxViewers), queueBound_(std::max<std::size_t>(queueBound, 1)) {}

NotificationTail::~NotificationTail() { Close(); }

bool NotificationTail::RoomOrDropped() {
  for (Page* page : pages_) {
    if (page->queue.size() < queueBound_) return true;
  }
  for (Page* page : pages_) ++page->dropped;
  return false;
}

void NotificationTail::Offer(const std::string& channel,
                             const CosNotification::StructuredEvent& event) {
  if (!Watched()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!RoomOrDropped()) return;
  }
  std::shared_ptr<const PassedEvent> passed;
  try {
    passed = std::make_shared<const PassedEvent>(
        PassedEvent{channel, std::chrono::system_clock::now(), event});
  } catch (...) {
    return;  // no memory for the pages: the supplier goes on regardless
  }
  copies_.fetch_add(1, std::memory_order_relaxed);
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Page* page : pages_) {
      if (page->queue.size() >= queueBound_) {
        ++page->dropped;
        continue;
      }
      page->queue.push_back(passed);
      wake |= page->waiting;
    }
  }
  if (wake) offered_.notify_all();
}

std::unique_ptr<NotificationTail::Viewer> NotificationTail::Watch() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_ || pages_.size() >= maxViewers_) return nullptr;
  auto page = std::make_unique<Page>();
  pages_.push_back(page.get());
  watching_.store(pages_.size(), std::memory_order_relaxed);
  return std::unique_ptr<Viewer>(new Viewer(this, page.release()));
}

void NotificationTail::Close() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
  }
  offered_.notify_all();
}

void NotificationTail::Leave(Page* page) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pages_.erase(std::remove(pages_.begin(), pages_.end(), page), pages_.end());
    watching_.store(pages_.size(), std::memory_order_relaxed);
  }
  delete page;
}

NotificationTail::Viewer::~Viewer() { tail_->Leave(page_); }

NotificationTail::Viewer::Next NotificationTail::Viewer::TakeAll(
    std::chrono::milliseconds wait, std::vector<std::shared_ptr<const PassedEvent>>* events,
    std::uint64_t* dropped) {
  std::unique_lock<std::mutex> lock(tail_->mutex_);
  page_->waiting = true;
  tail_->offered_.wait_for(lock, wait, [this] { return tail_->closed_ || !page_->queue.empty(); });
  page_->waiting = false;
  *dropped = page_->dropped;
  if (tail_->closed_) return Next::kClosed;
  if (page_->queue.empty()) return Next::kIdle;
  events->assign(std::make_move_iterator(page_->queue.begin()),
                 std::make_move_iterator(page_->queue.end()));
  page_->queue.clear();
  return Next::kEvents;
}

void NotificationTail::Viewer::Linger(std::chrono::milliseconds pause) {
  std::unique_lock<std::mutex> lock(tail_->mutex_);
  tail_->offered_.wait_for(lock, pause, [this] { return tail_->closed_; });
}

}  // namespace channeld
}  // namespace kestrel
