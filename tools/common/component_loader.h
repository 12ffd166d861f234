// How the tools create Kestrel's objects: through the registry when the
// class is registered there (as any client would), otherwise from the
// library that the tool was built or installed with.

#ifndef KESTREL_TOOLS_COMMON_COMPONENT_LOADER_H_
#define KESTREL_TOOLS_COMMON_COMPONENT_LOADER_H_

#include <string>

#include "kestrel/kestrel.h"

namespace kestrel {
namespace tools {

HRESULT CreateComponent(const CLSID& clsid, const IID& riid, void** out);

// "0x80040B54 E_CORBA_COMM_FAILURE"
std::string DescribeResult(HRESULT hr);

// Decimal or 0x-hexadecimal, 0 to 4294967295; false for anything else.
bool ParseNumber(const char* text, uint32_t* value);

}  // namespace tools
}  // namespace kestrel

#endif  // KESTREL_TOOLS_COMMON_COMPONENT_LOADER_H_
