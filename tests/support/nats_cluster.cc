#include "tests/support/nats_cluster.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ftw.h>
#include <httplib.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <set>
#include <sstream>
#include <thread>
#include <utility>

#include "tests/support/process_status.h"

namespace kestrel {
namespace testing {

namespace {

// A cold start of three servers has taken up to 2.5 s and a restarted
// server's catching up up to 9 s on a loaded machine: these only bound a
// hang.
constexpr int kHealthyTimeoutMs = 60000;
constexpr int kStopTimeoutMs = 10000;
constexpr int kPollMs = 20;
constexpr int kPortAttempts = 3;

using Clock = std::chrono::steady_clock;

// Binds 127.0.0.1:port for a moment. Without SO_REUSEADDR this is stricter
// than the server (Go sets it): a port with a connection in TIME_WAIT is
// passed over too.
bool PortIsFree(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return bound;
}

// One the kernel picks, as UnusedPort does.
int EphemeralPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = -1;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(fd);
  return port;
}

// Ports are taken below the kernel's ephemeral range, not from it as
// UnusedPort does: while a server is down, the others keep connecting to
// its route port, and every such connection (and any other test's) takes an
// ephemeral local port, which could be the one the server needs to come
// back on. Answers [first, last], or an empty range when the ephemeral
// range leaves too little room below it.
std::pair<int, int> NonEphemeralRange() {
  int low = 32768;
  std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
  int configuredLow = 0;
  int configuredHigh = 0;
  if (range >> configuredLow >> configuredHigh) low = configuredLow;
  const int first = 10000;
  if (low - first < 1000) return {1, 0};
  return {first, low - 1};
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  ::remove(path);
  return 0;
}

void RemoveTree(const std::string& path) {
  if (!path.empty()) ::nftw(path.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// GET http://127.0.0.1:port/path: the status (-1 when nothing answered)
// and the body.
int Get(int port, const std::string& path, std::string* body) {
  httplib::Client client("127.0.0.1", port);
  client.set_connection_timeout(1, 0);
  client.set_read_timeout(5, 0);
  auto result = client.Get(path.c_str());
  if (!result) return -1;
  if (body != nullptr) *body = result->body;
  return result->status;
}

// Just enough of a JSON reader to walk the monitoring pages: each call
// consumes one value at pos, and a member's callback must consume its value
// (reading it or Skip). Any malformed text makes every call answer false.
class JsonReader {
 public:
  explicit JsonReader(const std::string& text) : text_(text) {}

  bool Object(const std::function<bool(const std::string& key)>& member) {
    if (!Expect('{')) return false;
    if (Peek() == '}') return Expect('}');
    for (;;) {
      std::string key;
      if (!String(&key) || !Expect(':') || !member(key)) return false;
      char next = Peek();
      if (next == '}') return Expect('}');
      if (!Expect(',')) return false;
    }
  }

  bool Array(const std::function<bool()>& element) {
    if (!Expect('[')) return false;
    if (Peek() == ']') return Expect(']');
    for (;;) {
      if (!element()) return false;
      char next = Peek();
      if (next == ']') return Expect(']');
      if (!Expect(',')) return false;
    }
  }

  bool String(std::string* out) {
    if (!Expect('"')) return false;
    out->clear();
    while (pos_ < text_.size()) {
      char c = text_[pos_++];
      if (c == '"') return true;
      if (c != '\\') {
        out->push_back(c);
        continue;
      }
      if (pos_ >= text_.size()) break;
      char escaped = text_[pos_++];
      switch (escaped) {
        case 'b':
          out->push_back('\b');
          break;
        case 'f':
          out->push_back('\f');
          break;
        case 'n':
          out->push_back('\n');
          break;
        case 'r':
          out->push_back('\r');
          break;
        case 't':
          out->push_back('\t');
          break;
        case 'u': {
          unsigned code = 0;
          if (!Hex4(&code)) return false;
          // A surrogate pair is one character.
          if (code >= 0xD800 && code < 0xDC00 && text_.compare(pos_, 2, "\\u") == 0) {
            pos_ += 2;
            unsigned low = 0;
            if (!Hex4(&low)) return false;
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          }
          AppendUtf8(code, out);
          break;
        }
        default:  // " \ /
          out->push_back(escaped);
          break;
      }
    }
    pos_ = text_.size() + 1;  // unterminated: fail from now on
    return false;
  }

  bool Skip() {
    char next = Peek();
    if (next == '{') return Object([this](const std::string&) { return Skip(); });
    if (next == '[') return Array([this] { return Skip(); });
    if (next == '"') {
      std::string ignored;
      return String(&ignored);
    }
    std::size_t start = pos_;
    while (pos_ < text_.size() &&
           std::string("+-.0123456789eEtruefalsn").find(text_[pos_]) != std::string::npos) {
      ++pos_;
    }
    return pos_ > start;
  }

 private:
  char Peek() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\n' ||
                                   text_[pos_] == '\r' || text_[pos_] == '\t')) {
      ++pos_;
    }
    return pos_ < text_.size() ? text_[pos_] : '\0';
  }

