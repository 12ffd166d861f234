// The timer that connects a consumer to its channel again after the
// channel dropped it: first 2 s after the drop, then every 2 s until an
// attempt succeeds. It runs on the consumer's reactor (a run thread); one
// object per scheduling, owned by the reactor from then on and freed in
// handle_close.

#ifndef KESTREL_CONSUMER_RECONNECT_TIMER_H_
#define KESTREL_CONSUMER_RECONNECT_TIMER_H_

#include <ace/Event_Handler.h>
#include <ace/Time_Value.h>

namespace kestrel {

// Both the delay before the first attempt and the period of the others.
extern const ACE_Time_Value RECONNECT_INTERVAL;

class ReconnectTimer : public ACE_Event_Handler {
 public:
  // epoch: the consumer's connection epoch when the channel dropped it; a
  // timer of an older epoch (the client disconnected since) ends at once.
  explicit ReconnectTimer(unsigned epoch) : ACE_Event_Handler(nullptr, 0), epoch_(epoch) {}
  ~ReconnectTimer() override = default;

  // act is the NotificationConsumer. Answers -1 (ending the timer) once the
  // consumer is connected again or no longer wants to be, 0 to try again.
  int handle_timeout(const ACE_Time_Value& currentTime, const void* act) override;
  // Frees the handler.
  int handle_close(ACE_HANDLE handle, ACE_Reactor_Mask mask) override;

 private:
  const unsigned epoch_;
};

}  // namespace kestrel

#endif  // KESTREL_CONSUMER_RECONNECT_TIMER_H_
