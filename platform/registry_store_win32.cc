// The machine's registry on Windows is the system's own: values are read
// from it one at a time, and self-registration writes it key by key
// (classes_root_win32.cc). It is never read or written as a whole tree.

#include "platform/registry_store.h"

#include <windows.h>

#include <string>

namespace kestrel {

namespace {

HKEY SystemRoot(RegistryRoot root) {
  return root == RegistryRoot::kClassesRoot ? HKEY_CLASSES_ROOT : HKEY_LOCAL_MACHINE;
}

// Reads one value of the expected type into data; false when the key or the
// value is missing, of another type, or larger than size.
bool QueryValue(RegistryRoot root, std::string_view keyPath, std::string_view valueName,
                DWORD expectedType, void* data, DWORD* size) {
  HKEY key = nullptr;
  if (::RegOpenKeyExA(SystemRoot(root), std::string(keyPath).c_str(), 0, KEY_QUERY_VALUE, &key) !=
      ERROR_SUCCESS) {
    return false;
  }
  DWORD type = REG_NONE;
  LONG status = ::RegQueryValueExA(key, std::string(valueName).c_str(), nullptr, &type,
                                   static_cast<BYTE*>(data), size);
  ::RegCloseKey(key);
  return status == ERROR_SUCCESS && type == expectedType;
}

}  // namespace

RegistryStore::RegistryStore() = default;

RegistryStore::RegistryStore(std::string path) : path_(std::move(path)) {}

std::string RegistryStore::DefaultPath() { return std::string(); }

RegistryStatus RegistryStore::Load(RegistryTree* tree) const {
  tree->Clear();
  return RegistryStatus::kIoError;
}

RegistryStatus RegistryStore::Update(const std::function<void(RegistryTree&)>&) const {
  return RegistryStatus::kIoError;
}

bool RegistryStore::ReadDword(RegistryRoot root, std::string_view keyPath,
                              std::string_view valueName, uint32_t* out) const {
  DWORD value = 0;
  DWORD size = sizeof value;
  if (!QueryValue(root, keyPath, valueName, REG_DWORD, &value, &size) || size != sizeof value) {
    return false;
  }
  *out = value;
  return true;
}

bool RegistryStore::ReadString(RegistryRoot root, std::string_view keyPath,
                               std::string_view valueName, std::string* out) const {
  // Registry strings in these keys are short: a path at most.
  char text[1024];
  DWORD size = sizeof text - 1;
  if (!QueryValue(root, keyPath, valueName, REG_SZ, text, &size)) return false;
  // The stored string may lack its terminator.
  text[size] = '\0';
  *out = text;
  return true;
}

}  // namespace kestrel
