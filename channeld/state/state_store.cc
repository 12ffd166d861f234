#include "channeld/state/state_store.h"

#include <ace/OS_NS_fcntl.h>
#include <ace/OS_NS_sys_mman.h>
#include <ace/OS_NS_sys_stat.h>
#include <ace/OS_NS_unistd.h>

#include <cerrno>
#include <cstring>

#include "channeld/base/log.h"
#include "channeld/base/system.h"

namespace kestrel {
namespace channeld {

namespace {

constexpr char kTopology[] = "topology";
constexpr char kQueued[] = "queued";
constexpr char kBacklog[] = "backlog";

// One channel's slot in the backlog file: its key, then its counter (the
// key takes what the counter leaves of 128 bytes, on 32- and 64-bit builds).
struct BacklogSlot {
  char key[128 - sizeof(std::atomic<std::size_t>)];
  std::atomic<std::size_t> queued;
};
static_assert(sizeof(BacklogSlot) == 128, "backlog slots are 128 bytes");
static_assert(std::atomic<std::size_t>::is_always_lock_free,
              "the counters live in a shared mapping");


std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

StateStore::StateStore(std::string directory)
    : directory_(WithoutTrailingSlashes(std::move(directory))) {}

StateStore::~StateStore() {
  StopWriter();
  if (backlogMapping_ != nullptr) ACE_OS::munmap(backlogMapping_, backlogMappingSize_);
}

bool StateStore::Open(std::string* error) {
  if (!MakeDirectories(directory_)) {
    *error = "state directory " + directory_ + ": " + std::strerror(errno);
    return false;
  }
  // A real write, not access(): it also finds a read-only file system.
  std::string probe = PathOf(".probe");
  ACE_HANDLE file =
      ACE_OS::open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | kPrivateHandle, 0600);
  if (file == ACE_INVALID_HANDLE) {
    *error = "state directory " + directory_ + ": cannot write there: " + std::strerror(errno);
    return false;
  }
  ACE_OS::close(file);
  ACE_OS::unlink(probe.c_str());
  return true;
}

template <typename T>
bool StateStore::LoadFile(StateFile::Kind kind, const std::string& name,
                          bool (*decode)(const std::string&, T*), T* out, Loaded* loaded) {
  StateFile file(PathOf(name));
  std::string payload;
  std::string error;
  StateFile::Read read = file.Load(kind, &payload, &error);
  if (read == StateFile::Read::kMissing) return false;
  if (read == StateFile::Read::kOk) {
    if (decode(payload, out)) return true;
    error = file.path() + ": its contents cannot be decoded";
  }
  if (read == StateFile::Read::kUnreadable) {
    loaded->problems.push_back(error + "; it is ignored");
    return false;
  }
  std::string aside = file.MoveAside();
  loaded->problems.push_back(error + (aside.empty() ? "; it is ignored"
                                                    : "; it was moved to " + aside));
  *out = T();
  return false;
}

StateStore::Loaded StateStore::Load() {
  Loaded loaded;
  LoadFile(StateFile::kTopology, kTopology, &DecodeTopology, &loaded.channels, &loaded);
  loaded.stoppedCleanly =
      LoadFile(StateFile::kQueued, kQueued, &DecodeQueued, &loaded.queued, &loaded);
  LoadBacklogs(&loaded);
  return loaded;
}

void StateStore::DropQueued() { StateFile(PathOf(kQueued)).Remove(); }

void StateStore::LoadBacklogs(Loaded* loaded) {
  ACE_HANDLE file = ACE_OS::open(PathOf(kBacklog).c_str(), O_RDONLY | kPrivateHandle);
  if (file == ACE_INVALID_HANDLE) return;
  BacklogSlot slot;
  while (ACE_OS::read(file, &slot, sizeof slot) == static_cast<ssize_t>(sizeof slot)) {
    slot.key[sizeof slot.key - 1] = '\0';
    loaded->backlogAtStop[slot.key] = slot.queued.load(std::memory_order_relaxed);
  }
  ACE_OS::close(file);
}

std::vector<std::atomic<std::size_t>*> StateStore::MapBacklogs(
    const std::vector<std::string>& keys) {
  std::vector<std::atomic<std::size_t>*> counters;
  std::size_t size = keys.size() * sizeof(BacklogSlot);
  std::string path = PathOf(kBacklog);
  ACE_HANDLE file = ACE_OS::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | kPrivateHandle, 0600);
  void* mapping = MAP_FAILED;
  if (file != ACE_INVALID_HANDLE && ACE_OS::ftruncate(file, static_cast<ACE_OFF_T>(size)) == 0 &&
      size > 0) {
    // The mapping outlives both handles (on Windows, the file mapping's too).
    ACE_HANDLE fileMapping = ACE_INVALID_HANDLE;
    mapping =
        ACE_OS::mmap(nullptr, size, PROT_RDWR, MAP_SHARED, file, 0, &fileMapping);
    if (fileMapping != ACE_INVALID_HANDLE && fileMapping != file) ACE_OS::close(fileMapping);
  }
  if (file != ACE_INVALID_HANDLE) ACE_OS::close(file);
  if (mapping == MAP_FAILED) {
    ReportWrite(false, path + ": cannot be mapped; losses at a crash will not be counted");
    backlogFallback_.reset(new std::atomic<std::size_t>[keys.size()]);
    for (std::size_t i = 0; i < keys.size(); ++i) {
      backlogFallback_[i] = 0;
      counters.push_back(&backlogFallback_[i]);
    }
    return counters;
  }
  backlogMapping_ = mapping;
  backlogMappingSize_ = size;
  auto* slots = static_cast<BacklogSlot*>(mapping);
  for (std::size_t i = 0; i < keys.size(); ++i) {
    std::strncpy(slots[i].key, keys[i].c_str(), sizeof slots[i].key - 1);
    slots[i].key[sizeof slots[i].key - 1] = '\0';
    counters.push_back(&slots[i].queued);
  }
  return counters;
}

void StateStore::StartWriter(Describe describe) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (writerRunning_) return;
  describe_ = std::move(describe);
  writerRunning_ = true;
  stopping_ = false;
  writer_ = std::thread([this] { RunWriter(); });
}

