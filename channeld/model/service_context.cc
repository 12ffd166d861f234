#include "channeld/model/service_context.h"

#include "channeld/model/shared_topology.h"

namespace kestrel {
namespace channeld {

void ServiceContext::TopologyChanged(bool wait) const {
  if (state != nullptr) state->Changed(wait);
  if (shared != nullptr) shared->Changed();
}

bool ServiceContext::Reserve(const std::string& record) const {
  return shared == nullptr || shared->Reserve(record);
}

}  // namespace channeld
}  // namespace kestrel
