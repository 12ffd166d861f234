// kestrel-publish and kestrel-listen aimed at a channel by the address that
// kestrel-channeld prints (--channel), or by a list of such services, end
// to end.

#include <signal.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/tools/tool_process.h"
#include "tests/tools/tool_test_base.h"

namespace kestrel {
namespace testing {
namespace {

class ChannelOption : public ToolTestBase {};

TEST_F(ChannelOption, BothToolsTakeTheAddressThatTheServicePrints) {
  ToolProcess listener;
  ASSERT_TRUE(listener.Start({BinPath("kestrel-listen"), "--channel", service_.address(), "--format",
                              "json", "--count", "1"}));
  ASSERT_TRUE(listener.WaitForError("listening on " + service_.address(), kTimeoutMs))
      << listener.error();
  ToolResult published = RunTool(
      {BinPath("kestrel-publish"), "--channel", service_.address(), "--module", "m", "hello"});
  EXPECT_EQ(0, published.status) << published.error;
  std::string line;
  ASSERT_TRUE(listener.ReadLine(&line, kTimeoutMs)) << listener.error();
  EXPECT_NE(std::string::npos, line.find("\"description\":\"hello\"")) << line;
  EXPECT_EQ(0, listener.Wait(kTimeoutMs));
}

// corbaloc:iiop:127.0.0.1:FIRST,iiop:127.0.0.1:SECOND/KEY.
std::string ListOf(const ChannelService& first, int firstPort, const ChannelService& second) {
  return "corbaloc:iiop:" + first.host() + ":" + std::to_string(firstPort) + ",iiop:" +
         second.host() + ":" + std::to_string(second.port()) + "/" + second.key();
}

TEST_F(ChannelOption, BothToolsTakeAListOfServicesAndPassOneThatIsDown) {
  int unused = UnusedPort();
  ASSERT_NE(-1, unused);
  const std::string list = ListOf(service_, unused, service_);
  ToolProcess listener;
  ASSERT_TRUE(listener.Start({BinPath("kestrel-listen"), "--channel", list, "--format", "json",
                              "--count", "1"}));
  ASSERT_TRUE(listener.WaitForError("listening on " + list + "\n", kTimeoutMs)) << listener.error();
  ToolResult published =
      RunTool({BinPath("kestrel-publish"), "--channel", list, "--module", "m", "hello"});
  EXPECT_EQ(0, published.status) << published.error;
  std::string line;
  ASSERT_TRUE(listener.ReadLine(&line, kTimeoutMs)) << listener.error();
  EXPECT_NE(std::string::npos, line.find("\"description\":\"hello\"")) << line;
  EXPECT_EQ(0, listener.Wait(kTimeoutMs));
}

// A publisher that started while the first service was up goes on through
// the second once the first is killed, without losing a line.
TEST_F(ChannelOption, PublishGoesOnThroughTheSecondServiceWhenTheFirstIsKilled) {
  ChannelService first;
  ASSERT_TRUE(first.Start());
  auto listenerAt = [](ToolProcess* listener, const std::string& address) {
    return listener->Start({BinPath("kestrel-listen"), "--channel", address, "--format", "json",
                            "--count", "1"}) &&
           listener->WaitForError("listening on", kTimeoutMs);
  };
  ToolProcess atFirst;
  ToolProcess atSecond;
  ASSERT_TRUE(listenerAt(&atFirst, first.address())) << atFirst.error();
  ASSERT_TRUE(listenerAt(&atSecond, service_.address())) << atSecond.error();

  ToolProcess publisher;
  ASSERT_TRUE(publisher.Start({BinPath("kestrel-publish"), "--channel",
                               ListOf(first, first.port(), service_), "--module", "m"}));
  ASSERT_TRUE(publisher.WriteInput("before\n"));
  std::string line;
  ASSERT_TRUE(atFirst.ReadLine(&line, kTimeoutMs)) << atFirst.error() << publisher.error();
  EXPECT_NE(std::string::npos, line.find("\"description\":\"before\"")) << line;

  ASSERT_EQ(128 + SIGKILL, first.Stop(SIGKILL));
  ASSERT_TRUE(publisher.WriteInput("after\n"));
  ASSERT_TRUE(atSecond.ReadLine(&line, kTimeoutMs)) << atSecond.error() << publisher.error();
  EXPECT_NE(std::string::npos, line.find("\"description\":\"after\"")) << line;
  publisher.CloseInput();
  // Every line was published: none failed on the way over.
  EXPECT_EQ(0, publisher.Wait(kTimeoutMs)) << publisher.error();
  EXPECT_EQ("", publisher.error());
  EXPECT_EQ(0, atSecond.Wait(kTimeoutMs));
}

// Usage errors (exit 2) that say what is wrong, before anything connects.
TEST_F(ChannelOption, MalformedAddressesAndMixedWaysAreUsageErrors) {
  const std::string port = std::to_string(service_.port());
  const std::string key = service_.key();
  struct Mistake {
    std::vector<std::string> options;
    std::string says;
  };
  const std::vector<Mistake> mistakes = {
      {{"--channel", "127.0.0.1:" + port + "/" + key}, "does not start with corbaloc:iiop:"},
      {{"--channel", "corbaloc:iiop:127.0.0.1/" + key}, "no port"},
      {{"--channel", "corbaloc:iiop:127.0.0.1:70000/" + key}, "not between 1 and 65535"},
      {{"--channel", "corbaloc:iiop:127.0.0.1:" + port + "/"}, "object key after / is empty"},
      {{"--channel", "corbaloc:iiop:::1:" + port + "/" + key}, "in brackets"},
      {{"--channel", service_.address(), "--port", port}, "not both"},
      {{"--channel", "corbaloc:iiop:127.0.0.1:" + port + ",127.0.0.1:" + port + "/" + key},
       "starts with iiop:"},
      {{"--channel", "corbaloc:iiop:127.0.0.1:" + port + ",iiop:127.0.0.1/" + key},
       "address 2 of 2 (127.0.0.1): no port"},
  };
  for (const char* program : {"kestrel-publish", "kestrel-listen"}) {
    for (const Mistake& mistake : mistakes) {
      std::vector<std::string> command = {BinPath(program)};
      command.insert(command.end(), mistake.options.begin(), mistake.options.end());
      command.insert(command.end(), {"--module", "m", "text"});
      if (std::string(program) == "kestrel-listen") command.resize(command.size() - 3);
      ToolResult result = RunTool(command, "", kTimeoutMs);
      EXPECT_EQ(2, result.status) << program << " " << mistake.options[1];
      EXPECT_NE(std::string::npos, result.error.find(mistake.says))
          << program << " " << mistake.options[1] << ": " << result.error;
    }
  }
}

}  // namespace
}  // namespace testing
}  // namespace kestrel
