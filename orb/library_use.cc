#include "orb/library_use.h"

#include <ace/Init_ACE.h>

#include <atomic>

namespace kestrel {

namespace {
std::atomic<int> uses{0};
}  // namespace

void AcquireAceLibrary() {
  ACE::init();
  uses.fetch_add(1);
}

void ReleaseAceLibrary() {
  uses.fetch_sub(1);
  ACE::fini();
}

int AceLibraryUses() { return uses.load(); }

}  // namespace kestrel
