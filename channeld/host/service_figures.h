// Everything that the service counts, taken at one moment: its channels'
// figures, the connections refused, the event log and what the start
// restored. The counters' report (SIGUSR1) and the metrics page are both
// made from it; Service::Figures takes it.

#ifndef KESTREL_CHANNELD_HOST_SERVICE_FIGURES_H_
#define KESTREL_CHANNELD_HOST_SERVICE_FIGURES_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "channeld/base/latency_histogram.h"
#include "channeld/console/console_json.h"
#include "channeld/cluster/event_stream.h"
#include "channeld/model/channel_figures.h"

namespace kestrel {
namespace channeld {

// What one channel's queues got back at the start.
struct RestoreFigures {
  std::uint64_t fromLog = 0;  // events put back from the event log
  // Events queued when the last run ended without a planned stop that
  // could not be put back (they were not in the event log).
  std::uint64_t lost = 0;
};

struct ServiceFigures {
  std::chrono::steady_clock::duration uptime{0};
  std::vector<ChannelFigures> channels;
  std::uint64_t refusedConnections = 0;  // see RefusedPeers
  // With --allow-subject only: requests refused (see AllowedSubjects).
  bool checksSubjects = false;
  std::uint64_t refusedSubjects = 0;

  // With a state directory only; the rest is zero without one.
  bool stateKept = false;
  std::uint64_t eventLogAppended = 0;  // events
  std::size_t eventLogSegments = 0;
  LatencyHistogram::Snapshot eventLogSyncs;  // one entry per sync
  std::map<std::string, RestoreFigures> restored;  // by channel key

  // In a cluster only.
  bool clustered = false;
  ClusterFigures cluster;
};

// One consumer proxy of the figures, and its channel.
struct ListedProxy {
  const ChannelFigures* channel;
  const ProxyFigures* proxy;
};

// The count busiest connected consumer proxies, by events delivered plus
// queued (the first listed on a tie), in the order that figures list them.
std::vector<ListedProxy> BusiestProxies(const ServiceFigures& figures, std::size_t count);

// What the console's page shows of figures: its busiest consumer proxies,
// busiest first; stateDirectory names the state directory.
ConsoleFigures ConsoleView(const ServiceFigures& figures, const std::string& version,
                           const std::string& stateDirectory);

// The counters' report: each channel's lines (see CounterLines), then the
// connections refused and, with a state directory, the event log's
// appends, syncs and segments; each line ending in a newline.
std::string ReportLines(const ServiceFigures& figures);

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_HOST_SERVICE_FIGURES_H_
