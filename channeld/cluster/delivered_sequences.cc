#include "channeld/cluster/delivered_sequences.h"

namespace kestrel {
namespace channeld {

bool DeliveredSequences::Take(std::uint64_t sequence, Clock::time_point now) {
  if (!started_) {
    // Where this instance's consumer starts is the stream's business: the
    // first message seen opens no hole below it.
    started_ = true;
    lowWater_ = sequence - 1;
  }
  if (sequence <= lowWater_ || above_.count(sequence) != 0) return false;
  const bool hadHole = !above_.empty();
  const std::uint64_t before = lowWater_;
  above_.insert(sequence);
  Advance();
  if (above_.empty()) return true;
  if (!hadHole || lowWater_ != before) {
    holeOpened_ = now;  // a new lowest hole
  } else if (now - holeOpened_ >= holeLimit_) {
    lowWater_ = *above_.begin() - 1;  // nothing more will fill it
    Advance();
    holeOpened_ = now;
  }
  return true;
}

void DeliveredSequences::Advance() {
  while (!above_.empty() && *above_.begin() == lowWater_ + 1) {
    lowWater_ = *above_.begin();
    above_.erase(above_.begin());
  }
}

void DeliveredSequences::Reset() {
  started_ = false;
  lowWater_ = 0;
  above_.clear();
}

}  // namespace channeld
}  // namespace kestrel
