// Channel access: the channel's address composed from the client's
// settings, the resolution of that address to the event channel, and the
// channel's proxies, offline and against kestrel-channeld.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <COS/CosEventComm.hh>
#include <COS/CosNotifyChannelAdmin.hh>
#include <omniORB4/CORBA.h>
#include <omniORB4/IIOP.h>
#include <omniORB4/omniIOR.h>
#include <omniORB4/omniInterceptors.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "channel/channel_access.h"
#include "orb/broker_settings.h"
#include "orb/broker_table.h"
#include "platform/registry_store.h"
#include "tests/support/channel_service.h"
#include "tests/support/fake_settings.h"
#include "tests/support/test_support.h"
#include "tests/support/reference_port.h"

namespace kestrel {
namespace {

using testing::FakeSettings;
using testing::PortInReference;
using CosNotifyChannelAdmin::StructuredProxyPushConsumer;
using CosNotifyChannelAdmin::StructuredProxyPushConsumer_var;
using CosNotifyChannelAdmin::StructuredProxyPushSupplier;
using CosNotifyChannelAdmin::StructuredProxyPushSupplier_var;

constexpr char kSupplierId[] = "KestrelSupplier";
constexpr char kConsumerId[] = "KestrelConsumer";
constexpr char kLoopback[] = "127.0.0.1";

std::string Address(const std::string& host, const std::string& port, const std::string& key) {
  return "corbaloc:iiop:" + host + ":" + port + "/" + key;
}

HRESULT BuildAddress(ChannelAccess& access, const std::string& host, int32_t port,
                     const std::string& key) {
  FakeSettings settings(host, port, key);
  return access.BuildChannelAddress(&settings);
}

bool IsBrokerCode(HRESULT code) {
  return static_cast<uint32_t>(code) >= 0x80040B50u && static_cast<uint32_t>(code) <= 0x80040B75u;
}

// Leaves a recognisable pattern in the stack area that the next call's
// frames reuse, so that a buffer used without being cleared shows it.
__attribute__((noinline)) void DirtyStack() {
  volatile char junk[32768];
  for (volatile char& c : junk) c = 'Z';
}

// A loopback port that is bound but never listened on: every connection to
// it is refused, and no other process can take it while the object lives.
class RefusingPort {
 public:
  RefusingPort() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      port_ = ntohs(address.sin_port);
    }
  }
  ~RefusingPort() {
    if (fd_ >= 0) ::close(fd_);
  }
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;

  int port() const { return port_; }

 private:
  int fd_;
  int port_ = 0;
};

// Serves a servant from the test process while the object lives: under a
// fixed key in omniORB's adapter for corbaloc keys, so that an address
// built like a channel's reaches it, or without a key in an adapter of its
// own. The servant must outlive the object. Calls from other processes can
// still be running when the test is done with a servant, so an adapter of
// its own is destroyed waiting for them; a keyed servant is only called by
// the test's own thread.
// REQUIRES: destroyed before the broker it was activated in.
class ScopedActivation {
 public:
  ScopedActivation(OrbRuntime& runtime, PortableServer::Servant servant,
                   const char* key = nullptr) {
    PortableServer::POA_var root = runtime.GetRootPoa();
    PortableServer::POAManager_var manager = root->the_POAManager();
    if (key != nullptr) {
      CORBA::ORB_var orb = runtime.GetOrb();
      CORBA::Object_var object = orb->resolve_initial_references("omniINSPOA");
      poa_ = PortableServer::POA::_narrow(object);
      id_ = PortableServer::string_to_ObjectId(key);
      poa_->activate_object_with_id(id_.in(), servant);
      PortableServer::POAManager_var insManager = poa_->the_POAManager();
      insManager->activate();
    } else {
      static std::atomic<int> adapters{0};
      std::string name = "ScopedActivation" + std::to_string(++adapters);
      CORBA::PolicyList noPolicies;
      poa_ = root->create_POA(name.c_str(), manager, noPolicies);
      ownsPoa_ = true;
      id_ = poa_->activate_object(servant);
    }
    manager->activate();
    reference_ = poa_->id_to_reference(id_.in());
  }
  ~ScopedActivation() {
    try {
      if (ownsPoa_) {
        poa_->destroy(false /* etherealize */, true /* wait_for_completion */);
      } else {
        poa_->deactivate_object(id_.in());
      }
    } catch (const CORBA::Exception&) {
    }
  }
  ScopedActivation(const ScopedActivation&) = delete;
  ScopedActivation& operator=(const ScopedActivation&) = delete;

  CORBA::Object_ptr reference() const { return reference_.in(); }
  int port() const { return PortInReference(reference_.in()); }

 private:
  PortableServer::POA_var poa_;
  bool ownsPoa_ = false;
  PortableServer::ObjectId_var id_;
  CORBA::Object_var reference_;
};

// An object of another interface than the event channel's.
class IdlePushConsumer : public POA_CosEventComm::PushConsumer {
 public:
  void push(const CORBA::Any&) override {}
  void disconnect_push_consumer() override {}
};

// An object of the interface that it is told to be, answering chosen
// operations with chosen references; operations named obtain_* also take
// the client type and give a proxy id, as the admins' do. Anything else is
// BAD_OPERATION.
class AnsweringServant : public PortableServer::DynamicImplementation {
 public:
  AnsweringServant(CORBA::ORB_ptr orb, const char* interface)
      : orb_(CORBA::ORB::_duplicate(orb)), interface_(interface) {}

