#include "tools/channeld/service_host.h"

namespace kestrel {
namespace channeld {

int ServiceHost::Run(const std::function<int()>& run) { return run(); }

std::string ServiceHost::LogPath() { return std::string(); }

}  // namespace channeld
}  // namespace kestrel
