#include "platform/library_loader.h"

#include <dlfcn.h>

namespace kestrel {

void* LoadComponentLibrary(const char* path) {
  if (path == nullptr || path[0] == '\0') return nullptr;
  return ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
}

void* FindLibraryFunction(void* library, const char* name) {
  return library == nullptr ? nullptr : ::dlsym(library, name);
}

}  // namespace kestrel
