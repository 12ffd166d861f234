// What every channel, admin and proxy of one service shares.

#ifndef KESTREL_CHANNELD_MODEL_SERVICE_CONTEXT_H_
#define KESTREL_CHANNELD_MODEL_SERVICE_CONTEXT_H_

#include <omniORB4/CORBA.h>

#include <chrono>
#include <string>

#include "channeld/delivery/consumer_delivery.h"
#include "channeld/qos/queue_policy.h"
#include "channeld/state/state_store.h"

namespace kestrel {
namespace channeld {

class EventLog;
class EventStream;
class Janitor;
class PassingEvents;
class ProxyLeases;
class SharedTopology;

struct ServiceContext {
  PortableServer::POA_var channelPoa;  // omniINSPOA: channels, at their keys
  PortableServer::POA_var proxyPoa;    // RootPOA: admins and proxies, system ids
  Janitor* janitor = nullptr;
  // The state directory, when the service keeps one (--state-dir).
  StateStore* state = nullptr;
  // Its event log, for the events of EventReliability Persistent.
  EventLog* eventLog = nullptr;
  // The cluster's stream, when the service is one instance of a cluster
  // (--cluster): every channel's events go through it. It calls into the
  // channels until it is stopped, which the service does before they go.
  EventStream* stream = nullptr;
  // The cluster's shared topology, through which every instance serves
  // every channel, admin, proxy and filter under the same object id; and
  // the leases that say which instance delivers to each consumer. Both
  // null without a cluster.
  SharedTopology* shared = nullptr;
  ProxyLeases* leases = nullptr;
  // Who watches the events as the channels accept them (--console); null
  // when nobody may.
  PassingEvents* passing = nullptr;

  // Each channel's defaults, which its clients may change.
  long maxSuppliers = 0;  // proxy consumers a channel may have; 0: no limit
  long maxConsumers = 0;  // proxy suppliers a channel may have; 0: no limit
  // Proxies obtained and not yet connected that a channel may have at once;
  // 0: no limit.
  long maxUnconnected = 0;
  QueuePolicy queuePolicy;

  ConsumerDelivery::Settings delivery;
  // A proxy not connected this long after it was obtained is reclaimed;
  // 0: never.
  std::chrono::milliseconds connectTimeout{60000};

  // Tells the state directory, if any, that the topology changed; with
  // wait, returns once the change is on disk. Never call it with a lock
  // held that the topology's description takes.
  // In a cluster, the change goes to the shared topology before this
  // returns.
  void TopologyChanged(bool wait) const;
  // Keeps object id record for a new object of this instance's, so that no
  // other instance of a cluster makes one under it: false when one has.
  // Raises TRANSIENT when the cluster cannot say. True without a cluster.
  bool Reserve(const std::string& record) const;
  unsigned long farewellTimeoutMs = 1000;  // each disconnect call to a client
  // False: every filter call answers NO_IMPLEMENT, as from a service that
  // has no filters (for testing clients against one).
  bool filters = true;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_MODEL_SERVICE_CONTEXT_H_
