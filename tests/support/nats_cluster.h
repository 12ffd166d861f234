// NATS servers with JetStream for one test or benchmark: a cluster of real
// nats-server processes on loopback ports, with their configurations,
// stores and logs in a temporary folder that goes with the object.
//
//   kestrel::testing::NatsCluster nats;          // three servers
//   ASSERT_TRUE(nats.Start()) << nats.logOf(0);
//   ... connect to nats.urls(), make a replicas-3 stream "EVENTS" ...
//   int leader = nats.WaitForStreamLeader("EVENTS", 10000);
//   nats.Kill(static_cast<std::size_t>(leader));  // SIGKILL: another is elected
//   ASSERT_TRUE(nats.Restart(static_cast<std::size_t>(leader)));
//
// The program is $KESTREL_NATS_SERVER when the environment variable is set,
// else Debian's /usr/sbin/nats-server (2.9.10 is what this was measured
// with). Each server is killed with the process that started it, should
// that die first. Not thread-safe: use one object from one thread, the one
// that calls Start and Restart (the parent-death signal follows it).
//
// Times on a loaded 2-core machine: Start answers 0.15-0.65 s after a cold
// start of three servers (once 2.5 s), ~20 ms for a lone one; creating
// a replicas-3 stream then takes another 0.2-0.8 s (its group's election). After
// the SIGKILL of a stream's leader another leads it 4-8 s later (up to 18 s
// has been seen elsewhere), and publishing answers "no responders" meanwhile.
// A restarted server is healthy again after ~2 s.

#ifndef KESTREL_TESTS_SUPPORT_NATS_CLUSTER_H_
#define KESTREL_TESTS_SUPPORT_NATS_CLUSTER_H_

#include <signal.h>
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace kestrel {
namespace testing {

class NatsCluster {
 public:
  struct Options {
    Options() = default;
    explicit Options(int servers) : servers(servers) {}

    int servers = 3;                      // one: a lone server, no cluster block
    std::string clusterName = "kestrel";  // also the servers' names' prefix
    // Every stream reserves its MaxBytes on each of its replicas' servers:
    // streams whose MaxBytes add up to more than this are refused
    // ("insufficient storage", 10005).
    std::string maxFileStore = "1G";
    // When set, the servers' stderr and stdout are appended there (nats-server
    // writes only a panic there); else each server's goes to its log.
    std::string errorFile;
  };

  // Picks the ports (so urls() can be handed out before Start) and makes the
  // temporary folder; starts nothing.
  NatsCluster();
  explicit NatsCluster(Options options);
  // SIGKILLs and reaps every server still running and removes the temporary
  // folder: configurations, stores, logs.
  ~NatsCluster();
  NatsCluster(const NatsCluster&) = delete;
  NatsCluster& operator=(const NatsCluster&) = delete;

  // Writes each server's configuration, starts every server that is not
  // running, and waits (up to ~60 s) until each answers its /healthz: which
  // in a cluster means a JetStream meta leader is elected and every server is
  // current with it, the point from which a stream of any replicas up to
  // size() can be created. False, with every server killed and a line on
  // stderr, if one exits, the folder cannot be written or the wait times out.
  // Should another process take one of the ports first, the ports are
  // picked again and urls() changes; once Start has answered true they stay
  // for the object's life.
  bool Start();

  // "nats://127.0.0.1:P1,nats://127.0.0.1:P2,...", in the servers' order;
  // url(i) is one of them, empty for an i out of range.
  std::string urls() const;
  std::string url(std::size_t i) const;
  std::size_t size() const { return servers_.size(); }

  // Sends signal to server i and reaps it (SIGKILL after ~10 s); answers its
  // exit status: the code it exited with, or 128 + the signal that ended it.
  // Not running: the last exit status, or -1 if it never ran. (nats-server
  // 2.9.10 shuts down cleanly on SIGTERM or SIGINT and then exits with 1.)
  int Kill(std::size_t i, int signal = SIGKILL);

  // Starts server i again with the same ports, configuration and store, and
  // waits (up to ~60 s) until it is healthy, which includes having caught up
  // with the streams that it holds a replica of. A server still running is
  // first stopped with SIGTERM. False (and it is killed) on failure.
  // REQUIRES: Start has answered true.
  bool Restart(std::size_t i);

  // Reaps server i if it has exited.
  bool running(std::size_t i) const;
  pid_t pid(std::size_t i) const;  // -1 when not running
  // Its server_name, as JetStream names it for a stream's leader and replicas.
  std::string serverName(std::size_t i) const;

  // The index of the running server that leads the JetStream stream named
  // stream (in the global account) now, as that server's /jsz says; -1 if no
  // running server, or more than one, says that it leads it.
  int StreamLeader(const std::string& stream) const;
  // StreamLeader, asked again until it answers one or timeoutMs have passed
  // (then -1).
  int WaitForStreamLeader(const std::string& stream, int timeoutMs) const;

  // Server i's log so far, for failure messages; empty when there is none.
  std::string logOf(std::size_t i) const;
  // The temporary folder that holds the configurations, stores and logs.
  const std::string& directory() const { return directory_; }

  // The program that Start runs.
  static std::string ProgramPath();

 private:
  struct Server {
    std::string name;
    int clientPort = -1;
    int monitorPort = -1;
    int routePort = -1;
    mutable pid_t pid = -1;
    mutable int exitStatus = -1;
  };

  bool PickPorts();
  bool WriteConfiguration(std::size_t i) const;
  bool Spawn(std::size_t i);
  bool WaitUntilHealthy(const std::vector<std::size_t>& which);
  bool Healthy(std::size_t i) const;
  bool LostPort(std::size_t i) const;
  void KillAll();
  std::string configPath(std::size_t i) const;
  std::string logPath(std::size_t i) const;

  Options options_;
  std::string directory_;
  std::vector<Server> servers_;
  bool started_ = false;  // Start has answered true: the ports are fixed
};

}  // namespace testing
}  // namespace kestrel

#endif  // KESTREL_TESTS_SUPPORT_NATS_CLUSTER_H_
