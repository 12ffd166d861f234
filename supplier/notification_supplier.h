// The supplier component class: a client publishes notifications with it.
//
//   create; QueryInterface(IID_INotificationSupplier); Initialize once;
//   Publish any number of times; Release.
//
// The object is at once a component object (ComObjectBase, client interface
// INotificationSupplier), a servant of CosNotifyComm::StructuredPushSupplier
// in the root adapter of the "KestrelSupplier" broker, and a ChannelAccess.
// Every Publish sends one structured event (domain "TNW", type "Event",
// name "SystemEvent", an EventData body) on the caller's thread; when the
// push fails the object connects to the channel once more and pushes again.
//
// Calls on one object must not overlap: a client that shares one object
// between threads serialises its calls. Different objects are independent.

#ifndef KESTREL_SUPPLIER_NOTIFICATION_SUPPLIER_H_
#define KESTREL_SUPPLIER_NOTIFICATION_SUPPLIER_H_

#include <COS/CosNotifyChannelAdmin.hh>
#include <COS/CosNotifyComm.hh>

#include "channel/channel_access.h"
#include "channel/event_record.h"
#include "kestrel/notification.h"
#include "orb/poa_servant.h"
#include "server/client_interface.h"
#include "server/com_object_base.h"

namespace kestrel {

class NotificationSupplier final
    : public POA_CosNotifyComm::StructuredPushSupplier,
      public PoaServant,
      public ChannelAccess,
      public ComObjectBase,
      public ClientInterface<INotificationSupplier, NotificationSupplier> {
 public:
  explicit NotificationSupplier(IUnknown* outer);
  // Disconnects from the channel (failures ignored) and deactivates the
  // servant, waiting until no request runs in it.
  ~NotificationSupplier() override;

  // Takes over one reference to settings and releases it before returning,
  // on every path after the null test. Answers:
  //   E_NOTIFY_INVALIDARG  settings is null, or its Validate() refused
  //   the settings' QueryInterface code when it offers no IChannelSettings
  //   E_UNEXPECTED         the object is initialised already (nothing changes;
  //                        it goes on publishing where it did)
  //   E_FAIL               no root adapter, or no reference for the servant
  //   the code of the broker start or of the connection to the channel
  // After a failure the call may be repeated; what was done stays done (the
  // servant is activated once).
  HRESULT STDMETHODCALLTYPE Initialize(IUnknown* settings, const char* moduleName) override;

  // Sends one notification. A null description travels as the empty string.
  // When the push fails, reconnects once (see reconnect) and pushes again.
  // Answers S_OK; E_NOTIFY_INVALIDARG before a successful Initialize or when
  // a failed reconnection left no proxy (nothing is sent); E_FAIL when the
  // push failed and so did the reconnection; else the code of the second
  // push's failure.
  HRESULT STDMETHODCALLTYPE Publish(uint32_t severity, uint32_t messageCode,
                                    const char* description) override;

  // Upcalls from the channel; neither changes anything. After a disconnect
  // the next Publish finds out and reconnects.
  void subscription_change(const CosNotification::EventTypeSeq& added,
                           const CosNotification::EventTypeSeq& removed) override;
  void disconnect_structured_push_supplier() override;

 protected:
  void* FindClientInterface(const IID& riid) override;

 private:
  HRESULT ActivateServant();
  HRESULT connectToChannel();
  // The reconnection of Publish: the proxy held is offered this supplier
  // again and kept when the channel still has it (a service that keeps its
  // proxies across a restart); only when it is gone is a new one obtained,
  // so that no proxy is left behind connected to nobody who uses it.
  HRESULT reconnect();
  void FillEventTemplate(const char* moduleName);

  CosNotifyChannelAdmin::StructuredProxyPushConsumer_var proxyConsumer;
  CosNotifyComm::StructuredPushSupplier_var selfReference;
  CosNotification::StructuredEvent eventTemplate;
  Kestrel::EventData record;
  bool initialized_ = false;
};

// The class table's creator.
HRESULT CreateNotificationSupplier(IUnknown* outer, ComObjectBase** out);

}  // namespace kestrel

#endif  // KESTREL_SUPPLIER_NOTIFICATION_SUPPLIER_H_
