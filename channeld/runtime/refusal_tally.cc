#include "channeld/runtime/refusal_tally.h"

namespace kestrel {
namespace channeld {

void RefusalTally::Note(std::string who) {
  {
    std::lock_guard<std::mutex> lock(latestMutex_);
    latest_.swap(who);
  }
  ++total_;
}

std::string RefusalTally::TakeReport(const std::string& why) {
  std::uint64_t total = total_;
  std::uint64_t refused = total - reported_;
  if (refused == 0) return std::string();
  reported_ = total;
  std::string line;
  {
    std::lock_guard<std::mutex> lock(latestMutex_);
    line = latest_;
  }
  line += " refused: " + why;
  if (refused > 1) line += " (" + std::to_string(refused) + " refused in the last second)";
  return line;
}

}  // namespace channeld
}  // namespace kestrel
