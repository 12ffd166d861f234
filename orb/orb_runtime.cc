#include "orb/orb_runtime.h"

#include <ace/Reactor.h>
#include <ace/TP_Reactor.h>
#include <ace/Thread_Manager.h>

#include <vector>

#include "orb/corba_result.h"

namespace kestrel {

namespace {

// The runtime whose event loop this thread runs, if any.
thread_local const OrbRuntime* runThreadOwner = nullptr;

}  // namespace

OrbRuntime::OrbRuntime() = default;

OrbRuntime::~OrbRuntime() {
  Stop();
  ReapUnreapedGroup();
  // A runtime released on one of its own run threads is still inside its
  // reactor here; the reactor must outlive that thread, so it is left be.
  if (OnOwnRunThread()) reactor_.release();
}

HRESULT OrbRuntime::Start(OrbArgumentList& arguments) {
  HRESULT hr = OrbHandle::Start(arguments);
  if (SUCCEEDED(hr) && !reactor_) {
    // A thread-pool reactor: several run threads may wait in its loop.
    reactor_.reset(new ACE_Reactor(new ACE_TP_Reactor, true));
  }
  return hr;
}

HRESULT OrbRuntime::SpawnRunThreads(uint32_t count) {
  if (!started() || !reactor_) return E_FAIL;
  reactor_->reset_reactor_event_loop();
  int group = ACE_Thread_Manager::instance()->spawn_n(count, &OrbRuntime::RunThread, this,
                                                      0 /* flags */, 0 /* priority */, -1);
  runGroup_ = group;
  return group == -1 ? E_FAIL : S_OK;
}

ACE_THR_FUNC_RETURN OrbRuntime::RunThread(void* argument) {
  auto* runtime = static_cast<OrbRuntime*>(argument);
  runThreadOwner = runtime;
  // Held here: a runtime released by a handler on this thread leaves its
  // reactor alive for it (see the destructor).
  ACE_Reactor* reactor = runtime->reactor_.get();
  // A handler that raised ends the loop early; it goes on until Stop.
  while (!reactor->reactor_event_loop_done()) {
    Contained([reactor] { reactor->run_reactor_event_loop(); });
  }
  return 0;
}

bool OrbRuntime::OnOwnRunThread() const { return runThreadOwner == this; }

HRESULT OrbRuntime::Stop() {
  ReapUnreapedGroup();
  if (runGroup_ == -1) return S_OK;
  reactor_->end_reactor_event_loop();
  if (OnOwnRunThread()) {
    WaitForOtherRunThreads();
    unreapedGroup_ = runGroup_;
  } else {
    ACE_Thread_Manager::instance()->wait_grp(runGroup_);
  }
  runGroup_ = -1;
  return Destroy();
}

void OrbRuntime::ReapUnreapedGroup() {
  if (unreapedGroup_ == -1 || OnOwnRunThread()) return;
  ACE_Thread_Manager::instance()->wait_grp(unreapedGroup_);
  unreapedGroup_ = -1;
}

void OrbRuntime::WaitForOtherRunThreads() {
  ACE_Thread_Manager* manager = ACE_Thread_Manager::instance();
  std::vector<ACE_thread_t> threads(manager->count_threads() + 1);
  ssize_t found = manager->thread_grp_list(runGroup_, threads.data(), threads.size());
  ACE_thread_t self = ACE_OS::thr_self();
  for (ssize_t i = 0; i < found; ++i) {
    if (!ACE_OS::thr_equal(threads[i], self)) manager->join(threads[i]);
  }
}

PortableServer::POA_ptr OrbRuntime::GetRootPoa() const {
  PortableServer::POA_var root;
  try {
    CORBA::ORB_var orb = GetOrb();
    if (CORBA::is_nil(orb)) return PortableServer::POA::_nil();
    CORBA::Object_var object = orb->resolve_initial_references("RootPOA");
    root = PortableServer::POA::_narrow(object);
  } catch (const CORBA::Exception&) {
    return PortableServer::POA::_nil();
  }
  return root._retn();
}

HRESULT OrbRuntime::ActivatePoaManager() const {
  PortableServer::POA_var root = GetRootPoa();
  if (CORBA::is_nil(root)) return E_NOTIFY_INVALIDARG;
  return Guarded([&root] {
    PortableServer::POAManager_var manager = root->the_POAManager();
    manager->activate();
    return S_OK;
  });
}

}  // namespace kestrel
