// The settings object that the command-line tools hand to the library: a
// fixed host, port and object key, and for a consumer the sink.

#ifndef KESTREL_TOOLS_COMMON_CHANNEL_SETTINGS_H_
#define KESTREL_TOOLS_COMMON_CHANNEL_SETTINGS_H_

#include <atomic>
#include <string>

#include "kestrel/notification.h"

namespace kestrel {
namespace tools {

class ChannelSettings final : public IChannelSettings {
 public:
  // sink may be null (a supplier needs none); the settings hold one
  // reference to it while they live.
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
  ~ChannelSettings();

  std::atomic<uint32_t> count_{1};
  std::string host_;
  int32_t port_;
  std::string key_;
  IUnknown* sink_;
};

}  // namespace tools
}  // namespace kestrel

#endif  // KESTREL_TOOLS_COMMON_CHANNEL_SETTINGS_H_
