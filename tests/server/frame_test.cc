// The component frame: entry points, class factories, object identity,
// aggregation and the counts that decide unloading.

#include <gtest/gtest.h>

#include "kestrel/kestrel.h"
#include "server/com_object_base.h"
#include "server/module_counts.h"
#include "tests/support/counting_outer.h"

namespace kestrel {
namespace {

const CLSID kUnknownClass = {0x12345678, 0x1, 0x2, {1, 2, 3, 4, 5, 6, 7, 8}};

IClassFactory* GetFactory(const CLSID& clsid) {
  void* out = nullptr;
  EXPECT_EQ(S_OK, DllGetClassObject(clsid, IID_IClassFactory, &out));
  return static_cast<IClassFactory*>(out);
}

using testing::CountingOuter;

TEST(EntryPoints, HandOutFactoriesForBothInterfacesOnly) {
  for (const CLSID* clsid : {&CLSID_NotificationSupplier, &CLSID_NotificationConsumer}) {
    for (const IID* iid : {&IID_IClassFactory, &IID_IUnknown}) {
      void* out = nullptr;
      ASSERT_EQ(S_OK, DllGetClassObject(*clsid, *iid, &out));
      ASSERT_NE(nullptr, out);
      static_cast<IUnknown*>(out)->Release();
    }
    void* untouched = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(E_NOINTERFACE, DllGetClassObject(*clsid, IID_INotificationSupplier, &untouched));
    EXPECT_EQ(reinterpret_cast<void*>(0x1), untouched);
  }
}

TEST(EntryPoints, UnknownClassIsNotAvailableAndOutIsUntouched) {
  void* untouched = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, DllGetClassObject(kUnknownClass, IID_IClassFactory, &untouched));
  EXPECT_EQ(reinterpret_cast<void*>(0x1), untouched);
  // The interface is checked first, even for an unknown class.
  EXPECT_EQ(E_NOINTERFACE, DllGetClassObject(kUnknownClass, IID_INotificationSink, &untouched));
}

TEST(EntryPoints, EveryCallMakesANewFactory) {
  IClassFactory* first = GetFactory(CLSID_NotificationSupplier);
  IClassFactory* second = GetFactory(CLSID_NotificationSupplier);
  EXPECT_NE(first, second);
  EXPECT_EQ(0u, first->Release());
  EXPECT_EQ(0u, second->Release());
}

TEST(EntryPoints, UnloadFollowsObjectsAndLocksNotFactories) {
  IClassFactory* factory = GetFactory(CLSID_NotificationConsumer);
  EXPECT_EQ(S_OK, DllCanUnloadNow());

  void* object = nullptr;
  ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_INotificationConsumer, &object));
  EXPECT_EQ(S_FALSE, DllCanUnloadNow());
  static_cast<IUnknown*>(object)->Release();
  EXPECT_EQ(S_OK, DllCanUnloadNow());

  EXPECT_EQ(S_OK, factory->LockServer(1));
  EXPECT_EQ(S_FALSE, DllCanUnloadNow());
  EXPECT_EQ(S_OK, factory->LockServer(0));
  EXPECT_EQ(S_OK, DllCanUnloadNow());
  // No lower bound: an extra unlock leaves the count below zero, which still
  // allows unloading.
  EXPECT_EQ(S_OK, factory->LockServer(0));
  EXPECT_EQ(S_OK, DllCanUnloadNow());
  EXPECT_EQ(S_OK, factory->LockServer(1));
  factory->Release();
}

