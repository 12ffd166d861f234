// Checks the soak's records against what the library promises, and says
// why each missing event may or may not be missing.
//
// Times. Every process stamps with the machine's monotonic clock. A service
// run i lives from up_i (its address line was read) to gone_i (reaped);
// stop_i is when its stop signal was sent. Runs never overlap.
//
// An event is one Publish call of supplier s with sequence number n; it
// started at start and returned at end. Only events whose Publish answered
// S_OK are owed to anyone: the channel accepted them. Such an event belongs
// to the run i with up_i <= end <= gone_i, the only process that could have
// answered it.
//
// When a consumer c was connected in run i. conn(c, i) is an upper bound of
// the moment c's proxy in run i began to receive, the smaller of:
//   - the earliest min(end, received) over the events that c received
//     during run i: the channel handed such an event to c's proxy no later
//     than it answered the supplier and no later than c got it;
//   - the time the driver read the C-th "consumer proxy ... connected" line
//     of run i, when run i logged exactly C of them (one per consumer).
// No bound (c received nothing in run i and the log does not settle it)
// means c is taken as never connected in run i.
//
// Classes of S_OK events, per consumer, when the service keeps no state
// across its runs (a restart loses its proxies, and the consumers connect
// again):
//   required     start > conn(c, i) and end <= stop_i - inFlight: published
//                from start to end while both ends were connected, well
//                before the service was told to stop. Must arrive exactly
//                once.
//   before-connect  start <= conn(c, i), or no conn(c, i): published while
//                c was not (yet) connected in run i, e.g. before it had
//                reconnected. May be missing.
//   in-flight    end > stop_i - inFlight: accepted just before or while the
//                service was being stopped; still queued for c when the
//                service ended, it goes with the service. May be missing.
// Events whose Publish failed may be missing too, and if they arrive they
// are counted, not held against anyone (the channel may have taken one
// before the call failed).
//
// With a state directory (settings.keepsState()) the proxies and their
// connections outlive every run, a SIGTERM saves the queued events for the
// next run, and with persistent event reliability every accepted event is
// on disk before its Publish returns. The consumers were all connected
// before the first supplier was told to go, so every S_OK event is owed to
// every consumer, exactly once and in order, whatever the stops; no
// in-flight allowance applies. Two exceptions:
//   at-a-crash   (best-effort only) an S_OK event answered by a run that
//                ended with SIGKILL: still queued at the kill, it was held
//                in memory only. May be missing; counted per restart, next
//                to the number of queued events that the next run said it
//                could not restore.
//   repeat       an event whose Publish started before a SIGKILL'd run was
//                gone, received again in the next run: the push in flight at
//                the kill, whose answer never reached the service. One per
//                consumer and SIGKILL is counted, not failed; any further
//                one is a duplicate.
//
// Every missing S_OK event is put down to a restart (restart k: run k
// stopped, run k + 1 started): an event answered by run i before up_i, or
// (no state directory) published before c was connected in run i, to the
// restart that began run i; any other to the restart that ended run i.
// Those of the first run's start-up and of the last run (no restart after
// it) are counted apart.
//
// Recovery after restart k is measured from up_{k+1}, the moment the
// driver read the new run's address line, that is from when the service
// was up again: per consumer the first event received from run k + 1 on
// (whatever it is, saved events of run k included) and the first event
// accepted by run k + 1 received; per supplier the first Publish answered
// S_OK by run k + 1; and conn(c, k + 1) - up_{k+1}, the connection bound.
//
// Failures: a required event missing (lost); any event delivered twice or
// more to one consumer (duplicate) beyond the repeats above; a consumer
// receiving an event of a supplier with a lower sequence number than one
// it had before (out of order); an event that no supplier recorded or that
// does not parse (unrecognised); a consumer proxy disconnected while the
// service was up, before the consumers were told to end; a consumer that
// had not received anything recoveryBound after a run came up although
// that run went on publishing (no reconnection: a hang).

#ifndef KESTREL_BENCH_SOAK_DELIVERY_AUDIT_H_
#define KESTREL_BENCH_SOAK_DELIVERY_AUDIT_H_

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/soak/soak_records.h"

namespace kestrel {
namespace soak {

struct AuditInput {
  ServiceSettings service;
  uint32_t consumers = 0;
  int64_t inFlightNs = 0;
  int64_t recoveryBoundNs = 0;
  int64_t originNs = 0;  // times in the report are seconds since this
  int64_t consumersLeavingNs = 0;  // when the consumers were told to end
  std::vector<ServiceRun> runs;
  std::vector<ServiceLogLine> serviceLog;
  std::vector<std::vector<PublishRecord>> published;  // by supplier id
  std::vector<std::vector<ReceiptRecord>> received;   // by consumer id
};

class DeliveryAudit {
 public:
  explicit DeliveryAudit(const AuditInput& input);

