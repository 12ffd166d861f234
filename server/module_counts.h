// The library-wide counts that decide whether the library may be unloaded:
// live component objects, and net LockServer(TRUE) calls. Class factories
// are counted in neither.

#ifndef KESTREL_SERVER_MODULE_COUNTS_H_
#define KESTREL_SERVER_MODULE_COUNTS_H_

#include <atomic>
#include <cstdint>

namespace kestrel {

struct ModuleCounts {
  std::atomic<int32_t> objects{0};
  std::atomic<int32_t> locks{0};
};

ModuleCounts& moduleCounts();

}  // namespace kestrel

#endif  // KESTREL_SERVER_MODULE_COUNTS_H_
