// libkestrel.so as a client meets it: loaded from its file, reached through
// its exported entry points only, its objects created by its own class
// factories. The process then has no broker but the library's, so the
// library's own settings (no traces, no log output) are the ones in force.
//
// The library stays loaded for the life of the process, as activation
// leaves it. Every object handed out carries one reference.

#ifndef KESTREL_TESTS_HARDENING_LIBRARY_UNDER_TEST_H_
#define KESTREL_TESTS_HARDENING_LIBRARY_UNDER_TEST_H_

#include <string>

#include "kestrel/kestrel.h"

namespace kestrel {
namespace testing {

class LibraryUnderTest {
 public:
  // Loads the library at KESTREL_LIBRARY_PATH (the build's libkestrel.so).
  // loaded() tells whether that worked.
  LibraryUnderTest();

  bool loaded() const { return getClassObject != nullptr; }
  static std::string path();

  // The four entry points, straight from the library.
  DllGetClassObjectFunction getClassObject = nullptr;
  DllCanUnloadNowFunction canUnloadNow = nullptr;
  DllRegisterServerFunction registerServer = nullptr;
  DllRegisterServerFunction unregisterServer = nullptr;

  // New objects through the class factories; null (and a failed
  // expectation) when creation fails.
  INotificationSupplier* NewSupplier() const;
  INotificationConsumer* NewConsumer() const;
};

}  // namespace testing
}  // namespace kestrel

#endif  // KESTREL_TESTS_HARDENING_LIBRARY_UNDER_TEST_H_
