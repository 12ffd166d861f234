#include "bench/soak/process_sample.h"

#include <unistd.h>

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
    if (std::strncmp(line, "VmHWM:", 6) == 0) taken.peakResidentKb = std::strtol(line + 6, nullptr, 10);
    if (std::strncmp(line, "Threads:", 8) == 0) taken.threads = std::strtol(line + 8, nullptr, 10);
  }
  std::fclose(status);
  // A zombie has no VmRSS line.
  if (taken.residentKb < 0 || taken.threads < 0) return false;
  path = "/proc/" + std::to_string(pid) + "/stat";
  std::FILE* stat = std::fopen(path.c_str(), "r");
  if (stat != nullptr) {
    char text[1024];
    size_t length = std::fread(text, 1, sizeof text - 1, stat);
    std::fclose(stat);
    text[length] = '\0';
    // utime and stime are the 12th and 13th fields after the command name,
    // which may hold spaces and parentheses of its own.
    const char* after = std::strrchr(text, ')');
    unsigned long long user = 0, system = 0;
    const char* fields = " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu";
    if (after != nullptr && std::sscanf(after + 1, fields, &user, &system) == 2) {
      unsigned long long ticksPerSecond = static_cast<unsigned long long>(::sysconf(_SC_CLK_TCK));
      taken.cpuMs = static_cast<int64_t>((user + system) * 1000 / ticksPerSecond);
    }
  }
  *sample = taken;
  return true;
}

}  // namespace soak
}  // namespace kestrel
