// What the soak's processes write down, and how: one text line per record,
// times in nanoseconds of the monotonic clock (monotonic_clock.h).
//
//   supplier-<id>.records   "<seq> <start> <end> <hr as 8 hex digits>"
//                           one per Publish call, in call order
//   consumer-<id>.records   "<supplier> <seq> <received>" per event, in the
//                           order the sink was given them; "? <received>"
//                           for an event that no soak supplier sent
//   service.records         written by the driver: ServiceSettings, then
//                           ServiceRun and ServiceLogLine below
//
// An event carries its origin three times: severity = supplier id,
// message code = sequence number, and the description "soak s=<id> n=<seq>",
// with the module "kestrel-soak"; a consumer that finds them disagreeing
// counts the event as unrecognised.

#ifndef KESTREL_BENCH_SOAK_SOAK_RECORDS_H_
#define KESTREL_BENCH_SOAK_SOAK_RECORDS_H_

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "kestrel/result_codes.h"

namespace kestrel {
namespace soak {

constexpr char kSoakModule[] = "kestrel-soak";

std::string EventDescription(uint32_t supplier, uint32_t seq);

// True, with the origin, when the five values are those that a soak
// supplier sends.
bool ParseEvent(const char* module, uint32_t severity, uint32_t messageCode, const char* description,
                uint32_t* supplier, uint32_t* seq);

struct PublishRecord {
  uint32_t seq;
  int64_t startNs;
  int64_t endNs;
  HRESULT result;
};

struct ReceiptRecord {
  bool recognised;
  uint32_t supplier;
  uint32_t seq;
  int64_t receivedNs;
};

// One run of kestrel-channeld, from the driver's point of view.
struct ServiceRun {
  int64_t spawnedNs = 0;  // fork
  int64_t upNs = 0;       // its address line was read: the channel exists
  int64_t stopNs = 0;     // the stop signal was sent
  int64_t goneNs = 0;     // the process was reaped
  int signal = 0;
  int exitStatus = -1;
};

// How the soak ran kestrel-channeld, as far as the audit depends on it.
struct ServiceSettings {
  std::string stateFolder;       // its --state-dir; empty: none
  std::string eventReliability;  // its --event-reliability; empty: not given (best-effort)
  bool keepsState() const { return !stateFolder.empty(); }
  bool persistentEvents() const { return keepsState() && eventReliability == "persistent"; }
};

// A line that kestrel-channeld wrote on stderr, stamped when the driver
// read it (so never before it was written).
struct ServiceLogLine {
  int64_t readNs;
  size_t run;
  std::string text;
};

// Appends lines to a file through a fixed-size buffer, so that a worker's
// memory does not grow with its records. Thread-safe.
class RecordFile {
 public:
  RecordFile() = default;
  ~RecordFile();
  RecordFile(const RecordFile&) = delete;
  RecordFile& operator=(const RecordFile&) = delete;

  bool Open(const std::string& path);
  void Write(const char* line, size_t length);
  // Flushes when the last flush is older than a second, so that the records
  // of a process that dies are mostly on disk.
  void FlushNowAndThen(int64_t nowNs);
  void Close();

 private:
  std::mutex mutex_;
  std::FILE* file_ = nullptr;
  int64_t flushedNs_ = 0;
};

// Readers; false when the file cannot be opened. A malformed line is
// skipped and counted in *malformed.
bool ReadPublishRecords(const std::string& path, std::vector<PublishRecord>* records, size_t* malformed);
bool ReadReceiptRecords(const std::string& path, std::vector<ReceiptRecord>* records, size_t* malformed);

// service.records also holds when the consumers were told to end and how
// the service was run.
bool WriteServiceRecords(const std::string& path, const ServiceSettings& settings,
                         const std::vector<ServiceRun>& runs, const std::vector<ServiceLogLine>& lines,
                         int64_t consumersLeavingNs);
bool ReadServiceRecords(const std::string& path, ServiceSettings* settings, std::vector<ServiceRun>* runs,
                        std::vector<ServiceLogLine>* lines, int64_t* consumersLeavingNs);

}  // namespace soak
}  // namespace kestrel

#endif  // KESTREL_BENCH_SOAK_SOAK_RECORDS_H_
