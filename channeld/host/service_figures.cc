#include "channeld/host/service_figures.h"

#include <algorithm>

namespace kestrel {
namespace channeld {

std::vector<ListedProxy> BusiestProxies(const ServiceFigures& figures, std::size_t count) {
  std::vector<ListedProxy> listed;
  for (const ChannelFigures& channel : figures.channels) {
    for (const ProxyFigures& proxy : channel.proxies) {
      if (proxy.consumerSide && proxy.connected) listed.push_back({&channel, &proxy});
    }
  }
  auto busy = [](const ListedProxy& l) { return l.proxy->delivered + l.proxy->queued; };
  std::vector<std::size_t> order(listed.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return busy(listed[a]) > busy(listed[b]);
  });
  if (order.size() > count) order.resize(count);
  std::sort(order.begin(), order.end());
  std::vector<ListedProxy> kept;
  for (std::size_t i : order) kept.push_back(listed[i]);
  return kept;
}

ConsoleFigures ConsoleView(const ServiceFigures& figures, const std::string& version,
                           const std::string& stateDirectory) {
  constexpr std::size_t kShownProxies = 10;
  ConsoleFigures view;
  view.version = version;
  view.uptimeSeconds = std::chrono::duration<double>(figures.uptime).count();
  view.clustered = figures.clustered;
  for (const ChannelFigures& channel : figures.channels) {
    view.channels.push_back({channel.key, static_cast<std::uint64_t>(channel.supplierProxies),
                             static_cast<std::uint64_t>(channel.consumerProxies),
                             channel.received, channel.delivered, channel.discarded});
  }
  std::vector<ListedProxy> busiest = BusiestProxies(figures, kShownProxies);
  std::stable_sort(busiest.begin(), busiest.end(), [](const ListedProxy& a, const ListedProxy& b) {
    return a.proxy->delivered + a.proxy->queued > b.proxy->delivered + b.proxy->queued;
  });
  for (const ListedProxy& listed : busiest) {
    view.proxies.push_back({listed.channel->key,
                            std::to_string(listed.proxy->admin) + "/" +
                                std::to_string(listed.proxy->id),
                            listed.proxy->queued, listed.proxy->delivered,
                            listed.proxy->discarded});
  }
  view.stateKept = figures.stateKept;
  if (figures.stateKept) {
    view.stateDirectory = stateDirectory;
    view.eventLogAppended = figures.eventLogAppended;
    view.eventLogSegments = figures.eventLogSegments;
    view.eventLogSyncs = figures.eventLogSyncs.count();
  }
  return view;
}

std::string ReportLines(const ServiceFigures& figures) {
  std::string lines;
  for (const ChannelFigures& channel : figures.channels) lines += CounterLines(channel);
  lines += "connections refused by --allow: " + std::to_string(figures.refusedConnections) + "\n";
  if (figures.checksSubjects) {
    lines += "requests refused by --allow-subject: " + std::to_string(figures.refusedSubjects) + "\n";
  }
  if (figures.stateKept) {
    lines += "event log: appended " + std::to_string(figures.eventLogAppended) + " events, " +
             std::to_string(figures.eventLogSyncs.count()) + " syncs, " +
             std::to_string(figures.eventLogSegments) + " segments\n";
  }
  return lines;
}

}  // namespace channeld
}  // namespace kestrel
