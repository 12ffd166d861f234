#include "channeld/runtime/servant_activation.h"

namespace kestrel {
namespace channeld {

CORBA::Object_ptr ServantActivation::ActivateWithId(PortableServer::POA_ptr poa,
                                                    const std::string& key,
                                                    PortableServer::Servant servant) {
  poa_ = PortableServer::POA::_duplicate(poa);
  id_ = PortableServer::string_to_ObjectId(key.c_str());
  poa->activate_object_with_id(id_.in(), servant);
  return poa->id_to_reference(id_.in());
}

void ServantActivation::Deactivate() {
  if (CORBA::is_nil(poa_.in())) return;
  try {
    poa_->deactivate_object(id_.in());
  } catch (const CORBA::Exception&) {
    // Already deactivated, or the POA is being destroyed.
  }
  poa_ = PortableServer::POA::_nil();
}

}  // namespace channeld
}  // namespace kestrel
