#include "platform/registry_store.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/registry_file.h"

namespace kestrel {

namespace {

constexpr const char* kDefaultPath = "/etc/kestrel/registry.reg";

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

 private:
  int fd_;
};

enum class ReadResult { kRead, kMissing, kFailed };

ReadResult ReadWholeFile(const std::string& path, std::string* text) {
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.valid()) return errno == ENOENT ? ReadResult::kMissing : ReadResult::kFailed;
  text->clear();
  char buffer[8192];
  for (;;) {
    ssize_t n = ::read(file.get(), buffer, sizeof buffer);
    if (n == 0) return ReadResult::kRead;
    if (n < 0) {
      if (errno == EINTR) continue;
      return ReadResult::kFailed;
    }
    text->append(buffer, static_cast<size_t>(n));
  }
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string ParentFolder(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Like mkdir -p; an existing folder is fine.
bool MakeFolders(const std::string& folder) {
  struct stat info;
  if (::stat(folder.c_str(), &info) == 0) return S_ISDIR(info.st_mode);
  std::string parent = ParentFolder(folder);
  if (parent != folder && !MakeFolders(parent)) return false;
  return ::mkdir(folder.c_str(), 0755) == 0 || errno == EEXIST;
}

// Writes text to a temporary file beside path and renames it over path.
bool ReplaceFile(const std::string& path, const std::string& text) {
  std::string temporary = path + ".XXXXXX";
  FileDescriptor file(::mkostemp(&temporary[0], O_CLOEXEC));
  if (!file.valid()) return false;
  struct stat existing;
  mode_t mode = ::stat(path.c_str(), &existing) == 0 ? (existing.st_mode & 07777) : 0644;
  bool written = ::fchmod(file.get(), mode) == 0 && WriteAll(file.get(), text) &&
                 ::fsync(file.get()) == 0;
  if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

RegistryStatus LoadFile(const std::string& path, RegistryTree* tree) {
  std::string text;
  switch (ReadWholeFile(path, &text)) {
    case ReadResult::kMissing:
      return RegistryStatus::kOk;
    case ReadResult::kFailed:
      return RegistryStatus::kIoError;
    case ReadResult::kRead:
      break;
  }
  if (ParseRegistryText(text, tree)) return RegistryStatus::kOk;
  tree->Clear();
  return RegistryStatus::kMalformed;
}

const RegistryValue* FindValue(const RegistryTree& tree, RegistryRoot root,
                               std::string_view keyPath, std::string_view valueName) {
  const RegistryKey* key = tree.Find(root, keyPath);
  return key == nullptr ? nullptr : key->FindValue(valueName);
}

}  // namespace

RegistryStore::RegistryStore() : path_(DefaultPath()) {}

RegistryStore::RegistryStore(std::string path) : path_(std::move(path)) {}

std::string RegistryStore::DefaultPath() {
  const char* configured = std::getenv("KESTREL_REGISTRY");
  return configured != nullptr && configured[0] != '\0' ? configured : kDefaultPath;
}

RegistryStatus RegistryStore::Load(RegistryTree* tree) const {
  tree->Clear();
  return LoadFile(path_, tree);
}

RegistryStatus RegistryStore::Update(const std::function<void(RegistryTree&)>& change) const {
  if (!MakeFolders(ParentFolder(path_))) return RegistryStatus::kIoError;
  std::string lockPath = path_ + ".lock";
  FileDescriptor lock(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (!lock.valid()) return RegistryStatus::kIoError;
  while (::flock(lock.get(), LOCK_EX) != 0) {
    if (errno != EINTR) return RegistryStatus::kIoError;
  }
  // The lock goes with the descriptor when it is closed.
  RegistryTree tree;
  RegistryStatus status = LoadFile(path_, &tree);
  if (status != RegistryStatus::kOk) return status;
  const std::string before = SerializeRegistry(tree);
  change(tree);
  const std::string after = SerializeRegistry(tree);
  // Nothing to write is success, even where the file could not be written.
  if (after == before) return RegistryStatus::kOk;
  return ReplaceFile(path_, after) ? RegistryStatus::kOk : RegistryStatus::kIoError;
}

bool RegistryStore::ReadDword(RegistryRoot root, std::string_view keyPath,
                              std::string_view valueName, uint32_t* out) const {
  RegistryTree tree;
  if (Load(&tree) != RegistryStatus::kOk) return false;
  const RegistryValue* value = FindValue(tree, root, keyPath, valueName);
  if (value == nullptr || value->type != RegistryValue::Type::kDword) return false;
  *out = value->number;
  return true;
}

RegistryStore::Dwords RegistryStore::ReadDwords(RegistryRoot root, std::string_view keyPath) const {
  Dwords dwords;
  RegistryTree tree;
  if (Load(&tree) != RegistryStatus::kOk) return dwords;
  const RegistryKey* key = tree.Find(root, keyPath);
  if (key == nullptr) return dwords;
  for (const auto& [name, value] : key->values()) {
    if (value.type == RegistryValue::Type::kDword) dwords.emplace(name, value.number);
  }
  return dwords;
}

RegistryStore::Strings RegistryStore::ReadStrings(RegistryRoot root,
                                                  std::string_view keyPath) const {
  Strings strings;
  RegistryTree tree;
  if (Load(&tree) != RegistryStatus::kOk) return strings;
  const RegistryKey* key = tree.Find(root, keyPath);
  if (key == nullptr) return strings;
  for (const auto& [name, value] : key->values()) {
    if (value.type == RegistryValue::Type::kString) strings.emplace(name, value.text);
  }
  return strings;
}

bool RegistryStore::ReadString(RegistryRoot root, std::string_view keyPath,
                               std::string_view valueName, std::string* out) const {
  RegistryTree tree;
  if (Load(&tree) != RegistryStatus::kOk) return false;
  const RegistryValue* value = FindValue(tree, root, keyPath, valueName);
  if (value == nullptr || value->type != RegistryValue::Type::kString) return false;
  *out = value->text;
  return true;
}

}  // namespace kestrel
