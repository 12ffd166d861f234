// The topology of a cluster, shared by every instance through the
// cluster's records (cluster/shared_records.h): each channel's settings,
// each admin, proxy and filter is one record, under its object id, holding
// the same encoding as the state directory. Every instance serves every
// object of every record, at the same object id, so that a reference that
// any instance handed out works on all of them.
//
// Writes: a change that a client makes here calls Changed, which compares
// what this instance has with what it last wrote or applied, record by
// record, and writes what differs (a removed object: its record goes).
// Applies: the records' watcher brings every change of the others here
// (and this instance's own, which then differ in nothing). The two take
// turns, so that a record just applied is never mistaken for a change of
// this instance's, and nothing is written before the watcher has caught
// up with what the cluster already has.
//
// A new object's id is reserved first (an empty record, made only if
// there is none): two instances never make two objects under one id.

#ifndef KESTREL_CHANNELD_MODEL_SHARED_TOPOLOGY_H_
#define KESTREL_CHANNELD_MODEL_SHARED_TOPOLOGY_H_

#include <omniORB4/CORBA.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "channeld/cluster/shared_records.h"
#include "channeld/state/service_state.h"

namespace kestrel {
namespace channeld {

class EventChannel;

class SharedTopology {
 public:
  using Channel = PortableServer::Servant_var<EventChannel>;
  // Every channel served now.
  using Channels = std::function<std::vector<Channel>()>;
  // The channel with key, served from now on if it was not; null when it
  // cannot be.
  using ChannelFor = std::function<Channel(const std::string& key)>;

  // records outlives this object.
  SharedTopology(SharedRecords* records, Channels channels, ChannelFor channelFor);

  // Starts applying the cluster's records.
  void Start();
  // Waits, up to timeout, until every record that the cluster had at
  // Start is applied; false when the time ran out.
  bool WaitCaughtUp(std::chrono::milliseconds timeout);
  // Nothing more is written or applied; for a planned stop, whose objects
  // end here only. Idempotent.
  void Stop();

  // See ServiceContext::Reserve.
  bool Reserve(const std::string& record);
  // Writes what this instance changed; see above. Never call it with a
  // lock held that a channel's Capture takes.
  void Changed();
  // Changed again, only when a write could not be made (the bucket could
  // not be reached, or had not been read yet).
  void Retry();

  // The record that shared (a record's ChannelState) is kept under.
  static std::string RecordOf(const ChannelState& shared);
  // Splits a channel's whole state into its records, by record name.
  static std::map<std::string, ChannelState> Split(const ChannelState& channel);

 private:
  void Apply(const SharedRecords::Entry& entry);
  // REQUIRES: mutex_ held. Applies a record; false when it must wait for
  // another (a proxy's admin).
  bool ApplyLocked(const std::string& record, const std::string& value);
  void DropLocked(const std::string& record);
  void RetryWaitingLocked();

  SharedRecords* const records_;
  const Channels channels_;
  const ChannelFor channelFor_;

  std::mutex mutex_;  // writes and applies take turns
  std::condition_variable caughtUpChanged_;
  bool caughtUp_ = false;
  bool stopped_ = false;
  bool owed_ = false;  // a change that could not be written yet
  // What each record held when this instance last wrote or applied it.
  std::map<std::string, std::string> known_;
  // Records that came before the record they need.
  std::map<std::string, std::string> waiting_;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_MODEL_SHARED_TOPOLOGY_H_
