#include "bench/soak/delivery_audit.h"

#include <algorithm>
#include <cinttypes>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>

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

// The number written just before text's first "part", or -1.
int64_t NumberBefore(const std::string& text, const char* part) {
  size_t end = text.find(part);
  if (end == std::string::npos) return -1;
  size_t begin = end;
  while (begin > 0 && text[begin - 1] >= '0' && text[begin - 1] <= '9') --begin;
  if (begin == end) return -1;
  return std::strtoll(text.substr(begin, end - begin).c_str(), nullptr, 10);
}

void AddTo(int64_t* total, int64_t count) { *total = (*total < 0 ? 0 : *total) + count; }

constexpr size_t kOtherLinesPerRun = 5;

// No such time.
constexpr int64_t kNone = INT64_MIN;

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

// " c0 1.234 s, c1 -" for per-process times, "-" for none.
std::string PerProcess(const char* prefix, const std::vector<int64_t>& values) {
  std::string text;
  for (size_t i = 0; i < values.size(); ++i) {
    text += Format("%s %s%zu ", i == 0 ? "" : ",", prefix, i);
    text += values[i] == kNone ? std::string("-")
                               : Format("%.3f s", static_cast<double>(values[i]) / kNsPerSecond);
  }
  return text;
}

std::string PerConsumerCounts(const std::vector<size_t>& counts) {
  std::string text;
  size_t all = 0;
  for (size_t i = 0; i < counts.size(); ++i) {
    text += Format("%s c%zu %zu", i == 0 ? "" : ",", i, counts[i]);
    all += counts[i];
  }
  return text + Format(" (%zu in all)", all);
}

size_t Sum(const std::vector<size_t>& counts) {
  size_t all = 0;
  for (size_t count : counts) all += count;
  return all;
}

void AppendKnown(const std::vector<int64_t>& values, std::vector<int64_t>* to) {
  for (int64_t value : values) {
    if (value != kNone) to->push_back(value);
  }
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
  const size_t consumers = in_.received.size();
  restarts_.resize(in_.runs.empty() ? 0 : in_.runs.size() - 1);
  for (size_t k = 0; k < restarts_.size(); ++k) {
    RestartFigures& restart = restarts_[k];
    restart.signal = in_.runs[k].signal;
    restart.missing.assign(consumers, 0);
    restart.repeats.assign(consumers, 0);
    restart.oldestMissingNs.assign(consumers, kNone);
    restart.firstReceiptNs.assign(consumers, kNone);
    restart.firstNewReceiptNs.assign(consumers, kNone);
    restart.connectedNs.assign(consumers, kNone);
    restart.firstAcceptNs.assign(in_.published.size(), kNone);
  }
  missingAtStartUp_.assign(consumers, 0);
  missingInLastRun_.assign(consumers, 0);
  consumers_.resize(consumers);
  for (uint32_t c = 0; c < consumers; ++c) AuditConsumer(c);
  MeasureRecovery();
}

