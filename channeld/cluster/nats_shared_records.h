// SharedRecords in a JetStream key-value bucket of the cluster's servers,
// replicated as the channels' streams are and keeping one value per key.
// The bucket is found, or made when the cluster has none, on the first call
// that finds the connection up, and looked for again on later calls (less
// often while it cannot be found, up to once a second) until it is there:
// until then every call answers kUnavailable.
// Each request of a call (a compare-and-set that loses takes two) waits for
// the servers no longer than an append does (ClusterSettings::
// acceptTimeoutMs); a watcher looks at the connection five times a second.
//
// A key is written in the bucket as StreamNames::Escape spells it, so that
// any text is a key and '.', the bucket's separator, never splits one; a
// key in the bucket that is no such spelling (not written here) is not
// watched. The empty key, which a watcher reads as "caught up", is none:
// calls with it answer kUnavailable.
//
// A watcher that starts over hears, after the values as they are and before
// it is caught up, of each key that it held and that was deleted while it
// was away, as a deletion of revision 0.

#ifndef KESTREL_CHANNELD_CLUSTER_NATS_SHARED_RECORDS_H_
#define KESTREL_CHANNELD_CLUSTER_NATS_SHARED_RECORDS_H_

#include <nats/nats.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "channeld/cluster/shared_records.h"

namespace kestrel {
namespace channeld {

class NatsConnection;

class NatsSharedRecords : public SharedRecords {
 public:
  // bucket: the bucket's name (letters, digits, '-' and '_'); replicas: its
  // copies when it is made here. connection outlives the records.
  NatsSharedRecords(std::string bucket, int replicas, NatsConnection* connection);
  // StopWatching().
  // REQUIRES: before the connection closes; not called from a watcher.
  ~NatsSharedRecords() override;
  // Ends every watcher's thread, waiting for a watcher that is running:
  // once it returns, no watcher is called. Idempotent.
  // REQUIRES: not called from a watcher.
  void StopWatching();
  NatsSharedRecords(const NatsSharedRecords&) = delete;
  NatsSharedRecords& operator=(const NatsSharedRecords&) = delete;

  Result Create(const std::string& key, const std::string& value,
                std::uint64_t* revision) override;
  Result Update(const std::string& key, const std::string& value, std::uint64_t expected,
                std::uint64_t* revision) override;
  Result Put(const std::string& key, const std::string& value, std::uint64_t* revision) override;
  Result Delete(const std::string& key) override;
  Result Get(const std::string& key, Entry* entry) override;
  void Watch(Watcher watcher) override;

 private:
  using Clock = std::chrono::steady_clock;
  using Bucket = std::shared_ptr<kvStore>;

  // The bucket, found or made now if it is time to try again; null while
  // it cannot be reached.
  Bucket Find();
  // The bucket as a watcher uses it, whose start and end give up quickly
  // (NatsConnection::quickJs); null when it cannot be reached.
  Bucket Watched();
  enum class Kind { kCreate, kUpdate, kPut };
  // One write of key: Create, Update (against expected) or Put.
  Result Write(Kind kind, const std::string& key, const std::string& value,
               std::uint64_t expected, std::uint64_t* revision);
  // After a write that the bucket refused: whether the key's state explains
  // it (kConflict) or not (kUnavailable).
  Result Refused(const Bucket& bucket, const std::string& name, bool created,
                 std::uint64_t expected);
  // One watcher's thread: the bucket's values, caught up, changes; all over
  // again after a lost connection or a fault.
  void RunWatcher(const Watcher& watcher);
  // Reads one watcher's entries until a fault or the end; false at the end.
  // held: the keys that the watcher holds values of, across starts over.
  bool Follow(kvWatcher* source, const Watcher& watcher, std::uint64_t connectionEpoch,
              std::set<std::string>* held);
  // Waits for pause unless the records are going; false when they are.
  bool Pause(std::chrono::milliseconds pause);
  bool Ending();

  const std::string bucketName_;
  const int replicas_;
  NatsConnection* const connection_;

  std::mutex bucketMutex_;
  Bucket bucket_;  // guarded by bucketMutex_; once found, kept
  // One search for the bucket at a time; a caller that finds one under way
  // answers at once rather than queue behind it. Guards the two below.
  std::mutex searchMutex_;
  Clock::time_point nextSearch_;
  std::chrono::milliseconds searchPause_{0};

  std::mutex mutex_;
  std::condition_variable ending_;
  bool end_ = false;                   // guarded by mutex_
  std::vector<std::thread> watchers_;  // guarded by mutex_
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_CLUSTER_NATS_SHARED_RECORDS_H_
