#include "supplier/notification_supplier.h"

#include <ace/INET_Addr.h>

#include <new>

#include "orb/corba_result.h"
#include "orb/library_use.h"

namespace kestrel {

namespace {

constexpr char kSupplierOrbId[] = "KestrelSupplier";

// The local host name, as a default (unset) address resolves it. 256
// bytes hold any DNS name; MAXHOSTNAMELEN is not defined everywhere.
std::string LocalHostName() {
  char name[256] = {0};
  ACE_INET_Addr local;
  if (local.get_host_name(name, sizeof name) != 0) return std::string();
  name[sizeof name - 1] = '\0';
  return name;
}

}  // namespace

NotificationSupplier::NotificationSupplier(IUnknown* outer) : ComObjectBase(outer) {
  AcquireAceLibrary();
}

NotificationSupplier::~NotificationSupplier() {
  if (!CORBA::is_nil(proxyConsumer)) {
    try {
      proxyConsumer->disconnect_structured_push_consumer();
    } catch (const CORBA::Exception&) {
      // The channel may be gone already; the object goes anyway.
    }
    proxyConsumer = CosNotifyChannelAdmin::StructuredProxyPushConsumer::_nil();
  }
  selfReference = CosNotifyComm::StructuredPushSupplier::_nil();
  Deactivate();
  // The channel reference and the broker go here, before the object count
  // drops with the base: once it says no object lives, no library code
  // may still run.
  ReleaseChannel();
  runtime().Destroy();
  ReleaseAceLibrary();
}

void* NotificationSupplier::FindClientInterface(const IID& riid) {
  return IsEqualGUID(riid, IID_INotificationSupplier) ? clientInterface() : nullptr;
}

HRESULT STDMETHODCALLTYPE NotificationSupplier::Initialize(IUnknown* settings,
                                                           const char* moduleName) {
  if (settings == nullptr) return E_NOTIFY_INVALIDARG;
  if (initialized_) {
    settings->Release();
    return E_UNEXPECTED;
  }
  IChannelSettings* channelSettings = nullptr;
  HRESULT hr = QueryChannelSettings(settings, &channelSettings);
  if (FAILED(hr)) {
    settings->Release();
    return hr;
  }
  hr = BuildChannelAddress(channelSettings);
  channelSettings->Release();
  settings->Release();
  if (FAILED(hr)) return hr;

  hr = PrepareBroker(kSupplierOrbId);
  if (FAILED(hr)) return hr;
  hr = ActivateServant();
  if (FAILED(hr)) return hr;
  runtime().ActivatePoaManager();
  hr = connectToChannel();
  if (FAILED(hr)) return hr;
  FillEventTemplate(moduleName);
  initialized_ = true;
  return S_OK;
}

HRESULT NotificationSupplier::ActivateServant() {
  CORBA::Object_var reference;
  HRESULT hr = ActivateInRootPoa(runtime(), reference);
  if (FAILED(hr)) return hr;
  return Guarded([&] {
    selfReference = CosNotifyComm::StructuredPushSupplier::_narrow(reference);
    return CORBA::is_nil(selfReference) ? E_FAIL : S_OK;
  });
}

HRESULT NotificationSupplier::connectToChannel() {
  HRESULT hr = ResolveChannel();
  if (FAILED(hr)) return hr;
  return connectNewProxy();
}

HRESULT NotificationSupplier::connectNewProxy() {
  HRESULT hr = ObtainProxyPushConsumer(proxyConsumer);
  if (FAILED(hr)) return hr;
  proxyAddress_ = channelAddress();
  return Guarded([this] {
    proxyConsumer->connect_structured_push_supplier(selfReference);
    return S_OK;
  });
}

HRESULT NotificationSupplier::offerProxy() {
  return Guarded([this] {
    try {
      proxyConsumer->connect_structured_push_supplier(selfReference);
    } catch (const CosEventChannelAdmin::AlreadyConnected&) {
      // Connected still, and to this supplier: nobody else holds the proxy.
    }
    return S_OK;
  });
}

HRESULT NotificationSupplier::reconnect() {
  HRESULT hr = offerProxy();
  if (SUCCEEDED(hr)) return hr;
  // Any other answer of the proxy's service says that the proxy is there.
  // One out of reach is left behind only for another service of the
  // channel's: with one address, the channel is at the service that did
  // not answer, and asking it once more would only wait again.
  const bool proxyGone = hr == E_CORBA_OBJECT_NOT_EXIST;
  if (!proxyGone && !(IsOutOfReach(hr) && listsSeveralAddresses())) return hr;
  // When no address answers, the proxy is kept for the next attempt.
  hr = ResolveChannel();
  if (FAILED(hr)) return hr;
  if (!proxyGone && channelAddress() == proxyAddress_) {
    // The proxy's service answers again: it came back since the offer, and
    // may have kept the proxy.
    hr = offerProxy();
    if (SUCCEEDED(hr) || (hr != E_CORBA_OBJECT_NOT_EXIST && !IsOutOfReach(hr))) return hr;
  }
  return connectNewProxy();
}

void NotificationSupplier::FillEventTemplate(const char* moduleName) {
  SetRecordText(record.mHost, LocalHostName().c_str());
  SetRecordText(record.mModule, moduleName);
  CosNotification::FixedEventHeader& fixed = eventTemplate.header.fixed_header;
  fixed.event_name = static_cast<const char*>("SystemEvent");
  fixed.event_type.domain_name = static_cast<const char*>("TNW");
  fixed.event_type.type_name = static_cast<const char*>("Event");
  eventTemplate.header.variable_header.length(0);
  eventTemplate.filterable_data.length(0);
}

HRESULT STDMETHODCALLTYPE NotificationSupplier::Publish(uint32_t severity, uint32_t messageCode,
                                                        const char* description) {
  if (!initialized_ || CORBA::is_nil(proxyConsumer)) return E_NOTIFY_INVALIDARG;
  record.mSeverity = severity;
  record.mMessageCode = messageCode;
  SetRecordText(record.mDescription, description);
  InsertRecord(eventTemplate.remainder_of_body, record);
  try {
    proxyConsumer->push_structured_event(eventTemplate);
    return S_OK;
  } catch (const CORBA::Exception&) {
    // The proxy or the channel has gone; one reconnection, one more push.
  }
  if (FAILED(reconnect()) || CORBA::is_nil(proxyConsumer)) return E_FAIL;
  return Guarded([this] {
    proxyConsumer->push_structured_event(eventTemplate);
    return S_OK;
  });
}

void NotificationSupplier::subscription_change(const CosNotification::EventTypeSeq&,
                                               const CosNotification::EventTypeSeq&) {}

void NotificationSupplier::disconnect_structured_push_supplier() {}

HRESULT CreateNotificationSupplier(IUnknown* outer, ComObjectBase** out) {
  NotificationSupplier* object = new (std::nothrow) NotificationSupplier(outer);
  if (object == nullptr) return E_OUTOFMEMORY;
  *out = object;
  return S_OK;
}

}  // namespace kestrel
