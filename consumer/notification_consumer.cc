#include "consumer/notification_consumer.h"

#include <ace/Reactor.h>

#include <new>

#include "channel/event_record.h"
#include "channel/screened_dispatch.h"
#include "consumer/liveness_timer.h"
#include "consumer/reconnect_timer.h"
#include "orb/corba_result.h"
#include "orb/library_use.h"

namespace kestrel {

namespace {

constexpr char kConsumerOrbId[] = "KestrelConsumer";

// The consumer whose OnEvent this thread is running, if any.
thread_local const NotificationConsumer* deliveringConsumer = nullptr;

}  // namespace

NotificationConsumer::NotificationConsumer(IUnknown* outer) : ComObjectBase(outer) {
  AcquireAceLibrary();
}

NotificationConsumer::~NotificationConsumer() {
  HeldSink* held = nullptr;
  {
    std::lock_guard<std::mutex> lock(connectionMutex_);
    held = DisconnectLocked();
  }
  FreeSink(held);
  Deactivate();
  if (started) runtime().Stop();
  CancelLeftoverTimers();
  selfReference = CosNotifyComm::StructuredPushConsumer::_nil();
  // The broker goes here, before the object count drops with the base:
  // once the count says no object lives, no library code may still run.
  runtime().Destroy();
  ReleaseAceLibrary();
}

void* NotificationConsumer::FindClientInterface(const IID& riid) {
  if (IsEqualGUID(riid, IID_INotificationConsumer)) return static_cast<INotificationConsumer*>(this);
  if (IsEqualGUID(riid, IID_INotificationFilter)) return static_cast<INotificationFilter*>(this);
  return nullptr;
}

void NotificationConsumer::FreeObject() {
  if (!OnOwnDeliveryThread()) {
    delete this;
    return;
  }
  // The final Release came from inside OnEvent: the request that runs it
  // still uses this object. Detach now; free once the request has ended.
  HeldSink* held = nullptr;
  {
    std::lock_guard<std::mutex> lock(connectionMutex_);
    held = DisconnectLocked();
  }
  FreeSink(held);
  // Without an adapter to wait for, the object is left alive rather than
  // freed under the running request.
  DeactivateAndDeleteLater();
}

bool NotificationConsumer::OnOwnDeliveryThread() const { return deliveringConsumer == this; }

HRESULT STDMETHODCALLTYPE NotificationConsumer::Connect(IUnknown* settings, uint32_t threadCount) {
  if (settings == nullptr) return E_NOTIFY_INVALIDARG;
  HeldSink* previous = nullptr;
  {
    std::lock_guard<std::mutex> lock(connectionMutex_);
    previous = DisconnectLocked();
  }
  FreeSink(previous);

  HRESULT hr = attachSite(settings);
  if (FAILED(hr)) return hr;

  std::lock_guard<std::mutex> lock(connectionMutex_);
  if (!started) {
    hr = StartBroker();
    if (FAILED(hr)) return hr;
    std::lock_guard<std::mutex> sinkLock(sinkMutex_);
    deliveryLimit_ = threadCount == 0 ? 1 : threadCount;
  }
  hr = connectToChannel();
  if (FAILED(hr)) return hr;
  if (!started) {
    hr = runtime().SpawnRunThreads(deliveryLimit_);
    if (FAILED(hr)) return hr;
    started = true;
    StartLivenessChecks();
  }
  std::lock_guard<std::mutex> stateLock(stateMutex_);
  wantConnected_ = true;
  return S_OK;
}

HRESULT NotificationConsumer::attachSite(IUnknown* settings) {
  IChannelSettings* channelSettings = nullptr;
  HRESULT hr = QueryChannelSettings(settings, &channelSettings);
  if (FAILED(hr)) {
    settings->Release();
    return hr;
  }
  hr = BuildChannelAddress(channelSettings);
  if (FAILED(hr)) {
    channelSettings->Release();
    settings->Release();
    return hr;
  }
  IUnknown* sinkObject = nullptr;
  channelSettings->GetSink(&sinkObject);
  INotificationSink* sink = nullptr;
  hr = E_NOINTERFACE;
  if (sinkObject != nullptr) {
    hr = sinkObject->QueryInterface(IID_INotificationSink, reinterpret_cast<void**>(&sink));
    sinkObject->Release();
  }
  channelSettings->Release();
  settings->Release();
  if (FAILED(hr) || sink == nullptr) {
    if (sink != nullptr) sink->Release();
    return FAILED(hr) ? hr : E_NOINTERFACE;
  }
  std::lock_guard<std::mutex> lock(sinkMutex_);
  heldSink_ = new HeldSink{sink, 0, false};
  return S_OK;
}

HRESULT NotificationConsumer::StartBroker() {
  HRESULT hr = PrepareBroker(kConsumerOrbId);
  if (FAILED(hr)) return hr;
  if (CORBA::is_nil(selfReference)) {
    CORBA::Object_var reference;
    hr = ActivateInRootPoa(runtime(), reference);
    if (FAILED(hr)) return hr;
    hr = Guarded([&] {
      selfReference = CosNotifyComm::StructuredPushConsumer::_narrow(reference);
      return CORBA::is_nil(selfReference) ? E_FAIL : S_OK;
    });
    if (FAILED(hr)) return hr;
  }
  runtime().ActivatePoaManager();
  return S_OK;
}

HRESULT NotificationConsumer::connectToChannel() {
  HRESULT hr = ResolveChannel();
  if (FAILED(hr)) return hr;
  hr = ObtainProxyPushSupplier(proxySupplier);
  if (FAILED(hr)) return hr;
  // Before the proxy connects, so that a service with filters sends nothing
  // unselected. Without the service's filter, the selection is made here.
  proxyFilter_.Attach(*this, proxySupplier, selection_.constraint().get());
  return Guarded([this] {
    proxySupplier->connect_structured_push_consumer(selfReference);
    return S_OK;
  });
}

HRESULT NotificationConsumer::ResumeProxy() {
  if (CORBA::is_nil(proxySupplier)) return E_FAIL;
  return Guarded([this] {
    try {
      proxySupplier->connect_structured_push_consumer(selfReference);
    } catch (const CosEventChannelAdmin::AlreadyConnected&) {
      // Connected still, and to this consumer: nobody else holds the proxy.
    }
    return S_OK;
  });
}

HRESULT STDMETHODCALLTYPE NotificationConsumer::SetConstraint(const char* constraint) {
  if (OnOwnDeliveryThread()) return E_UNEXPECTED;
  std::lock_guard<std::mutex> lock(connectionMutex_);
  {
    std::lock_guard<std::mutex> stateLock(stateMutex_);
    if (wantConnected_) return E_UNEXPECTED;
  }
  return selection_.Set(constraint);
}

HRESULT STDMETHODCALLTYPE NotificationConsumer::Disconnect() {
  HeldSink* held = nullptr;
  {
    std::lock_guard<std::mutex> lock(connectionMutex_);
    held = DisconnectLocked();
  }
  FreeSink(held);
  return S_OK;
}

NotificationConsumer::HeldSink* NotificationConsumer::DisconnectLocked() {
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    wantConnected_ = false;
    reconnectPending_ = false;
    ++epoch_;
  }
  HeldSink* held = DetachSink();
  if (!CORBA::is_nil(proxySupplier)) {
    try {
      proxySupplier->disconnect_structured_push_supplier();
    } catch (const CORBA::Exception&) {
      // The proxy or the channel is gone already.
    }
    proxySupplier = CosNotifyChannelAdmin::StructuredProxyPushSupplier::_nil();
  }
  proxyFilter_.Destroy();
  ReleaseChannel();
  return held;
}

