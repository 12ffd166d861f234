#include "channeld/cluster/position_feed.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <iterator>
#include <map>
#include <thread>

#include "channeld/cluster/nats_connection.h"
#include "channeld/cluster/stream_names.h"

namespace kestrel {
namespace channeld {

namespace {

constexpr std::chrono::milliseconds kFirstBackoff{50};
constexpr std::chrono::milliseconds kLastBackoff{1000};
// How often a feed that may not fetch asks again.
constexpr std::chrono::milliseconds kIdlePause{50};

// What became of an event handed out, as its acknowledgement and the feed
// both see it.
enum : int { kOwed, kDone, kAbandoned };
using Mark = std::shared_ptr<std::atomic<int>>;

// The stream sequences that one run of a feed handed out, and what became
// of each. A new feed starts with the events that its position still owes,
// which come after its wait has passed, after later ones: so no sequence
// below those seen is taken for one seen. Those done are kept as runs of
// sequences, a handful however long the feed runs; those not done yet,
// which the position's window bounds, one by one.
class FedSequences {
 public:
  enum class Seen { kNever, kOwed, kDone, kAbandoned };

  Seen Find(std::uint64_t sequence) const {
    auto open = open_.find(sequence);
    if (open != open_.end()) {
      switch (open->second->load()) {
        case kOwed:
          return Seen::kOwed;
        case kDone:
          return Seen::kDone;
        default:
          return Seen::kAbandoned;
      }
    }
    auto next = done_.upper_bound(sequence);
    if (next != done_.begin() && std::prev(next)->second >= sequence) return Seen::kDone;
    return Seen::kNever;
  }

  // Counts sequence as handed out, owed until its mark says otherwise.
  Mark Hand(std::uint64_t sequence) {
    Mark mark = std::make_shared<std::atomic<int>>(kOwed);
    open_[sequence] = mark;
    return mark;
  }

  // Moves the sequences done since into their runs.
  void Settle() {
    for (auto open = open_.begin(); open != open_.end();) {
      if (open->second->load() != kDone) {
        ++open;
        continue;
      }
      AddDone(open->first);
      open = open_.erase(open);
    }
  }

  // The position was made anew: its sequences are another's.
  void Reset() {
    open_.clear();
    done_.clear();
  }

 private:
  void AddDone(std::uint64_t sequence) {
    auto next = done_.upper_bound(sequence);
    if (next != done_.begin()) {
      auto before = std::prev(next);
      if (before->second >= sequence) return;
      if (before->second + 1 == sequence) {
        before->second = sequence;
        if (next != done_.end() && next->first == sequence + 1) {
          before->second = next->second;
          done_.erase(next);
        }
        return;
      }
    }
    if (next != done_.end() && next->first == sequence + 1) {
      std::uint64_t last = next->second;
      done_.erase(next);
      done_[sequence] = last;
      return;
    }
    done_[sequence] = sequence;
  }

  std::map<std::uint64_t, Mark> open_;
  std::map<std::uint64_t, std::uint64_t> done_;  // first to last of each run
};

}  // namespace

// The event handed out, holding its message (and the subscription that it
// came by, which the library's acknowledgement goes through) until it goes
// or the stream lets go of them all.
class FedAcknowledgement : public EventStream::Acknowledgement {
 public:
  FedAcknowledgement(std::shared_ptr<PositionFeeds> feeds, natsMsg* message,
                     std::shared_ptr<natsSubscription> subscription, Mark mark)
      : feeds_(std::move(feeds)),
        mark_(std::move(mark)),
        message_(message),
        subscription_(std::move(subscription)) {
    std::lock_guard<std::mutex> lock(feeds_->mutex_);
    feeds_->owed_.insert(this);
  }

  ~FedAcknowledgement() override {
    int owed = kOwed;
    mark_->compare_exchange_strong(owed, kAbandoned);
    std::lock_guard<std::mutex> lock(feeds_->mutex_);
    feeds_->owed_.erase(this);
    LetGo();
  }

  void Done() override {
    int owed = kOwed;
    if (!mark_->compare_exchange_strong(owed, kDone)) return;
    std::lock_guard<std::mutex> lock(feeds_->mutex_);
    // Lost on its way (no connection), it comes again after the position's
    // wait and is acknowledged then as a repeat of one done.
    if (message_ != nullptr) natsMsg_Ack(message_, nullptr);
  }

 private:
  friend class PositionFeeds;

  // REQUIRES: feeds_->mutex_ held.
  void LetGo() {
    if (message_ != nullptr) natsMsg_Destroy(message_);
    message_ = nullptr;
    subscription_.reset();
  }

