// Who delivers to each consumer of a cluster: a lease per name in the
// cluster's shared records, held by one instance at a time for a bounded
// lifetime that its holder renews.
//
// Why two instances never deliver under one name for longer than a
// lifetime:
//   - The holder may deliver only until its deadline: the moment it sent
//     its last renewal that the bucket accepted, plus the lifetime. A
//     holder cut off from NATS, or stopped (SIGSTOP), stops at that
//     deadline whatever happens elsewhere; a push already under way ends
//     within its call timeout.
//   - Another instance takes a lease only by a compare-and-set against the
//     revision that it saw, and only once it has seen that revision stay
//     unchanged for a whole lifetime, counted from when it first saw it:
//     after the holder's renewal reached the bucket, so after the holder
//     sent it. By then the holder's deadline has passed.
//   - A renewal is itself a compare-and-set: a holder whose lease was taken
//     finds out at its next renewal and gives up at once.
// Both sides count time on their own monotonic clocks; only the rates of
// two clocks are compared, never their readings.
//
// Taking over sooner: a holder that stops (SIGTERM) releases its leases,
// and a released lease is free at once. An instance that a consumer calls
// may take the lease over (takeOver), since the consumer chose it.

#ifndef KESTREL_CHANNELD_CLUSTER_LEASES_H_
#define KESTREL_CHANNELD_CLUSTER_LEASES_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "channeld/cluster/shared_records.h"

namespace kestrel {
namespace channeld {

class Leases {
 public:
  using Clock = std::chrono::steady_clock;
  // Called on the leases' thread: name became free here (released, or run
  // out as seen from here), for an instance that wants it; or name, held
  // here, was lost (taken over, or not renewed in time). Neither may call
  // Stop.
  using Callback = std::function<void(const std::string& name)>;

  // records outlives the leases; instance names this instance in them.
  Leases(SharedRecords* records, std::string instance, std::chrono::milliseconds lifetime);
  ~Leases();  // Stop()
  Leases(const Leases&) = delete;
  Leases& operator=(const Leases&) = delete;

  // Starts watching the records and the thread that renews every lease
  // held here (each third of a lifetime) and looks for the free ones.
  void Start(Callback onFree, Callback onLost);
  // Ends the thread; leases held stay held until they run out (see
  // ReleaseAll for a planned stop). Idempotent.
  void Stop();

  // The names whose leases this instance would take when free: onFree is
  // called for them.
  void Want(const std::string& name);
  void Unwant(const std::string& name);

  // Takes name for this instance: when nobody holds it, when it has been
  // released or has run out as seen from here, when this instance holds it
  // already, or with takeOver whoever holds it. True when held now.
  bool Acquire(const std::string& name, bool takeOver);
  // Whether this instance may deliver under name now (see above).
  bool Valid(const std::string& name) const;
  // Gives name up, so that another instance takes it at once; false when
  // the records could not be reached (the lease then runs out instead).
  bool Release(const std::string& name);
  // Gives up every lease held here; for a planned stop. Waits for the
  // records at most once: when they do not answer, the rest run out.
  void ReleaseAll();
  // Forgets name altogether (its consumer is gone): removes its record.
  void Remove(const std::string& name);

  std::size_t held() const;
  std::uint64_t takeovers() const { return takeovers_.load(); }  // leases taken from another
  std::chrono::milliseconds lifetime() const { return lifetime_; }

 private:
  struct Seen {                   // a lease's record, as watched from here
    std::string holder;           // empty: released
    std::uint64_t revision = 0;   // 0: no record
    Clock::time_point since;      // when this revision was first seen here
  };
  struct Held {
    std::uint64_t revision = 0;
    Clock::time_point deadline;
  };

  void Observe(const SharedRecords::Entry& entry);
  void Run();
  void RenewAll();
  void OfferFree();
  // REQUIRES: mutex_ held. Whether this instance may take the lease
  // without taking it over.
  bool RunsOut(const Seen& seen, Clock::time_point now) const;

  SharedRecords* const records_;
  const std::string instance_;
  const std::chrono::milliseconds lifetime_;
  Callback onFree_;
  Callback onLost_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = true;
  bool caughtUp_ = false;  // the watcher has seen every record once
  std::vector<std::string> lost_;  // held, taken by another: for onLost
  std::map<std::string, Seen> seen_;
  std::map<std::string, Held> held_;
  std::set<std::string> wanted_;
  std::atomic<std::uint64_t> takeovers_{0};
  std::thread thread_;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_CLUSTER_LEASES_H_
