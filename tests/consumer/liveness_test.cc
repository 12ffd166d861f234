// Recovering from a service that disappears without a word, and never
// hanging on one that does not answer.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <omniORB4/CORBA.h>
#include <omniORB4/omniORB.h>

#include <atomic>
#include <chrono>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <thread>

#include "consumer/notification_consumer.h"
#include "kestrel/kestrel.h"
#include "orb/broker_settings.h"
#include "platform/registry_store.h"
#include "supplier/notification_supplier.h"
#include "tests/channeld/channel_clients.h"
#include "tests/support/channel_service.h"
#include "tests/support/component_objects.h"
#include "tests/support/fake_settings.h"
#include "tests/support/recording_sink.h"
#include "tests/support/test_support.h"

namespace kestrel {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using testing::ChannelService;
using testing::Create;
using testing::FakeSettings;
using testing::RecordingSink;
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A TCP listener on 127.0.0.1 that accepts every connection and never
// answers: a hung service.
class HungService {
 public:
  explicit HungService(int port = 0) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    bound_ = ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
             ::listen(listener_, 16) == 0;
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] {
      for (;;) {
        int connection = ::accept(listener_, nullptr, nullptr);
        if (connection < 0) return;
        connections_.push_back(connection);
      }
    });
  }
  ~HungService() {
    ::shutdown(listener_, SHUT_RDWR);
    ::close(listener_);
    acceptor_.join();
    for (int connection : connections_) ::close(connection);
  }
  bool bound() const { return bound_; }
  int port() const { return port_; }

 private:
  int listener_ = -1;
  bool bound_ = false;
  int port_ = 0;
  std::thread acceptor_;
  std::vector<int> connections_;
};

size_t ThreadCount() {
  size_t count = 0;
  DIR* tasks = ::opendir("/proc/self/task");
  while (dirent* entry = ::readdir(tasks)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(tasks);
  return count;
}

long ResidentKilobytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

class Liveness : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(service_.Start()); }

  void SetBrokerSettings(uint32_t livenessSeconds, uint32_t callTimeoutMs) {
    RegistryStore().Update([&](RegistryTree& tree) {
      RegistryKey* key = tree.Create(RegistryRoot::kLocalMachine, kBrokerSettingsKey);
      key->SetDword("ConsumerLivenessInterval", livenessSeconds);
      key->SetDword("CallTimeout", callTimeoutMs);
    });
  }

  FakeSettings* Settings(int port, IUnknown* sink = nullptr) {
    settings_.emplace_back(new FakeSettings(service_.host(), port, service_.key()));
    settings_.back()->set_sink(sink);
    settings_.back()->AddRef();
    return settings_.back().get();
  }

  INotificationConsumer* ConnectedConsumer(RecordingSink* sink) {
    auto* consumer = Create<INotificationConsumer>(CreateNotificationConsumer, IID_INotificationConsumer);
    EXPECT_EQ(S_OK, consumer->Connect(Settings(service_.port(), sink), 1));
    return consumer;
  }

  INotificationSupplier* ConnectedSupplier(const char* module) {
    auto* supplier = Create<INotificationSupplier>(CreateNotificationSupplier, IID_INotificationSupplier);
    EXPECT_EQ(S_OK, supplier->Initialize(Settings(service_.port()), module));
    return supplier;
  }

  // Publishes until the sink has an event or timeout passes.
  static bool PublishUntilDelivered(INotificationSupplier* supplier, RecordingSink* sink,
                                    milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
      supplier->Publish(1, 1, "probe");
      if (sink->WaitForEvents(1, milliseconds(200))) return true;
    }
    return false;
  }

  testing::ScopedRegistry registry_;
  testing::TestOrb orb_;
  ChannelService service_;
  std::vector<std::unique_ptr<FakeSettings>> settings_;
};

TEST_F(Liveness, ConsumerRecoversFromAServiceKilledWithoutAWord) {
  SetBrokerSettings(1, 2000);
  RecordingSink sink;
  INotificationConsumer* consumer = ConnectedConsumer(&sink);
  // Made before the kill: a new object's first call could meet the dead
  // connection; the supplier's one reconnection covers that.
  INotificationSupplier* supplier = ConnectedSupplier("after-kill");
  ASSERT_TRUE(service_.Restart(SIGKILL));
  Clock::time_point restarted = Clock::now();
  ASSERT_TRUE(PublishUntilDelivered(supplier, &sink, seconds(12)));
  // One interval to notice, 2 s to the first attempt; margin for the rest.
  EXPECT_LT(SecondsSince(restarted), 1 + 4 + 2.0);
  EXPECT_EQ("after-kill", sink.events()[0].module);
  supplier->Release();
  consumer->Release();
}

