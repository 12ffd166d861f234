// Bad input, all at once: what a careless or hostile client can hand the
// library, through every entry point and interface method. Every case
// expects a result code, no crash, no hang, nothing printed (the whole case
// runs with stdout and stderr captured), and every object and reference
// given back; the sanitizer build adds no leak and no invalid access.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kestrel/kestrel.h"
#include "platform/registry_file.h"
#include "platform/registry_store.h"
#include "tests/hardening/library_under_test.h"
#include "tests/hardening/output_capture.h"
#include "tests/support/channel_service.h"
#include "tests/support/fake_settings.h"
#include "tests/support/recording_sink.h"
#include "tests/support/test_support.h"

namespace kestrel {
namespace {

using std::chrono::seconds;
using testing::ChannelService;
using testing::FakeSettings;
using testing::LibraryUnderTest;
using testing::OutputCapture;
using testing::RecordingSink;

// {0BADF00D-0000-4000-8000-00000000BEEF}: neither a class nor an interface
// of the library.
constexpr GUID kStrangerId = {
    0x0BADF00D, 0x0000, 0x4000, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0xBE, 0xEF}};

std::string Named(HRESULT hr) {
  const char* name = KestrelResultName(hr);
  char number[16];
  std::snprintf(number, sizeof number, "0x%08X", static_cast<uint32_t>(hr));
  return name != nullptr ? std::string(name) + " (" + number + ")" : std::string(number);
}

// A failure that the library reports with one of its codes.
::testing::AssertionResult IsKnownFailure(HRESULT hr) {
  if (FAILED(hr) && KestrelResultName(hr) != nullptr) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << Named(hr) << " is not a known failure code";
}

// An object that offers IUnknown only; owned by the test.
class PlainObject : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(const IID& riid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (riid == IID_IUnknown) {
      *out = static_cast<IUnknown*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }
  std::atomic<uint32_t> references{1};
};

// Channel settings whose QueryInterface for IChannelSettings breaks the
// component model's rules in one of two ways.
class RuleBreakingSettings : public FakeSettings {
 public:
  enum class Breach {
    kSuccessWithoutPointer,  // answers S_OK and stores null
    kFailureWithReference,   // answers E_FAIL yet hands out a reference
  };
  RuleBreakingSettings(Breach breach, const ChannelService& service)
      : FakeSettings(service.host(), service.port(), service.key()), breach_(breach) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(const IID& riid, void** out) override {
    if (riid != IID_IChannelSettings || out == nullptr) {
      return FakeSettings::QueryInterface(riid, out);
    }
    if (breach_ == Breach::kSuccessWithoutPointer) {
      *out = nullptr;
      return S_OK;
    }
    FakeSettings::QueryInterface(riid, out);
    return E_FAIL;
  }

 private:
  Breach breach_;
};

// Each case: the library loaded, the output captured from first to last
// call, and at the end nothing printed and no object of the library alive.
class BadInput : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(library_.loaded()) << "cannot load " << LibraryUnderTest::path();
    capture_.reset(new OutputCapture);
  }

  void TearDown() override {
    if (capture_ == nullptr) return;
    EXPECT_EQ("", capture_->Finish()) << "written to stdout or stderr during the case";
    EXPECT_EQ(S_OK, library_.canUnloadNow()) << "an object of the library is still alive";
  }

  LibraryUnderTest library_;
  std::unique_ptr<OutputCapture> capture_;
};

// The same, with a kestrel-channeld on a loopback port, started before the
// capture so that only the test process's own output is looked at.
class BadInputWithChannel : public BadInput {
 protected:
  BadInputWithChannel() : service_(Options()) {}

  static ChannelService::Options Options() {
    ChannelService::Options options;
    options.channels = {ChannelService::kDefaultChannel, LongestKey()};
    // Room for every event of the random run, so that none is discarded.
    options.extraArguments = {"--queue", "200000"};
    return options;
  }

  // The longest key that the library passes on: its buffer holds 260 bytes
  // with the terminator.
  static std::string LongestKey() { return std::string(259, 'k'); }

  void SetUp() override {
    ASSERT_TRUE(service_.Start());
    BadInput::SetUp();
  }

