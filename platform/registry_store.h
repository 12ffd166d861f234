// The machine's registry: one text file (see registry_file.h) that holds the
// roots HKEY_CLASSES_ROOT and HKEY_LOCAL_MACHINE.
//
// The file is $KESTREL_REGISTRY when that is set, otherwise
// /etc/kestrel/registry.reg. A missing file is an empty registry. A file that
// cannot be parsed reads as empty and is never overwritten.
//
// Writers hold an exclusive lock (flock on "<file>.lock") for the whole
// read-change-write, and replace the file by renaming a complete temporary
// file over it, so readers and a crashed writer never leave a torn file.
// Readers take no lock: rename is atomic.
//
// On Windows the registry is the system's own. There the store provides its
// constructors and ReadDwords only (the path is unused), and registration
// edits keys through classes_root.h.
//
//   RegistryStore store;   // the default path
//   store.Update([](RegistryTree& tree) {
//     tree.Create(RegistryRoot::kLocalMachine, "SOFTWARE\\Tarnwell Networks\\Common")
//         ->SetDword("ORBDottedDecimalAddresses", 1);
//   });

#ifndef KESTREL_PLATFORM_REGISTRY_STORE_H_
#define KESTREL_PLATFORM_REGISTRY_STORE_H_

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "platform/registry_tree.h"

namespace kestrel {

enum class RegistryStatus {
  kOk,
  kMalformed,  // the file exists but could not be parsed; nothing was written
  kIoError,    // the file, its folder or its lock could not be read or written
};

class RegistryStore {
 public:
  // The store at the default path, read from the environment now.
  RegistryStore();
  explicit RegistryStore(std::string path);

  static std::string DefaultPath();
  const std::string& path() const { return path_; }

  // Reads the whole registry into tree (cleared first). A missing file is
  // kOk with an empty tree; a malformed or unreadable one leaves it empty.
  RegistryStatus Load(RegistryTree* tree) const;

  // Locks, reads, applies change, writes back atomically, unlocks. When the
  // file is malformed or unreadable, change is not called and nothing is
  // written. The file is written even when change alters nothing.
  RegistryStatus Update(const std::function<void(RegistryTree&)>& change) const;

  // A 32-bit number value; false when the key or value is missing or the
  // value is of another type.
  bool ReadDword(RegistryRoot root, std::string_view keyPath, std::string_view valueName,
                 uint32_t* out) const;
  // The 32-bit number values of one key, by name (in any case); values of
  // other types are left out. Empty when the key is missing. One read of
  // the registry, however many values the caller wants.
  using Dwords = std::map<std::string, uint32_t, CaseInsensitiveLess>;
  Dwords ReadDwords(RegistryRoot root, std::string_view keyPath) const;
  // A string value; false when missing or of another type.
  bool ReadString(RegistryRoot root, std::string_view keyPath, std::string_view valueName,
                  std::string* out) const;
  // The string values of one key, by name (in any case), as ReadDwords
  // reads the numbers: one read of the registry.
  using Strings = std::map<std::string, std::string, CaseInsensitiveLess>;
  Strings ReadStrings(RegistryRoot root, std::string_view keyPath) const;

 private:
  std::string path_;
};

}  // namespace kestrel

#endif  // KESTREL_PLATFORM_REGISTRY_STORE_H_
