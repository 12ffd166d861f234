// One object's broker runtime: its share of a logical broker (OrbHandle),
// an ACE reactor of its own, the run threads that run that reactor's event
// loop, and the broker's root object adapter.
//
//   Idle --Start--> Started --SpawnRunThreads--> Running
//   Running --Stop--> (threads ended) --Destroy--> Idle
//   Started --Destroy--> Idle
//
// Incoming requests are dispatched by omniORB's own threads; the run threads
// serve the reactor, on which the consumer's timers run. Each runtime's
// threads form a thread group of their own, so Stop waits for exactly its
// own threads and never ends another runtime's.
//
// Start, SpawnRunThreads, Stop, Destroy and destruction must not overlap any
// other call on the same runtime; GetOrb, StringToObject, GetRootPoa and
// reactor() may be called from any thread while the runtime is started.

#ifndef KESTREL_ORB_ORB_RUNTIME_H_
#define KESTREL_ORB_ORB_RUNTIME_H_

#include <ace/config-lite.h>
#include <omniORB4/CORBA.h>

#include <memory>

#include "kestrel/result_codes.h"
#include "orb/orb_handle.h"

class ACE_Reactor;

namespace kestrel {

class OrbRuntime : public OrbHandle {
 public:
  OrbRuntime();
  // Stop, then the handle's teardown; results ignored.
  ~OrbRuntime() override;

  // OrbHandle::Start, and the reactor on the first success.
  HRESULT Start(OrbArgumentList& arguments);

  // Starts count threads in a new thread group, each running the reactor's
  // event loop until Stop. E_FAIL when the threads cannot be created (no
  // group is left then) or the runtime was never started.
  // REQUIRES: started; called at most once between two Stops.
  HRESULT SpawnRunThreads(uint32_t count);

  // With run threads: ends the event loop, waits for this runtime's threads
  // (only those), then Destroy()s and answers its result. Called on one of
  // its own run threads, it waits for the others only. Without run threads:
  // S_OK, and the broker stays started.
  HRESULT Stop();

  // A new reference to the broker's root object adapter; nil on any failure.
  PortableServer::POA_ptr GetRootPoa() const;

  // Activates the root adapter's manager. E_NOTIFY_INVALIDARG when there is
  // no root adapter, else S_OK or the code of the exception raised.
  HRESULT ActivatePoaManager() const;

  // This runtime's reactor; null before the first successful Start. It lives
  // as long as the runtime.
  ACE_Reactor* reactor() const { return reactor_.get(); }

  int runGroup() const { return runGroup_; }

 private:
  // ACE's thread function type, which is not void* on every system.
  static ACE_THR_FUNC_RETURN RunThread(void* runtime);
  bool OnOwnRunThread() const;
  void WaitForOtherRunThreads();
  void ReapUnreapedGroup();

  std::unique_ptr<ACE_Reactor> reactor_;
  int runGroup_ = -1;
  // The group of a Stop made on one of its own threads: that thread could
  // not wait for itself, so the next Stop or the destructor reaps it.
  int unreapedGroup_ = -1;
};

}  // namespace kestrel

#endif  // KESTREL_ORB_ORB_RUNTIME_H_
