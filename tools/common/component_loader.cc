#include "tools/common/component_loader.h"

#include <unistd.h>

#include <climits>
#include <string>

namespace kestrel {
namespace tools {

namespace {

// Beside the program: <prefix>/bin/tool and <prefix>/lib/libkestrel.so, in
// the build tree and in an installation alike.
std::string LibraryBesideProgram() {
  char path[PATH_MAX];
  ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return std::string();
  path[length] = '\0';
  std::string program(path);
  std::string prefix = program.substr(0, program.rfind('/'));
  prefix = prefix.substr(0, prefix.rfind('/'));
  return prefix + "/lib/libkestrel.so";
}

}  // namespace

HRESULT CreateComponent(const CLSID& clsid, const IID& riid, void** out) {
  HRESULT hr = CoCreateInstance(clsid, nullptr, riid, out);
  if (hr != REGDB_E_CLASSNOTREG) return hr;
  hr = KestrelCreateFromLibrary(LibraryBesideProgram().c_str(), clsid, nullptr, riid, out);
  if (hr != CO_E_DLLNOTFOUND) return hr;
  return KestrelCreateFromLibrary(KESTREL_INSTALLED_LIBRARY, clsid, nullptr, riid, out);
}

}  // namespace tools
}  // namespace kestrel
