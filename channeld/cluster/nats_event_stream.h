// The cluster's events in NATS JetStream: each channel a stream of its
// own, replicated on the cluster's servers, appended to asynchronously and
// delivered from through a durable consumer per instance and channel (see
// ChannelLog), or through one per consumer's position (PositionFeed). The
// shared records are key-value buckets of the same servers
// (NatsSharedRecords). One per process: its connection's end is the NATS
// library's.

#ifndef KESTREL_CHANNELD_CLUSTER_NATS_EVENT_STREAM_H_
#define KESTREL_CHANNELD_CLUSTER_NATS_EVENT_STREAM_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "channeld/base/latency_histogram.h"
#include "channeld/cluster/ack_waiters.h"
#include "channeld/cluster/channel_log.h"
#include "channeld/cluster/event_stream.h"
#include "channeld/cluster/nats_connection.h"
#include "channeld/cluster/nats_shared_records.h"
#include "channeld/cluster/position_feed.h"

namespace kestrel {
namespace channeld {

class NatsEventStream : public EventStream {
 public:
  explicit NatsEventStream(const ClusterSettings& settings);
  // Stop(), then the shared records, what acknowledgements still hold and
  // the connection go: an acknowledgement kept past it does nothing.
  ~NatsEventStream() override;

  // Starts connecting; false, with error set, as NatsConnection::Open.
  bool Start(std::string* error);

  void Open(const std::string& channel) override;
  Result Accept(const std::string& channel, const void* data, std::size_t size,
                bool persistent) override;
  bool Ready(std::string* reason) const override;
  std::vector<std::string> Channels() override;
  ClusterFigures Figures() const override;
  Result MakePosition(const std::string& channel, const std::string& name, std::size_t window,
                      std::chrono::milliseconds pending) override;
  Result DropPosition(const std::string& channel, const std::string& name) override;
  std::unique_ptr<Feed> Follow(const std::string& channel, const std::string& name,
                               FeedDeliver deliver, FeedActive active) override;
  SharedRecords* topology() override { return topology_.get(); }
  SharedRecords* leases() override { return leases_.get(); }
  // Also ends every feed, waiting for a deliver that is running as a feed's
  // destructor does; acknowledgements still work until the stream goes.
  void Stop() override;

  // The shared records' buckets.
  static constexpr const char* kTopologyBucket = "kestrel-topology";
  static constexpr const char* kLeasesBucket = "kestrel-leases";

 private:
  using Clock = std::chrono::steady_clock;

  // A message id unique in the cluster for as long as the duplicate window
  // remembers it: this instance's name, this run's nonce and a count.
  std::string NextMessageId();
  ChannelLog* Find(const std::string& channel) const;
  Result Count(Result result, Clock::time_point started);

  const ClusterSettings settings_;
  const std::string idPrefix_;
  AckWaiters waiters_;
  NatsConnection connection_;
  std::atomic<std::uint64_t> nextId_{0};
  std::atomic<bool> stopped_{false};

  mutable std::mutex mutex_;
  // Guarded by mutex_; a log, once opened, stays until the stream goes.
  std::map<std::string, std::unique_ptr<ChannelLog>> logs_;

  const std::shared_ptr<PositionFeeds> feeds_;
  std::unique_ptr<NatsSharedRecords> topology_;
  std::unique_ptr<NatsSharedRecords> leases_;

  std::atomic<std::uint64_t> accepted_{0};
  std::atomic<std::uint64_t> failed_{0};
  LatencyHistogram acknowledgements_;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_CLUSTER_NATS_EVENT_STREAM_H_
