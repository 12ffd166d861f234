#include "supplier/notification_supplier.h"

#include <new>

namespace kestrel {

NotificationSupplier::NotificationSupplier(IUnknown* outer) : ComObjectBase(outer) {}

NotificationSupplier::~NotificationSupplier() = default;

void* NotificationSupplier::FindClientInterface(const IID& riid) {
  return IsEqualGUID(riid, IID_INotificationSupplier) ? clientInterface() : nullptr;
}

HRESULT NotificationSupplier::Initialize(IUnknown*, const char*) { return E_NOTIMPL; }

HRESULT NotificationSupplier::Publish(uint32_t, uint32_t, const char*) { return E_NOTIMPL; }

HRESULT CreateNotificationSupplier(IUnknown* outer, ComObjectBase** out) {
  NotificationSupplier* object = new (std::nothrow) NotificationSupplier(outer);
  if (object == nullptr) return E_OUTOFMEMORY;
  *out = object;
  return S_OK;
}

}  // namespace kestrel
