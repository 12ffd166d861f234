// publisher: publishes one Kestrel notification per argument.
//
//   publisher HOST PORT KEY MESSAGE...
//
// The channel is corbaloc:iiop:HOST:PORT/KEY, as kestrel-channeld prints it.
// Each message goes out with module "example", severity 1 and its position
// on the command line (1, 2, ...) as message code. The supplier class is
// found in the registry: register libkestrel.so with kestrel-regsvr first.
// Exit status: 0 all published, 1 a call failed, 2 usage error.

#include <cstdio>
#include <cstdlib>

#include <kestrel/kestrel.h>

#include "channel_settings.h"

namespace {

// Answers true when hr is a failure, after saying so on stderr.
bool Failed(const char* what, HRESULT hr) {
  if (SUCCEEDED(hr)) return false;
  const char* name = KestrelResultName(hr);
  std::fprintf(stderr, "publisher: %s failed: 0x%08X %s\n", what, static_cast<unsigned>(hr),
               name != nullptr ? name : "(unknown code)");
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  long port = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 0;
  if (argc < 5 || port <= 0 || port > 65535) {
    std::fprintf(stderr, "usage: publisher HOST PORT KEY MESSAGE...\n");
    return 2;
  }

  CLSID clsid;
  HRESULT hr = CLSIDFromProgID("Tarnwell Networks System Notification Supplier", &clsid);
  if (Failed("CLSIDFromProgID", hr)) return 1;
  INotificationSupplier* supplier = nullptr;
  hr = CoCreateInstance(clsid, nullptr, IID_INotificationSupplier, reinterpret_cast<void**>(&supplier));
  if (Failed("CoCreateInstance", hr)) return 1;

  // Initialize takes over the one reference that the settings start with.
  auto* settings = new ChannelSettings(argv[1], static_cast<int32_t>(port), argv[3]);
  bool published = !Failed("Initialize", supplier->Initialize(settings, "example"));
  for (int i = 4; published && i < argc; ++i) {
    published = !Failed("Publish", supplier->Publish(1, static_cast<uint32_t>(i - 3), argv[i]));
  }
  supplier->Release();
  return published ? 0 : 1;
}
