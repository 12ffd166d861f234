#include "channeld/host/service_host.h"

namespace kestrel {
namespace channeld {

int ServiceHost::Run(const std::function<int(const std::function<void()>&)>& run) {
  return run(nullptr);
}

std::string ServiceHost::ControlHelp() {
  return "SIGUSR1 writes every channel's and proxy's counters to stderr.\n"
         "SIGTERM or SIGINT";
}

std::string ServiceHost::LogPath() { return std::string(); }

}  // namespace channeld
}  // namespace kestrel
