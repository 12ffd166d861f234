// What the test helpers that run processes share: the time left to a
// deadline, for poll(), and an exit status read as the shell reads it.

#ifndef KESTREL_TESTS_SUPPORT_PROCESS_STATUS_H_
#define KESTREL_TESTS_SUPPORT_PROCESS_STATUS_H_

#include <sys/wait.h>

#include <chrono>

namespace kestrel {
namespace testing {

// Milliseconds from now to deadline, 0 once it has passed.
inline int MillisecondsLeft(std::chrono::steady_clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// A waitpid status as an exit status: the code the process exited with, or
// 128 + the signal that ended it; -1 for neither.
inline int ExitStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace testing
}  // namespace kestrel

#endif  // KESTREL_TESTS_SUPPORT_PROCESS_STATUS_H_
