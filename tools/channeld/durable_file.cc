#include "tools/channeld/durable_file.h"

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

namespace kestrel {
namespace channeld {

const int kPrivateHandle = O_CLOEXEC;

bool SyncData(ACE_HANDLE handle) { return ::fdatasync(handle) == 0; }

bool SyncDirectory(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool synced = ::fsync(fd) == 0;
  ::close(fd);
  return synced;
}

void ReturnFreedMemory() { ::malloc_trim(0); }

}  // namespace channeld
}  // namespace kestrel