NotificationConsumer::HeldSink* NotificationConsumer::DetachSink() {
  std::unique_lock<std::mutex> lock(sinkMutex_);
  HeldSink* held = heldSink_;
  heldSink_ = nullptr;
  if (held == nullptr) return nullptr;
  if (OnOwnDeliveryThread()) {
    held->freeByLastUser = true;
    return nullptr;
  }
  sinkChanged_.wait(lock, [held] { return held->users == 0; });
  return held;
}

void NotificationConsumer::FreeSink(HeldSink* held) {
  if (held == nullptr) return;
  held->sink->Release();
  delete held;
}

CORBA::Boolean NotificationConsumer::_dispatch(omniCallHandle& handle) {
  return DispatchScreenedPush(this, handle) ||
         POA_CosNotifyComm::StructuredPushConsumer::_dispatch(handle);
}

void NotificationConsumer::push_structured_event(const CosNotification::StructuredEvent& notification) {
  const Kestrel::EventData* record = ExtractRecord(notification.remainder_of_body);
  if (record == nullptr || !selection_.Selects(notification)) return;
  HeldSink* held = nullptr;
  {
    std::unique_lock<std::mutex> lock(sinkMutex_);
    sinkChanged_.wait(lock, [this] { return activeDeliveries_ < deliveryLimit_; });
    held = heldSink_;
    if (held == nullptr) return;
    ++held->users;
    ++activeDeliveries_;
  }
  const NotificationConsumer* outer = deliveringConsumer;
  deliveringConsumer = this;
  // A sink that raises must not leave this delivery counted for ever: the
  // consumer's later deliveries would wait for it.
  Contained([&] {
    held->sink->OnEvent(record->mModule.in(), record->mHost.in(), record->mSeverity,
                        record->mMessageCode, record->mDescription.in());
  });
  deliveringConsumer = outer;
  bool lastUserOfReleasedSink = false;
  {
    std::lock_guard<std::mutex> lock(sinkMutex_);
    --activeDeliveries_;
    lastUserOfReleasedSink = --held->users == 0 && held->freeByLastUser;
    sinkChanged_.notify_all();
  }
  if (lastUserOfReleasedSink) FreeSink(held);
}

