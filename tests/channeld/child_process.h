// Other programs run by the channeld tests: a run to completion with its
// output captured, or a helper process that the test kills.

#ifndef KESTREL_TESTS_CHANNELD_CHILD_PROCESS_H_
#define KESTREL_TESTS_CHANNELD_CHILD_PROCESS_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace kestrel {
namespace testing {

struct ProgramResult {
  int status = -1;  // exit status, or 128 + signal
  bool timedOut = false;
  std::string out;
  std::string err;
};

// Runs arguments[0] with the rest as its arguments; kills it after timeoutMs.
ProgramResult RunProgram(const std::vector<std::string>& arguments, int timeoutMs = 10000);

// A running helper with its stdout piped to the test; SIGKILLed and reaped
// when the object goes.
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Spawn(const std::vector<std::string>& arguments);
  // One line of its stdout, without the newline; false on EOF or timeout.
  bool ReadLine(std::string* line, int timeoutMs);
  // Sends signal and reaps the process; answers the exit status as above.
  int Kill(int signal);
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int output_ = -1;
  std::string pending_;
};

// Starts channeld_test_consumer, a consumer in a process of its own, on the
// channel at address; with hang, stops it (SIGSTOP): connected, and
// answering nothing. Answers its proxy's id, or -1 when it did not connect.
long StartConsumerProcess(ChildProcess* process, const std::string& address, bool hang);

// The build's bin folder: $KESTREL_BIN_DIR, else the compiled-in one.
std::string BinDir();

}  // namespace testing
}  // namespace kestrel

#endif  // KESTREL_TESTS_CHANNELD_CHILD_PROCESS_H_
