#include "consumer/reconnect_timer.h"

#include "consumer/notification_consumer.h"
#include "orb/corba_result.h"

namespace kestrel {

const ACE_Time_Value RECONNECT_INTERVAL(2, 0);

int ReconnectTimer::handle_timeout(const ACE_Time_Value&, const void* act) {
  auto* consumer = static_cast<NotificationConsumer*>(const_cast<void*>(act));
  bool done = false;
  Contained([&] { done = consumer->AttemptReconnection(epoch_); });
  return done ? -1 : 0;
}

int ReconnectTimer::handle_close(ACE_HANDLE, ACE_Reactor_Mask) {
  delete this;
  return 0;
}

}  // namespace kestrel