TEST_F(Liveness, ConsumerGoesOverToTheNextServiceOfItsList) {
  SetBrokerSettings(1, 2000);
  ChannelService second;
  ASSERT_TRUE(second.Start());
  // corbaloc:iiop:127.0.0.1:PA,iiop:127.0.0.1:PB/KEY: the fixture's service
  // first, then the second.
  auto bothServices = [&](RecordingSink* sink) {
    std::string host = service_.host() + ":" + std::to_string(service_.port()) + ",iiop:" +
                       second.host();
    settings_.emplace_back(new FakeSettings(host, second.port(), second.key()));
    settings_.back()->set_sink(sink);
    settings_.back()->AddRef();
    return settings_.back().get();
  };
  // Publishes until the sink has count events, for up to 15 s: one check
  // interval to notice, 2 s to the first attempt, and margin.
  auto deliveredUpTo = [](INotificationSupplier* supplier, RecordingSink* sink, size_t count,
                          const char* description) {
    auto deadline = Clock::now() + seconds(15);
    while (Clock::now() < deadline) {
      supplier->Publish(1, 1, description);
      if (sink->WaitForEvents(count, milliseconds(200))) return true;
    }
    return false;
  };
  RecordingSink sink;
  auto* consumer = Create<INotificationConsumer>(CreateNotificationConsumer, IID_INotificationConsumer);
  ASSERT_EQ(S_OK, consumer->Connect(bothServices(&sink), 1));
  auto* supplier = Create<INotificationSupplier>(CreateNotificationSupplier, IID_INotificationSupplier);
  ASSERT_EQ(S_OK, supplier->Initialize(bothServices(nullptr), "two-services"));
  ASSERT_TRUE(deliveredUpTo(supplier, &sink, 1, "at the first"));

  ASSERT_EQ(128 + SIGKILL, service_.Stop(SIGKILL));
  ASSERT_TRUE(deliveredUpTo(supplier, &sink, 2, "at the second"));
  EXPECT_EQ("at the second", sink.events().back().description);

  // And back to the first, which the list names before the second, once
  // that one is gone in turn.
  ASSERT_TRUE(service_.Restart());
  ASSERT_EQ(128 + SIGKILL, second.Stop(SIGKILL));
  size_t received = sink.events().size();
  ASSERT_TRUE(deliveredUpTo(supplier, &sink, received + 1, "at the first again"));
  EXPECT_EQ("at the first again", sink.events().back().description);
  supplier->Release();
  consumer->Release();
}

TEST_F(Liveness, WithoutChecksAKilledServiceIsNeverNoticed) {
  SetBrokerSettings(0, 0);
  RecordingSink sink;
  INotificationConsumer* consumer = ConnectedConsumer(&sink);
  INotificationSupplier* supplier = ConnectedSupplier("unnoticed");
  ASSERT_TRUE(service_.Restart(SIGKILL));
  EXPECT_FALSE(PublishUntilDelivered(supplier, &sink, seconds(5)));
  supplier->Release();
  consumer->Release();
}

TEST_F(Liveness, AServiceThatNeverComesBackCostsNothingMoreOverAMinute) {
  SetBrokerSettings(1, 2000);
  RecordingSink sink;
  INotificationConsumer* consumer = ConnectedConsumer(&sink);
  auto* implementation = static_cast<NotificationConsumer*>(consumer);
  service_.Stop(SIGKILL);
  // Let the first check, reconnection timer and failed attempts settle.
  std::this_thread::sleep_for(seconds(6));
  size_t threads = ThreadCount();
  long resident = ResidentKilobytes();
  size_t timers = implementation->scheduledTimerCount();
  std::this_thread::sleep_for(seconds(54));
  EXPECT_LE(ThreadCount(), threads);
  EXPECT_LT(ResidentKilobytes() - resident, 1024);
  EXPECT_EQ(timers, implementation->scheduledTimerCount());

  Clock::time_point start = Clock::now();
  EXPECT_EQ(S_OK, consumer->Disconnect());
  EXPECT_EQ(0u, consumer->Release());
  EXPECT_LT(SecondsSince(start), 3.0);
  EXPECT_EQ(1u, sink.references());
}

