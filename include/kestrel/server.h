// Kestrel: the entry points of libkestrel.so.
//
// These four functions, with C linkage and the system's calling convention
// for them (STDAPICALLTYPE: __stdcall on 32-bit Windows), are the only
// symbols that the library exports. A client normally reaches them through kestrel/activation.h; a
// registration tool calls the last two directly.

#ifndef KESTREL_SERVER_H_
#define KESTREL_SERVER_H_

#include "kestrel/com.h"

extern "C" {

// Hands out a new class factory for clsid. riid must be IID_IClassFactory or
// IID_IUnknown (E_NOINTERFACE otherwise); an unknown class answers
// CLASS_E_CLASSNOTAVAILABLE. On failure *out is not written.
HRESULT STDAPICALLTYPE DllGetClassObject(const CLSID& clsid, const IID& riid, void** out);

// S_OK when no object of the library lives and no lock is held; S_FALSE
// otherwise. Class factories do not keep the library loaded.
HRESULT STDAPICALLTYPE DllCanUnloadNow();

// Writes (or removes) the registry keys of both classes, all that can be.
// S_OK when every key was written (or is gone; keys never written count as
// gone); SELFREG_E_CLASS when any was not, for example in a registry that
// this user may not change.
HRESULT STDAPICALLTYPE DllRegisterServer();
HRESULT STDAPICALLTYPE DllUnregisterServer();

typedef HRESULT(STDAPICALLTYPE* DllGetClassObjectFunction)(const CLSID&, const IID&, void**);
typedef HRESULT(STDAPICALLTYPE* DllCanUnloadNowFunction)();
typedef HRESULT(STDAPICALLTYPE* DllRegisterServerFunction)();

}  // extern "C"

#endif  // KESTREL_SERVER_H_
