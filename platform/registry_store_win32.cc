// The machine's registry on Windows is the system's own: the library reads
// the numbers and strings of one key from it (ReadDwords, ReadStrings,
// ReadString),
// and self-registration writes
// it key by key (classes_root_win32.cc). It is never read or written as a
// whole tree, so the members that serve the registry file are not built
// here.

#include "platform/registry_store.h"

#include <windows.h>

#include <string>
#include <vector>

namespace kestrel {

namespace {

HKEY SystemRoot(RegistryRoot root) {
  return root == RegistryRoot::kClassesRoot ? HKEY_CLASSES_ROOT : HKEY_LOCAL_MACHINE;
}

}  // namespace

RegistryStore::RegistryStore() = default;

RegistryStore::RegistryStore(std::string path) : path_(std::move(path)) {}

RegistryStore::Dwords RegistryStore::ReadDwords(RegistryRoot root, std::string_view keyPath) const {
  Dwords dwords;
  HKEY key = nullptr;
  if (::RegOpenKeyExA(SystemRoot(root), std::string(keyPath).c_str(), 0, KEY_QUERY_VALUE, &key) !=
      ERROR_SUCCESS) {
    return dwords;
  }
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD nameLength = sizeof name;
    DWORD type = REG_NONE;
    DWORD value = 0;
    DWORD size = sizeof value;
    LONG status = ::RegEnumValueA(key, i, name, &nameLength, nullptr, &type,
                                  reinterpret_cast<BYTE*>(&value), &size);
    if (status == ERROR_NO_MORE_ITEMS) break;
    // ERROR_MORE_DATA: a longer value (a string, say), which is no number.
    if (status == ERROR_SUCCESS && type == REG_DWORD && size == sizeof value) {
      dwords.emplace(std::string(name, nameLength), value);
    } else if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) {
      break;
    }
  }
  ::RegCloseKey(key);
  return dwords;
}

bool RegistryStore::ReadString(RegistryRoot root, std::string_view keyPath,
                               std::string_view valueName, std::string* out) const {
  // RRF_RT_REG_SZ also takes REG_EXPAND_SZ, expanded, as paths are often
  // written (%ProgramData%\...).
  const std::string key(keyPath), name(valueName);
  DWORD size = 0;
  if (::RegGetValueA(SystemRoot(root), key.c_str(), name.c_str(), RRF_RT_REG_SZ, nullptr, nullptr,
                     &size) != ERROR_SUCCESS) {
    return false;
  }
  std::string text(size, '\0');
  if (::RegGetValueA(SystemRoot(root), key.c_str(), name.c_str(), RRF_RT_REG_SZ, nullptr,
                     &text[0], &size) != ERROR_SUCCESS) {
    return false;
  }
  text.resize(size > 0 ? size - 1 : 0);  // without its terminating null
  *out = std::move(text);
  return true;
}

RegistryStore::Strings RegistryStore::ReadStrings(RegistryRoot root,
                                                  std::string_view keyPath) const {
  Strings strings;
  HKEY key = nullptr;
  if (::RegOpenKeyExA(SystemRoot(root), std::string(keyPath).c_str(), 0, KEY_QUERY_VALUE, &key) !=
      ERROR_SUCCESS) {
    return strings;
  }
  std::vector<std::string> names;
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD nameLength = sizeof name;
    DWORD type = REG_NONE;
    LONG status = ::RegEnumValueA(key, i, name, &nameLength, nullptr, &type, nullptr, nullptr);
    if (status != ERROR_SUCCESS) break;
    if (type == REG_SZ || type == REG_EXPAND_SZ) names.emplace_back(name, nameLength);
  }
  ::RegCloseKey(key);
  // Each read as ReadString reads it, expanded where it asks to be.
  for (const std::string& name : names) {
    std::string text;
    if (ReadString(root, keyPath, name, &text)) strings.emplace(name, std::move(text));
  }
  return strings;
}

}  // namespace kestrel
