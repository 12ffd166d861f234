#include "channeld/base/system.h"

// ACE's header brings <winsock2.h> before <windows.h>, as both want.
#include <ace/OS_NS_arpa_inet.h>
#include <windows.h>
#include <iphlpapi.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace kestrel {
namespace channeld {

// Handles that ACE opens are not inherited unless asked for.
const int kPrivateHandle = 0;
const int kSharedOpenMode = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

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

std::vector<std::string> InterfaceAddresses() {
  std::vector<std::string> addresses;
  const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
  // The list may grow between asking for its size and reading it: a few
  // tries, each with the size that the last one asked for.
  ULONG size = 16 * 1024;
  std::vector<unsigned char> buffer;
  ULONG result = ERROR_BUFFER_OVERFLOW;
  for (int attempt = 0; attempt < 4 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
    buffer.resize(size);
    result = ::GetAdaptersAddresses(AF_UNSPEC, flags, nullptr,
                                    reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  }
  if (result != NO_ERROR) return addresses;
  for (IP_ADAPTER_ADDRESSES* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
       adapter != nullptr; adapter = adapter->Next) {
    for (IP_ADAPTER_UNICAST_ADDRESS* unicast = adapter->FirstUnicastAddress; unicast != nullptr;
         unicast = unicast->Next) {
      const sockaddr* address = unicast->Address.lpSockaddr;
      if (address == nullptr) continue;
      const void* raw = nullptr;
      if (address->sa_family == AF_INET) {
        raw = &reinterpret_cast<const sockaddr_in*>(address)->sin_addr;
      } else if (address->sa_family == AF_INET6) {
        raw = &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
      }
      char text[INET6_ADDRSTRLEN];
      if (raw != nullptr &&
          ACE_OS::inet_ntop(address->sa_family, raw, text, sizeof text) != nullptr) {
        addresses.push_back(text);
      }
    }
  }
  return addresses;
}

void PrepareExclusiveBind(ACE_HANDLE socket) {
  BOOL on = TRUE;
  ::setsockopt(reinterpret_cast<SOCKET>(socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
               reinterpret_cast<const char*>(&on), sizeof on);
}

// ACE leaves WSAGetLastError() in errno, which MinGW's EADDRINUSE (100)
// never equals.
bool IsAddressInUse(int error) { return error == WSAEADDRINUSE || error == EADDRINUSE; }

void RemoveEnvironmentVariable(const char* name) {
  // The C library keeps a copy of the environment of its own, which
  // SetEnvironmentVariable (ACE's unsetenv) leaves as it was; an empty
  // value removes the variable from both.
  std::string unset = std::string(name) + "=";
  ::_putenv(unset.c_str());
}

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
