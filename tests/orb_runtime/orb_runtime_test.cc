// Broker runtimes: counted shares of logical brokers over the process ORB,
// run threads in groups of their own, the root adapter.

#include <gtest/gtest.h>
#include <pthread.h>

#include <ace/Reactor.h>
#include <ace/Thread_Manager.h>
#include <omniORB4/CORBA.h>
#include <omniORB4/IIOP.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "orb/broker_settings.h"
#include "orb/broker_table.h"
#include "orb/library_use.h"
#include "orb/orb_argument_list.h"
#include "orb/orb_runtime.h"
#include "platform/registry_store.h"
#include "tests/support/test_support.h"

namespace kestrel {
namespace {

constexpr char kSupplierId[] = "KestrelSupplier";
constexpr char kConsumerId[] = "KestrelConsumer";

HRESULT StartRuntime(OrbRuntime& runtime, const char* orbId) {
  OrbArgumentList arguments(orbId);
  return runtime.Start(arguments);
}

size_t ThreadsInGroup(int group) {
  ACE_thread_t threads[64];
  ssize_t found = ACE_Thread_Manager::instance()->thread_grp_list(group, threads, 64);
  return found < 0 ? 0 : static_cast<size_t>(found);
}

bool PoaManagerActive(const OrbRuntime& runtime) {
  PortableServer::POA_var root = runtime.GetRootPoa();
  if (CORBA::is_nil(root)) return false;
  PortableServer::POAManager_var manager = root->the_POAManager();
  return manager->get_state() == PortableServer::POAManager::ACTIVE;
}

// The host that the first IIOP profile of a stringified reference names.
std::string HostInReference(const OrbRuntime& runtime, const char* ior) {
  CORBA::Object_var object;
  if (runtime.StringToObject(ior, object) != S_OK) return "";
  omniIOR* parsed = object->_PR_getobj()->_getIOR();
  const IOP::TaggedProfileList& profiles = parsed->iopProfiles();
  for (CORBA::ULong i = 0; i < profiles.length(); ++i) {
    if (profiles[i].tag != IOP::TAG_INTERNET_IOP) continue;
    IIOP::ProfileBody body;
    IIOP::unmarshalProfile(profiles[i], body);
    std::string host(body.address.host);
    parsed->release();
    return host;
  }
  parsed->release();
  return "";
}

class Runtime : public ::testing::Test {
 protected:
  // Counts are process-wide; each test looks at what it changed.
  int OrbsCreated() const { return BrokerTable::instance().orbCreations() - creationsBefore_; }
  int LibraryUses() const { return AceLibraryUses() - usesBefore_; }

