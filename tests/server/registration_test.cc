// Self-registration of the real library, loaded as a client would load it.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <string>
#include <vector>

#include "kestrel/kestrel.h"
#include "platform/library_loader.h"
#include "platform/registry_store.h"
#include "tests/support/test_support.h"

namespace kestrel {
namespace {

using testing::ReadFile;
using testing::ScopedRegistry;
using testing::WriteFile;

struct Expected {
  std::string key;
  std::string valueName;
  std::string data;
};

std::vector<Expected> KeysOf(const std::string& clsid, const std::string& name,
                             const std::string& library) {
  const std::string progId = name + ".1";
  return {
      {"CLSID\\" + clsid, "", name},
      {"CLSID\\" + clsid + "\\InprocServer32", "", library},
      {"CLSID\\" + clsid + "\\InprocServer32", "ThreadingModel", "Both"},
      {"CLSID\\" + clsid + "\\ProgID", "", progId},
      {"CLSID\\" + clsid + "\\VersionIndependentProgID", "", name},
      {name, "", name},
      {name + "\\CLSID", "", clsid},
      {name + "\\CurVer", "", progId},
      {progId, "", name},
      {progId + "\\CLSID", "", clsid},
  };
}

class Registration : public ::testing::Test {
 protected:
  void SetUp() override {
    void* library = LoadComponentLibrary(KESTREL_LIBRARY_PATH);
    ASSERT_NE(nullptr, library);
    register_ = reinterpret_cast<DllRegisterServerFunction>(
        FindLibraryFunction(library, "DllRegisterServer"));
    unregister_ = reinterpret_cast<DllRegisterServerFunction>(
        FindLibraryFunction(library, "DllUnregisterServer"));
    ASSERT_NE(nullptr, register_);
    ASSERT_NE(nullptr, unregister_);
    char resolved[4096];
    ASSERT_NE(nullptr, ::realpath(KESTREL_LIBRARY_PATH, resolved));
    libraryPath_ = resolved;
  }

  RegistryTree Load() {
    RegistryTree tree;
    EXPECT_EQ(RegistryStatus::kOk, RegistryStore().Load(&tree));
    return tree;
  }

