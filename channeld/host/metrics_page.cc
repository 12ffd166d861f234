#include "channeld/host/metrics_page.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <utility>
#include <vector>

namespace kestrel {
namespace channeld {

namespace {

constexpr char kPrefix[] = "kestrel_channeld_";

// A label value as the format quotes it.
std::string Escaped(const std::string& value) {
  std::string escaped;
  for (char c : value) {
    if (c == '\\' || c == '"') {
      escaped += '\\';
      escaped += c;
    } else if (c == '\n') {
      escaped += "\\n";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

std::string Number(std::uint64_t value) { return std::to_string(value); }

std::uint64_t Count(long value) { return value > 0 ? static_cast<std::uint64_t>(value) : 0; }

std::string Seconds(std::uint64_t nanoseconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%" PRIu64 ".%09" PRIu64, nanoseconds / 1000000000,
                nanoseconds % 1000000000);
  std::string seconds = text;
  seconds.erase(seconds.find_last_not_of('0') + 1);
  if (seconds.back() == '.') seconds.pop_back();
  return seconds;
}

// Lines of the page, family by family.
class Page {
 public:
  void Family(const std::string& name, const char* type, const std::string& help) {
    text_ += "# HELP " + std::string(kPrefix) + name + " " + help + "\n# TYPE " + kPrefix + name +
             " " + type + "\n";
  }
  // labels: already written as name="value" pairs, comma-separated.
  void Sample(const std::string& name, const std::string& labels, const std::string& value) {
    text_ += kPrefix + name + (labels.empty() ? "" : "{" + labels + "}") + " " + value + "\n";
  }
  std::string& text() { return text_; }

 private:
  std::string text_;
};

std::string ChannelLabel(const std::string& key) { return "channel=\"" + Escaped(key) + "\""; }

std::string ProxyLabels(const std::string& key, const ProxyFigures& proxy) {
  return ChannelLabel(key) + ",proxy=\"" + std::to_string(proxy.admin) + "/" +
         std::to_string(proxy.id) + "\"";
}

using ChannelValue = std::uint64_t (*)(const ChannelFigures&);

void ChannelFamily(Page* page, const ServiceFigures& figures, const char* name, const char* type,
                   const char* help, ChannelValue value) {
  page->Family(name, type, help);
  for (const ChannelFigures& channel : figures.channels) {
    page->Sample(name, ChannelLabel(channel.key), Number(value(channel)));
  }
}

void ChannelFamilies(Page* page, const ServiceFigures& figures) {
  ChannelFamily(page, figures, "events_received_total", "counter",
                "Events that the channel's suppliers pushed to it.",
                [](const ChannelFigures& c) { return c.received; });
  ChannelFamily(page, figures, "events_delivered_total", "counter",
                "Events delivered to the channel's consumers, once per consumer that took one; "
                "consumers gone are still counted.",
                [](const ChannelFigures& c) { return c.delivered; });
  ChannelFamily(page, figures, "events_discarded_total", "counter",
                "Events that full consumer queues of the channel discarded by their discard "
                "policy; consumers gone are still counted.",
                [](const ChannelFigures& c) { return c.discarded; });
  ChannelFamily(page, figures, "events_queued", "gauge",
                "Events waiting in the channel's consumer queues now.",
                [](const ChannelFigures& c) { return std::uint64_t{c.queued}; });
  ChannelFamily(page, figures, "supplier_proxies", "gauge",
                "Proxies that the channel holds for suppliers, connected or not.",
                [](const ChannelFigures& c) { return Count(c.supplierProxies); });
  ChannelFamily(page, figures, "consumer_proxies", "gauge",
                "Proxies that the channel holds for consumers, connected or not.",
                [](const ChannelFigures& c) { return Count(c.consumerProxies); });
  ChannelFamily(page, figures, "unconnected_proxies", "gauge",
                "Proxies of the channel that clients obtained and have not connected yet.",
                [](const ChannelFigures& c) { return Count(c.unconnectedProxies); });
  ChannelFamily(page, figures, "proxies_reclaimed_total", "counter",
                "Proxies that the channel ended because their clients did not connect them "
                "within --connect-timeout.",
                [](const ChannelFigures& c) { return c.reclaimed; });
}

using ProxyValue = std::uint64_t (*)(const ProxyFigures&);

void ProxyFamilies(Page* page, const ServiceFigures& figures) {
  std::vector<ListedProxy> busiest = BusiestProxies(figures, kMaxProxySeries);
  const std::string only = " Only the " + std::to_string(kMaxProxySeries) +
                           " busiest consumer proxies, by delivered plus queued, have series.";
  const struct {
    const char* name;
    const char* type;
    const char* help;
    ProxyValue value;
  } families[] = {
      {"proxy_events_delivered_total", "counter",
       "Events delivered to the consumer of one proxy.",
       [](const ProxyFigures& p) { return p.delivered; }},
      {"proxy_events_discarded_total", "counter",
       "Events that one consumer proxy's full queue discarded.",
       [](const ProxyFigures& p) { return p.discarded; }},
      {"proxy_events_queued", "gauge",
       "Events waiting in one consumer proxy's queue now.",
       [](const ProxyFigures& p) { return std::uint64_t{p.queued}; }},
  };
  for (const auto& family : families) {
    page->Family(family.name, family.type, family.help + only);
    for (const ListedProxy& l : busiest) {
      page->Sample(family.name, ProxyLabels(l.channel->key, *l.proxy),
                   Number(family.value(*l.proxy)));
    }
  }
}

void Histogram(Page* page, const std::string& name, const char* help,
               const LatencyHistogram::Snapshot& syncs) {
  page->Family(name, "histogram", help);
  std::uint64_t cumulative = 0;
  for (std::size_t i = 0; i < LatencyHistogram::kBounds; ++i) {
    cumulative += syncs.counts[i];
    page->Sample(name + "_bucket",
                 "le=\"" + Seconds(LatencyHistogram::kBoundNanoseconds[i]) + "\"",
                 Number(cumulative));
  }
  cumulative += syncs.counts[LatencyHistogram::kBounds];
  page->Sample(name + "_bucket", "le=\"+Inf\"", Number(cumulative));
  page->Sample(name + "_sum", "", Seconds(syncs.sumNanoseconds));
  page->Sample(name + "_count", "", Number(cumulative));
}

void StateFamilies(Page* page, const ServiceFigures& figures) {
  page->Family("event_log_appends_total", "counter",
               "Events written to the event log (those of EventReliability Persistent).");
  page->Sample("event_log_appends_total", "", Number(figures.eventLogAppended));
  page->Family("event_log_syncs_total", "counter", "Syncs of the event log to disk.");
  page->Sample("event_log_syncs_total", "", Number(figures.eventLogSyncs.count()));
  Histogram(page, "event_log_sync_seconds", "How long each sync of the event log to disk took.",
            figures.eventLogSyncs);
  page->Family("events_restored_total", "counter",
               "Events that this start put back in the channel's consumer queues from the "
               "event log.");
  for (const auto& entry : figures.restored) {
    page->Sample("events_restored_total", ChannelLabel(entry.first), Number(entry.second.fromLog));
  }
  page->Family("events_not_restored_total", "counter",
               "Events queued in the channel when the last run ended without a planned stop "
               "that this start could not put back.");
  for (const auto& entry : figures.restored) {
    page->Sample("events_not_restored_total", ChannelLabel(entry.first),
                 Number(entry.second.lost));
  }
}

void Counter(Page* page, const char* name, const char* help, std::uint64_t value) {
  page->Family(name, "counter", help);
  page->Sample(name, "", Number(value));
}

void ClusterFamilies(Page* page, const ClusterFigures& cluster) {
  Counter(page, "cluster_accepted_total",
          "Events that the cluster's stream acknowledged (stored on a majority of its replicas).",
          cluster.accepted);
  Counter(page, "cluster_failed_total",
          "Events pushed here that the cluster's stream did not acknowledge in time or could "
          "not take; their suppliers got an exception.",
          cluster.failed);
  Histogram(page, "cluster_accept_seconds",
            "How long the cluster's stream took to acknowledge each event.",
            cluster.acknowledgements);
  Counter(page, "cluster_stalls_total",
          "Events that waited for room among those in flight to the cluster.", cluster.stalls);
  Counter(page, "cluster_reconnections_total", "Reconnections to the cluster's NATS servers.",
          cluster.reconnections);
  Counter(page, "cluster_repeats_total",
          "Events that consumers' positions sent this instance again, skipped.", cluster.repeats);
  page->Family("cluster_leases_held", "gauge",
               "Consumers that this instance delivers to: the leases it holds.");
  page->Sample("cluster_leases_held", "", Number(cluster.leasesHeld));
  Counter(page, "cluster_lease_takeovers_total",
          "Leases that this instance took from another: a consumer's instance died, stopped "
          "or was left by its consumer.",
          cluster.takeovers);
}

}  // namespace

std::string MetricsPage(const ServiceFigures& figures, const std::string& version) {
  Page page;
  page.Family("build_info", "gauge", "The version of kestrel-channeld that runs; always 1.");
  page.Sample("build_info", "version=\"" + Escaped(version) + "\"", "1");
  page.Family("uptime_seconds", "gauge", "Seconds since the service started.");
  page.Sample("uptime_seconds", "",
              Seconds(static_cast<std::uint64_t>(
                  std::chrono::duration_cast<std::chrono::nanoseconds>(figures.uptime).count())));
  page.Family("connections_refused_total", "counter",
              "Connections refused because no --allow rule lets their peer in, to the channels' "
              "port and to this endpoint alike.");
  page.Sample("connections_refused_total", "", Number(figures.refusedConnections));
  page.Family("requests_refused_total", "counter",
              "Requests refused over TLS because the client's certificate subject matches no "
              "--allow-subject pattern.");
  page.Sample("requests_refused_total", "", Number(figures.refusedSubjects));
  ChannelFamilies(&page, figures);
  ProxyFamilies(&page, figures);
  if (figures.stateKept) StateFamilies(&page, figures);
  if (figures.clustered) ClusterFamilies(&page, figures.cluster);
  return std::move(page.text());
}

}  // namespace channeld
}  // namespace kestrel
