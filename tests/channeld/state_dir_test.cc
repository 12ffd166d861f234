// kestrel-channeld with a state directory, end to end with plain omniORB
// clients: what survives a restart, what a crash costs under each
// EventReliability, and what a damaged or unwritable directory does.

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <sys/resource.h>

#include <COS/TimeBase.hh>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "tests/channeld/channel_clients.h"
#include "tests/channeld/properties.h"
#include "tests/support/channel_service.h"
#include "tests/support/test_support.h"

namespace kestrel {
namespace testing {
namespace {

using std::chrono::seconds;

constexpr auto kDeliveryWait = seconds(10);

// The names in folder that start with prefix.
std::vector<std::string> FilesStartingWith(const std::string& folder, const std::string& prefix) {
  std::vector<std::string> names;
  if (DIR* listing = ::opendir(folder.c_str())) {
    while (dirent* entry = ::readdir(listing)) {
      if (std::string(entry->d_name).rfind(prefix, 0) == 0) names.push_back(entry->d_name);
    }
    ::closedir(listing);
  }
  return names;
}

template <typename T>
T QoSValue(CosNotification::QoSAdmin_ptr level, const char* name) {
  CosNotification::QoSProperties_var qos = level->get_qos();
  T value{};
  for (CORBA::ULong i = 0; i < qos->length(); ++i) {
    if (std::string(qos[i].name.in()) == name) qos[i].value >>= value;
  }
  return value;
}

// The first call after a restart, as a client makes it: after a crash, the
// connection that the client held fails one call with COMM_FAILURE (the
// ORB cannot tell whether the request arrived), and the client tries again.
// A planned stop closes its connections in an orderly way: no retry.
template <typename Call>
void AfterRestart(int signal, Call call) {
  try {
    call();
  } catch (const CORBA::COMM_FAILURE&) {
    if (signal == SIGTERM) throw;
    call();
  }
}

CORBA::Long QueueLengthOf(CosNotifyChannelAdmin::EventChannel_ptr channel) {
  CosNotification::AdminProperties_var limits = channel->get_admin();
  CORBA::Long queueLength = -1;
  for (CORBA::ULong i = 0; i < limits->length(); ++i) {
    if (std::string(limits[i].name.in()) == CosNotification::MaxQueueLength) {
      limits[i].value >>= queueLength;
    }
  }
  return queueLength;
}

class StateDirTest : public ::testing::Test {
 protected:
  std::string StateDir() const { return folder_.File("state"); }
  std::string Errors() const { return ReadFile(folder_.File("stderr")); }

  // A service that keeps its state in StateDir(), its stderr in a file.
  ChannelService::Options WithState(std::vector<std::string> more = {}) {
    ChannelService::Options options;
    options.extraArguments = {"--state-dir", StateDir()};
    options.extraArguments.insert(options.extraArguments.end(), more.begin(), more.end());
    options.errorFile = folder_.File("stderr");
    return options;
  }

  // One event from a new supplier reaches a new consumer.
  void ExpectRoundTrip(const ChannelService& service) {
    CosNotifyChannelAdmin::EventChannel_var channel = orb_.Channel(service.address());
    ConnectedConsumer consumer = ConnectConsumer(orb_, channel.in());
    ConnectedSupplier supplier = ConnectSupplier(orb_, channel.in());
    PushEvents(supplier.proxy.in(), "probe", 0, 1);
    EXPECT_TRUE(consumer.servant->WaitForEvents(1, kDeliveryWait));
  }

