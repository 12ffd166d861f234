// On Windows the tools are COM clients like any other: the calling thread
// joins the multithreaded apartment and COM finds the registered class.
// A class that is not registered is created from kestrel.dll beside the
// program, so that the build tree works before regsvr32 has run.

#include "tools/common/component_loader.h"

#include <windows.h>

#include <string>

namespace kestrel {
namespace tools {

namespace {

std::string LibraryBesideProgram() {
  char path[MAX_PATH];
  DWORD length = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::string();
  std::string folder(path, length);
  return folder.substr(0, folder.find_last_of("\\/") + 1) + "kestrel.dll";
}

// As CoCreateInstance does after its registry look-up. The library stays
// loaded: its broker threads may outlive the object.
HRESULT CreateFromLibrary(const std::string& path, const CLSID& clsid, const IID& riid,
                          void** out) {
  HMODULE library = ::LoadLibraryA(path.c_str());
  if (library == nullptr) return CO_E_DLLNOTFOUND;
  auto getClassObject = reinterpret_cast<DllGetClassObjectFunction>(
      reinterpret_cast<void*>(::GetProcAddress(library, "DllGetClassObject")));
  if (getClassObject == nullptr) return CO_E_ERRORINDLL;
  IClassFactory* factory = nullptr;
  HRESULT hr = getClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (FAILED(hr)) return hr;
  hr = factory->CreateInstance(nullptr, riid, out);
  factory->Release();
  return hr;
}

}  // namespace

HRESULT CreateComponent(const CLSID& clsid, const IID& riid, void** out) {
  // S_FALSE when this thread was already in the apartment; the tools never
  // leave it, since objects may live until the process ends.
  HRESULT hr = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(hr)) return hr;
  hr = ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, riid, out);
  if (hr != REGDB_E_CLASSNOTREG) return hr;
  return CreateFromLibrary(LibraryBesideProgram(), clsid, riid, out);
}

}  // namespace tools
}  // namespace kestrel
