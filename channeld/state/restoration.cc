#include "channeld/state/restoration.h"

#include <algorithm>
#include <tuple>

namespace kestrel {
namespace channeld {

void AddLogEvents(const std::vector<EventLog::Pending>& pending,
                  std::vector<QueuedEvents>* queued,
                  std::map<std::string, std::uint64_t>* restored) {
  using Key = std::tuple<std::string, CosNotifyChannelAdmin::AdminID, CosNotifyChannelAdmin::ProxyID>;
  std::map<Key, std::size_t> index;  // into queued
  for (std::size_t i = 0; i < queued->size(); ++i) {
    const QueuedEvents& queue = (*queued)[i];
    index[Key(queue.channel, queue.admin, queue.proxy)] = i;
  }
  for (const EventLog::Pending& event : pending) {
    for (const ProxyKey& target : event.targets) {
      auto inserted = index.emplace(Key(event.channel, target.first, target.second), queued->size());
      if (inserted.second) {
        queued->push_back(QueuedEvents{event.channel, target.first, target.second, {}});
      }
      (*queued)[inserted.first->second].events.push_back(event.event);
      ++(*restored)[event.channel];
    }
  }
}

std::size_t DropOrphans(const ChannelState* restored, RestoredQueues* queues) {
  std::size_t orphans = 0;
  for (auto entry = queues->begin(); entry != queues->end();) {
    bool connected = false;
    if (restored != nullptr) {
      for (const ProxyState& proxy : restored->proxies) {
        connected = connected || (proxy.consumerSide && proxy.connected &&
                                  ProxyKey(proxy.admin, proxy.id) == entry->first);
      }
    }
    if (connected) {
      ++entry;
    } else {
      orphans += entry->second.size();
      entry = queues->erase(entry);
    }
  }
  return orphans;
}

EventLog::Position Relog(EventLog* log, const std::string& channel, const RestoredQueues& queues) {
  std::vector<const ChannelEvent*> order;
  std::map<const ChannelEvent*, std::vector<ProxyKey>> targets;
  for (const auto& entry : queues) {
    for (const EventPtr& event : entry.second) {
      std::vector<ProxyKey>& eventTargets = targets[event.get()];
      if (eventTargets.empty()) order.push_back(event.get());
      eventTargets.push_back(entry.first);
    }
  }
  // In the order of the old log, so that every queue, which holds its
  // events in that order, comes back the same after any number of crashes.
  // Saved queues' events have no number yet; each is in one queue only, and
  // stays first and in its queue's order.
  std::stable_sort(order.begin(), order.end(), [](const ChannelEvent* a, const ChannelEvent* b) {
    return a->sequence < b->sequence;
  });
  EventLog::Position last = 0;
  for (const ChannelEvent* event : order) {
    // Restored events are the service's own, not yet shared with a queue.
    EventLog::Position position =
        log->Append(channel, targets[event], const_cast<ChannelEvent*>(event));
    if (position != 0) last = position;
  }
  return last;
}

}  // namespace channeld
}  // namespace kestrel
