// Where this library lives: what registration writes as the path that
// loads it (GetModuleFileName for the module that holds this code).

#ifndef KESTREL_PLATFORM_MODULE_PATH_H_
#define KESTREL_PLATFORM_MODULE_PATH_H_

#include <string>

namespace kestrel {

// The absolute path of the library (or program) that this code is linked
// into. Empty when the system cannot tell, or when the path does not fit
// the system's buffer: a path cut short would name another file.
std::string ThisModulePath();

}  // namespace kestrel

#endif  // KESTREL_PLATFORM_MODULE_PATH_H_
