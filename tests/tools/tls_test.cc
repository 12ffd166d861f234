// IIOP over TLS end to end: a kestrel-channeld with certificates of a
// throwaway authority made here, the library's supplier and consumer in
// kestrel-publish and kestrel-listen, and peers that must be refused.

#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/channel_service.h"
#include "tests/tools/test_authorities.h"
#include "tests/tools/tool_process.h"

namespace kestrel {
namespace testing {
namespace {

constexpr int kTimeoutMs = 20000;

class TlsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    authorities_ = new Authorities;
    ASSERT_TRUE(authorities_->Make()) << "openssl could not make the test's certificates";
  }
  static void TearDownTestSuite() {
    delete authorities_;
    authorities_ = nullptr;
  }

  const Authorities& files() const { return *authorities_; }

  std::vector<std::string> ServiceTls(const std::string& name) const {
    return {"--tls-cert", files().Cert(name), "--tls-key", files().Key(name), "--tls-ca",
            files().Ca("site")};
  }

  // The options of a tool that presents name's certificate and trusts ca.
  std::vector<std::string> ToolTls(const std::string& name, const std::string& ca) const {
    return {"--tls-cert", files().Cert(name), "--tls-key", files().Key(name), "--tls-ca", ca};
  }

  ToolResult Publish(const std::string& channel, const std::vector<std::string>& tls,
                     const std::string& text) const {
    std::vector<std::string> command = {BinPath("kestrel-publish"), "--channel", channel};
    command.insert(command.end(), tls.begin(), tls.end());
    command.insert(command.end(), {"--module", "tls", text});
    return RunTool(command, "", kTimeoutMs);
  }

