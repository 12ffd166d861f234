#include "tools/channeld/restore_gate.h"

namespace kestrel {
namespace channeld {

void RestoreGate::Open() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
  }
  opened_.notify_all();
}

PortableServer::Servant RestoreGate::incarnate(const PortableServer::ObjectId& id,
                                               PortableServer::POA_ptr poa) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    opened_.wait(lock, [this] { return open_; });
  }
  CORBA::Object_var restored;
  try {
    restored = poa->id_to_reference(id);
  } catch (const CORBA::UserException&) {
    throw CORBA::OBJECT_NOT_EXIST(0, CORBA::COMPLETED_NO);
  }
  // Active now: the client sends the request again, to the object itself.
  throw PortableServer::ForwardRequest(restored.in());
}

void RestoreGate::etherealize(const PortableServer::ObjectId&, PortableServer::POA_ptr,
                              PortableServer::Servant servant, CORBA::Boolean,
                              CORBA::Boolean remainingActivations) {
  if (!remainingActivations) servant->_remove_ref();
}

}  // namespace channeld
}  // namespace kestrel