  bool Expect(char c) {
    if (Peek() != c) return false;
    ++pos_;
    return true;
  }

  bool Hex4(unsigned* code) {
    if (pos_ + 4 > text_.size()) return false;
    *code = 0;
    for (int k = 0; k < 4; ++k) {
      char c = text_[pos_++];
      unsigned digit;
      if (c >= '0' && c <= '9') {
        digit = static_cast<unsigned>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        digit = static_cast<unsigned>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        digit = static_cast<unsigned>(c - 'A' + 10);
      } else {
        return false;
      }
      *code = *code * 16 + digit;
    }
    return true;
  }

  static void AppendUtf8(unsigned code, std::string* out) {
    if (code < 0x80) {
      out->push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (code >> 6)));
      out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | (code >> 12)));
      out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | (code >> 18)));
      out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }

  const std::string& text_;
  std::size_t pos_ = 0;
};

// The leader that a /jsz?accounts=true&streams=true page names for stream,
// in any account; empty when the page holds no such stream or names none.
std::string LeaderOnPage(const std::string& page, const std::string& stream) {
  JsonReader reader(page);
  std::string leader;
  auto streamDetail = [&] {
    std::string name;
    std::string named;
    bool read = reader.Object([&](const std::string& key) {
      if (key == "name") return reader.String(&name);
      if (key == "cluster") {
        return reader.Object([&](const std::string& clusterKey) {
          return clusterKey == "leader" ? reader.String(&named) : reader.Skip();
        });
      }
      return reader.Skip();
    });
    if (read && name == stream) leader = named;
    return read;
  };
  auto account = [&] {
    return reader.Object([&](const std::string& key) {
      return key == "stream_detail" ? reader.Array(streamDetail) : reader.Skip();
    });
  };
  bool read = reader.Object([&](const std::string& key) {
    return key == "account_details" ? reader.Array(account) : reader.Skip();
  });
  return read ? leader : std::string();
}

}  // namespace

NatsCluster::NatsCluster() : NatsCluster(Options()) {}

NatsCluster::NatsCluster(Options options) : options_(std::move(options)) {
  int count = options_.servers > 0 ? options_.servers : 1;
  servers_.resize(static_cast<std::size_t>(count));
  for (std::size_t i = 0; i < servers_.size(); ++i) {
    servers_[i].name = options_.clusterName + "-" + std::to_string(i);
  }
  const char* temporary = ::getenv("TMPDIR");
  std::string pattern =
      std::string(temporary != nullptr && *temporary != '\0' ? temporary : "/tmp") +
      "/kestrel-nats-XXXXXX";
  if (::mkdtemp(&pattern[0]) != nullptr) directory_ = pattern;
  PickPorts();
}

