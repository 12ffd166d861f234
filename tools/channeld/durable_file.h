// What the state directory needs of the system to put files on the disk for
// good, beyond ACE's portable calls (ACE_OS::open, read, write, close,
// rename, unlink, mkdir, mmap), which the state files use for everything
// else: one implementation for POSIX (durable_file.cc) and one for Windows
// (durable_file_win32.cc).

#ifndef KESTREL_TOOLS_CHANNELD_DURABLE_FILE_H_
#define KESTREL_TOOLS_CHANNELD_DURABLE_FILE_H_

#include <ace/os_include/os_fcntl.h>

#include <string>

namespace kestrel {
namespace channeld {

// Added to ACE_OS::open's flags: the handle stays out of any program that
// the service might start.
extern const int kPrivateHandle;

// Makes what was written through handle durable, with the file's size:
// fdatasync, or FlushFileBuffers.
bool SyncData(ACE_HANDLE handle);

// Makes the entries of the directory at path durable (files created,
// renamed, removed). On Windows the file system journals them itself.
bool SyncDirectory(const std::string& path);

// Gives memory freed in bulk back to the system, where the allocator keeps
// it otherwise (glibc's malloc_trim); nothing elsewhere.
void ReturnFreedMemory();

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_TOOLS_CHANNELD_DURABLE_FILE_H_
