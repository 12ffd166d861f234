#include "orb/poa_servant.h"

#include <functional>
#include <list>
#include <mutex>
#include <thread>

#include "orb/corba_result.h"
#include "orb/orb_runtime.h"

namespace kestrel {

namespace {

// The threads that delete objects later. They are joined, never detached:
// a finished one when the next starts, and any still running when the
// library's statics are destroyed (at unload or at exit), so that no thread
// is left running the library's code after the library has gone.
class DeleterThreads {
 public:
  ~DeleterThreads() {
    std::list<Deleter> remaining;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      remaining.swap(deleters_);  // the elements stay where their threads see them
    }
    for (Deleter& deleter : remaining) deleter.thread.join();
  }

  void Start(std::function<void()> deletion) {
    std::lock_guard<std::mutex> lock(mutex_);
    JoinFinished();
    deleters_.emplace_back();
    Deleter& deleter = deleters_.back();
    deleter.thread = std::thread([deletion = std::move(deletion), &deleter, this] {
      Contained(deletion);
      std::lock_guard<std::mutex> lock(mutex_);
      deleter.finished = true;
    });
  }

  bool JoinFinishedAndTellIfIdle() {
    std::lock_guard<std::mutex> lock(mutex_);
    JoinFinished();
    return deleters_.empty();
  }

 private:
  struct Deleter {
    std::thread thread;
    bool finished = false;
  };

  void JoinFinished() {
    for (auto it = deleters_.begin(); it != deleters_.end();) {
      if (!it->finished) {
        ++it;
        continue;
      }
      it->thread.join();
      it = deleters_.erase(it);
    }
  }

  std::mutex mutex_;
  std::list<Deleter> deleters_;  // a list: a running thread holds its element
};

DeleterThreads deleterThreads;

}  // namespace

bool NoDeletionRunning() { return deleterThreads.JoinFinishedAndTellIfIdle(); }

HRESULT PoaServant::ActivateInRootPoa(const OrbRuntime& runtime, CORBA::Object_var& reference) {
  PortableServer::POA_var root = activated() ? PortableServer::POA::_duplicate(poa_)
                                             : runtime.GetRootPoa();
  if (CORBA::is_nil(root)) return E_FAIL;
  return Guarded([&] {
    if (!activated()) {
      id_ = root->activate_object(this);
      poa_ = PortableServer::POA::_duplicate(root);
    }
    reference = root->id_to_reference(id_.in());
    return S_OK;
  });
}

void PoaServant::Deactivate() {
  if (!activated()) return;
  PortableServer::POA_var poa = poa_._retn();
  try {
    poa->deactivate_object(id_.in());
  } catch (const CORBA::Exception&) {
    // The adapter is already gone, and with it every hold on the servant.
    return;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  released_.wait(lock, [this] { return adapterHolds_ == 0; });
}

bool PoaServant::DeactivateAndDeleteLater() {
  if (!activated()) return false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    deleteWhenReleased_ = true;
  }
  PortableServer::POA_var poa = poa_._retn();
  try {
    poa->deactivate_object(id_.in());
    return true;
  } catch (const CORBA::Exception&) {
    std::lock_guard<std::mutex> lock(mutex_);
    deleteWhenReleased_ = false;
    return false;
  }
}

void PoaServant::_add_ref() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++adapterHolds_;
}

void PoaServant::_remove_ref() {
  bool deleteNow = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--adapterHolds_ == 0) {
      deleteNow = deleteWhenReleased_;
      released_.notify_all();
    }
  }
  // The adapter calls this on one of omniORB's threads, where the object's
  // teardown (which may destroy the broker) must not run.
  if (deleteNow) deleterThreads.Start([this] { delete this; });
}

}  // namespace kestrel
