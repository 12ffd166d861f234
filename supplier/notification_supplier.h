// The supplier component class: a client publishes notifications with it.
//
// The object is a component object (ComObjectBase) whose client interface is
// INotificationSupplier. Initialize and Publish are built on the broker
// runtime and the channel access; until then they answer E_NOTIMPL.

#ifndef KESTREL_SUPPLIER_NOTIFICATION_SUPPLIER_H_
#define KESTREL_SUPPLIER_NOTIFICATION_SUPPLIER_H_

#include "kestrel/notification.h"
#include "server/client_interface.h"
#include "server/com_object_base.h"

namespace kestrel {

class NotificationSupplier final
    : public ComObjectBase,
      public ClientInterface<INotificationSupplier, NotificationSupplier> {
 public:
  explicit NotificationSupplier(IUnknown* outer);
  ~NotificationSupplier() override;

  HRESULT Initialize(IUnknown* settings, const char* moduleName) override;
  HRESULT Publish(uint32_t severity, uint32_t messageCode, const char* description) override;

 protected:
  void* FindClientInterface(const IID& riid) override;
};

// The class table's creator.
HRESULT CreateNotificationSupplier(IUnknown* outer, ComObjectBase** out);

}  // namespace kestrel

#endif  // KESTREL_SUPPLIER_NOTIFICATION_SUPPLIER_H_
