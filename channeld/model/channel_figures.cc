#include "channeld/model/channel_figures.h"

namespace kestrel {
namespace channeld {

std::string CounterLine(const ProxyFigures& proxy) {
  if (!proxy.consumerSide) return proxy.name + ": received " + std::to_string(proxy.received);
  if (!proxy.connected) return proxy.name + ": not connected";
  return proxy.name + ": delivered " + std::to_string(proxy.delivered) + ", discarded " +
         std::to_string(proxy.discarded) + ", queued " + std::to_string(proxy.queued) +
         ", retries " + std::to_string(proxy.retries) + ", overflowing " +
         (proxy.overflowing ? "yes" : "no");
}

std::string CounterLines(const ChannelFigures& channel) {
  std::string lines = "channel " + channel.key + ": received " + std::to_string(channel.received) +
                      ", queued " + std::to_string(channel.queued) + ", supplier proxies " +
                      std::to_string(channel.supplierProxies) + ", consumer proxies " +
                      std::to_string(channel.consumerProxies) + ", not connected " +
                      std::to_string(channel.unconnectedProxies) + ", reclaimed " +
                      std::to_string(channel.reclaimed) + "\n";
  for (const ProxyFigures& proxy : channel.proxies) lines += CounterLine(proxy) + "\n";
  return lines;
}

}  // namespace channeld
}  // namespace kestrel
