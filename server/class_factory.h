// The class factory that DllGetClassObject hands out: one new factory per
// call, for one row of the class table. A factory counts neither as an object
// nor as a lock.

#ifndef KESTREL_SERVER_CLASS_FACTORY_H_
#define KESTREL_SERVER_CLASS_FACTORY_H_

#include <atomic>
#include <cstdint>

#include "kestrel/com.h"
#include "server/class_table.h"

namespace kestrel {

class ClassFactory final : public IClassFactory {
 public:
  explicit ClassFactory(const ClassEntry& entry) : entry_(entry) {}
  ClassFactory(const ClassFactory&) = delete;
  ClassFactory& operator=(const ClassFactory&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(const IID& riid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, const IID& riid, void** out) override;
  HRESULT STDMETHODCALLTYPE LockServer(int32_t lock) override;

 private:
  ~ClassFactory() = default;

  std::atomic<int32_t> count_{1};
  const ClassEntry& entry_;
};

}  // namespace kestrel

#endif  // KESTREL_SERVER_CLASS_FACTORY_H_
