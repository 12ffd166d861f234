#include "tools/common/component_loader.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
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

std::string DescribeResult(HRESULT hr) {
  char text[96];
  const char* name = KestrelResultName(hr);
  std::snprintf(text, sizeof text, "0x%08X %s", static_cast<unsigned>(hr), name != nullptr ? name : "");
  std::string described(text);
  while (!described.empty() && described.back() == ' ') described.pop_back();
  return described;
}

bool ParseNumber(const char* text, uint32_t* value) {
  if (text == nullptr || *text == '\0' || !std::isdigit(static_cast<unsigned char>(*text))) {
    return false;
  }
  bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char* digits = hex ? text + 2 : text;
  if (*digits == '\0') return false;
  for (const char* c = digits; *c != '\0'; ++c) {
    if (hex ? !std::isxdigit(static_cast<unsigned char>(*c)) : !std::isdigit(static_cast<unsigned char>(*c))) {
      return false;
    }
  }
  errno = 0;
  char* end = nullptr;
  unsigned long long parsed = std::strtoull(digits, &end, hex ? 16 : 10);
  if (errno != 0 || *end != '\0' || parsed > 0xFFFFFFFFull) return false;
  *value = static_cast<uint32_t>(parsed);
  return true;
}

}  // namespace tools
}  // namespace kestrel