  const std::shared_ptr<PositionFeeds> feeds_;
  const Mark mark_;
  // Guarded by feeds_->mutex_; null, and none, once let go.
  natsMsg* message_;
  std::shared_ptr<natsSubscription> subscription_;
};

// A feed's thread and all that it keeps; shared with PositionFeeds, which
// stops it when the stream stops.
class FeedThread {
 public:
  FeedThread(const std::string& channel, const std::string& position,
             NatsConnection* connection, EventStream::FeedDeliver deliver,
             EventStream::FeedActive active, std::shared_ptr<PositionFeeds> feeds)
      : stream_(StreamNames::Stream(channel)),
        subject_(StreamNames::Subject(channel)),
        durable_(PositionFeed::Durable(position)),
        connection_(connection),
        deliver_(std::move(deliver)),
        active_(std::move(active)),
        feeds_(std::move(feeds)) {}

  void Start() {
    std::lock_guard<std::mutex> lock(threadMutex_);
    if (Stopping()) return;
    thread_ = std::thread([this] { Run(); });
  }

  // Idempotent; from any thread but its own.
  void Stop() {
    Signal();
    Join();
  }
  // Stop in two steps, so that many feeds end within one fetch's wait.
  void Signal() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    stopping_.notify_all();
  }
  void Join() {
    std::lock_guard<std::mutex> lock(threadMutex_);
    if (thread_.joinable()) thread_.join();
  }

  std::uint64_t repeats() const { return repeats_.load(std::memory_order_relaxed); }

 private:
  enum class Step { kDone, kRetry };

  void Run() {
    while (!Stopping()) {
      if (subscription_ != nullptr && active_ && !active_()) {
        if (!Idle()) break;
        continue;
      }
      Step step = subscription_ == nullptr ? Bind() : FetchAndDeliver();
      if (step == Step::kRetry) {
        if (!BackOff()) break;
        continue;
      }
      backoff_ = std::chrono::milliseconds(0);
    }
    subscription_.reset();
  }

  bool Stopping() {
    std::lock_guard<std::mutex> lock(mutex_);
    return stop_;
  }

  // Waits a while before asking active again; false when stopped.
  bool Idle() {
    std::unique_lock<std::mutex> lock(mutex_);
    return !stopping_.wait_for(lock, kIdlePause, [this] { return stop_; });
  }

  bool BackOff() {
    backoff_ = std::min(kLastBackoff, std::max(kFirstBackoff, backoff_ * 2));
    std::unique_lock<std::mutex> lock(mutex_);
    return !stopping_.wait_for(lock, backoff_, [this] { return stop_; });
  }

  Step Bind() {
    if (!connection_->connected()) return Step::kRetry;
    // Asked first, so that a position not made yet (or dropped) is waited
    // for: binding to it is all this feed may do.
    jsConsumerInfo* info = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    natsStatus status = js_GetConsumerInfo(&info, connection_->js(), stream_.c_str(),
                                           durable_.c_str(), nullptr, &code);
    if (status != NATS_OK) {
      jsConsumerInfo_Destroy(info);
      return Step::kRetry;
    }
    if (info->Created != consumerCreated_) {
      consumerCreated_ = info->Created;
      fed_.Reset();
    }
    // A fetch asks for no more than the window lets the position send.
    std::int64_t window = info->Config != nullptr ? info->Config->MaxAckPending : 0;
    batch_ = window > 0 && window < PositionFeed::kBatch ? static_cast<int>(window)
                                                         : PositionFeed::kBatch;
    jsConsumerInfo_Destroy(info);
    jsSubOptions options;
    jsSubOptions_Init(&options);
    options.Stream = stream_.c_str();
    options.Consumer = durable_.c_str();
    natsSubscription* subscription = nullptr;
    code = static_cast<jsErrCode>(0);
    status = js_PullSubscribe(&subscription, connection_->js(), subject_.c_str(),
                              durable_.c_str(), nullptr, &options, &code);
    if (status != NATS_OK) return Step::kRetry;
    // Destroyed, never unsubscribed: the position stays with the cluster.
    subscription_.reset(subscription, &natsSubscription_Destroy);
    return Step::kDone;
  }

