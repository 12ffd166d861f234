// Activation through the registry, as a client program does it.

#include <gtest/gtest.h>

#include "kestrel/kestrel.h"
#include "platform/library_loader.h"
#include "platform/registry_store.h"
#include "tests/support/test_support.h"

namespace kestrel {
namespace {

class Activation : public ::testing::Test {
 protected:
  void RegisterLibrary() {
    void* library = LoadComponentLibrary(KESTREL_LIBRARY_PATH);
    ASSERT_NE(nullptr, library);
    auto entry = reinterpret_cast<DllRegisterServerFunction>(
        FindLibraryFunction(library, "DllRegisterServer"));
    ASSERT_NE(nullptr, entry);
    ASSERT_EQ(S_OK, entry());
  }

  void PointClassAt(const char* library) {
    RegistryStore().Update([library](RegistryTree& tree) {
      tree.Create(RegistryRoot::kClassesRoot,
                  "CLSID\\{EA1B5AA6-69A5-4EC7-825E-154A09FF80FD}\\InprocServer32")
          ->SetString("", library);
    });
  }

  testing::ScopedRegistry registry_;
};

TEST_F(Activation, FindsBothClassesByEitherProgIdAndCreatesThem) {
  RegisterLibrary();
  struct {
    const char* progId;
    const CLSID* clsid;
    const IID* iid;
  } classes[] = {
      {"Tarnwell Networks System Notification Supplier", &CLSID_NotificationSupplier, &IID_INotificationSupplier},
      {"Tarnwell Networks System Notification Supplier.1", &CLSID_NotificationSupplier, &IID_INotificationSupplier},
      {"Tarnwell Networks System Notification Consumer", &CLSID_NotificationConsumer, &IID_INotificationConsumer},
      {"tarnwell networks system notification consumer.1", &CLSID_NotificationConsumer, &IID_INotificationConsumer},
  };
  for (const auto& cls : classes) {
    CLSID clsid;
    ASSERT_EQ(S_OK, CLSIDFromProgID(cls.progId, &clsid)) << cls.progId;
    EXPECT_TRUE(IsEqualGUID(*cls.clsid, clsid));
    IUnknown* object = nullptr;
    ASSERT_EQ(S_OK, CoCreateInstance(clsid, nullptr, *cls.iid, reinterpret_cast<void**>(&object)));
    ASSERT_NE(nullptr, object);
    EXPECT_EQ(0u, object->Release());
  }
}

TEST_F(Activation, UnregisteredNamesAndClassesHaveTheirCodes) {
  CLSID clsid;
  EXPECT_EQ(CO_E_CLASSSTRING, CLSIDFromProgID("No Such Class", &clsid));
  EXPECT_EQ(E_INVALIDARG, CLSIDFromProgID(nullptr, &clsid));
  void* out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(REGDB_E_CLASSNOTREG,
            CoCreateInstance(CLSID_NotificationSupplier, nullptr, IID_IUnknown, &out));
  EXPECT_EQ(nullptr, out);
}

TEST_F(Activation, MissingLibraryOrEntryPointHaveTheirCodes) {
  void* out = nullptr;
  PointClassAt("/nonexistent/libkestrel.so");
  EXPECT_EQ(CO_E_DLLNOTFOUND, CoCreateInstance(CLSID_NotificationSupplier, nullptr, IID_IUnknown, &out));
  PointClassAt("libm.so.6");
  EXPECT_EQ(CO_E_ERRORINDLL, CoCreateInstance(CLSID_NotificationSupplier, nullptr, IID_IUnknown, &out));
}

TEST_F(Activation, FactoryAnswersPassThrough) {
  RegisterLibrary();
  void* out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(E_NOINTERFACE,
            CoCreateInstance(CLSID_NotificationSupplier, nullptr, IID_INotificationConsumer, &out));
  EXPECT_EQ(nullptr, out);
}

TEST(GuidText, RoundTripsTheStandardForm) {
  char text[39];
  StringFromGUID(CLSID_NotificationSupplier, text);
  EXPECT_STREQ("{EA1B5AA6-69A5-4EC7-825E-154A09FF80FD}", text);
  GUID parsed;
  EXPECT_EQ(S_OK, GUIDFromString("{ea1b5aa6-69a5-4ec7-825e-154a09ff80fd}", &parsed));
  EXPECT_TRUE(IsEqualGUID(CLSID_NotificationSupplier, parsed));
  EXPECT_EQ(E_INVALIDARG, GUIDFromString("EA1B5AA6-69A5-4EC7-825E-154A09FF80FD", &parsed));
  EXPECT_EQ(E_INVALIDARG, GUIDFromString("{EA1B5AA6-69A5-4EC7-825E-154A09FF80FG}", &parsed));
  EXPECT_EQ(E_INVALIDARG, GUIDFromString(nullptr, &parsed));
}

}  // namespace
}  // namespace kestrel