  // Whatever the service was fed, it ends cleanly when asked (and, in the
  // sanitizer build, with nothing leaked).
  void TearDown() override {
    BadInput::TearDown();
    if (!service_.running()) return;
    EXPECT_EQ(0, service_.Stop());
    EXPECT_EQ("", service_.unexpected_output());
  }

  // Settings for the running service, with the reference that Initialize or
  // Connect takes over already added. Owned by the fixture.
  FakeSettings* Settings(IUnknown* sink = nullptr) {
    settings_.emplace_back(new FakeSettings(service_.host(), service_.port(), service_.key()));
    settings_.back()->set_sink(sink);
    settings_.back()->AddRef();
    return settings_.back().get();
  }

  ChannelService service_;
  std::vector<std::unique_ptr<FakeSettings>> settings_;
};

TEST_F(BadInput, EntryPointsAnswerCodesForNullAndUnknownArguments) {
  int sentinel = 0;
  for (const CLSID* clsid : {&CLSID_NotificationSupplier, &CLSID_NotificationConsumer}) {
    EXPECT_EQ(E_POINTER, library_.getClassObject(*clsid, IID_IClassFactory, nullptr));
    EXPECT_EQ(E_POINTER, library_.getClassObject(*clsid, IID_IUnknown, nullptr));
  }
  void* out = &sentinel;
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, library_.getClassObject(kStrangerId, IID_IClassFactory, &out));
  EXPECT_EQ(&sentinel, out) << "a failed DllGetClassObject wrote its out argument";
  EXPECT_EQ(E_NOINTERFACE,
            library_.getClassObject(CLSID_NotificationSupplier, IID_INotificationSupplier, &out));
  EXPECT_EQ(&sentinel, out);

  IClassFactory* factory = nullptr;
  ASSERT_EQ(S_OK, library_.getClassObject(CLSID_NotificationConsumer, IID_IClassFactory,
                                          reinterpret_cast<void**>(&factory)));
  EXPECT_EQ(E_POINTER, factory->QueryInterface(IID_IClassFactory, nullptr));
  EXPECT_EQ(E_POINTER, factory->CreateInstance(nullptr, IID_INotificationConsumer, nullptr));
  out = &sentinel;
  EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(nullptr, kStrangerId, &out));
  EXPECT_EQ(nullptr, out);
  PlainObject outer;
  EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(&outer, IID_INotificationConsumer, &out));
  EXPECT_EQ(1u, outer.references);
  EXPECT_EQ(0u, factory->Release());

  // The client library's activation functions.
  const std::string path = LibraryUnderTest::path();
  EXPECT_EQ(E_POINTER, KestrelCreateFromLibrary(path.c_str(), CLSID_NotificationSupplier, nullptr,
                                                IID_INotificationSupplier, nullptr));
  out = &sentinel;
  EXPECT_EQ(CO_E_DLLNOTFOUND, KestrelCreateFromLibrary(nullptr, CLSID_NotificationSupplier, nullptr,
                                                       IID_INotificationSupplier, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(CO_E_DLLNOTFOUND, KestrelCreateFromLibrary("", CLSID_NotificationSupplier, nullptr,
                                                       IID_INotificationSupplier, &out));
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE,
            KestrelCreateFromLibrary(path.c_str(), kStrangerId, nullptr, IID_IUnknown, &out));
  EXPECT_EQ(E_POINTER, CoCreateInstance(CLSID_NotificationSupplier, nullptr, IID_IUnknown, nullptr));
  CLSID clsid;
  EXPECT_EQ(E_INVALIDARG, CLSIDFromProgID(nullptr, &clsid));
  EXPECT_EQ(E_INVALIDARG, CLSIDFromProgID("", &clsid));
  EXPECT_EQ(E_INVALIDARG,
            CLSIDFromProgID("Tarnwell Networks System Notification Supplier", nullptr));
  GUID guid;
  EXPECT_EQ(E_INVALIDARG, GUIDFromString(nullptr, &guid));
  EXPECT_EQ(E_INVALIDARG, GUIDFromString("{EA1B5AA6-69A5-4EC7-825E-154A09FF80FD}", nullptr));
  EXPECT_EQ(E_INVALIDARG, GUIDFromString("{EA1B5AA6-69A5-4EC7-825E-154A09FF80F", &guid));
  EXPECT_EQ(nullptr, KestrelResultName(static_cast<HRESULT>(0x12345678)));
}

