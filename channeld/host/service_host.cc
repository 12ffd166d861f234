#include "channeld/host/service_host.h"

#include <systemd/sd-daemon.h>

namespace kestrel {
namespace channeld {

int ServiceHost::Run(const std::function<int(const Progress&)>& run) {
  // Outside systemd, with no NOTIFY_SOCKET, these do nothing.
  Progress progress;
  progress.serving = [] { sd_notify(0, "READY=1"); };
  progress.stopping = [] { sd_notify(0, "STOPPING=1"); };
  return run(progress);
}

std::string ServiceHost::ControlHelp() {
  return "SIGUSR1 writes every channel's and proxy's counters to stderr.\n"
         "SIGTERM or SIGINT";
}

std::string ServiceHost::LogPath() { return std::string(); }

}  // namespace channeld
}  // namespace kestrel
