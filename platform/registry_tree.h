// The registry held in memory: a tree of keys, each with named values.
//
// Key and value names compare without regard to case, as the Windows
// registry does, and keep the case they were created with. Children are kept
// in name order, so a tree always serialises to the same text. The top level
// of the tree holds the roots (HKEY_CLASSES_ROOT, HKEY_LOCAL_MACHINE); paths
// below a root are backslash-separated, as in "CLSID\{...}\InprocServer32".
//
// Not thread-safe: a tree belongs to the one operation that loaded it.

#ifndef KESTREL_PLATFORM_REGISTRY_TREE_H_
#define KESTREL_PLATFORM_REGISTRY_TREE_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel {

enum class RegistryRoot { kClassesRoot, kLocalMachine };

// The name of a root as it stands in the registry file.
const char* RegistryRootName(RegistryRoot root);

struct CaseInsensitiveLess {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const;
};

struct RegistryValue {
  enum class Type { kString, kDword, kOther };
  Type type = Type::kString;
  std::string text;     // kString: the data; kOther: the data as written in the file
  uint32_t number = 0;  // kDword
};

class RegistryKey {
 public:
  explicit RegistryKey(std::string name) : name_(std::move(name)) {}
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;
  RegistryKey(RegistryKey&&) = default;
  RegistryKey& operator=(RegistryKey&&) = default;

  const std::string& name() const { return name_; }

  // Follows a backslash-separated path below this key; empty pieces are
  // skipped. Null when a key on the way does not exist.
  RegistryKey* Find(std::string_view path);
  const RegistryKey* Find(std::string_view path) const;
  // Opens the key at path, creating what is missing. Null when a name on the
  // way cannot be stored (it holds a line break).
  RegistryKey* Create(std::string_view path);
  // Removes the direct subkey name with everything below it; false when
  // there is none.
  bool DeleteSubkey(std::string_view name);

  // Direct subkeys in name order.
  std::vector<const RegistryKey*> Subkeys() const;
  bool HasSubkeys() const { return !subkeys_.empty(); }
  // Removes every subkey and value.
  void Clear() {
    subkeys_.clear();
    values_.clear();
  }

  // Value names: "" is the default value. Setters answer false for text that
  // the file cannot hold (a line break).
  bool SetString(std::string_view valueName, std::string_view data);
  bool SetDword(std::string_view valueName, uint32_t data);
  bool SetOther(std::string_view valueName, std::string_view fileText);
  const RegistryValue* FindValue(std::string_view valueName) const;
  const std::map<std::string, RegistryValue, CaseInsensitiveLess>& values() const {
    return values_;
  }

 private:
  RegistryKey* Child(std::string_view name) const;

  std::string name_;
  std::map<std::string, std::unique_ptr<RegistryKey>, CaseInsensitiveLess> subkeys_;
  std::map<std::string, RegistryValue, CaseInsensitiveLess> values_;
};

// The whole registry: an unnamed key whose subkeys are the roots.
class RegistryTree {
 public:
  RegistryTree() : top_("") {}

  RegistryKey& top() { return top_; }
  const RegistryKey& top() const { return top_; }

  RegistryKey* Find(RegistryRoot root, std::string_view path);
  const RegistryKey* Find(RegistryRoot root, std::string_view path) const;
  RegistryKey* Create(RegistryRoot root, std::string_view path);
  void Clear() { top_.Clear(); }

 private:
  RegistryKey top_;
};

// True when a name or text can be stored in the registry file.
bool IsStorableText(std::string_view text);

}  // namespace kestrel

#endif  // KESTREL_PLATFORM_REGISTRY_TREE_H_
