#include "tests/support/channel_service.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>

#include "tests/support/process_status.h"

extern char** environ;

namespace kestrel {
namespace testing {

namespace {

constexpr int kStartTimeoutMs = 10000;
constexpr int kStopTimeoutMs = 10000;
constexpr int kRestartRetryMs = 5000;

using Clock = std::chrono::steady_clock;

// A process that will not stop says where it waits: every thread's stack
// goes to stderr, when gdb is there to read them.
void PrintThreads(pid_t pid) {
  if (::access("/usr/bin/gdb", X_OK) != 0) return;
  std::string command = "/usr/bin/gdb -p " + std::to_string(pid) +
                        " -batch -nx -ex 'thread apply all bt' 1>&2 2>/dev/null </dev/null";
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "ChannelService: gdb could not read the threads of %d\n", (int)pid);
  }
}

// "corbaloc:iiop:HOST:PORT/KEY" (or ssliop:) -> PORT, or -1.
int PortOf(const std::string& address) {
  std::string prefix = "corbaloc:iiop:";
  if (address.compare(0, prefix.size(), prefix) != 0) prefix = "corbaloc:ssliop:";
  if (address.compare(0, prefix.size(), prefix) != 0) return -1;
  std::size_t slash = address.find('/', prefix.size());
  if (slash == std::string::npos) return -1;
  std::size_t colon = address.rfind(':', slash);
  if (colon == std::string::npos || colon < prefix.size()) return -1;
  std::string digits = address.substr(colon + 1, slash - colon - 1);
  if (digits.empty() || digits.size() > 5) return -1;
  for (char c : digits) {
    if (c < '0' || c > '9') return -1;
  }
  return std::atoi(digits.c_str());
}

}  // namespace

int UnusedPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = -1;
  if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  if (fd >= 0) ::close(fd);
  return port;
}

ChannelService::ChannelService() : ChannelService(Options()) {}

ChannelService::ChannelService(Options options)
    : options_(std::move(options)), keys_(options_.channels), port_(options_.port) {
  if (keys_.empty()) keys_.push_back(kDefaultChannel);
}

ChannelService::~ChannelService() {
  Kill();
  CloseOutput();
}

std::string ChannelService::ProgramPath() {
  const char* fromEnvironment = ::getenv("KESTREL_BIN_DIR");
  if (fromEnvironment != nullptr && *fromEnvironment != '\0') {
    return std::string(fromEnvironment) + "/kestrel-channeld";
  }
#ifdef KESTREL_BIN_DIR
  return std::string(KESTREL_BIN_DIR) + "/kestrel-channeld";
#else
  return "kestrel-channeld";
#endif
}

std::string ChannelService::address(std::size_t channel) const {
  return channel < addresses_.size() ? addresses_[channel] : std::string();
}

std::string ChannelService::key(std::size_t channel) const {
  return channel < keys_.size() ? keys_[channel] : std::string();
}

bool ChannelService::running() const {
  if (pid_ <= 0) return false;
  int status = 0;
  pid_t reaped = ::waitpid(pid_, &status, WNOHANG);
  if (reaped == pid_) {
    Reap(status);
    return false;
  }
  return reaped == 0;
}

void ChannelService::Reap(int status) const {
  exitStatus_ = ExitStatus(status);
  pid_ = -1;
}

bool ChannelService::Start() {
  if (running()) return true;
  return StartOnce();
}

