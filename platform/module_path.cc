#include "platform/module_path.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

namespace kestrel {

std::string ThisModulePath() {
  Dl_info info;
  if (::dladdr(reinterpret_cast<void*>(&ThisModulePath), &info) == 0 ||
      info.dli_fname == nullptr) {
    return std::string();
  }
  // dlopen keeps the name it was given, which may be relative.
  char resolved[PATH_MAX];
  if (::realpath(info.dli_fname, resolved) == nullptr) return info.dli_fname;
  return resolved;
}

}  // namespace kestrel
