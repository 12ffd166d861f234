// kestrel-classes: shows the Kestrel classes that the registry holds, finds
// each by its ProgIDs and creates one object of it, as a client would.
//
//   kestrel-classes
//   kestrel-classes --help | --version
//
// Exit status: 0 when every class was found and created, 1 otherwise, 2 for
// a usage error.

#include <cstdio>
#include <cstring>

#include "kestrel/kestrel.h"

namespace {

struct KnownClass {
  const char* progId;
  const IID* clientInterface;
  const char* interfaceName;
};

const KnownClass kClasses[] = {
    {"Tarnwell Networks System Notification Consumer", &IID_INotificationConsumer, "INotificationConsumer"},
    {"Tarnwell Networks System Notification Supplier", &IID_INotificationSupplier, "INotificationSupplier"},
};

void PrintCode(HRESULT hr) {
  const char* name = KestrelResultName(hr);
  std::printf("0x%08X %s", static_cast<unsigned>(hr), name != nullptr ? name : "");
}

bool ShowClass(const char* progId, const KnownClass& known) {
  std::printf("%s\n", progId);
  CLSID clsid;
  HRESULT hr = CLSIDFromProgID(progId, &clsid);
  if (FAILED(hr)) {
    std::printf("  not found: ");
    PrintCode(hr);
    std::printf("\n");
    return false;
  }
  char text[39];
  StringFromGUID(clsid, text);
  std::printf("  CLSID %s\n", text);
  IUnknown* object = nullptr;
  hr = CoCreateInstance(clsid, nullptr, *known.clientInterface, reinterpret_cast<void**>(&object));
  if (FAILED(hr)) {
    std::printf("  not created: ");
    PrintCode(hr);
    std::printf("\n");
    return false;
  }
  std::printf("  created, %s at %p\n", known.interfaceName, static_cast<void*>(object));
  object->Release();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
    std::fputs("kestrel-classes " KESTREL_VERSION "\n", stdout);
    return 0;
  }
  if (argc > 1) {
    bool help = std::strcmp(argv[1], "--help") == 0;
    std::fprintf(help ? stdout : stderr,
                 "usage: kestrel-classes\n"
                 "       kestrel-classes --help | --version\n"
                 "  Finds the Kestrel classes in the registry by ProgID and creates each once.\n"
                 "  Exit status: 0 every class found and created, 1 otherwise, 2 usage error.\n");
    return help ? 0 : 2;
  }
  bool allCreated = true;
  for (const KnownClass& known : kClasses) {
    allCreated = ShowClass(known.progId, known) && allCreated;
    char versioned[128];
    std::snprintf(versioned, sizeof versioned, "%s.1", known.progId);
    allCreated = ShowClass(versioned, known) && allCreated;
  }
  return allCreated ? 0 : 1;
}
