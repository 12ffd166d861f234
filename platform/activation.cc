// Activation for clients: CLSIDFromProgID and CoCreateInstance over the
// registry file. Part of the client library, never of libkestrel.so.

#include "kestrel/activation.h"

#include <cstring>
#include <string>

#include "kestrel/server.h"
#include "platform/guid_text.h"
#include "platform/library_loader.h"
#include "platform/registry_store.h"

using kestrel::RegistryRoot;
using kestrel::RegistryStore;

extern "C" HRESULT CLSIDFromProgID(const char* progId, CLSID* clsid) {
  if (progId == nullptr || clsid == nullptr || progId[0] == '\0') return E_INVALIDARG;
  try {
    std::string text;
    if (!RegistryStore().ReadString(RegistryRoot::kClassesRoot, std::string(progId) + "\\CLSID",
                                    "", &text) ||
        !kestrel::GuidFromText(text.c_str(), clsid)) {
      return CO_E_CLASSSTRING;
    }
    return S_OK;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

extern "C" HRESULT KestrelCreateFromLibrary(const char* path, const CLSID& clsid, IUnknown* outer,
                                            const IID& riid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  void* library = kestrel::LoadComponentLibrary(path);
  if (library == nullptr) return CO_E_DLLNOTFOUND;
  auto getClassObject = reinterpret_cast<DllGetClassObjectFunction>(
      kestrel::FindLibraryFunction(library, "DllGetClassObject"));
  if (getClassObject == nullptr) return CO_E_ERRORINDLL;
  IClassFactory* factory = nullptr;
  HRESULT hr = getClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) return hr;
  hr = factory->CreateInstance(outer, riid, out);
  factory->Release();
  return hr;
}

extern "C" HRESULT CoCreateInstance(const CLSID& clsid, IUnknown* outer, const IID& riid,
                                    void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  std::string path;
  try {
    std::string key = "CLSID\\" + kestrel::GuidToText(clsid) + "\\InprocServer32";
    if (!RegistryStore().ReadString(RegistryRoot::kClassesRoot, key, "", &path)) {
      return REGDB_E_CLASSNOTREG;
    }
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  return KestrelCreateFromLibrary(path.c_str(), clsid, outer, riid, out);
}

extern "C" void StringFromGUID(const GUID& guid, char buffer[39]) {
  std::string text = kestrel::GuidToText(guid);
  std::memcpy(buffer, text.c_str(), text.size() + 1);
}

extern "C" HRESULT GUIDFromString(const char* text, GUID* guid) {
  if (guid == nullptr) return E_INVALIDARG;
  return kestrel::GuidFromText(text, guid) ? S_OK : E_INVALIDARG;
}
