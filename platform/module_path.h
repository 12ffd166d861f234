// Where a loaded module lives: the equivalent of GetModuleFileName for the
// shared object that holds a given address.

#ifndef KESTREL_PLATFORM_MODULE_PATH_H_
#define KESTREL_PLATFORM_MODULE_PATH_H_

#include <string>

namespace kestrel {

// The absolute path of the shared object (or program) that contains
// address; empty when the system cannot tell.
std::string ModulePathOf(const void* address);

}  // namespace kestrel

#endif  // KESTREL_PLATFORM_MODULE_PATH_H_
