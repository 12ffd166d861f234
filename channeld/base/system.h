// What kestrel-channeld needs of the system beyond ACE's portable calls
// (ACE_OS::open, read, write, rename, unlink, mkdir, mmap, socket, bind,
// getaddrinfo), which it uses for everything else: one implementation for
// POSIX (system.cc) and one for Windows (system_win32.cc).

#ifndef KESTREL_CHANNELD_BASE_SYSTEM_H_
#define KESTREL_CHANNELD_BASE_SYSTEM_H_

#include <ace/os_include/os_fcntl.h>

#include <string>
#include <vector>

namespace kestrel {
namespace channeld {

// Added to ACE_OS::open's flags: the handle stays out of any program that
// the service might start.
extern const int kPrivateHandle;
// ACE_OS::open's last argument for a file that other processes open while
// this one has it: mode 0600 on Linux; on Windows, where that argument is
// the sharing mode, reading, writing and deleting shared.
extern const int kSharedOpenMode;

// Makes what was written through handle durable, with the file's size:
// fdatasync, or FlushFileBuffers.
bool SyncData(ACE_HANDLE handle);

// Makes the entries of the directory at path durable (files created,
// renamed, removed). On Windows the file system journals them itself.
bool SyncDirectory(const std::string& path);

// Gives memory freed in bulk back to the system, where the allocator keeps
// it otherwise (glibc's malloc_trim); nothing elsewhere.
void ReturnFreedMemory();

// Every client connection takes a descriptor, and the usual soft limit
// (1024) would refuse clients long before anything else runs short: the
// service takes what the hard limit allows, as servers do. Nothing where
// there is no such limit.
void RaiseOpenFileLimit();

// Sets SO_REUSEADDR on this process's listening sockets on port. omniORB
// sets it only when it is given a port number: without it, a service that
// started on port 0 leaves sockets behind (its clients' connections, in
// FIN_WAIT2) that keep a restart from binding the same port for a minute.
// Call it before clients connect: accepted sockets inherit the option.
// Nothing on Windows, whose connections in that state do not keep a port
// from being bound again.
void AllowRestartOnPort(int port);

// The numeric addresses (IPv4 and IPv6, loopback ones included) of this
// machine's network interfaces as they are now: getifaddrs, or
// GetAdaptersAddresses. Empty when the system cannot list them.
std::vector<std::string> InterfaceAddresses();

// Readies socket, not yet bound, for a bind that must fail while another
// socket listens on the same port. POSIX: SO_REUSEADDR, so that connections
// of an earlier run (TIME_WAIT) do not keep a restart from its port, while
// a listener still does. Windows: SO_EXCLUSIVEADDRUSE, since SO_REUSEADDR
// there would let the bind share a port that is in use.
void PrepareExclusiveBind(ACE_HANDLE socket);

// True when error, the errno of a failed bind (ACE sets Winsock's codes on
// Windows), says that another socket has the address.
bool IsAddressInUse(int error);

// Opens the file at path for appending (created if missing), so that it can
// be renamed or deleted while it is open, as log files are by those who
// rotate them or clear them away. ACE_INVALID_HANDLE when it cannot.
ACE_HANDLE OpenSharedForAppend(const std::string& path);

// Removes the variable from the process's environment, as the C library's
// getenv sees it (which is what omniORB reads).
void RemoveEnvironmentVariable(const char* name);

// True when path still names the file that handle has open; false once it
// was renamed or deleted (or cannot be asked).
bool NamesOpenFile(ACE_HANDLE handle, const std::string& path);

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_BASE_SYSTEM_H_
