// Self-registration: the registry keys that let clients find the component
// classes by identifier or ProgID and load this library in-process.
//
// For each class, below HKEY_CLASSES_ROOT, in this order:
//   CLSID\{clsid}                            @ = friendly name
//   CLSID\{clsid}\InprocServer32             @ = library path, ThreadingModel = Both
//   CLSID\{clsid}\ProgID                     @ = ProgID
//   CLSID\{clsid}\VersionIndependentProgID   @ = version-independent ProgID
//   {viprogid}                               @ = friendly name
//   {viprogid}\CLSID                         @ = {clsid}
//   {viprogid}\CurVer                        @ = ProgID
//   {progid}                                 @ = friendly name
//   {progid}\CLSID                           @ = {clsid}
// Unregistration deletes the trees CLSID\{clsid}, {viprogid} and {progid}
// with everything below them.

#ifndef KESTREL_SERVER_REGISTRATION_H_
#define KESTREL_SERVER_REGISTRATION_H_

#include <string>

#include "platform/classes_root.h"
#include "server/class_table.h"

namespace kestrel {

// Writes the keys of one class; a key that cannot be written does not stop
// the others.
void RegisterClass(ClassesRootEditor& editor, const ClassEntry& entry,
                   const std::string& libraryPath);

// Deletes the three trees of one class; absent keys are fine.
void UnregisterClass(ClassesRootEditor& editor, const ClassEntry& entry);

// Both walk the whole class table in one edit of the machine's registry.
// What happened to single keys is not reported: only a registry that could
// not be edited at all answers other than kOk.
RegistryStatus RegisterAllClasses(const std::string& libraryPath);
RegistryStatus UnregisterAllClasses();

}  // namespace kestrel

#endif  // KESTREL_SERVER_REGISTRATION_H_
