// The process ORB for test programs that use omniORB without a broker of the
// library: strings are marshalled through the ORB's code sets, and only the
// ORB builds type codes at run time. Register it once per program:
//
//   ::testing::Environment* const kOrb =
//       ::testing::AddGlobalTestEnvironment(new kestrel::testing::OrbEnvironment);

#ifndef KESTREL_TESTS_SUPPORT_ORB_ENVIRONMENT_H_
#define KESTREL_TESTS_SUPPORT_ORB_ENVIRONMENT_H_

#include <gtest/gtest.h>

#include <omniORB4/CORBA.h>

namespace kestrel {
namespace testing {

class OrbEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    char name[] = "kestrel_test";
    char* argv[] = {name, nullptr};
    int argc = 1;
    orb() = CORBA::ORB_init(argc, argv);
  }
  void TearDown() override {
    orb()->destroy();
    orb() = CORBA::ORB::_nil();
  }
  static CORBA::ORB_var& orb() {
    static CORBA::ORB_var theOrb;
    return theOrb;
  }
};

}  // namespace testing
}  // namespace kestrel

#endif  // KESTREL_TESTS_SUPPORT_ORB_ENVIRONMENT_H_
