// The ACE library's use count: ACE::init() and ACE::fini() in pairs.
// Every component object and every started broker holds one use. The
// count is also kept here, because ACE does not let anyone read its own.

#ifndef KESTREL_ORB_LIBRARY_USE_H_
#define KESTREL_ORB_LIBRARY_USE_H_

namespace kestrel {

void AcquireAceLibrary();
void ReleaseAceLibrary();

// The uses taken through this file and not yet given back.
int AceLibraryUses();

}  // namespace kestrel

#endif  // KESTREL_ORB_LIBRARY_USE_H_
