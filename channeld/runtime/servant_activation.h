// Activating and deactivating servants in a POA, with the error handling
// that every servant class needs.

#ifndef KESTREL_CHANNELD_RUNTIME_SERVANT_ACTIVATION_H_
#define KESTREL_CHANNELD_RUNTIME_SERVANT_ACTIVATION_H_

#include <omniORB4/CORBA.h>

#include <string>

namespace kestrel {
namespace channeld {

// A new counted reference to servant (whose count the caller holds).
template <class T>
PortableServer::Servant_var<T> Retain(T* servant) {
  servant->_add_ref();
  return PortableServer::Servant_var<T>(servant);
}

// One servant's activation in one POA: activates on ActivateWithId, deactivates on
// Deactivate (later calls then raise OBJECT_NOT_EXIST). Not thread-safe:
// its owner calls ActivateWithId once and Deactivate at most once.
class ServantActivation {
 public:
  ServantActivation() = default;
  ServantActivation(const ServantActivation&) = delete;
  ServantActivation& operator=(const ServantActivation&) = delete;

  // The id key in poa (which must have the USER_ID policy).
  CORBA::Object_ptr ActivateWithId(PortableServer::POA_ptr poa, const std::string& key,
                                   PortableServer::Servant servant);
  // Errors are ignored: the object may already be gone with its POA.
  void Deactivate();

 private:
  PortableServer::POA_var poa_;
  PortableServer::ObjectId_var id_;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_RUNTIME_SERVANT_ACTIVATION_H_
