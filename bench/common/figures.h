// What the benchmarks compute alike: the spread of a set of runs, and the
// CPU time that another process has used.

#ifndef KESTREL_BENCH_COMMON_FIGURES_H_
#define KESTREL_BENCH_COMMON_FIGURES_H_

#include <dirent.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace kestrel {
namespace bench {

inline double Lowest(const std::vector<double>& values) {
  return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
}

inline double Highest(const std::vector<double>& values) {
  return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

inline double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  std::size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Prints "LABEL: X % overall, Y % median of paired runs (pairs A % to B %)":
// the rate measured against the bare one, overall and per round. Rounds of
// the same index ran next to each other and so saw the same machine; the
// median of their ratios is the figure least disturbed by other load.
inline void PrintPairedRatio(const char* label, double overall, double bareOverall,
                             const std::vector<double>& rounds,
                             const std::vector<double>& bareRounds) {
  std::vector<double> ratios;
  for (std::size_t i = 0; i < rounds.size() && i < bareRounds.size(); ++i) {
    if (bareRounds[i] > 0) ratios.push_back(rounds[i] / bareRounds[i]);
  }
  std::printf("%s: %.1f %% overall, %.1f %% median of paired runs", label,
              bareOverall > 0 ? 100.0 * overall / bareOverall : 0.0, 100.0 * Median(ratios));
  if (!ratios.empty()) {
    std::printf(" (pairs %.1f %% to %.1f %%)", 100.0 * Lowest(ratios), 100.0 * Highest(ratios));
  }
  std::printf("\n");
}

// CPU seconds (user + system) that process pid has used so far; 0 when it
// cannot be read.
inline double CpuSecondsOf(pid_t pid) {
  std::FILE* file = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
  if (file == nullptr) return 0;
  char text[1024];
  std::size_t length = std::fread(text, 1, sizeof text - 1, file);
  std::fclose(file);
  text[length] = '\0';
  const char* fields = std::strrchr(text, ')');
  if (fields == nullptr) return 0;
  unsigned long user = 0;
  unsigned long system = 0;
  // Fields 14 and 15 of stat; the text after ')' starts at field 3.
  if (std::sscanf(fields + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user,
                  &system) != 2) {
    return 0;
  }
  return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// What process pid holds now, from /proc: resident memory in kB, threads,
// open descriptors; -1 when it cannot be read.
inline long ResidentKilobytes(pid_t pid) {
  std::FILE* file = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
  if (file == nullptr) return -1;
  char line[256];
  long kilobytes = -1;
  while (kilobytes < 0 && std::fgets(line, sizeof line, file) != nullptr) {
    if (std::strncmp(line, "VmRSS:", 6) == 0) kilobytes = std::atol(line + 6);
  }
  std::fclose(file);
  return kilobytes;
}

inline long EntriesIn(const std::string& folder) {
  DIR* entries = ::opendir(folder.c_str());
  if (entries == nullptr) return -1;
  long count = 0;
  while (dirent* entry = ::readdir(entries)) count += entry->d_name[0] != '.';
  ::closedir(entries);
  return count;
}

inline long ThreadsOf(pid_t pid) { return EntriesIn("/proc/" + std::to_string(pid) + "/task"); }
inline long OpenFilesOf(pid_t pid) { return EntriesIn("/proc/" + std::to_string(pid) + "/fd"); }

}  // namespace bench
}  // namespace kestrel

#endif  // KESTREL_BENCH_COMMON_FIGURES_H_
