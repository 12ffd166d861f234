// A Windows client of the public headers, compiled by the MinGW-w64 cross
// compiler when the machine has one: on Windows the headers must give way to
// the system's COM types and functions, and a client writes what it would
// write for any COM class.

#include <kestrel/kestrel.h>

#include <atomic>
#include <cstdio>

class Settings final : public IChannelSettings {
 public:
  HRESULT QueryInterface(const IID& riid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (riid != IID_IUnknown && riid != IID_IChannelSettings) return E_NOINTERFACE;
    *out = static_cast<IChannelSettings*>(this);
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return ++references_; }
  ULONG Release() override {
    ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }
  int32_t Validate() override { return 0; }
  HRESULT GetHost(char* buffer, int32_t) override { buffer[0] = 0; return S_OK; }
  HRESULT GetPort(int32_t* port) override { *port = 1; return S_OK; }
  HRESULT GetObjectKey(char* buffer, int32_t) override { buffer[0] = 0; return S_OK; }
  HRESULT GetSink(IUnknown** sink) override { *sink = nullptr; return E_NOINTERFACE; }

 private:
  std::atomic<ULONG> references_{1};
};

int main() {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  CLSID clsid;
  HRESULT hr = CLSIDFromProgID(L"Tarnwell Networks System Notification Supplier", &clsid);
  INotificationSupplier* supplier = nullptr;
  hr = CoCreateInstance(CLSID_NotificationSupplier, nullptr, CLSCTX_INPROC_SERVER,
                        IID_INotificationSupplier, reinterpret_cast<void**>(&supplier));
  if (SUCCEEDED(hr)) {
    supplier->Initialize(new Settings, "module");
    supplier->Publish(1, 2, "text");
    supplier->Release();
  }
  std::printf("%s\n", KestrelResultName(hr));
  CoUninitialize();
  return 0;
}
