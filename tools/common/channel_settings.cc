#include "tools/common/channel_settings.h"

#include <algorithm>
#include <cstring>

namespace kestrel {
namespace tools {

namespace {

HRESULT CopyText(const std::string& text, char* buffer, int32_t size) {
  if (buffer == nullptr || size <= 0) return E_POINTER;
  size_t length = std::min(text.size(), static_cast<size_t>(size) - 1);
  std::memcpy(buffer, text.data(), length);
  buffer[length] = '\0';
  return length == text.size() ? S_OK : S_FALSE;
}

}  // namespace

ChannelSettings::ChannelSettings(std::string host, int32_t port, std::string key, IUnknown* sink)
    : host_(std::move(host)), port_(port), key_(std::move(key)), sink_(sink) {
  if (sink_ != nullptr) sink_->AddRef();
}

ChannelSettings::~ChannelSettings() {
  if (sink_ != nullptr) sink_->Release();
}

HRESULT STDMETHODCALLTYPE ChannelSettings::QueryInterface(const IID& riid, void** out) {
  if (out == nullptr) return E_POINTER;
  if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IChannelSettings)) {
    *out = static_cast<IChannelSettings*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE ChannelSettings::AddRef() { return ++count_; }

ULONG STDMETHODCALLTYPE ChannelSettings::Release() {
  uint32_t remaining = --count_;
  if (remaining == 0) delete this;
  return remaining;
}

int32_t STDMETHODCALLTYPE ChannelSettings::Validate() {
  return host_.empty() || port_ <= 0 || port_ > 65535 ? 1 : 0;
}

HRESULT STDMETHODCALLTYPE ChannelSettings::GetHost(char* buffer, int32_t size) {
  return CopyText(host_, buffer, size);
}

HRESULT STDMETHODCALLTYPE ChannelSettings::GetPort(int32_t* port) {
  if (port == nullptr) return E_POINTER;
  *port = port_;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE ChannelSettings::GetObjectKey(char* buffer, int32_t size) {
  return CopyText(key_, buffer, size);
}

HRESULT STDMETHODCALLTYPE ChannelSettings::GetSink(IUnknown** sink) {
  if (sink == nullptr) return E_POINTER;
  *sink = sink_;
  if (sink_ != nullptr) sink_->AddRef();
  return sink_ != nullptr ? S_OK : E_NOINTERFACE;
}

}  // namespace tools
}  // namespace kestrel
