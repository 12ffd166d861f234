// The consumer component class: a client receives notifications with it.
//
//   create; QueryInterface(IID_INotificationConsumer);
//   optionally QueryInterface(IID_INotificationFilter), SetConstraint(text);
//   Connect(settings, threadCount); events arrive at the sink that the
//   settings hand out; Disconnect and Connect again as needed; Release.
//
// The object is at once a component object (ComObjectBase, client
// interfaces INotificationConsumer and INotificationFilter), a servant of
// CosNotifyComm::StructuredPushConsumer in the root adapter of the
// "KestrelConsumer" broker, and a ChannelAccess.
//
// Delivery. omniORB dispatches the channel's pushes on its own threads;
// each push hands the event's five values to the sink's OnEvent there and
// answers the channel when OnEvent has returned. OnEvent never runs on a
// client's calling thread, and at most threadCount OnEvent calls of one
// consumer run at once (with 1 they never overlap). An event whose body
// holds no EventData, or that arrives while no sink is held, is dropped.
//
// Selection. A constraint set through INotificationFilter is evaluated on
// every event, on the delivery's own thread and before it waits for its
// turn, so that events left out never hold up the sink; an event that it
// does not select is dropped. Each connection, and each reconnection, also
// attaches it to the proxy as a filter of the service's (ProxyFilter),
// where the service allows. The constraint changes only while no
// connection is wanted, so the two never disagree.
//
// Reconnection. When the channel drops the consumer
// (disconnect_structured_push_consumer), or the liveness check finds the
// proxy gone (a service that crashed says nothing), a ReconnectTimer on the
// runtime's reactor tries to connect again 2 s later and every 2 s until it
// succeeds. Each attempt first offers the consumer to the proxy that it
// already has: a service that keeps its proxies across a restart has it
// still, connected to this consumer, and a second proxy would deliver every
// event twice. Only when that proxy is gone does it obtain a new one, from
// the first service of the channel's list of addresses that has the
// channel (see ChannelAccess). At most one such timer is pending;
// Disconnect and destruction cancel it. The liveness check runs every ConsumerLivenessInterval seconds
// (broker_settings.h) while a connection is wanted and none is being
// remade; an interval of 0 turns it off.
//
// Threads. Connect, Disconnect and destruction are serialised against each
// other and against the reconnection. The sink is exchanged safely against
// deliveries in flight: Disconnect returns only when no delivery still uses
// the sink that it released, except a delivery on the calling thread
// itself (Disconnect or the final Release made from inside OnEvent), whose
// sink is released when that OnEvent returns.

#ifndef KESTREL_CONSUMER_NOTIFICATION_CONSUMER_H_
#define KESTREL_CONSUMER_NOTIFICATION_CONSUMER_H_

#include <COS/CosNotifyChannelAdmin.hh>
#include <COS/CosNotifyComm.hh>

#include <condition_variable>
#include <mutex>
#include <vector>

#include "channel/channel_access.h"
#include "consumer/event_selection.h"
#include "consumer/proxy_filter.h"
#include "kestrel/notification.h"
#include "orb/poa_servant.h"
#include "server/client_interface.h"
#include "server/com_object_base.h"

