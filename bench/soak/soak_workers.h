// The two worker modes of kestrel_soak. Each creates its Kestrel object from
// libkestrel.so as a client program would (kestrel::tools::CreateComponent),
// writes "ready" on stdout once connected, works until SIGTERM or SIGINT,
// and answers the process's exit status: 0 after a clean end, 1 when it
// could not get going.
//
// Supplier: once connected, waits for the driver's go (SIGUSR1, sent when
// every worker is connected, so that a slow start-up of many workers is not
// part of the load), then Publish at a steady rate, one call every 1/rate s
// on the schedule (a call that overruns its slot is followed at once by the
// next, never by a burst), recording every call and its answer. The
// suppliers' schedules are spread over the period by id, as those of
// independent hosts would be, rather than all publishing at the same instant.
// Consumer: records every event that its sink is given, in that order.

#ifndef KESTREL_BENCH_SOAK_SOAK_WORKERS_H_
#define KESTREL_BENCH_SOAK_SOAK_WORKERS_H_

#include "bench/soak/soak_options.h"

namespace kestrel {
namespace soak {

// The channel that kestrel-channeld serves when given no --channel.
constexpr char kChannelKey[] = "NotifyEventChannel";

// REQUIRES: StopSignal::BlockInProcess() was called.
int RunSupplier(const WorkerOptions& options);
int RunConsumer(const WorkerOptions& options);

}  // namespace soak
}  // namespace kestrel

#endif  // KESTREL_BENCH_SOAK_SOAK_WORKERS_H_