  void Answer(const std::string& operation, CORBA::Object_ptr reference) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_[operation] = CORBA::Object::_duplicate(reference);
  }

  void invoke(CORBA::ServerRequest_ptr request) override {
    const std::string operation = request->operation();
    CORBA::Object_var answer;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto found = answers_.find(operation);
      if (found == answers_.end()) throw CORBA::BAD_OPERATION(0, CORBA::COMPLETED_NO);
      answer = CORBA::Object::_duplicate(found->second.in());
    }
    CORBA::NVList_ptr arguments;
    orb_->create_list(0, arguments);
    if (operation.rfind("obtain_", 0) == 0) {
      CORBA::Any clientType;
      clientType <<= CORBA::ULong(0);  // an enum travels as an unsigned long
      arguments->add_value("type", clientType, CORBA::ARG_IN);
      CORBA::Any id;
      id <<= CORBA::Long(1);
      arguments->add_value("proxy_id", id, CORBA::ARG_OUT);
    }
    request->arguments(arguments);
    CORBA::Any result;
    result <<= answer.in();
    // omniORB copies an any that holds a nil reference into one that it
    // cannot marshal, unless the value was marshalled into the any first.
    result.PR_streamToRead();
    request->set_result(result);
  }

  char* _primary_interface(const PortableServer::ObjectId&, PortableServer::POA_ptr) override {
    return CORBA::string_dup(interface_.c_str());
  }

  // omniORB's own version leaks the text of _primary_interface.
  CORBA::Boolean _is_a(const char* repositoryId) override {
    return interface_ == repositoryId ||
           std::strcmp(repositoryId, "IDL:omg.org/CORBA/Object:1.0") == 0;
  }

 private:
  CORBA::ORB_var orb_;
  const std::string interface_;
  std::mutex mutex_;
  std::map<std::string, CORBA::Object_var> answers_;  // guarded by mutex_
};

// Keeps the domain and type of every structured event pushed to it.
class CollectingConsumer : public POA_CosNotifyComm::StructuredPushConsumer {
 public:
  using EventType = std::pair<std::string, std::string>;

  void push_structured_event(const CosNotification::StructuredEvent& event) override {
    const CosNotification::EventType& type = event.header.fixed_header.event_type;
    std::lock_guard<std::mutex> lock(mutex_);
    received_.emplace_back(type.domain_name.in(), type.type_name.in());
    arrived_.notify_all();
  }
  void disconnect_structured_push_consumer() override {}
  void offer_change(const CosNotification::EventTypeSeq&,
                    const CosNotification::EventTypeSeq&) override {}

  // What arrived once count events did, or when limit passed.
  std::vector<EventType> WaitFor(size_t count, std::chrono::seconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait_for(lock, limit, [&] { return received_.size() >= count; });
    return received_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<EventType> received_;  // guarded by mutex_
};

CosNotification::StructuredEvent MakeEvent(const char* domain, const char* type) {
  CosNotification::StructuredEvent event;
  event.header.fixed_header.event_type.domain_name = domain;
  event.header.fixed_header.event_type.type_name = type;
  event.header.fixed_header.event_name = "";
  return event;
}

// The operations that this process sends to other processes while the
// object lives, in order. omniORB's interception points are process-wide
// and take plain functions, hence the one static log.
// REQUIRES: the process ORB exists (a broker was prepared); one at a time.
class SentRequests {
 public:
  SentRequests() {
    Reset();
    omniORB::getInterceptors()->clientSendRequest.add(&Record);
  }
  ~SentRequests() { omniORB::getInterceptors()->clientSendRequest.remove(&Record); }
  SentRequests(const SentRequests&) = delete;
  SentRequests& operator=(const SentRequests&) = delete;

  void Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    log().clear();
  }
  // The operations sent so far that are among names, in order.
  std::vector<std::string> Among(const std::vector<std::string>& names) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> found;
    for (const std::string& operation : log()) {
      if (std::find(names.begin(), names.end(), operation) != names.end()) {
        found.push_back(operation);
      }
    }
    return found;
  }
  size_t total() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return log().size();
  }

 private:
  static CORBA::Boolean Record(omni::omniInterceptors::clientSendRequest_T::info_T& info) {
    std::lock_guard<std::mutex> lock(mutex_);
    log().push_back(info.operation());
    return true;
  }
  static std::vector<std::string>& log() {
    static std::vector<std::string>* operations = new std::vector<std::string>;
    return *operations;
  }
  static std::mutex mutex_;
};

std::mutex SentRequests::mutex_;

// What omniORB traces about object references while the object lives:
// their destruction, and the ones still present when the ORB shuts down.
// There is no other way to see a reference being released.
// REQUIRES: the process ORB exists; one at a time.
class ReferenceTrace {
 public:
  ReferenceTrace() : previousLevel_(omniORB::traceLevel) {
    std::lock_guard<std::mutex> lock(mutex_);
    messages().clear();
    omniORB::setLogFunction(&Record);
    omniORB::traceLevel = 25;
  }
  ~ReferenceTrace() {
    omniORB::traceLevel = previousLevel_;
    omniORB::setLogFunction(&Discard);
  }
  ReferenceTrace(const ReferenceTrace&) = delete;
  ReferenceTrace& operator=(const ReferenceTrace&) = delete;

