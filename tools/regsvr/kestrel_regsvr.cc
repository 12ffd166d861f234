// kestrel-regsvr: registers or unregisters a component library, as regsvr32
// does on Windows.
//
//   kestrel-regsvr [-u] LIBRARY
//   kestrel-regsvr --help | --version
//
// Exit status: 0 done, 1 the library cannot be loaded, lacks the entry
// point, or the entry point answered a failure code, 2 usage error.

#include <cstdio>
#include <cstring>

#include "kestrel/server.h"
#include "platform/library_loader.h"
#include "platform/registry_store.h"

namespace {

void PrintUsage(FILE* out) {
  std::fprintf(out,
               "usage: kestrel-regsvr [-u] LIBRARY\n"
               "  Registers the component classes of LIBRARY in the registry\n"
               "  ($KESTREL_REGISTRY, or /etc/kestrel/registry.reg).\n"
               "  -u         unregister instead\n"
               "  --help     show this text\n"
               "  --version  show the program's version\n");
}

}  // namespace

int main(int argc, char** argv) {
  bool unregister = false;
  const char* library = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      PrintUsage(stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::fputs("kestrel-regsvr " KESTREL_VERSION "\n", stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "-u") == 0) {
      unregister = true;
    } else if (argv[i][0] == '-' || library != nullptr) {
      PrintUsage(stderr);
      return 2;
    } else {
      library = argv[i];
    }
  }
  if (library == nullptr) {
    PrintUsage(stderr);
    return 2;
  }

  void* handle = kestrel::LoadComponentLibrary(library);
  if (handle == nullptr) {
    std::fprintf(stderr, "kestrel-regsvr: cannot load %s\n", library);
    return 1;
  }
  const char* entryName = unregister ? "DllUnregisterServer" : "DllRegisterServer";
  auto entry = reinterpret_cast<DllRegisterServerFunction>(
      kestrel::FindLibraryFunction(handle, entryName));
  if (entry == nullptr) {
    std::fprintf(stderr, "kestrel-regsvr: %s has no entry point %s\n", library, entryName);
    return 1;
  }
  HRESULT hr = entry();
  // A failure is the caller's to see in the status too: installers and
  // scripts test it, not the line.
  std::fprintf(FAILED(hr) ? stderr : stdout, "kestrel-regsvr: %s of %s answered 0x%08X in %s\n",
               entryName, library, static_cast<unsigned>(hr),
               kestrel::RegistryStore::DefaultPath().c_str());
  return FAILED(hr) ? 1 : 0;
}
