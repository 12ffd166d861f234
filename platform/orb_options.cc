#include "platform/orb_options.h"

namespace kestrel {

// Linux wakes a thread blocked in recv when its socket is shut down, so
// omniORB's defaults serve as they are.
std::vector<std::string> PlatformOrbOptions() { return {}; }

}  // namespace kestrel
