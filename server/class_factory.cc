#include "server/class_factory.h"

#include "kestrel/result_codes.h"
#include "server/com_object_base.h"
#include "server/module_counts.h"

namespace kestrel {

HRESULT STDMETHODCALLTYPE ClassFactory::QueryInterface(const IID& riid, void** out) {
  if (out == nullptr) return E_POINTER;
  if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IClassFactory)) {
    AddRef();
    *out = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE ClassFactory::AddRef() {
  return static_cast<ULONG>(count_.fetch_add(1) + 1);
}

ULONG STDMETHODCALLTYPE ClassFactory::Release() {
  int32_t remaining = count_.fetch_sub(1) - 1;
  if (remaining == 0) delete this;
  return static_cast<ULONG>(remaining);
}

HRESULT STDMETHODCALLTYPE ClassFactory::CreateInstance(IUnknown* outer, const IID& riid,
                                                       void** out) {
  if (outer != nullptr && !IsEqualGUID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
  if (out == nullptr) return E_POINTER;
  ComObjectBase* object = nullptr;
  HRESULT hr = entry_.creator(outer, &object);
  if (FAILED(hr)) return hr;
  hr = object->OnCreated();
  if (FAILED(hr)) {
    object->Release();
    return hr;
  }
  // The object's own query: when aggregated (riid is then IID_IUnknown) the
  // outer object receives the inner identity.
  hr = object->ComObjectBase::QueryInterface(riid, out);
  object->Release();
  return hr;
}

HRESULT STDMETHODCALLTYPE ClassFactory::LockServer(int32_t lock) {
  if (lock != 0) {
    moduleCounts().locks.fetch_add(1);
  } else {
    moduleCounts().locks.fetch_sub(1);
  }
  return S_OK;
}

}  // namespace kestrel
