// Builds without NATS (Windows): the service runs as one process only.

#include "channeld/cluster/event_stream.h"

namespace kestrel {
namespace channeld {

std::unique_ptr<EventStream> OpenEventStream(const ClusterSettings&, std::string* error) {
  *error = "this build of kestrel-channeld has no cluster mode (--cluster)";
  return nullptr;
}

}  // namespace channeld
}  // namespace kestrel
