// Refusals counted as they happen, on whichever thread refuses, and
// reported from the reporter's thread, once a second at most: one line that
// names the latest refused and how many went since the last report. The
// refusing thread only swaps a string and counts, and never logs.

#ifndef KESTREL_CHANNELD_RUNTIME_REFUSAL_TALLY_H_
#define KESTREL_CHANNELD_RUNTIME_REFUSAL_TALLY_H_

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace kestrel {
namespace channeld {

class RefusalTally {
 public:
  // Counts one refusal; who names it ("connection from 192.0.2.9").
  void Note(std::string who);

  // Refusals since the start.
  std::uint64_t total() const { return total_; }

  // "WHO refused: WHY", with " (N refused in the last second)" after it
  // when there were several, for the refusals since the last call; empty
  // when there were none. REQUIRES: called from one thread only.
  std::string TakeReport(const std::string& why);

 private:
  std::atomic<std::uint64_t> total_{0};
  std::uint64_t reported_ = 0;  // the reporting thread's
  std::mutex latestMutex_;
  std::string latest_;  // guarded by latestMutex_
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_RUNTIME_REFUSAL_TALLY_H_
