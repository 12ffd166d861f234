#include "channeld/runtime/restore_gate.h"

#include <omniORB4/CORBA.h>
#include <omniORB4/omniInterceptors.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace kestrel {
namespace channeld {

namespace {

// One ORB per process, so one gate: omniORB's interceptors are plain
// functions.
std::atomic<bool> open{true};
std::mutex mutex;
std::condition_variable opened;

CORBA::Boolean WaitUntilOpen(omni::omniInterceptors::serverReceiveRequest_T::info_T&) {
  if (open.load(std::memory_order_acquire)) return true;
  std::unique_lock<std::mutex> lock(mutex);
  opened.wait(lock, [] { return open.load(std::memory_order_acquire); });
  return true;
}

}  // namespace

void RestoreGate::Install() {
  open.store(false, std::memory_order_release);
  omniORB::getInterceptors()->serverReceiveRequest.add(WaitUntilOpen);
}

void RestoreGate::Open() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    open.store(true, std::memory_order_release);
  }
  opened.notify_all();
}

}  // namespace channeld
}  // namespace kestrel
