// A command-line tool run by a test as a child process, with its standard
// input, output and error piped to the test. Every wait has a timeout; a
// process still running when the object goes is SIGKILLed and reaped, and
// one whose test process dies is killed with it.
//
//   ToolProcess listener;
//   ASSERT_TRUE(listener.Start({BinPath("kestrel-listen"), "--host", ...}));
//   ASSERT_TRUE(listener.WaitForError("listening on", 10000));
//   ...
//   std::string line;
//   ASSERT_TRUE(listener.ReadLine(&line, 10000));
//   EXPECT_EQ(0, listener.Wait(10000));
//
// Not thread-safe: use one object from the test's main thread (the
// parent-death signal follows the thread that started the child).

#ifndef KESTREL_TESTS_TOOLS_TOOL_PROCESS_H_
#define KESTREL_TESTS_TOOLS_TOOL_PROCESS_H_

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace kestrel {
namespace testing {

class ToolProcess {
 public:
  // What Wait answers when the process did not exit in time.
  static constexpr int kTimedOut = -2;

  ToolProcess() = default;
  ~ToolProcess();
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;

  // Runs arguments[0] with the rest as its arguments, in the test's
  // environment, with no signal blocked or ignored.
  bool Start(const std::vector<std::string>& arguments);

  // Writes to the process's standard input; CloseInput sends end-of-file.
  bool WriteInput(const std::string& text);
  void CloseInput();

  // The next line of standard output, without its newline; false when none
  // came within timeoutMs or the output ended.
  bool ReadLine(std::string* line, int timeoutMs);
  // True once standard error contains text; false after timeoutMs or when
  // it ended without.
  bool WaitForError(const std::string& text, int timeoutMs);

  bool Signal(int signal);
  // Reads the output until the process exits and answers its exit status
  // (128 + the signal when one ended it), or kTimedOut, leaving it running.
  int Wait(int timeoutMs);

  // Everything read so far; output() includes the lines that ReadLine took.
  const std::string& output() const { return output_; }
  const std::string& error() const { return error_; }
  // Standard output not yet taken by ReadLine.
  std::string UnreadOutput() const { return output_.substr(outputTaken_); }
  pid_t pid() const { return pid_; }

 private:
  // Reads whatever arrives until done() holds or timeoutMs passes; answers
  // done().
  bool Pump(const std::function<bool()>& done, int timeoutMs);
  bool ReadSome(int* fd, std::string* into);
  bool Reap(bool block);
  void Kill();
  void CloseAll();

  pid_t pid_ = -1;
  int exitStatus_ = -1;
  int input_ = -1;
  int outputFd_ = -1;
  int errorFd_ = -1;
  std::string output_;
  std::size_t outputTaken_ = 0;
  std::string error_;
};

// The result of a tool that ran to its end.
struct ToolResult {
  int status = -1;  // exit status, or ToolProcess::kTimedOut (then killed)
  std::string output;
  std::string error;
};

// Runs a tool to its end with input on its standard input.
ToolResult RunTool(const std::vector<std::string>& arguments, const std::string& input = "",
                   int timeoutMs = 20000);

// $KESTREL_BIN_DIR/name, or the build's bin folder.
std::string BinPath(const std::string& name);

}  // namespace testing
}  // namespace kestrel

#endif  // KESTREL_TESTS_TOOLS_TOOL_PROCESS_H_
