#include "bench/soak/soak_records.h"

#include <cinttypes>
#include <cstring>

#include "bench/soak/monotonic_clock.h"

namespace kestrel {
namespace soak {

std::string EventDescription(uint32_t supplier, uint32_t seq) {
  char text[64];
  std::snprintf(text, sizeof text, "soak s=%u n=%u", supplier, seq);
  return text;
}

bool ParseEvent(const char* module, uint32_t severity, uint32_t messageCode, const char* description,
                uint32_t* supplier, uint32_t* seq) {
  if (module == nullptr || description == nullptr || std::strcmp(module, kSoakModule) != 0) return false;
  if (EventDescription(severity, messageCode) != description) return false;
  *supplier = severity;
  *seq = messageCode;
  return true;
}

RecordFile::~RecordFile() { Close(); }

bool RecordFile::Open(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  file_ = std::fopen(path.c_str(), "w");
  if (file_ == nullptr) return false;
  std::setvbuf(file_, nullptr, _IOFBF, 1 << 16);
  flushedNs_ = NowNs();
  return true;
}

void RecordFile::Write(const char* line, size_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_ != nullptr) std::fwrite(line, 1, length, file_);
}

void RecordFile::FlushNowAndThen(int64_t nowNs) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_ == nullptr || nowNs - flushedNs_ < kNsPerSecond) return;
  std::fflush(file_);
  flushedNs_ = nowNs;
}

void RecordFile::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
}

bool ReadPublishRecords(const std::string& path, std::vector<PublishRecord>* records, size_t* malformed) {
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return false;
  char line[256];
  while (std::fgets(line, sizeof line, file) != nullptr) {
    PublishRecord record;
    unsigned result = 0;
    if (std::sscanf(line, "%" SCNu32 " %" SCNd64 " %" SCNd64 " %x", &record.seq, &record.startNs,
                    &record.endNs, &result) == 4) {
      record.result = static_cast<HRESULT>(result);
      records->push_back(record);
    } else {
      ++*malformed;
    }
  }
  std::fclose(file);
  return true;
}

bool ReadReceiptRecords(const std::string& path, std::vector<ReceiptRecord>* records, size_t* malformed) {
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return false;
  char line[256];
  while (std::fgets(line, sizeof line, file) != nullptr) {
    ReceiptRecord record{true, 0, 0, 0};
    if (line[0] == '?' && std::sscanf(line + 1, "%" SCNd64, &record.receivedNs) == 1) {
      record.recognised = false;
      records->push_back(record);
    } else if (std::sscanf(line, "%" SCNu32 " %" SCNu32 " %" SCNd64, &record.supplier, &record.seq,
                           &record.receivedNs) == 3) {
      records->push_back(record);
    } else {
      ++*malformed;
    }
  }
  std::fclose(file);
  return true;
}

bool WriteServiceRecords(const std::string& path, const ServiceSettings& settings,
                         const std::vector<ServiceRun>& runs, const std::vector<ServiceLogLine>& lines,
                         int64_t consumersLeavingNs) {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) return false;
  std::fprintf(file, "consumers-leaving %" PRId64 "\n", consumersLeavingNs);
  if (settings.keepsState()) std::fprintf(file, "state-dir %s\n", settings.stateFolder.c_str());
  if (!settings.eventReliability.empty()) {
    std::fprintf(file, "event-reliability %s\n", settings.eventReliability.c_str());
  }
  std::fprintf(file, "# run spawned up stop gone signal exit\n");
  for (size_t i = 0; i < runs.size(); ++i) {
    const ServiceRun& run = runs[i];
    std::fprintf(file, "run %zu %" PRId64 " %" PRId64 " %" PRId64 " %" PRId64 " %d %d\n", i, run.spawnedNs,
                 run.upNs, run.stopNs, run.goneNs, run.signal, run.exitStatus);
  }
  std::fprintf(file, "# log read-time run text\n");
  for (const ServiceLogLine& line : lines) {
    std::fprintf(file, "log %" PRId64 " %zu %s\n", line.readNs, line.run, line.text.c_str());
  }
  return std::fclose(file) == 0;
}

bool ReadServiceRecords(const std::string& path, ServiceSettings* settings, std::vector<ServiceRun>* runs,
                        std::vector<ServiceLogLine>* lines, int64_t* consumersLeavingNs) {
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return false;
  char line[1024];
  bool wellFormed = true;
  while (std::fgets(line, sizeof line, file) != nullptr) {
    line[std::strcspn(line, "\n")] = '\0';
    ServiceRun run;
    size_t index = 0;
    int64_t readNs = 0;
    int consumed = 0;
    if (line[0] == '#') continue;
    if (std::sscanf(line, "consumers-leaving %" SCNd64, consumersLeavingNs) == 1) continue;
    if (std::strncmp(line, "state-dir ", 10) == 0) {
      settings->stateFolder = line + 10;
      continue;
    }
    if (std::strncmp(line, "event-reliability ", 18) == 0) {
      settings->eventReliability = line + 18;
      continue;
    }
    if (std::sscanf(line, "run %zu %" SCNd64 " %" SCNd64 " %" SCNd64 " %" SCNd64 " %d %d", &index, &run.spawnedNs,
                    &run.upNs, &run.stopNs, &run.goneNs, &run.signal, &run.exitStatus) == 7 &&
        index == runs->size()) {
      runs->push_back(run);
    } else if (std::sscanf(line, "log %" SCNd64 " %zu %n", &readNs, &index, &consumed) == 2 && consumed > 0) {
      lines->push_back(ServiceLogLine{readNs, index, line + consumed});
    } else {
      wellFormed = false;
    }
  }
  std::fclose(file);
  return wellFormed && !runs->empty();
}

}  // namespace soak
}  // namespace kestrel