  int destroyed() const {
    return Count([](const std::string& message) {
      return message.find("ObjRef(") != std::string::npos &&
             message.find(") -- deleted") != std::string::npos;
    });
  }
  // omniORB's count of the references left when the ORB shut down, or -1.
  int presentAtShutdown() const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string& message : messages()) {
      size_t at = message.find("object reference");
      if (at == std::string::npos || message.find("present at ORB shutdown") == std::string::npos) {
        continue;
      }
      size_t digits = message.rfind(' ', at - 2);
      return std::atoi(message.c_str() + (digits == std::string::npos ? 0 : digits + 1));
    }
    return -1;
  }

 private:
  template <class Predicate>
  int Count(Predicate matches) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(std::count_if(messages().begin(), messages().end(), matches));
  }
  static void Record(const char* message) {
    std::lock_guard<std::mutex> lock(mutex_);
    messages().push_back(message);
  }
  static void Discard(const char*) {}
  static std::vector<std::string>& messages() {
    static std::vector<std::string>* recorded = new std::vector<std::string>;
    return *recorded;
  }

  static std::mutex mutex_;
  const CORBA::ULong previousLevel_;
};

std::mutex ReferenceTrace::mutex_;

// ---------------------------------------------------------------------------
// The address: no broker and no service needed.

TEST(ChannelAddress, ComposesHostPortAndKeyFromOneCallOfEachInOrder) {
  ChannelAccess access;
  FakeSettings settings("host1", 2809, "Channel1");
  ASSERT_EQ(S_OK, access.BuildChannelAddress(&settings));
  EXPECT_EQ("corbaloc:iiop:host1:2809/Channel1", access.address());
  std::vector<FakeSettings::Method> expected = {FakeSettings::kValidate, FakeSettings::kGetHost,
                                                FakeSettings::kGetPort,
                                                FakeSettings::kGetObjectKey};
  EXPECT_EQ(expected, settings.settingsCalls());
  EXPECT_EQ(260, settings.hostBufferSize());
  EXPECT_EQ(260, settings.keyBufferSize());
  // No reference is kept beyond the call.
  EXPECT_EQ(1u, settings.references());
  EXPECT_EQ(settings.calls(FakeSettings::kAddRef), settings.calls(FakeSettings::kRelease));
}

// With the machine's TLS files the channel is reached by ssliop, every
// service of a list too; files that cannot be used stop the broker's start
// before anything is started.
TEST(ChannelAddress, TlsSettingsTurnEveryAddressOfTheListToSsliop) {
  testing::TemporaryFolder folder;
  const std::string registry = folder.File("registry.reg");
  RegistryStore(registry).Update([&folder](RegistryTree& tree) {
    tree.Create(RegistryRoot::kLocalMachine, kBrokerSettingsKey)
        ->SetString("TlsCaFile", folder.File("no-such-ca.pem"));
  });
  testing::ScopedEnvironment useRegistry("KESTREL_REGISTRY", registry);
  ChannelAccess access;
  ASSERT_EQ(S_OK, BuildAddress(access, "h1:1,iiop:h2:2,:h3", 3, "K"));
  EXPECT_EQ("corbaloc:iiop:h1:1,iiop:h2:2,:h3:3/K", access.address());
  EXPECT_EQ(E_CORBA_INITIALIZE, access.PrepareBroker(kSupplierId));
  EXPECT_EQ("corbaloc:ssliop:h1:1,ssliop:h2:2,ssliop:h3:3/K", access.address());
  EXPECT_FALSE(access.runtime().started());
  EXPECT_EQ(0, BrokerTable::instance().shares(kSupplierId));
}

TEST(ChannelAddress, RefusedSettingsAreAskedNothingElseAndChangeNothing) {
  for (int32_t answer : {1, -1, 2, INT32_MIN, INT32_MAX}) {
    SCOPED_TRACE(answer);
    ChannelAccess fresh;
    FakeSettings refused("host1", 2809, "Channel1");
    refused.set_validateAnswer(answer);
    EXPECT_EQ(E_NOTIFY_INVALIDARG, fresh.BuildChannelAddress(&refused));
    EXPECT_EQ("", fresh.address());
    EXPECT_EQ(std::vector<FakeSettings::Method>{FakeSettings::kValidate}, refused.settingsCalls());

    ChannelAccess built;
    ASSERT_EQ(S_OK, BuildAddress(built, "host2", 4000, "Channel2"));
    refused.set_host("host3");
    EXPECT_EQ(E_NOTIFY_INVALIDARG, built.BuildChannelAddress(&refused));
    EXPECT_EQ("corbaloc:iiop:host2:4000/Channel2", built.address());
    EXPECT_EQ(0, refused.calls(FakeSettings::kGetHost));
    EXPECT_EQ(0, refused.calls(FakeSettings::kGetPort));
    EXPECT_EQ(0, refused.calls(FakeSettings::kGetObjectKey));
    EXPECT_EQ(0, refused.calls(FakeSettings::kGetSink));
    EXPECT_EQ(1u, refused.references());
  }
}

TEST(ChannelAddress, PortIsWrittenAsItsLow16BitsUnsigned) {
  const struct {
    int32_t stored;
    const char* written;
  } kCases[] = {
      {0, "0"},          {1, "1"},        {2809, "2809"},       {65535, "65535"},
      {65536, "0"},      {70000, "4464"}, {-1, "65535"},        {32768, "32768"},
      {-32768, "32768"}, {-65536, "0"},   {INT32_MAX, "65535"}, {INT32_MIN, "0"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.stored);
    ChannelAccess access;
    ASSERT_EQ(S_OK, BuildAddress(access, "host1", c.stored, "Channel1"));
    EXPECT_EQ(Address("host1", c.written, "Channel1"), access.address());
  }
}

