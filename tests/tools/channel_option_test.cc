// kestrel-publish and kestrel-listen aimed at a channel by the address that
// kestrel-channeld prints (--channel), end to end.

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
