// Kestrel: result codes.
//
// Every operation of the library answers with an HRESULT; nothing is thrown
// across the library's boundary and nothing is logged. The codes are the
// component model's standard ones and Kestrel's own, in the interface
// facility (0x8004xxxx). A failure of the broker (a CORBA exception) is
// reported as the E_CORBA_ code that names the exception's type.

#ifndef KESTREL_RESULT_CODES_H_
#define KESTREL_RESULT_CODES_H_

#include "kestrel/com.h"

#define KESTREL_HR(x) static_cast<HRESULT>(static_cast<uint32_t>(x))

// The standard codes; on Windows, the system defines them.
#ifdef _WIN32
#include <olectl.h>  // SELFREG_E_CLASS
#else
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = KESTREL_HR(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = KESTREL_HR(0x80004002);
inline constexpr HRESULT E_POINTER = KESTREL_HR(0x80004003);
inline constexpr HRESULT E_FAIL = KESTREL_HR(0x80004005);
inline constexpr HRESULT E_UNEXPECTED = KESTREL_HR(0x8000FFFF);
inline constexpr HRESULT E_OUTOFMEMORY = KESTREL_HR(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = KESTREL_HR(0x80070057);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = KESTREL_HR(0x80040110);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = KESTREL_HR(0x80040111);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = KESTREL_HR(0x80040154);
// Activation: the ProgID is not registered.
inline constexpr HRESULT CO_E_CLASSSTRING = KESTREL_HR(0x800401F3);
// Activation: the registered library cannot be loaded.
inline constexpr HRESULT CO_E_DLLNOTFOUND = KESTREL_HR(0x800401F8);
// Activation: the library lacks DllGetClassObject.
inline constexpr HRESULT CO_E_ERRORINDLL = KESTREL_HR(0x800401F9);
// Self-registration: the library cannot tell its own path (on Windows, also
// when the path is too long for the 512-character buffer that it is read
// into), so there is nothing to register.
inline constexpr HRESULT SELFREG_E_CLASS = KESTREL_HR(0x80040201);
#endif  // _WIN32

// A required argument is missing, or a required object reference is nil.
inline constexpr HRESULT E_NOTIFY_INVALIDARG = KESTREL_HR(0x80040509);

// CORBA exceptions raised by the broker. 0x80040B55, 0x80040B60 and
// 0x80040B6E are never produced; INV_OBJREF reports E_CORBA_IMP_LIMIT, and
// every user exception and unlisted exception reports E_CORBA_UNKNOWN.
inline constexpr HRESULT E_CORBA_UNKNOWN = KESTREL_HR(0x80040B50);
inline constexpr HRESULT E_CORBA_BAD_PARAM = KESTREL_HR(0x80040B51);
inline constexpr HRESULT E_CORBA_NO_MEMORY = KESTREL_HR(0x80040B52);
inline constexpr HRESULT E_CORBA_IMP_LIMIT = KESTREL_HR(0x80040B53);
inline constexpr HRESULT E_CORBA_COMM_FAILURE = KESTREL_HR(0x80040B54);
inline constexpr HRESULT E_CORBA_OBJECT_NOT_EXIST = KESTREL_HR(0x80040B56);
inline constexpr HRESULT E_CORBA_NO_PERMISSION = KESTREL_HR(0x80040B57);
inline constexpr HRESULT E_CORBA_INTERNAL = KESTREL_HR(0x80040B58);
inline constexpr HRESULT E_CORBA_MARSHAL = KESTREL_HR(0x80040B59);
inline constexpr HRESULT E_CORBA_INITIALIZE = KESTREL_HR(0x80040B5A);
inline constexpr HRESULT E_CORBA_NO_IMPLEMENT = KESTREL_HR(0x80040B5B);
inline constexpr HRESULT E_CORBA_BAD_TYPECODE = KESTREL_HR(0x80040B5C);
inline constexpr HRESULT E_CORBA_BAD_OPERATION = KESTREL_HR(0x80040B5D);
inline constexpr HRESULT E_CORBA_NO_RESOURCES = KESTREL_HR(0x80040B5E);
inline constexpr HRESULT E_CORBA_NO_RESPONSE = KESTREL_HR(0x80040B5F);
inline constexpr HRESULT E_CORBA_PERSIST_STORE = KESTREL_HR(0x80040B61);
inline constexpr HRESULT E_CORBA_BAD_INV_ORDER = KESTREL_HR(0x80040B62);
inline constexpr HRESULT E_CORBA_TRANSIENT = KESTREL_HR(0x80040B63);
inline constexpr HRESULT E_CORBA_FREE_MEM = KESTREL_HR(0x80040B64);
inline constexpr HRESULT E_CORBA_INV_IDENT = KESTREL_HR(0x80040B65);
inline constexpr HRESULT E_CORBA_INV_FLAG = KESTREL_HR(0x80040B66);
inline constexpr HRESULT E_CORBA_INTF_REPOS = KESTREL_HR(0x80040B67);
inline constexpr HRESULT E_CORBA_BAD_CONTEXT = KESTREL_HR(0x80040B68);
inline constexpr HRESULT E_CORBA_OBJ_ADAPTER = KESTREL_HR(0x80040B69);
inline constexpr HRESULT E_CORBA_DATA_CONVERSION = KESTREL_HR(0x80040B6A);
inline constexpr HRESULT E_CORBA_TRANSACTION_REQUIRED = KESTREL_HR(0x80040B6B);
inline constexpr HRESULT E_CORBA_TRANSACTION_ROLLEDBACK = KESTREL_HR(0x80040B6C);
inline constexpr HRESULT E_CORBA_INVALID_TRANSACTION = KESTREL_HR(0x80040B6D);
inline constexpr HRESULT E_CORBA_INV_POLICY = KESTREL_HR(0x80040B6F);
inline constexpr HRESULT E_CORBA_REBIND = KESTREL_HR(0x80040B70);
inline constexpr HRESULT E_CORBA_TIMEOUT = KESTREL_HR(0x80040B71);
inline constexpr HRESULT E_CORBA_TRANSACTION_UNAVAILABLE = KESTREL_HR(0x80040B72);
inline constexpr HRESULT E_CORBA_TRANSACTION_MODE = KESTREL_HR(0x80040B73);
inline constexpr HRESULT E_CORBA_CODESET_INCOMPATIBLE = KESTREL_HR(0x80040B74);
inline constexpr HRESULT E_CORBA_BAD_QOS = KESTREL_HR(0x80040B75);

#undef KESTREL_HR

// The symbolic name of a code ("E_CORBA_COMM_FAILURE"), or null for a code
// that Kestrel does not know. Provided by the client library (kestrelclient).
extern "C" const char* KestrelResultName(HRESULT code);

#endif  // KESTREL_RESULT_CODES_H_