TEST_F(BadInput, ObjectsAnswerCodesForNullArgumentsBeforeAnyConnection) {
  INotificationSupplier* supplier = library_.NewSupplier();
  INotificationConsumer* consumer = library_.NewConsumer();
  ASSERT_NE(nullptr, supplier);
  ASSERT_NE(nullptr, consumer);
  int sentinel = 0;
  for (IUnknown* object : {static_cast<IUnknown*>(supplier), static_cast<IUnknown*>(consumer)}) {
    for (const IID* iid : {&IID_IUnknown, &IID_INotificationSupplier, &IID_INotificationConsumer,
                           &kStrangerId}) {
      EXPECT_EQ(E_POINTER, object->QueryInterface(*iid, nullptr));
    }
    void* out = &sentinel;
    EXPECT_EQ(E_NOINTERFACE, object->QueryInterface(kStrangerId, &out));
    EXPECT_EQ(nullptr, out);
  }
  EXPECT_EQ(E_NOTIFY_INVALIDARG, supplier->Initialize(nullptr, nullptr));
  EXPECT_EQ(E_NOTIFY_INVALIDARG, supplier->Publish(0xFFFFFFFF, 0xFFFFFFFF, nullptr));
  EXPECT_EQ(E_NOTIFY_INVALIDARG, consumer->Connect(nullptr, 0));
  EXPECT_EQ(E_NOTIFY_INVALIDARG, consumer->Connect(nullptr, 0xFFFFFFFF));
  EXPECT_EQ(S_OK, consumer->Disconnect());
  EXPECT_EQ(0u, supplier->Release());
  EXPECT_EQ(0u, consumer->Release());
}

TEST_F(BadInputWithChannel, NullTextsTravelAsEmptyAndUnusableSinksAreRefused) {
  RecordingSink sink;
  INotificationConsumer* consumer = library_.NewConsumer();
  ASSERT_EQ(S_OK, consumer->Connect(Settings(&sink), 1));
  INotificationSupplier* supplier = library_.NewSupplier();
  ASSERT_EQ(S_OK, supplier->Initialize(Settings(), nullptr));
  EXPECT_EQ(S_OK, supplier->Publish(0, 0, nullptr));
  ASSERT_TRUE(sink.WaitForEvents(1));
  EXPECT_EQ("", sink.events()[0].module);
  EXPECT_EQ("", sink.events()[0].description);

  INotificationConsumer* second = library_.NewConsumer();
  FakeSettings* sinkless = Settings(nullptr);
  EXPECT_EQ(E_NOINTERFACE, second->Connect(sinkless, 1));
  PlainObject notASink;
  FakeSettings* wrongSink = Settings(&notASink);
  EXPECT_EQ(E_NOINTERFACE, second->Connect(wrongSink, 1));
  // GetSink answering a failure yet handing out a sink.
  RecordingSink failingGetSink;
  FakeSettings* failing = Settings();
  failing->set_sink(&failingGetSink, E_FAIL);
  HRESULT hr = second->Connect(failing, 1);
  EXPECT_TRUE(hr == S_OK || IsKnownFailure(hr)) << Named(hr);

  EXPECT_EQ(0u, second->Release());
  EXPECT_EQ(0u, supplier->Release());
  EXPECT_EQ(0u, consumer->Release());
  EXPECT_EQ(1u, notASink.references);
  EXPECT_EQ(1u, sink.references());
  EXPECT_EQ(1u, failingGetSink.references());
  for (const auto& settings : settings_) EXPECT_EQ(1u, settings->references());
}

