// The supplier end to end: kestrel-channeld in its own process, a plain
// omniORB consumer in the test's, and the supplier as a client makes it.

#include <gtest/gtest.h>
#include <unistd.h>

#include <ace/INET_Addr.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "channel/event_record.h"
#include "kestrel/kestrel.h"
#include "supplier/notification_supplier.h"
#include "tests/channeld/channel_clients.h"
#include "tests/support/channel_service.h"
#include "tests/support/event_collector.h"
#include "tests/support/fake_settings.h"

namespace kestrel {
namespace {

using testing::ChannelService;
using testing::EventCollector;
using testing::FakeSettings;

// Creates a supplier as the class factory does and answers its client
// interface; the creation reference is given back.
INotificationSupplier* NewSupplier() {
  ComObjectBase* object = nullptr;
  EXPECT_EQ(S_OK, CreateNotificationSupplier(nullptr, &object));
  INotificationSupplier* supplier = nullptr;
  EXPECT_EQ(S_OK, object->QueryInterface(IID_INotificationSupplier, reinterpret_cast<void**>(&supplier)));
  object->Release();
  return supplier;
}

std::string LocalHostName() {
  char name[256] = {0};
  ACE_INET_Addr().get_host_name(name, sizeof name);
  return name;
}

// An object that offers IUnknown only.
class PlainObject : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(const IID& riid, void** out) override {
    if (riid == IID_IUnknown) {
      *out = this;
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++count; }
  ULONG STDMETHODCALLTYPE Release() override { return --count; }
  std::atomic<uint32_t> count{1};
};

class Supplier : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(service_.Start()); }

  void TearDown() override {
    for (auto& collector : collectors_) collector->Disconnect();
  }

  EventCollector* Collect() {
    collectors_.emplace_back(new EventCollector);
    collectors_.back()->Connect(orb_.orb(), orb_.poa(), service_.address());
    return collectors_.back().in();
  }

  // Settings for the running service, with the test's reference added for
  // the one that Initialize takes over.
  FakeSettings* SettingsForService() {
    settings_.emplace_back(new FakeSettings(service_.host(), service_.port(), service_.key()));
    settings_.back()->AddRef();
    return settings_.back().get();
  }

  static const Kestrel::EventData* Body(const CosNotification::StructuredEvent& event) {
    return ExtractRecord(event.remainder_of_body);
  }

  testing::TestOrb orb_;
  ChannelService service_;
  std::vector<PortableServer::Servant_var<EventCollector>> collectors_;
  std::vector<std::unique_ptr<FakeSettings>> settings_;
};

TEST_F(Supplier, InitializeRefusesWhatCannotBeUsedAndReleasesOnce) {
  INotificationSupplier* supplier = NewSupplier();
  EXPECT_EQ(E_NOTIFY_INVALIDARG, supplier->Initialize(nullptr, "module"));

  PlainObject plain;
  plain.AddRef();
  EXPECT_EQ(E_NOINTERFACE, supplier->Initialize(&plain, "module"));
  EXPECT_EQ(1u, plain.count);

  FakeSettings* refusing = SettingsForService();
  refusing->set_validateAnswer(1);
  EXPECT_EQ(E_NOTIFY_INVALIDARG, supplier->Initialize(refusing, "module"));
  EXPECT_EQ(1u, refusing->references());
  EXPECT_EQ(0, refusing->calls(FakeSettings::kGetHost));

  EXPECT_EQ(E_NOTIFY_INVALIDARG, supplier->Publish(1, 2, "before Initialize"));
  supplier->Release();
}

TEST_F(Supplier, EveryEventCarriesTheFixedHeaderAndTheRecord) {
  EventCollector* collector = Collect();
  INotificationSupplier* supplier = NewSupplier();
  FakeSettings* settings = SettingsForService();
  ASSERT_EQ(S_OK, supplier->Initialize(settings, "pump-controller"));
  EXPECT_EQ(1u, settings->references());  // the one taken over was released

  EXPECT_EQ(S_OK, supplier->Publish(0, 0xFFFFFFFF, "first"));
  EXPECT_EQ(S_OK, supplier->Publish(0xFFFFFFFF, 0, "second"));
  ASSERT_TRUE(collector->WaitForEvents(2));
  std::vector<CosNotification::StructuredEvent> events = collector->events();

  const uint32_t severities[] = {0, 0xFFFFFFFF};
  const uint32_t codes[] = {0xFFFFFFFF, 0};
  const char* descriptions[] = {"first", "second"};
  for (int i = 0; i < 2; ++i) {
    const CosNotification::StructuredEvent& event = events[i];
    EXPECT_STREQ("TNW", event.header.fixed_header.event_type.domain_name);
    EXPECT_STREQ("Event", event.header.fixed_header.event_type.type_name);
    EXPECT_STREQ("SystemEvent", event.header.fixed_header.event_name);
    EXPECT_EQ(0u, event.header.variable_header.length());
    EXPECT_EQ(0u, event.filterable_data.length());
    const Kestrel::EventData* record = Body(event);
    ASSERT_NE(nullptr, record);
    EXPECT_STREQ("pump-controller", record->mModule);
    EXPECT_EQ(LocalHostName(), std::string(record->mHost));
    EXPECT_EQ(severities[i], record->mSeverity);
    EXPECT_EQ(codes[i], record->mMessageCode);
    EXPECT_STREQ(descriptions[i], record->mDescription);
  }
  supplier->Release();
}

