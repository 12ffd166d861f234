// Kestrel: the component model's basic types.
//
// Kestrel is loaded in-process, like a Windows COM server. These are the
// component model's types with the binary layout that COM gives them on the
// Itanium C++ ABI, so that code written against COM reads the same here:
//
//   GUID     16 bytes: uint32_t, uint16_t, uint16_t, uint8_t[8]
//   HRESULT  int32_t; zero is success, a set top bit is failure
//   IUnknown an abstract class of pure virtual functions only, with no data
//            and no virtual destructor, so that the slot order of every
//            interface is its declaration order: QueryInterface, AddRef,
//            Release, then the interface's own operations.
//
// Every method of an interface is declared STDMETHODCALLTYPE, as COM's
// are, and so must be each implementation's overrides (the clients' sinks
// and settings objects too).
//
// Every interface pointer handed out carries one reference, which its holder
// gives back with Release(). AddRef and Release answer a ULONG, 32 bits on
// both systems.
//
// On Windows all of these are the system's own, from its COM headers, so
// that a Windows client uses Kestrel's interfaces like any COM class's.

#ifndef KESTREL_COM_H_
#define KESTREL_COM_H_

#ifdef _WIN32
#include <objbase.h>
#include <unknwn.h>

#include <cstdint>
#else

#include <cstdint>
#include <cstring>

typedef int32_t HRESULT;
typedef uint32_t ULONG;

// The calling convention of every interface method: __stdcall on 32-bit
// Windows, which is what clients of every Windows compiler call, and
// nothing to say here.
#define STDMETHODCALLTYPE
// Likewise for the library's exported functions.
#define STDAPICALLTYPE

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
static_assert(sizeof(GUID) == 16, "GUID must keep the component model's layout");

typedef GUID IID;
typedef GUID CLSID;

// Identifiers are compared as 16 bytes, as the component model does.
inline bool IsEqualGUID(const GUID& a, const GUID& b) {
  return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}
inline bool operator==(const GUID& a, const GUID& b) { return IsEqualGUID(a, b); }
inline bool operator!=(const GUID& a, const GUID& b) { return !IsEqualGUID(a, b); }

inline bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
inline bool FAILED(HRESULT hr) { return hr < 0; }

// {00000000-0000-0000-C000-000000000046}
inline constexpr IID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
// {00000001-0000-0000-C000-000000000046}
inline constexpr IID IID_IClassFactory = {
    0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

class IUnknown {
 public:
  // Stores in *out a pointer to the interface riid of the same object, with a
  // new reference, and answers S_OK; or stores null and answers E_NOINTERFACE.
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(const IID& riid, void** out) = 0;
  // Both answer the new count; it is meant for tests and diagnostics only.
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;
};

class IClassFactory : public IUnknown {
 public:
  // Creates one object of the factory's class and answers its interface riid.
  // With a non-null outer (aggregation) riid must be IID_IUnknown, and the
  // outer object receives the new object's own identity.
  virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, const IID& riid,
                                                   void** out) = 0;
  // A non-zero lock keeps the library loaded; zero gives one lock back.
  virtual HRESULT STDMETHODCALLTYPE LockServer(int32_t lock) = 0;
};

#endif  // _WIN32
#endif  // KESTREL_COM_H_
