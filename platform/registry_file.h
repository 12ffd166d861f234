// The registry file's text: the Windows registry export format, REGEDIT4.
//
//   REGEDIT4
//
//   [HKEY_CLASSES_ROOT\CLSID\{...}\InprocServer32]
//   @="/usr/lib/libkestrel.so"
//   "ThreadingModel"="Both"
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Tarnwell Networks\Common]
//   "ORBDottedDecimalAddresses"=dword:00000001
//
// Strings escape only backslash and double quote. Lines starting with ';'
// are comments. Values of other types (hex:, hex(n):, with continuation
// lines) are kept as they stand so that rewriting the file loses nothing.

#ifndef KESTREL_PLATFORM_REGISTRY_FILE_H_
#define KESTREL_PLATFORM_REGISTRY_FILE_H_

#include <string>
#include <string_view>

#include "platform/registry_tree.h"

namespace kestrel {

// Parses text into tree (which must be empty). Answers false, leaving tree
// in an unspecified state, when any line cannot be understood. An empty text
// is an empty registry.
bool ParseRegistryText(std::string_view text, RegistryTree* tree);

// The text of a tree: header, then every key below a root in depth-first
// name order, each with its values (default value first).
std::string SerializeRegistry(const RegistryTree& tree);

}  // namespace kestrel

#endif  // KESTREL_PLATFORM_REGISTRY_FILE_H_