// Settings that refuse, fail, write nothing or write past the end, handed
// to both classes. Each time: a code, the settings released exactly once,
// and the object still usable with good settings afterwards.
TEST_F(BadInputWithChannel, SettingsThatRefuseFailOrWriteGarbage) {
  struct Case {
    const char* name;
    std::function<void(FakeSettings&)> spoil;
    std::function<void(HRESULT, const FakeSettings&)> check;
  };
  const std::string portText = std::to_string(service_.port());
  const auto refused = [](HRESULT hr, const FakeSettings& settings) {
    EXPECT_EQ(E_NOTIFY_INVALIDARG, hr) << Named(hr);
    EXPECT_EQ(0, settings.calls(FakeSettings::kGetHost));
    EXPECT_EQ(0, settings.calls(FakeSettings::kGetSink));
  };
  const auto fails = [](HRESULT hr, const FakeSettings&) { EXPECT_TRUE(IsKnownFailure(hr)); };
  const auto answers = [](HRESULT hr, const FakeSettings&) {
    EXPECT_TRUE(hr == S_OK || IsKnownFailure(hr)) << Named(hr);
  };
  const Case cases[] = {
      {"Validate answers 1", [](FakeSettings& s) { s.set_validateAnswer(1); }, refused},
      {"Validate answers -1", [](FakeSettings& s) { s.set_validateAnswer(-1); }, refused},
      {"Validate answers INT32_MIN",
       [](FakeSettings& s) { s.set_validateAnswer(std::numeric_limits<int32_t>::min()); }, refused},
      {"getters fail and write nothing",
       [](FakeSettings& s) {
         s.set_getterResult(E_FAIL);
         s.set_output(FakeSettings::Output::kNothing);
       },
       fails},
      {"getters write nothing but succeed",
       [](FakeSettings& s) { s.set_output(FakeSettings::Output::kNothing); }, fails},
      // Host and key fill the whole buffer without a terminator. The host's
      // pattern keeps the address on this service: omniORB reads the host up
      // to the first ':' and the port up to the first '/', and the rest,
      // the cut-off key included, becomes an object key that no channel has.
      {"texts fill the buffer without a terminator",
       [portText](FakeSettings& s) {
         s.set_host("127.0.0.1:" + portText + "/");
         s.set_output(FakeSettings::Output::kFillsBuffer);
       },
       [](HRESULT hr, const FakeSettings& settings) {
         EXPECT_TRUE(IsKnownFailure(hr));
         EXPECT_GT(settings.calls(FakeSettings::kGetObjectKey), 0);
       }},
      {"host with characters that no address holds",
       [](FakeSettings& s) { s.set_host("[:/@%zz"); }, fails},
      // Last: a supplier that this initialises refuses every later call.
      {"getters fail yet write usable settings",
       [](FakeSettings& s) { s.set_getterResult(E_FAIL); }, answers},
  };

  RecordingSink sink;
  INotificationSupplier* supplier = library_.NewSupplier();
  INotificationConsumer* consumer = library_.NewConsumer();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSettings* forSupplier = Settings();
    c.spoil(*forSupplier);
    c.check(supplier->Initialize(forSupplier, "spoilt"), *forSupplier);
    EXPECT_EQ(1u, forSupplier->references());

    FakeSettings* forConsumer = Settings(&sink);
    c.spoil(*forConsumer);
    c.check(consumer->Connect(forConsumer, 1), *forConsumer);
    EXPECT_EQ(1u, forConsumer->references());
  }

  // Both objects still work with good settings.
  ASSERT_EQ(S_OK, consumer->Connect(Settings(&sink), 1));
  HRESULT hr = supplier->Initialize(Settings(), "mended");
  // Initialize refuses a second call once one succeeded.
  ASSERT_TRUE(hr == S_OK || hr == E_UNEXPECTED) << Named(hr);
  EXPECT_EQ(S_OK, supplier->Publish(1, 2, "after the garbage"));
  ASSERT_TRUE(sink.WaitForEvents(1));
  EXPECT_EQ("after the garbage", sink.events()[0].description);
  EXPECT_EQ(0u, supplier->Release());
  EXPECT_EQ(0u, consumer->Release());
  EXPECT_EQ(1u, sink.references());
}

// QueryInterface for IChannelSettings answering S_OK with a null pointer,
// or a failure while handing out a reference: the library answers a code,
// calls nothing through the null pointer, and gives back what it was given.
const RuleBreakingSettings::Breach kBreaches[] = {
    RuleBreakingSettings::Breach::kSuccessWithoutPointer,
    RuleBreakingSettings::Breach::kFailureWithReference,
};