bool ChannelService::StartOnce() {
  CloseOutput();
  addresses_.clear();
  pending_.clear();
  unexpectedOutput_.clear();

  std::string program = ProgramPath();
  std::vector<std::string> arguments = {program, "--listen", host(), "--port",
                                        std::to_string(port_)};
  for (const std::string& key : options_.channels) {
    arguments.push_back("--channel");
    arguments.push_back(key);
  }
  arguments.insert(arguments.end(), options_.extraArguments.begin(),
                   options_.extraArguments.end());
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(&argument[0]);
  argv.push_back(nullptr);

  int pipe[2];
  if (::pipe2(pipe, O_CLOEXEC) != 0) return false;
  const char* errorFile = options_.errorFile.empty() ? nullptr : options_.errorFile.c_str();

  // fork and exec rather than posix_spawn, so that the child can ask to be
  // killed with this process: a test that dies must not leave a channeld
  // behind holding ctest's output pipe open. Only async-signal-safe calls
  // run between fork and exec. The parent-death signal follows the thread
  // that forks, so Start belongs on the test's main thread.
  sigset_t none;
  sigemptyset(&none);
  pid_t parent = ::getpid();
  pid_t child = ::fork();
  if (child == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(pipe[1], STDOUT_FILENO);
    if (errorFile != nullptr) {
      int error = ::open(errorFile, O_WRONLY | O_CREAT | O_APPEND, 0644);
      if (error < 0) ::_exit(127);
      ::dup2(error, STDERR_FILENO);
    }
    // Default dispositions and no blocked signals, whatever the test did.
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGPIPE, SIG_DFL);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(program.c_str(), argv.data(), environ);
    ::_exit(127);
  }
  int spawned = child < 0 ? errno : 0;
  ::close(pipe[1]);
  if (spawned != 0) {
    ::close(pipe[0]);
    std::fprintf(stderr, "ChannelService: cannot run %s\n", program.c_str());
    return false;
  }
  pid_ = child;
  output_ = pipe[0];
  exitStatus_ = -1;

  Reading reading = ReadAddressLines();
  if (reading != Reading::kComplete) {
    if (reading == Reading::kTimedOut) {
      std::fprintf(stderr, "ChannelService: %s printed no address within %d ms\n",
                   program.c_str(), kStartTimeoutMs);
      Kill();
    } else {
      // Its stdout closed: it is exiting.
      int status = 0;
      pid_t reaped;
      do {
        reaped = ::waitpid(pid_, &status, 0);
      } while (reaped < 0 && errno == EINTR);
      if (reaped == pid_) {
        Reap(status);
      } else {
        pid_ = -1;
      }
    }
    CloseOutput();
    addresses_.clear();
    return false;
  }
  if (port_ == 0) port_ = PortOf(addresses_.front());
  return true;
}

ChannelService::Reading ChannelService::ReadAddressLines() {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
  while (addresses_.size() < keys_.size()) {
    std::size_t newline = pending_.find('\n');
    if (newline != std::string::npos) {
      std::string line = pending_.substr(0, newline);
      pending_.erase(0, newline + 1);
      if (PortOf(line) < 0) {
        unexpectedOutput_ += line + "\n";
      } else {
        addresses_.push_back(line);
      }
      continue;
    }
    pollfd watched = {output_, POLLIN, 0};
    int ready = ::poll(&watched, 1, MillisecondsLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return Reading::kTimedOut;
    char buffer[4096];
    ssize_t got = ::read(output_, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return Reading::kEnded;
    pending_.append(buffer, static_cast<std::size_t>(got));
  }
  return Reading::kComplete;
}

void ChannelService::DrainOutput(int timeoutMs) {
  if (output_ < 0) return;
  pollfd watched = {output_, POLLIN, 0};
  if (::poll(&watched, 1, timeoutMs) <= 0) return;
  char buffer[4096];
  ssize_t got = ::read(output_, buffer, sizeof buffer);
  if (got > 0) {
    pending_.append(buffer, static_cast<std::size_t>(got));
  } else if (got == 0 || errno != EINTR) {
    CloseOutput();
  }
}

void ChannelService::CloseOutput() {
  if (output_ >= 0) ::close(output_);
  output_ = -1;
  unexpectedOutput_ += pending_;
  pending_.clear();
}

int ChannelService::Stop(int signal) {
  if (pid_ <= 0) {
    CloseOutput();
    return exitStatus_;
  }
  ::kill(pid_, signal);
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kStopTimeoutMs);
  for (;;) {
    int status = 0;
    pid_t reaped = ::waitpid(pid_, &status, WNOHANG);
    if (reaped == pid_ || (reaped < 0 && errno == ECHILD)) {
      if (reaped == pid_) {
        Reap(status);
      } else {
        pid_ = -1;
      }
      break;
    }
    if (MillisecondsLeft(deadline) == 0) {
      std::fprintf(stderr, "ChannelService: no exit %d ms after signal %d; killing it\n",
                   kStopTimeoutMs, signal);
      PrintThreads(pid_);
      Kill();
      break;
    }
    // Reading its stdout while waiting keeps a chatty process from blocking.
    if (output_ >= 0) {
      DrainOutput(10);
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  for (int i = 0; i < 10 && output_ >= 0; ++i) DrainOutput(100);
  CloseOutput();
  return exitStatus_;
}

bool ChannelService::Restart(int signal) {
  Stop(signal);
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kRestartRetryMs);
  for (;;) {
    if (StartOnce()) return true;
    // 1 is channeld's "cannot listen": the old process's port may still be
    // held for a moment.
    if (exitStatus_ != 1 || MillisecondsLeft(deadline) == 0) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

void ChannelService::Kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  pid_t reaped;
  do {
    reaped = ::waitpid(pid_, &status, 0);
  } while (reaped < 0 && errno == EINTR);
  if (reaped == pid_) {
    Reap(status);
  } else {
    pid_ = -1;
  }
}

}  // namespace testing
}  // namespace kestrel
