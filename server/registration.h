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
// the others. False when any key or value was not written.
bool RegisterClass(ClassesRootEditor& editor, const ClassEntry& entry,
                   const std::string& libraryPath);

// Deletes the three trees of one class; absent keys are fine. False when a
// key that exists was not removed.
bool UnregisterClass(ClassesRootEditor& editor, const ClassEntry& entry);

// Both walk the whole class table in one edit of the machine's registry,
// doing all they can. True when every class was registered (or removed):
// every key written (or gone) and the registry reached.
bool RegisterAllClasses(const std::string& libraryPath);
bool UnregisterAllClasses();

}  // namespace kestrel

#endif  // KESTREL_SERVER_REGISTRATION_H_
