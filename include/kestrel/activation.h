// Kestrel: creating objects through the registry.
//
// The equivalents of COM's CLSIDFromProgID and CoCreateInstance for
// in-process servers, in the client library kestrelclient (not in
// libkestrel.so). A class is found in the registry file ($KESTREL_REGISTRY,
// or /etc/kestrel/registry.reg) under HKEY_CLASSES_ROOT; its
// CLSID\{clsid}\InprocServer32 default value names the library to load.
//
//   CLSID clsid;
//   if (CLSIDFromProgID("Tarnwell Networks System Notification Supplier", &clsid) == S_OK) {
//     INotificationSupplier* supplier = nullptr;
//     HRESULT hr = CoCreateInstance(clsid, nullptr, IID_INotificationSupplier,
//                                   reinterpret_cast<void**>(&supplier));
//   }
//
// A library once loaded stays loaded for the life of the process.
//
// On Windows, COM itself does all of this (CLSIDFromProgID, CoCreateInstance
// with CLSCTX_INPROC_SERVER, StringFromCLSID), and this header declares
// nothing.

#ifndef KESTREL_ACTIVATION_H_
#define KESTREL_ACTIVATION_H_

#include "kestrel/com.h"
#include "kestrel/result_codes.h"

#ifndef _WIN32
extern "C" {

// Looks a class up by its ProgID or version-independent ProgID.
// Answers S_OK, E_INVALIDARG for a null argument, or CO_E_CLASSSTRING when
// the name is not registered (or its CLSID text is not an identifier).
HRESULT CLSIDFromProgID(const char* progId, CLSID* clsid);

// Creates an object of a registered class and answers its interface riid.
// Answers REGDB_E_CLASSNOTREG when the class is not registered,
// CO_E_DLLNOTFOUND when its library cannot be loaded, CO_E_ERRORINDLL when
// the library lacks DllGetClassObject, or what the library's factory answers.
HRESULT CoCreateInstance(const CLSID& clsid, IUnknown* outer, const IID& riid, void** out);

// Loads the library at path (no registry involved) and creates an object of
// clsid from it, as CoCreateInstance does after its registry look-up.
HRESULT KestrelCreateFromLibrary(const char* path, const CLSID& clsid, IUnknown* outer,
                                 const IID& riid, void** out);

// The standard text of an identifier: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}",
// upper-case, 38 characters. buffer must hold 39 bytes.
void StringFromGUID(const GUID& guid, char buffer[39]);

// Parses the standard text (braces required, either case). Answers S_OK or
// E_INVALIDARG.
HRESULT GUIDFromString(const char* text, GUID* guid);

}  // extern "C"
#endif  // _WIN32

#endif  // KESTREL_ACTIVATION_H_
