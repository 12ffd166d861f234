// The base of every component object: its reference count, its controlling
// IUnknown and its place in the library's object count.
//
// The IUnknown that this base implements is the object's own, non-delegating
// identity. A class adds its client interface through ClientInterface<>
// (client_interface.h), whose IUnknown passes every call to the controlling
// IUnknown: the object itself, or the outer object when it is aggregated.
//
// Virtual slots after IUnknown's three, in order: the destructor,
// OnCreated(), OnFinalRelease(), FindClientInterface(), FreeObject().

#ifndef KESTREL_SERVER_COM_OBJECT_BASE_H_
#define KESTREL_SERVER_COM_OBJECT_BASE_H_

#include <atomic>
#include <cstdint>

#include "kestrel/com.h"
#include "kestrel/result_codes.h"

namespace kestrel {

class ComObjectBase : public IUnknown {
 public:
  // outer: the aggregating object, or null.
  explicit ComObjectBase(IUnknown* outer);
  ComObjectBase(const ComObjectBase&) = delete;
  ComObjectBase& operator=(const ComObjectBase&) = delete;

  // IID_IUnknown answers this identity; the class's client interface answers
  // through FindClientInterface; everything else is E_NOINTERFACE.
  HRESULT STDMETHODCALLTYPE QueryInterface(const IID& riid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  // The thread whose decrement reaches zero destroys the object.
  ULONG STDMETHODCALLTYPE Release() override;

  virtual ~ComObjectBase();
  // Called once by the class factory right after creation.
  virtual HRESULT OnCreated();
  // Called just before destruction: the count stands at 1 from here on, so
  // AddRef/Release pairs made while the object is torn down cannot destroy
  // it a second time.
  virtual void OnFinalRelease();

  IUnknown* controllingUnknown() const { return controlling_; }

 protected:
  // The class's client interface for riid, or null. No reference is taken.
  virtual void* FindClientInterface(const IID& riid);

  // Frees the object after the final Release. A class whose final Release
  // may come from inside a request that it is serving overrides this to
  // free the object once that request has ended.
  virtual void FreeObject();

 private:
  std::atomic<int32_t> count_{1};
  IUnknown* const controlling_;
};

}  // namespace kestrel

#endif  // KESTREL_SERVER_COM_OBJECT_BASE_H_
