#include "platform/classes_root.h"

namespace kestrel {

namespace {

class TreeEditor final : public ClassesRootEditor {
 public:
  explicit TreeEditor(RegistryTree& tree) : tree_(tree) {}

  bool WriteKey(const std::string& keyPath, const char* valueName, const char* data) override {
    RegistryKey* key = tree_.Create(RegistryRoot::kClassesRoot, keyPath);
    if (key == nullptr) return false;
    if (data != nullptr) key->SetString(valueName, data);
    return true;
  }

  bool DeleteTree(const std::string& keyPath) override {
    size_t slash = keyPath.rfind('\\');
    std::string parentPath = slash == std::string::npos ? std::string() : keyPath.substr(0, slash);
    RegistryKey* parent = tree_.Find(RegistryRoot::kClassesRoot, parentPath);
    if (parent != nullptr) parent->DeleteSubkey(keyPath.substr(slash + 1));
    return true;
  }

 private:
  RegistryTree& tree_;
};

}  // namespace

RegistryStatus EditClassesRoot(const std::function<void(ClassesRootEditor&)>& edit) {
  return RegistryStore().Update([&edit](RegistryTree& tree) {
    TreeEditor editor(tree);
    edit(editor);
  });
}

}  // namespace kestrel
