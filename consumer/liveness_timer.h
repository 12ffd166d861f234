// The timer that checks, every ConsumerLivenessInterval seconds, that a
// connected consumer's proxy still exists at the channel. A service that
// crashed or restarted without saying goodbye leaves the consumer attached
// to a proxy that is gone; the check finds that out and starts the same
// reconnection as the channel's disconnect call. It runs on the consumer's
// reactor for the consumer's life and pauses while no connection is wanted
// or a reconnection is under way.

#ifndef KESTREL_CONSUMER_LIVENESS_TIMER_H_
#define KESTREL_CONSUMER_LIVENESS_TIMER_H_

#include <ace/Event_Handler.h>

namespace kestrel {

class LivenessTimer : public ACE_Event_Handler {
 public:
  LivenessTimer() : ACE_Event_Handler(nullptr, 0) {}

  // act is the NotificationConsumer. Always answers 0: the timer stays.
  int handle_timeout(const ACE_Time_Value& currentTime, const void* act) override;
  // Frees the handler.
  int handle_close(ACE_HANDLE handle, ACE_Reactor_Mask mask) override;
};

}  // namespace kestrel

#endif  // KESTREL_CONSUMER_LIVENESS_TIMER_H_
