// What the tool tests share: a kestrel-channeld of their own on a loopback
// port, and the command lines of kestrel-publish and kestrel-listen aimed
// at it.

#ifndef KESTREL_TESTS_TOOLS_TOOL_TEST_BASE_H_
#define KESTREL_TESTS_TOOLS_TOOL_TEST_BASE_H_

#include <ace/INET_Addr.h>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/channel_service.h"
#include "tests/tools/tool_process.h"

namespace kestrel {
namespace testing {

class ToolTestBase : public ::testing::Test {
 protected:
  // Generous: the machine that runs the tests may be busy.
  static constexpr int kTimeoutMs = 20000;

  void SetUp() override { ASSERT_TRUE(service_.Start()); }
  void TearDown() override { EXPECT_EQ(0, service_.Stop()); }

  std::vector<std::string> ChannelOptions() const {
    return {"--host", service_.host(), "--port", std::to_string(service_.port()), "--key",
            service_.key()};
  }

  std::vector<std::string> PublishCommand(const std::string& module,
                                          const std::vector<std::string>& rest) const {
    std::vector<std::string> command = {BinPath("kestrel-publish")};
    for (const std::string& option : ChannelOptions()) command.push_back(option);
    command.push_back("--module");
    command.push_back(module);
    command.insert(command.end(), rest.begin(), rest.end());
    return command;
  }

  std::vector<std::string> ListenCommand(const std::vector<std::string>& rest) const {
    std::vector<std::string> command = {BinPath("kestrel-listen")};
    for (const std::string& option : ChannelOptions()) command.push_back(option);
    command.insert(command.end(), rest.begin(), rest.end());
    return command;
  }

  // Starts kestrel-listen and waits until it is connected, so that what is
  // published afterwards reaches it.
  ::testing::AssertionResult StartListener(ToolProcess* listener,
                                           const std::vector<std::string>& rest) const {
    if (!listener->Start(ListenCommand(rest))) return ::testing::AssertionFailure() << "cannot run";
    if (!listener->WaitForError("listening on", kTimeoutMs)) {
      return ::testing::AssertionFailure() << "not connected; stderr: " << listener->error();
    }
    return ::testing::AssertionSuccess();
  }

  // The name that the supplier puts into every notification.
  static std::string LocalHostName() {
    char name[256] = "";
    ACE_INET_Addr().get_host_name(name, sizeof name);
    return name;
  }


  ChannelService service_;
};

}  // namespace testing
}  // namespace kestrel

#endif  // KESTREL_TESTS_TOOLS_TOOL_TEST_BASE_H_
