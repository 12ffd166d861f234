#include "tests/hardening/library_under_test.h"

#include <gtest/gtest.h>

#include "platform/library_loader.h"

namespace kestrel {
namespace testing {

namespace {

template <class Interface>
Interface* Create(const CLSID& clsid, const IID& iid) {
  Interface* object = nullptr;
  HRESULT hr = KestrelCreateFromLibrary(LibraryUnderTest::path().c_str(), clsid, nullptr, iid,
                                        reinterpret_cast<void**>(&object));
  EXPECT_EQ(S_OK, hr) << KestrelResultName(hr);
  return object;
}

}  // namespace

LibraryUnderTest::LibraryUnderTest() {
  void* library = LoadComponentLibrary(path().c_str());
  if (library == nullptr) return;
  canUnloadNow = reinterpret_cast<DllCanUnloadNowFunction>(
      FindLibraryFunction(library, "DllCanUnloadNow"));
  registerServer = reinterpret_cast<DllRegisterServerFunction>(
      FindLibraryFunction(library, "DllRegisterServer"));
  unregisterServer = reinterpret_cast<DllRegisterServerFunction>(
      FindLibraryFunction(library, "DllUnregisterServer"));
  if (canUnloadNow == nullptr || registerServer == nullptr || unregisterServer == nullptr) return;
  getClassObject = reinterpret_cast<DllGetClassObjectFunction>(
      FindLibraryFunction(library, "DllGetClassObject"));
}

std::string LibraryUnderTest::path() { return KESTREL_LIBRARY_PATH; }

INotificationSupplier* LibraryUnderTest::NewSupplier() const {
  return Create<INotificationSupplier>(CLSID_NotificationSupplier, IID_INotificationSupplier);
}

INotificationConsumer* LibraryUnderTest::NewConsumer() const {
  return Create<INotificationConsumer>(CLSID_NotificationConsumer, IID_INotificationConsumer);
}

}  // namespace testing
}  // namespace kestrel
