// kestrel-publish end to end against a kestrel-channeld of the test's own,
// with kestrel-listen as the receiving end: what arrives, and the exit
// status of every way a run can end.

#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/tools/tool_process.h"
#include "tests/tools/tool_test_base.h"

namespace kestrel {
namespace testing {
namespace {

class KestrelPublish : public ToolTestBase {
 protected:
  std::string JsonLine(const std::string& module, const std::string& severity, const std::string& code,
                       const std::string& description) const {
    return "{\"module\":\"" + module + "\",\"host\":\"" + LocalHostName() + "\",\"severity\":" + severity +
           ",\"messageCode\":" + code + ",\"description\":\"" + description + "\"}";
  }
};

TEST_F(KestrelPublish, ExitsZeroAndEveryFieldArrives) {
  ToolProcess listener;
  ASSERT_TRUE(StartListener(&listener, {"--format", "json", "--count", "2"}));

  // Both ends of the number range, in both notations; the words of the
  // description are joined by single spaces.
  ToolResult first = RunTool(PublishCommand("disk", {"--severity", "0xFFFFFFFF", "--code", "0",
                                                     "disk /var", "almost", "full"}));
  EXPECT_EQ(0, first.status) << first.error;
  EXPECT_EQ("", first.output);
  EXPECT_EQ("", first.error);
  ToolResult second = RunTool(PublishCommand("net", {"--severity", "0", "--code", "4294967295", "--",
                                                     "--not-an-option"}));
  EXPECT_EQ(0, second.status) << second.error;

  std::string line;
  ASSERT_TRUE(listener.ReadLine(&line, kTimeoutMs)) << listener.error();
  EXPECT_EQ(JsonLine("disk", "4294967295", "0", "disk /var almost full"), line);
  ASSERT_TRUE(listener.ReadLine(&line, kTimeoutMs)) << listener.error();
  EXPECT_EQ(JsonLine("net", "0", "4294967295", "--not-an-option"), line);
  EXPECT_EQ(0, listener.Wait(kTimeoutMs));
}

TEST_F(KestrelPublish, PublishesEachLineOfStandardInputInOrder) {
  ToolProcess listener;
  ASSERT_TRUE(StartListener(&listener, {"--format", "json", "--count", "3"}));

  // Empty lines are skipped, and a last line needs no newline.
  ToolResult result = RunTool(PublishCommand("batch", {"--severity", "2", "--code", "0x10"}),
                              "first\n\nsecond line\n\n\nthird");
  EXPECT_EQ(0, result.status) << result.error;

  std::vector<std::string> lines(3);
  for (std::string& line : lines) ASSERT_TRUE(listener.ReadLine(&line, kTimeoutMs)) << listener.error();
  EXPECT_EQ(JsonLine("batch", "2", "16", "first"), lines[0]);
  EXPECT_EQ(JsonLine("batch", "2", "16", "second line"), lines[1]);
  EXPECT_EQ(JsonLine("batch", "2", "16", "third"), lines[2]);
  EXPECT_EQ(0, listener.Wait(kTimeoutMs));
}

TEST_F(KestrelPublish, ExitsOneWithTheCodeWhenNothingListensAtThePort) {
  std::vector<std::string> command = {BinPath("kestrel-publish"), "--host", "127.0.0.1", "--port",
                                      std::to_string(UnusedPort()), "--key", service_.key(),
                                      "--module", "m", "nobody hears this"};
  ToolResult result = RunTool(command);
  EXPECT_EQ(1, result.status);
  EXPECT_NE(std::string::npos, result.error.find("0x80040B63 E_CORBA_TRANSIENT")) << result.error;
  EXPECT_EQ("", result.output);
}

TEST_F(KestrelPublish, ExitsOneWithTheCodeForAKeyThatTheServiceDoesNotServe) {
  std::vector<std::string> command = {BinPath("kestrel-publish"), "--host", service_.host(), "--port",
                                      std::to_string(service_.port()), "--key", "NoSuchChannel",
                                      "--module", "m", "lost"};
  ToolResult result = RunTool(command);
  EXPECT_EQ(1, result.status);
  EXPECT_NE(std::string::npos, result.error.find("0x80040B56 E_CORBA_OBJECT_NOT_EXIST")) << result.error;
}

TEST_F(KestrelPublish, ExitsOneWhenALaterLineCannotBePublished) {
  ToolProcess listener;
  ASSERT_TRUE(StartListener(&listener, {"--format", "json", "--count", "1"}));
  ToolProcess publisher;
  ASSERT_TRUE(publisher.Start(PublishCommand("feed", {})));
  ASSERT_TRUE(publisher.WriteInput("delivered\n"));
  std::string line;
  ASSERT_TRUE(listener.ReadLine(&line, kTimeoutMs)) << listener.error();
  EXPECT_EQ(JsonLine("feed", "0", "0", "delivered"), line);
  EXPECT_EQ(0, listener.Wait(kTimeoutMs));

  // With the service gone the supplier's one reconnection fails too.
  ASSERT_EQ(0, service_.Stop());
  ASSERT_TRUE(publisher.WriteInput("undeliverable\n"));
  publisher.CloseInput();
  EXPECT_EQ(1, publisher.Wait(kTimeoutMs));
  EXPECT_NE(std::string::npos, publisher.error().find("Publish failed: 0x")) << publisher.error();
}

TEST_F(KestrelPublish, KeepsPublishingFromStandardInputAcrossAServiceRestart) {
  ToolProcess publisher;
  ASSERT_TRUE(publisher.Start(PublishCommand("feed", {})));
  {
    ToolProcess listener;
    ASSERT_TRUE(StartListener(&listener, {"--format", "json", "--count", "1"}));
    ASSERT_TRUE(publisher.WriteInput("before\n"));
    std::string line;
    ASSERT_TRUE(listener.ReadLine(&line, kTimeoutMs)) << listener.error();
    EXPECT_EQ(JsonLine("feed", "0", "0", "before"), line);
  }
  ASSERT_TRUE(service_.Restart());

  // A new listener, connected at once, rather than waiting for the old
  // one's reconnection.
  ToolProcess listener;
  ASSERT_TRUE(StartListener(&listener, {"--format", "json", "--count", "1"}));
  ASSERT_TRUE(publisher.WriteInput("after\n"));
  publisher.CloseInput();
  EXPECT_EQ(0, publisher.Wait(kTimeoutMs)) << publisher.error();
  std::string line;
  ASSERT_TRUE(listener.ReadLine(&line, kTimeoutMs)) << listener.error();
  EXPECT_EQ(JsonLine("feed", "0", "0", "after"), line);
  EXPECT_EQ(0, listener.Wait(kTimeoutMs));
}

TEST_F(KestrelPublish, ExitsTwoForNumbersItCannotTake) {
  // Each would be published (exit 0) if it were taken.
  const std::vector<std::string> badNumbers = {"4294967296", "0x100000000", "-1", "0x", "12abc",
                                               "", " 1", "+1", "1.0", "99999999999999999999"};
  for (const char* option : {"--severity", "--code"}) {
    for (const std::string& value : badNumbers) {
      ToolResult result = RunTool(PublishCommand("m", {option, value, "text"}));
      EXPECT_EQ(2, result.status) << option << " '" << value << "'";
      EXPECT_NE(std::string::npos, result.error.find("usage:")) << option << " '" << value << "'";
      EXPECT_EQ("", result.output);
    }
  }
  for (const char* port : {"0", "65536", "4294967296", "-1", "0x", "12abc"}) {
    std::vector<std::string> command = {BinPath("kestrel-publish"), "--host", "127.0.0.1", "--port", port,
                                        "--key", service_.key(), "--module", "m", "text"};
    EXPECT_EQ(2, RunTool(command).status) << "--port '" << port << "'";
  }
}

TEST_F(KestrelPublish, ExitsTwoWithoutARequiredOptionOrWithAnUnknownOne) {
  const std::vector<std::string> full = PublishCommand("m", {"text"});
  // full: program --host H --port P --key K --module M text
  for (std::size_t option = 1; option < 9; option += 2) {
    std::vector<std::string> command = full;
    command.erase(command.begin() + static_cast<long>(option), command.begin() + static_cast<long>(option) + 2);
    ToolResult result = RunTool(command);
    EXPECT_EQ(2, result.status) << "without " << full[option];
    EXPECT_NE(std::string::npos, result.error.find("required")) << result.error;
  }
  std::vector<std::string> unknown = full;
  unknown.insert(unknown.begin() + 1, {"--colour", "red"});
  EXPECT_EQ(2, RunTool(unknown).status);
  std::vector<std::string> noValue = PublishCommand("m", {"--code"});
  EXPECT_EQ(2, RunTool(noValue).status);
}

TEST_F(KestrelPublish, HelpPrintsTheUsageAndExitsZero) {
  ToolResult result = RunTool({BinPath("kestrel-publish"), "--help"});
  EXPECT_EQ(0, result.status);
  EXPECT_EQ(0u, result.output.find("usage: kestrel-publish")) << result.output;
  EXPECT_EQ("", result.error);
}

// Needs no channel, hence no fixture.
TEST(KestrelTools, EveryProgramPrintsItsNameAndVersion) {
  for (const char* program :
       {"kestrel-publish", "kestrel-listen", "kestrel-regsvr", "kestrel-classes", "kestrel-channeld"}) {
    ToolResult result = RunTool({BinPath(program), "--version"});
    EXPECT_EQ(0, result.status) << program;
    std::regex expected(std::string(program) + " [0-9]+\\.[0-9]+\\.[0-9]+\n");
    EXPECT_TRUE(std::regex_match(result.output, expected)) << result.output;
    EXPECT_EQ("", result.error) << program;
  }
}

}  // namespace
}  // namespace testing
}  // namespace kestrel