void DeliveryAudit::ReadServiceLog() {
  runs_.resize(in_.runs.size());
  for (const ServiceLogLine& line : in_.serviceLog) {
    if (line.run >= runs_.size()) continue;
    const ServiceRun& run = in_.runs[line.run];
    RunFigures& figures = runs_[line.run];
    // What a run says of the events it saved or could not restore comes at
    // its start and at its stop.
    int64_t count;
    if ((count = NumberBefore(line.text, " queued events could not be restored")) >= 0) {
      AddTo(&figures.notRestored, count);
      continue;
    }
    if (Contains(line.text, ": saved ") && (count = NumberBefore(line.text, " queued events in ")) >= 0) {
      AddTo(&figures.saved, count);
      continue;
    }
    if ((count = NumberBefore(line.text, " saved events were for consumers no longer connected")) >= 0) {
      figures.orphansDropped += count;
      continue;
    }
    bool whileUp = run.stopNs == 0 || line.readNs < run.stopNs;
    bool consumersStaying = in_.consumersLeavingNs == 0 || line.readNs < in_.consumersLeavingNs;
    if (Contains(line.text, ": consumer proxy ") && EndsWith(line.text, " connected")) {
      if (!whileUp) continue;
      if (++figures.consumerConnects == in_.consumers) figures.allConsumersLogNs = line.readNs;
      if (EndsWith(line.text, " restored, connected")) ++figures.consumerRestores;
    } else if (Contains(line.text, ": consumer proxy ") && Contains(line.text, " disconnected (")) {
      if (whileUp && consumersStaying) {
        figures.consumerLosses.push_back(Format("%.3f s %s", Seconds(line.readNs), line.text.c_str()));
      }
    } else if (Contains(line.text, ": supplier proxy ") &&
               (EndsWith(line.text, " connected") || Contains(line.text, " disconnected ("))) {
      if (whileUp && EndsWith(line.text, " connected")) ++figures.supplierConnects;
    } else if (!Contains(line.text, ": shutting down (") && (whileUp || !EndsWith(line.text, " destroyed")) &&
               figures.otherLines.size() < kOtherLinesPerRun) {
      figures.otherLines.push_back(Format("%.3f s %s", Seconds(line.readNs), line.text.c_str()));
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

int DeliveryAudit::RunBefore(int64_t ns) const {
  int found = -1;
  for (size_t i = 0; i < in_.runs.size() && in_.runs[i].spawnedNs <= ns; ++i) found = static_cast<int>(i);
  return found;
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
    // Only an event that run i accepted says that c's proxy received in run
    // i; one that a run before saved may come first.
    if (run < 0 || RunAt(published[receipt.seq].endNs) != run) continue;
    int64_t bound = std::min(receipt.receivedNs, published[receipt.seq].endNs);
    if (conn[run] < 0 || bound < conn[run]) conn[run] = bound;
  }
  return conn;
}

void DeliveryAudit::CountMissing(uint32_t consumer, int restart, int run, int64_t endNs) {
  if (restart == kStartUp) {
    ++missingAtStartUp_[consumer];
  } else if (restart == kLastRun) {
    ++missingInLastRun_[consumer];
  } else {
    RestartFigures& figures = restarts_[restart];
    ++figures.missing[consumer];
    if (restart == run) {  // missing at the stop of its run
      int64_t beforeStop = in_.runs[run].stopNs - endNs;
      int64_t& oldest = figures.oldestMissingNs[consumer];
      if (oldest == kNone || beforeStop > oldest) oldest = beforeStop;
    }
  }
}

void DeliveryAudit::AuditConsumer(uint32_t consumer) {
  ConsumerFigures& figures = consumers_[consumer];
  const size_t suppliers = in_.published.size();
  const bool keepsState = in_.service.keepsState();
  const bool persistentEvents = in_.service.persistentEvents();
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
      // With a state directory, the push in flight at a SIGKILL may come
      // again from the next run: once per consumer and SIGKILL.
      bool repeat = false;
      int again = RunBefore(receipt.receivedNs);
      int first = RunBefore(firstReceived[receipt.supplier][receipt.seq]);
      int killed = again - 1;
      if (keepsState && killed >= 0 && in_.runs[killed].signal == SIGKILL && first >= killed &&
          in_.published[receipt.supplier][receipt.seq].startNs <= in_.runs[killed].goneNs) {
        repeat = ++restarts_[killed].repeats[consumer] == 1;
      }
      if (repeat) {
        ++figures.repeats;
        if (figures.examples.size() < kExamples) {
          figures.examples.push_back(Format("supplier %u seq %u received again at %.3f s, in run %d after the "
                                            "SIGKILL of run %d (a repeat, allowed once)",
                                            receipt.supplier, receipt.seq, Seconds(receipt.receivedNs), again,
                                            killed));
        }
      } else {
        ++figures.duplicates;
        if (figures.examples.size() < kExamples) {
          figures.examples.push_back(Format("supplier %u seq %u received %u times (again at %.3f s)",
                                            receipt.supplier, receipt.seq, count, Seconds(receipt.receivedNs)));
        }
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
      // An event that had to arrive: counted, and listed when it did not.
      auto countRequired = [&] {
        ++figures.required;
        if (delivered) {
          ++figures.requiredDelivered;
        } else {
          figures.lost.push_back(LostEvent{consumer, s, record.seq, static_cast<size_t>(run), record.startNs,
                                           record.endNs, conn[run]});
        }
      };
      if (keepsState) {
        // Every consumer was connected before the first Publish, and the
        // service keeps its proxies: only a crash without persistent
        // events may lose what it had accepted.
        if (!persistentEvents && service.signal == SIGKILL) {
          ++figures.atCrash;
          if (delivered) ++figures.atCrashDelivered;
        } else {
          countRequired();
        }
        // One that the run answered while it was starting goes with the
        // restart that began it, any other with the one that ended it.
        if (!delivered) {
          CountMissing(consumer, record.endNs < service.upNs ? RestartBefore(run) : RestartAfter(run), run,
                       record.endNs);
        }
        continue;
      }
      if (service.stopNs != 0 && record.endNs > service.stopNs - in_.inFlightNs) {
        ++figures.inFlight;
        if (delivered) ++figures.inFlightDelivered;
        if (!delivered) CountMissing(consumer, RestartAfter(run), run, record.endNs);
      } else if (conn[run] < 0 || record.startNs <= conn[run]) {
        ++figures.beforeConnect;
        if (delivered) ++figures.beforeConnectDelivered;
        if (!delivered) CountMissing(consumer, RestartBefore(run), run, record.endNs);
      } else {
        countRequired();
        if (!delivered) CountMissing(consumer, RestartAfter(run), run, record.endNs);
      }
    }
  }
  if (!figures.lost.empty()) {
    Fail(keepsState ? Format("consumer %u lost %zu S_OK events that the service had to keep", consumer,
                             figures.lost.size())
                    : Format("consumer %u lost %zu events published while it was connected", consumer,
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

void DeliveryAudit::MeasureRecovery() {
  for (size_t k = 0; k < restarts_.size(); ++k) {
    RestartFigures& restart = restarts_[k];
    const int next = static_cast<int>(k) + 1;
    const int64_t up = in_.runs[next].upNs;
    // Negative: before the address line was read (the service takes calls
    // while it restores its proxies, before it prints the line).
    auto keepFirst = [](int64_t* first, int64_t since) {
      if (*first == kNone || since < *first) *first = since;
    };
    for (size_t c = 0; c < in_.received.size(); ++c) {
      for (const ReceiptRecord& receipt : in_.received[c]) {
        if (RunBefore(receipt.receivedNs) != next) continue;
        keepFirst(&restart.firstReceiptNs[c], receipt.receivedNs - up);
        if (!receipt.recognised || receipt.supplier >= in_.published.size() ||
            receipt.seq >= in_.published[receipt.supplier].size()) {
          continue;
        }
        if (RunAt(in_.published[receipt.supplier][receipt.seq].endNs) == next) {
          keepFirst(&restart.firstNewReceiptNs[c], receipt.receivedNs - up);
        }
      }
      int64_t conn = consumers_[c].connNs[next];
      if (conn >= 0) restart.connectedNs[c] = conn - up;
    }
    for (size_t s = 0; s < in_.published.size(); ++s) {
      for (const PublishRecord& record : in_.published[s]) {
        if (record.result == S_OK && RunAt(record.endNs) == next) {
          keepFirst(&restart.firstAcceptNs[s], record.endNs - up);
        }
      }
    }
  }
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
  if (in_.service.keepsState()) {
    std::fprintf(out, "  state directory %s, event reliability %s: strict audit, no in-flight allowance\n",
                 in_.service.stateFolder.c_str(),
                 in_.service.persistentEvents() ? "persistent" : "best-effort");
  } else {
    std::fprintf(out, "  no state directory: every restart loses the proxies; in-flight allowance %.0f ms\n",
                 Milliseconds(in_.inFlightNs));
  }
  std::vector<int64_t> downtimes;
  for (size_t i = 1; i < in_.runs.size(); ++i) downtimes.push_back(in_.runs[i].upNs - in_.runs[i - 1].stopNs);
  std::fprintf(out, "  down from stop signal to up again: %s\n", Spread(downtimes).c_str());
  size_t supplierConnects = 0, runsLogSettled = 0, extraConsumerConnects = 0, consumerRestores = 0;
  size_t laterConsumerConnects = 0;
  for (size_t i = 0; i < runs_.size(); ++i) {
    const RunFigures& run = runs_[i];
    supplierConnects += run.supplierConnects;
    consumerRestores += run.consumerRestores;
    if (i > 0) laterConsumerConnects += run.consumerConnects - run.consumerRestores;
    if (run.allConsumersLogNs >= 0) ++runsLogSettled;
    if (run.consumerConnects > in_.consumers) extraConsumerConnects += run.consumerConnects - in_.consumers;
  }
  std::fprintf(out,
               "  supplier proxies connected: %zu; runs in which all %u consumers connected once by the "
               "service's log: %zu; surplus consumer connections: %zu\n",
               supplierConnects, in_.consumers, runsLogSettled, extraConsumerConnects);
  if (in_.service.keepsState()) {
    std::fprintf(out, "  consumer proxies restored from the state directory: %zu; new consumer proxies after the "
                 "first run: %zu\n", consumerRestores, laterConsumerConnects);
  }
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
    if (in_.service.keepsState()) {
      std::fprintf(out, "    required (every S_OK event%s): %zu, delivered %zu, LOST %zu\n",
                   in_.service.persistentEvents() ? "" : " but those of runs ended by SIGKILL", f.required,
                   f.requiredDelivered, f.required - f.requiredDelivered);
      if (!in_.service.persistentEvents()) {
        std::fprintf(out, "    answered by a run ended by SIGKILL: %zu, delivered %zu, missing %zu (allowed: "
                     "queued at the kill)\n", f.atCrash, f.atCrashDelivered, f.atCrash - f.atCrashDelivered);
      }
      std::fprintf(out, "    repeats of the push in flight at a SIGKILL: %zu (allowed, one per SIGKILL)\n",
                   f.repeats);
    } else {
      std::fprintf(out, "    required (both connected): %zu, delivered %zu, LOST %zu\n", f.required,
                   f.requiredDelivered, f.required - f.requiredDelivered);
      std::fprintf(out, "    before the consumer was connected: %zu, delivered %zu, missing %zu (allowed)\n",
                   f.beforeConnect, f.beforeConnectDelivered, f.beforeConnect - f.beforeConnectDelivered);
      std::fprintf(out, "    in flight at a stop: %zu, delivered %zu, missing %zu (allowed)\n", f.inFlight,
                   f.inFlightDelivered, f.inFlight - f.inFlightDelivered);
    }
    std::fprintf(out, "  connection bound taken from the service's log in %zu of %zu runs\n",
                 f.runsWithBoundFromLog, in_.runs.size());
    std::fprintf(out, "  connection bound after a restart (bound - up), after SIGTERM: %s\n",
                 Spread(f.recoveryAfterTermNs).c_str());
    std::fprintf(out, "  connection bound after a restart (bound - up), after SIGKILL: %s\n",
                 Spread(f.recoveryAfterKillNs).c_str());
    std::fprintf(out, "  latency from Publish to OnEvent: %s\n", Spread(f.latencyNs).c_str());
    for (const std::string& example : f.examples) std::fprintf(out, "  ! %s\n", example.c_str());
    for (size_t i = 0; i < f.lost.size() && i < kExamples; ++i) {
      const LostEvent& lost = f.lost[i];
      const ServiceRun& run = in_.runs[lost.run];
      std::string connected = in_.service.keepsState() || lost.connNs < 0
                                  ? std::string()
                                  : Format(", consumer connected by %.3f s", Seconds(lost.connNs));
      std::fprintf(out,
                   "  ! LOST supplier %u seq %u: Publish %.3f-%.3f s in run %zu (up %.3f s, stop %.3f s)%s%s\n",
                   lost.supplier, lost.seq, Seconds(lost.startNs), Seconds(lost.endNs), lost.run,
                   Seconds(run.upNs), Seconds(run.stopNs), connected.c_str(),
                   lost.endNs < run.upNs ? "; answered before the run printed its address" : "");
    }
  }

  WriteRestarts(out);
  std::fprintf(out, "\ndelivery verdict: %s\n", passed() ? "PASS" : "FAIL");
  for (const std::string& failure : failures_) std::fprintf(out, "  - %s\n", failure.c_str());
}

void DeliveryAudit::WriteRestarts(std::FILE* out) const {
  std::fprintf(out,
               "\nrestarts: every time after a restart is measured from the moment the driver read the new "
               "run's\naddress line, that is from when the service was up again; a negative time: before that "
               "line was\nread. \"Missing\" counts S_OK events that a consumer never received.\n");
  for (size_t k = 0; k < restarts_.size(); ++k) {
    const RestartFigures& restart = restarts_[k];
    const ServiceRun& stopped = in_.runs[k];
    const ServiceRun& next = in_.runs[k + 1];
    std::fprintf(out, "  run %zu after %s of run %zu at %.3f s: up again %.3f s later", k + 1,
                 restart.signal == SIGKILL ? "SIGKILL" : "SIGTERM", k, Seconds(stopped.stopNs),
                 static_cast<double>(next.upNs - stopped.stopNs) / kNsPerSecond);
    if (runs_[k].saved >= 0) std::fprintf(out, "; the service saved %" PRId64 " queued events", runs_[k].saved);
    if (runs_[k + 1].notRestored >= 0) {
      std::fprintf(out, "; the service said %" PRId64 " queued events could not be restored",
                   runs_[k + 1].notRestored);
    }
    if (runs_[k + 1].orphansDropped > 0) {
      std::fprintf(out, "; it dropped %" PRId64 " saved events of consumers gone", runs_[k + 1].orphansDropped);
    }
    std::fprintf(out, "\n    S_OK events missing, put down to this restart:%s; repeats:%s\n",
                 PerConsumerCounts(restart.missing).c_str(), PerConsumerCounts(restart.repeats).c_str());
    std::vector<int64_t> oldest;
    AppendKnown(restart.oldestMissingNs, &oldest);
    if (!oldest.empty()) {
      std::fprintf(out, "    the earliest of them was answered %.3f s before the stop signal\n",
                   static_cast<double>(*std::max_element(oldest.begin(), oldest.end())) / kNsPerSecond);
    }
    std::fprintf(out, "    first event received after up:%s; first event accepted by run %zu:%s\n",
                 PerProcess("c", restart.firstReceiptNs).c_str(), k + 1,
                 PerProcess("c", restart.firstNewReceiptNs).c_str());
    std::fprintf(out, "    suppliers' first S_OK after up:%s; consumers' connection bound after up:%s\n",
                 PerProcess("s", restart.firstAcceptNs).c_str(), PerProcess("c", restart.connectedNs).c_str());
  }

  std::fprintf(out, "\nby restart kind (times from when the service was up again):\n");
  for (int signal : {SIGTERM, SIGKILL}) {
    std::vector<size_t> missingPerRestart, repeatsPerRestart;
    std::vector<int64_t> notRestored, firstReceipt, firstNew, firstAccept, connected;
    size_t mostAtOne = 0, restarts = 0;
    for (size_t k = 0; k < restarts_.size(); ++k) {
      const RestartFigures& restart = restarts_[k];
      if (restart.signal != signal) continue;
      ++restarts;
      missingPerRestart.push_back(Sum(restart.missing));
      repeatsPerRestart.push_back(Sum(restart.repeats));
      for (size_t count : restart.missing) mostAtOne = std::max(mostAtOne, count);
      notRestored.push_back(runs_[k + 1].notRestored);
      AppendKnown(restart.firstReceiptNs, &firstReceipt);
      AppendKnown(restart.firstNewReceiptNs, &firstNew);
      AppendKnown(restart.firstAcceptNs, &firstAccept);
      AppendKnown(restart.connectedNs, &connected);
    }
    const char* name = signal == SIGKILL ? "SIGKILL" : "SIGTERM";
    if (restarts == 0) {
      std::fprintf(out, "  after %s: no restarts\n", name);
      continue;
    }
    auto list = [](const std::vector<size_t>& values) {
      std::string text;
      for (size_t value : values) text += Format("%s%zu", text.empty() ? "" : " ", value);
      return text;
    };
    size_t missing = Sum(missingPerRestart);
    std::fprintf(out, "  after %s, %zu restart%s:\n", name, restarts, restarts == 1 ? "" : "s");
    std::fprintf(out,
                 "    S_OK events missing (all consumers): %zu in all, %.1f per restart [%s]; at most %zu at one "
                 "consumer in one restart\n",
                 missing, static_cast<double>(missing) / static_cast<double>(restarts),
                 list(missingPerRestart).c_str(), mostAtOne);
    std::fprintf(out, "    repeats: %zu in all [%s]\n", Sum(repeatsPerRestart), list(repeatsPerRestart).c_str());
    bool said = std::any_of(notRestored.begin(), notRestored.end(), [](int64_t n) { return n >= 0; });
    if (said || (signal == SIGKILL && in_.service.keepsState())) {
      std::string text;
      int64_t all = 0;
      for (int64_t n : notRestored) {
        text += Format("%s%s", text.empty() ? "" : " ", n < 0 ? "-" : std::to_string(n).c_str());
        all += std::max<int64_t>(0, n);
      }
      std::fprintf(out,
                   "    the service said it could not restore: %" PRId64 " queued events in all [%s]%s (a copy "
                   "per consumer, as missing counts them)\n",
                   all, text.c_str(), said ? "" : ", it said nothing");
    }
    std::fprintf(out, "    first event received after up (per consumer and restart): %s\n",
                 Spread(firstReceipt).c_str());
    std::fprintf(out, "    first event accepted by the new run received (per consumer and restart): %s\n",
                 Spread(firstNew).c_str());
    std::fprintf(out, "    suppliers' first S_OK after up (per supplier and restart): %s\n",
                 Spread(firstAccept).c_str());
    std::fprintf(out, "    consumers' connection bound after up (per consumer and restart): %s\n",
                 Spread(connected).c_str());
  }
  if (Sum(missingAtStartUp_) > 0) {
    std::fprintf(out, "  at start-up (first run, before the consumers were connected), missing:%s\n",
                 PerConsumerCounts(missingAtStartUp_).c_str());
  }
  if (Sum(missingInLastRun_) > 0) {
    std::fprintf(out, "  in the last run (no restart after it), missing:%s\n",
                 PerConsumerCounts(missingInLastRun_).c_str());
  }
  bool anyOther = false;
  for (size_t i = 0; i < runs_.size(); ++i) {
    for (const std::string& line : runs_[i].otherLines) {
      if (!anyOther) {
        std::fprintf(out, "\nthe service also said (the first %zu lines of each run):\n", kOtherLinesPerRun);
      }
      anyOther = true;
      std::fprintf(out, "  run %zu: %s\n", i, line.c_str());
    }
  }
}

}  // namespace soak
}  // namespace kestrel