TEST_F(BadInputWithChannel, SupplierSurvivesSettingsWhoseQueryInterfaceBreaksTheRules) {
  for (RuleBreakingSettings::Breach breach : kBreaches) {
    SCOPED_TRACE(static_cast<int>(breach));
    RuleBreakingSettings settings(breach, service_);
    settings.AddRef();
    INotificationSupplier* supplier = library_.NewSupplier();
    EXPECT_TRUE(IsKnownFailure(supplier->Initialize(&settings, "module")));
    EXPECT_EQ(1u, settings.references());
    EXPECT_EQ(0u, supplier->Release());
  }
}

TEST_F(BadInputWithChannel, ConsumerSurvivesSettingsWhoseQueryInterfaceBreaksTheRules) {
  RecordingSink sink;
  for (RuleBreakingSettings::Breach breach : kBreaches) {
    SCOPED_TRACE(static_cast<int>(breach));
    RuleBreakingSettings settings(breach, service_);
    settings.set_sink(&sink);
    settings.AddRef();
    INotificationConsumer* consumer = library_.NewConsumer();
    EXPECT_TRUE(IsKnownFailure(consumer->Connect(&settings, 1)));
    EXPECT_EQ(1u, settings.references());
    EXPECT_EQ(0u, consumer->Release());
    EXPECT_EQ(1u, sink.references());
  }
}

// Only the port's low 16 bits count, and a key is cut after 259 bytes.
TEST_F(BadInputWithChannel, PortsAndKeysAtAndBeyondTheirLimits) {
  const int32_t port = service_.port();
  // A key that no service on this machine serves, so that whatever listens
  // on the ports tried answers a failure.
  const std::string strangerKey = "NoSuchChannel" + std::to_string(::getpid());
  const struct {
    const char* name;
    int32_t port;
    std::string key;
    bool connects;
  } cases[] = {
      {"port plus 65536", port + 65536, service_.key(), true},
      {"port minus 65536", port - 65536, service_.key(), true},
      {"port with every high bit set",
       static_cast<int32_t>(0xFFFF0000u | static_cast<uint32_t>(port)), service_.key(), true},
      {"port 0", 0, service_.key(), false},
      {"port 65536", 65536, service_.key(), false},
      {"port INT32_MIN", std::numeric_limits<int32_t>::min(), service_.key(), false},
      {"port INT32_MAX", std::numeric_limits<int32_t>::max(), strangerKey, false},
      {"port -1", -1, strangerKey, false},
      {"empty key", port, "", false},
      {"longest key", port, LongestKey(), true},
      {"key one byte too long", port, LongestKey() + "X", true},
      {"key far too long", port, LongestKey() + std::string(100000, 'X'), true},
      {"key one byte short", port, std::string(258, 'k'), false},
      {"key with a bad escape", port, "Notify%zzChannel", false},
      {"key with bytes above 127", port, "Notify\xC3\xA9\xFF", false},
  };
  RecordingSink sink;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSettings* forSupplier = Settings();
    forSupplier->set_port(c.port);
    forSupplier->set_key(c.key);
    INotificationSupplier* supplier = library_.NewSupplier();
    HRESULT hr = supplier->Initialize(forSupplier, "limits");
    if (c.connects) {
      EXPECT_EQ(S_OK, hr) << Named(hr);
      EXPECT_EQ(S_OK, supplier->Publish(1, 1, c.name));
    } else {
      EXPECT_TRUE(IsKnownFailure(hr));
    }
    EXPECT_EQ(0u, supplier->Release());

    FakeSettings* forConsumer = Settings(&sink);
    forConsumer->set_port(c.port);
    forConsumer->set_key(c.key);
    INotificationConsumer* consumer = library_.NewConsumer();
    hr = consumer->Connect(forConsumer, 1);
    if (c.connects) {
      EXPECT_EQ(S_OK, hr) << Named(hr);
    } else {
      EXPECT_TRUE(IsKnownFailure(hr));
    }
    EXPECT_EQ(0u, consumer->Release());
    EXPECT_EQ(1u, forSupplier->references());
    EXPECT_EQ(1u, forConsumer->references());
  }
  EXPECT_EQ(1u, sink.references());
}