  TemporaryFolder folder_;
  TestOrb orb_;
};

TEST_F(StateDirTest, ATopologyAndItsConnectionsSurviveARestartAtTheSameReferences) {
  ChannelService service(WithState());
  ASSERT_TRUE(service.Start());
  CosNotifyChannelAdmin::EventChannel_var channel = orb_.Channel(service.address());
  CosNotifyChannelAdmin::AdminID adminId = 0;
  CosNotifyChannelAdmin::ConsumerAdmin_var admin =
      channel->new_for_consumers(CosNotifyChannelAdmin::OR_OP, adminId);
  admin->set_qos(Properties({Property(CosNotification::MaxEventsPerConsumer, CORBA::Long(7))}));
  channel->set_admin(Properties({Property(CosNotification::MaxQueueLength, CORBA::Long(100))}));
  ConnectedConsumer consumer =
      ConnectConsumer(orb_, channel.in(), EventTypes({{"Kestrel", "Tick"}}), {}, admin.in());
  ConnectedSupplier supplier = ConnectSupplier(orb_, channel.in());
  PushEvents(supplier.proxy.in(), "s", 0, 5);
  ASSERT_TRUE(consumer.servant->WaitForEvents(5, kDeliveryWait));

  for (int signal : {SIGTERM, SIGKILL}) {
    SCOPED_TRACE(signal == SIGTERM ? "SIGTERM" : "SIGKILL");
    std::size_t before = consumer.servant->count();
    ASSERT_TRUE(service.Restart(signal));
    // The references handed out before: no reconnection, no new proxy.
    AfterRestart(signal, [&] { PushEvents(supplier.proxy.in(), "s", before, before + 1); });
    PushEvents(supplier.proxy.in(), "s", before + 1, before + 5);
    ASSERT_TRUE(consumer.servant->WaitForEvents(before + 5, kDeliveryWait));
    EXPECT_EQ(7, QoSValue<CORBA::Long>(admin.in(), CosNotification::MaxEventsPerConsumer));
  }
  EXPECT_EQ(Range(0, 15), Sequences(*consumer.servant));
  EXPECT_EQ(0, consumer.servant->disconnects());
  EXPECT_EQ(0, supplier.servant->disconnects());
  EXPECT_EQ(100, QueueLengthOf(channel.in()));
  // Ids go on from where they were, never reused.
  ConnectedConsumer later = ConnectConsumer(orb_, channel.in(), {}, {}, admin.in());
  EXPECT_GT(later.id, consumer.id);
  CosNotifyChannelAdmin::AdminID nextAdmin = 0;
  CosNotifyChannelAdmin::ConsumerAdmin_var another =
      channel->new_for_consumers(CosNotifyChannelAdmin::AND_OP, nextAdmin);
  EXPECT_GT(nextAdmin, adminId);
  EXPECT_EQ(0, service.Stop());

  // What clients set is kept; what the command line sets is its own again.
  ChannelService::Options changed = WithState({"--queue", "77"});
  changed.port = service.port();
  ChannelService again(changed);
  ASSERT_TRUE(again.Start());
  EXPECT_EQ(77, QoSValue<CORBA::Long>(channel.in(), CosNotification::MaxEventsPerConsumer));
  EXPECT_EQ(7, QoSValue<CORBA::Long>(admin.in(), CosNotification::MaxEventsPerConsumer));
  EXPECT_EQ(100, QueueLengthOf(channel.in()));
  EXPECT_EQ(0, again.Stop());
}

struct CrashCase {
  const char* name;
  int signal;
  const char* eventReliability;
  bool keepsQueuedEvents;
};

void PrintTo(const CrashCase& param, std::ostream* out) { *out << param.name; }

class QueuedEventsTest : public StateDirTest, public ::testing::WithParamInterface<CrashCase> {};

// Events held for a suspended consumer: the stop finds them queued.
TEST_P(QueuedEventsTest, QueuedEventsSurviveWhatTheirReliabilityPromises) {
  const CrashCase& crash = GetParam();
  ChannelService service(WithState({"--event-reliability", crash.eventReliability}));
  ASSERT_TRUE(service.Start());
  CosNotifyChannelAdmin::EventChannel_var channel = orb_.Channel(service.address());
  ConnectedConsumer consumer = ConnectConsumer(orb_, channel.in());
  ConnectedSupplier supplier = ConnectSupplier(orb_, channel.in());
  consumer.proxy->suspend_connection();
  PushEvents(supplier.proxy.in(), "s", 0, 50);
  ASSERT_TRUE(service.Restart(crash.signal));
  AfterRestart(crash.signal, [&] { consumer.proxy->resume_connection(); });
  PushEvents(supplier.proxy.in(), "s", 50, 60);
  if (crash.keepsQueuedEvents) {
    ASSERT_TRUE(consumer.servant->WaitForEvents(60, kDeliveryWait));
    EXPECT_EQ(Range(0, 60), Sequences(*consumer.servant));
  } else {
    ASSERT_TRUE(consumer.servant->WaitForEvents(10, kDeliveryWait));
    EXPECT_EQ(Range(50, 60), Sequences(*consumer.servant));
    EXPECT_NE(std::string::npos,
              Errors().find("50 queued events could not be restored: the service was not "
                            "stopped cleanly"))
        << Errors();
  }
  EXPECT_EQ(0, service.Stop());
}

INSTANTIATE_TEST_SUITE_P(
    Stops, QueuedEventsTest,
    ::testing::Values(CrashCase{"PlannedStop", SIGTERM, "best-effort", true},
                      CrashCase{"CrashWithPersistentEvents", SIGKILL, "persistent", true},
                      CrashCase{"CrashWithBestEffortEvents", SIGKILL, "best-effort", false}),
    [](const ::testing::TestParamInfo<CrashCase>& info) { return info.param.name; });

struct RestartsCase {
  const char* name;
  std::vector<int> stops;  // one after another, nothing delivered between them
  // The planned stop is cut short once it has saved its queues, so that
  // its event log is left beside them.
  bool logLeftBesideSavedQueues;
};

void PrintTo(const RestartsCase& param, std::ostream* out) { *out << param.name; }

class RepeatedRestartsTest : public StateDirTest,
                             public ::testing::WithParamInterface<RestartsCase> {};

// Two consumers that read nothing owe overlapping suffixes of one supplier's
// persistent events; the one that owes less has the lower proxy key (the
// default admin's first proxy). Whatever the stops, each consumer then
// receives every event once, in order.
TEST_P(RepeatedRestartsTest, EveryEventArrivesOnceAndInOrder) {
  const RestartsCase& restarts = GetParam();
  ChannelService service(WithState({"--event-reliability", "persistent"}));
  ASSERT_TRUE(service.Start());
  CosNotifyChannelAdmin::EventChannel_var channel = orb_.Channel(service.address());
  CosNotifyChannelAdmin::AdminID adminId = 0;
  CosNotifyChannelAdmin::ConsumerAdmin_var admin =
      channel->new_for_consumers(CosNotifyChannelAdmin::AND_OP, adminId);
  ConnectedConsumer all = ConnectConsumer(orb_, channel.in(), {}, {}, admin.in());
  all.proxy->suspend_connection();
  ConnectedSupplier supplier = ConnectSupplier(orb_, channel.in());
  PushEvents(supplier.proxy.in(), "s", 0, 20);
  ConnectedConsumer later = ConnectConsumer(orb_, channel.in());
  later.proxy->suspend_connection();
  PushEvents(supplier.proxy.in(), "s", 20, 40);

  for (int signal : restarts.stops) {
    std::vector<std::pair<std::string, std::string>> log;
    if (restarts.logLeftBesideSavedQueues && signal == SIGTERM) {
      for (const std::string& name : FilesStartingWith(StateDir(), "events-")) {
        log.emplace_back(StateDir() + "/" + name, ReadFile(StateDir() + "/" + name));
      }
      ASSERT_FALSE(log.empty());
    }
    service.Stop(signal);
    for (const auto& file : log) WriteFile(file.first, file.second);
    ASSERT_TRUE(service.Restart()) << Errors();
  }
  AfterRestart(SIGKILL, [&] { all.proxy->resume_connection(); });
  later.proxy->resume_connection();
  PushEvents(supplier.proxy.in(), "s", 40, 41);  // after any repeated event
  ASSERT_TRUE(all.servant->WaitForEvents(41, kDeliveryWait));
  ASSERT_TRUE(later.servant->WaitForEvents(21, kDeliveryWait));
  EXPECT_EQ(Range(0, 41), Sequences(*all.servant));
  EXPECT_EQ(Range(20, 41), Sequences(*later.servant));
  EXPECT_EQ(0, service.Stop());
}

INSTANTIATE_TEST_SUITE_P(
    Stops, RepeatedRestartsTest,
    ::testing::Values(RestartsCase{"TwoCrashes", {SIGKILL, SIGKILL}, false},
                      RestartsCase{"CrashStopCrash", {SIGKILL, SIGTERM, SIGKILL}, false},
                      RestartsCase{"StopCutShortThenCrash", {SIGTERM, SIGKILL}, true}),
    [](const ::testing::TestParamInfo<RestartsCase>& info) { return info.param.name; });

TEST_F(StateDirTest, ReliabilityIsAQoSLikeTheOthers) {
  ChannelService service(WithState());
  ASSERT_TRUE(service.Start());
  CosNotifyChannelAdmin::EventChannel_var channel = orb_.Channel(service.address());
  EXPECT_EQ(CosNotification::Persistent,
            QoSValue<CORBA::Short>(channel.in(), CosNotification::ConnectionReliability));
  EXPECT_EQ(CosNotification::BestEffort,
            QoSValue<CORBA::Short>(channel.in(), CosNotification::EventReliability));
  CosNotifyChannelAdmin::ConsumerAdmin_var admin = channel->default_consumer_admin();
  admin->set_qos(
      Properties({Property(CosNotification::EventReliability, CosNotification::Persistent)}));
  ConnectedConsumer consumer = ConnectConsumer(orb_, channel.in());
  EXPECT_EQ(CosNotification::Persistent,
            QoSValue<CORBA::Short>(consumer.proxy.in(), CosNotification::EventReliability));

  // Connections are as durable as the service, and no level may say less.
  CosNotification::QoSProperties lessDurable =
      Properties({Property(CosNotification::ConnectionReliability, CosNotification::BestEffort)});
  try {
    consumer.proxy->set_qos(lessDurable);
    ADD_FAILURE() << "accepted";
  } catch (const CosNotification::UnsupportedQoS& refused) {
    ASSERT_EQ(1u, refused.qos_err.length());
    EXPECT_EQ(CosNotification::UNSUPPORTED_VALUE, refused.qos_err[0].code);
  }
  CosNotification::NamedPropertyRangeSeq_var available;
  EXPECT_THROW(channel->validate_qos(lessDurable, available.out()),
               CosNotification::UnsupportedQoS);

  ASSERT_TRUE(service.Restart(SIGKILL));
  AfterRestart(SIGKILL, [&] {
    EXPECT_EQ(CosNotification::Persistent,
              QoSValue<CORBA::Short>(consumer.proxy.in(), CosNotification::EventReliability));
  });
  EXPECT_EQ(0, service.Stop());
}

enum class Damage { kTruncated, kRandomBytes, kOtherVersion };

struct DamageCase {
  const char* name;
  const char* file;
  Damage damage;
};

void PrintTo(const DamageCase& param, std::ostream* out) { *out << param.name; }

class DamagedStateTest : public StateDirTest, public ::testing::WithParamInterface<DamageCase> {};

TEST_P(DamagedStateTest, IsMovedAsideReportedAndNeverFatal) {
  const DamageCase& damage = GetParam();
  {
    ChannelService service(WithState());
    ASSERT_TRUE(service.Start());
    CosNotifyChannelAdmin::EventChannel_var channel = orb_.Channel(service.address());
    ConnectedConsumer consumer = ConnectConsumer(orb_, channel.in());
    ConnectedSupplier supplier = ConnectSupplier(orb_, channel.in());
    consumer.proxy->suspend_connection();  // so that the stop saves queued events
    PushEvents(supplier.proxy.in(), "s", 0, 3);
    ASSERT_EQ(0, service.Stop());
  }
  std::string path = StateDir() + "/" + damage.file;
  std::string bytes = ReadFile(path);
  ASSERT_GT(bytes.size(), 40u) << path;
  switch (damage.damage) {
    case Damage::kTruncated: bytes.resize(bytes.size() - 7); break;
    case Damage::kRandomBytes:
      std::srand(7);
      for (char& c : bytes) c = static_cast<char>(std::rand());
      break;
    case Damage::kOtherVersion: bytes[8] = static_cast<char>(bytes[8] + 1); break;
  }
  WriteFile(path, bytes);

  ChannelService service(WithState());
  ASSERT_TRUE(service.Start()) << Errors();
  EXPECT_NE(std::string::npos, Errors().find(path + ": ")) << Errors();
  EXPECT_EQ(1u, FilesStartingWith(StateDir(), std::string(damage.file) + ".damaged-").size());
  ExpectRoundTrip(service);
  EXPECT_EQ(0, service.Stop());
}

INSTANTIATE_TEST_SUITE_P(
    Files, DamagedStateTest,
    ::testing::Values(DamageCase{"TruncatedTopology", "topology", Damage::kTruncated},
                      DamageCase{"RandomTopology", "topology", Damage::kRandomBytes},
                      DamageCase{"TopologyOfAnotherVersion", "topology", Damage::kOtherVersion},
                      DamageCase{"RandomQueue", "queued", Damage::kRandomBytes}),
    [](const ::testing::TestParamInfo<DamageCase>& info) { return info.param.name; });

// Every file of folder with its contents.
std::map<std::string, std::string> Contents(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const std::string& name : FilesStartingWith(folder, "")) {
    if (name != "." && name != "..") files[name] = ReadFile(folder + "/" + name);
  }
  return files;
}

// A second service on the directory is turned away at once and changes
// nothing there; the lock of one that was killed holds no one back.
TEST_F(StateDirTest, OneServiceAtATimeKeepsItsStateInADirectory) {
  ChannelService first(WithState());
  ASSERT_TRUE(first.Start());
  CosNotifyChannelAdmin::EventChannel_var channel = orb_.Channel(first.address());
  ConnectedConsumer consumer = ConnectConsumer(orb_, channel.in());
  const std::map<std::string, std::string> before = Contents(StateDir());
  ASSERT_EQ(1u, before.count("topology"));

  ChannelService::Options options = WithState();
  options.errorFile = folder_.File("second.stderr");
  ChannelService second(options);
  EXPECT_FALSE(second.Start());
  EXPECT_EQ(1, second.exit_status());
  const std::string said = ReadFile(folder_.File("second.stderr"));
  EXPECT_NE(std::string::npos, said.find("state directory " + StateDir() +
                                         " is in use by process " + std::to_string(first.pid())))
      << said;
  EXPECT_EQ(before, Contents(StateDir()));

  first.Stop(SIGKILL);
  ASSERT_TRUE(second.Start()) << ReadFile(folder_.File("second.stderr"));
  ExpectRoundTrip(second);
  EXPECT_EQ(0, second.Stop());
}

// What systemd hears of a unit of Type=notify, heard as systemd hears it:
// datagrams on the socket that NOTIFY_SOCKET names.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    socket_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    bound_ = ::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::setenv("NOTIFY_SOCKET", path.c_str(), 1);
  }
  ~NotifySocket() {
    ::unsetenv("NOTIFY_SOCKET");
    ::close(socket_);
  }
  bool bound() const { return bound_; }
  // The next message, or "" when none comes within a few seconds.
  std::string Next() {
    pollfd waiting{socket_, POLLIN, 0};
    if (::poll(&waiting, 1, 10000) != 1) return "";
    char message[512];
    ssize_t got = ::recv(socket_, message, sizeof message, 0);
    return got > 0 ? std::string(message, static_cast<std::size_t>(got)) : "";
  }

