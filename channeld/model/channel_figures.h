// What one channel and its proxies count, taken at one moment: the one
// snapshot that both the counters' report (SIGUSR1) and the metrics page
// are made from, so that they can never tell two stories. Plain values;
// EventChannel::Figures takes them.

#ifndef KESTREL_CHANNELD_MODEL_CHANNEL_FIGURES_H_
#define KESTREL_CHANNELD_MODEL_CHANNEL_FIGURES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrel {
namespace channeld {

struct ProxyFigures {
  std::uint32_t admin = 0;  // the id of its admin: 0 for the default one
  std::uint32_t id = 0;
  bool consumerSide = false;  // a consumer's proxy (a ProxyPushSupplier)
  std::string name;           // as the log names it (EventChannel::ProxyName)

  // A supplier's proxy: the events that its supplier pushed.
  std::uint64_t received = 0;

  // A consumer's proxy: whether a consumer is connected; the rest is what
  // its delivery counted since then, and is zero without one.
  bool connected = false;
  std::uint64_t delivered = 0;
  std::uint64_t discarded = 0;
  std::uint64_t retries = 0;
  std::size_t queued = 0;
  bool overflowing = false;
};

struct ChannelFigures {
  std::string key;
  // Since the service started. delivered and discarded are those of every
  // consumer that the channel had, connected now or gone.
  std::uint64_t received = 0;
  std::uint64_t delivered = 0;
  std::uint64_t discarded = 0;
  std::uint64_t reclaimed = 0;  // proxies ended for not being connected in time
  // Now.
  std::size_t queued = 0;
  long supplierProxies = 0;
  long consumerProxies = 0;
  long unconnectedProxies = 0;
  // The supplier admins' proxies, then the consumer admins', each admin's
  // in the order of their ids.
  std::vector<ProxyFigures> proxies;
};

// The report's line for proxy, without a newline:
//   "channel K: supplier proxy 2: received 7"
//   "channel K: consumer proxy 3: delivered 5, discarded 0, queued 2, retries 0, overflowing no"
//   "channel K: consumer proxy 4: not connected"
std::string CounterLine(const ProxyFigures& proxy);

// The report's lines for channel, each ending in a newline: the channel's,
// then one per proxy.
std::string CounterLines(const ChannelFigures& channel);

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_MODEL_CHANNEL_FIGURES_H_
