// The servant activator of the proxy POA: what answers a request for an
// admin or a proxy that is not active. While the service restores its state
// such a request waits, and then goes to the object if it was restored; once
// the restoration is over it is refused as before (OBJECT_NOT_EXIST). Without
// it, a supplier whose proxy is restored a moment after its push arrives
// would be told that its proxy no longer exists.

#ifndef KESTREL_TOOLS_CHANNELD_RESTORE_GATE_H_
#define KESTREL_TOOLS_CHANNELD_RESTORE_GATE_H_

#include <omniORB4/CORBA.h>

#include <condition_variable>
#include <mutex>

namespace kestrel {
namespace channeld {

class RestoreGate : public PortableServer::ServantActivator {
 public:
  // The restoration is over: waiting requests go on.
  void Open();

  PortableServer::Servant incarnate(const PortableServer::ObjectId& id,
                                    PortableServer::POA_ptr poa) override;
  // The POA let go of servant: its reference goes with it.
  void etherealize(const PortableServer::ObjectId& id, PortableServer::POA_ptr poa,
                   PortableServer::Servant servant, CORBA::Boolean cleanupInProgress,
                   CORBA::Boolean remainingActivations) override;

 private:
  std::mutex mutex_;
  std::condition_variable opened_;
  bool open_ = false;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_TOOLS_CHANNELD_RESTORE_GATE_H_