  // REQUIRES: called once, before the rest.
  void Run();
  bool passed() const { return failures_.empty(); }
  const std::vector<std::string>& failures() const { return failures_; }
  void WriteReport(std::FILE* out) const;
  // One line per service run: its times, and per consumer the connection
  // bound and the events received in it.
  void WriteRunTable(std::FILE* out) const;

 private:
  struct LostEvent {
    uint32_t consumer, supplier, seq;
    size_t run;
    int64_t startNs, endNs, connNs;
  };
  struct ConsumerFigures {
    size_t received = 0;
    size_t unrecognised = 0;
    size_t duplicates = 0;
    size_t outOfOrder = 0;
    size_t okDelivered = 0;
    size_t okMissing = 0;
    size_t failedButDelivered = 0;
    size_t required = 0, requiredDelivered = 0;
    size_t beforeConnect = 0, beforeConnectDelivered = 0;
    size_t inFlight = 0, inFlightDelivered = 0;
    size_t atCrash = 0, atCrashDelivered = 0;
    size_t repeats = 0;                 // tolerated, see above
    size_t runsWithBoundFromLog = 0;
    std::vector<int64_t> recoveryAfterTermNs, recoveryAfterKillNs;
    std::vector<int64_t> latencyNs;  // received - start, S_OK events
    std::vector<int64_t> connNs;        // per run, -1: none
    std::vector<size_t> receivedInRun;  // per run
    std::vector<LostEvent> lost;
    std::vector<std::string> examples;  // of duplicates, disorder, unrecognised
  };
  struct RunFigures {
    size_t consumerConnects = 0;  // "connected" lines, restored proxies included
    size_t consumerRestores = 0;  // of those, "restored, connected"
    size_t supplierConnects = 0;
    int64_t allConsumersLogNs = -1;  // the C-th consumer connect line, if exactly C
    std::vector<std::string> consumerLosses;  // while up
    int64_t notRestored = -1;     // queued events it said at its start it could not restore; -1: said nothing
    int64_t saved = -1;           // queued events it said it saved at its stop; -1: said nothing
    int64_t orphansDropped = 0;   // saved events it dropped at its start for want of their consumer
    std::vector<std::string> otherLines;  // the first few of anything else it said
  };

  // Restart k: run k stopped, run k + 1 started.
  struct RestartFigures {
    int signal = 0;
    std::vector<size_t> missing;             // per consumer, S_OK events put down to it
    std::vector<size_t> repeats;             // per consumer
    // Times; INT64_MIN: none.
    std::vector<int64_t> oldestMissingNs;    // per consumer: stop_k - end of the earliest missing event of run k
    std::vector<int64_t> firstReceiptNs;     // per consumer: first received in run k + 1 - up_{k+1}
    std::vector<int64_t> firstNewReceiptNs;  // per consumer: the same, of an event that run k + 1 accepted
    std::vector<int64_t> firstAcceptNs;      // per supplier: first S_OK answered by run k + 1 - up_{k+1}
    std::vector<int64_t> connectedNs;        // per consumer: conn(c, k + 1) - up_{k+1}
  };

  void ReadServiceLog();
  // The run spawned last at ns (-1: none yet): a receipt stamped just after
  // its run was reaped still belongs to it.
  int RunBefore(int64_t ns) const;
  // The restart that began run, or kStartUp; the one that ended it, or
  // kLastRun.
  int RestartBefore(int run) const { return run > 0 ? run - 1 : kStartUp; }
  int RestartAfter(int run) const {
    return static_cast<size_t>(run) + 1 < in_.runs.size() ? run : kLastRun;
  }
  // Puts a missing S_OK event of consumer that run answered at endNs down
  // to restart.
  void CountMissing(uint32_t consumer, int restart, int run, int64_t endNs);
  void MeasureRecovery();
  void WriteRestarts(std::FILE* out) const;
  // The run whose process existed at ns (from its spawn to its reaping),
  // or -1.
  int RunAt(int64_t ns) const;
  void AuditConsumer(uint32_t consumer);
  std::vector<int64_t> ConnectionBounds(uint32_t consumer) const;
  void CheckRecovery(uint32_t consumer, const std::vector<int64_t>& conn);
  double Seconds(int64_t ns) const;
  void Fail(std::string failure);

  static constexpr int kStartUp = -1;
  static constexpr int kLastRun = -2;

  const AuditInput& in_;
  std::vector<RunFigures> runs_;
  std::vector<RestartFigures> restarts_;
  std::vector<ConsumerFigures> consumers_;
  std::vector<size_t> missingAtStartUp_, missingInLastRun_;  // per consumer
  size_t okOutsideRuns_ = 0;
  std::vector<std::string> failures_;
};

}  // namespace soak
}  // namespace kestrel

#endif  // KESTREL_BENCH_SOAK_DELIVERY_AUDIT_H_