void NotificationConsumer::disconnect_structured_push_consumer() { StartReconnection(); }

void NotificationConsumer::StartReconnection() {
  std::lock_guard<std::mutex> lock(stateMutex_);
  ACE_Reactor* reactor = runtime().reactor();
  if (!wantConnected_ || reconnectPending_ || reactor == nullptr) return;
  auto* timer = new (std::nothrow) ReconnectTimer(epoch_);
  if (timer == nullptr) return;
  long id = reactor->schedule_timer(timer, this, RECONNECT_INTERVAL, RECONNECT_INTERVAL);
  if (id == -1) {
    delete timer;
    return;
  }
  scheduledTimers_.push_back(id);
  reconnectPending_ = true;
}

bool NotificationConsumer::AttemptReconnection(unsigned epoch) {
  // A client's Connect or Disconnect is under way: try again next time.
  std::unique_lock<std::mutex> connection(connectionMutex_, std::try_to_lock);
  if (!connection.owns_lock()) return false;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (epoch != epoch_ || !wantConnected_) return true;
  }
  // After a restart the process may still hold several connections to
  // the old service; each one fails a first call with COMM_FAILURE once.
  // Trying again at once uses them up instead of one per 2 s attempt.
  HRESULT hr = ResumeProxy();
  for (int retry = 0; hr == E_CORBA_COMM_FAILURE && retry < 3; ++retry) hr = ResumeProxy();
  if (SUCCEEDED(hr)) {
    proxyFilter_.Confirm(*this, proxySupplier, selection_.constraint().get());
  } else {
    hr = connectToChannel();
  }
  for (int retry = 0; hr == E_CORBA_COMM_FAILURE && retry < 3; ++retry) hr = connectToChannel();
  if (FAILED(hr)) return false;
  std::lock_guard<std::mutex> lock(stateMutex_);
  reconnectPending_ = false;
  return true;
}

void NotificationConsumer::StartLivenessChecks() {
  uint32_t seconds = brokerSettings().consumerLivenessIntervalSeconds;
  ACE_Reactor* reactor = runtime().reactor();
  if (seconds == 0 || reactor == nullptr) return;
  auto* timer = new (std::nothrow) LivenessTimer;
  if (timer == nullptr) return;
  ACE_Time_Value interval(static_cast<time_t>(seconds), 0);
  long id = reactor->schedule_timer(timer, this, interval, interval);
  if (id == -1) {
    delete timer;
    return;
  }
  std::lock_guard<std::mutex> lock(stateMutex_);
  scheduledTimers_.push_back(id);
}

void NotificationConsumer::CheckLiveness() {
  std::unique_lock<std::mutex> connection(connectionMutex_, std::try_to_lock);
  if (!connection.owns_lock()) return;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (!wantConnected_ || reconnectPending_) return;
  }
  bool gone = CORBA::is_nil(proxySupplier);
  if (!gone) {
    try {
      gone = proxySupplier->_non_existent();
    } catch (const CORBA::OBJECT_NOT_EXIST&) {
      gone = true;
    } catch (const CORBA::COMM_FAILURE&) {
      gone = true;
    } catch (const CORBA::TRANSIENT&) {
      gone = true;
    } catch (const CORBA::TIMEOUT&) {
      gone = true;
    } catch (const CORBA::Exception&) {
      // Any other answer is no proof that the proxy is gone.
    }
  }
  if (gone) StartReconnection();
}

size_t NotificationConsumer::scheduledTimerCount() {
  std::lock_guard<std::mutex> lock(stateMutex_);
  return scheduledTimers_.size();
}

void NotificationConsumer::CancelLeftoverTimers() {
  ACE_Reactor* reactor = runtime().reactor();
  std::vector<long> timers;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    timers.swap(scheduledTimers_);
  }
  if (reactor == nullptr) return;
  // No run thread is left to dispatch them, so each handler is freed here
  // (by handle_close) or was freed when its timer ended.
  for (long id : timers) reactor->cancel_timer(id, nullptr, 0);
}

void NotificationConsumer::offer_change(const CosNotification::EventTypeSeq&,
                                        const CosNotification::EventTypeSeq&) {}

HRESULT CreateNotificationConsumer(IUnknown* outer, ComObjectBase** out) {
  NotificationConsumer* object = new (std::nothrow) NotificationConsumer(outer);
  if (object == nullptr) return E_OUTOFMEMORY;
  *out = object;
  return S_OK;
}

}  // namespace kestrel
