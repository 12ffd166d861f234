// One channel's stream, seen from this instance: it makes the stream when
// the cluster has none (or finds it, and says so when its settings are
// not this instance's), and then, on a thread of its own, looks at it now
// and then, to make it again should it have gone. After any fault (no
// connection, no leader) it starts over, backing off between tries. The
// channel's consumers follow positions of their own (PositionFeed).

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
  ChannelLog(const std::string& channel, const ClusterSettings& settings,
             NatsConnection* connection);
  ~ChannelLog();  // Stop()
  ChannelLog(const ChannelLog&) = delete;
  ChannelLog& operator=(const ChannelLog&) = delete;

  void Start();
  // Ends the thread. Idempotent.
  void Stop();

  const std::string& subject() const { return subject_; }
  // The stream exists and this instance may append to it.
  bool ready() const { return ready_.load(); }

 private:
  enum class Step { kDone, kRetry };

  void Run();
  bool Stopping();
  // Each answers kRetry after a fault, which the caller backs off from.
  Step FindOrMakeStream();
  // Waits a while, then looks at the stream again.
  Step KeepStream();
  // Sleeps for the current backoff, doubled each time up to a second,
  // unless Stop comes first; false when it did.
  bool BackOff();
  void WarnIfOtherSettings(const jsStreamConfig& found);

  const std::string channel_;
  const std::string stream_;
  const std::string subject_;
  const ClusterSettings& settings_;
  NatsConnection* const connection_;

  // Only the thread's own.
  bool warned_ = false;
  std::chrono::milliseconds backoff_{0};

  std::atomic<bool> ready_{false};

  std::mutex mutex_;
  std::condition_variable stopping_;
  bool stop_ = false;  // guarded by mutex_
  std::thread thread_;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_CLUSTER_CHANNEL_LOG_H_