TEST(ChannelAddress, LongestHostAndKeyAreUsedInFull) {
  const std::string host(259, 'h');
  const std::string key = std::string(258, 'k') + "!";
  ChannelAccess access;
  ASSERT_EQ(S_OK, BuildAddress(access, host, 2809, key));
  EXPECT_EQ(Address(host, "2809", key), access.address());
}

TEST(ChannelAddress, TextsFillingTheWholeBufferAreCutAt259Characters) {
  FakeSettings settings("host-", 2809, "key.");
  settings.set_output(FakeSettings::Output::kFillsBuffer);
  ChannelAccess access;
  ASSERT_EQ(S_OK, access.BuildChannelAddress(&settings));
  const std::string host = FakeSettings::FillText("host-", 259);
  const std::string key = FakeSettings::FillText("key.", 259);
  EXPECT_EQ(Address(host, "2809", key), access.address());
}

TEST(ChannelAddress, SettingsThatStoreNothingGiveEmptyTextsAndPortZero) {
  FakeSettings settings;
  settings.set_output(FakeSettings::Output::kNothing);
  ChannelAccess access;
  DirtyStack();
  ASSERT_EQ(S_OK, access.BuildChannelAddress(&settings));
  EXPECT_EQ("corbaloc:iiop::0/", access.address());
}

TEST(ChannelAddress, EmptyKeyEndsTheAddressInASlash) {
  ChannelAccess access;
  ASSERT_EQ(S_OK, BuildAddress(access, "host1", 2809, ""));
  EXPECT_EQ("corbaloc:iiop:host1:2809/", access.address());
}

TEST(ChannelAddress, TextsAreTakenWithoutTrimmingOrEscaping) {
  ChannelAccess access;
  ASSERT_EQ(S_OK, BuildAddress(access, " host:1 ", 2809, "a/b c%zz:"));
  EXPECT_EQ("corbaloc:iiop: host:1 :2809/a/b c%zz:", access.address());
}

TEST(ChannelAddress, EachBuildReplacesTheAddress) {
  ChannelAccess access;
  ASSERT_EQ(S_OK, BuildAddress(access, "host1", 1, "Channel1"));
  ASSERT_EQ(S_OK, BuildAddress(access, "host2", 2, "Channel2"));
  EXPECT_EQ("corbaloc:iiop:host2:2/Channel2", access.address());
}

// ---------------------------------------------------------------------------
// The broker without a service: failures that need no channel.

class ChannelAccessOffline : public ::testing::Test {
 protected:
  testing::ScopedRegistry registry_;
  RefusingPort refusing_;
};

TEST_F(ChannelAccessOffline, ResolveWithoutABrokerFailsAndStartsNothing) {
  ASSERT_NE(0, refusing_.port());
  ChannelAccess access;
  ASSERT_EQ(S_OK, BuildAddress(access, kLoopback, refusing_.port(), "NotifyEventChannel"));
  EXPECT_EQ(E_FAIL, access.ResolveChannel());
  EXPECT_FALSE(access.hasChannel());
  EXPECT_FALSE(access.runtime().started());
  EXPECT_FALSE(BrokerTable::instance().hasProcessOrb());
}

TEST_F(ChannelAccessOffline, ProxyOperationsWithoutAChannelFailAndKeepTheCallersVariable) {
  ChannelAccess access;
  StructuredProxyPushConsumer_var consumer;
  StructuredProxyPushSupplier_var supplier;
  EXPECT_EQ(E_FAIL, access.ObtainProxyPushConsumer(consumer));
  EXPECT_EQ(E_FAIL, access.ObtainProxyPushSupplier(supplier));
  EXPECT_TRUE(CORBA::is_nil(consumer));
  EXPECT_TRUE(CORBA::is_nil(supplier));
  EXPECT_FALSE(BrokerTable::instance().hasProcessOrb());

  // With a broker, and variables that already hold references.
  ASSERT_EQ(S_OK, access.PrepareBroker(kSupplierId));
  CORBA::Object_var object;
  ASSERT_EQ(S_OK, access.runtime().StringToObject(
                      Address(kLoopback, std::to_string(refusing_.port()), "Proxy").c_str(),
                      object));
  consumer = StructuredProxyPushConsumer::_unchecked_narrow(object);
  supplier = StructuredProxyPushSupplier::_unchecked_narrow(object);
  CosNotifyChannelAdmin::StructuredProxyPushConsumer_ptr heldConsumer = consumer.in();
  CosNotifyChannelAdmin::StructuredProxyPushSupplier_ptr heldSupplier = supplier.in();
  EXPECT_EQ(E_FAIL, access.ObtainProxyPushConsumer(consumer));
  EXPECT_EQ(E_FAIL, access.ObtainProxyPushSupplier(supplier));
  EXPECT_EQ(heldConsumer, consumer.in());
  EXPECT_EQ(heldSupplier, supplier.in());
}

TEST_F(ChannelAccessOffline, ReleaseOfANeverResolvedChannelSucceeds) {
  ChannelAccess idle;
  EXPECT_EQ(S_OK, idle.ReleaseChannel());
  EXPECT_FALSE(idle.hasChannel());

  ChannelAccess prepared;
  ASSERT_EQ(S_OK, BuildAddress(prepared, kLoopback, refusing_.port(), "NotifyEventChannel"));
  ASSERT_EQ(S_OK, prepared.PrepareBroker(kConsumerId));
  EXPECT_EQ(S_OK, prepared.ReleaseChannel());
  EXPECT_FALSE(prepared.hasChannel());
  EXPECT_EQ(Address(kLoopback, std::to_string(refusing_.port()), "NotifyEventChannel"),
            prepared.address());
  EXPECT_TRUE(prepared.runtime().started());
}