NatsCluster::~NatsCluster() {
  KillAll();
  RemoveTree(directory_);
}

std::string NatsCluster::ProgramPath() {
  const char* fromEnvironment = ::getenv("KESTREL_NATS_SERVER");
  if (fromEnvironment != nullptr && *fromEnvironment != '\0') return fromEnvironment;
  return "/usr/sbin/nats-server";
}

bool NatsCluster::PickPorts() {
  std::pair<int, int> range = NonEphemeralRange();
  std::random_device seed;
  std::mt19937 random(seed());
  std::uniform_int_distribution<int> inRange(range.first, range.second);
  std::set<int> taken;
  auto pick = [&]() {
    for (int attempt = 0; attempt < 200; ++attempt) {
      int port = range.first <= range.second ? inRange(random) : EphemeralPort();
      if (port > 0 && taken.count(port) == 0 && PortIsFree(port)) {
        taken.insert(port);
        return port;
      }
    }
    return -1;
  };
  bool all = true;
  for (Server& server : servers_) {
    server.clientPort = pick();
    server.monitorPort = pick();
    server.routePort = pick();
    all = all && server.clientPort > 0 && server.monitorPort > 0 && server.routePort > 0;
  }
  return all;
}

std::string NatsCluster::configPath(std::size_t i) const {
  return directory_ + "/" + servers_[i].name + ".conf";
}

std::string NatsCluster::logPath(std::size_t i) const {
  return directory_ + "/" + servers_[i].name + ".log";
}

std::string NatsCluster::url(std::size_t i) const {
  if (i >= servers_.size()) return std::string();
  return "nats://127.0.0.1:" + std::to_string(servers_[i].clientPort);
}

std::string NatsCluster::urls() const {
  std::string all;
  for (std::size_t i = 0; i < servers_.size(); ++i) {
    if (i > 0) all += ",";
    all += url(i);
  }
  return all;
}

std::string NatsCluster::serverName(std::size_t i) const {
  return i < servers_.size() ? servers_[i].name : std::string();
}

pid_t NatsCluster::pid(std::size_t i) const { return running(i) ? servers_[i].pid : -1; }

std::string NatsCluster::logOf(std::size_t i) const {
  return i < servers_.size() && !directory_.empty() ? ReadFile(logPath(i)) : std::string();
}

bool NatsCluster::WriteConfiguration(std::size_t i) const {
  const Server& server = servers_[i];
  std::ostringstream config;
  config << "server_name: " << server.name << "\n"
         << "listen: 127.0.0.1:" << server.clientPort << "\n"
         << "http: 127.0.0.1:" << server.monitorPort << "\n"
         << "jetstream {\n"
         << "  store_dir: \"" << directory_ << "/store-" << i << "\"\n"
         << "  max_file_store: " << options_.maxFileStore << "\n"
         << "}\n";
  if (servers_.size() > 1) {
    config << "cluster {\n"
           << "  name: " << options_.clusterName << "\n"
           << "  listen: 127.0.0.1:" << server.routePort << "\n"
           << "  routes: [\n";
    for (std::size_t j = 0; j < servers_.size(); ++j) {
      if (j == i) continue;
      // Commas: nats-server refuses a list of quoted items that has none.
      config << "    \"nats-route://127.0.0.1:" << servers_[j].routePort << "\",\n";
    }
    config << "  ]\n"
           << "}\n";
  }
  std::ofstream file(configPath(i), std::ios::trunc);
  file << config.str();
  file.close();
  return static_cast<bool>(file);
}

