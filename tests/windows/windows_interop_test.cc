// The Windows builds of the tools and the library, 64- and 32-bit, run under
// Wine against a native kestrel-channeld and the native tools: every build
// must speak the same protocol, the Windows consumer must outlast a service
// restart, and each bitness registers in its own view of the registry.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>

#include "tests/support/test_support.h"
#include "tests/tools/test_authorities.h"
#include "tests/tools/tool_process.h"
#include "tests/tools/tool_test_base.h"

extern char** environ;

namespace kestrel {
namespace testing {
namespace {

// Runs a command to its end with its standard streams on /dev/null and
// answers its exit status, or -1. The wineserver and the services that Wine
// starts in the background keep the streams they were given until the
// server goes: had they a test's pipes, a wait for end-of-file would hang.
int RunQuietly(const std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    ::posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", O_RDWR, 0);
  }
  pid_t pid = -1;
  int error = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  if (error != 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class WindowsInterop : public ToolTestBase {
 protected:
  // Wine takes seconds to start a program, more on a busy machine.
  static constexpr int kWineTimeoutMs = 60000;

  // A wineserver for each test, started here with its streams (and those
  // of the services that wineboot starts) on /dev/null, so that the
  // programs run later find them running and hand nothing of theirs down.
  // It ends by itself a minute after its last program, should the test be
  // killed before TearDown.
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(ToolTestBase::SetUp());
    const char* prefix = ::getenv("WINEPREFIX");
    struct stat info;
    ASSERT_TRUE(prefix != nullptr && ::stat(prefix, &info) == 0 && S_ISDIR(info.st_mode))
        << "WINEPREFIX must name a Wine prefix made by wineboot --init (scripts/test --windows makes one)";
    ASSERT_TRUE(FileExists(std::string(prefix) + "/system.reg")) << prefix << " is not an initialised Wine prefix";
    ::setenv("WINEDEBUG", "-all", 0);
    // Console programs need no display; with one, Wine's desktop process
    // would connect to the session that happens to run the tests.
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    // A server still ending after wineboot --init would refuse to be
    // replaced by a persistent one.
    ToolResult waited = RunTool({KESTREL_WINESERVER, "-w"}, "", 30000);
    ASSERT_EQ(0, waited.status) << "another wineserver keeps running in " << prefix;
    ASSERT_EQ(0, RunQuietly({KESTREL_WINESERVER, "-p60"}));
    serverStarted_ = true;
    ASSERT_EQ(0, RunQuietly({KESTREL_WINE, "wineboot"}));
  }

  void TearDown() override {
    if (serverStarted_) {
      RunQuietly({KESTREL_WINESERVER, "-k"});
      EXPECT_EQ(0, RunQuietly({KESTREL_WINESERVER, "-w"}));
    }
    ToolTestBase::TearDown();
  }

  // program of the 64-bit build (or of the 32-bit one, from folder), with
  // this test's channel.
  std::vector<std::string> WindowsCommand(const std::string& program, const std::vector<std::string>& rest,
                                          const std::string& folder = KESTREL_WINDOWS_BIN_DIR) const {
    std::vector<std::string> command = {KESTREL_WINE, folder + "/" + program};
    for (const std::string& option : ChannelOptions()) command.push_back(option);
    command.insert(command.end(), rest.begin(), rest.end());
    return command;
  }

  ::testing::AssertionResult StartWindowsListener(ToolProcess* listener, const std::string& count,
                                                  const std::string& folder = KESTREL_WINDOWS_BIN_DIR) const {
    if (!listener->Start(WindowsCommand("kestrel-listen.exe", {"--format", "json", "--count", count}, folder))) {
      return ::testing::AssertionFailure() << "cannot run " << KESTREL_WINE;
    }
    if (!listener->WaitForError("listening on", kWineTimeoutMs)) {
      return ::testing::AssertionFailure() << "not connected; stderr: " << listener->error();
    }
    return ::testing::AssertionSuccess();
  }

  // A line that a Windows program printed, without the carriage return that
  // its text-mode standard output puts before the newline.
  static bool ReadWindowsLine(ToolProcess* program, std::string* line, int timeoutMs) {
    if (!program->ReadLine(line, timeoutMs)) return false;
    if (!line->empty() && line->back() == '\r') line->pop_back();
    return true;
  }

  void Publish(const std::string& module, const std::vector<std::string>& rest, const std::string& input = "") {
    ToolResult result = RunTool(PublishCommand(module, rest), input);
    ASSERT_EQ(0, result.status) << result.error;
  }

  static std::string JsonLine(const std::string& module, const std::string& severity, const std::string& code,
                              const std::string& description) {
    return "{\"module\":\"" + module + "\",\"host\":\"" + LocalHostName() + "\",\"severity\":" + severity +
           ",\"messageCode\":" + code + ",\"description\":\"" + description + "\"}";
  }

  // The library's own tests of the build in folder, against this test's
  // service.
  // The cases of the library's Windows test program that filter selects
  // (gtest's syntax), run in one process.
  void RunTestProgram(const std::string& folder, const std::string& filter) {
    const std::string program = folder + "/kestrel_windows_test.exe";
    ASSERT_TRUE(FileExists(program)) << program << " has not been built";
    ScopedEnvironment host("KESTREL_TEST_CHANNEL_HOST", service_.host());
    ScopedEnvironment port("KESTREL_TEST_CHANNEL_PORT", std::to_string(service_.port()));
    ScopedEnvironment key("KESTREL_TEST_CHANNEL_KEY", service_.key());
    ToolResult result = RunTool({KESTREL_WINE, program, "--gtest_filter=" + filter}, "", 240000);
    EXPECT_EQ(0, result.status) << result.output << result.error;
    // A program that ended early leaves its classes registered, where the
    // registry tests after it would find them: taken out whatever happened.
    const bool bits32 = folder == KESTREL_WINDOWS32_BIN_DIR;
    RunQuietly({KESTREL_WINE, bits32 ? "C:\\windows\\syswow64\\regsvr32.exe" : "C:\\windows\\system32\\regsvr32.exe",
                "/s", "/u", WindowsPath(folder + "/kestrel.dll")});
  }

  // Wine's reg, asked about key in one view of the registry (32 or 64).
  ToolResult QueryRegistry(const std::string& key, int view) const {
    return RunTool({KESTREL_WINE, "reg", "query", key, "/reg:" + std::to_string(view)}, "", kWineTimeoutMs);
  }

  // The path of a file of this system as Windows programs under Wine see it.
  static std::string WindowsPath(const std::string& path) {
    std::string windows = "Z:" + path;
    for (char& c : windows) c = c == '/' ? '\\' : c;
    return windows;
  }

  // This prefix's %ProgramData%, as a folder of this system.
  std::string ProgramDataFolder() const {
    ToolResult echo = RunTool({KESTREL_WINE, "cmd", "/c", "echo %ProgramData%"}, "", kWineTimeoutMs);
    std::string windows = echo.output.substr(0, echo.output.find_first_of("\r\n"));
    if (windows.size() < 3 || windows[1] != ':') return std::string();
    std::string path = std::string(::getenv("WINEPREFIX")) + "/drive_" +
                       static_cast<char>(std::tolower(static_cast<unsigned char>(windows[0])));
    for (std::size_t i = 2; i < windows.size(); ++i) path += windows[i] == '\\' ? '/' : windows[i];
    return path;
  }

  // Waits (30 s at most) until sc query says that the service kestrel-channeld
  // is in state (RUNNING, STOPPED); answers what it said last.
  ToolResult WaitForServiceState(const char* state) const {
    ToolResult query;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    do {
      query = RunTool({KESTREL_WINE, "sc", "query", "kestrel-channeld"}, "", kWineTimeoutMs);
    } while (query.output.find(state) == std::string::npos && std::chrono::steady_clock::now() < deadline);
    return query;
  }

  // Waits until the file at path holds text.
  static bool WaitForText(const std::string& path, const std::string& text, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
      if (FileExists(path) && ReadFile(path).find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return false;
  }

  static constexpr const char* kSupplierClass =
      "HKEY_CLASSES_ROOT\\CLSID\\{EA1B5AA6-69A5-4EC7-825E-154A09FF80FD}\\InprocServer32";

  bool serverStarted_ = false;
};

TEST_F(WindowsInterop, WindowsPublisherReachesANativeListener) {
  ToolProcess listener;
  ASSERT_TRUE(StartListener(&listener, {"--count", "5", "--format", "json"}));

  // Characters that JSON escapes, and both notations of the numbers.
  ToolResult publisher = RunTool(
      WindowsCommand("kestrel-publish.exe", {"--module", "winmod", "--severity", "0x7", "--code", "4294967295"}),
      "first\nsecond line\n\"quoted\"\nback\\slash\nfifth", kWineTimeoutMs);
  EXPECT_EQ(0, publisher.status) << publisher.error;

  const std::vector<std::string> descriptions = {"first", "second line", "\\\"quoted\\\"", "back\\\\slash",
                                                 "fifth"};
  for (const std::string& description : descriptions) {
    std::string line;
    ASSERT_TRUE(listener.ReadLine(&line, kTimeoutMs)) << listener.error();
    EXPECT_EQ(JsonLine("winmod", "7", "4294967295", description), line);
  }
  EXPECT_EQ(0, listener.Wait(kTimeoutMs));
}

// Windows hands a program its arguments in the ANSI code page, where these
// would become '?'; the channel carries UTF-8.
TEST_F(WindowsInterop, WindowsPublisherSendsItsArgumentsAsUtf8) {
  ToolProcess listener;
  ASSERT_TRUE(StartListener(&listener, {"--count", "1", "--format", "json"}));
  ToolResult publisher = RunTool(
      WindowsCommand("kestrel-publish.exe", {"--module", "m\u00f6dul", "\u65e5\u672c \u00e9"}), "",
      kWineTimeoutMs);
  EXPECT_EQ(0, publisher.status) << publisher.error;
  std::string line;
  ASSERT_TRUE(listener.ReadLine(&line, kTimeoutMs)) << listener.error();
  EXPECT_EQ(JsonLine("m\u00f6dul", "0", "0", "\u65e5\u672c \u00e9"), line);
  EXPECT_EQ(0, listener.Wait(kTimeoutMs));
}

TEST_F(WindowsInterop, NativePublisherReachesTheWindowsListener) {
  ToolProcess listener;
  ASSERT_TRUE(StartWindowsListener(&listener, "3"));

  Publish("native", {"--severity", "4294967295", "--code", "0x1001"}, "one\ntwo \"words\"\nthree\\");

  const std::vector<std::string> descriptions = {"one", "two \\\"words\\\"", "three\\\\"};
  for (const std::string& description : descriptions) {
    std::string line;
    ASSERT_TRUE(ReadWindowsLine(&listener, &line, kWineTimeoutMs)) << listener.error();
    EXPECT_EQ(JsonLine("native", "4294967295", "4097", description), line);
  }
  EXPECT_EQ(0, listener.Wait(kWineTimeoutMs)) << listener.error();
  EXPECT_EQ("", listener.UnreadOutput());
}

TEST_F(WindowsInterop, WindowsListenerReconnectsAfterAServiceRestart) {
  ToolProcess listener;
  ASSERT_TRUE(StartWindowsListener(&listener, "2"));
  Publish("m", {"before the restart"});
  std::string line;
  ASSERT_TRUE(ReadWindowsLine(&listener, &line, kWineTimeoutMs)) << listener.error();
  EXPECT_EQ(JsonLine("m", "0", "0", "before the restart"), line);

  // The consumer tries to connect again every 2 s and what is published
  // before it is back is lost, so keep publishing until something arrives.
  ASSERT_TRUE(service_.Restart());
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  bool arrived = false;
  while (!arrived && std::chrono::steady_clock::now() < deadline) {
    Publish("m", {"after the restart"});
    arrived = ReadWindowsLine(&listener, &line, 1000);
  }
  ASSERT_TRUE(arrived) << listener.error();
  EXPECT_EQ(JsonLine("m", "0", "0", "after the restart"), line);
  EXPECT_EQ(0, listener.Wait(kWineTimeoutMs)) << listener.error();
}

// The Windows supplier, given two services by a list, goes on through the
// second once the first is killed: the reconnection is the shared code's,
// and so is its omniORB.
TEST_F(WindowsInterop, WindowsPublisherGoesOnThroughTheSecondServiceWhenTheFirstIsKilled) {
  ChannelService first;
  ASSERT_TRUE(first.Start());
  ToolProcess atFirst;
  ASSERT_TRUE(atFirst.Start({BinPath("kestrel-listen"), "--channel", first.address(), "--format", "json",
                             "--count", "1"}));
  ASSERT_TRUE(atFirst.WaitForError("listening on", kTimeoutMs)) << atFirst.error();
  ToolProcess atSecond;
  ASSERT_TRUE(StartListener(&atSecond, {"--count", "1", "--format", "json"}));

  const std::string list = "corbaloc:iiop:" + first.host() + ":" + std::to_string(first.port()) + ",iiop:" +
                           service_.host() + ":" + std::to_string(service_.port()) + "/" + service_.key();
  ToolProcess publisher;
  ASSERT_TRUE(publisher.Start({KESTREL_WINE, std::string(KESTREL_WINDOWS_BIN_DIR) + "/kestrel-publish.exe",
                               "--channel", list, "--module", "win"}));
  ASSERT_TRUE(publisher.WriteInput("before\n"));
  std::string line;
  ASSERT_TRUE(atFirst.ReadLine(&line, kWineTimeoutMs)) << atFirst.error() << publisher.error();
  EXPECT_EQ(JsonLine("win", "0", "0", "before"), line);

  ASSERT_EQ(128 + SIGKILL, first.Stop(SIGKILL));
  ASSERT_TRUE(publisher.WriteInput("after\n"));
  ASSERT_TRUE(atSecond.ReadLine(&line, kWineTimeoutMs)) << atSecond.error() << publisher.error();
  EXPECT_EQ(JsonLine("win", "0", "0", "after"), line);
  publisher.CloseInput();
  // Exit status 0: no line failed on the way over.
  EXPECT_EQ(0, publisher.Wait(kWineTimeoutMs)) << publisher.error();
  EXPECT_EQ(0, atSecond.Wait(kTimeoutMs));
}

// The library's own tests, built for Windows, against this test's service.
TEST_F(WindowsInterop, WindowsTestProgramPasses) { RunTestProgram(KESTREL_WINDOWS_BIN_DIR, "-Repeated.*"); }

// The same tests built for 32-bit Windows: a 32-bit host registers its DLL
// (syswow64's regsvr32), creates both classes by ProgID, publishes and
// receives; and a client that calls through the interfaces' function tables,
// as another compiler's client does, finds every method where it expects it.
TEST_F(WindowsInterop, Windows32TestProgramPasses) { RunTestProgram(KESTREL_WINDOWS32_BIN_DIR, "-Repeated.*"); }

// A client that creates, uses and releases objects round after round, on a
// new thread each time, with the library unloaded between some rounds: in
// either bitness, no round may fail and the process may never end early.
TEST_F(WindowsInterop, CreatingAgainAfterReleasingNeverFails) {
  RunTestProgram(KESTREL_WINDOWS_BIN_DIR, "Repeated.*");
}

TEST_F(WindowsInterop, CreatingAgainAfterReleasingNeverFails32) {
  RunTestProgram(KESTREL_WINDOWS32_BIN_DIR, "Repeated.*");
}

// The 32-bit publisher reaches a 64-bit listener, and the 64-bit publisher a
// 32-bit listener, through the native service.
TEST_F(WindowsInterop, ThirtyTwoAndSixtyFourBitProgramsReachEachOther) {
  const std::string bits32 = KESTREL_WINDOWS32_BIN_DIR;
  const std::string bits64 = KESTREL_WINDOWS_BIN_DIR;
  for (const auto& [from, to] : {std::make_pair(bits32, bits64), std::make_pair(bits64, bits32)}) {
    ToolProcess listener;
    ASSERT_TRUE(StartWindowsListener(&listener, "1", to));
    ToolResult publisher =
        RunTool(WindowsCommand("kestrel-publish.exe", {"--module", "bits", "--code", "7", "across"}, from), "",
                kWineTimeoutMs);
    EXPECT_EQ(0, publisher.status) << publisher.error;
    std::string line;
    ASSERT_TRUE(ReadWindowsLine(&listener, &line, kWineTimeoutMs)) << listener.error();
    EXPECT_EQ(JsonLine("bits", "0", "7", "across"), line) << from << " to " << to;
    EXPECT_EQ(0, listener.Wait(kWineTimeoutMs)) << listener.error();
  }
}

// IIOP over TLS between the systems: the DLLs of both bitnesses take their
// files from the registry's view of their own, and kestrel-channeld.exe
// serves TLS to native clients, refusing plain ones.
TEST_F(WindowsInterop, TlsReachesAcrossTheSystemsInBothBitnesses) {
  Authorities files;
  ASSERT_TRUE(files.Make()) << "openssl could not make the test's certificates";
  ChannelService::Options options;
  options.extraArguments = {"--tls-cert", files.Cert("service"), "--tls-key", files.Key("service"),
                            "--tls-ca", files.Ca("site")};
  ChannelService service(options);
  ASSERT_TRUE(service.Start());
  const std::vector<std::string> listenerTls = {"--tls-cert", files.Cert("listener"), "--tls-key",
                                                files.Key("listener"), "--tls-ca", files.Ca("site")};

  const char* settings = "HKLM\\SOFTWARE\\Tarnwell Networks\\Common";
  const std::vector<std::pair<std::string, std::string>> values = {
      {"TlsCaFile", WindowsPath(files.Ca("site"))},
      {"TlsCertFile", WindowsPath(files.Cert("publisher"))},
      {"TlsKeyFile", WindowsPath(files.Key("publisher"))}};
  for (const auto& [folder, view] : {std::make_pair(std::string(KESTREL_WINDOWS_BIN_DIR), 64),
                                     std::make_pair(std::string(KESTREL_WINDOWS32_BIN_DIR), 32)}) {
    for (const auto& [name, value] : values) {
      ASSERT_EQ(0, RunTool({KESTREL_WINE, "reg", "add", settings, "/v", name, "/t", "REG_SZ", "/d", value,
                            "/f", "/reg:" + std::to_string(view)},
                           "", kWineTimeoutMs)
                       .status);
    }
    ToolProcess listener;
    std::vector<std::string> listen = {BinPath("kestrel-listen"), "--channel", service.address(),
                                       "--count", "1", "--format", "json"};
    listen.insert(listen.end(), listenerTls.begin(), listenerTls.end());
    ASSERT_TRUE(listener.Start(listen));
    ASSERT_TRUE(listener.WaitForError("listening on", kTimeoutMs)) << listener.error();
    ToolResult publisher = RunTool({KESTREL_WINE, folder + "/kestrel-publish.exe", "--channel", service.address(),
                                    "--module", "wintls", "bits " + std::to_string(view)},
                                   "", kWineTimeoutMs);
    EXPECT_EQ(0, publisher.status) << view << "-bit: " << publisher.error;
    std::string line;
    ASSERT_TRUE(listener.ReadLine(&line, kTimeoutMs)) << listener.error();
    EXPECT_EQ(JsonLine("wintls", "0", "0", "bits " + std::to_string(view)), line);
    EXPECT_EQ(0, listener.Wait(kTimeoutMs));
    RunTool({KESTREL_WINE, "reg", "delete", settings, "/f", "/reg:" + std::to_string(view)}, "", kWineTimeoutMs);
  }

  // kestrel-channeld.exe over TLS, with a native supplier and consumer.
  const std::string program = std::string(KESTREL_WINDOWS_BIN_DIR) + "/kestrel-channeld.exe";
  ToolProcess windows;
  ASSERT_TRUE(windows.Start({KESTREL_WINE, program, "--port", std::to_string(UnusedPort()), "--tls-cert",
                             WindowsPath(files.Cert("service")), "--tls-key", WindowsPath(files.Key("service")),
                             "--tls-ca", WindowsPath(files.Ca("site"))}));
  std::string channel;
  ASSERT_TRUE(ReadWindowsLine(&windows, &channel, kWineTimeoutMs)) << windows.error();
  ASSERT_EQ(0u, channel.find("corbaloc:ssliop:127.0.0.1:")) << channel;
  ToolProcess listener;
  std::vector<std::string> listen = {BinPath("kestrel-listen"), "--channel", channel, "--count", "1",
                                     "--format", "json"};
  listen.insert(listen.end(), listenerTls.begin(), listenerTls.end());
  ASSERT_TRUE(listener.Start(listen));
  ASSERT_TRUE(listener.WaitForError("listening on", kWineTimeoutMs)) << listener.error();
  std::string plain = channel;
  plain.replace(0, std::string("corbaloc:ssliop:").size(), "corbaloc:iiop:");
  ToolResult refused = RunTool({BinPath("kestrel-publish"), "--channel", plain, "--module", "m", "plain"});
  EXPECT_EQ(1, refused.status) << refused.error;
  ToolResult published = RunTool({BinPath("kestrel-publish"), "--channel", channel, "--tls-cert",
                                   files.Cert("publisher"), "--tls-key", files.Key("publisher"), "--tls-ca",
                                   files.Ca("site"), "--module", "linux", "to windows"},
                                  "", kWineTimeoutMs);
  EXPECT_EQ(0, published.status) << published.error;
  std::string line;
  ASSERT_TRUE(listener.ReadLine(&line, kWineTimeoutMs)) << listener.error();
  EXPECT_EQ(JsonLine("linux", "0", "0", "to windows"), line);
  EXPECT_EQ(0, listener.Wait(kWineTimeoutMs));
  windows.Signal(SIGKILL);
  windows.Wait(kWineTimeoutMs);
  EXPECT_EQ(0, service.Stop());
}

// The 32-bit regsvr32 writes the 32-bit view of HKEY_CLASSES_ROOT, which
// 64-bit programs do not see, and takes it out again.
TEST_F(WindowsInterop, The32BitDllRegistersInThe32BitViewOnly) {
  const std::string dll = WindowsPath(std::string(KESTREL_WINDOWS32_BIN_DIR) + "/kestrel.dll");
  const std::string regsvr32 = "C:\\windows\\syswow64\\regsvr32.exe";
  ASSERT_EQ(0, RunTool({KESTREL_WINE, regsvr32, "/s", dll}, "", kWineTimeoutMs).status);
  ToolResult view32 = QueryRegistry(kSupplierClass, 32);
  ToolResult view64 = QueryRegistry(kSupplierClass, 64);
  ASSERT_EQ(0, RunTool({KESTREL_WINE, regsvr32, "/s", "/u", dll}, "", kWineTimeoutMs).status);
  ToolResult after = QueryRegistry(kSupplierClass, 32);
  EXPECT_EQ(0, view32.status) << view32.error;
  EXPECT_NE(std::string::npos, view32.output.find(dll)) << view32.output;
  EXPECT_NE(0, view64.status) << view64.output;
  EXPECT_NE(0, after.status) << after.output;
}

// kestrel-channeld.exe as the Windows service kestrel-channeld: created and
// started through the service control manager, it serves a Windows listener
// and a native publisher, lets its log be moved away while it runs and
// starts a new one, writes its counters on control code 128, keeps the
// events queued for a consumer across a stop and a start (its state
// directory, on Windows' file system), and stops cleanly, every line of it
// in its log file.
TEST_F(WindowsInterop, ChannelServiceRunsAsAWindowsService) {
  const std::string port = std::to_string(UnusedPort());
  const std::string program = WindowsPath(std::string(KESTREL_WINDOWS_BIN_DIR) + "/kestrel-channeld.exe");
  const std::string folder = ProgramDataFolder();
  ASSERT_FALSE(folder.empty());
  const std::string log = folder + "/Kestrel/kestrel-channeld.log";
  ::remove(log.c_str());
  RunTool({KESTREL_WINE, "sc", "delete", "kestrel-channeld"}, "", kWineTimeoutMs);  // a failed run's
  ASSERT_EQ(0, RunTool({KESTREL_WINE, "sc", "create", "kestrel-channeld", "binPath=",
                        program + " --port " + port + " --state-dir C:\\ProgramData\\Kestrel\\test-state",
                        "start=", "demand"},
                       "", kWineTimeoutMs)
                   .status);
  ASSERT_EQ(0, RunTool({KESTREL_WINE, "sc", "start", "kestrel-channeld"}, "", kWineTimeoutMs).status);
  const std::string address = "corbaloc:iiop:127.0.0.1:" + port + "/NotifyEventChannel";
  ASSERT_TRUE(WaitForText(log, address, kWineTimeoutMs)) << (FileExists(log) ? ReadFile(log) : log);
  EXPECT_NE(std::string::npos, ReadFile(log).find("started as the Windows service kestrel-channeld"));

  const std::vector<std::string> channel = {"--host", "127.0.0.1", "--port", port, "--key",
                                            "NotifyEventChannel"};
  std::vector<std::string> listen = {KESTREL_WINE, std::string(KESTREL_WINDOWS_BIN_DIR) + "/kestrel-listen.exe",
                                     "--format", "json", "--count", "2"};
  listen.insert(listen.end(), channel.begin(), channel.end());
  ToolProcess listener;
  ASSERT_TRUE(listener.Start(listen));
  ASSERT_TRUE(listener.WaitForError("listening on", kWineTimeoutMs)) << listener.error();
  for (const char* text : {"through the service", "after the counters"}) {
    std::vector<std::string> publish = {BinPath("kestrel-publish"), "--module", "native", text};
    publish.insert(publish.end(), channel.begin(), channel.end());
    ToolResult published = RunTool(publish);
    EXPECT_EQ(0, published.status) << published.error;
    std::string line;
    ASSERT_TRUE(ReadWindowsLine(&listener, &line, kWineTimeoutMs)) << listener.error();
    EXPECT_EQ(JsonLine("native", "0", "0", text), line);
    if (std::string(text) == "through the service") {
      // The log moved away by a Windows program while the service has it
      // open, as a log rotation does: the counters go to a new file of the
      // same name, and the service goes on serving (the next event).
      const std::string moved = log + ".moved";
      ::remove(moved.c_str());
      ToolResult move = RunTool({KESTREL_WINE, "cmd", "/c", "move", "C:\\ProgramData\\Kestrel\\kestrel-channeld.log",
                                 "C:\\ProgramData\\Kestrel\\kestrel-channeld.log.moved"},
                                "", kWineTimeoutMs);
      ASSERT_TRUE(FileExists(moved)) << "the service's log could not be moved: " << move.output << move.error;
      const std::string control = std::string(KESTREL_WINDOWS_BIN_DIR) + "/service_control.exe";
      EXPECT_EQ(0, RunTool({KESTREL_WINE, control, "kestrel-channeld", "128"}, "", kWineTimeoutMs).status);
      EXPECT_TRUE(WaitForText(log, "channel NotifyEventChannel: received 1,", kWineTimeoutMs))
          << (FileExists(log) ? ReadFile(log) : "no new log") << "\nmoved:\n" << ReadFile(moved);
      EXPECT_NE(std::string::npos, ReadFile(moved).find("started as the Windows service kestrel-channeld"));
      EXPECT_EQ(std::string::npos, ReadFile(moved).find("received 1,")) << ReadFile(moved);
      ::remove(moved.c_str());
    }
  }
  EXPECT_EQ(0, listener.Wait(kWineTimeoutMs)) << listener.error();

  // A consumer that takes nothing for a while (stopped), events queued for
  // it, and the service stopped and started meanwhile: it gets every one.
  std::vector<std::string> nativeListen = {BinPath("kestrel-listen"), "--format", "json", "--count", "3"};
  nativeListen.insert(nativeListen.end(), channel.begin(), channel.end());
  ToolProcess paused;
  ASSERT_TRUE(paused.Start(nativeListen));
  ASSERT_TRUE(paused.WaitForError("listening on", kTimeoutMs)) << paused.error();
  ASSERT_TRUE(paused.Signal(SIGSTOP));
  for (const char* text : {"queued 1", "queued 2", "queued 3"}) {
    std::vector<std::string> publish = {BinPath("kestrel-publish"), "--module", "native", text};
    publish.insert(publish.end(), channel.begin(), channel.end());
    EXPECT_EQ(0, RunTool(publish).status);
  }
  RunTool({KESTREL_WINE, "sc", "stop", "kestrel-channeld"}, "", kWineTimeoutMs);
  ASSERT_NE(std::string::npos, WaitForServiceState("STOPPED").output.find("STOPPED"));
  ASSERT_EQ(0, RunTool({KESTREL_WINE, "sc", "start", "kestrel-channeld"}, "", kWineTimeoutMs).status);
  ASSERT_NE(std::string::npos, WaitForServiceState("RUNNING").output.find("RUNNING"));
  ASSERT_TRUE(paused.Signal(SIGCONT));
  for (const char* text : {"queued 1", "queued 2", "queued 3"}) {
    std::string line;
    ASSERT_TRUE(paused.ReadLine(&line, kWineTimeoutMs)) << paused.error() << ReadFile(log);
    EXPECT_EQ(JsonLine("native", "0", "0", text), line);
  }
  EXPECT_EQ(0, paused.Wait(kTimeoutMs));

  RunTool({KESTREL_WINE, "sc", "stop", "kestrel-channeld"}, "", kWineTimeoutMs);
  EXPECT_TRUE(WaitForText(log, "stopped (service stop), exit status 0", kWineTimeoutMs)) << ReadFile(log);
  ToolResult state = WaitForServiceState("STOPPED");
  EXPECT_NE(std::string::npos, state.output.find("STOPPED")) << state.output;
  EXPECT_NE(std::string::npos, state.output.find("WIN32_EXIT_CODE    : 0")) << state.output;
  EXPECT_EQ(0, RunTool({KESTREL_WINE, "sc", "delete", "kestrel-channeld"}, "", kWineTimeoutMs).status);
}

// What kestrel-channeld.exe tells a Windows administrator: a port that
// another program listens on is "already in use" (Winsock's code, not
// errno's), and --help names the requests that Windows has, not signals.
TEST_F(WindowsInterop, ChannelServiceSpeaksWindows) {
  const std::string program = std::string(KESTREL_WINDOWS_BIN_DIR) + "/kestrel-channeld.exe";
  ToolResult busy = RunTool({KESTREL_WINE, program, "--port", std::to_string(service_.port())}, "", kWineTimeoutMs);
  EXPECT_NE(0, busy.status);
  EXPECT_NE(std::string::npos,
            busy.error.find("cannot listen on 127.0.0.1:" + std::to_string(service_.port()) +
                            ": the address is already in use"))
      << busy.error;

  // One service at a time on a state directory, through LockFileEx: a
  // second is turned away while the first runs, and not once the first
  // was killed. The first serves its metrics too, through Winsock.
  TemporaryFolder state;
  const std::vector<std::string> onState = {"--state-dir", WindowsPath(state.path())};
  auto serviceOn = [&](int port) {
    std::vector<std::string> command = {KESTREL_WINE, program, "--port", std::to_string(port)};
    command.insert(command.end(), onState.begin(), onState.end());
    return command;
  };
  const int metricsPort = UnusedPort();
  std::vector<std::string> withMetrics = serviceOn(UnusedPort());
  withMetrics.insert(withMetrics.end(), {"--metrics", "127.0.0.1:" + std::to_string(metricsPort)});
  ToolProcess first;
  ASSERT_TRUE(first.Start(withMetrics));
  std::string line;
  ASSERT_TRUE(ReadWindowsLine(&first, &line, kWineTimeoutMs)) << first.error();
  httplib::Client scraper("127.0.0.1", metricsPort);
  httplib::Result health = scraper.Get("/health");
  ASSERT_TRUE(health) << httplib::to_string(health.error());
  EXPECT_EQ(200, health->status);
  httplib::Result metrics = scraper.Get("/metrics");
  ASSERT_TRUE(metrics) << httplib::to_string(metrics.error());
  EXPECT_EQ(200, metrics->status);
  const std::string received =
      "kestrel_channeld_events_received_total{channel=\"NotifyEventChannel\"} 0\n";
  EXPECT_NE(std::string::npos, metrics->body.find(received)) << metrics->body;
  ToolResult turnedAway = RunTool(serviceOn(UnusedPort()), "", kWineTimeoutMs);
  EXPECT_EQ(1, turnedAway.status);
  EXPECT_NE(std::string::npos, turnedAway.error.find("state directory " + WindowsPath(state.path()) +
                                                     " is in use by process "))
      << turnedAway.error;
  ASSERT_TRUE(first.Signal(SIGKILL));
  first.Wait(kWineTimeoutMs);
  ToolProcess second;
  ASSERT_TRUE(second.Start(serviceOn(UnusedPort())));
  EXPECT_TRUE(ReadWindowsLine(&second, &line, kWineTimeoutMs)) << second.error();
  EXPECT_EQ(0u, line.find("corbaloc:iiop:127.0.0.1:")) << line;
  second.Signal(SIGKILL);
  second.Wait(kWineTimeoutMs);

  ToolResult help = RunTool({KESTREL_WINE, program, "--help"}, "", kWineTimeoutMs);
  EXPECT_EQ(0, help.status) << help.error;
  for (const char* named : {"Ctrl+C", "Ctrl+Break", "sc stop kestrel-channeld", "control code 128",
                            "kestrel-channeld.log"}) {
    EXPECT_NE(std::string::npos, help.output.find(named)) << named << " not in:\n" << help.output;
  }
  for (const char* signal : {"SIGUSR1", "SIGTERM", "SIGINT"}) {
    EXPECT_EQ(std::string::npos, help.output.find(signal)) << signal << " in:\n" << help.output;
  }
}

// The console of kestrel-channeld.exe, served through Winsock: the page,
// the figures, and a tail on which a notification published from Linux
// arrives as the page shows it, through a constraint that keeps out another.
TEST_F(WindowsInterop, ChannelServiceServesTheConsole) {
  const std::string program = std::string(KESTREL_WINDOWS_BIN_DIR) + "/kestrel-channeld.exe";
  const int consolePort = UnusedPort();
  ToolProcess windows;
  ASSERT_TRUE(windows.Start({KESTREL_WINE, program, "--port", std::to_string(UnusedPort()), "--metrics",
                             "127.0.0.1:" + std::to_string(consolePort), "--console"}));
  std::string channel;
  ASSERT_TRUE(ReadWindowsLine(&windows, &channel, kWineTimeoutMs)) << windows.error();
  ASSERT_EQ(0u, channel.find("corbaloc:iiop:127.0.0.1:")) << channel;

  httplib::Client browser("127.0.0.1", consolePort);
  browser.set_read_timeout(kWineTimeoutMs / 1000, 0);
  httplib::Result page = browser.Get("/");
  ASSERT_TRUE(page) << httplib::to_string(page.error());
  EXPECT_EQ(200, page->status);
  EXPECT_EQ("text/html; charset=utf-8", page->get_header_value("Content-Type"));
  EXPECT_NE(std::string::npos, page->body.find("<title>kestrel-channeld console</title>")) << page->body;
  httplib::Result state = browser.Get("/console/state");
  ASSERT_TRUE(state) << httplib::to_string(state.error());
  EXPECT_EQ(200, state->status);
  EXPECT_EQ("application/json", state->get_header_value("Content-Type"));
  EXPECT_NE(std::string::npos, state->body.find("{\"key\":\"NotifyEventChannel\",")) << state->body;
  EXPECT_NE(std::string::npos, state->body.find("\"viewers\":0,")) << state->body;

  // The tail on a thread of its own, which hands on what it reads.
  std::mutex mutex;
  std::condition_variable arrived;
  std::string tailed;
  int tailStatus = 0;
  std::string tailType;
  std::atomic<bool> leaving{false};
  httplib::Client tailClient("127.0.0.1", consolePort);
  tailClient.set_read_timeout(kWineTimeoutMs / 1000, 0);  // keep-alives come every few seconds
  std::thread tail([&] {
    tailClient.Get(
        "/console/tail", {{"constraint", "$mModule == 'winconsole'"}}, {},
        [&](const httplib::Response& response) {
          std::lock_guard<std::mutex> lock(mutex);
          tailStatus = response.status;
          tailType = response.get_header_value("Content-Type");
          return true;
        },
        [&](const char* data, std::size_t length) {
          {
            std::lock_guard<std::mutex> lock(mutex);
            tailed.append(data, length);
          }
          arrived.notify_all();
          return !leaving;
        });
    std::lock_guard<std::mutex> lock(mutex);
    tailed += "\n(the tail ended)";
    arrived.notify_all();
  });
  struct Leave {
    std::atomic<bool>* leaving;
    httplib::Client* client;
    std::thread* thread;
    ~Leave() {
      *leaving = true;
      client->stop();
      thread->join();
    }
  } leave{&leaving, &tailClient, &tail};
  auto tailHolds = [&](const std::string& text) {
    std::unique_lock<std::mutex> lock(mutex);
    return arrived.wait_for(lock, std::chrono::milliseconds(kWineTimeoutMs),
                            [&] { return tailed.find(text) != std::string::npos; });
  };
  ASSERT_TRUE(tailHolds(": watching\n")) << tailed;
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(200, tailStatus);
    EXPECT_EQ("text/event-stream", tailType);
  }

  // Two notifications, the first of which the constraint keeps out.
  for (const std::vector<std::string>& notification :
       {std::vector<std::string>{"--module", "elsewhere", "not for this page"},
        std::vector<std::string>{"--module", "winconsole", "--severity", "4", "--code", "0x1001",
                                 "disk C:\\ is <97%> full"}}) {
    std::vector<std::string> publish = {BinPath("kestrel-publish"), "--channel", channel};
    publish.insert(publish.end(), notification.begin(), notification.end());
    ToolResult published = RunTool(publish, "", kTimeoutMs);
    ASSERT_EQ(0, published.status) << published.error;
  }
  const std::string shown = "\",\"channel\":\"NotifyEventChannel\",\"host\":\"" + LocalHostName() +
                            "\",\"module\":\"winconsole\",\"severity\":4,\"severityName\":\"error\","
                            "\"code\":4097,\"description\":\"disk C:\\\\ is \\u003c97%\\u003e full\"}\n\n";
  ASSERT_TRUE(tailHolds(shown)) << tailed;
  std::string lines;
  {
    std::lock_guard<std::mutex> lock(mutex);
    lines = tailed;
  }
  // The line's time is the arrival's, as local time to the millisecond.
  const std::string data = "data: {\"time\":\"";
  const std::size_t line = lines.find(data);
  ASSERT_NE(std::string::npos, line) << lines;
  EXPECT_EQ(line + data.size() + std::string("2026-12-09 13:32:49.123").size(), lines.find(shown)) << lines;
  EXPECT_EQ(std::string::npos, lines.find("data: ", line + 1)) << lines;
  EXPECT_EQ(std::string::npos, lines.find("not for this page")) << lines;
  EXPECT_EQ(std::string::npos, lines.find("event: dropped")) << lines;

  state = browser.Get("/console/state");
  ASSERT_TRUE(state) << httplib::to_string(state.error());
  EXPECT_NE(std::string::npos, state->body.find("\"viewers\":1,")) << state->body;
  EXPECT_NE(std::string::npos, state->body.find("\"received\":2,")) << state->body;

  ASSERT_TRUE(windows.Signal(SIGKILL));
  windows.Wait(kWineTimeoutMs);
}

// The installer: msiexec /i puts both DLLs, the tools and the service in
// place, writes each DLL's classes in its own registry view, appends its
// folder to the system PATH, makes the service's folder and starts the
// service as LocalService, which serves a Windows publisher and a native
// listener; a rebuild of the same version and then a later version each
// replace what is installed, one product at a time; the earlier version is
// then refused; msiexec /x leaves nothing of it behind but ProgramData.
TEST_F(WindowsInterop, TheInstallerInstallsUpgradesAndUninstalls) {
  ASSERT_TRUE(FileExists(KESTREL_WINDOWS_MSI)) << "no installer: " << KESTREL_WINDOWS_MSI;
  ASSERT_TRUE(FileExists(KESTREL_WINDOWS_REBUILT_MSI)) << "no rebuilt installer";
  ASSERT_TRUE(FileExists(KESTREL_WINDOWS_UPGRADE_MSI)) << "no later installer";
  const std::string drive = std::string(::getenv("WINEPREFIX")) + "/drive_c";
  const std::vector<std::string> installed = {
      drive + "/Program Files/Kestrel/kestrel.dll", drive + "/Program Files/Kestrel/kestrel-publish.exe",
      drive + "/Program Files/Kestrel/kestrel-listen.exe", drive + "/Program Files/Kestrel/kestrel-channeld.exe",
      drive + "/Program Files/Kestrel/OpenSSL-LICENSE.txt", drive + "/Program Files (x86)/Kestrel/kestrel.dll"};
  const std::string serviceKey = "HKLM\\System\\CurrentControlSet\\Services\\kestrel-channeld";
  const std::string folder = ProgramDataFolder();
  ASSERT_FALSE(folder.empty());
  // msiexec's success, which may ask for a restart (3010, of which a Linux
  // exit status keeps the low byte).
  auto msiexec = [this](const std::string& action, const std::string& msi) {
    int status = RunTool({KESTREL_WINE, "msiexec", action, WindowsPath(msi), "/qn"}, "", 180000).status;
    return status == (3010 & 0xff) ? 0 : status;
  };
  // The products named Kestrel in Programs and Features, with their versions.
  auto products = [this]() {
    ToolResult list = RunTool({KESTREL_WINE, "reg", "query",
                               "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall", "/s", "/reg:64"},
                              "", kWineTimeoutMs);
    std::vector<std::string> versions;
    const std::string name = "DisplayName    REG_SZ    Kestrel\r\n";
    for (std::size_t at = list.output.find(name); at != std::string::npos; at = list.output.find(name, at + 1)) {
      // The product's key lists DisplayVersion among its values.
      std::size_t key = list.output.rfind("\r\nHKEY_", at);
      std::size_t next = list.output.find("\r\nHKEY_", at);
      std::string values = list.output.substr(key, next == std::string::npos ? std::string::npos : next - key);
      std::size_t version = values.find("DisplayVersion    REG_SZ    ");
      versions.push_back(version == std::string::npos
                             ? "?"
                             : values.substr(version + 28, values.find('\r', version) - version - 28));
    }
    return versions;
  };
  // The system PATH, as the registry holds it for every new process.
  auto systemPath = [this]() {
    return RunTool({KESTREL_WINE, "reg", "query",
                    "HKLM\\SYSTEM\\CurrentControlSet\\Control\\Session Manager\\Environment", "/v", "PATH",
                    "/reg:64"},
                   "", kWineTimeoutMs)
        .output;
  };
  auto occurrences = [](const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
  };
  const std::string installFolder = "C:\\Program Files\\Kestrel\\";
  auto stopService = [this]() {
    // Wine's msiexec asks the service to stop but does not wait for it,
    // and a program still running cannot be replaced or deleted until a
    // restart; Windows' waits. So the service is stopped first here.
    RunTool({KESTREL_WINE, "sc", "stop", "kestrel-channeld"}, "", kWineTimeoutMs);
    WaitForServiceState("STOPPED");
  };

  for (const char* msi : {KESTREL_WINDOWS_UPGRADE_MSI, KESTREL_WINDOWS_REBUILT_MSI, KESTREL_WINDOWS_MSI}) {
    msiexec("/x", msi);  // what a failed run left
  }
  ASSERT_TRUE(products().empty()) << "a Kestrel that this test did not install is there";

  ASSERT_EQ(0, msiexec("/i", KESTREL_WINDOWS_MSI));
  for (const std::string& file : installed) EXPECT_TRUE(FileExists(file)) << file;
  ToolResult view64 = QueryRegistry(kSupplierClass, 64);
  ToolResult view32 = QueryRegistry(kSupplierClass, 32);
  EXPECT_NE(std::string::npos, view64.output.find("C:\\Program Files\\Kestrel\\kestrel.dll")) << view64.output;
  EXPECT_NE(std::string::npos, view32.output.find("C:\\Program Files (x86)\\Kestrel\\kestrel.dll")) << view32.output;
  ToolResult service = QueryRegistry(serviceKey, 64);
  EXPECT_NE(std::string::npos, service.output.find("--listen 127.0.0.1 --port 5000")) << service.output;
  EXPECT_NE(std::string::npos, service.output.find("0x2")) << "not started automatically: " << service.output;
  EXPECT_NE(std::string::npos, service.output.find("ObjectName    REG_SZ    NT AUTHORITY\\LocalService"))
      << "not run as LocalService: " << service.output;
  EXPECT_EQ(1u, occurrences(systemPath(), installFolder)) << systemPath();
  struct stat data;
  EXPECT_TRUE(::stat((folder + "/Kestrel").c_str(), &data) == 0 && S_ISDIR(data.st_mode))
      << "no " << folder << "/Kestrel";

  // As installed: port 5000, outside the range that the system hands out
  // for port 0, where every other test's servers are.
  const std::string port = "5000";
  const std::vector<std::string> channel = {"--host", "127.0.0.1", "--port", port, "--key", "NotifyEventChannel"};
  std::vector<std::string> listen = {BinPath("kestrel-listen"), "--format", "json", "--count", "1"};
  listen.insert(listen.end(), channel.begin(), channel.end());
  ToolProcess listener;
  ASSERT_TRUE(listener.Start(listen));
  bool connected = false;
  for (int attempt = 0; attempt < 30 && !connected; ++attempt) {  // the service may still be starting
    connected = listener.WaitForError("listening on", 1000);
  }
  ASSERT_TRUE(connected) << listener.error();
  std::vector<std::string> publish = {KESTREL_WINE, "C:\\Program Files\\Kestrel\\kestrel-publish.exe",
                                      "--module", "installed", "through the installed service"};
  publish.insert(publish.end(), channel.begin(), channel.end());
  ToolResult published = RunTool(publish, "", kWineTimeoutMs);
  EXPECT_EQ(0, published.status) << published.error;
  std::string line;
  ASSERT_TRUE(listener.ReadLine(&line, kWineTimeoutMs)) << listener.error();
  EXPECT_EQ(JsonLine("installed", "0", "0", "through the installed service"), line);
  EXPECT_EQ(0, listener.Wait(kTimeoutMs));

  // A rebuild of the same version (another package, another product code)
  // replaces it in place, and so does a later version: one product each
  // time, whose folder is on the PATH once.
  const std::string version = products().empty() ? "" : products().front();
  for (const char* msi : {KESTREL_WINDOWS_REBUILT_MSI, KESTREL_WINDOWS_UPGRADE_MSI}) {
    stopService();
    ASSERT_EQ(0, msiexec("/i", msi)) << msi;
    for (const std::string& file : installed) EXPECT_TRUE(FileExists(file)) << file;
    std::vector<std::string> now = products();
    ASSERT_EQ(1u, now.size()) << msi;
    if (msi == std::string(KESTREL_WINDOWS_REBUILT_MSI)) {
      EXPECT_EQ(version, now.front());
    } else {
      EXPECT_NE(version, now.front());
    }
    EXPECT_EQ(1u, occurrences(systemPath(), installFolder)) << msi << ": " << systemPath();
  }
  // The earlier version does not replace the later one.
  EXPECT_NE(0, msiexec("/i", KESTREL_WINDOWS_MSI));
  std::vector<std::string> after = products();
  EXPECT_EQ(1u, after.size());
  EXPECT_NE(version, after.empty() ? version : after.front());

  stopService();
  ASSERT_EQ(0, msiexec("/x", KESTREL_WINDOWS_UPGRADE_MSI));
  for (const std::string& file : installed) EXPECT_FALSE(FileExists(file)) << file;
  EXPECT_NE(0, QueryRegistry(kSupplierClass, 64).status);
  EXPECT_NE(0, QueryRegistry(kSupplierClass, 32).status);
  EXPECT_NE(0, QueryRegistry(serviceKey, 64).status) << "the service is still installed";
  EXPECT_EQ(0u, occurrences(systemPath(), "Kestrel")) << systemPath();
  EXPECT_TRUE(products().empty());
}

}  // namespace
}  // namespace testing
}  // namespace kestrel
