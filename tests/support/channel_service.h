// A kestrel-channeld process for one test: started on a loopback port,
// stopped (and, if need be, killed and reaped) when the object goes.
//
//   kestrel::testing::ChannelService service;
//   ASSERT_TRUE(service.Start());
//   CORBA::Object_var channel = orb->string_to_object(service.address().c_str());
//   ...
//   EXPECT_EQ(0, service.Stop());   // SIGTERM: every client is disconnected
//
// The program is $KESTREL_BIN_DIR/kestrel-channeld when the environment
// variable is set, else the build's bin/kestrel-channeld. Its stderr is the
// test's stderr, or a file that the options name. Not thread-safe: use one object from one thread.

#ifndef KESTREL_TESTS_SUPPORT_CHANNEL_SERVICE_H_
#define KESTREL_TESTS_SUPPORT_CHANNEL_SERVICE_H_

#include <signal.h>
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace kestrel {
namespace testing {

// A loopback port on which nothing listens: bound for a moment, then let
// go, for a server that a test or benchmark starts; -1 when none is found.
int UnusedPort();

class ChannelService {
 public:
  struct Options {
    std::vector<std::string> channels;        // object keys; empty: the default channel
    int port = 0;                             // 0: a free port; the first Start picks it, Restart keeps it
    std::vector<std::string> extraArguments;  // appended to the command line
    std::string errorFile;                    // when set, its stderr goes there, not to the test's
  };

  // The key that channeld serves when it is given no --channel.
  static constexpr const char* kDefaultChannel = "NotifyEventChannel";

  ChannelService();
  explicit ChannelService(Options options);
  ~ChannelService();  // SIGKILLs and reaps a process still running
  ChannelService(const ChannelService&) = delete;
  ChannelService& operator=(const ChannelService&) = delete;

  // Spawns kestrel-channeld --listen 127.0.0.1 --port P [--channel K]...
  // [extra arguments], and waits (up to ~10 s) for its address lines, one per
  // channel. False if it exits first (exit_status() says how) or times out
  // (it is then killed). True at once if it is already running.
  bool Start();

  // Sends signal, waits for the exit (SIGKILL after ~10 s), and answers the
  // exit status: WEXITSTATUS, or 128 + the signal when a signal ended it. Not
  // running: answers the last exit status, or -1 if it never ran.
  int Stop(int signal = SIGTERM);

  // Stop, then Start on the same port, retrying for a few seconds while the
  // port is still held (exit status 1).
  bool Restart(int signal = SIGTERM);

  // Reaps the process if it has exited.
  bool running() const;
  // The port: as given, or the one that the first Start found (0 before).
  int port() const { return port_; }
  std::string host() const { return "127.0.0.1"; }
  // The corbaloc line that channeld printed for channel (index into the
  // keys, in the order given); empty when not started.
  std::string address(std::size_t channel = 0) const;
  std::string key(std::size_t channel = 0) const;
  std::size_t channel_count() const { return keys_.size(); }
  pid_t pid() const { return pid_; }

  // How the last process ended (as Stop answers), or -1.
  int exit_status() const { return exitStatus_; }
  // Whatever the process wrote on stdout besides its address lines (read
  // when it stops); channeld writes nothing else.
  const std::string& unexpected_output() const { return unexpectedOutput_; }

  // The program that Start runs.
  static std::string ProgramPath();

 private:
  enum class Reading { kComplete, kEnded, kTimedOut };

  bool StartOnce();
  Reading ReadAddressLines();
  void DrainOutput(int timeoutMs);
  void CloseOutput();
  void Reap(int status) const;
  void Kill();

  Options options_;
  std::vector<std::string> keys_;
  int port_;
  std::vector<std::string> addresses_;
  mutable pid_t pid_ = -1;
  mutable int exitStatus_ = -1;
  int output_ = -1;  // the read end of the process's stdout
  std::string pending_;  // read but not yet a whole line
  std::string unexpectedOutput_;
};

}  // namespace testing
}  // namespace kestrel

#endif  // KESTREL_TESTS_SUPPORT_CHANNEL_SERVICE_H_
