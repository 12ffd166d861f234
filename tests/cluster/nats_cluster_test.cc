// NatsCluster against real nats-servers, seen through nats.c as the
// cluster mode sees them: what Start answers must be a cluster that takes a
// replicas-3 stream, the leader it names must be the one that answers for
// the stream, a killed leader must be replaced, a restarted server must come
// back as the same peer with its store, and nothing of it may outlive it.

#include "tests/support/nats_cluster.h"

#include <gtest/gtest.h>
#include <nats/nats.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace kestrel {
namespace testing {
namespace {

using Clock = std::chrono::steady_clock;

long MillisecondsSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

std::string AllLogs(const NatsCluster& cluster) {
  std::string logs;
  for (std::size_t i = 0; i < cluster.size(); ++i) {
    logs += "--- " + cluster.serverName(i) + " ---\n" + cluster.logOf(i);
  }
  return logs;
}

// Whether pid is a process that runs a configuration from folder: a pid
// that the kernel has since given to another program does not count.
bool RunsFrom(pid_t pid, const std::string& folder) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
  std::string commandLine((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  return !commandLine.empty() && commandLine.find(folder) != std::string::npos;
}

bool Exists(const std::string& path) {
  struct stat status;
  return ::stat(path.c_str(), &status) == 0;
}

// A client of every server, reconnecting at once to another when one goes.
class Client {
 public:
  explicit Client(const NatsCluster& cluster) {
    for (std::size_t i = 0; i < cluster.size(); ++i) urls_.push_back(cluster.url(i));
    std::vector<const char*> servers;
    for (const std::string& url : urls_) servers.push_back(url.c_str());
    natsOptions* options = nullptr;
    status_ = natsOptions_Create(&options);
    if (status_ == NATS_OK) {
      status_ = natsOptions_SetServers(options, servers.data(), static_cast<int>(servers.size()));
    }
    if (status_ == NATS_OK) status_ = natsOptions_SetMaxReconnect(options, -1);
    if (status_ == NATS_OK) status_ = natsOptions_SetReconnectWait(options, 50);
    if (status_ == NATS_OK) status_ = natsConnection_Connect(&connection_, options);
    natsOptions_Destroy(options);
    jsOptions jetStreamOptions;
    jsOptions_Init(&jetStreamOptions);
    // Creating a replicas-3 stream waits for its group's election: 0.2-0.8 s.
    jetStreamOptions.Wait = 10000;
    if (status_ == NATS_OK)
      status_ = natsConnection_JetStream(&js_, connection_, &jetStreamOptions);
  }
  ~Client() {
    jsCtx_Destroy(js_);
    natsConnection_Destroy(connection_);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  natsStatus status() const { return status_; }
  jsCtx* js() const { return js_; }

 private:
  std::vector<std::string> urls_;
  natsStatus status_ = NATS_OK;
  natsConnection* connection_ = nullptr;
  jsCtx* js_ = nullptr;
};

// Answers "OK" or what went wrong, for EXPECT_EQ's message.
std::string Describe(natsStatus status, jsErrCode code) {
  if (status == NATS_OK) return "OK";
  const char* last = nats_GetLastError(nullptr);
  return std::string(natsStatus_GetText(status)) + " (JetStream error " + std::to_string(code) +
         "): " + (last != nullptr ? last : "");
}

std::string CreateStream(jsCtx* js, const char* name, const char* subject, int replicas) {
  jsStreamConfig config;
  jsStreamConfig_Init(&config);
  config.Name = name;
  const char* subjects[] = {subject};
  config.Subjects = subjects;
  config.SubjectsLen = 1;
  config.Storage = js_FileStorage;
  config.Replicas = replicas;
  // Reserved on each replica's server: small, to stay within max_file_store.
  config.MaxBytes = 1 << 20;
  jsStreamInfo* info = nullptr;
  jsErrCode code = static_cast<jsErrCode>(0);
  natsStatus status = js_AddStream(&info, js, &config, nullptr, &code);
  jsStreamInfo_Destroy(info);
  return Describe(status, code);
}

// Publishes once, with id as its Nats-Msg-Id so that a re-send of an event
// whose ack was lost is not stored twice, retrying while the stream has no
// leader. Answers the stream sequence, or 0 at the deadline.
uint64_t Publish(jsCtx* js, const char* subject, const std::string& id, int timeoutMs,
                 std::string* failure) {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  int backoffMs = 50;
  for (;;) {
    jsPubOptions options;
    jsPubOptions_Init(&options);
    options.MsgId = id.c_str();
    // Without it a publish in flight when the leader dies is never answered.
    options.MaxWait = 2000;
    jsPubAck* ack = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    natsStatus status =
        js_Publish(&ack, js, subject, id.data(), static_cast<int>(id.size()), &options, &code);
    if (status == NATS_OK) {
      uint64_t sequence = ack->Sequence;
      jsPubAck_Destroy(ack);
      return sequence;
    }
    *failure = Describe(status, code);
    // "No responders" comes back at once while there is no leader: a retry
    // without a pause would spin.
    if (Clock::now() >= deadline) return 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(backoffMs));
    backoffMs = std::min(backoffMs * 2, 1000);
  }
}

// The stream's state as its leader answers it, asked again while it has
// none; null at the deadline. The caller destroys it.
jsStreamInfo* StreamInfo(jsCtx* js, const char* stream, int timeoutMs, std::string* failure) {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    jsStreamInfo* info = nullptr;
    jsErrCode code = static_cast<jsErrCode>(0);
    natsStatus status = js_GetStreamInfo(&info, js, stream, nullptr, &code);
    if (status == NATS_OK) return info;
    *failure = Describe(status, code);
    if (Clock::now() >= deadline) return nullptr;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

std::string LeaderNamedBy(const jsStreamInfo* info) {
  return info != nullptr && info->Cluster != nullptr && info->Cluster->Leader != nullptr
             ? info->Cluster->Leader
             : std::string();
}

const jsPeerInfo* Replica(const jsStreamInfo* info, const std::string& name) {
  if (info == nullptr || info->Cluster == nullptr) return nullptr;
  for (int k = 0; k < info->Cluster->ReplicasLen; ++k) {
    const jsPeerInfo* peer = info->Cluster->Replicas[k];
    if (peer != nullptr && peer->Name != nullptr && name == peer->Name) return peer;
  }
  return nullptr;
}

TEST(NatsClusterTest, AnotherServerLeadsTheStreamWhenItsLeaderIsKilled) {
  constexpr const char* kStream = "HARNESS";
  constexpr const char* kSubject = "harness.events";
  // Bounds on a loaded machine, not expectations: an election after a
  // leader's SIGKILL has taken 4-18 s.
  constexpr int kElectionBoundMs = 60000;

  std::vector<pid_t> pids;
  std::string folder;
  {
    NatsCluster cluster;
    folder = cluster.directory();
    ASSERT_FALSE(folder.empty());
    ASSERT_EQ(3u, cluster.size());
    Clock::time_point start = Clock::now();
    ASSERT_TRUE(cluster.Start()) << AllLogs(cluster);
    std::printf("[ measured ] 3 servers healthy %ld ms after Start\n", MillisecondsSince(start));

    EXPECT_EQ(cluster.url(0) + "," + cluster.url(1) + "," + cluster.url(2), cluster.urls());
    EXPECT_EQ(0u, cluster.url(0).find("nats://127.0.0.1:"));
    EXPECT_NE(cluster.url(0), cluster.url(1));
    EXPECT_NE(cluster.url(1), cluster.url(2));
    EXPECT_NE(cluster.serverName(0), cluster.serverName(1));
    for (std::size_t i = 0; i < cluster.size(); ++i) {
      EXPECT_TRUE(cluster.running(i));
      pids.push_back(cluster.pid(i));
      EXPECT_GT(pids.back(), 0);
    }
    EXPECT_EQ(-1, cluster.StreamLeader(kStream)) << "no such stream yet";

    Client client(cluster);
    ASSERT_EQ(NATS_OK, client.status()) << Describe(client.status(), static_cast<jsErrCode>(0));
    // Once Start has answered, the first request is taken: one sent before
    // the meta leader is elected is dropped and times out.
    Clock::time_point creating = Clock::now();
    ASSERT_EQ("OK", CreateStream(client.js(), kStream, kSubject, 3)) << AllLogs(cluster);
    std::printf("[ measured ] replicas-3 stream created in %ld ms\n", MillisecondsSince(creating));
    std::string failure;
    ASSERT_EQ(1u, Publish(client.js(), kSubject, "event-1", 10000, &failure)) << failure;

    int leader = cluster.WaitForStreamLeader(kStream, 10000);
    ASSERT_GE(leader, 0) << AllLogs(cluster);
    jsStreamInfo* info = StreamInfo(client.js(), kStream, 10000, &failure);
    ASSERT_NE(nullptr, info) << failure;
    EXPECT_EQ(cluster.serverName(static_cast<std::size_t>(leader)), LeaderNamedBy(info));
    jsStreamInfo_Destroy(info);

    Clock::time_point killed = Clock::now();
    EXPECT_EQ(128 + SIGKILL, cluster.Kill(static_cast<std::size_t>(leader)));
    EXPECT_FALSE(cluster.running(static_cast<std::size_t>(leader)));
    EXPECT_EQ(-1, cluster.pid(static_cast<std::size_t>(leader)));
    EXPECT_EQ(128 + SIGKILL, cluster.Kill(static_cast<std::size_t>(leader))) << "the last status";

    int successor = cluster.WaitForStreamLeader(kStream, kElectionBoundMs);
    long electedMs = MillisecondsSince(killed);
    ASSERT_GE(successor, 0) << AllLogs(cluster);
    EXPECT_NE(leader, successor);
    EXPECT_TRUE(cluster.running(static_cast<std::size_t>(successor)));
    std::uint64_t sequence = Publish(client.js(), kSubject, "event-2", kElectionBoundMs, &failure);
    std::printf("[ measured ] another leader %ld ms after the leader's SIGKILL;"
                " stored again after %ld ms\n",
                electedMs, MillisecondsSince(killed));
    EXPECT_EQ(2u, sequence) << failure;
    info = StreamInfo(client.js(), kStream, 10000, &failure);
    ASSERT_NE(nullptr, info) << failure;
    EXPECT_EQ(cluster.serverName(static_cast<std::size_t>(successor)), LeaderNamedBy(info));
    jsStreamInfo_Destroy(info);

    std::string urlBefore = cluster.url(static_cast<std::size_t>(leader));
    Clock::time_point restarting = Clock::now();
    ASSERT_TRUE(cluster.Restart(static_cast<std::size_t>(leader))) << AllLogs(cluster);
    std::printf("[ measured ] restarted server healthy after %ld ms\n",
                MillisecondsSince(restarting));
    EXPECT_TRUE(cluster.running(static_cast<std::size_t>(leader)));
    EXPECT_EQ(urlBefore, cluster.url(static_cast<std::size_t>(leader)));
    pids.push_back(cluster.pid(static_cast<std::size_t>(leader)));
    EXPECT_GT(pids.back(), 0);
    // Back as the same peer, not a newcomer: its replica is current in the
    // leader's eyes (which may lag its own /healthz by a heartbeat).
    bool current = false;
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(20);
    while (!current && Clock::now() < deadline) {
      info = StreamInfo(client.js(), kStream, 10000, &failure);
      ASSERT_NE(nullptr, info) << failure;
      const jsPeerInfo* replica =
          Replica(info, cluster.serverName(static_cast<std::size_t>(leader)));
      current = replica != nullptr && replica->Current && !replica->Offline;
      jsStreamInfo_Destroy(info);
      if (!current) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(current) << AllLogs(cluster);
    EXPECT_EQ(3u, Publish(client.js(), kSubject, "event-3", 10000, &failure)) << failure;
  }
  for (pid_t pid : pids) EXPECT_FALSE(RunsFrom(pid, folder)) << "server " << pid << " outlived it";
  EXPECT_FALSE(Exists(folder)) << folder;
}

TEST(NatsClusterTest, ALoneServerComesBackOnItsPortWithItsStore) {
  constexpr const char* kStream = "ALONE";
  constexpr const char* kSubject = "alone.events";

  pid_t pid = -1;
  std::string folder;
  {
    NatsCluster cluster(NatsCluster::Options{1});
    folder = cluster.directory();
    ASSERT_EQ(1u, cluster.size());
    EXPECT_EQ(cluster.url(0), cluster.urls());
    EXPECT_EQ(-1, cluster.Kill(0)) << "never ran";
    Clock::time_point start = Clock::now();
    ASSERT_TRUE(cluster.Start()) << cluster.logOf(0);
    std::printf("[ measured ] 1 server healthy %ld ms after Start\n", MillisecondsSince(start));

    Client client(cluster);
    ASSERT_EQ(NATS_OK, client.status());
    ASSERT_EQ("OK", CreateStream(client.js(), kStream, kSubject, 1)) << cluster.logOf(0);
    std::string failure;
    ASSERT_EQ(1u, Publish(client.js(), kSubject, "event-1", 10000, &failure)) << failure;
    EXPECT_EQ(0, cluster.StreamLeader(kStream));
    EXPECT_EQ(-1, cluster.StreamLeader("NOSUCHSTREAM"));

    std::string url = cluster.url(0);
    // A clean shutdown, not the SIGKILL that Kill falls back on: nats-server
    // 2.9.10 logs its exit and answers 1 to SIGTERM.
    int status = cluster.Kill(0, SIGTERM);
    EXPECT_GE(status, 0);
    EXPECT_NE(128 + SIGKILL, status);
    EXPECT_FALSE(cluster.running(0));
    EXPECT_EQ(-1, cluster.StreamLeader(kStream)) << "nothing runs to lead it";
    EXPECT_NE(std::string::npos, cluster.logOf(0).find("Server Exiting")) << cluster.logOf(0);

    ASSERT_TRUE(cluster.Restart(0)) << cluster.logOf(0);
    pid = cluster.pid(0);
    EXPECT_EQ(url, cluster.url(0));
    // The client comes back on its own to the one address it has.
    jsStreamInfo* info = StreamInfo(client.js(), kStream, 10000, &failure);
    ASSERT_NE(nullptr, info) << failure;
    EXPECT_EQ(1u, info->State.Msgs) << "the store was kept";
    jsStreamInfo_Destroy(info);
    EXPECT_EQ(2u, Publish(client.js(), kSubject, "event-2", 10000, &failure)) << failure;
  }
  EXPECT_FALSE(RunsFrom(pid, folder));
  EXPECT_FALSE(Exists(folder)) << folder;
}

}  // namespace
}  // namespace testing
}  // namespace kestrel
