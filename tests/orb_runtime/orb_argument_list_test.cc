// The broker's start-up arguments and their translation for omniORB.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "orb/broker_settings.h"
#include "orb/broker_table.h"
#include "orb/orb_argument_list.h"
#include "platform/registry_store.h"
#include "tests/support/test_support.h"

namespace kestrel {
namespace {

using Arguments = std::vector<std::string>;

class OrbArguments : public ::testing::Test {
 protected:
  void SetSetting(const std::function<void(RegistryKey*)>& set) {
    store_.Update([&set](RegistryTree& tree) {
      set(tree.Create(RegistryRoot::kLocalMachine, kBrokerSettingsKey));
    });
  }
  Arguments Build(const char* orbId) { return OrbArgumentList(orbId, store_).arguments(); }

  testing::TemporaryFolder folder_;
  RegistryStore store_{folder_.File("registry.reg")};
};

TEST_F(OrbArguments, TheFourListsOfIdAndSetting) {
  EXPECT_EQ(Arguments({"Appname"}), Build(nullptr));
  EXPECT_EQ(Arguments({"Appname", "-ORBid", "KestrelSupplier"}), Build("KestrelSupplier"));
  SetSetting([](RegistryKey* key) { key->SetDword("ORBDottedDecimalAddresses", 1); });
  EXPECT_EQ(Arguments({"Appname", "-ORBDottedDecimalAddresses", "1"}), Build(nullptr));
  EXPECT_EQ(Arguments({"Appname", "-ORBid", "KestrelConsumer", "-ORBDottedDecimalAddresses", "1"}),
            Build("KestrelConsumer"));
}

TEST_F(OrbArguments, AnyNonZeroNumberTurnsTheOptionOnButNothingElseDoes) {
  SetSetting([](RegistryKey* key) { key->SetDword("ORBDottedDecimalAddresses", 7); });
  EXPECT_EQ(Arguments({"Appname", "-ORBDottedDecimalAddresses", "1"}), Build(nullptr));
  SetSetting([](RegistryKey* key) { key->SetDword("ORBDottedDecimalAddresses", 0); });
  EXPECT_EQ(Arguments({"Appname"}), Build(nullptr));
  SetSetting([](RegistryKey* key) { key->SetString("ORBDottedDecimalAddresses", "1"); });
  EXPECT_EQ(Arguments({"Appname"}), Build(nullptr));
}

TEST_F(OrbArguments, IdIsSplitAtSpacesWithoutEmptyPieces) {
  EXPECT_EQ(Arguments({"Appname", "-ORBid", "Two", "Words"}), Build("  Two   Words "));
  EXPECT_EQ(Arguments({"Appname", "-ORBid", "tab\tkept"}), Build("tab\tkept"));
}

TEST_F(OrbArguments, FormattedTextIsCutAt255CharactersBeforeSplitting) {
  OrbArgumentList list(nullptr, store_);
  // 250 characters, a space, then a piece that straddles the cut.
  std::string text = std::string(250, 'a') + " " + std::string(49, 'b');
  EXPECT_EQ(0, list.AppendFormatted("%s", text.c_str()));
  ASSERT_EQ(3, list.count());
  EXPECT_EQ(std::string(250, 'a'), list.arguments()[1]);
  EXPECT_EQ(std::string(4, 'b'), list.arguments()[2]);
}

TEST_F(OrbArguments, BuildArgvRebuildsAnEqualVectorEachTime) {
  OrbArgumentList list("KestrelSupplier", store_);
  char** first = list.BuildArgv();
  ASSERT_EQ(3, list.count());
  EXPECT_STREQ("-ORBid", first[1]);
  char** second = list.BuildArgv();
  for (int i = 0; i < list.count(); ++i) {
    EXPECT_EQ(list.arguments()[i], second[i]);
  }
  EXPECT_EQ(nullptr, second[list.count()]);
}

TEST(BrokerTranslation, IdSelectsTheBrokerAndOptionsBecomeOmniOrbs) {
  char appname[] = "Appname", id[] = "-ORBid", name[] = "KestrelSupplier", extra[] = "Piece",
       dotted[] = "-ORBDottedDecimalAddresses", one[] = "1";
  char* withEverything[] = {appname, id, name, extra, dotted, one};
  BrokerOptions options = TranslateBrokerArguments(6, withEverything);
  EXPECT_EQ("KestrelSupplier", options.orbId);
  EXPECT_EQ(Arguments({"Appname", "-ORBtraceLevel", "0", "-ORBendPointPublish", "addr"}),
            options.orbArguments);

  char* bare[] = {appname};
  options = TranslateBrokerArguments(1, bare);
  EXPECT_EQ("", options.orbId);
  EXPECT_EQ(Arguments({"Appname", "-ORBtraceLevel", "0"}), options.orbArguments);
}

// With TLS the broker speaks nothing else, and listens by TLS where the
// environment's endpoint says, or everywhere as omniORB would.
TEST(BrokerTranslation, TlsFilesMakeATlsOnlyBrokerAtTheEnvironmentsHost) {
  char appname[] = "Appname";
  char* bare[] = {appname};
  TlsFiles tls;
  tls.authority = "ca.pem";
  const Arguments rules = {"Appname", "-ORBtraceLevel", "0", "-ORBclientTransportRule", "* ssl",
                           "-ORBserverTransportRule", "* ssl"};
  auto with = [&rules](std::vector<std::string> more) {
    Arguments all = rules;
    all.insert(all.end(), more.begin(), more.end());
    return all;
  };
  EXPECT_EQ(with({"-ORBendPoint", "giop:ssl:127.0.0.1:"}),
            TranslateBrokerArguments(1, bare, tls, "giop:tcp:127.0.0.1:").orbArguments);
  EXPECT_EQ(with({"-ORBendPoint", "giop:ssl:[::1]:"}),
            TranslateBrokerArguments(1, bare, tls, "giop:tcp:[::1]:7000").orbArguments);
  EXPECT_EQ(with({"-ORBendPoint", "giop:ssl::"}),
            TranslateBrokerArguments(1, bare, tls, nullptr).orbArguments);
  EXPECT_EQ(with({}), TranslateBrokerArguments(1, bare, tls, "giop:ssl:10.0.0.5:7000").orbArguments);
  EXPECT_EQ("ca.pem", TranslateBrokerArguments(1, bare, tls, nullptr).tls.authority);

  // Without an authority, nothing of it.
  tls.authority.clear();
  tls.certificate = "c.pem";
  EXPECT_EQ(Arguments({"Appname", "-ORBtraceLevel", "0"}),
            TranslateBrokerArguments(1, bare, tls, "giop:tcp:127.0.0.1:").orbArguments);
}

TEST_F(OrbArguments, TlsFilesAreReadAsStringsBesideTheArguments) {
  SetSetting([](RegistryKey* key) {
    key->SetString("TlsCaFile", "C:\\Kestrel files\\ca.pem");
    key->SetString("TlsCertFile", "cert.pem");
    key->SetString("TlsKeyFile", "key.pem");
    key->SetString("TlsKeyPassword", "secret words");
  });
  OrbArgumentList arguments("KestrelSupplier", store_);
  EXPECT_EQ(Arguments({"Appname", "-ORBid", "KestrelSupplier"}), arguments.arguments());
  EXPECT_EQ("C:\\Kestrel files\\ca.pem", arguments.tls().authority);
  EXPECT_EQ("cert.pem", arguments.tls().certificate);
  EXPECT_EQ("key.pem", arguments.tls().key);
  EXPECT_EQ("secret words", arguments.tls().keyPassword);
  EXPECT_TRUE(OrbArgumentList("KestrelSupplier", RegistryStore(folder_.File("none.reg"))).tls().authority.empty());
}

}  // namespace
}  // namespace kestrel
