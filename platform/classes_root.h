// Editing HKEY_CLASSES_ROOT, for self-registration: the machine's registry
// as the platform keeps it (the registry file here, the system registry on
// Windows), changed key by key.
//
//   EditClassesRoot([](ClassesRootEditor& editor) {
//     editor.WriteKey("CLSID\\{...}\\InprocServer32", "ThreadingModel", "Both");
//     editor.DeleteTree("Some ProgID");
//   });

#ifndef KESTREL_PLATFORM_CLASSES_ROOT_H_
#define KESTREL_PLATFORM_CLASSES_ROOT_H_

#include <functional>
#include <string>

#include "platform/registry_store.h"

namespace kestrel {

class ClassesRootEditor {
 public:
  // Creates or opens keyPath and, when data is given, sets the value
  // valueName ("" for the default value) to it as a string. False when the
  // key cannot be created or the value cannot be set.
  virtual bool WriteKey(const std::string& keyPath, const char* valueName, const char* data) = 0;

  // Deletes keyPath with everything below it. True when it is gone, or
  // was never there; false when some of it is left.
  virtual bool DeleteTree(const std::string& keyPath) = 0;

 protected:
  ~ClassesRootEditor() = default;
};

// Runs edit against the machine's HKEY_CLASSES_ROOT. With the registry file,
// the whole edit is one locked update (nothing is written when the file
// cannot be parsed, and the file is left alone when the edit changes
// nothing), and the editor's answers only say what the edit did to the
// tree: the status says whether it reached the file. The system registry
// applies each call as it comes, and the answers say what each did.
RegistryStatus EditClassesRoot(const std::function<void(ClassesRootEditor&)>& edit);

}  // namespace kestrel

#endif  // KESTREL_PLATFORM_CLASSES_ROOT_H_