std::string RandomText(size_t length, unsigned seed) {
  std::string text(length, '\0');
  std::mt19937 random(seed);
  for (char& c : text) c = static_cast<char>(1 + random() % 255);
  return text;
}

// omniORB refuses a message above its giopMaxMsgSize, 2 MB unless
// configured otherwise. Under that default a 1 MB description arrives
// intact, a 10 MB one answers the broker's code, and the supplier goes on
// publishing.
TEST_F(BadInputWithChannel, DescriptionAboveTheDefaultMessageLimitAnswersMarshal) {
  RecordingSink sink;
  INotificationConsumer* consumer = library_.NewConsumer();
  ASSERT_EQ(S_OK, consumer->Connect(Settings(&sink), 1));
  INotificationSupplier* supplier = library_.NewSupplier();
  ASSERT_EQ(S_OK, supplier->Initialize(Settings(), "large"));

  const std::string oneMegabyte = RandomText(1024 * 1024, 1);
  EXPECT_EQ(S_OK, supplier->Publish(1, 1, oneMegabyte.c_str()));
  const std::string tenMegabytes = RandomText(10 * 1024 * 1024, 10);
  HRESULT hr = supplier->Publish(10, 10, tenMegabytes.c_str());
  EXPECT_EQ(E_CORBA_MARSHAL, hr) << Named(hr);
  EXPECT_EQ(S_OK, supplier->Publish(2, 2, "after the large one"));

  EXPECT_TRUE(sink.WaitForEvents(2, seconds(30)));
  std::vector<testing::ReceivedEvent> events = sink.events();
  ASSERT_EQ(2u, events.size());
  EXPECT_TRUE(oneMegabyte == events[0].description) << "the description changed on its way";
  EXPECT_EQ("after the large one", events[1].description);
  EXPECT_EQ(0u, supplier->Release());
  EXPECT_EQ(0u, consumer->Release());
}

// With omniORB's message limit raised through its own configuration (here
// its environment, which kestrel-channeld inherits), 10 MB arrive intact.
class LargeMessages : public BadInputWithChannel {
 protected:
  testing::ScopedEnvironment limit_{"ORBgiopMaxMsgSize", std::to_string(64 * 1024 * 1024)};
};

TEST_F(LargeMessages, TenMegabyteDescriptionArrivesIntact) {
  RecordingSink sink;
  INotificationConsumer* consumer = library_.NewConsumer();
  ASSERT_EQ(S_OK, consumer->Connect(Settings(&sink), 1));
  INotificationSupplier* supplier = library_.NewSupplier();
  ASSERT_EQ(S_OK, supplier->Initialize(Settings(), "large"));

  const std::string description = RandomText(10 * 1024 * 1024, 10);
  HRESULT hr = supplier->Publish(7, 8, description.c_str());
  EXPECT_EQ(S_OK, hr) << Named(hr);
  EXPECT_EQ(S_OK, supplier->Publish(9, 10, "after the large one"));
  EXPECT_TRUE(sink.WaitForEvents(2, seconds(60)));
  std::vector<testing::ReceivedEvent> events = sink.events();
  if (events.size() == 2) {
    EXPECT_EQ(description.size(), events[0].description.size());
    EXPECT_TRUE(description == events[0].description) << "the description changed on its way";
    EXPECT_EQ(7u, events[0].severity);
    EXPECT_EQ(8u, events[0].messageCode);
    EXPECT_EQ("after the large one", events[1].description);
  } else {
    ADD_FAILURE() << events.size() << " events arrived";
  }
  EXPECT_EQ(0u, supplier->Release());
  EXPECT_EQ(0u, consumer->Release());
}

