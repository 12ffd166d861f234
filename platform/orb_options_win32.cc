#include "platform/orb_options.h"

namespace kestrel {

// Winsock does not wake a thread blocked in recv when the socket is shut
// down, so omniORB on Windows reads in slices of its scan period (5 s by
// default) and notices a shutdown only at the end of one. Releasing the
// last consumer shuts its broker down, which then took 5 s; with 1 s it
// takes at most about one, for one wake-up per second of each idle reader.
std::vector<std::string> PlatformOrbOptions() { return {"-ORBscanGranularity", "1"}; }

}  // namespace kestrel
