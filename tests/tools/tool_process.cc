#include "tests/tools/tool_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "tests/support/process_status.h"

extern char** environ;

namespace kestrel {
namespace testing {

namespace {

using Clock = std::chrono::steady_clock;

void CloseFd(int* fd) {
  if (*fd >= 0) ::close(*fd);
  *fd = -1;
}

}  // namespace

ToolProcess::~ToolProcess() {
  Kill();
  CloseAll();
}

bool ToolProcess::Start(const std::vector<std::string>& arguments) {
  if (pid_ > 0 || arguments.empty()) return false;
  std::vector<std::string> copy = arguments;
  std::vector<char*> argv;
  for (std::string& argument : copy) argv.push_back(&argument[0]);
  argv.push_back(nullptr);

  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return false;
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    return false;
  }
  if (::pipe2(err, O_CLOEXEC) != 0) {
    for (int fd : {in[0], in[1], out[0], out[1]}) ::close(fd);
    return false;
  }
  // A child that outlives its reader must not take the test down with it.
  ::signal(SIGPIPE, SIG_IGN);

  // fork and exec, so that the child can ask to die with the test; only
  // async-signal-safe calls between the two.
  sigset_t none;
  sigemptyset(&none);
  pid_t parent = ::getpid();
  pid_t child = ::fork();
  if (child == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(in[0], STDIN_FILENO);
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    ::signal(SIGPIPE, SIG_DFL);
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGINT, SIG_DFL);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(argv[0], argv.data(), environ);
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  if (child < 0) {
    for (int fd : {in[1], out[0], err[0]}) ::close(fd);
    return false;
  }
  pid_ = child;
  exitStatus_ = -1;
  input_ = in[1];
  outputFd_ = out[0];
  errorFd_ = err[0];
  return true;
}

bool ToolProcess::WriteInput(const std::string& text) {
  std::size_t written = 0;
  while (input_ >= 0 && written < text.size()) {
    ssize_t put = ::write(input_, text.data() + written, text.size() - written);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    written += static_cast<std::size_t>(put);
  }
  return written == text.size();
}

void ToolProcess::CloseInput() { CloseFd(&input_); }

bool ToolProcess::ReadLine(std::string* line, int timeoutMs) {
  auto complete = [this] { return output_.find('\n', outputTaken_) != std::string::npos; };
  if (!Pump(complete, timeoutMs)) return false;
  std::size_t newline = output_.find('\n', outputTaken_);
  *line = output_.substr(outputTaken_, newline - outputTaken_);
  outputTaken_ = newline + 1;
  return true;
}

bool ToolProcess::WaitForError(const std::string& text, int timeoutMs) {
  return Pump([&] { return error_.find(text) != std::string::npos; }, timeoutMs);
}

bool ToolProcess::Signal(int signal) { return pid_ > 0 && ::kill(pid_, signal) == 0; }

int ToolProcess::Wait(int timeoutMs) {
  if (pid_ <= 0) return exitStatus_;
  bool ended = Pump([this] { return outputFd_ < 0 && errorFd_ < 0 && Reap(false); }, timeoutMs);
  return ended ? exitStatus_ : kTimedOut;
}

bool ToolProcess::Pump(const std::function<bool()>& done, int timeoutMs) {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (done()) return true;
    if (MillisecondsLeft(deadline) == 0) return false;
    if (outputFd_ < 0 && errorFd_ < 0) {
      // Nothing more can arrive; only an exit is left to wait for.
      if (pid_ <= 0) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    pollfd watched[2] = {{outputFd_, POLLIN, 0}, {errorFd_, POLLIN, 0}};
    int ready = ::poll(watched, 2, MillisecondsLeft(deadline));
    if (ready < 0 && errno != EINTR) return false;
    if (ready <= 0) continue;
    if (watched[0].revents != 0) ReadSome(&outputFd_, &output_);
    if (watched[1].revents != 0) ReadSome(&errorFd_, &error_);
  }
}

bool ToolProcess::ReadSome(int* fd, std::string* into) {
  char buffer[4096];
  ssize_t got = ::read(*fd, buffer, sizeof buffer);
  if (got > 0) {
    into->append(buffer, static_cast<std::size_t>(got));
    return true;
  }
  if (got == 0 || errno != EINTR) CloseFd(fd);
  return false;
}

bool ToolProcess::Reap(bool block) {
  if (pid_ <= 0) return true;
  int status = 0;
  pid_t reaped;
  do {
    reaped = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
  } while (reaped < 0 && errno == EINTR);
  if (reaped == 0) return false;
  exitStatus_ = reaped == pid_ ? ExitStatus(status) : -1;
  pid_ = -1;
  return true;
}

void ToolProcess::Kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  Reap(true);
}

void ToolProcess::CloseAll() {
  CloseFd(&input_);
  CloseFd(&outputFd_);
  CloseFd(&errorFd_);
}

ToolResult RunTool(const std::vector<std::string>& arguments, const std::string& input, int timeoutMs) {
  ToolResult result;
  ToolProcess tool;
  if (!tool.Start(arguments)) return result;
  // Tools that take no input see end-of-file at once; larger inputs than a
  // pipe holds are not needed by these tests.
  tool.WriteInput(input);
  tool.CloseInput();
  result.status = tool.Wait(timeoutMs);
  result.output = tool.output();
  result.error = tool.error();
  return result;
}

std::string BinPath(const std::string& name) {
  const char* fromEnvironment = ::getenv("KESTREL_BIN_DIR");
  if (fromEnvironment != nullptr && *fromEnvironment != '\0') return std::string(fromEnvironment) + "/" + name;
  return std::string(KESTREL_BIN_DIR) + "/" + name;
}

}  // namespace testing
}  // namespace kestrel