TEST_F(ChannelAccessOffline, PortWhereNothingListensGivesTransient) {
  ASSERT_NE(0, refusing_.port());
  ChannelAccess access;
  ASSERT_EQ(S_OK, BuildAddress(access, kLoopback, refusing_.port(), "NotifyEventChannel"));
  ASSERT_EQ(S_OK, access.PrepareBroker(kSupplierId));
  HRESULT hr = access.ResolveChannel();
  EXPECT_TRUE(IsBrokerCode(hr)) << std::hex << hr;
  // omniORB reports a refused connection as TRANSIENT.
  EXPECT_EQ(E_CORBA_TRANSIENT, hr) << std::hex << hr;
  EXPECT_FALSE(access.hasChannel());
  // The failure is not remembered: the next attempt contacts the port again.
  EXPECT_EQ(E_CORBA_TRANSIENT, access.ResolveChannel());
}

TEST_F(ChannelAccessOffline, ReservedCharactersGiveTheBrokersCodeNeverACrash) {
  ASSERT_NE(0, refusing_.port());
  const struct {
    const char* host;
    const char* key;
    HRESULT code;
  } kCases[] = {
      // Refused by the address parser.
      {kLoopback, "Channel%zz", E_CORBA_BAD_PARAM},
      {kLoopback, "Notify Channel", E_CORBA_BAD_PARAM},
      {"127.0.0.1:1", "Channel", E_CORBA_BAD_PARAM},
      {"", "Channel", E_CORBA_BAD_PARAM},
      // A key may hold '/' and ':' unescaped; the refused connection shows.
      {kLoopback, "a/b:c", E_CORBA_TRANSIENT},
      {kLoopback, "", E_CORBA_TRANSIENT},
  };
  ChannelAccess access;
  ASSERT_EQ(S_OK, access.PrepareBroker(kSupplierId));
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string("host '") + c.host + "' key '" + c.key + "'");
    ASSERT_EQ(S_OK, BuildAddress(access, c.host, refusing_.port(), c.key));
    HRESULT hr = access.ResolveChannel();
    EXPECT_EQ(c.code, hr) << std::hex << hr;
    EXPECT_FALSE(access.hasChannel());
  }
}

TEST_F(ChannelAccessOffline, ObjectThatIsNotAnEventChannelGivesFailAndNoChannel) {
  ChannelAccess access;
  ASSERT_EQ(S_OK, access.PrepareBroker(kSupplierId));
  IdlePushConsumer notAChannel;
  ScopedActivation foreign(access.runtime(), &notAChannel, "NotAChannel");
  ASSERT_NE(0, foreign.port());
  ASSERT_EQ(S_OK, BuildAddress(access, kLoopback, foreign.port(), "NotAChannel"));
  EXPECT_EQ(E_FAIL, access.ResolveChannel());
  EXPECT_FALSE(access.hasChannel());
  StructuredProxyPushConsumer_var consumer;
  EXPECT_EQ(E_FAIL, access.ObtainProxyPushConsumer(consumer));
  EXPECT_TRUE(CORBA::is_nil(consumer));
}

TEST_F(ChannelAccessOffline, ProxyThatIsNilOrOfAnotherKindGivesFail) {
  ChannelAccess access;
  ASSERT_EQ(S_OK, access.PrepareBroker(kSupplierId));
  CORBA::ORB_var orb = access.runtime().GetOrb();
  IdlePushConsumer otherKind;
  ScopedActivation otherKindActivation(access.runtime(), &otherKind);
  AnsweringServant admin(orb, "IDL:omg.org/CosNotifyChannelAdmin/SupplierAdmin:1.0");
  ScopedActivation adminActivation(access.runtime(), &admin);
  AnsweringServant channel(orb, "IDL:omg.org/CosNotifyChannelAdmin/EventChannel:1.0");
  channel.Answer("_get_default_supplier_admin", adminActivation.reference());
  ScopedActivation channelActivation(access.runtime(), &channel, "ScriptedChannel");
  ASSERT_EQ(S_OK, BuildAddress(access, kLoopback, channelActivation.port(), "ScriptedChannel"));
  ASSERT_EQ(S_OK, access.ResolveChannel());

  // A nil proxy leaves the variable as it was.
  StructuredProxyPushConsumer_var proxy =
      StructuredProxyPushConsumer::_unchecked_narrow(otherKindActivation.reference());
  CosNotifyChannelAdmin::StructuredProxyPushConsumer_ptr held = proxy.in();
  admin.Answer("obtain_notification_push_consumer", CORBA::Object::_nil());
  EXPECT_EQ(E_FAIL, access.ObtainProxyPushConsumer(proxy));
  EXPECT_EQ(held, proxy.in());

  // A proxy that is no structured push consumer replaces it with nil.
  admin.Answer("obtain_notification_push_consumer", otherKindActivation.reference());
  EXPECT_EQ(E_FAIL, access.ObtainProxyPushConsumer(proxy));
  EXPECT_TRUE(CORBA::is_nil(proxy));
  EXPECT_TRUE(access.hasChannel());
}

// ---------------------------------------------------------------------------
// Against kestrel-channeld.

class ChannelAccessWithService : public ::testing::Test {
 protected:
  // Builds the address of the service's channel at index from settings, as
  // the components do, prepares the broker as orbId and resolves.
  HRESULT Connect(ChannelAccess& access, testing::ChannelService& service, const char* orbId,
                  size_t index = 0) {
    FakeSettings settings(service.host(), service.port(), service.key(index));
    HRESULT hr = access.BuildChannelAddress(&settings);
    if (FAILED(hr)) return hr;
    hr = access.PrepareBroker(orbId);
    if (FAILED(hr)) return hr;
    return access.ResolveChannel();
  }

