// ChannelService, the class that runs a kestrel-channeld for a test.

#include <gtest/gtest.h>

#include <signal.h>

#include <cerrno>
#include <string>

#include "tests/support/channel_service.h"

namespace kestrel {
namespace testing {
namespace {

TEST(ChannelService, StartsOnAFreeLoopbackPortAndStopsCleanly) {
  ChannelService service;
  EXPECT_FALSE(service.running());
  EXPECT_EQ(-1, service.Stop());
  ASSERT_TRUE(service.Start());
  EXPECT_TRUE(service.running());
  EXPECT_GT(service.pid(), 0);
  EXPECT_GT(service.port(), 0);
  EXPECT_EQ("127.0.0.1", service.host());
  EXPECT_EQ("NotifyEventChannel", service.key());
  EXPECT_EQ("corbaloc:iiop:127.0.0.1:" + std::to_string(service.port()) + "/NotifyEventChannel",
            service.address());
  EXPECT_TRUE(service.Start());  // already running
  EXPECT_EQ(0, service.Stop());
  EXPECT_FALSE(service.running());
  EXPECT_EQ(0, service.Stop());  // the last exit status
  EXPECT_EQ("", service.unexpected_output());
}

TEST(ChannelService, ServesTheChannelsItIsGiven) {
  ChannelService::Options options;
  options.channels = {"First", "Second"};
  ChannelService service(options);
  ASSERT_TRUE(service.Start());
  EXPECT_EQ(2u, service.channel_count());
  EXPECT_EQ("Second", service.key(1));
  EXPECT_EQ("corbaloc:iiop:127.0.0.1:" + std::to_string(service.port()) + "/Second",
            service.address(1));
  EXPECT_EQ("", service.address(2));
  EXPECT_EQ(0, service.Stop(SIGINT));
}

TEST(ChannelService, RestartKeepsThePort) {
  ChannelService service;
  ASSERT_TRUE(service.Start());
  const int port = service.port();
  const pid_t first = service.pid();
  ASSERT_TRUE(service.Restart());
  EXPECT_EQ(port, service.port());
  EXPECT_NE(first, service.pid());
  // After a kill as well.
  ASSERT_TRUE(service.Restart(SIGKILL));
  EXPECT_EQ(port, service.port());
  EXPECT_EQ(0, service.Stop());
}

TEST(ChannelService, StartFailsWhenTheProgramExits) {
  ChannelService::Options options;
  options.extraArguments = {"--no-such-option"};
  ChannelService service(options);
  EXPECT_FALSE(service.Start());
  EXPECT_FALSE(service.running());
  EXPECT_EQ(2, service.exit_status());
  EXPECT_EQ(2, service.Stop());
}

TEST(ChannelService, StopAnswersTheSignalThatEndedIt) {
  ChannelService service;
  ASSERT_TRUE(service.Start());
  EXPECT_EQ(128 + SIGKILL, service.Stop(SIGKILL));
}

TEST(ChannelService, DestructorKillsARunningProcess) {
  pid_t pid = -1;
  {
    ChannelService service;
    ASSERT_TRUE(service.Start());
    pid = service.pid();
  }
  EXPECT_EQ(-1, ::kill(pid, 0));
  EXPECT_EQ(ESRCH, errno);
}

}  // namespace
}  // namespace testing
}  // namespace kestrel
