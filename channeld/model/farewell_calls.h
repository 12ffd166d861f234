// The disconnect calls that tell clients that their proxy went away: each
// with a short call timeout, its errors ignored, and several at a time, so
// that dead or hung clients cannot hold a shutdown up for long.

#ifndef KESTREL_CHANNELD_MODEL_FAREWELL_CALLS_H_
#define KESTREL_CHANNELD_MODEL_FAREWELL_CALLS_H_

#include <omniORB4/CORBA.h>

#include <functional>
#include <vector>

namespace kestrel {
namespace channeld {

class FarewellCalls {
 public:
  // timeoutMs: the call timeout given to every target.
  explicit FarewellCalls(unsigned long timeoutMs);

  // call makes one remote call on target (a nil target is skipped). The
  // target's call timeout is set here.
  void Add(CORBA::Object_ptr target, std::function<void()> call);

  // Makes every call added so far, up to maxParallel at a time, and returns
  // when all have returned, raised or timed out.
  void Run(unsigned maxParallel = 16);

  std::size_t size() const { return calls_.size(); }

 private:
  unsigned long timeoutMs_;
  std::vector<std::function<void()>> calls_;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_MODEL_FAREWELL_CALLS_H_