TEST(ClassFactory, AnswersItsOwnInterfacesOnly) {
  IClassFactory* factory = GetFactory(CLSID_NotificationSupplier);
  void* out = nullptr;
  EXPECT_EQ(S_OK, factory->QueryInterface(IID_IUnknown, &out));
  EXPECT_EQ(static_cast<IUnknown*>(factory), out);
  EXPECT_EQ(1u, factory->Release());
  out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(E_NOINTERFACE, factory->QueryInterface(IID_INotificationSupplier, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(0u, factory->Release());
}

TEST(ClassFactory, FreshObjectHasOneReferenceThroughItsClientInterface) {
  IClassFactory* factory = GetFactory(CLSID_NotificationSupplier);
  INotificationSupplier* supplier = nullptr;
  ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_INotificationSupplier,
                                          reinterpret_cast<void**>(&supplier)));
  factory->Release();
  EXPECT_EQ(1, moduleCounts().objects.load());
  EXPECT_EQ(2u, supplier->AddRef());
  EXPECT_EQ(1u, supplier->Release());
  EXPECT_EQ(0u, supplier->Release());
  EXPECT_EQ(0, moduleCounts().objects.load());
}

TEST(ClassFactory, ObjectIdentityIsStableAcrossInterfaces) {
  IClassFactory* factory = GetFactory(CLSID_NotificationConsumer);
  IUnknown* identity = nullptr;
  ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&identity)));
  factory->Release();
  INotificationConsumer* consumer = nullptr;
  ASSERT_EQ(S_OK, identity->QueryInterface(IID_INotificationConsumer, reinterpret_cast<void**>(&consumer)));
  IUnknown* again = nullptr;
  ASSERT_EQ(S_OK, consumer->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&again)));
  EXPECT_EQ(identity, again);
  void* other = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(E_NOINTERFACE, consumer->QueryInterface(IID_INotificationSupplier, &other));
  EXPECT_EQ(nullptr, other);
  again->Release();
  consumer->Release();
  EXPECT_EQ(0u, identity->Release());
}

TEST(ClassFactory, UnofferedInterfaceDestroysTheNewObject) {
  IClassFactory* factory = GetFactory(CLSID_NotificationSupplier);
  int32_t before = moduleCounts().objects.load();
  void* out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(nullptr, IID_INotificationConsumer, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(before, moduleCounts().objects.load());
  factory->Release();
}

TEST(Aggregation, OnlyIUnknownMayBeAskedForWithAnOuter) {
  IClassFactory* factory = GetFactory(CLSID_NotificationSupplier);
  CountingOuter outer;
  void* out = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(CLASS_E_NOAGGREGATION,
            factory->CreateInstance(&outer, IID_INotificationSupplier, &out));
  EXPECT_EQ(reinterpret_cast<void*>(0x1), out);
  EXPECT_EQ(0, moduleCounts().objects.load());
  factory->Release();
}

TEST(Aggregation, ClientInterfaceCountsOnTheOuterObject) {
  IClassFactory* factory = GetFactory(CLSID_NotificationSupplier);
  CountingOuter outer;
  IUnknown* inner = nullptr;
  ASSERT_EQ(S_OK, factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)));
  factory->Release();
  outer.inner = inner;
  testing::ExpectClientInterfaceCountsOnOuter(&outer, inner);

  EXPECT_EQ(1, moduleCounts().objects.load());
  EXPECT_EQ(0u, inner->Release());
  EXPECT_EQ(0, moduleCounts().objects.load());
}

// An object whose member takes and gives back a reference while the object
// is being destroyed.
class ReentrantObject : public ComObjectBase {
 public:
  explicit ReentrantObject(int* destructions) : ComObjectBase(nullptr), destructions_(destructions) {}
  ~ReentrantObject() override {
    AddRef();
    Release();
    ++*destructions_;
  }

 private:
  int* destructions_;
};

TEST(ComObjectBase, ReferencesTakenDuringDestructionDoNotDestroyTwice) {
  int destructions = 0;
  ComObjectBase* object = new ReentrantObject(&destructions);
  EXPECT_EQ(0u, object->Release());
  EXPECT_EQ(1, destructions);
}

TEST(ComObjectBase, NullOutPointerIsRefused) {
  int destructions = 0;
  ComObjectBase* object = new ReentrantObject(&destructions);
  EXPECT_EQ(E_POINTER, object->QueryInterface(IID_IUnknown, nullptr));
  object->Release();
}

}  // namespace
}  // namespace kestrel
