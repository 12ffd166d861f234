// The broker settings as Windows keeps them: values of the system registry
// under HKEY_LOCAL_MACHINE, read through the same code as the library's.

#include <windows.h>

#include <gtest/gtest.h>

#include "orb/broker_settings.h"
#include "platform/registry_store.h"

namespace kestrel {
namespace {

class SystemBrokerSettings : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, kBrokerSettingsKey, 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &key_, nullptr));
  }
  void TearDown() override {
    RegCloseKey(key_);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kBrokerSettingsKey);
  }

  void SetDword(const char* name, DWORD value) {
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key_, name, 0, REG_DWORD,
                                            reinterpret_cast<const BYTE*>(&value), sizeof value));
  }

  HKEY key_ = nullptr;
};

TEST_F(SystemBrokerSettings, NumbersAreReadAndMissingOnesKeepTheirDefaults) {
  BrokerSettings defaults = BrokerSettings::Read(RegistryStore());
  EXPECT_FALSE(defaults.dottedDecimalAddresses);
  EXPECT_EQ(10u, defaults.consumerLivenessIntervalSeconds);
  EXPECT_EQ(30000u, defaults.callTimeoutMilliseconds);

  SetDword("ORBDottedDecimalAddresses", 7);
  SetDword("CallTimeout", 2500);
  BrokerSettings read = BrokerSettings::Read(RegistryStore());
  EXPECT_TRUE(read.dottedDecimalAddresses);
  EXPECT_EQ(10u, read.consumerLivenessIntervalSeconds);
  EXPECT_EQ(2500u, read.callTimeoutMilliseconds);
}

TEST_F(SystemBrokerSettings, AValueOfAnotherTypeReadsAsMissing) {
  const char text[] = "5";
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key_, "ConsumerLivenessInterval", 0, REG_SZ,
                                          reinterpret_cast<const BYTE*>(text), sizeof text));
  const unsigned long long wide = 1;
  ASSERT_EQ(ERROR_SUCCESS, RegSetValueExA(key_, "CallTimeout", 0, REG_QWORD,
                                          reinterpret_cast<const BYTE*>(&wide), sizeof wide));
  BrokerSettings read = BrokerSettings::Read(RegistryStore());
  EXPECT_EQ(10u, read.consumerLivenessIntervalSeconds);
  EXPECT_EQ(30000u, read.callTimeoutMilliseconds);
}

}  // namespace
}  // namespace kestrel