  Step FetchAndDeliver() {
    natsMsgList batch{nullptr, 0};
    jsErrCode code = static_cast<jsErrCode>(0);
    natsStatus status =
        natsSubscription_Fetch(&batch, subscription_.get(), batch_, PositionFeed::kFetchWaitMs,
                               &code);
    if (status == NATS_TIMEOUT) return Step::kDone;
    if (status != NATS_OK) {
      natsMsgList_Destroy(&batch);
      subscription_.reset();
      return Step::kRetry;
    }
    fed_.Settle();
    for (int i = 0; i < batch.Count; ++i) {
      natsMsg* message = batch.Msgs[i];
      jsMsgMetaData* meta = nullptr;
      if (natsMsg_GetMetaData(&meta, message) != NATS_OK) continue;
      const std::uint64_t sequence = meta->Sequence.Stream;
      jsMsgMetaData_Destroy(meta);
      FedSequences::Seen seen = fed_.Find(sequence);
      if (seen == FedSequences::Seen::kOwed || seen == FedSequences::Seen::kDone) {
        repeats_.fetch_add(1, std::memory_order_relaxed);
        if (seen == FedSequences::Seen::kDone) natsMsg_Ack(message, nullptr);
        continue;
      }
      if (Stopping()) {
        // Handed back, so that whoever follows the position next has it at
        // once rather than after its wait.
        natsMsg_Nak(message, nullptr);
        continue;
      }
      batch.Msgs[i] = nullptr;  // the acknowledgement's from here
      Hand(message, sequence);
    }
    natsMsgList_Destroy(&batch);
    return Step::kDone;
  }

  void Hand(natsMsg* message, std::uint64_t sequence) {
    const char* persistent = nullptr;
    EventStream::FedEvent event;
    event.data = natsMsg_GetData(message);
    event.size = static_cast<std::size_t>(natsMsg_GetDataLength(message));
    event.persistent =
        natsMsgHeader_Get(message, NatsConnection::kPersistentHeader, &persistent) == NATS_OK;
    event.sequence = sequence;
    event.acknowledgement =
        std::make_shared<FedAcknowledgement>(feeds_, message, subscription_, fed_.Hand(sequence));
    deliver_(event);
  }

  const std::string stream_;
  const std::string subject_;
  const std::string durable_;
  NatsConnection* const connection_;
  const EventStream::FeedDeliver deliver_;
  const EventStream::FeedActive active_;
  const std::shared_ptr<PositionFeeds> feeds_;

  // Only the thread's own.
  std::shared_ptr<natsSubscription> subscription_;
  int batch_ = PositionFeed::kBatch;
  std::int64_t consumerCreated_ = 0;  // when the position bound last was made
  FedSequences fed_;
  std::chrono::milliseconds backoff_{0};

  std::atomic<std::uint64_t> repeats_{0};

  std::mutex mutex_;
  std::condition_variable stopping_;
  bool stop_ = false;  // guarded by mutex_
  // Whoever starts or joins the thread holds it: the feed's destructor and
  // the stream's Stop may both.
  std::mutex threadMutex_;
  std::thread thread_;
};

bool PositionFeeds::Add(const std::shared_ptr<FeedThread>& feed) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopped_) return false;
  feeds_.erase(std::remove_if(feeds_.begin(), feeds_.end(),
                              [](const std::weak_ptr<FeedThread>& gone) { return gone.expired(); }),
               feeds_.end());
  feeds_.push_back(feed);
  return true;
}

void PositionFeeds::Stop() {
  std::vector<std::shared_ptr<FeedThread>> running;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    for (const std::weak_ptr<FeedThread>& feed : feeds_) {
      if (std::shared_ptr<FeedThread> held = feed.lock()) running.push_back(held);
    }
    feeds_.clear();
  }
  // Without the lock: a deliver that is running may be done with its event.
  for (const std::shared_ptr<FeedThread>& feed : running) feed->Signal();
  for (const std::shared_ptr<FeedThread>& feed : running) feed->Join();
}

void PositionFeeds::LetGo() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (FedAcknowledgement* acknowledgement : owed_) acknowledgement->LetGo();
  owed_.clear();
}

std::string PositionFeed::Durable(const std::string& position) {
  return "position-" + StreamNames::Escape(position);
}

PositionFeed::PositionFeed(const std::string& channel, const std::string& position,
                           NatsConnection* connection, EventStream::FeedDeliver deliver,
                           EventStream::FeedActive active,
                           std::shared_ptr<PositionFeeds> feeds)
    : feeds_(std::move(feeds)),
      thread_(std::make_shared<FeedThread>(channel, position, connection, std::move(deliver),
                                           std::move(active), feeds_)) {}

PositionFeed::~PositionFeed() { thread_->Stop(); }

bool PositionFeed::Start() {
  if (!feeds_->Add(thread_)) return false;
  thread_->Start();
  return true;
}

std::uint64_t PositionFeed::repeats() const { return thread_->repeats(); }

}  // namespace channeld
}  // namespace kestrel
