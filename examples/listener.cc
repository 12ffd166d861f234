// listener: prints the Kestrel notifications published on a channel.
//
//   listener HOST PORT KEY COUNT
//
// Prints one line per notification on stdout,
//   HOST MODULE severity=N code=0xXXXXXXXX DESCRIPTION
// and exits once it has printed COUNT of them. "listener: listening" goes
// to stderr once it is connected: what is published before is not received.
// The consumer class is found in the registry: register libkestrel.so with
// kestrel-regsvr first. Exit status: 0 done, 1 a call failed, 2 usage error.

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include <kestrel/kestrel.h>

#include "channel_settings.h"

namespace {

bool Failed(const char* what, HRESULT hr) {
  if (SUCCEEDED(hr)) return false;
  const char* name = KestrelResultName(hr);
  std::fprintf(stderr, "listener: %s failed: 0x%08X %s\n", what, static_cast<unsigned>(hr),
               name != nullptr ? name : "(unknown code)");
  return true;
}

// OnEvent runs on the library's delivery thread; main waits in
// WaitForAll until the last expected notification was printed.
class PrintingSink final : public INotificationSink {
 public:
  explicit PrintingSink(unsigned long expected) : expected_(expected) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(const IID& riid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (riid != IID_IUnknown && riid != IID_INotificationSink) return E_NOINTERFACE;
    *out = static_cast<INotificationSink*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE OnEvent(const char* module, const char* host, uint32_t severity,
                                    uint32_t code, const char* description) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (printed_ == expected_) return S_OK;
    std::printf("%s %s severity=%u code=0x%08X %s\n", *host != '\0' ? host : "-",
                *module != '\0' ? module : "-", severity, code, description);
    std::fflush(stdout);
    if (++printed_ == expected_) allPrinted_.notify_all();
    return S_OK;
  }

  void WaitForAll() {
    std::unique_lock<std::mutex> lock(mutex_);
    allPrinted_.wait(lock, [this] { return printed_ == expected_; });
  }

 private:
  ~PrintingSink() = default;

  std::atomic<uint32_t> references_{1};
  const unsigned long expected_;
  std::mutex mutex_;  // guards printed_ and stdout
  std::condition_variable allPrinted_;
  unsigned long printed_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  long port = argc == 5 ? std::strtol(argv[2], nullptr, 10) : 0;
  long count = argc == 5 ? std::strtol(argv[4], nullptr, 10) : 0;
  if (port <= 0 || port > 65535 || count <= 0) {
    std::fprintf(stderr, "usage: listener HOST PORT KEY COUNT\n");
    return 2;
  }

  CLSID clsid;
  HRESULT hr = CLSIDFromProgID("Tarnwell Networks System Notification Consumer", &clsid);
  if (Failed("CLSIDFromProgID", hr)) return 1;
  INotificationConsumer* consumer = nullptr;
  hr = CoCreateInstance(clsid, nullptr, IID_INotificationConsumer, reinterpret_cast<void**>(&consumer));
  if (Failed("CoCreateInstance", hr)) return 1;

  auto* sink = new PrintingSink(static_cast<unsigned long>(count));
  // Connect takes over the one reference that the settings start with.
  auto* settings = new ChannelSettings(argv[1], static_cast<int32_t>(port), argv[3], sink);
  hr = consumer->Connect(settings, 1);
  if (!Failed("Connect", hr)) {
    std::fprintf(stderr, "listener: listening\n");
    sink->WaitForAll();
  }
  // Returns once no delivery is inside the sink any more.
  consumer->Disconnect();
  consumer->Release();
  sink->Release();
  return SUCCEEDED(hr) ? 0 : 1;
}
