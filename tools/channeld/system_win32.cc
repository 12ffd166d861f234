#include "tools/channeld/system.h"

#include <winsock2.h>
#include <windows.h>

namespace kestrel {
namespace channeld {

// Handles that ACE opens are not inherited unless asked for.
const int kPrivateHandle = 0;

bool SyncData(ACE_HANDLE handle) { return ::FlushFileBuffers(handle) != 0; }

// NTFS journals its directories' changes; a rename with MoveFileEx (what
// ACE_OS::rename calls) is on the disk once the journal is.
bool SyncDirectory(const std::string&) { return true; }

// The process heap gives large blocks back by itself.
void ReturnFreedMemory() {}

// A process may open as many handles as memory allows.
void RaiseOpenFileLimit() {}

// omniORB binds its listening socket inside ORB_init, with SO_REUSEADDR
// on a fixed port, and a socket can be made exclusive only before its bind:
// what guards the port on Windows is the exclusive probe that precedes
// ORB_init (see OrbRuntime::Start).
void AllowRestartOnPort(int) {}

void PrepareExclusiveBind(ACE_HANDLE socket) {
  BOOL on = TRUE;
  ::setsockopt(reinterpret_cast<SOCKET>(socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
               reinterpret_cast<const char*>(&on), sizeof on);
}

// ACE leaves WSAGetLastError() in errno, which MinGW's EADDRINUSE (100)
// never equals.
bool IsAddressInUse(int error) { return error == WSAEADDRINUSE || error == EADDRINUSE; }

ACE_HANDLE OpenSharedForAppend(const std::string& path) {
  // FILE_APPEND_DATA alone: every write lands at the end, whoever else
  // writes. FILE_SHARE_DELETE lets others rename or delete the file.
  return ::CreateFileA(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool NamesOpenFile(ACE_HANDLE handle, const std::string& path) {
  BY_HANDLE_FILE_INFORMATION open, named;
  if (!::GetFileInformationByHandle(handle, &open)) return false;
  // No access asked, so that neither a deleted file still open (whose name
  // refuses every open until its last handle goes) nor a reader holds us up.
  HANDLE other = ::CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (other == INVALID_HANDLE_VALUE) return false;
  bool same = ::GetFileInformationByHandle(other, &named) &&
              open.dwVolumeSerialNumber == named.dwVolumeSerialNumber &&
              open.nFileIndexHigh == named.nFileIndexHigh &&
              open.nFileIndexLow == named.nFileIndexLow;
  ::CloseHandle(other);
  return same;
}

}  // namespace channeld
}  // namespace kestrel
