#include "channeld/console/notification_tail.h"

#include <algorithm>
#include <utility>

namespace kestrel {
namespace channeld {

NotificationTail::NotificationTail(std::size_t maxViewers, std::size_t queueBound)
    : maxViewers_(maxViewers), queueBound_(std::max<std::size_t>(queueBound, 1)) {}

NotificationTail::~NotificationTail() { Close(); }

void NotificationTail::Offer(const std::string& channel,
                             const CosNotification::StructuredEvent& event) {
  if (!Watched()) return;
  std::shared_ptr<const PassedEvent> passed;
  try {
    passed = std::make_shared<const PassedEvent>(
        PassedEvent{channel, std::chrono::system_clock::now(), event});
  } catch (...) {
    return;  // no memory for the pages: the supplier goes on regardless
  }
  copies_.fetch_add(1, std::memory_order_relaxed);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Page* page : pages_) {
      if (page->queue.size() >= queueBound_) {
        ++page->dropped;
      } else {
        page->queue.push_back(passed);
      }
    }
  }
  offered_.notify_all();
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

NotificationTail::Viewer::Next NotificationTail::Viewer::Take(
    std::chrono::milliseconds wait, std::shared_ptr<const PassedEvent>* event) {
  std::unique_lock<std::mutex> lock(tail_->mutex_);
  tail_->offered_.wait_for(lock, wait, [this] { return tail_->closed_ || !page_->queue.empty(); });
  if (tail_->closed_) return Next::kClosed;
  if (page_->queue.empty()) return Next::kIdle;
  *event = std::move(page_->queue.front());
  page_->queue.pop_front();
  return Next::kEvent;
}

std::uint64_t NotificationTail::Viewer::dropped() const {
  std::lock_guard<std::mutex> lock(tail_->mutex_);
  return page_->dropped;
}

}  // namespace channeld
}  // namespace kestrel
