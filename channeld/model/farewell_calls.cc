#include "channeld/model/farewell_calls.h"

#include <omniORB4/omniORB.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <utility>

#include "channeld/base/log.h"

namespace kestrel {
namespace channeld {

FarewellCalls::FarewellCalls(unsigned long timeoutMs) : timeoutMs_(timeoutMs) {}

void FarewellCalls::Add(CORBA::Object_ptr target, std::function<void()> call) {
  if (CORBA::is_nil(target)) return;
  omniORB::setClientCallTimeout(target, static_cast<CORBA::ULong>(timeoutMs_));
  calls_.push_back(std::move(call));
}

void FarewellCalls::Run(unsigned maxParallel) {
  std::atomic<std::size_t> next{0};
  auto work = [this, &next] {
    for (std::size_t i = next++; i < calls_.size(); i = next++) {
      try {
        calls_[i]();
      } catch (const CORBA::Exception& e) {
        Log::Info(std::string("a disconnect call failed: ") + e._name());
      } catch (...) {
        Log::Info("a disconnect call failed");
      }
    }
  };
  std::size_t threads = std::min<std::size_t>(std::max(1u, maxParallel), calls_.size());
  std::vector<std::thread> workers;
  for (std::size_t i = 1; i < threads; ++i) workers.emplace_back(work);
  work();
  for (std::thread& worker : workers) worker.join();
  calls_.clear();
}

}  // namespace channeld
}  // namespace kestrel