// 100,000 calls with random numbers and random descriptions (any byte but
// NUL, up to 300 bytes, now and then null): every one answers S_OK and
// arrives unchanged, in order.
TEST_F(BadInputWithChannel, HundredThousandRandomPublishesArriveUnchanged) {
  constexpr int kCalls = 100000;
  RecordingSink sink;
  INotificationConsumer* consumer = library_.NewConsumer();
  ASSERT_EQ(S_OK, consumer->Connect(Settings(&sink), 1));
  INotificationSupplier* supplier = library_.NewSupplier();
  ASSERT_EQ(S_OK, supplier->Initialize(Settings(), "random"));

  struct Sent {
    uint32_t severity;
    uint32_t messageCode;
    std::string description;
  };
  std::vector<Sent> sent;
  sent.reserve(kCalls);
  std::mt19937 random(100000);
  int failures = 0;
  for (int i = 0; i < kCalls; ++i) {
    Sent call{static_cast<uint32_t>(random()), static_cast<uint32_t>(random()), std::string()};
    const bool null = random() % 64 == 0;
    if (!null) {
      call.description.resize(random() % 301);
      for (char& c : call.description) c = static_cast<char>(1 + random() % 255);
    }
    HRESULT hr =
        supplier->Publish(call.severity, call.messageCode, null ? nullptr : call.description.c_str());
    if (hr != S_OK && ++failures <= 5) ADD_FAILURE() << "call " << i << ": " << Named(hr);
    sent.push_back(std::move(call));
  }
  EXPECT_EQ(0, failures);
  ASSERT_TRUE(sink.WaitForEvents(kCalls, seconds(60))) << sink.count() << " arrived";
  std::vector<testing::ReceivedEvent> events = sink.events();
  ASSERT_EQ(static_cast<size_t>(kCalls), events.size());
  int differences = 0;
  for (int i = 0; i < kCalls; ++i) {
    const bool same = events[i].severity == sent[i].severity &&
                      events[i].messageCode == sent[i].messageCode &&
                      events[i].description == sent[i].description && events[i].module == "random";
    if (!same && ++differences <= 5) ADD_FAILURE() << "event " << i << " arrived changed";
  }
  EXPECT_EQ(0, differences);
  EXPECT_EQ(0u, supplier->Release());
  EXPECT_EQ(0u, consumer->Release());
  EXPECT_EQ(1u, sink.references());
}

// A sink that notes any OnEvent made while the library holds no reference
// on it: a delivery to a sink already given back.
class WatchfulSink : public RecordingSink {
 public:
  HRESULT STDMETHODCALLTYPE OnEvent(const char* module, const char* host, uint32_t severity,
                                    uint32_t messageCode, const char* description) override {
    if (references() < 2) ++lateDeliveries;
    return RecordingSink::OnEvent(module, host, severity, messageCode, description);
  }
  std::atomic<int> lateDeliveries{0};
};

// Several threads, each with objects of its own, connect, disconnect and
// release at once while a supplier keeps publishing to all of them.
TEST_F(BadInputWithChannel, ConnectDisconnectReleaseFromSeveralThreadsAtOnce) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 40;
  std::vector<std::unique_ptr<WatchfulSink>> sinks;
  std::vector<FakeSettings*> perThreadSettings;
  for (int t = 0; t < kThreads; ++t) {
    sinks.emplace_back(new WatchfulSink);
    for (int r = 0; r < kRounds + 1; ++r) perThreadSettings.push_back(Settings(sinks.back().get()));
  }
  INotificationSupplier* publisher = library_.NewSupplier();
  ASSERT_EQ(S_OK, publisher->Initialize(Settings(), "steady"));

  std::atomic<bool> stop{false};
  std::atomic<int> publishFailures{0};
  std::thread publishing([&] {
    uint32_t n = 0;
    while (!stop) {
      if (publisher->Publish(n, n, "steady") != S_OK) ++publishFailures;
      ++n;
    }
  });

  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      FakeSettings** settings = &perThreadSettings[t * (kRounds + 1)];
      INotificationConsumer* consumer = library_.NewConsumer();
      INotificationSupplier* supplier = library_.NewSupplier();
      if (consumer == nullptr || supplier == nullptr) {
        ++failures;
        return;
      }
      for (int r = 0; r < kRounds; ++r) {
        if (consumer->Connect(settings[r], static_cast<uint32_t>(1 + r % 3)) != S_OK) ++failures;
        if (r % 2 == 0 && consumer->Disconnect() != S_OK) ++failures;
      }
      // Connected after the last round: deliveries are under way when the
      // consumer is released.
      if (!sinks[t]->WaitForEvents(1, seconds(10))) ++failures;
      if (supplier->Initialize(settings[kRounds], "threads") != S_OK) ++failures;
      if (supplier->Publish(static_cast<uint32_t>(t), 0, "from a thread") != S_OK) ++failures;
      if (supplier->Release() != 0) ++failures;
      if (consumer->Release() != 0) ++failures;
    });
  }
  for (std::thread& thread : threads) thread.join();
  stop = true;
  publishing.join();

  EXPECT_EQ(0, failures);
  EXPECT_EQ(0, publishFailures);
  EXPECT_EQ(0u, publisher->Release());
  for (const auto& sink : sinks) {
    EXPECT_EQ(1u, sink->references());
    EXPECT_EQ(0, sink->lateDeliveries.load());
  }
  for (const auto& settings : settings_) EXPECT_EQ(1u, settings->references());
}

