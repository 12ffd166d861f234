// The settings object that the command-line tools hand to the library: a
// fixed host, port and object key, for a consumer the sink, and, when the
// channel is reached by TLS, its files (ITlsSettings).

#ifndef KESTREL_TOOLS_COMMON_CHANNEL_SETTINGS_H_
#define KESTREL_TOOLS_COMMON_CHANNEL_SETTINGS_H_

#include <atomic>
#include <string>

#include "kestrel/notification.h"
#include "tools/common/channel_address.h"

namespace kestrel {
namespace tools {

class ChannelSettings final : public IChannelSettings {
 public:
  // sink may be null (a supplier needs none); the settings hold one
  // reference to it while they live. ITlsSettings is offered when
  // channel.tls is set.
  explicit ChannelSettings(const ChannelAddress& channel, IUnknown* sink = nullptr);
  ChannelSettings(std::string host, int32_t port, std::string key, IUnknown* sink = nullptr);

  HRESULT STDMETHODCALLTYPE QueryInterface(const IID& riid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  int32_t STDMETHODCALLTYPE Validate() override;
  HRESULT STDMETHODCALLTYPE GetHost(char* buffer, int32_t size) override;
  HRESULT STDMETHODCALLTYPE GetPort(int32_t* port) override;
  HRESULT STDMETHODCALLTYPE GetObjectKey(char* buffer, int32_t size) override;
  HRESULT STDMETHODCALLTYPE GetSink(IUnknown** sink) override;

 private:
  // The TLS files, an interface of the same object: its IUnknown is the
  // settings' own.
  class TlsPart final : public ITlsSettings {
   public:
    explicit TlsPart(ChannelSettings* outer) : outer_(outer) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(const IID& riid, void** out) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE GetCertificateFile(char* buffer, int32_t size) override;
    HRESULT STDMETHODCALLTYPE GetKeyFile(char* buffer, int32_t size) override;
    HRESULT STDMETHODCALLTYPE GetAuthorityFile(char* buffer, int32_t size) override;
    HRESULT STDMETHODCALLTYPE GetKeyPassword(char* buffer, int32_t size) override;

   private:
    ChannelSettings* const outer_;
  };

  ~ChannelSettings();

  std::atomic<uint32_t> count_{1};
  const ChannelAddress channel_;
  IUnknown* sink_;
  TlsPart tls_{this};
};

}  // namespace tools
}  // namespace kestrel

#endif  // KESTREL_TOOLS_COMMON_CHANNEL_SETTINGS_H_
