// The metrics page: the service's figures in the Prometheus text exposition
// format, version 0.0.4, each family with its # HELP and # TYPE lines.
//
// Names start with kestrel_channeld_; counters end in _total and count from
// the service's start; times are in seconds. A channel's series carry the
// label channel (its key). Per consumer proxy series carry proxy too, its
// admin's id and its own ("0/3": proxy 3 of the default admin), and exist
// for the kMaxProxySeries busiest connected consumer proxies of the whole
// service only, by events delivered plus queued (the first listed on a
// tie), so that a page stays small however many consumers connect: the
// channel's series count every proxy. The event log's series, and what the
// start restored, appear with a state directory only.

#ifndef KESTREL_CHANNELD_HOST_METRICS_PAGE_H_
#define KESTREL_CHANNELD_HOST_METRICS_PAGE_H_

#include <cstddef>
#include <string>

#include "channeld/host/service_figures.h"

namespace kestrel {
namespace channeld {

constexpr std::size_t kMaxProxySeries = 100;
constexpr const char* kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

// version is what kestrel_channeld_build_info says.
std::string MetricsPage(const ServiceFigures& figures, const std::string& version);

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_HOST_METRICS_PAGE_H_