TEST_F(Supplier, NullTextsTravelAsEmptyStrings) {
  EventCollector* collector = Collect();
  INotificationSupplier* supplier = NewSupplier();
  ASSERT_EQ(S_OK, supplier->Initialize(SettingsForService(), nullptr));
  EXPECT_EQ(S_OK, supplier->Publish(7, 8, nullptr));
  ASSERT_TRUE(collector->WaitForEvents(1));
  std::vector<CosNotification::StructuredEvent> events = collector->events();
  const Kestrel::EventData* record = Body(events[0]);
  ASSERT_NE(nullptr, record);
  EXPECT_STREQ("", record->mModule);
  EXPECT_STREQ("", record->mDescription);
  EXPECT_EQ(7u, record->mSeverity);
  supplier->Release();
}

TEST_F(Supplier, ReconnectsOnceWhenTheServiceRestarted) {
  INotificationSupplier* supplier = NewSupplier();
  ASSERT_EQ(S_OK, supplier->Initialize(SettingsForService(), "restart"));
  ASSERT_EQ(S_OK, supplier->Publish(1, 1, "before"));

  ASSERT_TRUE(service_.Restart());
  EventCollector* collector = Collect();
  EXPECT_EQ(S_OK, supplier->Publish(2, 2, "after"));
  ASSERT_TRUE(collector->WaitForEvents(1));
  EXPECT_STREQ("after", Body(collector->events()[0])->mDescription);
  supplier->Release();
}

TEST_F(Supplier, ServiceGoneGivesFailAndReleaseStillCompletes) {
  INotificationSupplier* supplier = NewSupplier();
  ASSERT_EQ(S_OK, supplier->Initialize(SettingsForService(), "gone"));
  service_.Stop(SIGKILL);
  EXPECT_EQ(E_FAIL, supplier->Publish(1, 1, "nobody listens"));
  // The failed reconnection kept the old proxy; the next push fails alike.
  EXPECT_EQ(E_FAIL, supplier->Publish(1, 1, "still nobody"));
  EXPECT_EQ(0u, supplier->Release());
}

TEST_F(Supplier, FailedInitializeCanBeRetried) {
  int port = service_.port();
  service_.Stop();
  INotificationSupplier* supplier = NewSupplier();
  FakeSettings* settings = SettingsForService();
  settings->set_port(port);
  HRESULT hr = supplier->Initialize(settings, "retry");
  EXPECT_TRUE(hr == E_CORBA_TRANSIENT || hr == E_CORBA_COMM_FAILURE) << std::hex << hr;
  EXPECT_EQ(1u, settings->references());
  EXPECT_EQ(E_NOTIFY_INVALIDARG, supplier->Publish(1, 1, "not initialised"));

  ASSERT_TRUE(service_.Start());
  EventCollector* collector = Collect();
  FakeSettings* again = SettingsForService();
  ASSERT_EQ(S_OK, supplier->Initialize(again, "retry"));
  EXPECT_EQ(S_OK, supplier->Publish(1, 1, "now"));
  EXPECT_TRUE(collector->WaitForEvents(1));
  supplier->Release();
}

TEST_F(Supplier, SecondInitializeIsRefusedAndPublishingGoesOn) {
  EventCollector* collector = Collect();
  INotificationSupplier* supplier = NewSupplier();
  ASSERT_EQ(S_OK, supplier->Initialize(SettingsForService(), "first"));
  FakeSettings* second = SettingsForService();
  EXPECT_EQ(E_UNEXPECTED, supplier->Initialize(second, "second"));
  EXPECT_EQ(1u, second->references());
  EXPECT_EQ(0, second->calls(FakeSettings::kValidate));
  EXPECT_EQ(S_OK, supplier->Publish(3, 4, "still here"));
  ASSERT_TRUE(collector->WaitForEvents(1));
  EXPECT_STREQ("first", Body(collector->events()[0])->mModule);
  supplier->Release();
}

