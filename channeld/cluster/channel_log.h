// One channel's stream, seen from this instance: it makes the stream when
// the cluster has none (or finds it, and says so when its settings are
// not this instance's), makes this instance's durable consumer of it once,
// and then, on a thread of its own, fetches the events in batches, hands
// each to the channel and acknowledges the batch once the last of it is
// safe. After any fault (no connection, no leader, a stream or consumer
// gone) it starts over from finding the stream, backing off between tries.
// Without a deliver it only keeps the stream there for appends: the
// channel's consumers then follow positions of their own (PositionFeed).
//
// Events come in the stream's order, but for one that a dying server lost
// on its way here, which the stream sends again after its acknowledgement's
// wait, after later ones: each event is acknowledged on its own, once it is
// safe, so that no acknowledgement ever covers one that never came. One
// that comes again after it was delivered (a consumer leader's failover
// resends a few) is known by its stream sequence and skipped.

#ifndef KESTREL_CHANNELD_CLUSTER_CHANNEL_LOG_H_
#define KESTREL_CHANNELD_CLUSTER_CHANNEL_LOG_H_

#include <nats/nats.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "channeld/cluster/delivered_sequences.h"
#include "channeld/cluster/event_stream.h"

namespace kestrel {
namespace channeld {

class NatsConnection;

// Finds channel's stream or, when the cluster has none, makes it with
// settings (said in the log). NATS_OK with *info, which the caller
// destroys; otherwise *code holds JetStream's refusal, 0 for a fault on
// the way.
natsStatus FindOrMakeChannelStream(jsCtx* js, const std::string& channel,
                                   const ClusterSettings& settings, jsStreamInfo** info,
                                   jsErrCode* code);

class ChannelLog {
 public:
  // deliver may be empty: see above.
  ChannelLog(const std::string& channel, const ClusterSettings& settings,
             NatsConnection* connection, EventStream::Deliver deliver);
  ~ChannelLog();  // Stop()
  ChannelLog(const ChannelLog&) = delete;
  ChannelLog& operator=(const ChannelLog&) = delete;

  void Start();
  // Ends the thread; no delivery runs once it returns. Idempotent.
  void Stop();

  const std::string& subject() const { return subject_; }
  // The stream exists and this instance may append to it.
  bool ready() const { return ready_.load(); }
  std::uint64_t lag() const { return lag_.load(std::memory_order_relaxed); }
  std::uint64_t repeats() const { return repeats_.load(std::memory_order_relaxed); }

  // Events fetched at once, and how long a fetch waits for the first.
  static constexpr int kBatch = 256;
  static constexpr std::int64_t kFetchWaitMs = 500;

 private:
  enum class Step { kDone, kRetry };

  void Run();
  bool Stopping();
  // Each answers kRetry after a fault, which the caller backs off from.
  Step FindOrMakeStream();
  Step FindOrMakeConsumer();
  Step Subscribe();
  Step FetchAndDeliver();
  // With no deliver: waits a while, then looks at the stream again.
  Step KeepStream();
  void Unsubscribe();
  // Sleeps for the current backoff, doubled each time up to a second,
  // unless Stop comes first; false when it did.
  bool BackOff();
  void WarnIfOtherSettings(const jsStreamConfig& found);

  const std::string channel_;
  const std::string stream_;
  const std::string subject_;
  const std::string durable_;
  const ClusterSettings& settings_;
  NatsConnection* const connection_;
  const EventStream::Deliver deliver_;
  // Where this instance's consumer starts when it is first made: what was
  // accepted since the channel was opened here.
  const std::int64_t openedNanoseconds_;

  // Only the thread's own.
  natsSubscription* subscription_ = nullptr;
  bool consumerKnown_ = false;
  bool warned_ = false;
  bool consumerRefused_ = false;  // said in the log
  DeliveredSequences delivered_;
  // When the stream found was made: one made anew numbers from 1 again.
  std::int64_t streamCreated_ = 0;
  std::chrono::milliseconds backoff_{0};

  std::atomic<bool> ready_{false};
  std::atomic<std::uint64_t> lag_{0};
  std::atomic<std::uint64_t> repeats_{0};

  std::mutex mutex_;
  std::condition_variable stopping_;
  bool stop_ = false;  // guarded by mutex_
  std::thread thread_;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_CLUSTER_CHANNEL_LOG_H_