  ScopedRegistry registry_;
  DllRegisterServerFunction register_ = nullptr;
  DllRegisterServerFunction unregister_ = nullptr;
  std::string libraryPath_;
};

const char kSupplierName[] = "Tarnwell Networks System Notification Supplier";
const char kConsumerName[] = "Tarnwell Networks System Notification Consumer";
const char kSupplierClsid[] = "{EA1B5AA6-69A5-4EC7-825E-154A09FF80FD}";
const char kConsumerClsid[] = "{3847351D-1616-4B7F-AA0D-01A0F36AAA3C}";

TEST_F(Registration, WritesTheTenKeysOfEachClassAndNothingElse) {
  EXPECT_EQ(S_OK, register_());
  RegistryTree tree = Load();
  size_t keyCount = 0;
  for (const auto& cls : {std::make_pair(kSupplierClsid, kSupplierName),
                          std::make_pair(kConsumerClsid, kConsumerName)}) {
    for (const Expected& expected : KeysOf(cls.first, cls.second, libraryPath_)) {
      const RegistryKey* key = tree.Find(RegistryRoot::kClassesRoot, expected.key);
      ASSERT_NE(nullptr, key) << expected.key;
      const RegistryValue* value = key->FindValue(expected.valueName);
      ASSERT_NE(nullptr, value) << expected.key << " " << expected.valueName;
      EXPECT_EQ(RegistryValue::Type::kString, value->type);
      EXPECT_EQ(expected.data, value->text) << expected.key;
      // The stored name keeps its case: upper-case identifiers in braces.
      EXPECT_EQ(expected.key.substr(expected.key.rfind('\\') + 1), key->name());
    }
    keyCount += 9;  // InprocServer32 holds two values
  }
  // Besides the nine keys of each class, only the CLSID parent exists.
  const RegistryKey* root = tree.top().Find("HKEY_CLASSES_ROOT");
  ASSERT_NE(nullptr, root);
  EXPECT_EQ(5u, root->Subkeys().size());  // CLSID + 2 names per class
  EXPECT_EQ(2u, root->Find("CLSID")->Subkeys().size());
  EXPECT_EQ(nullptr, tree.top().Find("HKEY_LOCAL_MACHINE"));
  EXPECT_EQ(18u, keyCount);
}

TEST_F(Registration, RegisteringTwiceGivesTheSameFile) {
  register_();
  const std::string once = ReadFile(registry_.path());
  register_();
  EXPECT_EQ(once, ReadFile(registry_.path()));
}

TEST_F(Registration, UnregisterRemovesWholeTreesAndKeepsOtherKeys) {
  register_();
  RegistryStore().Update([](RegistryTree& tree) {
    tree.Create(RegistryRoot::kClassesRoot, std::string("CLSID\\") + kSupplierClsid + "\\Added\\Deeper")
        ->SetString("", "by another tool");
    tree.Create(RegistryRoot::kClassesRoot, "Unrelated.Class")->SetString("", "stays");
  });
  EXPECT_EQ(S_OK, unregister_());
  RegistryTree tree = Load();
  EXPECT_EQ(nullptr, tree.Find(RegistryRoot::kClassesRoot, std::string("CLSID\\") + kSupplierClsid));
  EXPECT_EQ(nullptr, tree.Find(RegistryRoot::kClassesRoot, std::string("CLSID\\") + kConsumerClsid));
  EXPECT_EQ(nullptr, tree.Find(RegistryRoot::kClassesRoot, kSupplierName));
  EXPECT_EQ(nullptr, tree.Find(RegistryRoot::kClassesRoot, std::string(kConsumerName) + ".1"));
  EXPECT_NE(nullptr, tree.Find(RegistryRoot::kClassesRoot, "Unrelated.Class"));
}

TEST_F(Registration, UnregisterWithNothingRegisteredSucceeds) {
  EXPECT_EQ(S_OK, unregister_());
  EXPECT_EQ(S_OK, unregister_());
}

TEST_F(Registration, MalformedRegistryIsLeftUntouchedAndReported) {
  const std::string garbage = "this is not a registry file\n";
  WriteFile(registry_.path(), garbage);
  EXPECT_EQ(SELFREG_E_CLASS, register_());
  EXPECT_EQ(SELFREG_E_CLASS, unregister_());
  EXPECT_EQ(garbage, ReadFile(registry_.path()));
}

// A registry that cannot be written (here: no file may grow beyond 64
// bytes, which holds even for root) fails registration, and unregistration
// when there is something to remove; nothing to remove is success.
TEST_F(Registration, ARegistryThatCannotBeWrittenIsReported) {
  EXPECT_EQ(S_OK, register_());
  RegistryStore().Update([](RegistryTree& tree) {  // more than 64 bytes stay
    tree.Create(RegistryRoot::kLocalMachine, "SOFTWARE\\Tarnwell Networks\\Common")
        ->SetDword("ORBDottedDecimalAddresses", 1);
  });
  const std::string registered = ReadFile(registry_.path());
  struct sigaction ignore = {}, previous = {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(0, ::sigaction(SIGXFSZ, &ignore, &previous));
  rlimit unlimited, small;
  ASSERT_EQ(0, ::getrlimit(RLIMIT_FSIZE, &unlimited));
  small = unlimited;
  small.rlim_cur = 64;
  ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &small));
  HRESULT unregistered = unregister_();
  const std::string afterUnregistering = ReadFile(registry_.path());
  ::remove(registry_.path().c_str());
  HRESULT registeredAgain = register_();
  HRESULT nothingToRemove = unregister_();
  ::setrlimit(RLIMIT_FSIZE, &unlimited);
  ::sigaction(SIGXFSZ, &previous, nullptr);
  EXPECT_EQ(SELFREG_E_CLASS, unregistered);
  EXPECT_EQ(registered, afterUnregistering);
  EXPECT_EQ(SELFREG_E_CLASS, registeredAgain);
  EXPECT_EQ(S_OK, nothingToRemove);
  EXPECT_FALSE(testing::FileExists(registry_.path()));
}

TEST_F(Registration, TwoProcessesRegisteringAtOnceLeaveEveryKey) {
  RegistryStore().Update([](RegistryTree& tree) {
    tree.Create(RegistryRoot::kLocalMachine, "SOFTWARE\\Tarnwell Networks\\Common")
        ->SetDword("ORBDottedDecimalAddresses", 1);
  });
  std::vector<pid_t> children;
  for (int p = 0; p < 2; ++p) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (int i = 0; i < 20; ++i) register_();
      ::_exit(0);
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    ::waitpid(child, &status, 0);
  }
  RegistryTree tree = Load();
  for (const Expected& expected : KeysOf(kSupplierClsid, kSupplierName, libraryPath_)) {
    EXPECT_NE(nullptr, tree.Find(RegistryRoot::kClassesRoot, expected.key)) << expected.key;
  }
  uint32_t value = 0;
  EXPECT_TRUE(RegistryStore().ReadDword(RegistryRoot::kLocalMachine,
                                        "SOFTWARE\\Tarnwell Networks\\Common",
                                        "ORBDottedDecimalAddresses", &value));
}

}  // namespace
}  // namespace kestrel
