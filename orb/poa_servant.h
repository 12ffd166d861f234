// The adapter side of a servant whose lifetime belongs to the component
// object it is part of, not to the object adapter.
//
// omniORB counts a servant's references and deletes it when the count ends;
// a component object is freed by its own final Release instead. This base
// counts the adapter's holds without ever deleting, so Deactivate() can
// wait until the adapter has let go: once it returns, no request runs in
// the servant and none can start, and the object may be freed.
//
// A component class derives from its skeleton and from PoaServant; both
// share the one virtual PortableServer::ServantBase.

#ifndef KESTREL_ORB_POA_SERVANT_H_
#define KESTREL_ORB_POA_SERVANT_H_

#include <omniORB4/CORBA.h>

#include <condition_variable>
#include <mutex>

#include "kestrel/result_codes.h"

namespace kestrel {

class OrbRuntime;

class PoaServant : public virtual PortableServer::ServantBase {
 public:
  // Activates the servant in runtime's root adapter the first time; later
  // calls only hand the reference out again. E_FAIL without a root
  // adapter, else S_OK or the code of the exception raised.
  // REQUIRES: runtime started.
  HRESULT ActivateInRootPoa(const OrbRuntime& runtime, CORBA::Object_var& reference);

  // Deactivates the servant, if active, and waits until the adapter has let
  // go of it. Failures (a destroyed broker) are ignored: the adapter is gone
  // then too.
  // REQUIRES: not called from a request being served by this servant.
  void Deactivate();

  // For an object released from within a request that this servant is
  // serving: deactivates the servant and deletes the whole object once the
  // adapter lets go of it, which is after that request has ended; the
  // deletion runs on a thread of its own, outside the broker. Answers
  // false, and keeps the object, when the adapter cannot be told (a
  // destroyed broker): the object is then left alive rather than freed
  // under the request.
  bool DeactivateAndDeleteLater();

  bool activated() const { return !CORBA::is_nil(poa_); }

  void _add_ref() override;
  void _remove_ref() override;

 protected:
  PoaServant() = default;
  ~PoaServant() override = default;

 private:
  PortableServer::POA_var poa_;
  PortableServer::ObjectId_var id_;

  std::mutex mutex_;
  std::condition_variable released_;
  // Guarded by mutex_: the adapter's holds on the servant, and whether the
  // last hold going deletes the object.
  int adapterHolds_ = 0;
  bool deleteWhenReleased_ = false;
};

// Joins the threads of DeactivateAndDeleteLater that have ended, and tells
// whether none is left. An object counts as gone once its destructor ran,
// a little before its deleting thread ends: the library may be unloaded only
// once this is true as well, or that thread would run on in unmapped code.
bool NoDeletionRunning();

}  // namespace kestrel

#endif  // KESTREL_ORB_POA_SERVANT_H_
