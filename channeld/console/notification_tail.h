// The notifications as they pass, for the pages that watch them.
//
// Offer runs on the suppliers' threads. While no page watches it is one
// atomic load; while some do, it copies the event once and queues it for
// each, under one short lock, and wakes only a page that waits for its
// first event: a page takes what came in one go (TakeAll), then lingers
// before it takes again, so that a busy channel costs its suppliers a few
// wake-ups a second, not one per event. A page's queue is bounded: a page
// that reads too slowly, or a channel faster than a page can show, loses
// what does not fit (without a copy when no page has room), and its count
// of lines lost grows, so that a stalled browser never holds up a
// supplier. The pages themselves are bounded: Watch answers null beyond
// the bound.

#ifndef KESTREL_CHANNELD_CONSOLE_NOTIFICATION_TAIL_H_
#define KESTREL_CHANNELD_CONSOLE_NOTIFICATION_TAIL_H_

#include <COS/CosNotification.hh>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kestrel {
namespace channeld {

// One notification as it passed.
struct PassedEvent {
  std::string channel;
  std::chrono::system_clock::time_point time;
  CosNotification::StructuredEvent event;
};

class NotificationTail {
 public:
  static constexpr std::size_t kDefaultViewers = 4;
  static constexpr std::size_t kDefaultQueue = 512;

  class Viewer;

  explicit NotificationTail(std::size_t maxViewers = kDefaultViewers,
                            std::size_t queueBound = kDefaultQueue);
  ~NotificationTail();
  NotificationTail(const NotificationTail&) = delete;
  NotificationTail& operator=(const NotificationTail&) = delete;

  bool Watched() const { return watching_.load(std::memory_order_relaxed) != 0; }
  // Hands event, accepted by channel, to every page that watches. Never
  // waits for one; never raises.
  void Offer(const std::string& channel, const CosNotification::StructuredEvent& event);

  // A new page, which sees what is offered from now on until it is
  // destroyed; null when maxViewers watch already, or after Close.
  std::unique_ptr<Viewer> Watch();
  // Every page's Take answers kClosed from now on. Idempotent.
  void Close();

  std::size_t viewers() const { return watching_.load(std::memory_order_relaxed); }
  std::size_t maxViewers() const { return maxViewers_; }
  // Events copied for pages since the start: none while nobody watches.
  std::uint64_t copies() const { return copies_.load(std::memory_order_relaxed); }

 private:
  struct Page {
    std::deque<std::shared_ptr<const PassedEvent>> queue;
    std::uint64_t dropped = 0;
    bool waiting = false;  // in TakeAll, for the first event to come
  };

  // Counts event as lost by every page when none has room for it; true
  // when one has. REQUIRES: mutex_ held.
  bool RoomOrDropped();
  void Leave(Page* page);

  const std::size_t maxViewers_;
  const std::size_t queueBound_;
  std::atomic<std::size_t> watching_{0};
  std::atomic<std::uint64_t> copies_{0};
  std::mutex mutex_;
  std::condition_variable offered_;
  std::vector<Page*> pages_;
  bool closed_ = false;
};

// One page's view of the tail; one thread at a time.
class NotificationTail::Viewer {
 public:
  enum class Next { kEvents, kIdle, kClosed };

  ~Viewer();  // leaves the tail
  Viewer(const Viewer&) = delete;
  Viewer& operator=(const Viewer&) = delete;

  // Everything queued for the page, oldest first, waiting at most wait for
  // a first event: kIdle when none came, kClosed once the tail is closed.
  // *dropped: the events this page lost so far because its queue was full.
  Next TakeAll(std::chrono::milliseconds wait,
               std::vector<std::shared_ptr<const PassedEvent>>* events, std::uint64_t* dropped);
  // Waits for pause, or less when the tail closes: what is offered
  // meanwhile gathers in the queue, and wakes nobody.
  void Linger(std::chrono::milliseconds pause);

 private:
  friend class NotificationTail;
  Viewer(NotificationTail* tail, Page* page) : tail_(tail), page_(page) {}

  NotificationTail* const tail_;
  Page* const page_;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_CONSOLE_NOTIFICATION_TAIL_H_