bool NatsCluster::Spawn(std::size_t i) {
  Server& server = servers_[i];
  std::string program = ProgramPath();
  std::string config = configPath(i);
  std::string log = logPath(i);
  std::vector<std::string> arguments = {program, "-c", config, "-l", log};
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(&argument[0]);
  argv.push_back(nullptr);

  // The server appends its log to the same file (O_APPEND on both sides),
  // so a panic on stderr lands in order among its lines.
  const std::string& output = options_.errorFile.empty() ? log : options_.errorFile;
  int outputFd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (outputFd < 0) {
    std::fprintf(stderr, "NatsCluster: cannot open %s\n", output.c_str());
    return false;
  }

  // fork and exec rather than posix_spawn, so that the child can ask to be
  // killed with this process: a test that dies must not leave servers behind
  // holding their ports and ctest's output pipe. Only async-signal-safe calls
  // run between fork and exec.
  sigset_t none;
  sigemptyset(&none);
  // Made before the fork: the child may only write it.
  std::string cannotRun = "NatsCluster: cannot run " + program + "\n";
  pid_t parent = ::getpid();
  pid_t child = ::fork();
  if (child == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    int devNull = ::open("/dev/null", O_RDONLY);
    if (devNull >= 0) ::dup2(devNull, STDIN_FILENO);
    ::dup2(outputFd, STDOUT_FILENO);
    ::dup2(outputFd, STDERR_FILENO);
    // Default dispositions and no blocked signals, whatever the test did.
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGPIPE, SIG_DFL);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execv(program.c_str(), argv.data());
    ssize_t ignored = ::write(STDERR_FILENO, cannotRun.data(), cannotRun.size());
    (void)ignored;
    ::_exit(127);
  }
  int spawned = child < 0 ? errno : 0;
  ::close(outputFd);
  if (spawned != 0) {
    std::fprintf(stderr, "NatsCluster: cannot fork for %s\n", program.c_str());
    return false;
  }
  server.pid = child;
  server.exitStatus = -1;
  return true;
}

bool NatsCluster::Healthy(std::size_t i) const {
  return Get(servers_[i].monitorPort, "/healthz", nullptr) == 200;
}

bool NatsCluster::LostPort(std::size_t i) const {
  return logOf(i).find("address already in use") != std::string::npos;
}

bool NatsCluster::WaitUntilHealthy(const std::vector<std::size_t>& which) {
  // The bare /healthz, not ?js-enabled-only=true: that one is ready before
  // any meta leader exists, and a stream request sent then is dropped
  // unanswered. The bare one also waits for the meta leader and for every
  // stream this server holds to be current.
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kHealthyTimeoutMs);
  std::vector<std::size_t> waiting = which;
  while (!waiting.empty()) {
    std::vector<std::size_t> still;
    for (std::size_t i : waiting) {
      if (!running(i)) {
        std::fprintf(stderr,
                     "NatsCluster: %s exited (status %d) before it was healthy; its log:\n%s\n",
                     servers_[i].name.c_str(), servers_[i].exitStatus, logOf(i).c_str());
        return false;
      }
      if (!Healthy(i)) still.push_back(i);
    }
    waiting.swap(still);
    if (waiting.empty()) break;
    if (MillisecondsLeft(deadline) == 0) {
      std::fprintf(stderr, "NatsCluster: %s not healthy within %d ms; its log:\n%s\n",
                   servers_[waiting.front()].name.c_str(), kHealthyTimeoutMs,
                   logOf(waiting.front()).c_str());
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
  }
  return true;
}