  // The channel at index, resolved by the test itself.
  CosNotifyChannelAdmin::EventChannel_ptr ChannelOf(ChannelAccess& access,
                                                    testing::ChannelService& service,
                                                    size_t index = 0) {
    CORBA::Object_var object;
    if (access.runtime().StringToObject(service.address(index).c_str(), object) != S_OK) {
      return CosNotifyChannelAdmin::EventChannel::_nil();
    }
    return CosNotifyChannelAdmin::EventChannel::_narrow(object);
  }

  testing::ScopedRegistry registry_;
};

TEST_F(ChannelAccessWithService, ResolvesTheChannelAndObtainsBothProxies) {
  testing::ChannelService service;
  ASSERT_TRUE(service.Start());
  ASSERT_EQ(Address(service.host(), std::to_string(service.port()), service.key()),
            service.address());

  ChannelAccess supplierSide;
  ASSERT_EQ(S_OK, Connect(supplierSide, service, kSupplierId));
  EXPECT_TRUE(supplierSide.hasChannel());
  EXPECT_EQ(service.address(), supplierSide.address());
  StructuredProxyPushConsumer_var consumerProxy;
  ASSERT_EQ(S_OK, supplierSide.ObtainProxyPushConsumer(consumerProxy));
  ASSERT_FALSE(CORBA::is_nil(consumerProxy));
  EXPECT_EQ(CosNotifyChannelAdmin::PUSH_STRUCTURED, consumerProxy->MyType());

  ChannelAccess consumerSide;
  ASSERT_EQ(S_OK, Connect(consumerSide, service, kConsumerId));
  StructuredProxyPushSupplier_var supplierProxy;
  ASSERT_EQ(S_OK, consumerSide.ObtainProxyPushSupplier(supplierProxy));
  ASSERT_FALSE(CORBA::is_nil(supplierProxy));
  EXPECT_EQ(CosNotifyChannelAdmin::PUSH_STRUCTURED, supplierProxy->MyType());

  // Both come from the channel's default admins.
  CosNotifyChannelAdmin::EventChannel_var channel = ChannelOf(supplierSide, service);
  ASSERT_FALSE(CORBA::is_nil(channel));
  CosNotifyChannelAdmin::SupplierAdmin_var supplierAdmin = channel->default_supplier_admin();
  CosNotifyChannelAdmin::SupplierAdmin_var consumerProxyAdmin = consumerProxy->MyAdmin();
  EXPECT_TRUE(supplierAdmin->_is_equivalent(consumerProxyAdmin));
  CosNotifyChannelAdmin::ConsumerAdmin_var consumerAdmin = channel->default_consumer_admin();
  CosNotifyChannelAdmin::ConsumerAdmin_var supplierProxyAdmin = supplierProxy->MyAdmin();
  EXPECT_TRUE(consumerAdmin->_is_equivalent(supplierProxyAdmin));
}

TEST_F(ChannelAccessWithService, OnlyTheConsumerSideSubscribesAndNeitherOffers) {
  testing::ChannelService service;
  ASSERT_TRUE(service.Start());
  ChannelAccess supplierSide;
  ASSERT_EQ(S_OK, Connect(supplierSide, service, kSupplierId));
  ChannelAccess consumerSide;
  ASSERT_EQ(S_OK, Connect(consumerSide, service, kConsumerId));

  SentRequests sent;
  StructuredProxyPushConsumer_var consumerProxy;
  ASSERT_EQ(S_OK, supplierSide.ObtainProxyPushConsumer(consumerProxy));
  const std::vector<std::string> kChanges = {"subscription_change", "offer_change"};
  EXPECT_TRUE(sent.Among(kChanges).empty());
  EXPECT_EQ(std::vector<std::string>{"obtain_notification_push_consumer"},
            sent.Among({"obtain_notification_push_consumer"}));

  sent.Reset();
  StructuredProxyPushSupplier_var supplierProxy;
  ASSERT_EQ(S_OK, consumerSide.ObtainProxyPushSupplier(supplierProxy));
  EXPECT_EQ(std::vector<std::string>{"subscription_change"}, sent.Among(kChanges));
}

TEST_F(ChannelAccessWithService, EveryConsumerSideCallSubscribesAndObtainsANewProxy) {
  testing::ChannelService service;
  ASSERT_TRUE(service.Start());
  ChannelAccess access;
  ASSERT_EQ(S_OK, Connect(access, service, kConsumerId));

  SentRequests sent;
  StructuredProxyPushSupplier_var proxy;
  ASSERT_EQ(S_OK, access.ObtainProxyPushSupplier(proxy));
  StructuredProxyPushSupplier_var first = StructuredProxyPushSupplier::_duplicate(proxy.in());
  ASSERT_EQ(S_OK, access.ObtainProxyPushSupplier(proxy));
  ASSERT_FALSE(CORBA::is_nil(proxy));
  EXPECT_FALSE(proxy->_is_equivalent(first));

  // The subscription goes out on each call, before the proxy is asked for.
  const std::vector<std::string> expected = {
      "subscription_change", "obtain_notification_push_supplier",
      "subscription_change", "obtain_notification_push_supplier"};
  EXPECT_EQ(expected, sent.Among({"subscription_change", "obtain_notification_push_supplier"}));

  // The admin now has exactly these two proxies, and the variable holds the
  // one that the first call did not give.
  CosNotifyChannelAdmin::EventChannel_var channel = ChannelOf(access, service);
  ASSERT_FALSE(CORBA::is_nil(channel));
  CosNotifyChannelAdmin::ConsumerAdmin_var admin = channel->default_consumer_admin();
  CosNotifyChannelAdmin::ProxyIDSeq_var ids = admin->push_suppliers();
  ASSERT_EQ(2u, ids->length());
  CosNotifyChannelAdmin::ProxySupplier_var a = admin->get_proxy_supplier(ids[0]);
  CosNotifyChannelAdmin::ProxySupplier_var b = admin->get_proxy_supplier(ids[1]);
  EXPECT_TRUE((first->_is_equivalent(a) && proxy->_is_equivalent(b)) ||
              (first->_is_equivalent(b) && proxy->_is_equivalent(a)));
}