namespace kestrel {

class NotificationConsumer final
    : public POA_CosNotifyComm::StructuredPushConsumer,
      public PoaServant,
      public ChannelAccess,
      public ComObjectBase,
      public ClientInterface<INotificationConsumer, NotificationConsumer>,
      public ClientInterface<INotificationFilter, NotificationConsumer> {
 public:
  explicit NotificationConsumer(IUnknown* outer);
  // Disconnects, cancels a pending reconnection, deactivates the servant
  // (waiting for requests in flight), stops this object's run threads.
  ~NotificationConsumer() override;

  // Drops any earlier connection and sink, attaches the sink that settings
  // hand out, and connects to the channel that they name. The first Connect
  // that succeeds starts threadCount run threads (0 counts as 1) and fixes
  // the delivery limit; later ones start none. Takes over one reference to
  // settings and releases it before returning, on every path after the
  // null test. Answers:
  //   E_NOTIFY_INVALIDARG  settings is null (nothing happens), or Validate refused
  //   the settings' QueryInterface code when they offer no IChannelSettings
  //   E_NOINTERFACE        the sink is null or offers no INotificationSink
  //   E_FAIL               no root adapter or servant reference, no run threads
  //   the code of the broker start or of the connection to the channel
  // A failed Connect may be repeated.
  HRESULT STDMETHODCALLTYPE Connect(IUnknown* settings, uint32_t threadCount) override;

  // Releases the sink (once no delivery uses it), disconnects the proxy
  // (failures ignored) and drops the channel. Always S_OK; makes no remote
  // call when nothing is connected.
  HRESULT STDMETHODCALLTYPE Disconnect() override;

  // Compiles constraint and makes it the selection of the connections to
  // come; see INotificationFilter for the answers. Serialised with Connect
  // and Disconnect; refused (E_UNEXPECTED) while a connection is wanted and
  // from the consumer's own deliveries, which a Disconnect may be waiting
  // for.
  HRESULT STDMETHODCALLTYPE SetConstraint(const char* constraint) override;

  // Channel upcalls. Events from the channel are read through the type code
  // screen, so a malformed body is refused before omniORB decodes it.
  CORBA::Boolean _dispatch(omniCallHandle& handle) override;
  void push_structured_event(const CosNotification::StructuredEvent& notification) override;
  void disconnect_structured_push_consumer() override;
  void offer_change(const CosNotification::EventTypeSeq& added,
                    const CosNotification::EventTypeSeq& removed) override;

  // One attempt of the reconnection timer of epoch, on a run thread. True
  // when the timer should end: connected again, or no longer wanted.
  bool AttemptReconnection(unsigned epoch);

  // The liveness timer's check, on a run thread: asks the proxy whether it
  // still exists and starts the reconnection when it does not (or cannot
  // be reached, or does not answer in time).
  void CheckLiveness();

  // How many timers this consumer has scheduled so far (for tests: a
  // consumer whose service never comes back must not pile them up).
  size_t scheduledTimerCount();

 protected:
  void* FindClientInterface(const IID& riid) override;
  void FreeObject() override;

 private:
  // The client's sink and the deliveries that use it; freed by whoever
  // lets go of it last.
  struct HeldSink {
    INotificationSink* sink;
    int users;
    // Detached on one of its own delivery threads, which could not wait for
    // itself: the last user frees it. Otherwise the detacher does.
    bool freeByLastUser;
  };

  HRESULT attachSite(IUnknown* settings);
  HRESULT StartBroker();
  HRESULT connectToChannel();
  // Connects the proxy held to this consumer again; S_OK also when it is
  // connected already (to this consumer, the only holder of the proxy).
  // A failure's code when it is gone or cannot be reached.
  HRESULT ResumeProxy();
  // REQUIRES: connectionMutex_ held. Answers the sink to release once the
  // lock is gone (null when none, or when a delivery on this thread will).
  HeldSink* DisconnectLocked();
  HeldSink* DetachSink();
  static void FreeSink(HeldSink* held);
  void StartReconnection();
  void StartLivenessChecks();
  void CancelLeftoverTimers();
  bool OnOwnDeliveryThread() const;

  // Serialises Connect, Disconnect, the reconnection and destruction; held
  // across their calls to the channel, never across a call into the client.
  std::mutex connectionMutex_;

  // Guarded by stateMutex_: whether a connection is wanted (from a
  // successful Connect until Disconnect), the epoch that every Disconnect
  // advances, and the pending reconnection timer. A Disconnect only
  // forgets its timer: the timer sees the new epoch and ends itself, since
  // cancelling a timer from outside could free it under its own upcall.
  // Destruction cancels what is left once the run threads have ended.
  std::mutex stateMutex_;
  bool wantConnected_ = false;
  unsigned epoch_ = 0;
  bool reconnectPending_ = false;
  std::vector<long> scheduledTimers_;

  // Guarded by sinkMutex_: the sink, the deliveries running, their limit.
  std::mutex sinkMutex_;
  std::condition_variable sinkChanged_;
  HeldSink* heldSink_ = nullptr;
  uint32_t activeDeliveries_ = 0;
  uint32_t deliveryLimit_ = 1;

  // Thread-safe on its own; changed only under connectionMutex_ while no
  // connection is wanted, read by every delivery.
  EventSelection selection_;
  // Guarded by connectionMutex_, as proxySupplier is: the filter attached
  // to it at the service.
  ProxyFilter proxyFilter_;

  CosNotifyChannelAdmin::StructuredProxyPushSupplier_var proxySupplier;
  CosNotifyComm::StructuredPushConsumer_var selfReference;
  bool started = false;
};

// The class table's creator.
HRESULT CreateNotificationConsumer(IUnknown* outer, ComObjectBase** out);

}  // namespace kestrel

#endif  // KESTREL_CONSUMER_NOTIFICATION_CONSUMER_H_
