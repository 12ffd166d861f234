// The event log of the state directory: the events of EventReliability
// Persistent, each on disk before its supplier's push returns, and for each
// of them which consumer proxies have still to be given it. It is what makes
// a crash of the service lose nothing that a supplier was told was accepted.
//
// The log is a series of segment files, events-00000001 and on, each a
// state file header (kind kEventLog, no payload) followed by records:
//
//   size (u32)  CRC-32 of the payload (u32)  payload (CDR)
//
// An event record holds the event's sequence number, its channel, its target
// proxies and the event; a done record says that one target is done with
// one event (delivered, or discarded by its queue, or its proxy went).
// Appends are buffered by the system; WaitDurable syncs, and a sync covers
// every record appended before it, so that concurrent suppliers share one
// sync (group commit). Done records need no sync of their own: the next
// supplier's carries them, and a flusher syncs what is left within
// kFlushPeriod, so that a crash repeats only the pushes of that last moment. A segment is removed once every event in it and in
// the segments before it is done; a new one starts when the current one is
// large. A torn record at the end (a crash in the middle of a write) ends
// the log there. Any other record that cannot be read, one whose checksum
// does not match above all, is damage: the segment counts up to it and is
// moved aside, and what it held from there on is reported lost.

#ifndef KESTREL_CHANNELD_STATE_EVENT_LOG_H_
#define KESTREL_CHANNELD_STATE_EVENT_LOG_H_

#include <ace/os_include/os_fcntl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "channeld/base/latency_histogram.h"
#include "channeld/state/channel_event.h"
#include "channeld/state/service_state.h"

namespace kestrel {
namespace channeld {

class EventLog {
 public:
  using Position = std::uint64_t;  // bytes appended since the log opened
  static constexpr std::size_t kSegmentBytes = 8 << 20;
  static constexpr std::chrono::milliseconds kFlushPeriod{50};

  // An event that some targets had not done with when the last run ended.
  struct Pending {
    std::string channel;
    std::vector<ProxyKey> targets;
    std::shared_ptr<ChannelEvent> event;
  };

  explicit EventLog(std::string directory);
  ~EventLog();
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;

  // Reads the segments that the last run left, in order: the events still
  // pending, oldest first. Problems (damaged segments, moved aside) are
  // added to problems. Call once, before Open.
  std::vector<Pending> Recover(std::vector<std::string>* problems);

  // Starts a new segment after the recovered ones; false with error set
  // when it cannot be created.
  bool Open(std::string* error);
  // Removes the recovered segments, once what they held is appended again
  // and durable. Keeps them when it cannot first record on disk that they
  // are replaced.
  void DropRecovered();
  // Removes every segment: a planned stop saved every queued event. Ends
  // the flusher.
  void RemoveAll();

  // Appends event for targets and sets event->sequence; answers the
  // position that WaitDurable takes, or 0 when the write failed (the
  // event is then not logged, and sequence is 0).
  Position Append(const std::string& channel, const std::vector<ProxyKey>& targets,
                  ChannelEvent* event);
  // Records that target is done with the event of sequence.
  Position Done(std::uint64_t sequence, const ProxyKey& target);
  // Returns once everything appended up to position is on disk; false when
  // the sync failed.
  bool WaitDurable(Position position);

  // For the counters: events appended and syncs made since the start, and
  // how long each of those syncs took.
  std::uint64_t appended() const { return appendedEvents_.load(std::memory_order_relaxed); }
  std::uint64_t syncs() const { return syncTimes_.count(); }
  const LatencyHistogram& syncTimes() const { return syncTimes_; }
  std::size_t segments();

 private:
  struct Segment {
    std::uint32_t number;
    std::uint64_t pending = 0;  // targets not yet done with its events
  };

  std::string PathOf(std::uint32_t number) const;
  // REQUIRES: mutex_ held.
  Position AppendRecord(const std::string& payload);
  bool StartSegment(std::uint32_t number, std::string* error);
  void DropDoneSegments();
  void RunFlusher();
  void StopFlusher();

  const std::string directory_;
  std::vector<std::uint32_t> recovered_;

  std::mutex mutex_;
  std::condition_variable synced_;
  ACE_HANDLE fd_ = ACE_INVALID_HANDLE;
  std::uint32_t number_ = 0;        // the current segment
  std::size_t segmentBytes_ = 0;    // written to the current segment
  std::uint64_t nextSequence_ = 1;
  std::uint64_t firstSequence_ = 1;  // this run's first
  // By the first sequence number that each live segment holds.
  std::map<std::uint64_t, Segment> segments_;
  Position appended_ = 0;
  Position durable_ = 0;
  bool syncing_ = false;  // one thread syncs at a time, for everyone
  bool failed_ = false;   // a write or sync failed: nothing is durable since
  LatencyHistogram syncTimes_;  // one entry per sync that WaitDurable makes
  std::atomic<std::uint64_t> appendedEvents_{0};
  bool stopping_ = false;
  std::condition_variable stop_;
  std::thread flusher_;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_STATE_EVENT_LOG_H_
