// kestrel.dll carries MinGW's threads library (winpthreads) linked in. It
// takes a thread-local slot the first time it is used and never gives it
// back, so each load of the DLL would keep one slot of the process's 1,088;
// once they had run out, the next load would end the process (winpthreads
// aborts when it finds none). COM loads and unloads the DLL as often as a
// client creates objects after it called CoFreeUnusedLibraries, so a
// long-running client would get there.
//
// Here the DLL finds out which slot that is, as the very first thing it
// initializes, and frees it as the very last thing it does when unloaded,
// after every destructor that might still use the threads library.
//
// Linked into the DLL only: a program keeps its slots until it ends.

#include <pthread.h>
#include <windows.h>

#include <cstdlib>

namespace {

DWORD threadsLibrarySlot = TLS_OUT_OF_INDEXES;

// Registered only once the slot is known.
void FreeThreadsLibrarySlot() { TlsFree(threadsLibrarySlot); }

// Called among the C runtime's own initializers (the .CRT$XI table, which
// the runtime runs right after it has made the table of exit handlers and
// before anything else of the DLL, C++ constructors and the unwinder's
// frame registration included), so the handler that it registers runs
// after every other. The threads library has not been used yet in this
// load: asked for the calling thread now, it takes the lowest free slot,
// which the probe has just seen free, and leaves a value for this thread
// there. A slot that stayed empty was not its own (another thread took it
// meanwhile) and is left alone.
int FindThreadsLibrarySlot() {
  DWORD probe = TlsAlloc();
  if (probe == TLS_OUT_OF_INDEXES) return 0;
  TlsFree(probe);
  pthread_self();
  if (TlsGetValue(probe) == nullptr) return 0;
  threadsLibrarySlot = probe;
  std::atexit(FreeThreadsLibrarySlot);
  return 0;
}

__attribute__((section(".CRT$XIB"), used)) int (*const findThreadsLibrarySlot)() = FindThreadsLibrarySlot;

}  // namespace
