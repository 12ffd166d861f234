#include "tools/channeld/system.h"

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

void AllowRestartOnPort(int) {}

}  // namespace channeld
}  // namespace kestrel
