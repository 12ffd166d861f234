// Holds every incoming request until the service has restored its state.
// omniORB listens, and answers, as soon as the ORB exists; a request for an
// object that is not active yet would be told OBJECT_NOT_EXIST at once,
// whatever the state of its POA manager, and a supplier told that of its
// proxy would leave it for a new one. The gate is an omniORB server
// interceptor: each request waits in it, on the thread that received it,
// until the gate opens. Once open it costs one atomic read per request.

#ifndef KESTREL_CHANNELD_RUNTIME_RESTORE_GATE_H_
#define KESTREL_CHANNELD_RUNTIME_RESTORE_GATE_H_

namespace kestrel {
namespace channeld {

class RestoreGate {
 public:
  // Closes the gate and puts it in the way of the process's ORB's incoming
  // requests. REQUIRES: ORB_init done, once per process.
  static void Install();
  // Lets every request through, from now on. Idempotent.
  static void Open();
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_RUNTIME_RESTORE_GATE_H_