  static Authorities* authorities_;
};

Authorities* TlsTest::authorities_ = nullptr;

// The description of each line that a listener printed.
std::vector<std::string> Descriptions(const std::string& output) {
  std::vector<std::string> found;
  std::size_t start = 0;
  while (start < output.size()) {
    std::size_t end = output.find('\n', start);
    std::string line = output.substr(start, end - start);
    std::size_t code = line.find("code=0x");
    if (code != std::string::npos) found.push_back(line.substr(line.find(' ', code) + 1));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return found;
}

TEST_F(TlsTest, HoldersOfTheSitesCertificatesDeliverAndEveryoneElseIsRefused) {
  int metricsPort = UnusedPort();
  ChannelService::Options options;
  options.extraArguments = ServiceTls("service");
  for (const char* allowed : {"CN=publisher,*", "CN=listener,*"}) {
    options.extraArguments.insert(options.extraArguments.end(), {"--allow-subject", allowed});
  }
  options.extraArguments.insert(options.extraArguments.end(),
                                {"--metrics", "127.0.0.1:" + std::to_string(metricsPort)});
  options.errorFile = files().Path("service.log");
  ChannelService service(options);
  ASSERT_TRUE(service.Start());
  const std::string channel = service.address();
  ASSERT_EQ(0u, channel.find("corbaloc:ssliop:127.0.0.1:")) << channel;

  // The consumer's deliveries come back by TLS too: the service has no
  // other way to call.
  ToolProcess listener;
  std::vector<std::string> listen = {BinPath("kestrel-listen"), "--channel", channel};
  for (const std::string& option : ToolTls("listener", files().Ca("site"))) listen.push_back(option);
  ASSERT_TRUE(listener.Start(listen));
  ASSERT_TRUE(listener.WaitForError("listening on corbaloc:ssliop:", kTimeoutMs)) << listener.error();

  ToolResult good = Publish(channel, ToolTls("publisher", files().Ca("site")), "first");
  EXPECT_EQ(0, good.status) << good.error;

  // Each of these is refused, and the service goes on serving.
  struct Refused {
    const char* what;
    std::string channel;
    std::vector<std::string> tls;
    const char* result;  // the code that kestrel-publish reports
  };
  std::string plain = channel;
  plain.replace(0, std::string("corbaloc:ssliop:").size(), "corbaloc:iiop:");
  const std::vector<Refused> refused = {
      {"plain IIOP to the TLS port", plain, {}, nullptr},
      {"a certificate of another authority", channel, ToolTls("foreign", files().Path("both.pem")),
       nullptr},
      {"a subject that --allow-subject does not name", channel,
       ToolTls("stranger", files().Ca("site")), "E_CORBA_NO_PERMISSION"},
  };
  for (const Refused& peer : refused) {
    ToolResult result = Publish(peer.channel, peer.tls, peer.what);
    EXPECT_EQ(1, result.status) << peer.what << ": " << result.error;
    if (peer.result != nullptr) {
      EXPECT_NE(std::string::npos, result.error.find(peer.result)) << result.error;
    }
  }
  // A client without a certificate fails in the handshake itself (TLS 1.2,
  // where the server asks before the client finishes); the same client
  // with one gets through, so the check can tell.
  const std::size_t slash = channel.find('/', std::string("corbaloc:").size());
  const std::size_t colon = channel.rfind(':', slash);
  const std::string handshake = "echo | timeout 10 openssl s_client -tls1_2 -connect 127.0.0.1:" +
                                channel.substr(colon + 1, slash - colon - 1) + " -CAfile '" +
                                files().Ca("site") + "' -verify_return_error";
  EXPECT_FALSE(Shell(handshake)) << "a client without a certificate got through";
  EXPECT_TRUE(Shell(handshake + " -cert '" + files().Cert("publisher") + "' -key '" +
                    files().Key("publisher") + "'"));

  ToolResult last = Publish(channel, ToolTls("publisher", files().Ca("site")), "last");
  EXPECT_EQ(0, last.status) << last.error;
  std::string line;
  std::vector<std::string> received;
  while (received.size() < 2 && listener.ReadLine(&line, kTimeoutMs)) {
    for (const std::string& description : Descriptions(line + "\n")) received.push_back(description);
  }
  EXPECT_EQ((std::vector<std::string>{"first", "last"}), received);

  // The refused subject is counted, and logged with its name.
  httplib::Client metrics("127.0.0.1", metricsPort);
  auto page = metrics.Get("/metrics");
  ASSERT_TRUE(page);
  EXPECT_NE(std::string::npos, page->body.find("kestrel_channeld_requests_refused_total "))
      << page->body;
  EXPECT_EQ(std::string::npos, page->body.find("kestrel_channeld_requests_refused_total 0"));
  EXPECT_EQ(0, service.Stop());
  std::ifstream log(files().Path("service.log"));
  std::string logged((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
  EXPECT_NE(std::string::npos, logged.find("\"CN=stranger,O=Kestrel test\" refused")) << logged;
  EXPECT_EQ(std::string::npos, logged.find("CN=publisher")) << logged;
}

TEST_F(TlsTest, TheLibraryTakesItsFilesFromTheMachinesSettings) {
  ChannelService::Options options;
  options.extraArguments = ServiceTls("service");
  ChannelService service(options);
  ASSERT_TRUE(service.Start());

  // HKEY_LOCAL_MACHINE\SOFTWARE\Tarnwell Networks\Common, in a registry of
  // the test's own, for the publishers that it runs.
  auto useRegistry = [this](const std::string& key) {
    const std::string path = files().Path("registry.reg");
    std::ofstream registry(path, std::ios::trunc);
    registry << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tarnwell Networks\\Common]\n"
             << "\"TlsCaFile\"=\"" << files().Ca("site") << "\"\n"
             << "\"TlsCertFile\"=\"" << files().Cert("publisher") << "\"\n"
             << "\"TlsKeyFile\"=\"" << key << "\"\n";
    registry.close();
    ::setenv("KESTREL_REGISTRY", path.c_str(), 1);
  };
  const char* before = std::getenv("KESTREL_REGISTRY");
  const std::string saved = before != nullptr ? before : "";

  useRegistry(files().Key("publisher"));
  ToolResult good = Publish(service.address(), {}, "by the registry");
  EXPECT_EQ(0, good.status) << good.error;

  // A key that cannot be read is an answer, not a hang or a crash.
  useRegistry(files().Path("no-such.key"));
  ToolResult missing = Publish(service.address(), {}, "no key");
  EXPECT_EQ(1, missing.status);
  EXPECT_NE(std::string::npos, missing.error.find("E_CORBA_INITIALIZE")) << missing.error;
  // So is a key that is not the certificate's.
  useRegistry(files().Key("listener"));
  ToolResult mismatched = Publish(service.address(), {}, "wrong key");
  EXPECT_NE(std::string::npos, mismatched.error.find("E_CORBA_INITIALIZE")) << mismatched.error;
  ::setenv("KESTREL_REGISTRY", saved.c_str(), 1);

  // No TLS files anywhere, and the tool asks for TLS: refused before
  // anything is sent.
  ToolResult none = Publish(service.address(), {}, "no files");
  EXPECT_NE(std::string::npos, none.error.find("E_CORBA_INITIALIZE")) << none.error;
  EXPECT_EQ(0, service.Stop());
}

TEST_F(TlsTest, FilesThatCannotBeUsedEndTheStartWithStatusTwo) {
  struct Case {
    const char* what;
    std::vector<std::string> tls;
    const char* message;
  };
  auto with = [this](const std::string& certificate, const std::string& key) {
    return std::vector<std::string>{"--tls-cert", certificate, "--tls-key", key, "--tls-ca",
                                    files().Ca("site")};
  };
  const std::vector<Case> cases = {
      {"a key of another certificate", with(files().Cert("service"), files().Key("publisher")),
       "does not belong to the certificate"},
      {"a key file that is not there", with(files().Cert("service"), files().Path("none.key")),
       "cannot read the private key"},
      {"a certificate that has expired", with(files().Cert("expired"), files().Key("expired")),
       "expired on"},
      {"a certificate of another authority", with(files().Cert("foreign"), files().Key("foreign")),
       "does not check against the authority"},
  };
  for (const Case& bad : cases) {
    ChannelService::Options options;
    options.extraArguments = bad.tls;
    options.errorFile = files().Path("bad-start.log");
    std::remove(options.errorFile.c_str());
    ChannelService service(options);
    EXPECT_FALSE(service.Start()) << bad.what;
    EXPECT_EQ(2, service.exit_status()) << bad.what;
    std::ifstream log(options.errorFile);
    std::string logged((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_NE(std::string::npos, logged.find(bad.message)) << bad.what << ": " << logged;
  }
}

}  // namespace
}  // namespace testing
}  // namespace kestrel
