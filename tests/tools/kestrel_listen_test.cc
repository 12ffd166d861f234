// kestrel-listen end to end against a kestrel-channeld of the test's own,
// fed by kestrel-publish: its two formats, how it ends, and its staying
// power while the service restarts.

#include <signal.h>
#include <time.h>

#include <algorithm>
#include <cstring>
#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"
#include "tests/tools/tool_process.h"
#include "tests/tools/tool_test_base.h"

namespace kestrel {
namespace testing {
namespace {

class KestrelListen : public ToolTestBase {
 protected:
  void Publish(const std::string& module, const std::vector<std::string>& rest, const std::string& input = "") {
    ToolResult result = RunTool(PublishCommand(module, rest), input);
    ASSERT_EQ(0, result.status) << result.error;
  }
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t newline; (newline = text.find('\n', start)) != std::string::npos; start = newline + 1) {
    lines.push_back(text.substr(start, newline - start));
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

// "2026-12-07 09:10:11" read as local time, or -1.
time_t LocalTime(const std::string& text) {
  tm fields = {};
  const char* end = strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &fields);
  if (end == nullptr || *end != '\0') return -1;
  fields.tm_isdst = -1;
  return mktime(&fields);
}

TEST_F(KestrelListen, TextShowsLocalTimeHostModuleSeverityCodeAndDescription) {
  // Far from UTC, so that a time printed in UTC cannot pass for local time.
  // The listener inherits the zone.
  ScopedEnvironment zone("TZ", "<+0530>-5:30");
  tzset();
  ToolProcess listener;
  ASSERT_TRUE(StartListener(&listener, {"--count", "3"}));
  time_t before = time(nullptr);
  Publish("disk", {"--severity", "3", "--code", "0x1001", "disk almost full"});
  // Control characters would break the line: they show as spaces.
  Publish("tabs", {"--severity", "4294967295", "--code", "4294967295", "a\tb\x01" "c"});
  Publish("quiet", {"--", ""});
  time_t after = time(nullptr);

  const std::regex layout(R"((\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\.\d{3} (.*))");
  const std::string host = LocalHostName();
  const std::vector<std::string> expected = {
      host + " disk severity=3 code=0x00001001 disk almost full",
      host + " tabs severity=4294967295 code=0xFFFFFFFF a b c",
      host + " quiet severity=0 code=0x00000000",
  };
  for (const std::string& rest : expected) {
    std::string line;
    ASSERT_TRUE(listener.ReadLine(&line, kTimeoutMs)) << listener.error();
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, layout)) << line;
    EXPECT_EQ(rest, match[2].str());
    time_t printed = LocalTime(match[1].str());
    EXPECT_GE(printed, before - 1) << line;
    EXPECT_LE(printed, after + 1) << line;
  }
  EXPECT_EQ(0, listener.Wait(kTimeoutMs));
  EXPECT_EQ("", listener.UnreadOutput());
}

TEST_F(KestrelListen, JsonEscapesQuotesBackslashesAndControlCharacters) {
  ToolProcess listener;
  ASSERT_TRUE(StartListener(&listener, {"--format", "json", "--count", "1"}));
  // Bytes from 0x80 up (UTF-8 or not) and DEL pass unchanged.
  Publish("m\"od\\ule", {"--severity", "7", "--code", "0x0A0B0C0D",
                         "say \"hi\"\tC:\\path\x01\x1f\nend caf\xc3\xa9 \xff\x7f"});
  std::string line;
  ASSERT_TRUE(listener.ReadLine(&line, kTimeoutMs)) << listener.error();
  EXPECT_EQ("{\"module\":\"m\\\"od\\\\ule\",\"host\":\"" + LocalHostName() +
                "\",\"severity\":7,\"messageCode\":168496141,\"description\":"
                "\"say \\\"hi\\\"\\u0009C:\\\\path\\u0001\\u001F\\u000Aend caf\xc3\xa9 \xff\x7f\"}",
            line);
  EXPECT_EQ(0, listener.Wait(kTimeoutMs));
}

TEST_F(KestrelListen, PrintsExactlyCountEventsAndExitsZero) {
  ToolProcess listener;
  ASSERT_TRUE(StartListener(&listener, {"--count", "2"}));
  // A burst: many more arrive while the listener is ending.
  std::string input = "one\ntwo\n";
  for (int i = 0; i < 200; ++i) input += "too many\n";
  Publish("m", {}, input);
  EXPECT_EQ(0, listener.Wait(kTimeoutMs));
  std::vector<std::string> lines = Lines(listener.output());
  ASSERT_EQ(2u, lines.size()) << listener.output();
  EXPECT_NE(std::string::npos, lines[0].find(" one"));
  EXPECT_NE(std::string::npos, lines[1].find(" two"));
}

TEST_F(KestrelListen, ExitsZeroOnSigtermAndOnSigint) {
  for (int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(strsignal(signal));
    ToolProcess listener;
    ASSERT_TRUE(StartListener(&listener, {}));
    Publish("m", {"before the signal"});
    std::string line;
    ASSERT_TRUE(listener.ReadLine(&line, kTimeoutMs)) << listener.error();
    ASSERT_TRUE(listener.Signal(signal));
    EXPECT_EQ(0, listener.Wait(kTimeoutMs)) << listener.error();
    EXPECT_EQ("", listener.UnreadOutput());
  }
}

TEST_F(KestrelListen, ExitsOneWithTheCodeWhenConnectFails) {
  ToolResult wrongKey = RunTool({BinPath("kestrel-listen"), "--host", service_.host(), "--port",
                                 std::to_string(service_.port()), "--key", "NoSuchChannel"});
  EXPECT_EQ(1, wrongKey.status);
  EXPECT_NE(std::string::npos, wrongKey.error.find("0x80040B56 E_CORBA_OBJECT_NOT_EXIST")) << wrongKey.error;
  EXPECT_EQ("", wrongKey.output);

  ToolResult noService = RunTool({BinPath("kestrel-listen"), "--host", "127.0.0.1", "--port",
                                  std::to_string(UnusedPort()), "--key", service_.key()});
  EXPECT_EQ(1, noService.status);
  EXPECT_NE(std::string::npos, noService.error.find("0x80040B63 E_CORBA_TRANSIENT")) << noService.error;
  EXPECT_EQ("", noService.output);
}

TEST_F(KestrelListen, ExitsTwoOnUsageErrors) {
  const std::vector<std::vector<std::string>> mistakes = {
      {"--format", "xml"},
      {"--count", "0"},
      {"--count", "4294967296"},
      {"--count", "-1"},
      {"--threads", "0"},
      {"--threads", "65"},
      {"--threads", "12abc"},
      {"--colour", "red"},
      {"stray"},
      {"--count"},
  };
  for (const std::vector<std::string>& mistake : mistakes) {
    ToolResult result = RunTool(ListenCommand(mistake), "", kTimeoutMs);
    EXPECT_EQ(2, result.status) << mistake[0];
    EXPECT_NE(std::string::npos, result.error.find("usage:")) << result.error;
    EXPECT_EQ("", result.output);
  }
  const std::vector<std::string> full = ListenCommand({});
  // full: program --host H --port P --key K
  for (std::size_t option = 1; option < full.size(); option += 2) {
    std::vector<std::string> command = full;
    command.erase(command.begin() + static_cast<long>(option), command.begin() + static_cast<long>(option) + 2);
    EXPECT_EQ(2, RunTool(command).status) << "without " << full[option];
  }
  ToolResult help = RunTool({BinPath("kestrel-listen"), "--help"});
  EXPECT_EQ(0, help.status);
  EXPECT_EQ(0u, help.output.find("usage: kestrel-listen")) << help.output;
}

// The events come in the order published, so a listener that let one of
// severity 1 to 3 through would have printed it among its three lines.
TEST_F(KestrelListen, FilterPrintsOnlyTheSelectedNotifications) {
  ToolProcess listener;
  ASSERT_TRUE(StartListener(&listener, {"--filter", "$.remainder_of_body.mSeverity >= 4",
                                        "--format", "json", "--count", "3"}));
  for (int severity = 1; severity <= 6; ++severity) {
    Publish("disk", {"--severity", std::to_string(severity), "event " + std::to_string(severity)});
  }
  EXPECT_EQ(0, listener.Wait(kTimeoutMs)) << listener.error();
  std::vector<std::string> lines = Lines(listener.output());
  ASSERT_EQ(3u, lines.size()) << listener.output();
  for (int i = 0; i < 3; ++i) {
    const std::string severity = std::to_string(4 + i);
    EXPECT_NE(std::string::npos, lines[i].find("\"severity\":" + severity + ",")) << lines[i];
    EXPECT_NE(std::string::npos, lines[i].find("\"event " + severity + "\"")) << lines[i];
  }
}

TEST_F(KestrelListen, AMalformedFilterIsAUsageErrorThatSaysWhatAndWhere) {
  struct Malformed {
    std::string expression;
    std::size_t offset;  // of the character at fault
    std::string why;
  };
  const std::vector<Malformed> cases = {
      {"$.remainder_of_body.mSeverity >", 31, "expected a value, found the end"},
      {"$.remainder_of_body.mModule = 'disk'", 28, "unexpected character '='"},
  };
  for (const Malformed& malformed : cases) {
    SCOPED_TRACE(malformed.expression);
    ToolResult result = RunTool(ListenCommand({"--filter", malformed.expression}), "", kTimeoutMs);
    EXPECT_EQ(2, result.status);
    EXPECT_EQ(0u, result.error.find("kestrel-listen: --filter: " + malformed.why + ", at character " +
                                    std::to_string(malformed.offset + 1) + "\n  " +
                                    malformed.expression + "\n  " +
                                    std::string(malformed.offset, ' ') + "^\nusage:"))
        << result.error;
    EXPECT_EQ("", result.output);
  }
}

TEST_F(KestrelListen, KeepsListeningThroughAServiceRestart) {
  ToolProcess listener;
  ASSERT_TRUE(StartListener(&listener, {"--format", "json", "--count", "2"}));
  Publish("m", {"before the restart"});
  std::string line;
  ASSERT_TRUE(listener.ReadLine(&line, kTimeoutMs)) << listener.error();
  EXPECT_NE(std::string::npos, line.find("before the restart"));

  // The consumer tries to connect again every 2 s; what is published before
  // it is back is lost, so keep publishing until something arrives.
  ASSERT_TRUE(service_.Restart());
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  bool arrived = false;
  while (!arrived && std::chrono::steady_clock::now() < deadline) {
    Publish("m", {"after the restart"});
    arrived = listener.ReadLine(&line, 500);
  }
  ASSERT_TRUE(arrived) << listener.error();
  EXPECT_NE(std::string::npos, line.find("after the restart")) << line;
  EXPECT_EQ(0, listener.Wait(kTimeoutMs));
}

TEST_F(KestrelListen, SeveralDeliveryThreadsWriteWholeLines) {
  constexpr int kEvents = 40;
  ToolProcess listener;
  ASSERT_TRUE(StartListener(&listener, {"--threads", "4", "--format", "json", "--count",
                                        std::to_string(kEvents)}));
  std::string input;
  std::vector<std::string> expected;
  for (int i = 0; i < kEvents; ++i) {
    std::string description = "event number " + std::to_string(i) + " " + std::string(200, 'x');
    input += description + "\n";
    expected.push_back("{\"module\":\"burst\",\"host\":\"" + LocalHostName() +
                       "\",\"severity\":0,\"messageCode\":0,\"description\":\"" + description + "\"}");
  }
  // Two suppliers at once, so that deliveries can overlap.
  ToolProcess first, second;
  ASSERT_TRUE(first.Start(PublishCommand("burst", {})));
  ASSERT_TRUE(second.Start(PublishCommand("burst", {})));
  std::size_t half = input.find("event number " + std::to_string(kEvents / 2));
  first.WriteInput(input.substr(0, half));
  second.WriteInput(input.substr(half));
  first.CloseInput();
  second.CloseInput();
  EXPECT_EQ(0, first.Wait(kTimeoutMs)) << first.error();
  EXPECT_EQ(0, second.Wait(kTimeoutMs)) << second.error();
  EXPECT_EQ(0, listener.Wait(kTimeoutMs));

  std::vector<std::string> lines = Lines(listener.output());
  std::sort(lines.begin(), lines.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(expected, lines);
}

}  // namespace
}  // namespace testing
}  // namespace kestrel
