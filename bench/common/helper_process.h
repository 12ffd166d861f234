// A benchmark's helper process (this same program, started with a helper
// option): it prints one line once it is ready, then the number of events it
// has received every so many events, and "now COUNT" when SIGUSR1 asks for
// the count at once. Killed and reaped when the object goes.

#ifndef KESTREL_BENCH_COMMON_HELPER_PROCESS_H_
#define KESTREL_BENCH_COMMON_HELPER_PROCESS_H_

#include <signal.h>
#include <sys/types.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tests/channeld/child_process.h"

namespace kestrel {
namespace bench {

class HelperProcess {
 public:
  // Runs arguments and reads the helper's first line into ready.
  bool Start(const std::vector<std::string>& arguments, std::string* ready,
             int timeoutMs = 10000) {
    return process_.Spawn(arguments) && process_.ReadLine(ready, timeoutMs);
  }

  // Waits until the helper reports count events.
  bool WaitForCount(long count, int timeoutMs) {
    std::string line;
    while (reported_ < count) {
      if (!process_.ReadLine(&line, timeoutMs)) return false;
      reported_ = std::atol(line.c_str());
    }
    return true;
  }

  // The last count the helper reported.
  long reported() const { return reported_; }

  // Asks the helper for its count (SIGUSR1) and answers it: exact where
  // reported() may lag by up to a report's worth of events. -1 when no
  // answer came within timeoutMs.
  long CountNow(int timeoutMs) {
    if (::kill(process_.pid(), SIGUSR1) != 0) return -1;
    std::string line;
    while (process_.ReadLine(&line, timeoutMs)) {
      if (line.compare(0, 4, "now ") == 0) return reported_ = std::atol(line.c_str() + 4);
      reported_ = std::atol(line.c_str());
    }
    return -1;
  }

  pid_t pid() const { return process_.pid(); }

  void Stop() { process_.Kill(SIGKILL); }

 private:
  testing::ChildProcess process_;
  long reported_ = 0;
};

}  // namespace bench
}  // namespace kestrel

#endif  // KESTREL_BENCH_COMMON_HELPER_PROCESS_H_
