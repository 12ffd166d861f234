// Self-registration against the system registry: each key is created and
// closed on its own, and a tree is deleted from the bottom up, so that a
// key that cannot be deleted keeps its parents and nothing else stops.

#include "platform/classes_root.h"

#include <windows.h>

#include <string>

namespace kestrel {

namespace {

// Deletes parent\name and everything below it; answers the system's code.
LONG DeleteKeyTree(HKEY parent, const char* name) {
  HKEY key = nullptr;
  LONG status = ::RegOpenKeyExA(parent, name, 0, KEY_ALL_ACCESS, &key);
  if (status != ERROR_SUCCESS) return status;
  // Index 0 every time: each subkey found is gone before the next request.
  char subkey[256];
  DWORD length = sizeof subkey;
  while (::RegEnumKeyExA(key, 0, subkey, &length, nullptr, nullptr, nullptr, nullptr) ==
         ERROR_SUCCESS) {
    status = DeleteKeyTree(key, subkey);
    if (status != ERROR_SUCCESS) {
      ::RegCloseKey(key);
      return status;
    }
    length = sizeof subkey;
  }
  ::RegCloseKey(key);
  return ::RegDeleteKeyA(parent, name);
}

class SystemEditor final : public ClassesRootEditor {
 public:
  bool WriteKey(const std::string& keyPath, const char* valueName, const char* data) override {
    HKEY key = nullptr;
    if (::RegCreateKeyExA(HKEY_CLASSES_ROOT, keyPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                          KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
      return false;
    }
    LONG status = ERROR_SUCCESS;
    if (data != nullptr) {
      // The length counts the terminating NUL, as REG_SZ expects.
      status = ::RegSetValueExA(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(data),
                                static_cast<DWORD>(std::char_traits<char>::length(data) + 1));
    }
    ::RegCloseKey(key);
    return status == ERROR_SUCCESS;
  }

  bool DeleteTree(const std::string& keyPath) override {
    LONG status = DeleteKeyTree(HKEY_CLASSES_ROOT, keyPath.c_str());
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
  }
};

}  // namespace

RegistryStatus EditClassesRoot(const std::function<void(ClassesRootEditor&)>& edit) {
  SystemEditor editor;
  edit(editor);
  return RegistryStatus::kOk;
}

}  // namespace kestrel
