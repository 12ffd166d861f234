// One consumer's own position in a channel's stream, followed: a durable
// pull consumer of the stream, made elsewhere (NatsEventStream::
// MakePosition) and only bound here, on a thread of the feed's own that
// fetches its events in batches and hands them out one at a time, each
// with an acknowledgement that moves the position past it once done. An
// event not done comes again after the position's wait, to whichever feed
// follows the position then. After any fault (no connection, no leader, the
// consumer or its stream gone) the feed backs off and binds again; a
// position that is not there is waited for, never made.
//
// What the log sends again is known by its stream sequence: a repeat of an
// event that this feed handed out and that is done is acknowledged again
// (so that it stops coming), one that is still owed is dropped (its first
// acknowledgement settles both), and one whose acknowledgement went without
// being done is handed out again.

#ifndef KESTREL_CHANNELD_CLUSTER_POSITION_FEED_H_
#define KESTREL_CHANNELD_CLUSTER_POSITION_FEED_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "channeld/cluster/event_stream.h"

namespace kestrel {
namespace channeld {

class NatsConnection;
class FeedThread;
class FedAcknowledgement;

// Every feed of a stream, and what their acknowledgements hold of NATS (a
// message, the subscription it came by), which must all be gone before the
// connection closes, whoever still holds a feed or an acknowledgement then.
// Shared by the stream, its feeds and their acknowledgements.
class PositionFeeds {
 public:
  PositionFeeds() = default;
  PositionFeeds(const PositionFeeds&) = delete;
  PositionFeeds& operator=(const PositionFeeds&) = delete;

  // Ends every feed's thread as its destructor would, waiting for a deliver
  // that is running; a feed started later does not start. Idempotent.
  void Stop();
  // Lets go of every message and subscription that acknowledgements hold:
  // Done does nothing from then on. REQUIRES: Stop was called.
  void LetGo();

 private:
  friend class FedAcknowledgement;
  friend class PositionFeed;

  bool Add(const std::shared_ptr<FeedThread>& feed);

  // Guards everything below, and every acknowledgement's hold on NATS.
  std::mutex mutex_;
  bool stopped_ = false;
  std::vector<std::weak_ptr<FeedThread>> feeds_;
  std::set<FedAcknowledgement*> owed_;  // acknowledgements that hold a message
};

class PositionFeed : public EventStream::Feed {
 public:
  // The durable consumer's name for a position.
  static std::string Durable(const std::string& position);

  // connection outlives the feed's thread (PositionFeeds::Stop ends it).
  PositionFeed(const std::string& channel, const std::string& position,
               NatsConnection* connection, EventStream::FeedDeliver deliver,
               EventStream::FeedActive active, std::shared_ptr<PositionFeeds> feeds);
  // Ends the thread. A deliver that is running is waited for: whoever
  // blocks it (a full queue) must let it go first. REQUIRES: not called
  // from deliver.
  ~PositionFeed() override;
  PositionFeed(const PositionFeed&) = delete;
  PositionFeed& operator=(const PositionFeed&) = delete;

  // Starts the thread; false, with nothing started, once the stream's
  // feeds are stopped.
  bool Start();
  std::uint64_t repeats() const override;

  // Events fetched at once (fewer when the position's window is smaller),
  // and how long a fetch waits for the first.
  static constexpr int kBatch = 256;
  static constexpr std::int64_t kFetchWaitMs = 500;

 private:
  std::shared_ptr<PositionFeeds> feeds_;
  std::shared_ptr<FeedThread> thread_;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_CLUSTER_POSITION_FEED_H_
