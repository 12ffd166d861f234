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

ChannelSettings::ChannelSettings(const ChannelAddress& channel, IUnknown* sink)
    : channel_(channel), sink_(sink) {
  if (sink_ != nullptr) sink_->AddRef();
}

namespace {

ChannelAddress Plain(std::string host, int32_t port, std::string key) {
  ChannelAddress channel;
  channel.host = std::move(host);
  channel.port = static_cast<uint32_t>(port);
  channel.key = std::move(key);
  return channel;
}

}  // namespace

ChannelSettings::ChannelSettings(std::string host, int32_t port, std::string key, IUnknown* sink)
    : ChannelSettings(Plain(std::move(host), port, std::move(key)), sink) {}

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
  if (channel_.tls && IsEqualGUID(riid, IID_ITlsSettings)) {
    *out = static_cast<ITlsSettings*>(&tls_);
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
  return channel_.host.empty() || channel_.port == 0 || channel_.port > 65535 ? 1 : 0;
}

HRESULT STDMETHODCALLTYPE ChannelSettings::GetHost(char* buffer, int32_t size) {
  return CopyText(channel_.host, buffer, size);
}

HRESULT STDMETHODCALLTYPE ChannelSettings::GetPort(int32_t* port) {
  if (port == nullptr) return E_POINTER;
  *port = static_cast<int32_t>(channel_.port);
  return S_OK;
}

HRESULT STDMETHODCALLTYPE ChannelSettings::GetObjectKey(char* buffer, int32_t size) {
  return CopyText(channel_.key, buffer, size);
}

HRESULT STDMETHODCALLTYPE ChannelSettings::TlsPart::QueryInterface(const IID& riid, void** out) {
  return outer_->QueryInterface(riid, out);
}

ULONG STDMETHODCALLTYPE ChannelSettings::TlsPart::AddRef() { return outer_->AddRef(); }

ULONG STDMETHODCALLTYPE ChannelSettings::TlsPart::Release() { return outer_->Release(); }

HRESULT STDMETHODCALLTYPE ChannelSettings::TlsPart::GetCertificateFile(char* buffer,
                                                                       int32_t size) {
  return CopyText(outer_->channel_.certificateFile, buffer, size);
}

HRESULT STDMETHODCALLTYPE ChannelSettings::TlsPart::GetKeyFile(char* buffer, int32_t size) {
  return CopyText(outer_->channel_.keyFile, buffer, size);
}

HRESULT STDMETHODCALLTYPE ChannelSettings::TlsPart::GetAuthorityFile(char* buffer, int32_t size) {
  return CopyText(outer_->channel_.authorityFile, buffer, size);
}

// The tools take no password: a key for them is kept unencrypted, or its
// password is the machine's TlsKeyPassword.
HRESULT STDMETHODCALLTYPE ChannelSettings::TlsPart::GetKeyPassword(char* buffer, int32_t size) {
  return CopyText(std::string(), buffer, size);
}

HRESULT STDMETHODCALLTYPE ChannelSettings::GetSink(IUnknown** sink) {
  if (sink == nullptr) return E_POINTER;
  *sink = sink_;
  if (sink_ != nullptr) sink_->AddRef();
  return sink_ != nullptr ? S_OK : E_NOINTERFACE;
}

}  // namespace tools
}  // namespace kestrel
