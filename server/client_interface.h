// A component class's client interface (INotificationSupplier,
// INotificationConsumer) inside the object. Its QueryInterface, AddRef and
// Release are not the object's own: they go unchanged to the controlling
// IUnknown, so that an aggregated object counts and answers as its outer
// object. Object is the component class (CRTP); it derives from
// ComObjectBase.

#ifndef KESTREL_SERVER_CLIENT_INTERFACE_H_
#define KESTREL_SERVER_CLIENT_INTERFACE_H_

#include "kestrel/com.h"

namespace kestrel {

template <class Interface, class Object>
class ClientInterface : public Interface {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(const IID& riid, void** out) final {
    return controlling()->QueryInterface(riid, out);
  }
  ULONG STDMETHODCALLTYPE AddRef() final { return controlling()->AddRef(); }
  ULONG STDMETHODCALLTYPE Release() final { return controlling()->Release(); }

  Interface* clientInterface() { return this; }

 private:
  IUnknown* controlling() { return static_cast<Object*>(this)->controllingUnknown(); }
};

}  // namespace kestrel

#endif  // KESTREL_SERVER_CLIENT_INTERFACE_H_