bool NatsCluster::Start() {
  if (directory_.empty()) {
    std::fprintf(stderr, "NatsCluster: no temporary folder\n");
    return false;
  }
  std::vector<std::size_t> all;
  for (std::size_t i = 0; i < servers_.size(); ++i) all.push_back(i);
  for (int attempt = 1;; ++attempt) {
    bool ready = true;
    for (std::size_t i : all) {
      if (running(i)) continue;
      if (servers_[i].clientPort <= 0 || servers_[i].monitorPort <= 0 ||
          servers_[i].routePort <= 0) {
        std::fprintf(stderr, "NatsCluster: no free loopback port\n");
        ready = false;
        break;
      }
      if (!WriteConfiguration(i)) {
        std::fprintf(stderr, "NatsCluster: cannot write %s\n", configPath(i).c_str());
        ready = false;
        break;
      }
      if (!Spawn(i)) {
        ready = false;
        break;
      }
    }
    if (ready && WaitUntilHealthy(all)) {
      started_ = true;
      return true;
    }
    KillAll();
    bool lostPort = false;
    for (std::size_t i : all) lostPort = lostPort || LostPort(i);
    if (!lostPort || started_ || attempt == kPortAttempts) return false;
    // Another process bound one of the ports between the check and the
    // server: start afresh on others, without the first try's state.
    std::fprintf(stderr, "NatsCluster: a port was taken; starting again on others\n");
    for (std::size_t i : all) {
      RemoveTree(directory_ + "/store-" + std::to_string(i));
      ::remove(logPath(i).c_str());
    }
    PickPorts();
  }
}

bool NatsCluster::Restart(std::size_t i) {
  if (i >= servers_.size() || !started_) return false;
  if (running(i)) Kill(i, SIGTERM);
  if (!Spawn(i)) return false;
  if (WaitUntilHealthy({i})) return true;
  Kill(i, SIGKILL);
  return false;
}

bool NatsCluster::running(std::size_t i) const {
  if (i >= servers_.size()) return false;
  const Server& server = servers_[i];
  if (server.pid <= 0) return false;
  int status = 0;
  pid_t reaped = ::waitpid(server.pid, &status, WNOHANG);
  if (reaped == server.pid) {
    server.exitStatus = ExitStatus(status);
    server.pid = -1;
    return false;
  }
  if (reaped < 0 && errno == ECHILD) {
    server.pid = -1;
    return false;
  }
  return true;
}

int NatsCluster::Kill(std::size_t i, int signal) {
  if (i >= servers_.size()) return -1;
  Server& server = servers_[i];
  if (!running(i)) return server.exitStatus;
  ::kill(server.pid, signal);
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kStopTimeoutMs);
  while (running(i)) {
    if (MillisecondsLeft(deadline) == 0) {
      std::fprintf(stderr, "NatsCluster: %s still running %d ms after signal %d; killing it\n",
                   server.name.c_str(), kStopTimeoutMs, signal);
      ::kill(server.pid, SIGKILL);
      int status = 0;
      pid_t reaped;
      do {
        reaped = ::waitpid(server.pid, &status, 0);
      } while (reaped < 0 && errno == EINTR);
      server.exitStatus = reaped == server.pid ? ExitStatus(status) : -1;
      server.pid = -1;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return server.exitStatus;
}

void NatsCluster::KillAll() {
  // Signal all first, so that none outlives the others by a stop timeout.
  for (std::size_t i = 0; i < servers_.size(); ++i) {
    if (running(i)) ::kill(servers_[i].pid, SIGKILL);
  }
  for (std::size_t i = 0; i < servers_.size(); ++i) Kill(i, SIGKILL);
}

int NatsCluster::StreamLeader(const std::string& stream) const {
  // Only a server's word about itself counts: after the leader is killed
  // the followers go on naming it until they elect another.
  std::vector<int> claims;
  for (std::size_t i = 0; i < servers_.size(); ++i) {
    if (!running(i)) continue;
    std::string page;
    if (Get(servers_[i].monitorPort, "/jsz?accounts=true&streams=true", &page) != 200) continue;
    if (LeaderOnPage(page, stream) == servers_[i].name) claims.push_back(static_cast<int>(i));
  }
  return claims.size() == 1 ? claims.front() : -1;
}

int NatsCluster::WaitForStreamLeader(const std::string& stream, int timeoutMs) const {
  Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int leader = StreamLeader(stream);
    if (leader >= 0 || MillisecondsLeft(deadline) == 0) return leader;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

}  // namespace testing
}  // namespace kestrel
