#include "bench/soak/process_sample.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/soak/monotonic_clock.h"

namespace kestrel {
namespace soak {

bool SampleProcess(pid_t pid, ProcessSample* sample) {
  std::string path = "/proc/" + std::to_string(pid) + "/status";
  std::FILE* status = std::fopen(path.c_str(), "r");
  if (status == nullptr) return false;
  ProcessSample taken;
  taken.takenNs = NowNs();
  char line[256];
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::strncmp(line, "VmRSS:", 6) == 0) taken.residentKb = std::strtol(line + 6, nullptr, 10);
    if (std::strncmp(line, "Threads:", 8) == 0) taken.threads = std::strtol(line + 8, nullptr, 10);
  }
  std::fclose(status);
  // A zombie has no VmRSS line.
  if (taken.residentKb < 0 || taken.threads < 0) return false;
  *sample = taken;
  return true;
}

}  // namespace soak
}  // namespace kestrel
