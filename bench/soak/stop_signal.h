// How a worker learns that the driver wants it to end: SIGTERM or SIGINT,
// blocked in every thread and taken synchronously, so that no library
// thread is ever interrupted by it. SIGUSR1, the driver's go to suppliers,
// is blocked and taken the same way.

#ifndef KESTREL_BENCH_SOAK_STOP_SIGNAL_H_
#define KESTREL_BENCH_SOAK_STOP_SIGNAL_H_

#include <cstdint>

namespace kestrel {
namespace soak {

class StopSignal {
 public:
  // REQUIRES: called before the process starts any thread.
  static void BlockInProcess();

  // Waits up to timeoutNs (0: only looks) and answers whether a stop
  // signal came. Once it has answered true it keeps answering true.
  bool Wait(int64_t timeoutNs);
  // Waits for a stop signal, however long it takes.
  void WaitForever();
  // Waits for SIGUSR1 or a stop signal; true for SIGUSR1.
  bool WaitForGo();

 private:
  bool stopped_ = false;
};

}  // namespace soak
}  // namespace kestrel

#endif  // KESTREL_BENCH_SOAK_STOP_SIGNAL_H_
