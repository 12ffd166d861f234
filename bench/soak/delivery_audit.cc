#include "bench/soak/delivery_audit.h"

#include <algorithm>
#include <cinttypes>
#include <csignal>
#include <cstdarg>
#include <cstdint>

#include "bench/soak/monotonic_clock.h"
#include "tools/common/component_loader.h"

namespace kestrel {
namespace soak {

namespace {

constexpr size_t kExamples = 10;

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool Contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

double Milliseconds(int64_t ns) { return static_cast<double>(ns) / kNsPerMs; }

// "n=12 median 1.2 ms, max 3.4 ms"
std::string Spread(std::vector<int64_t> values) {
  if (values.empty()) return "none";
  std::sort(values.begin(), values.end());
  char text[160];
  std::snprintf(text, sizeof text, "n=%zu, median %.1f ms, p99 %.1f ms, max %.1f ms", values.size(),
                Milliseconds(values[values.size() / 2]), Milliseconds(values[values.size() * 99 / 100]),
                Milliseconds(values.back()));
  return text;
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char text[512];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  return text;
}

}  // namespace

DeliveryAudit::DeliveryAudit(const AuditInput& input) : in_(input) {}

double DeliveryAudit::Seconds(int64_t ns) const {
  return static_cast<double>(ns - in_.originNs) / kNsPerSecond;
}

void DeliveryAudit::Fail(std::string failure) { failures_.push_back(std::move(failure)); }

void DeliveryAudit::Run() {
  ReadServiceLog();
  for (size_t s = 0; s < in_.published.size(); ++s) {
    for (const PublishRecord& record : in_.published[s]) {
      if (record.result == S_OK && RunAt(record.endNs) < 0) ++okOutsideRuns_;
    }
  }
  if (okOutsideRuns_ > 0) {
    Fail(Format("%zu events answered S_OK while no service process existed (clock or record fault)",
                okOutsideRuns_));
  }
  consumers_.resize(in_.received.size());
  for (uint32_t c = 0; c < in_.received.size(); ++c) AuditConsumer(c);
}

void DeliveryAudit::ReadServiceLog() {
  runs_.resize(in_.runs.size());
  for (const ServiceLogLine& line : in_.serviceLog) {
    if (line.run >= runs_.size()) continue;
    const ServiceRun& run = in_.runs[line.run];
    bool whileUp = run.stopNs == 0 || line.readNs < run.stopNs;
    if (!whileUp) continue;
    bool consumersStaying = in_.consumersLeavingNs == 0 || line.readNs < in_.consumersLeavingNs;
    RunFigures& figures = runs_[line.run];
    if (Contains(line.text, ": consumer proxy ") && EndsWith(line.text, " connected")) {
      if (++figures.consumerConnects == in_.consumers) figures.allConsumersLogNs = line.readNs;
    } else if (Contains(line.text, ": consumer proxy ") && Contains(line.text, " disconnected (") &&
               consumersStaying) {
      figures.consumerLosses.push_back(Format("%.3f s %s", Seconds(line.readNs), line.text.c_str()));
    } else if (Contains(line.text, ": supplier proxy ") && EndsWith(line.text, " connected")) {
      ++figures.supplierConnects;
    }
  }
  for (size_t i = 0; i < runs_.size(); ++i) {
    // With more connections than consumers the C-th says nothing about all.
    if (runs_[i].consumerConnects != in_.consumers) runs_[i].allConsumersLogNs = -1;
    for (const std::string& loss : runs_[i].consumerLosses) {
      Fail(Format("run %zu: a consumer's connection ended while the service was up: %s", i, loss.c_str()));
    }
  }
}

int DeliveryAudit::RunAt(int64_t ns) const {
  for (size_t i = 0; i < in_.runs.size(); ++i) {
    const ServiceRun& run = in_.runs[i];
    if (ns >= run.spawnedNs && (run.goneNs == 0 || ns <= run.goneNs)) return static_cast<int>(i);
  }
  return -1;
}

std::vector<int64_t> DeliveryAudit::ConnectionBounds(uint32_t consumer) const {
  std::vector<int64_t> conn(in_.runs.size(), -1);
  for (const ReceiptRecord& receipt : in_.received[consumer]) {
    if (!receipt.recognised || receipt.supplier >= in_.published.size()) continue;
    const std::vector<PublishRecord>& published = in_.published[receipt.supplier];
    if (receipt.seq >= published.size()) continue;
    int run = RunAt(receipt.receivedNs);
    if (run < 0) continue;
    int64_t bound = std::min(receipt.receivedNs, published[receipt.seq].endNs);
    if (conn[run] < 0 || bound < conn[run]) conn[run] = bound;
  }
  return conn;
}

void DeliveryAudit::AuditConsumer(uint32_t consumer) {
  ConsumerFigures& figures = consumers_[consumer];
  const size_t suppliers = in_.published.size();
  // Per supplier and sequence number: how often received, and when first.
  std::vector<std::vector<uint32_t>> counts(suppliers);
  std::vector<std::vector<int64_t>> firstReceived(suppliers);
  for (size_t s = 0; s < suppliers; ++s) {
    counts[s].assign(in_.published[s].size(), 0);
    firstReceived[s].assign(in_.published[s].size(), 0);
  }
  std::vector<int64_t> highest(suppliers, -1);
  for (const ReceiptRecord& receipt : in_.received[consumer]) {
    ++figures.received;
    if (!receipt.recognised || receipt.supplier >= suppliers ||
        receipt.seq >= in_.published[receipt.supplier].size()) {
      ++figures.unrecognised;
      if (figures.examples.size() < kExamples) {
        figures.examples.push_back(Format("unrecognised event at %.3f s", Seconds(receipt.receivedNs)));
      }
      continue;
    }
    uint32_t& count = counts[receipt.supplier][receipt.seq];
    if (++count == 1) firstReceived[receipt.supplier][receipt.seq] = receipt.receivedNs;
    if (count > 1) {
      ++figures.duplicates;
      if (figures.examples.size() < kExamples) {
        figures.examples.push_back(Format("supplier %u seq %u received %u times (again at %.3f s)",
                                          receipt.supplier, receipt.seq, count, Seconds(receipt.receivedNs)));
      }
    } else if (static_cast<int64_t>(receipt.seq) < highest[receipt.supplier]) {
      ++figures.outOfOrder;
      if (figures.examples.size() < kExamples) {
        figures.examples.push_back(Format("supplier %u seq %u received at %.3f s after seq %" PRId64,
                                          receipt.supplier, receipt.seq, Seconds(receipt.receivedNs),
                                          highest[receipt.supplier]));
      }
    }
    highest[receipt.supplier] = std::max<int64_t>(highest[receipt.supplier], receipt.seq);
  }

  std::vector<int64_t> conn = ConnectionBounds(consumer);
  for (size_t i = 0; i < conn.size(); ++i) {
    int64_t fromLog = runs_[i].allConsumersLogNs;
    if (fromLog >= 0 && (conn[i] < 0 || fromLog < conn[i])) {
      conn[i] = fromLog;
      ++figures.runsWithBoundFromLog;
    }
  }
  figures.connNs = conn;
  figures.receivedInRun.assign(in_.runs.size(), 0);
  for (const ReceiptRecord& receipt : in_.received[consumer]) {
    int run = RunAt(receipt.receivedNs);
    if (run >= 0) ++figures.receivedInRun[run];
  }

  for (uint32_t s = 0; s < suppliers; ++s) {
    for (size_t n = 0; n < in_.published[s].size(); ++n) {
      const PublishRecord& record = in_.published[s][n];
      bool delivered = counts[s][n] > 0;
      if (record.result != S_OK) {
        if (delivered) ++figures.failedButDelivered;
        continue;
      }
      if (delivered) {
        ++figures.okDelivered;
        figures.latencyNs.push_back(firstReceived[s][n] - record.startNs);
      } else {
        ++figures.okMissing;
      }
      int run = RunAt(record.endNs);
      if (run < 0) continue;  // failed above already
      const ServiceRun& service = in_.runs[run];
      if (service.stopNs != 0 && record.endNs > service.stopNs - in_.inFlightNs) {
        ++figures.inFlight;
        if (delivered) ++figures.inFlightDelivered;
      } else if (conn[run] < 0 || record.startNs <= conn[run]) {
        ++figures.beforeConnect;
        if (delivered) ++figures.beforeConnectDelivered;
      } else {
        ++figures.required;
        if (delivered) {
          ++figures.requiredDelivered;
        } else {
          figures.lost.push_back(LostEvent{consumer, s, record.seq, static_cast<size_t>(run), record.startNs,
                                           record.endNs, conn[run]});
        }
      }
    }
  }
  if (!figures.lost.empty()) {
    Fail(Format("consumer %u lost %zu events published while it was connected", consumer,
                figures.lost.size()));
  }
  if (figures.duplicates > 0) Fail(Format("consumer %u received %zu duplicates", consumer, figures.duplicates));
  if (figures.outOfOrder > 0) {
    Fail(Format("consumer %u received %zu events out of order", consumer, figures.outOfOrder));
  }
  if (figures.unrecognised > 0) {
    Fail(Format("consumer %u received %zu unrecognised events", consumer, figures.unrecognised));
  }
  CheckRecovery(consumer, conn);
}

void DeliveryAudit::CheckRecovery(uint32_t consumer, const std::vector<int64_t>& conn) {
  ConsumerFigures& figures = consumers_[consumer];
  for (size_t i = 0; i < in_.runs.size(); ++i) {
    const ServiceRun& run = in_.runs[i];
    if (conn[i] >= 0) {
      int64_t recovery = std::max<int64_t>(0, conn[i] - run.upNs);
      if (i > 0) {
        (in_.runs[i - 1].signal == SIGKILL ? figures.recoveryAfterKillNs : figures.recoveryAfterTermNs)
            .push_back(recovery);
      }
      if (recovery > in_.recoveryBoundNs) {
        Fail(Format("consumer %u took %.3f s after run %zu came up to receive again (bound %.1f s)", consumer,
                    static_cast<double>(recovery) / kNsPerSecond, i,
                    static_cast<double>(in_.recoveryBoundNs) / kNsPerSecond));
      }
      continue;
    }
    // Never connected: a fault only if the run went on publishing past the
    // bound, so that a connected consumer would have had something.
    int64_t due = run.upNs + in_.recoveryBoundNs;
    int64_t until = run.stopNs != 0 ? run.stopNs - in_.inFlightNs : INT64_MAX;
    for (const std::vector<PublishRecord>& published : in_.published) {
      bool owed = std::any_of(published.begin(), published.end(), [&](const PublishRecord& record) {
        return record.result == S_OK && record.startNs > due && record.endNs <= until;
      });
      if (owed) {
        Fail(Format("consumer %u received nothing in run %zu (up %.1f s to %.1f s) although events were "
                    "published there after the recovery bound",
                    consumer, i, Seconds(run.upNs), Seconds(run.stopNs)));
        break;
      }
    }
  }
}

void DeliveryAudit::WriteRunTable(std::FILE* out) const {
  std::fprintf(out, "# run, signal that ended it, up/stop/gone (s), consumer connections in its log,\n"
                    "# then per consumer: connected by (s after up, - for never), events received\n");
  for (size_t i = 0; i < in_.runs.size(); ++i) {
    const ServiceRun& run = in_.runs[i];
    std::fprintf(out, "%4zu %-7s up %9.3f stop %9.3f gone %9.3f  log %zu", i,
                 run.signal == SIGKILL ? "SIGKILL" : run.signal == SIGTERM ? "SIGTERM" : "-", Seconds(run.upNs),
                 Seconds(run.stopNs), Seconds(run.goneNs), runs_[i].consumerConnects);
    for (size_t c = 0; c < consumers_.size(); ++c) {
      const ConsumerFigures& f = consumers_[c];
      if (f.connNs[i] < 0) {
        std::fprintf(out, " | c%zu - %5zu", c, f.receivedInRun[i]);
      } else {
        std::fprintf(out, " | c%zu %6.3f %5zu", c, static_cast<double>(f.connNs[i] - run.upNs) / kNsPerSecond,
                     f.receivedInRun[i]);
      }
    }
    std::fprintf(out, "\n");
  }
}

void DeliveryAudit::WriteReport(std::FILE* out) const {
  size_t terms = 0, kills = 0;
  for (size_t i = 0; i + 1 < in_.runs.size(); ++i) (in_.runs[i].signal == SIGKILL ? kills : terms)++;
  std::fprintf(out, "service: %zu runs, %zu restarts (%zu after SIGTERM, %zu after SIGKILL)\n",
               in_.runs.size(), in_.runs.empty() ? 0 : in_.runs.size() - 1, terms, kills);
  std::vector<int64_t> downtimes;
  for (size_t i = 1; i < in_.runs.size(); ++i) downtimes.push_back(in_.runs[i].upNs - in_.runs[i - 1].stopNs);
  std::fprintf(out, "  down from stop signal to up again: %s\n", Spread(downtimes).c_str());
  size_t supplierConnects = 0, runsLogSettled = 0, extraConsumerConnects = 0;
  for (const RunFigures& run : runs_) {
    supplierConnects += run.supplierConnects;
    if (run.allConsumersLogNs >= 0) ++runsLogSettled;
    if (run.consumerConnects > in_.consumers) extraConsumerConnects += run.consumerConnects - in_.consumers;
  }
  std::fprintf(out,
               "  supplier proxies connected: %zu; runs in which all %u consumers connected once by the "
               "service's log: %zu; surplus consumer connections: %zu\n",
               supplierConnects, in_.consumers, runsLogSettled, extraConsumerConnects);
  for (size_t i = 0; i < runs_.size(); ++i) {
    for (const std::string& loss : runs_[i].consumerLosses) {
      std::fprintf(out, "  run %zu ended a consumer's connection while up: %s\n", i, loss.c_str());
    }
  }

  std::fprintf(out, "\npublished:\n");
  size_t allOk = 0;
  for (size_t s = 0; s < in_.published.size(); ++s) {
    size_t ok = 0;
    std::vector<int64_t> okCalls, failedCalls;
    std::vector<std::pair<HRESULT, size_t>> failures;
    for (const PublishRecord& record : in_.published[s]) {
      (record.result == S_OK ? okCalls : failedCalls).push_back(record.endNs - record.startNs);
      if (record.result == S_OK) {
        ++ok;
        continue;
      }
      auto found = std::find_if(failures.begin(), failures.end(),
                                [&](const std::pair<HRESULT, size_t>& f) { return f.first == record.result; });
      if (found == failures.end()) {
        failures.emplace_back(record.result, 1);
      } else {
        ++found->second;
      }
    }
    allOk += ok;
    std::fprintf(out, "  supplier %zu: %zu calls, %zu S_OK, %zu failed", s, in_.published[s].size(), ok,
                 in_.published[s].size() - ok);
    for (const auto& failure : failures) {
      std::fprintf(out, " [%s x%zu]", kestrel::tools::DescribeResult(failure.first).c_str(), failure.second);
    }
    std::fprintf(out, "\n    S_OK call time: %s\n    failed call time: %s\n", Spread(okCalls).c_str(),
                 Spread(failedCalls).c_str());
  }
  std::fprintf(out, "  all suppliers: %zu events answered S_OK\n", allOk);

  for (size_t c = 0; c < consumers_.size(); ++c) {
    const ConsumerFigures& f = consumers_[c];
    std::fprintf(out, "\nconsumer %zu:\n", c);
    std::fprintf(out, "  received %zu events: %zu distinct S_OK events, %zu of failed Publish calls, "
                 "%zu duplicates, %zu out of order, %zu unrecognised\n",
                 f.received, f.okDelivered, f.failedButDelivered, f.duplicates, f.outOfOrder, f.unrecognised);
    std::fprintf(out, "  S_OK events not delivered: %zu of %zu\n", f.okMissing, f.okDelivered + f.okMissing);
    std::fprintf(out, "    required (both connected): %zu, delivered %zu, LOST %zu\n", f.required,
                 f.requiredDelivered, f.required - f.requiredDelivered);
    std::fprintf(out, "    before the consumer was connected: %zu, delivered %zu, missing %zu (allowed)\n",
                 f.beforeConnect, f.beforeConnectDelivered, f.beforeConnect - f.beforeConnectDelivered);
    std::fprintf(out, "    in flight at a stop: %zu, delivered %zu, missing %zu (allowed)\n", f.inFlight,
                 f.inFlightDelivered, f.inFlight - f.inFlightDelivered);
    std::fprintf(out, "  connection bound taken from the service's log in %zu of %zu runs\n",
                 f.runsWithBoundFromLog, in_.runs.size());
    std::fprintf(out, "  receiving again after a restart (bound - up), after SIGTERM: %s\n",
                 Spread(f.recoveryAfterTermNs).c_str());
    std::fprintf(out, "  receiving again after a restart (bound - up), after SIGKILL: %s\n",
                 Spread(f.recoveryAfterKillNs).c_str());
    std::fprintf(out, "  latency from Publish to OnEvent: %s\n", Spread(f.latencyNs).c_str());
    for (const std::string& example : f.examples) std::fprintf(out, "  ! %s\n", example.c_str());
    for (size_t i = 0; i < f.lost.size() && i < kExamples; ++i) {
      const LostEvent& lost = f.lost[i];
      const ServiceRun& run = in_.runs[lost.run];
      std::fprintf(out,
                   "  ! LOST supplier %u seq %u: Publish %.3f-%.3f s in run %zu (up %.3f s, stop %.3f s), "
                   "consumer connected by %.3f s\n",
                   lost.supplier, lost.seq, Seconds(lost.startNs), Seconds(lost.endNs), lost.run,
                   Seconds(run.upNs), Seconds(run.stopNs), Seconds(lost.connNs));
    }
  }

  std::fprintf(out, "\ndelivery verdict: %s\n", passed() ? "PASS" : "FAIL");
  for (const std::string& failure : failures_) std::fprintf(out, "  - %s\n", failure.c_str());
}

}  // namespace soak
}  // namespace kestrel
