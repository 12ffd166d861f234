// Who may watch the events that a channel accepts (the console's tail).
// A channel asks Watched on every event, so that an unwatched service
// spends one call on it; Passed then runs on the supplier's thread and
// must never wait for a watcher.

#ifndef KESTREL_CHANNELD_MODEL_PASSING_EVENTS_H_
#define KESTREL_CHANNELD_MODEL_PASSING_EVENTS_H_

#include <COS/CosNotification.hh>

#include <string>

namespace kestrel {
namespace channeld {

class PassingEvents {
 public:
  virtual ~PassingEvents() = default;
  virtual bool Watched() const = 0;
  // event, accepted by the channel of key channel. Never raises.
  virtual void Passed(const std::string& channel,
                      const CosNotification::StructuredEvent& event) = 0;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_MODEL_PASSING_EVENTS_H_
