// The settings object that both examples hand to Kestrel: where the channel
// is and, for the listener, which object receives the notifications.
//
// Initialize and Connect take over the reference that the object is created
// with, and the library may keep further ones, so it lives on the heap and
// deletes itself at its last Release.

#ifndef KESTREL_EXAMPLES_CHANNEL_SETTINGS_H_
#define KESTREL_EXAMPLES_CHANNEL_SETTINGS_H_

#include <atomic>
#include <cstring>
#include <string>

#include <kestrel/kestrel.h>

class ChannelSettings final : public IChannelSettings {
 public:
  // sink may be null: a supplier asks for none.
  ChannelSettings(std::string host, int32_t port, std::string key, IUnknown* sink = nullptr)
      : host_(std::move(host)), port_(port), key_(std::move(key)), sink_(sink) {
    if (sink_ != nullptr) sink_->AddRef();
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(const IID& riid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (riid != IID_IUnknown && riid != IID_IChannelSettings) return E_NOINTERFACE;
    *out = static_cast<IChannelSettings*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  int32_t STDMETHODCALLTYPE Validate() override {
    return host_.empty() || key_.empty() || port_ <= 0 || port_ > 65535;
  }
  HRESULT STDMETHODCALLTYPE GetHost(char* buffer, int32_t size) override {
    return Copy(host_, buffer, size);
  }
  HRESULT STDMETHODCALLTYPE GetObjectKey(char* buffer, int32_t size) override {
    return Copy(key_, buffer, size);
  }
  HRESULT STDMETHODCALLTYPE GetPort(int32_t* port) override {
    if (port == nullptr) return E_POINTER;
    *port = port_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetSink(IUnknown** sink) override {
    if (sink == nullptr) return E_POINTER;
    *sink = sink_;
    if (sink_ == nullptr) return E_NOINTERFACE;
    sink_->AddRef();
    return S_OK;
  }

 private:
  ~ChannelSettings() {
    if (sink_ != nullptr) sink_->Release();
  }

  // A text that does not fit is refused rather than cut: a shortened host
  // or key would name another channel.
  static HRESULT Copy(const std::string& text, char* buffer, int32_t size) {
    if (buffer == nullptr) return E_POINTER;
    if (size <= 0 || text.size() >= static_cast<size_t>(size)) return E_INVALIDARG;
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return S_OK;
  }

  std::atomic<uint32_t> references_{1};
  const std::string host_;
  const int32_t port_;
  const std::string key_;
  IUnknown* const sink_;
};

#endif  // KESTREL_EXAMPLES_CHANNEL_SETTINGS_H_