// The default consumer admin matches events against its subscriptions, so
// only a subscription to every domain and every type lets all of them through.
TEST_F(ChannelAccessWithService, ConsumerSideSubscriptionLetsEveryDomainAndTypeThrough) {
  testing::ChannelService service;
  ASSERT_TRUE(service.Start());
  ChannelAccess consumerSide;
  ASSERT_EQ(S_OK, Connect(consumerSide, service, kConsumerId));
  ChannelAccess supplierSide;
  ASSERT_EQ(S_OK, Connect(supplierSide, service, kSupplierId));

  CollectingConsumer collector;
  ScopedActivation activation(consumerSide.runtime(), &collector);
  CosNotifyComm::StructuredPushConsumer_var collectorReference =
      CosNotifyComm::StructuredPushConsumer::_narrow(activation.reference());
  StructuredProxyPushSupplier_var supplierProxy;
  ASSERT_EQ(S_OK, consumerSide.ObtainProxyPushSupplier(supplierProxy));
  supplierProxy->connect_structured_push_consumer(collectorReference);
  StructuredProxyPushConsumer_var consumerProxy;
  ASSERT_EQ(S_OK, supplierSide.ObtainProxyPushConsumer(consumerProxy));
  consumerProxy->connect_structured_push_supplier(CosNotifyComm::StructuredPushSupplier::_nil());

  consumerProxy->push_structured_event(MakeEvent("TarnwellCorp", "Kestrel"));
  consumerProxy->push_structured_event(MakeEvent("OtherDomain", "OtherType"));
  const std::vector<CollectingConsumer::EventType> expected = {
      {"TarnwellCorp", "Kestrel"}, {"OtherDomain", "OtherType"}};
  EXPECT_EQ(expected, collector.WaitFor(expected.size(), std::chrono::seconds(20)));

  consumerProxy->disconnect_structured_push_consumer();
  supplierProxy->disconnect_structured_push_supplier();
}

TEST_F(ChannelAccessWithService, RepeatedResolveReplacesTheChannelReference) {
  testing::ChannelService::Options options;
  options.channels = {"ChannelA", "ChannelB"};
  testing::ChannelService service(options);
  ASSERT_TRUE(service.Start());
  ChannelAccess access;
  ASSERT_EQ(S_OK, Connect(access, service, kSupplierId, 0));
  StructuredProxyPushConsumer_var fromFirst;
  ASSERT_EQ(S_OK, access.ObtainProxyPushConsumer(fromFirst));

  // The same address again: a fresh reference to the same channel, and the
  // one held before is destroyed on top of what resolving from nothing
  // destroys.
  ASSERT_EQ(S_OK, access.ReleaseChannel());
  int destroyedFromNothing;
  {
    ReferenceTrace trace;
    ASSERT_EQ(S_OK, access.ResolveChannel());
    destroyedFromNothing = trace.destroyed();
  }
  {
    ReferenceTrace trace;
    ASSERT_EQ(S_OK, access.ResolveChannel());
    EXPECT_EQ(destroyedFromNothing + 1, trace.destroyed());
  }
  EXPECT_TRUE(access.hasChannel());
  StructuredProxyPushConsumer_var again;
  ASSERT_EQ(S_OK, access.ObtainProxyPushConsumer(again));

  // Another channel: the proxies now come from that channel's admin.
  ASSERT_EQ(S_OK, Connect(access, service, kSupplierId, 1));
  StructuredProxyPushConsumer_var fromSecond;
  ASSERT_EQ(S_OK, access.ObtainProxyPushConsumer(fromSecond));

  CosNotifyChannelAdmin::EventChannel_var channelA = ChannelOf(access, service, 0);
  CosNotifyChannelAdmin::EventChannel_var channelB = ChannelOf(access, service, 1);
  ASSERT_FALSE(CORBA::is_nil(channelA));
  ASSERT_FALSE(CORBA::is_nil(channelB));
  CosNotifyChannelAdmin::SupplierAdmin_var adminA = channelA->default_supplier_admin();
  CosNotifyChannelAdmin::SupplierAdmin_var adminB = channelB->default_supplier_admin();
  CosNotifyChannelAdmin::SupplierAdmin_var ofFirst = fromFirst->MyAdmin();
  CosNotifyChannelAdmin::SupplierAdmin_var ofAgain = again->MyAdmin();
  CosNotifyChannelAdmin::SupplierAdmin_var ofSecond = fromSecond->MyAdmin();
  EXPECT_TRUE(adminA->_is_equivalent(ofFirst));
  EXPECT_TRUE(adminA->_is_equivalent(ofAgain));
  EXPECT_TRUE(adminB->_is_equivalent(ofSecond));
  EXPECT_FALSE(adminA->_is_equivalent(ofSecond));
  // What was obtained through the replaced reference lives on at the service.
  EXPECT_EQ(CosNotifyChannelAdmin::PUSH_STRUCTURED, fromFirst->MyType());
}

