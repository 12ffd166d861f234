#include "server/registration.h"

#include "platform/guid_text.h"
#include "platform/registry_store.h"

namespace kestrel {

namespace {

// Creates or opens keyPath (with subkey, when given) below HKEY_CLASSES_ROOT
// and, when data is given, sets the value (the default value without a
// name). False when the key cannot be created.
bool WriteKey(RegistryTree& tree, const std::string& keyPath, const char* subkey,
              const char* data, const char* valueName = "") {
  std::string path = keyPath;
  if (subkey != nullptr) path.append("\\").append(subkey);
  RegistryKey* key = tree.Create(RegistryRoot::kClassesRoot, path);
  if (key == nullptr) return false;
  if (data != nullptr) key->SetString(valueName, data);
  return true;
}

// Deletes parent\name with everything below it.
bool DeleteTree(RegistryTree& tree, const std::string& parentPath, const std::string& name) {
  RegistryKey* parent = tree.Find(RegistryRoot::kClassesRoot, parentPath);
  return parent != nullptr && parent->DeleteSubkey(name);
}

}  // namespace

void RegisterClass(RegistryTree& tree, const ClassEntry& entry, const std::string& libraryPath) {
  const std::string clsid = GuidToText(*entry.clsid);
  const std::string clsidKey = "CLSID\\" + clsid;
  WriteKey(tree, clsidKey, nullptr, entry.friendlyName);
  WriteKey(tree, clsidKey, "InprocServer32", libraryPath.c_str());
  WriteKey(tree, clsidKey, "InprocServer32", "Both", "ThreadingModel");
  WriteKey(tree, clsidKey, "ProgID", entry.progId);
  WriteKey(tree, clsidKey, "VersionIndependentProgID", entry.versionIndependentProgId);
  WriteKey(tree, entry.versionIndependentProgId, nullptr, entry.friendlyName);
  WriteKey(tree, entry.versionIndependentProgId, "CLSID", clsid.c_str());
  WriteKey(tree, entry.versionIndependentProgId, "CurVer", entry.progId);
  WriteKey(tree, entry.progId, nullptr, entry.friendlyName);
  WriteKey(tree, entry.progId, "CLSID", clsid.c_str());
}

void UnregisterClass(RegistryTree& tree, const ClassEntry& entry) {
  DeleteTree(tree, "CLSID", GuidToText(*entry.clsid));
  DeleteTree(tree, "", entry.versionIndependentProgId);
  DeleteTree(tree, "", entry.progId);
}

void RegisterAllClasses(const std::string& libraryPath) {
  RegistryStore().Update([&libraryPath](RegistryTree& tree) {
    for (size_t i = 0; i < kClassCount; ++i) RegisterClass(tree, kClassTable[i], libraryPath);
  });
}

void UnregisterAllClasses() {
  RegistryStore().Update([](RegistryTree& tree) {
    for (size_t i = 0; i < kClassCount; ++i) UnregisterClass(tree, kClassTable[i]);
  });
}

}  // namespace kestrel
