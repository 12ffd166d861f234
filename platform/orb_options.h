// The broker options that a system needs of its own, added to every start
// of the process's ORB.

#ifndef KESTREL_PLATFORM_ORB_OPTIONS_H_
#define KESTREL_PLATFORM_ORB_OPTIONS_H_

#include <string>
#include <vector>

namespace kestrel {

// Pairs of omniORB option and value; none on Linux.
std::vector<std::string> PlatformOrbOptions();

}  // namespace kestrel

#endif  // KESTREL_PLATFORM_ORB_OPTIONS_H_