TEST_F(ChannelAccessWithService, FailedResolveKeepsOrDropsTheReferenceByTheStepThatFailed) {
  testing::ChannelService service;
  ASSERT_TRUE(service.Start());
  ChannelAccess access;
  ASSERT_EQ(S_OK, Connect(access, service, kSupplierId));

  // No object under that key at the service: the narrowing's exception, and
  // the channel held before is kept.
  ASSERT_EQ(S_OK, BuildAddress(access, service.host(), service.port(), "NoSuchChannel"));
  HRESULT hr = access.ResolveChannel();
  EXPECT_EQ(E_CORBA_OBJECT_NOT_EXIST, hr) << std::hex << hr;
  EXPECT_TRUE(access.hasChannel());
  StructuredProxyPushConsumer_var proxy;
  EXPECT_EQ(S_OK, access.ObtainProxyPushConsumer(proxy));

  // An address that the broker cannot parse: kept as well.
  ASSERT_EQ(S_OK, BuildAddress(access, service.host(), service.port(), "Bad%zz"));
  EXPECT_EQ(E_CORBA_BAD_PARAM, access.ResolveChannel());
  EXPECT_TRUE(access.hasChannel());

  // An object that is not a channel: the narrowing gives nil, which replaces
  // the reference.
  IdlePushConsumer notAChannel;
  ScopedActivation foreign(access.runtime(), &notAChannel, "NotAChannel");
  ASSERT_EQ(S_OK, BuildAddress(access, kLoopback, foreign.port(), "NotAChannel"));
  EXPECT_EQ(E_FAIL, access.ResolveChannel());
  EXPECT_FALSE(access.hasChannel());
  StructuredProxyPushConsumer_var untouched = StructuredProxyPushConsumer::_duplicate(proxy.in());
  EXPECT_EQ(E_FAIL, access.ObtainProxyPushConsumer(proxy));
  EXPECT_EQ(untouched.in(), proxy.in());
}

TEST_F(ChannelAccessWithService, ReleaseDropsTheChannelAndResolveReconnects) {
  testing::ChannelService service;
  ASSERT_TRUE(service.Start());
  ChannelAccess access;
  ASSERT_EQ(S_OK, Connect(access, service, kConsumerId));

  SentRequests sent;
  EXPECT_EQ(S_OK, access.ReleaseChannel());
  EXPECT_FALSE(access.hasChannel());
  StructuredProxyPushSupplier_var proxy;
  EXPECT_EQ(E_FAIL, access.ObtainProxyPushSupplier(proxy));
  EXPECT_TRUE(CORBA::is_nil(proxy));
  EXPECT_EQ(0u, sent.total());

  EXPECT_EQ(S_OK, access.ResolveChannel());
  EXPECT_EQ(S_OK, access.ObtainProxyPushSupplier(proxy));
}

TEST_F(ChannelAccessWithService, DestructionReleasesTheChannelWhileTheBrokerExists) {
  testing::ChannelService service;
  ASSERT_TRUE(service.Start());
  auto access = std::make_unique<ChannelAccess>();
  ASSERT_EQ(S_OK, Connect(*access, service, kConsumerId));
  ASSERT_EQ(1, BrokerTable::instance().shares(kConsumerId));

  // The only broker share goes with the object, so the ORB shuts down in its
  // destruction; the channel reference must be gone by then.
  ReferenceTrace trace;
  access.reset();
  EXPECT_FALSE(BrokerTable::instance().hasProcessOrb());
  EXPECT_EQ(0, trace.presentAtShutdown());
  EXPECT_LE(1, trace.destroyed());
}

TEST_F(ChannelAccessWithService, AdminLimitsGiveUnknownAndKeepTheCallersVariable) {
  testing::ChannelService::Options options;
  options.extraArguments = {"--max-suppliers", "1", "--max-consumers", "1"};
  testing::ChannelService service(options);
  ASSERT_TRUE(service.Start());

  ChannelAccess supplierSide;
  ASSERT_EQ(S_OK, Connect(supplierSide, service, kSupplierId));
  StructuredProxyPushConsumer_var consumerProxy;
  ASSERT_EQ(S_OK, supplierSide.ObtainProxyPushConsumer(consumerProxy));
  CosNotifyChannelAdmin::StructuredProxyPushConsumer_ptr heldConsumer = consumerProxy.in();
  HRESULT hr = supplierSide.ObtainProxyPushConsumer(consumerProxy);
  EXPECT_EQ(E_CORBA_UNKNOWN, hr) << std::hex << hr;
  EXPECT_EQ(heldConsumer, consumerProxy.in());

  ChannelAccess consumerSide;
  ASSERT_EQ(S_OK, Connect(consumerSide, service, kConsumerId));
  StructuredProxyPushSupplier_var supplierProxy;
  ASSERT_EQ(S_OK, consumerSide.ObtainProxyPushSupplier(supplierProxy));
  CosNotifyChannelAdmin::StructuredProxyPushSupplier_ptr heldSupplier = supplierProxy.in();
  hr = consumerSide.ObtainProxyPushSupplier(supplierProxy);
  EXPECT_EQ(E_CORBA_UNKNOWN, hr) << std::hex << hr;
  EXPECT_EQ(heldSupplier, supplierProxy.in());
}

}  // namespace
}  // namespace kestrel
