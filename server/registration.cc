#include "server/registration.h"

#include "platform/guid_text.h"

namespace kestrel {

namespace {

// keyPath, or keyPath\subkey when a subkey is given.
std::string KeyPath(const std::string& keyPath, const char* subkey) {
  return subkey == nullptr ? keyPath : keyPath + "\\" + subkey;
}

}  // namespace

void RegisterClass(ClassesRootEditor& editor, const ClassEntry& entry,
                   const std::string& libraryPath) {
  const std::string clsid = GuidToText(*entry.clsid);
  const std::string clsidKey = "CLSID\\" + clsid;
  const std::string viProgId = entry.versionIndependentProgId;
  const std::string progId = entry.progId;
  editor.WriteKey(clsidKey, "", entry.friendlyName);
  editor.WriteKey(KeyPath(clsidKey, "InprocServer32"), "", libraryPath.c_str());
  editor.WriteKey(KeyPath(clsidKey, "InprocServer32"), "ThreadingModel", "Both");
  editor.WriteKey(KeyPath(clsidKey, "ProgID"), "", entry.progId);
  editor.WriteKey(KeyPath(clsidKey, "VersionIndependentProgID"), "", entry.versionIndependentProgId);
  editor.WriteKey(viProgId, "", entry.friendlyName);
  editor.WriteKey(KeyPath(viProgId, "CLSID"), "", clsid.c_str());
  editor.WriteKey(KeyPath(viProgId, "CurVer"), "", entry.progId);
  editor.WriteKey(progId, "", entry.friendlyName);
  editor.WriteKey(KeyPath(progId, "CLSID"), "", clsid.c_str());
}

void UnregisterClass(ClassesRootEditor& editor, const ClassEntry& entry) {
  editor.DeleteTree("CLSID\\" + GuidToText(*entry.clsid));
  editor.DeleteTree(entry.versionIndependentProgId);
  editor.DeleteTree(entry.progId);
}

RegistryStatus RegisterAllClasses(const std::string& libraryPath) {
  return EditClassesRoot([&libraryPath](ClassesRootEditor& editor) {
    for (size_t i = 0; i < kClassCount; ++i) RegisterClass(editor, kClassTable[i], libraryPath);
  });
}

RegistryStatus UnregisterAllClasses() {
  return EditClassesRoot([](ClassesRootEditor& editor) {
    for (size_t i = 0; i < kClassCount; ++i) UnregisterClass(editor, kClassTable[i]);
  });
}

}  // namespace kestrel
