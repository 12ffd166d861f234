// The events of a channel as a cluster shares them: a durable, replicated
// log that every instance appends its suppliers' events to and delivers its
// own consumers' events from. It speaks of events accepted and delivered;
// what carries them (NATS JetStream, in nats_event_stream.h) stays in this
// room. It knows nothing of CORBA: an event is the bytes that the model
// encodes, and the model decodes what comes back.
//
// The single-process service has no EventStream: its channels forward each
// event straight to their queues. Start-up chooses one (OpenEventStream),
// and the channels use whichever they are given.
//
// What a caller sees of the log's faults, one answer each:
//   - the log is unreachable (no connection, no stream yet, no leader for
//     the stream): Accept answers kUnavailable, at once or after backing
//     off within its bound; deliveries pause and resume, from where they
//     were, once it is back;
//   - the log is slow: Accept answers kTimedOut once its bound has passed
//     without the log's acknowledgement. The event may still be stored, and
//     so delivered: a supplier that sends it again may see it twice, never
//     lose it;
//   - the log says no (stream full, refused): Accept answers kRefused.

#ifndef KESTREL_CHANNELD_CLUSTER_EVENT_STREAM_H_
#define KESTREL_CHANNELD_CLUSTER_EVENT_STREAM_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "channeld/base/latency_histogram.h"
#include "channeld/cluster/shared_records.h"

namespace kestrel {
namespace channeld {

// What the cluster counted, taken at one moment.
struct ClusterFigures {
  std::uint64_t accepted = 0;     // events the log acknowledged
  std::uint64_t failed = 0;       // events answered kUnavailable, kTimedOut or kRefused
  std::uint64_t stalls = 0;       // appends that waited for room among those in flight
  std::uint64_t reconnections = 0;  // to the log's servers
  std::uint64_t repeats = 0;      // events that positions sent again, skipped
  std::uint64_t leasesHeld = 0;   // consumers this instance delivers to
  std::uint64_t takeovers = 0;    // leases taken from another instance
  LatencyHistogram::Snapshot acknowledgements;  // one entry per acknowledged event
};

class EventStream {
 public:
  enum class Result { kAccepted, kUnavailable, kTimedOut, kRefused };

  virtual ~EventStream() = default;

  // Opens channel's log for appends: made when the cluster has none yet;
  // one made with other settings is used as it is. Returns at once: the
  // log is opened, and opened again after a fault, in the background. Its
  // events reach consumers through their positions (Follow).
  // REQUIRES: called once per channel, before Stop.
  virtual void Open(const std::string& channel) = 0;

  // Appends an event of channel and waits for the log's acknowledgement,
  // which means it is stored on a majority of the log's replicas, or for
  // the bound. Thread-safe; appends of many threads share round trips, and
  // appends of one thread are stored in the order made.
  // REQUIRES: Open(channel) was called.
  virtual Result Accept(const std::string& channel, const void* data, std::size_t size,
                        bool persistent) = 0;

  // True while the log is reachable and every opened channel's log exists.
  // When false, reason says why, in a line for /health.
  virtual bool Ready(std::string* reason) const = 0;

  // The channels that the cluster has (whichever instance opened them);
  // empty while the log is unreachable.
  virtual std::vector<std::string> Channels() = 0;

  virtual ClusterFigures Figures() const = 0;

  // --- One consumer's own position in a channel's log. ---
  //
  // A consumer proxy of a cluster has a position of its own, kept by the
  // cluster, so that whichever instance delivers to it goes on from its
  // last acknowledged event. Made once, when the proxy is made (it takes
  // about half a second with three replicas), and dropped with the proxy.

  // The event handed to a feed's deliver, which owes it until Done.
  class Acknowledgement {
   public:
    virtual ~Acknowledgement() = default;
    // The event is dealt with (delivered, or discarded on purpose): the
    // position moves past it. Thread-safe; later calls do nothing. An
    // event never done comes again, to whoever follows the position then,
    // once the position's wait has passed.
    virtual void Done() = 0;
  };
  struct FedEvent {
    const void* data = nullptr;
    std::size_t size = 0;
    bool persistent = false;
    std::uint64_t sequence = 0;  // in the channel's log
    std::shared_ptr<Acknowledgement> acknowledgement;
  };
  // Called on the feed's own thread, one event at a time, in the log's
  // order but for events sent again. It may wait (a full queue); the feed
  // waits with it.
  using FeedDeliver = std::function<void(const FedEvent& event)>;
  // Asked before each fetch: while it says no, the feed fetches nothing,
  // so that events go to whoever may deliver them instead.
  using FeedActive = std::function<bool()>;

  class Feed {
   public:
    // Ends the feed's thread: no deliver runs once it is gone. Events
    // delivered and not done stay owed.
    virtual ~Feed() = default;
    virtual std::uint64_t repeats() const = 0;  // events sent again, skipped
  };

  // Makes position name of channel, starting with the events accepted from
  // now on, unless it exists. window bounds the events delivered and not
  // yet done; pending bounds how long one stays owed before it is sent
  // again. kAccepted when made or found.
  virtual Result MakePosition(const std::string& channel, const std::string& name,
                              std::size_t window, std::chrono::milliseconds pending) = 0;
  // kAccepted also when there was none.
  virtual Result DropPosition(const std::string& channel, const std::string& name) = 0;
  // Delivers, on a thread of its own, the events after position name of
  // channel to deliver, while active says yes, finding the position again
  // after any fault. Null once the stream is stopped.
  virtual std::unique_ptr<Feed> Follow(const std::string& channel, const std::string& name,
                                       FeedDeliver deliver, FeedActive active) = 0;

  // The cluster's shared records: the topology of its objects, and the
  // leases. Null without a cluster.
  virtual SharedRecords* topology() = 0;
  virtual SharedRecords* leases() = 0;

  // Ends every delivery and every watcher of the shared records: when it
  // returns, no FeedDeliver or Watcher runs or will run.
  // Appends in progress end with kUnavailable. Idempotent.
  virtual void Stop() = 0;
};

// How an instance joins its cluster (kestrel-channeld --cluster ...).
struct ClusterSettings {
  std::vector<std::string> servers;  // nats://HOST:PORT, in the order given
  std::string instance;              // this instance's name, unique in the cluster
  int replicas = 3;                  // copies of each channel's log
  std::uint64_t maxAgeSeconds = 86400;  // events older than this leave the log; 0: never
  std::int64_t maxBytes = 256 << 20;    // per channel's log; the oldest leave first
  unsigned long acceptTimeoutMs = 5000;  // Accept's bound
  std::string credentials;  // a NATS credentials file (JWT and NKey seed)
  std::string tlsCa;        // trusted CAs (PEM); with it the connection uses TLS
  std::string tlsCertificate;  // this instance's certificate chain (PEM)
  std::string tlsKey;          // and its key
  // A lease's lifetime (see leases.h): how long a consumer whose instance
  // died may wait before another instance goes on delivering to it.
  std::chrono::milliseconds leaseLifetime{5000};
};

// The cluster's stream for settings, connecting in the background; null,
// with error set, when the settings cannot be used (or this build has no
// cluster mode).
std::unique_ptr<EventStream> OpenEventStream(const ClusterSettings& settings, std::string* error);

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_CLUSTER_EVENT_STREAM_H_
