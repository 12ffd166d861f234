#include "consumer/liveness_timer.h"

#include "consumer/notification_consumer.h"
#include "orb/corba_result.h"

namespace kestrel {

int LivenessTimer::handle_timeout(const ACE_Time_Value&, const void* act) {
  Contained([act] { static_cast<NotificationConsumer*>(const_cast<void*>(act))->CheckLiveness(); });
  return 0;
}

int LivenessTimer::handle_close(ACE_HANDLE, ACE_Reactor_Mask) {
  delete this;
  return 0;
}

}  // namespace kestrel
