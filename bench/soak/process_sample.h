// The resident memory, thread count and processor time of a process, from
// /proc.

#ifndef KESTREL_BENCH_SOAK_PROCESS_SAMPLE_H_
#define KESTREL_BENCH_SOAK_PROCESS_SAMPLE_H_

#include <sys/types.h>

#include <cstdint>

namespace kestrel {
namespace soak {

struct ProcessSample {
  int64_t takenNs = 0;
  long residentKb = -1;      // VmRSS
  long peakResidentKb = -1;  // VmHWM: the most the process has held, between samples too
  long threads = -1;
  int64_t cpuMs = -1;        // user and system time so far
};

// False when the process is gone or /proc cannot be read.
bool SampleProcess(pid_t pid, ProcessSample* sample);

}  // namespace soak
}  // namespace kestrel

#endif  // KESTREL_BENCH_SOAK_PROCESS_SAMPLE_H_
