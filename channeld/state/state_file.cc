#include "channeld/state/state_file.h"

#include <ace/ACE.h>
#include <ace/OS_NS_fcntl.h>
#include <ace/OS_NS_sys_stat.h>
#include <ace/OS_NS_stdio.h>
#include <ace/OS_NS_unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "channeld/base/system.h"

namespace kestrel {
namespace channeld {

namespace {

constexpr char kMagic[8] = {'K', 'E', 'S', 'T', 'R', 'E', 'L', 'D'};
constexpr std::size_t kHeaderSize = 32;

struct Header {
  char magic[8];
  std::uint32_t version;
  std::uint32_t kind;
  std::uint64_t size;
  std::uint32_t checksum;
  std::uint32_t zero;
};
static_assert(sizeof(Header) == kHeaderSize, "the header is 32 bytes");

std::string DirectoryOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::uint32_t StateFile::Checksum(const std::string& bytes) {
  return ACE::crc32(bytes.data(), bytes.size());
}

std::string StateFile::Header(Kind kind, const std::string& payload) {
  struct Header header;
  std::memcpy(header.magic, kMagic, sizeof kMagic);
  header.version = kFormatVersion;
  header.kind = kind;
  header.size = payload.size();
  header.checksum = Checksum(payload);
  header.zero = 0;
  return std::string(reinterpret_cast<const char*>(&header), sizeof header);
}

bool StateFile::Write(Kind kind, const std::string& payload, std::string* error) const {
  std::string temporary = path_ + ".new";
  ACE_HANDLE file =
      ACE_OS::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | kPrivateHandle, 0600);
  if (file == ACE_INVALID_HANDLE) {
    *error = temporary + ": " + std::strerror(errno);
    return false;
  }
  std::string header = Header(kind, payload);
  bool written = WriteAll(file, header.data(), header.size()) &&
                 WriteAll(file, payload.data(), payload.size()) && SyncData(file);
  int writeErrno = errno;
  if (ACE_OS::close(file) != 0 && written) {
    written = false;
    writeErrno = errno;
  }
  if (!written || ACE_OS::rename(temporary.c_str(), path_.c_str()) != 0) {
    *error = path_ + ": " + std::strerror(written ? errno : writeErrno);
    ACE_OS::unlink(temporary.c_str());
    return false;
  }
  SyncDirectory(DirectoryOf(path_));
  return true;
}

StateFile::Read StateFile::Load(Kind kind, std::string* payload, std::string* error) const {
  std::string bytes;
  if (!ReadWhole(path_, &bytes)) {
    if (errno == ENOENT) return Read::kMissing;
    *error = path_ + ": " + std::strerror(errno);
    return Read::kUnreadable;
  }
  struct Header header;
  if (bytes.size() < sizeof header) {
    bool ours = std::memcmp(bytes.data(), kMagic, std::min(bytes.size(), sizeof kMagic)) == 0;
    *error = path_ + ": truncated (" + std::to_string(bytes.size()) + " bytes)";
    return ours ? Read::kDamaged : Read::kForeign;
  }
  std::memcpy(&header, bytes.data(), sizeof header);
  if (std::memcmp(header.magic, kMagic, sizeof kMagic) != 0 ||
      header.version != kFormatVersion || header.kind != kind) {
    *error = path_ + ": not a state file of this version of kestrel-channeld";
    return Read::kForeign;
  }
  if (header.size != bytes.size() - sizeof header) {
    *error = path_ + ": truncated or extended (" + std::to_string(bytes.size() - sizeof header) +
             " bytes of " + std::to_string(header.size) + ")";
    return Read::kDamaged;
  }
  payload->assign(bytes, sizeof header, std::string::npos);
  if (Checksum(*payload) != header.checksum) {
    *error = path_ + ": checksum mismatch";
    return Read::kDamaged;
  }
  return Read::kOk;
}

std::string StateFile::MoveAside() const {
  std::string aside = path_ + ".damaged-" + std::to_string(static_cast<long long>(std::time(nullptr)));
  return ACE_OS::rename(path_.c_str(), aside.c_str()) == 0 ? aside : std::string();
}

bool StateFile::Remove() const { return ACE_OS::unlink(path_.c_str()) == 0 || errno == ENOENT; }

bool WriteAll(ACE_HANDLE handle, const char* bytes, std::size_t size) {
  while (size > 0) {
    ssize_t written = ACE_OS::write(handle, bytes, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

bool ReadWhole(const std::string& path, std::string* bytes) {
  ACE_HANDLE file = ACE_OS::open(path.c_str(), O_RDONLY | kPrivateHandle);
  if (file == ACE_INVALID_HANDLE) return false;
  char buffer[65536];
  for (;;) {
    ssize_t got = ACE_OS::read(file, buffer, sizeof buffer);
    if (got == 0) break;
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      int why = errno;
      ACE_OS::close(file);
      errno = why;
      return false;
    }
    bytes->append(buffer, static_cast<std::size_t>(got));
  }
  ACE_OS::close(file);
  return true;
}

bool MakeDirectories(const std::string& path) {
  if (path.empty()) return false;
  ACE_stat info;
  if (ACE_OS::stat(path.c_str(), &info) == 0) {
    return (info.st_mode & S_IFMT) == S_IFDIR || (errno = ENOTDIR, false);
  }
  // A drive ("C:") or the root ends the walk up.
  std::size_t slash = path.find_last_of("/\\");
  if (slash != std::string::npos && slash > 0 && path[slash - 1] != ':' &&
      !MakeDirectories(path.substr(0, slash))) {
    return false;
  }
  return ACE_OS::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

}  // namespace channeld
}  // namespace kestrel