  testing::ScopedRegistry registry_;
  int creationsBefore_ = BrokerTable::instance().orbCreations();
  int usesBefore_ = AceLibraryUses();
};

TEST_F(Runtime, DestroyOfANeverStartedRuntimeDoesNothing) {
  OrbRuntime runtime;
  EXPECT_EQ(S_OK, runtime.Destroy());
  EXPECT_EQ(S_OK, runtime.Stop());
  EXPECT_EQ(0, LibraryUses());
  EXPECT_EQ(0, OrbsCreated());
  EXPECT_EQ(nullptr, runtime.reactor());
  EXPECT_TRUE(CORBA::is_nil(runtime.GetRootPoa()));
  EXPECT_EQ(E_NOTIFY_INVALIDARG, runtime.ActivatePoaManager());
  CORBA::Object_var object;
  EXPECT_EQ(E_FAIL, runtime.StringToObject("corbaloc:iiop:127.0.0.1:1/Key", object));
  EXPECT_EQ(E_FAIL, runtime.SpawnRunThreads(1));
}

TEST_F(Runtime, SecondStartCountsTheLibraryButInitialisesOnce) {
  {
    OrbRuntime runtime;
    ASSERT_EQ(S_OK, StartRuntime(runtime, kSupplierId));
    ASSERT_EQ(S_OK, StartRuntime(runtime, kSupplierId));
    EXPECT_EQ(1, OrbsCreated());
    EXPECT_EQ(1, BrokerTable::instance().shares(kSupplierId));
    EXPECT_EQ(2, LibraryUses());
    EXPECT_EQ(S_OK, runtime.Destroy());
    EXPECT_EQ(1, LibraryUses());  // one use per successful Destroy
    EXPECT_FALSE(runtime.started());
  }
  EXPECT_FALSE(BrokerTable::instance().hasProcessOrb());
}

TEST_F(Runtime, StopWithoutRunThreadsLeavesTheBrokerStarted) {
  OrbRuntime runtime;
  ASSERT_EQ(S_OK, StartRuntime(runtime, kSupplierId));
  EXPECT_EQ(S_OK, runtime.Stop());
  EXPECT_TRUE(runtime.started());
  CORBA::ORB_var orb = runtime.GetOrb();
  EXPECT_FALSE(CORBA::is_nil(orb));
}

TEST_F(Runtime, RunThreadsRunTheReactorAndAllEndInStop) {
  OrbRuntime runtime;
  ASSERT_EQ(S_OK, StartRuntime(runtime, kConsumerId));
  ASSERT_EQ(S_OK, runtime.SpawnRunThreads(3));
  int group = runtime.runGroup();
  ASSERT_NE(-1, group);
  EXPECT_EQ(3u, ThreadsInGroup(group));

  // A timer on the reactor fires on one of the run threads.
  struct Probe : ACE_Event_Handler {
    std::atomic<bool> fired{false};
    int handle_timeout(const ACE_Time_Value&, const void*) override {
      fired = true;
      return 0;
    }
  } probe;
  runtime.reactor()->schedule_timer(&probe, nullptr, ACE_Time_Value(0, 1000));
  for (int i = 0; i < 500 && !probe.fired; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(probe.fired);
  runtime.reactor()->cancel_timer(&probe);

  EXPECT_EQ(S_OK, runtime.Stop());
  EXPECT_EQ(-1, runtime.runGroup());
  EXPECT_EQ(0u, ThreadsInGroup(group));
  EXPECT_FALSE(runtime.started());
}

TEST_F(Runtime, FailedThreadSpawnLeavesNoGroup) {
  OrbRuntime runtime;
  ASSERT_EQ(S_OK, StartRuntime(runtime, kConsumerId));
  // Every new thread now asks for an impossible stack, as when the system
  // has no room for another thread.
  pthread_attr_t original, impossible;
  ASSERT_EQ(0, pthread_getattr_default_np(&original));
  pthread_attr_init(&impossible);
  ASSERT_EQ(0, pthread_attr_setstacksize(&impossible, size_t{1} << 46));
  ASSERT_EQ(0, pthread_setattr_default_np(&impossible));
  HRESULT hr = runtime.SpawnRunThreads(2);
  pthread_setattr_default_np(&original);
  pthread_attr_destroy(&impossible);
  pthread_attr_destroy(&original);

  EXPECT_EQ(E_FAIL, hr);
  EXPECT_EQ(-1, runtime.runGroup());
  EXPECT_EQ(S_OK, runtime.Stop());
  EXPECT_TRUE(runtime.started());
}

TEST_F(Runtime, DestroyingOneRuntimeLeavesAnotherOfTheSameIdWorking) {
  auto first = std::make_unique<OrbRuntime>();
  OrbRuntime second;
  ASSERT_EQ(S_OK, StartRuntime(*first, kConsumerId));
  ASSERT_EQ(S_OK, StartRuntime(second, kConsumerId));
  ASSERT_EQ(S_OK, first->SpawnRunThreads(2));
  ASSERT_EQ(S_OK, second.SpawnRunThreads(2));
  ASSERT_EQ(S_OK, second.ActivatePoaManager());
  EXPECT_EQ(2, BrokerTable::instance().shares(kConsumerId));

  first.reset();
  EXPECT_EQ(1, BrokerTable::instance().shares(kConsumerId));
  EXPECT_TRUE(BrokerTable::instance().hasProcessOrb());
  CORBA::Object_var object;
  EXPECT_EQ(S_OK, second.StringToObject("corbaloc:iiop:127.0.0.1:9/NotifyEventChannel", object));
  EXPECT_FALSE(CORBA::is_nil(object));
  EXPECT_TRUE(PoaManagerActive(second));
  EXPECT_EQ(2u, ThreadsInGroup(second.runGroup()));
}

TEST_F(Runtime, BrokersOfTheTwoIdsAreCountedApart) {
  auto supplier = std::make_unique<OrbRuntime>();
  OrbRuntime consumer;
  ASSERT_EQ(S_OK, StartRuntime(*supplier, kSupplierId));
  ASSERT_EQ(S_OK, StartRuntime(consumer, kConsumerId));
  ASSERT_EQ(S_OK, consumer.SpawnRunThreads(1));
  EXPECT_EQ(1, OrbsCreated());
  EXPECT_EQ(1, BrokerTable::instance().shares(kSupplierId));
  EXPECT_EQ(1, BrokerTable::instance().shares(kConsumerId));

  supplier.reset();
  EXPECT_EQ(0, BrokerTable::instance().shares(kSupplierId));
  EXPECT_EQ(1, BrokerTable::instance().shares(kConsumerId));
  EXPECT_EQ(S_OK, consumer.ActivatePoaManager());
  EXPECT_EQ(1u, ThreadsInGroup(consumer.runGroup()));
}

TEST_F(Runtime, LastRuntimeDestroysTheProcessOrbAndANewStartMakesAFreshOne) {
  {
    OrbRuntime runtime;
    ASSERT_EQ(S_OK, StartRuntime(runtime, kSupplierId));
    ASSERT_EQ(S_OK, runtime.ActivatePoaManager());
  }
  EXPECT_FALSE(BrokerTable::instance().hasProcessOrb());
  EXPECT_EQ(0, LibraryUses());

  OrbRuntime again;
  ASSERT_EQ(S_OK, StartRuntime(again, kSupplierId));
  EXPECT_EQ(2, OrbsCreated());
  EXPECT_EQ(S_OK, again.ActivatePoaManager());
  EXPECT_TRUE(PoaManagerActive(again));
}

TEST_F(Runtime, FailedStartStaysIdleAndCanBeRetried) {
  OrbRuntime runtime;
  {
    // omniORB refuses a malformed setting from the environment.
    testing::ScopedEnvironment bad("ORBInitRef", "malformed");
    EXPECT_EQ(E_CORBA_INITIALIZE, StartRuntime(runtime, kSupplierId));
  }
  EXPECT_FALSE(runtime.started());
  EXPECT_EQ(0, BrokerTable::instance().shares(kSupplierId));
  EXPECT_EQ(S_OK, StartRuntime(runtime, kSupplierId));
  EXPECT_TRUE(runtime.started());
  // The failed start's library use is not given back; the next Destroy gives
  // back one of the two.
  EXPECT_EQ(2, LibraryUses());
}

TEST_F(Runtime, BadAddressesMapToBadParam) {
  OrbRuntime runtime;
  ASSERT_EQ(S_OK, StartRuntime(runtime, kSupplierId));
  CORBA::Object_var object;
  EXPECT_EQ(E_CORBA_BAD_PARAM, runtime.StringToObject("corbaloc:iiop:127.0.0.1:notaport/Key", object));
  EXPECT_EQ(E_CORBA_BAD_PARAM, runtime.StringToObject("corbaloc:nosuchprotocol:host:1/Key", object));
  EXPECT_EQ(E_CORBA_BAD_PARAM, runtime.StringToObject("not an address", object));
  EXPECT_TRUE(CORBA::is_nil(object));
}

TEST_F(Runtime, CallsOnADestroyedOrbAreMapped) {
  OrbRuntime runtime;
  ASSERT_EQ(S_OK, StartRuntime(runtime, kSupplierId));
  CORBA::ORB_var orb = runtime.GetOrb();
  orb->destroy();
  CORBA::Object_var object;
  HRESULT hr = runtime.StringToObject("corbaloc:iiop:127.0.0.1:9/Key", object);
  EXPECT_TRUE(FAILED(hr));
  EXPECT_EQ(static_cast<HRESULT>(0x80040B00), hr & static_cast<HRESULT>(0xFFFFFF00));
  EXPECT_TRUE(CORBA::is_nil(runtime.GetRootPoa()));
  // Teardown gives the broken broker up; the process can start afresh.
  runtime.~OrbRuntime();
  new (&runtime) OrbRuntime();
  EXPECT_FALSE(BrokerTable::instance().hasProcessOrb());
  EXPECT_EQ(S_OK, StartRuntime(runtime, kSupplierId));
  EXPECT_EQ(S_OK, runtime.ActivatePoaManager());
}

TEST_F(Runtime, StopOnItsOwnRunThreadDoesNotWaitForItself) {
  // As a component object does, hold the ACE library beyond the runtime:
  // ACE must not be finalised while the stopping thread still runs.
  AcquireAceLibrary();
  OrbRuntime runtime;
  ASSERT_EQ(S_OK, StartRuntime(runtime, kConsumerId));
  ASSERT_EQ(S_OK, runtime.SpawnRunThreads(3));
  int group = runtime.runGroup();
  struct StopFromTimer : ACE_Event_Handler {
    OrbRuntime* runtime = nullptr;
    std::atomic<int> result{1};
    int handle_timeout(const ACE_Time_Value&, const void*) override {
      result = runtime->Stop();
      return -1;
    }
  } stopper;
  stopper.runtime = &runtime;
  runtime.reactor()->schedule_timer(&stopper, nullptr, ACE_Time_Value(0, 1000));
  for (int i = 0; i < 1000 && stopper.result == 1; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(S_OK, stopper.result.load());
  EXPECT_FALSE(runtime.started());
  // The thread that stopped is reaped by the next Stop from elsewhere.
  EXPECT_EQ(S_OK, runtime.Stop());
  EXPECT_EQ(0u, ThreadsInGroup(group));
  ReleaseAceLibrary();
}

TEST_F(Runtime, DottedDecimalSettingPublishesNumericAddresses) {
  RegistryStore().Update([](RegistryTree& tree) {
    tree.Create(RegistryRoot::kLocalMachine, kBrokerSettingsKey)->SetDword("ORBDottedDecimalAddresses", 1);
  });
  OrbRuntime runtime;
  ASSERT_EQ(S_OK, StartRuntime(runtime, kSupplierId));
  PortableServer::POA_var root = runtime.GetRootPoa();
  ASSERT_FALSE(CORBA::is_nil(root));
  CORBA::Object_var reference = root->create_reference("IDL:Kestrel/Probe:1.0");
  CORBA::ORB_var orb = runtime.GetOrb();
  CORBA::String_var text = orb->object_to_string(reference);
  EXPECT_EQ("127.0.0.1", HostInReference(runtime, text));
}

}  // namespace
}  // namespace kestrel

namespace kestrel {
namespace {

TEST(ClientOrb, AClientsOwnOrbIsJoinedButNeverDestroyed) {
  int argc = 1;
  char name[] = "client";
  char* argv[] = {name, nullptr};
  CORBA::ORB_var clientOrb = CORBA::ORB_init(argc, argv, "omniORB4");
  int creationsBefore = BrokerTable::instance().orbCreations();
  {
    OrbRuntime runtime;
    ASSERT_EQ(S_OK, StartRuntime(runtime, kConsumerId));
    CORBA::ORB_var joined = runtime.GetOrb();
    EXPECT_TRUE(joined->_is_equivalent(clientOrb));
    EXPECT_EQ(creationsBefore, BrokerTable::instance().orbCreations());
  }
  EXPECT_FALSE(BrokerTable::instance().hasProcessOrb());
  // Still the client's, and still alive.
  CORBA::Object_var root = clientOrb->resolve_initial_references("RootPOA");
  EXPECT_FALSE(CORBA::is_nil(root));
  clientOrb->destroy();
}

}  // namespace
}  // namespace kestrel