TEST_F(Liveness, CallsToAHungServiceAreBounded) {
  SetBrokerSettings(1, 500);
  HungService hung;
  ASSERT_TRUE(hung.bound());
  RecordingSink sink;
  auto* consumer = Create<INotificationConsumer>(CreateNotificationConsumer, IID_INotificationConsumer);
  Clock::time_point start = Clock::now();
  EXPECT_EQ(E_CORBA_TIMEOUT, consumer->Connect(Settings(hung.port(), &sink), 1));
  EXPECT_LT(SecondsSince(start), 2 * 0.5 + 1.5);
  start = Clock::now();
  EXPECT_EQ(0u, consumer->Release());
  EXPECT_LT(SecondsSince(start), 2.0);
}

TEST_F(Liveness, PublishToAServiceThatStoppedAnsweringIsBounded) {
  SetBrokerSettings(1, 500);
  INotificationSupplier* supplier = ConnectedSupplier("hung");
  int port = service_.port();
  service_.Stop(SIGKILL);
  HungService hung(port);
  ASSERT_TRUE(hung.bound());
  Clock::time_point start = Clock::now();
  HRESULT hr = supplier->Publish(1, 1, "into the void");
  EXPECT_TRUE(hr == E_FAIL || hr == E_CORBA_TIMEOUT) << std::hex << hr;
  EXPECT_LT(SecondsSince(start), 2 * 0.5 + 1.5);
  start = Clock::now();
  supplier->Release();
  EXPECT_LT(SecondsSince(start), 2.0);
}

TEST_F(Liveness, PublishGoesOverFromAServiceThatStoppedAnswering) {
  SetBrokerSettings(1, 500);
  ChannelService second;
  ASSERT_TRUE(second.Start());
  std::string host = service_.host() + ":" + std::to_string(service_.port()) + ",iiop:" +
                     second.host();
  settings_.emplace_back(new FakeSettings(host, second.port(), second.key()));
  settings_.back()->AddRef();
  auto* supplier = Create<INotificationSupplier>(CreateNotificationSupplier, IID_INotificationSupplier);
  ASSERT_EQ(S_OK, supplier->Initialize(settings_.back().get(), "hung-first"));
  RecordingSink sink;
  auto* consumer = Create<INotificationConsumer>(CreateNotificationConsumer, IID_INotificationConsumer);
  ASSERT_EQ(S_OK, consumer->Connect(Settings(second.port(), &sink), 1));
  int port = service_.port();
  service_.Stop(SIGKILL);
  HungService hung(port);
  ASSERT_TRUE(hung.bound());

  Clock::time_point start = Clock::now();
  EXPECT_EQ(S_OK, supplier->Publish(1, 1, "past the hung one"));
  // The push, the offer to the proxy and the channel at the first address
  // each wait out the limit; margin for the rest.
  EXPECT_LT(SecondsSince(start), 3 * 0.5 + 1.5);
  ASSERT_TRUE(sink.WaitForEvents(1));
  EXPECT_EQ("past the hung one", sink.events()[0].description);
  supplier->Release();
  consumer->Release();
}

TEST_F(Liveness, TheProcesssOwnCallTimeoutIsLeftAlone) {
  SetBrokerSettings(1, 3000);
  HungService hung;
  ASSERT_TRUE(hung.bound());
  // The client's own process-wide limit.
  omniORB::setClientCallTimeout(300);
  auto* consumer = Create<INotificationConsumer>(CreateNotificationConsumer, IID_INotificationConsumer);
  RecordingSink sink;
  Clock::time_point start = Clock::now();
  EXPECT_EQ(E_CORBA_TIMEOUT, consumer->Connect(Settings(hung.port(), &sink), 1));
  EXPECT_GT(SecondsSince(start), 2.0);  // the library's 3 s, not the client's 0.3 s

  std::string address = "corbaloc:iiop:127.0.0.1:" + std::to_string(hung.port()) + "/Anything";
  CORBA::Object_var mine = orb_.orb()->string_to_object(address.c_str());
  start = Clock::now();
  EXPECT_THROW(mine->_non_existent(), CORBA::TIMEOUT);
  EXPECT_LT(SecondsSince(start), 2.0);  // still the client's 0.3 s
  consumer->Release();
  omniORB::setClientCallTimeout(0);
}

}  // namespace
}  // namespace kestrel
