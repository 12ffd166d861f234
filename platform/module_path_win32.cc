// The module handle that Windows gives the DLL when it attaches, and the
// path registration writes for it.

#include "platform/module_path.h"

#include <windows.h>

namespace {

// Null in a program: GetModuleFileNameA then names the program itself.
HMODULE moduleHandle = nullptr;

// The registered path is read into a buffer of this size; a longer one is
// refused rather than cut.
constexpr DWORD kPathBufferSize = 512;

}  // namespace

// The DLL's entry routine: it records the module handle and does nothing
// else, since the loader lock is held while it runs.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
  if (reason == DLL_PROCESS_ATTACH) moduleHandle = instance;
  return TRUE;
}

namespace kestrel {

std::string ThisModulePath() {
  char path[kPathBufferSize];
  DWORD length = ::GetModuleFileNameA(moduleHandle, path, kPathBufferSize);
  // A full buffer means the path was truncated.
  if (length == 0 || length >= kPathBufferSize) return std::string();
  return std::string(path, length);
}

}  // namespace kestrel
