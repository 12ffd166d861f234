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

#include <string>

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
  // push's failure. With a service down or hung, one call may take several
  // call timeouts (CallTimeout): the push's, the offer's to the proxy, and
  // when the channel lists several addresses, one per address before the
  // first that answers.
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
  // Obtains a new proxy from the channel held and connects this supplier
  // to it.
  HRESULT connectNewProxy();
  // Offers this supplier to the proxy held; a proxy connected already (to
  // this supplier: nobody else holds it) counts as success.
  HRESULT offerProxy();
  // The reconnection of Publish: the proxy held is offered this supplier
  // again and kept when the channel still has it (a service that keeps its
  // proxies across a restart), so that no proxy is left behind connected to
  // nobody who uses it. A new one is obtained when it is gone, or, for a
  // channel that lists several addresses, when its service cannot be
  // reached but the channel can, at the first of its addresses that
  // answers: another service of the list, or the same one back again,
  // which is offered the proxy once more before.
  HRESULT reconnect();
  void FillEventTemplate(const char* moduleName);

  CosNotifyChannelAdmin::StructuredProxyPushConsumer_var proxyConsumer;
  // The address of the channel that proxyConsumer came from (one of the
  // list, see ChannelAccess::channelAddress).
  std::string proxyAddress_;
  CosNotifyComm::StructuredPushSupplier_var selfReference;
  CosNotification::StructuredEvent eventTemplate;
  Kestrel::EventData record;
  bool initialized_ = false;
};

// The class table's creator.
HRESULT CreateNotificationSupplier(IUnknown* outer, ComObjectBase** out);

}  // namespace kestrel

#endif  // KESTREL_SUPPLIER_NOTIFICATION_SUPPLIER_H_
