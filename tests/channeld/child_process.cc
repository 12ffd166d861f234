#include "tests/channeld/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "tests/support/process_status.h"

extern char** environ;

namespace kestrel {
namespace testing {

namespace {

using Clock = std::chrono::steady_clock;

// Spawns arguments with stdout (and stderr, when err is not null) piped.
pid_t Spawn(const std::vector<std::string>& arguments, int* out, int* err) {
  std::vector<std::string> copy = arguments;
  std::vector<char*> argv;
  for (std::string& argument : copy) argv.push_back(&argument[0]);
  argv.push_back(nullptr);
  int outPipe[2];
  int errPipe[2] = {-1, -1};
  if (::pipe2(outPipe, O_CLOEXEC) != 0) return -1;
  if (err != nullptr && ::pipe2(errPipe, O_CLOEXEC) != 0) {
    ::close(outPipe[0]);
    ::close(outPipe[1]);
    return -1;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
  if (err != nullptr) posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  int spawned = ::posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(outPipe[1]);
  if (err != nullptr) ::close(errPipe[1]);
  if (spawned != 0) {
    ::close(outPipe[0]);
    if (err != nullptr) ::close(errPipe[0]);
    return -1;
  }
  *out = outPipe[0];
  if (err != nullptr) *err = errPipe[0];
  return pid;
}

int Reap(pid_t pid) {
  int status = 0;
  pid_t reaped;
  do {
    reaped = ::waitpid(pid, &status, 0);
  } while (reaped < 0 && errno == EINTR);
  return reaped == pid ? ExitStatus(status) : -1;
}

}  // namespace

std::string BinDir() {
  const char* fromEnvironment = ::getenv("KESTREL_BIN_DIR");
  if (fromEnvironment != nullptr && *fromEnvironment != '\0') return fromEnvironment;
  return KESTREL_BIN_DIR;
}

ProgramResult RunProgram(const std::vector<std::string>& arguments, int timeoutMs) {
  ProgramResult result;
  int out = -1;
  int err = -1;
  pid_t pid = Spawn(arguments, &out, &err);
  if (pid < 0) return result;
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (out >= 0 || err >= 0) {
    pollfd watched[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
    int ready = ::poll(watched, 2, MillisecondsLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      result.timedOut = true;
      ::kill(pid, SIGKILL);
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (watched[i].fd < 0 || watched[i].revents == 0) continue;
      char buffer[4096];
      ssize_t got = ::read(watched[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        ::close(watched[i].fd);
        (i == 0 ? out : err) = -1;
      }
    }
  }
  if (out >= 0) ::close(out);
  if (err >= 0) ::close(err);
  result.status = Reap(pid);
  return result;
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) Kill(SIGKILL);
  if (output_ >= 0) ::close(output_);
}

bool ChildProcess::Spawn(const std::vector<std::string>& arguments) {
  pid_ = testing::Spawn(arguments, &output_, nullptr);
  return pid_ > 0;
}

bool ChildProcess::ReadLine(std::string* line, int timeoutMs) {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    std::size_t newline = pending_.find('\n');
    if (newline != std::string::npos) {
      *line = pending_.substr(0, newline);
      pending_.erase(0, newline + 1);
      return true;
    }
    if (output_ < 0) return false;
    pollfd watched = {output_, POLLIN, 0};
    int ready = ::poll(&watched, 1, MillisecondsLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char buffer[4096];
    ssize_t got = ::read(output_, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    pending_.append(buffer, static_cast<std::size_t>(got));
  }
}

int ChildProcess::Kill(int signal) {
  if (pid_ <= 0) return -1;
  ::kill(pid_, signal);
  int status = Reap(pid_);
  pid_ = -1;
  return status;
}

long StartConsumerProcess(ChildProcess* process, const std::string& address, bool hang) {
  std::string line;
  if (!process->Spawn({BinDir() + "/channeld_test_consumer", address}) ||
      !process->ReadLine(&line, 10000) || line.compare(0, 10, "connected ") != 0) {
    return -1;
  }
  if (hang && ::kill(process->pid(), SIGSTOP) != 0) return -1;
  return std::stol(line.substr(10));
}

}  // namespace testing
}  // namespace kestrel
