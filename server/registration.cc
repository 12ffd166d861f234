#include "server/registration.h"

#include "platform/guid_text.h"

namespace kestrel {

namespace {

// keyPath, or keyPath\subkey when a subkey is given.
std::string KeyPath(const std::string& keyPath, const char* subkey) {
  return subkey == nullptr ? keyPath : keyPath + "\\" + subkey;
}

}  // namespace

bool RegisterClass(ClassesRootEditor& editor, const ClassEntry& entry,
                   const std::string& libraryPath) {
  const std::string clsid = GuidToText(*entry.clsid);
  const std::string clsidKey = "CLSID\\" + clsid;
  const std::string viProgId = entry.versionIndependentProgId;
  const std::string progId = entry.progId;
  const struct {
    std::string key;
    const char* valueName;
    const char* data;
  } keys[] = {
      {clsidKey, "", entry.friendlyName},
      {KeyPath(clsidKey, "InprocServer32"), "", libraryPath.c_str()},
      {KeyPath(clsidKey, "InprocServer32"), "ThreadingModel", "Both"},
      {KeyPath(clsidKey, "ProgID"), "", entry.progId},
      {KeyPath(clsidKey, "VersionIndependentProgID"), "", entry.versionIndependentProgId},
      {viProgId, "", entry.friendlyName},
      {KeyPath(viProgId, "CLSID"), "", clsid.c_str()},
      {KeyPath(viProgId, "CurVer"), "", entry.progId},
      {progId, "", entry.friendlyName},
      {KeyPath(progId, "CLSID"), "", clsid.c_str()},
  };
  bool all = true;
  for (const auto& key : keys) all = editor.WriteKey(key.key, key.valueName, key.data) && all;
  return all;
}

bool UnregisterClass(ClassesRootEditor& editor, const ClassEntry& entry) {
  bool all = editor.DeleteTree("CLSID\\" + GuidToText(*entry.clsid));
  all = editor.DeleteTree(entry.versionIndependentProgId) && all;
  return editor.DeleteTree(entry.progId) && all;
}

bool RegisterAllClasses(const std::string& libraryPath) {
  bool all = true;
  RegistryStatus status = EditClassesRoot([&libraryPath, &all](ClassesRootEditor& editor) {
    for (size_t i = 0; i < kClassCount; ++i) {
      all = RegisterClass(editor, kClassTable[i], libraryPath) && all;
    }
  });
  return status == RegistryStatus::kOk && all;
}

bool UnregisterAllClasses() {
  bool all = true;
  RegistryStatus status = EditClassesRoot([&all](ClassesRootEditor& editor) {
    for (size_t i = 0; i < kClassCount; ++i) all = UnregisterClass(editor, kClassTable[i]) && all;
  });
  return status == RegistryStatus::kOk && all;
}

}  // namespace kestrel
