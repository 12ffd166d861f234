#include "consumer/notification_consumer.h"

#include <new>

namespace kestrel {

NotificationConsumer::NotificationConsumer(IUnknown* outer) : ComObjectBase(outer) {}

NotificationConsumer::~NotificationConsumer() = default;

void* NotificationConsumer::FindClientInterface(const IID& riid) {
  return IsEqualGUID(riid, IID_INotificationConsumer) ? clientInterface() : nullptr;
}

HRESULT NotificationConsumer::Connect(IUnknown*, uint32_t) { return E_NOTIMPL; }

HRESULT NotificationConsumer::Disconnect() { return E_NOTIMPL; }

HRESULT CreateNotificationConsumer(IUnknown* outer, ComObjectBase** out) {
  NotificationConsumer* object = new (std::nothrow) NotificationConsumer(outer);
  if (object == nullptr) return E_OUTOFMEMORY;
  *out = object;
  return S_OK;
}

}  // namespace kestrel
