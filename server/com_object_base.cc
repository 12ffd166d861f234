#include "server/com_object_base.h"

#include "server/module_counts.h"

namespace kestrel {

ComObjectBase::ComObjectBase(IUnknown* outer)
    : controlling_(outer != nullptr ? outer : this) {
  moduleCounts().objects.fetch_add(1);
}

ComObjectBase::~ComObjectBase() { moduleCounts().objects.fetch_sub(1); }

HRESULT STDMETHODCALLTYPE ComObjectBase::QueryInterface(const IID& riid, void** out) {
  if (out == nullptr) return E_POINTER;
  if (IsEqualGUID(riid, IID_IUnknown)) {
    *out = static_cast<IUnknown*>(this);
    AddRef();
    return S_OK;
  }
  if (void* client = FindClientInterface(riid)) {
    *out = client;
    controlling_->AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE ComObjectBase::AddRef() {
  return static_cast<ULONG>(count_.fetch_add(1) + 1);
}

ULONG STDMETHODCALLTYPE ComObjectBase::Release() {
  int32_t remaining = count_.fetch_sub(1) - 1;
  if (remaining != 0) return static_cast<ULONG>(remaining);
  OnFinalRelease();
  FreeObject();
  return 0;
}

HRESULT ComObjectBase::OnCreated() { return S_OK; }

void ComObjectBase::OnFinalRelease() { count_.store(1); }

void* ComObjectBase::FindClientInterface(const IID&) { return nullptr; }

void ComObjectBase::FreeObject() { delete this; }

}  // namespace kestrel