void StateStore::Changed(bool wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!writerRunning_) return;
  std::uint64_t mine = ++requested_;
  changed_.notify_all();
  if (wait) changed_.wait(lock, [this, mine] { return written_ >= mine || !writerRunning_; });
}

void StateStore::StopWriter() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!writerRunning_) return;
    stopping_ = true;
  }
  changed_.notify_all();
  writer_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  writerRunning_ = false;
  changed_.notify_all();
}

void StateStore::RunWriter() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || requested_ > written_; });
    if (requested_ == written_) return;  // stopping, and nothing is due
    std::uint64_t covered = requested_;
    lock.unlock();
    std::string error;
    bool ok = StateFile(PathOf(kTopology))
                  .Write(StateFile::kTopology, EncodeTopology(describe_()), &error);
    ReportWrite(ok, error);
    lock.lock();
    written_ = covered;
    changed_.notify_all();
  }
}

bool StateStore::SaveQueued(const std::vector<QueuedEvents>& queues) {
  std::string error;
  bool ok = StateFile(PathOf(kQueued)).Write(StateFile::kQueued, EncodeQueued(queues), &error);
  if (!ok) Log::Error("cannot save the queued events: " + error);
  return ok;
}

void StateStore::ReportWrite(bool ok, const std::string& error) {
  std::lock_guard<std::mutex> lock(reportMutex_);
  if (ok && failing_) Log::Error("state directory " + directory_ + ": writing again");
  if (!ok && !failing_) {
    Log::Error("cannot write the state: " + error +
               "; the previous state is kept until a write succeeds");
  }
  failing_ = !ok;
}

}  // namespace channeld
}  // namespace kestrel
