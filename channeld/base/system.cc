#include "channeld/base/system.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace kestrel {
namespace channeld {

const int kPrivateHandle = O_CLOEXEC;
const int kSharedOpenMode = 0600;

bool SyncData(ACE_HANDLE handle) { return ::fdatasync(handle) == 0; }

bool SyncDirectory(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool synced = ::fsync(fd) == 0;
  ::close(fd);
  return synced;
}

void ReturnFreedMemory() { ::malloc_trim(0); }

void RaiseOpenFileLimit() {
  rlimit files;
  if (::getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur >= files.rlim_max) return;
  files.rlim_cur = files.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &files);
}

void AllowRestartOnPort(int port) {
  DIR* folder = ::opendir("/proc/self/fd");
  if (folder == nullptr) return;
  int folderFd = ::dirfd(folder);
  while (dirent* entry = ::readdir(folder)) {
    char* end = nullptr;
    long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd == folderFd) continue;
    int listening = 0;
    socklen_t length = sizeof listening;
    if (::getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) != 0 ||
        !listening) {
      continue;
    }
    sockaddr_storage address;
    length = sizeof address;
    if (::getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      continue;
    }
    int boundPort = -1;
    if (address.ss_family == AF_INET) {
      boundPort = ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    } else if (address.ss_family == AF_INET6) {
      boundPort = ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    }
    if (boundPort != port) continue;
    int on = 1;
    ::setsockopt(static_cast<int>(fd), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  }
  ::closedir(folder);
}

std::vector<std::string> InterfaceAddresses() {
  std::vector<std::string> addresses;
  ifaddrs* interfaces = nullptr;
  if (::getifaddrs(&interfaces) != 0) return addresses;
  for (ifaddrs* each = interfaces; each != nullptr; each = each->ifa_next) {
    if (each->ifa_addr == nullptr) continue;
    const int family = each->ifa_addr->sa_family;
    const void* raw = nullptr;
    if (family == AF_INET) raw = &reinterpret_cast<sockaddr_in*>(each->ifa_addr)->sin_addr;
    if (family == AF_INET6) raw = &reinterpret_cast<sockaddr_in6*>(each->ifa_addr)->sin6_addr;
    char text[INET6_ADDRSTRLEN];
    if (raw != nullptr && ::inet_ntop(family, raw, text, sizeof text) != nullptr) {
      addresses.push_back(text);
    }
  }
  ::freeifaddrs(interfaces);
  return addresses;
}

void PrepareExclusiveBind(ACE_HANDLE socket) {
  int on = 1;
  ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

bool IsAddressInUse(int error) { return error == EADDRINUSE; }

void RemoveEnvironmentVariable(const char* name) { ::unsetenv(name); }

ACE_HANDLE OpenSharedForAppend(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
}

bool NamesOpenFile(ACE_HANDLE handle, const std::string& path) {
  struct stat open, named;
  return ::fstat(handle, &open) == 0 && ::stat(path.c_str(), &named) == 0 &&
         open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

}  // namespace channeld
}  // namespace kestrel