TEST_F(Supplier, ReleasingOneSupplierLeavesAnotherPublishing) {
  EventCollector* collector = Collect();
  INotificationSupplier* first = NewSupplier();
  INotificationSupplier* second = NewSupplier();
  ASSERT_EQ(S_OK, first->Initialize(SettingsForService(), "first"));
  ASSERT_EQ(S_OK, second->Initialize(SettingsForService(), "second"));
  EXPECT_EQ(0u, first->Release());
  EXPECT_EQ(S_OK, second->Publish(1, 2, "survivor"));
  ASSERT_TRUE(collector->WaitForEvents(1));
  EXPECT_STREQ("second", Body(collector->events()[0])->mModule);
  second->Release();
}


// Two plain services, A and B, serving the same channel key, that the
// supplier names together through its host setting: the host
// "127.0.0.1:PA,iiop:127.0.0.1" and the port PB give the address
// corbaloc:iiop:127.0.0.1:PA,iiop:127.0.0.1:PB/KEY.
class SupplierOfTwoServices : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(first_.Start());
    ASSERT_TRUE(second_.Start());
  }

  void TearDown() override {
    for (auto& collector : collectors_) collector->Disconnect();
  }

  EventCollector* Collect(const ChannelService& service) {
    collectors_.emplace_back(new EventCollector);
    collectors_.back()->Connect(orb_.orb(), orb_.poa(), service.address());
    return collectors_.back().in();
  }

  // Settings naming firstPort, then secondPort, with the test's reference
  // added for the one that Initialize takes over.
  FakeSettings* SettingsFor(int firstPort, int secondPort,
                            const std::string& key = ChannelService::kDefaultChannel) {
    std::string host = "127.0.0.1:" + std::to_string(firstPort) + ",iiop:127.0.0.1";
    settings_.emplace_back(new FakeSettings(host, secondPort, key));
    settings_.back()->AddRef();
    return settings_.back().get();
  }

  FakeSettings* SettingsForBoth() { return SettingsFor(first_.port(), second_.port()); }

  // Publishes description until a call answers S_OK, for up to 20 s (the
  // reconnection takes milliseconds on the loopback). The last answer.
  static HRESULT PublishUntilAccepted(INotificationSupplier* supplier, const char* description) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    HRESULT hr = E_FAIL;
    do {
      hr = supplier->Publish(1, 1, description);
      if (hr == S_OK) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } while (std::chrono::steady_clock::now() < deadline);
    return hr;
  }

  // The suppliers are released however a test ends: one left behind would
  // hold the broker past the test's ORB, and fail the next test's.
  INotificationSupplier* Supplier() {
    suppliers_.emplace_back(NewSupplier());
    return suppliers_.back().get();
  }

  static std::vector<std::string> Descriptions(EventCollector* collector) {
    std::vector<std::string> descriptions;
    for (const CosNotification::StructuredEvent& event : collector->events()) {
      const Kestrel::EventData* record = ExtractRecord(event.remainder_of_body);
      descriptions.push_back(record != nullptr ? record->mDescription.in() : "(no record)");
    }
    return descriptions;
  }

  testing::TestOrb orb_;
  ChannelService first_;
  ChannelService second_;
  std::vector<PortableServer::Servant_var<EventCollector>> collectors_;
  std::vector<std::unique_ptr<FakeSettings>> settings_;
  struct Release {
    void operator()(INotificationSupplier* supplier) const { supplier->Release(); }
  };
  // Declared last, released first: before the settings and the test's ORB.
  std::vector<std::unique_ptr<INotificationSupplier, Release>> suppliers_;
};

TEST_F(SupplierOfTwoServices, KeepsPublishingThroughTheSecondOnceTheFirstIsKilled) {
  EventCollector* atFirst = Collect(first_);
  EventCollector* atSecond = Collect(second_);
  INotificationSupplier* supplier = Supplier();
  ASSERT_EQ(S_OK, supplier->Initialize(SettingsForBoth(), "two-services"));
  ASSERT_EQ(S_OK, supplier->Publish(1, 1, "before"));
  // The first address is used while it answers.
  ASSERT_TRUE(atFirst->WaitForEvents(1));

  ASSERT_EQ(128 + SIGKILL, first_.Stop(SIGKILL));
  ASSERT_EQ(S_OK, PublishUntilAccepted(supplier, "recovered"));
  for (const char* description : {"after 1", "after 2", "after 3"}) {
    EXPECT_EQ(S_OK, supplier->Publish(1, 1, description)) << description;
  }
  ASSERT_TRUE(atSecond->WaitForEvents(4));
  EXPECT_EQ((std::vector<std::string>{"recovered", "after 1", "after 2", "after 3"}),
            Descriptions(atSecond));
}

