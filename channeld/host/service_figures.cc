#include "channeld/host/service_figures.h"

namespace kestrel {
namespace channeld {

std::string ReportLines(const ServiceFigures& figures) {
  std::string lines;
  for (const ChannelFigures& channel : figures.channels) lines += CounterLines(channel);
  lines += "connections refused by --allow: " + std::to_string(figures.refusedConnections) + "\n";
  if (figures.stateKept) {
    lines += "event log: appended " + std::to_string(figures.eventLogAppended) + " events, " +
             std::to_string(figures.eventLogSyncs.count()) + " syncs, " +
             std::to_string(figures.eventLogSegments) + " segments\n";
  }
  return lines;
}

}  // namespace channeld
}  // namespace kestrel