// A registry file of random bytes reads as empty, is never rewritten, and
// leaves the library working.
TEST_F(BadInputWithChannel, RegistryFileOfRandomBytes) {
  testing::ScopedRegistry registry;
  std::string garbage(64 * 1024, '\0');
  std::mt19937 random(64);
  for (char& c : garbage) c = static_cast<char>(random());
  testing::WriteFile(registry.path(), garbage);
  RegistryTree parsed;
  ASSERT_FALSE(ParseRegistryText(garbage, &parsed)) << "the bytes happen to be a registry";

  RegistryStore store;
  RegistryTree tree;
  tree.Create(RegistryRoot::kLocalMachine, "SOFTWARE\\Left\\Over");
  EXPECT_EQ(RegistryStatus::kMalformed, store.Load(&tree));
  EXPECT_TRUE(tree.top().Subkeys().empty());
  bool changed = false;
  EXPECT_EQ(RegistryStatus::kMalformed, store.Update([&changed](RegistryTree&) { changed = true; }));
  EXPECT_FALSE(changed);
  uint32_t number = 0;
  std::string text;
  EXPECT_FALSE(store.ReadDword(RegistryRoot::kLocalMachine, "SOFTWARE\\Tarnwell Networks\\Common",
                               "ORBDottedDecimalAddresses", &number));
  EXPECT_FALSE(store.ReadString(RegistryRoot::kClassesRoot, "CLSID", "", &text));

  // Nothing could be written, and registration says so.
  EXPECT_EQ(SELFREG_E_CLASS, library_.registerServer());
  EXPECT_EQ(SELFREG_E_CLASS, library_.unregisterServer());
  EXPECT_TRUE(garbage == testing::ReadFile(registry.path())) << "the registry file was rewritten";

  CLSID clsid;
  EXPECT_EQ(CO_E_CLASSSTRING,
            CLSIDFromProgID("Tarnwell Networks System Notification Supplier", &clsid));
  void* out = &clsid;
  EXPECT_EQ(REGDB_E_CLASSNOTREG,
            CoCreateInstance(CLSID_NotificationSupplier, nullptr, IID_IUnknown, &out));
  EXPECT_EQ(nullptr, out);

  // The broker's settings are read from the same file when the first
  // object starts it; the unreadable file leaves them at their defaults.
  RecordingSink sink;
  INotificationConsumer* consumer = library_.NewConsumer();
  ASSERT_EQ(S_OK, consumer->Connect(Settings(&sink), 1));
  INotificationSupplier* supplier = library_.NewSupplier();
  ASSERT_EQ(S_OK, supplier->Initialize(Settings(), "unregistered"));
  EXPECT_EQ(S_OK, supplier->Publish(1, 2, "despite the registry"));
  EXPECT_TRUE(sink.WaitForEvents(1));
  EXPECT_EQ(0u, supplier->Release());
  EXPECT_EQ(0u, consumer->Release());
  EXPECT_TRUE(garbage == testing::ReadFile(registry.path()));

  // Nothing was left beside the file but the writers' lock.
  std::vector<std::string> names;
  for (const auto& entry :
       std::filesystem::directory_iterator(std::filesystem::path(registry.path()).parent_path())) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ((std::vector<std::string>{"registry.reg", "registry.reg.lock"}), names);
}

}  // namespace
}  // namespace kestrel