TEST_F(SupplierOfTwoServices, AReconnectionStartsFromTheFirstAddressAgain) {
  INotificationSupplier* supplier = Supplier();
  ASSERT_EQ(S_OK, supplier->Initialize(SettingsForBoth(), "two-services"));
  ASSERT_EQ(128 + SIGKILL, first_.Stop(SIGKILL));
  ASSERT_EQ(S_OK, PublishUntilAccepted(supplier, "through the second"));

  // The first comes back (on its port, without its proxies) and the second
  // goes: the supplier's proxy is now at the second, and the channel is
  // found at the first.
  ASSERT_TRUE(first_.Restart());
  EventCollector* atFirst = Collect(first_);
  ASSERT_EQ(128 + SIGKILL, second_.Stop(SIGKILL));
  ASSERT_EQ(S_OK, PublishUntilAccepted(supplier, "back at the first"));
  ASSERT_TRUE(atFirst->WaitForEvents(1));
  EXPECT_EQ(std::vector<std::string>{"back at the first"}, Descriptions(atFirst));
}

TEST_F(SupplierOfTwoServices, AReconnectionTakesTheFirstAddressThatAnswers) {
  INotificationSupplier* supplier = Supplier();
  ASSERT_EQ(S_OK, supplier->Initialize(SettingsForBoth(), "two-services"));
  ASSERT_EQ(128 + SIGKILL, first_.Stop(SIGKILL));
  ASSERT_EQ(S_OK, PublishUntilAccepted(supplier, "through the second"));

  // Both answer again, and the supplier's proxy at the second is gone with
  // its restart: the new one comes from the first, not from the service
  // that the supplier used last.
  ASSERT_TRUE(first_.Restart());
  ASSERT_TRUE(second_.Restart());
  EventCollector* atFirst = Collect(first_);
  EventCollector* atSecond = Collect(second_);
  ASSERT_EQ(S_OK, PublishUntilAccepted(supplier, "at the first"));
  ASSERT_TRUE(atFirst->WaitForEvents(1));
  EXPECT_EQ(std::vector<std::string>{"at the first"}, Descriptions(atFirst));
  EXPECT_TRUE(atSecond->events().empty());
}

TEST_F(SupplierOfTwoServices, WithBothGonePublishFailsUntilOneIsBack) {
  INotificationSupplier* supplier = Supplier();
  ASSERT_EQ(S_OK, supplier->Initialize(SettingsForBoth(), "two-services"));
  ASSERT_EQ(128 + SIGKILL, first_.Stop(SIGKILL));
  ASSERT_EQ(128 + SIGKILL, second_.Stop(SIGKILL));
  EXPECT_EQ(E_FAIL, supplier->Publish(1, 1, "nobody listens"));
  EXPECT_EQ(E_FAIL, supplier->Publish(1, 1, "still nobody"));

  ASSERT_TRUE(second_.Restart());
  EventCollector* atSecond = Collect(second_);
  ASSERT_EQ(S_OK, PublishUntilAccepted(supplier, "the second is back"));
  ASSERT_TRUE(atSecond->WaitForEvents(1));
  EXPECT_EQ(std::vector<std::string>{"the second is back"}, Descriptions(atSecond));
}

TEST_F(SupplierOfTwoServices, InitializePassesAnAddressWhereNothingListens) {
  int unused = testing::UnusedPort();
  ASSERT_NE(-1, unused);
  EventCollector* atSecond = Collect(second_);
  INotificationSupplier* supplier = Supplier();
  ASSERT_EQ(S_OK, supplier->Initialize(SettingsFor(unused, second_.port()), "two-services"));
  EXPECT_EQ(S_OK, supplier->Publish(1, 1, "through the second"));
  ASSERT_TRUE(atSecond->WaitForEvents(1));
}

TEST_F(SupplierOfTwoServices, AServicesAnswerOutweighsAnAddressThatGaveNone) {
  int unused = testing::UnusedPort();
  ASSERT_NE(-1, unused);
  INotificationSupplier* supplier = Supplier();
  // Nothing at the first; the second has no such channel.
  HRESULT hr = supplier->Initialize(SettingsFor(unused, second_.port(), "NoSuchChannel"), "m");
  EXPECT_EQ(E_CORBA_OBJECT_NOT_EXIST, hr) << std::hex << hr;
  // Nothing at either.
  hr = supplier->Initialize(SettingsFor(unused, unused), "m");
  EXPECT_EQ(E_CORBA_TRANSIENT, hr) << std::hex << hr;
}

}  // namespace
}  // namespace kestrel