 private:
  std::string path_;
  int socket_ = -1;
  bool bound_ = false;
};

TEST_F(StateDirTest, TellsSystemdWhenItServesAndWhenItStops) {
  NotifySocket systemd(folder_.File("notify"));
  ASSERT_TRUE(systemd.bound());
  ChannelService service(WithState());
  ASSERT_TRUE(service.Start());
  EXPECT_EQ("READY=1", systemd.Next());
  // Ready means served: the first call needs no retry.
  ExpectRoundTrip(service);
  EXPECT_EQ(0, service.Stop());
  EXPECT_EQ("STOPPING=1", systemd.Next());
}

TEST_F(StateDirTest, ADirectoryThatCannotBeMadeIsFatalOnlyWherePersistentEventsWereAsked) {
  WriteFile(folder_.File("plain-file"), "not a directory");
  ChannelService::Options options = WithState();
  options.extraArguments = {"--state-dir", folder_.File("plain-file/state")};
  {
    ChannelService::Options persistent = options;
    persistent.extraArguments.insert(persistent.extraArguments.end(),
                                     {"--event-reliability", "persistent"});
    ChannelService service(persistent);
    EXPECT_FALSE(service.Start());
    EXPECT_EQ(1, service.exit_status());
    EXPECT_NE(std::string::npos, Errors().find("--event-reliability persistent")) << Errors();
  }
  ChannelService service(options);
  ASSERT_TRUE(service.Start()) << Errors();
  EXPECT_NE(std::string::npos, Errors().find("not kept until it can be written")) << Errors();
  ExpectRoundTrip(service);
  EXPECT_EQ(0, service.Stop());
}

