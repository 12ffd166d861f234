#include "bench/soak/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "bench/soak/monotonic_clock.h"

extern char** environ;

namespace kestrel {
namespace soak {

ChildProcess::~ChildProcess() {
  Kill();
  ClosePipes();
}

void ChildProcess::ClosePipes() {
  if (stdout_ >= 0) ::close(stdout_);
  if (stderr_ >= 0) ::close(stderr_);
  stdout_ = -1;
  stderr_ = -1;
  pending_.clear();
}

bool ChildProcess::Spawn(const std::vector<std::string>& arguments, bool captureStderr,
                         const std::vector<std::string>& environment) {
  ClosePipes();
  std::vector<std::string> copies = arguments;
  std::vector<char*> argv;
  for (std::string& argument : copies) argv.push_back(&argument[0]);
  argv.push_back(nullptr);
  std::vector<std::string> settings = environment;
  std::vector<char*> envp;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string name(*entry, std::strcspn(*entry, "="));
    bool replaced = std::any_of(settings.begin(), settings.end(), [&](const std::string& setting) {
      return setting.compare(0, name.size() + 1, name + "=") == 0;
    });
    if (!replaced) envp.push_back(*entry);
  }
  for (std::string& setting : settings) envp.push_back(&setting[0]);
  envp.push_back(nullptr);

  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  if (::pipe2(out, O_CLOEXEC) != 0) return false;
  if (captureStderr && ::pipe2(err, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    return false;
  }
  // Between fork and exec only async-signal-safe calls: the driver has
  // threads (the service's stderr readers).
  sigset_t none;
  sigemptyset(&none);
  pid_t parent = ::getpid();
  pid_t child = ::fork();
  if (child == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(out[1], STDOUT_FILENO);
    if (captureStderr) ::dup2(err[1], STDERR_FILENO);
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGPIPE, SIG_DFL);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(out[1]);
  if (captureStderr) ::close(err[1]);
  if (child < 0) {
    ::close(out[0]);
    if (captureStderr) ::close(err[0]);
    return false;
  }
  pid_ = child;
  exitStatus_ = -1;
  reapedNs_ = 0;
  stdout_ = out[0];
  stderr_ = captureStderr ? err[0] : -1;
  return true;
}

bool ChildProcess::ReadLine(std::string* line, int timeoutMs) {
  int64_t deadline = NowNs() + static_cast<int64_t>(timeoutMs) * kNsPerMs;
  for (;;) {
    size_t newline = pending_.find('\n');
    if (newline != std::string::npos) {
      *line = pending_.substr(0, newline);
      pending_.erase(0, newline + 1);
      return true;
    }
    int64_t left = deadline - NowNs();
    if (stdout_ < 0 || left <= 0) return false;
    pollfd watched = {stdout_, POLLIN, 0};
    int ready = ::poll(&watched, 1, static_cast<int>(left / kNsPerMs) + 1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char buffer[4096];
    ssize_t got = ::read(stdout_, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    pending_.append(buffer, static_cast<size_t>(got));
  }
}

void ChildProcess::Signal(int signal) {
  if (pid_ > 0) ::kill(pid_, signal);
}

void ChildProcess::Reaped(int status) {
  reapedNs_ = NowNs();
  if (WIFEXITED(status)) {
    exitStatus_ = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    exitStatus_ = 128 + WTERMSIG(status);
  }
  pid_ = -1;
}

bool ChildProcess::Running() {
  if (pid_ <= 0) return false;
  int status = 0;
  pid_t reaped = ::waitpid(pid_, &status, WNOHANG);
  if (reaped == pid_) Reaped(status);
  if (reaped < 0 && errno == ECHILD) pid_ = -1;
  return reaped == 0;
}

bool ChildProcess::WaitForExit(int timeoutMs) {
  int64_t deadline = NowNs() + static_cast<int64_t>(timeoutMs) * kNsPerMs;
  while (Running()) {
    if (NowNs() >= deadline) return false;
    ::usleep(2000);
  }
  return true;
}

void ChildProcess::Kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  pid_t reaped;
  do {
    reaped = ::waitpid(pid_, &status, 0);
  } while (reaped < 0 && errno == EINTR);
  if (reaped == pid_) Reaped(status);
  pid_ = -1;
}

}  // namespace soak
}  // namespace kestrel
