// A Windows client of the public headers, compiled by the MinGW-w64 cross
// compiler when the machine has one: on Windows the headers must give way to
// the system's COM types and functions, and a client writes what it would
// write for any COM class.

#include <kestrel/kestrel.h>

#include <cstdio>

// The examples' own settings class, as a Windows client would take it over.
#include "channel_settings.h"

int main() {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  CLSID clsid;
  HRESULT hr = CLSIDFromProgID(L"Tarnwell Networks System Notification Supplier", &clsid);
  INotificationSupplier* supplier = nullptr;
  hr = CoCreateInstance(CLSID_NotificationSupplier, nullptr, CLSCTX_INPROC_SERVER,
                        IID_INotificationSupplier, reinterpret_cast<void**>(&supplier));
  if (SUCCEEDED(hr)) {
    supplier->Initialize(new ChannelSettings("127.0.0.1", 5000, "NotifyEventChannel"), "module");
    supplier->Publish(1, 2, "text");
    supplier->Release();
  }
  std::printf("%s\n", KestrelResultName(hr));
  CoUninitialize();
  return 0;
}
