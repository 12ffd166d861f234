// What the filters of one channel need from the channel that holds them: the
// POA they live in, where their object ids start, and how to tell the state
// directory that they changed.

#ifndef KESTREL_CHANNELD_FILTERING_FILTER_HOME_H_
#define KESTREL_CHANNELD_FILTERING_FILTER_HOME_H_

#include <omniORB4/CORBA.h>

#include <functional>
#include <string>

namespace kestrel {
namespace channeld {

struct FilterHome {
  // The POA of the channel's admins and proxies (USER_ID).
  PortableServer::POA_var poa;
  // The factory is at "PREFIX/ff", filter N at "PREFIX/fN": fixed by the
  // channel's key, so that a restored filter is reached by the reference
  // that its clients hold.
  std::string idPrefix;
  // Tells the state directory that the filters changed; with wait, returns
  // once the change is on disk. Called with no lock of the filters held.
  std::function<void(bool wait)> topologyChanged;
  // Keeps an object id for a new filter (see ServiceContext::Reserve):
  // false when another instance of a cluster has it. Null: always free.
  std::function<bool(const std::string& id)> reserve;
  // How long a callback may take to answer a subscription_change.
  unsigned long callbackTimeoutMs = 1000;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_FILTERING_FILTER_HOME_H_
