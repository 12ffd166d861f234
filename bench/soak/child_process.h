// A program that the soak runs: its stdout (and, if asked, its stderr)
// come back through pipes; it dies with the soak (parent-death signal), and
// the object kills and reaps it if it still runs when the object goes.
// Not thread-safe; spawn from the main thread only, since the parent-death
// signal follows the thread that forked.

#ifndef KESTREL_BENCH_SOAK_CHILD_PROCESS_H_
#define KESTREL_BENCH_SOAK_CHILD_PROCESS_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kestrel {
namespace soak {

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // The program gets the soak's environment with environment's NAME=VALUE
  // entries put in, replacing any of the same name.
  // REQUIRES: not running.
  bool Spawn(const std::vector<std::string>& arguments, bool captureStderr,
             const std::vector<std::string>& environment = {});

  // One line of stdout, without its newline; false at its end or after
  // timeoutMs.
  bool ReadLine(std::string* line, int timeoutMs);

  // The read end of the stderr pipe (-1 without one). The caller reads it
  // to its end; the object closes it when the next Spawn or the object's
  // destruction comes.
  int stderrFd() const { return stderr_; }

  void Signal(int signal);
  // Reaps the process if it has ended; true while it runs.
  bool Running();
  // Waits up to timeoutMs for the end; true once it has ended.
  bool WaitForExit(int timeoutMs);
  // SIGKILL and reap.
  void Kill();

  pid_t pid() const { return pid_; }
  // WEXITSTATUS, or 128 + the signal that ended it; -1 while it runs.
  int exitStatus() const { return exitStatus_; }
  int64_t reapedNs() const { return reapedNs_; }

 private:
  void Reaped(int status);
  void ClosePipes();

  pid_t pid_ = -1;
  int exitStatus_ = -1;
  int64_t reapedNs_ = 0;
  int stdout_ = -1;
  int stderr_ = -1;
  std::string pending_;  // stdout read but not yet a whole line
};

}  // namespace soak
}  // namespace kestrel

#endif  // KESTREL_BENCH_SOAK_CHILD_PROCESS_H_
