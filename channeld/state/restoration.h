// The steps of a start that restores what the last run left in the state
// directory, between reading it and serving it: the event log's pending
// events joined to the saved queues, queues whose consumer is gone
// dropped, and what remains put in the new event log.

#ifndef KESTREL_CHANNELD_STATE_RESTORATION_H_
#define KESTREL_CHANNELD_STATE_RESTORATION_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "channeld/state/event_log.h"
#include "channeld/state/service_state.h"

namespace kestrel {
namespace channeld {

// Adds each pending event to the queue of each of its targets in queued,
// after what is there already, and counts them by channel in restored.
void AddLogEvents(const std::vector<EventLog::Pending>& pending,
                  std::vector<QueuedEvents>* queued,
                  std::map<std::string, std::uint64_t>* restored);

// Removes from queues those of proxies that restored does not have as
// connected consumer proxies (restored may be null: none); answers how many
// events they held.
std::size_t DropOrphans(const ChannelState* restored, RestoredQueues* queues);

// Puts every event of queues into log, once, with every proxy whose queue
// holds it, so that a crash from now on loses none of them: in the order of
// the log that they came from, after the saved queues' events. Answers the
// position to wait for, or 0 when nothing was logged.
EventLog::Position Relog(EventLog* log, const std::string& channel, const RestoredQueues& queues);

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_STATE_RESTORATION_H_
