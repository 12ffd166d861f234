// Which of a stream's messages this instance has already handed to its
// channel, by stream sequence. The log may send a message again (a consumer
// leader's failover resends some with a delivery count of 1), and it sends
// one again later, after others, when it never reached this instance (lost
// with a dying server): the first is a repeat to skip, the second must be
// delivered. So every sequence up to a low-water mark is known delivered,
// and those delivered above it, past a hole, are kept one by one until the
// hole fills. A hole that stays open longer than holeLimit is the stream's
// own (messages it dropped by age or size before this instance read them)
// and is given up.

#ifndef KESTREL_CHANNELD_CLUSTER_DELIVERED_SEQUENCES_H_
#define KESTREL_CHANNELD_CLUSTER_DELIVERED_SEQUENCES_H_

#include <chrono>
#include <cstdint>
#include <set>

namespace kestrel {
namespace channeld {

class DeliveredSequences {
 public:
  using Clock = std::chrono::steady_clock;

  explicit DeliveredSequences(Clock::duration holeLimit) : holeLimit_(holeLimit) {}

  // True when sequence is new: it is then counted as delivered. False for
  // a repeat.
  bool Take(std::uint64_t sequence, Clock::time_point now = Clock::now());
  // Forgets everything: the stream was made anew and numbers from 1 again.
  void Reset();

  std::uint64_t lowWater() const { return lowWater_; }
  std::size_t aboveHole() const { return above_.size(); }

 private:
  void Advance();

  const Clock::duration holeLimit_;
  bool started_ = false;
  std::uint64_t lowWater_ = 0;  // every sequence up to it was delivered
  std::set<std::uint64_t> above_;  // delivered above lowWater_ + 1, which was not
  Clock::time_point holeOpened_;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_CLUSTER_DELIVERED_SEQUENCES_H_