// A full disk, played by a file size limit: writes fail with EFBIG.
TEST_F(StateDirTest, AWriteThatFailsLeavesThePreviousStateIntact) {
  ChannelService service(WithState());
  rlimit unlimited;
  ASSERT_EQ(0, ::getrlimit(RLIMIT_FSIZE, &unlimited));
  rlimit small = unlimited;
  small.rlim_cur = 1536;
  ::signal(SIGXFSZ, SIG_IGN);  // inherited: EFBIG instead of a signal
  ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &small));
  bool started = service.Start();
  ::setrlimit(RLIMIT_FSIZE, &unlimited);
  ASSERT_TRUE(started) << Errors();

  CosNotifyChannelAdmin::EventChannel_var channel = orb_.Channel(service.address());
  ConnectedConsumer consumer = ConnectConsumer(orb_, channel.in());
  CosNotifyChannelAdmin::ConsumerAdmin_var admin = channel->default_consumer_admin();
  std::vector<CosNotifyChannelAdmin::ProxySupplier_var> more;
  for (int i = 0; i < 100; ++i) {  // beyond 1.5 kB of topology
    CosNotifyChannelAdmin::ProxyID id = 0;
    more.push_back(admin->obtain_notification_push_supplier(
        CosNotifyChannelAdmin::STRUCTURED_EVENT, id));
  }
  EXPECT_NE(std::string::npos, Errors().find("cannot write the state")) << Errors();
  ExpectRoundTrip(service);

  ASSERT_TRUE(service.Restart(SIGKILL));
  CosNotifyChannelAdmin::ProxyIDSeq_var ids;
  AfterRestart(SIGKILL, [&] { ids = admin->push_suppliers(); });
  ASSERT_GE(ids->length(), 1u);
  EXPECT_LT(ids->length(), 100u);
  EXPECT_EQ(consumer.id, ids[0]);
  ConnectedSupplier supplier;
  AfterRestart(SIGKILL, [&] { supplier = ConnectSupplier(orb_, channel.in()); });
  PushEvents(supplier.proxy.in(), "after", 0, 1);
  EXPECT_TRUE(consumer.servant->WaitForEvents(1, kDeliveryWait));
  EXPECT_EQ(0, service.Stop());
}

TEST_F(StateDirTest, ListensOnAHostName) {
  ChannelService::Options options;
  options.extraArguments = {"--listen", "localhost"};
  ChannelService service(options);
  ASSERT_TRUE(service.Start());
  EXPECT_EQ(0u, service.address().find("corbaloc:iiop:localhost:")) << service.address();
  ExpectRoundTrip(service);
  EXPECT_EQ(0, service.Stop());
}

}  // namespace
}  // namespace testing
}  // namespace kestrel
