// The consumer component class: a client receives notifications with it.
//
// The object is a component object (ComObjectBase) whose client interface is
// INotificationConsumer. Connect and Disconnect are built on the broker
// runtime and the channel access; until then they answer E_NOTIMPL.

#ifndef KESTREL_CONSUMER_NOTIFICATION_CONSUMER_H_
#define KESTREL_CONSUMER_NOTIFICATION_CONSUMER_H_

#include "kestrel/notification.h"
#include "server/client_interface.h"
#include "server/com_object_base.h"

namespace kestrel {

class NotificationConsumer final
    : public ComObjectBase,
      public ClientInterface<INotificationConsumer, NotificationConsumer> {
 public:
  explicit NotificationConsumer(IUnknown* outer);
  ~NotificationConsumer() override;

  HRESULT Connect(IUnknown* settings, uint32_t threadCount) override;
  HRESULT Disconnect() override;

 protected:
  void* FindClientInterface(const IID& riid) override;
};

// The class table's creator.
HRESULT CreateNotificationConsumer(IUnknown* outer, ComObjectBase** out);

}  // namespace kestrel

#endif  // KESTREL_CONSUMER_NOTIFICATION_CONSUMER_H_
