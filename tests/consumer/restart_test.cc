// Kestrel suppliers and consumers, with the library's own settings, across a
// restart of a kestrel-channeld that keeps a state directory: every event
// whose Publish answered S_OK reaches every consumer, in order, without a
// second proxy for anyone.

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

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

struct RestartCase {
  const char* name;
  int signal;
  const char* eventReliability;
};

void PrintTo(const RestartCase& param, std::ostream* out) { *out << param.name; }

// One supplier publishing numbered notifications on its own thread, and
// remembering which of them were accepted (S_OK).
class Publisher {
 public:
  Publisher(INotificationSupplier* supplier, std::string module)
      : supplier_(supplier), module_(std::move(module)) {
    thread_ = std::thread([this] {
      for (uint32_t code = 0; !stop_; ++code) {
        if (supplier_->Publish(1, code, "tick") == S_OK) {
          std::lock_guard<std::mutex> lock(mutex_);
          accepted_.push_back(code);
        }
        std::this_thread::sleep_for(milliseconds(5));
      }
    });
  }
  ~Publisher() {
    Stop();
    supplier_->Release();
  }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  const std::string& module() const { return module_; }
  std::vector<uint32_t> accepted() {
    std::lock_guard<std::mutex> lock(mutex_);
    return accepted_;
  }

 private:
  INotificationSupplier* supplier_;
  std::string module_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<uint32_t> accepted_;
  std::thread thread_;
};

class RestartTest : public ::testing::TestWithParam<RestartCase> {
 protected:
  void SetUp() override {
    // The liveness check runs every second: it fires while the service is
    // down, and the reconnection that it starts must find the old proxy.
    RegistryStore().Update([](RegistryTree& tree) {
      RegistryKey* key = tree.Create(RegistryRoot::kLocalMachine, kBrokerSettingsKey);
      key->SetDword("ConsumerLivenessInterval", 1);
      key->SetDword("CallTimeout", 2000);
    });
    ChannelService::Options options;
    options.extraArguments = {"--state-dir", folder_.File("state"), "--event-reliability",
                              GetParam().eventReliability, "--verbose"};
    options.errorFile = folder_.File("stderr");
    service_.reset(new ChannelService(options));
    ASSERT_TRUE(service_->Start());
  }

  FakeSettings* Settings(IUnknown* sink = nullptr) {
    settings_.emplace_back(new FakeSettings(service_->host(), service_->port(), service_->key()));
    settings_.back()->set_sink(sink);
    settings_.back()->AddRef();
    return settings_.back().get();
  }

  // The counters that SIGUSR1 makes the service write: the last value of
  // "NAME N" in its stderr.
  long LastCounter(const std::string& name) {
    std::size_t before = testing::ReadFile(folder_.File("stderr")).size();
    ::kill(service_->pid(), SIGUSR1);
    std::string errors;
    for (int i = 0; i < 100 && errors.size() <= before; ++i) {
      std::this_thread::sleep_for(milliseconds(50));
      errors = testing::ReadFile(folder_.File("stderr"));
    }
    std::smatch match;
    long value = -1;
    std::regex counter(name + " (\\d+)");
    for (auto it = std::sregex_iterator(errors.begin(), errors.end(), counter);
         it != std::sregex_iterator(); ++it) {
      value = std::stol((*it)[1]);
    }
    return value;
  }

  testing::ScopedRegistry registry_;
  testing::TemporaryFolder folder_;
  testing::TestOrb orb_;
  std::unique_ptr<ChannelService> service_;
  std::vector<std::unique_ptr<FakeSettings>> settings_;
};

TEST_P(RestartTest, EveryAcceptedEventArrivesOnceAndInOrder) {
  constexpr int kConsumers = 2;
  constexpr int kSuppliers = 3;
  std::vector<std::unique_ptr<RecordingSink>> sinks;
  std::vector<INotificationConsumer*> consumers;
  for (int i = 0; i < kConsumers; ++i) {
    sinks.emplace_back(new RecordingSink);
    consumers.push_back(
        Create<INotificationConsumer>(CreateNotificationConsumer, IID_INotificationConsumer));
    ASSERT_EQ(S_OK, consumers.back()->Connect(Settings(sinks.back().get()), 1));
  }
  std::vector<std::unique_ptr<Publisher>> publishers;
  for (int i = 0; i < kSuppliers; ++i) {
    auto* supplier =
        Create<INotificationSupplier>(CreateNotificationSupplier, IID_INotificationSupplier);
    std::string module = "supplier" + std::to_string(i);
    ASSERT_EQ(S_OK, supplier->Initialize(Settings(), module.c_str()));
    publishers.emplace_back(new Publisher(supplier, module));
  }

  std::this_thread::sleep_for(seconds(1));
  service_->Stop(GetParam().signal);
  std::this_thread::sleep_for(milliseconds(2500));  // past a liveness check
  ASSERT_TRUE(service_->Start());
  std::this_thread::sleep_for(seconds(4));  // past the reconnection timers
  for (auto& publisher : publishers) publisher->Stop();

  std::map<std::string, std::vector<uint32_t>> accepted;
  std::size_t total = 0;
  for (auto& publisher : publishers) {
    accepted[publisher->module()] = publisher->accepted();
    total += accepted[publisher->module()].size();
  }
  for (int c = 0; c < kConsumers; ++c) {
    SCOPED_TRACE("consumer " + std::to_string(c));
    sinks[c]->WaitForEvents(total, seconds(15));
    std::map<std::string, std::vector<uint32_t>> received;
    for (const auto& event : sinks[c]->events()) received[event.module].push_back(event.messageCode);
    int repeated = 0;
    for (const auto& supplier : accepted) {
      const std::vector<uint32_t>& codes = received[supplier.first];
      for (std::size_t i = 1; i < codes.size(); ++i) {
        EXPECT_LE(codes[i - 1], codes[i]) << supplier.first << " out of order at " << i;
        if (codes[i - 1] == codes[i]) ++repeated;
      }
      for (uint32_t code : supplier.second) {
        EXPECT_TRUE(std::binary_search(codes.begin(), codes.end(), code))
            << supplier.first << " accepted " << code << " which never arrived";
      }
    }
    // A crash can repeat the one push that was under way; a planned stop
    // repeats nothing.
    EXPECT_LE(repeated, GetParam().signal == SIGTERM ? 0 : 1);
  }
  EXPECT_EQ(kConsumers, LastCounter("consumer proxies"));
  EXPECT_EQ(kSuppliers, LastCounter("supplier proxies"));
  if (HasFailure()) ADD_FAILURE() << "the service said:\n" << testing::ReadFile(folder_.File("stderr"));

  publishers.clear();
  for (INotificationConsumer* consumer : consumers) consumer->Release();
  EXPECT_EQ(0, service_->Stop());
}

INSTANTIATE_TEST_SUITE_P(
    Stops, RestartTest,
    ::testing::Values(RestartCase{"PlannedStop", SIGTERM, "best-effort"},
                      RestartCase{"CrashWithPersistentEvents", SIGKILL, "persistent"}),
    [](const ::testing::TestParamInfo<RestartCase>& info) { return info.param.name; });

}  // namespace
}  // namespace kestrel
