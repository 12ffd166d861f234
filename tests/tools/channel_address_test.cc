// How the tools read the channel that they are aimed at: the address that
// kestrel-channeld prints (or a list of such services), or its parts, never
// both.

#include "tools/common/channel_address.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrel {
namespace tools {
namespace {

TEST(ToolChannelAddress, TakesWhatTheServicePrints) {
  struct Case {
    const char* text;
    const char* host;
    uint32_t port;
    const char* key;
  };
  for (const Case& good : std::vector<Case>{
           {"corbaloc:iiop:127.0.0.1:5005/NotifyEventChannel", "127.0.0.1", 5005, "NotifyEventChannel"},
           {"corbaloc:iiop:web-1.example:1/k", "web-1.example", 1, "k"},
           {"corbaloc:iiop:[::1]:65535/Alarms", "[::1]", 65535, "Alarms"},
           {"corbaloc:iiop:[fd00::2]:0080/a/b", "[fd00::2]", 80, "a/b"},
           // Several services: the host setting holds all but the last port,
           // each port written in decimal once more.
           {"corbaloc:iiop:a:1,iiop:b:2/Key", "a:1,iiop:b", 2, "Key"},
           {"corbaloc:iiop:10.0.0.1:05000,iiop:[::1]:5001,iiop:c.example:5002/NotifyEventChannel",
            "10.0.0.1:5000,iiop:[::1]:5001,iiop:c.example", 5002, "NotifyEventChannel"},
       }) {
    ChannelAddress address;
    std::string error;
    ASSERT_TRUE(ParseChannelAddress(good.text, &address, &error)) << good.text << ": " << error;
    EXPECT_EQ(good.host, address.host) << good.text;
    EXPECT_EQ(good.port, address.port) << good.text;
    EXPECT_EQ(good.key, address.key) << good.text;
  }
}

TEST(ToolChannelAddress, SaysWhatIsWrongWithAMalformedOne) {
  struct Case {
    const char* text;
    const char* says;
  };
  for (const Case& bad : std::vector<Case>{
           {"", "does not start with corbaloc:iiop:"},
           {"127.0.0.1:5005/Key", "does not start with corbaloc:iiop:"},
           {"corbaloc:rir:/NameService", "does not start with corbaloc:iiop:"},
           {"corbaloc:iiop:127.0.0.1:5005", "no object key"},
           {"corbaloc:iiop:127.0.0.1/Key", "no port"},
           {"corbaloc:iiop:127.0.0.1:/Key", "no port"},
           {"corbaloc:iiop::5005/Key", "no host"},
           {"corbaloc:iiop:127.0.0.1:0/Key", "not between 1 and 65535"},
           {"corbaloc:iiop:127.0.0.1:65536/Key", "not between 1 and 65535"},
           {"corbaloc:iiop:127.0.0.1:99999999999999999999/Key", "not between 1 and 65535"},
           {"corbaloc:iiop:127.0.0.1:50x5/Key", "not a decimal number"},
           {"corbaloc:iiop:127.0.0.1:5005/", "object key after / is empty"},
           {"corbaloc:iiop:::1:5005/Key", "in brackets"},
           {"corbaloc:iiop:[::1:5005/Key", "no closing ]"},
           {"corbaloc:iiop:[::1]/Key", "no port"},
           {"corbaloc:iiop:[]:5005/Key", "host between [ and ] is empty"},
           {"corbaloc:iiop:1.2@a:1/Key", "GIOP version"},
           {"corbaloc:iiop:a:1,b:2/Key", "after a comma starts with iiop:"},
           {"corbaloc:iiop:a:1,:b:2/Key", "after a comma starts with iiop:"},
           {"corbaloc:iiop:a:1,/Key", "after a comma starts with iiop:"},
           {"corbaloc:iiop:a:1,iiop:/Key", "address 2 of 2 (): no port"},
           {"corbaloc:iiop:a,iiop:b:2/Key", "address 1 of 2 (a): no port"},
           {"corbaloc:iiop:a:1,iiop:b:0/Key", "address 2 of 2 (b:0): the port 0 is not between"},
           {"corbaloc:iiop:a:1,iiop:::1:2/Key", "address 2 of 2 (::1:2): an IPv6 host goes in brackets"},
           {"corbaloc:iiop:a:1,iiop:1.2@b:2/Key", "address 2 of 2 (1.2@b:2): a GIOP version"},
       }) {
    ChannelAddress address;
    std::string error;
    EXPECT_FALSE(ParseChannelAddress(bad.text, &address, &error)) << bad.text;
    EXPECT_NE(std::string::npos, error.find(bad.says)) << bad.text << ": " << error;
  }
}

TEST(ToolChannelAddress, SsliopAsksForTlsAndEveryAddressOfAListSaysSo) {
  ChannelAddress address;
  std::string error;
  ASSERT_TRUE(ParseChannelAddress("corbaloc:ssliop:a:1,ssliop:[::1]:2/Key", &address, &error)) << error;
  EXPECT_TRUE(address.tls);
  EXPECT_EQ("a:1,ssliop:[::1]", address.host);
  EXPECT_EQ(2u, address.port);
  ASSERT_TRUE(ParseChannelAddress("corbaloc:iiop:a:1/Key", &address, &error)) << error;
  EXPECT_FALSE(address.tls);
  // A list speaks one protocol throughout.
  EXPECT_FALSE(ParseChannelAddress("corbaloc:ssliop:a:1,iiop:b:2/Key", &address, &error));
  EXPECT_NE(std::string::npos, error.find("after a comma starts with ssliop:")) << error;
  EXPECT_FALSE(ParseChannelAddress("corbaloc:iiop:a:1,ssliop:b:2/Key", &address, &error));
}

TEST(ToolChannelAddress, AHostPartLongerThanTheLibraryReadsIsRefused) {
  // The host part of corbaloc:iiop:NAME:1,iiop:b:2/K is NAME:1,iiop:b.
  auto listWith = [](std::size_t nameLength) {
    return "corbaloc:iiop:" + std::string(nameLength, 'h') + ":1,iiop:b:2/K";
  };
  ChannelAddress address;
  std::string error;
  EXPECT_TRUE(ParseChannelAddress(listWith(250), &address, &error)) << error;
  EXPECT_EQ(259u, address.host.size());
  EXPECT_FALSE(ParseChannelAddress(listWith(251), &address, &error));
  EXPECT_NE(std::string::npos, error.find("takes 260 characters, more than the 259")) << error;
  EXPECT_EQ(259u, address.host.size());  // unchanged
}

// The options of a command line, in order, through ChannelOptions.
bool Collect(const std::vector<std::pair<std::string, std::string>>& options,
             ChannelAddress* address, std::string* error) {
  ChannelOptions channel;
  for (const auto& option : options) {
    if (channel.Take(option.first, option.second, error) != ChannelOptions::Taken::kTaken) {
      return false;
    }
  }
  return channel.Finish(address, error);
}

TEST(ChannelOptions, OneWayOrTheOtherButNotBoth) {
  ChannelAddress address;
  std::string error;
  ASSERT_TRUE(Collect({{"--channel", "corbaloc:iiop:h:7/K"}}, &address, &error)) << error;
  EXPECT_EQ("h", address.host);
  EXPECT_EQ(7u, address.port);
  EXPECT_EQ("K", address.key);
  ASSERT_TRUE(Collect({{"--key", "K2"}, {"--port", "0x10"}, {"--host", "g"}}, &address, &error));
  EXPECT_EQ("g", address.host);
  EXPECT_EQ(16u, address.port);
  EXPECT_EQ("K2", address.key);

  for (const char* part : {"--host", "--port", "--key"}) {
    EXPECT_FALSE(Collect({{"--channel", "corbaloc:iiop:h:7/K"}, {part, "9"}}, &address, &error));
    EXPECT_NE(std::string::npos, error.find("not both")) << part << ": " << error;
  }
  EXPECT_FALSE(Collect({{"--host", "h"}, {"--key", "K"}}, &address, &error));
  EXPECT_NE(std::string::npos, error.find("required")) << error;
  EXPECT_FALSE(Collect({}, &address, &error));
  EXPECT_NE(std::string::npos, error.find("required")) << error;

  ChannelOptions channel;
  EXPECT_EQ(ChannelOptions::Taken::kNotMine, channel.Take("--module", "m", &error));
  EXPECT_EQ(ChannelOptions::Taken::kBadValue, channel.Take("--port", "65536", &error));
  EXPECT_EQ(ChannelOptions::Taken::kBadValue, channel.Take("--channel", "corbaloc:iiop:h/K", &error));
  EXPECT_NE(std::string::npos, error.find("--channel corbaloc:iiop:h/K: no port")) << error;
}

TEST(ChannelOptions, AnyTlsFileAsksForTlsAndTheOthersStayTheMachines) {
  ChannelAddress address;
  std::string error;
  ASSERT_TRUE(Collect({{"--tls-ca", "ca.pem"}, {"--channel", "corbaloc:iiop:h:7/K"}}, &address, &error));
  EXPECT_TRUE(address.tls);
  EXPECT_EQ("ca.pem", address.authorityFile);
  EXPECT_EQ("", address.certificateFile);
  EXPECT_EQ("", address.keyFile);
  ASSERT_TRUE(Collect({{"--host", "h"}, {"--port", "7"}, {"--key", "K"}, {"--tls-cert", "c.pem"},
                       {"--tls-key", "c.key"}},
                      &address, &error));
  EXPECT_TRUE(address.tls);
  EXPECT_EQ("c.pem", address.certificateFile);
  EXPECT_EQ("c.key", address.keyFile);
  ASSERT_TRUE(Collect({{"--channel", "corbaloc:ssliop:h:7/K"}}, &address, &error));
  EXPECT_TRUE(address.tls);
  ChannelOptions channel;
  EXPECT_EQ(ChannelOptions::Taken::kBadValue, channel.Take("--tls-key", "", &error));
}

}  // namespace
}  // namespace tools
}  // namespace kestrel
