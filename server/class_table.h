// The component classes that the library serves, in their fixed order:
// lookup and registration walk it first to last.

#ifndef KESTREL_SERVER_CLASS_TABLE_H_
#define KESTREL_SERVER_CLASS_TABLE_H_

#include <cstddef>

#include "kestrel/com.h"

namespace kestrel {

class ComObjectBase;

// Constructs one object with a count of 1 and the given outer IUnknown
// (null when not aggregated) and stores its identity in *out. Makes no
// broker call. Answers S_OK or E_OUTOFMEMORY.
typedef HRESULT (*ObjectCreator)(IUnknown* outer, ComObjectBase** out);

struct ClassEntry {
  const CLSID* clsid;
  ObjectCreator creator;
  const char* friendlyName;
  const char* progId;
  const char* versionIndependentProgId;
};

extern const ClassEntry kClassTable[];
extern const size_t kClassCount;

// The first row whose class identifier equals clsid, or null.
const ClassEntry* FindClass(const CLSID& clsid);

}  // namespace kestrel

#endif  // KESTREL_SERVER_CLASS_TABLE_H_
