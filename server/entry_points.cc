// The library's four exported entry points. Nothing else is exported (see
// exports.map), and no exception leaves them.

#include <new>
#include <string>

#include "kestrel/server.h"
#include "kestrel/result_codes.h"
#include "orb/corba_result.h"
#include "orb/poa_servant.h"
#include "platform/module_path.h"
#include "server/class_factory.h"
#include "server/class_table.h"
#include "server/module_counts.h"
#include "server/registration.h"

#define KESTREL_EXPORT extern "C" __attribute__((visibility("default")))

KESTREL_EXPORT HRESULT STDAPICALLTYPE DllGetClassObject(const CLSID& clsid, const IID& riid,
                                                        void** out) {
  if (!IsEqualGUID(riid, IID_IUnknown) && !IsEqualGUID(riid, IID_IClassFactory)) {
    return E_NOINTERFACE;
  }
  const kestrel::ClassEntry* entry = kestrel::FindClass(clsid);
  if (entry == nullptr) return CLASS_E_CLASSNOTAVAILABLE;
  if (out == nullptr) return E_POINTER;
  *out = static_cast<IClassFactory*>(new (std::nothrow) kestrel::ClassFactory(*entry));
  return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

KESTREL_EXPORT HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  const kestrel::ModuleCounts& counts = kestrel::moduleCounts();
  if (counts.objects.load() != 0 || counts.locks.load() > 0) return S_FALSE;
  bool idle = false;
  kestrel::Contained([&idle] { idle = kestrel::NoDeletionRunning(); });
  return idle ? S_OK : S_FALSE;
}

// Registration does all it can, and answers SELFREG_E_CLASS unless every
// key of every class was written (or, unregistering, is gone): a registry
// that cannot be written, or a key that another program holds, is a
// failure that the registration tool must show. A path that cannot be told
// writes nothing, since it would send clients to the wrong file.
KESTREL_EXPORT HRESULT STDAPICALLTYPE DllRegisterServer() {
  try {
    const std::string path = kestrel::ThisModulePath();
    if (path.empty()) return SELFREG_E_CLASS;
    return kestrel::RegisterAllClasses(path) ? S_OK : SELFREG_E_CLASS;
  } catch (...) {
    return SELFREG_E_CLASS;  // out of memory, part written at most
  }
}

KESTREL_EXPORT HRESULT STDAPICALLTYPE DllUnregisterServer() {
  try {
    return kestrel::UnregisterAllClasses() ? S_OK : SELFREG_E_CLASS;
  } catch (...) {
    return SELFREG_E_CLASS;
  }
}
