// A client's channel settings for tests: answers what it is told to, counts
// every call and every reference, and can misbehave the ways a careless
// client does (a text that fills the whole buffer without a NUL, or no
// output at all).
//
// The object is owned by the test, not by its reference count: it starts
// with the one reference of its creator and never deletes itself, so a test
// can look at references() after the library gave back what it took. It
// must outlive every reference handed out. Calls and references are counted
// thread-safely, since the consumer may give references back on its own
// threads; the set_ functions are for before the object is handed out.

#ifndef KESTREL_TESTS_SUPPORT_FAKE_SETTINGS_H_
#define KESTREL_TESTS_SUPPORT_FAKE_SETTINGS_H_

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "kestrel/notification.h"

namespace kestrel {
namespace testing {

class FakeSettings : public IChannelSettings {
 public:
  enum Method {
    kQueryInterface,
    kAddRef,
    kRelease,
    kValidate,
    kGetHost,
    kGetPort,
    kGetObjectKey,
    kGetSink,
    kMethodCount
  };

  // How GetHost, GetObjectKey and GetPort store their answers.
  enum class Output {
    kTerminated,   // the text and its NUL, cut to size - 1 characters
    kFillsBuffer,  // size characters of the text, repeated, and no NUL
    kNothing,      // neither texts nor port are stored
  };

  FakeSettings() = default;
  FakeSettings(std::string host, int32_t port, std::string key)
      : host_(std::move(host)), key_(std::move(key)), port_(port) {}

  FakeSettings(const FakeSettings&) = delete;
  FakeSettings& operator=(const FakeSettings&) = delete;

  void set_host(const std::string& host) { host_ = host; }
  void set_port(int32_t port) { port_ = port; }
  void set_key(const std::string& key) { key_ = key; }
  void set_validateAnswer(int32_t answer) { validateAnswer_ = answer; }
  void set_output(Output output) { output_ = output; }
  // The answer of GetHost, GetPort and GetObjectKey, whatever they store.
  void set_getterResult(HRESULT result) { getterResult_ = result; }
  // GetSink hands out sink with a new reference (null stores null) and
  // answers result. The caller keeps its own reference on sink.
  void set_sink(IUnknown* sink, HRESULT result = S_OK) {
    sink_ = sink;
    sinkResult_ = result;
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(const IID& riid, void** out) override {
    Count(kQueryInterface);
    if (out == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IChannelSettings) {
      *out = static_cast<IChannelSettings*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }

  ULONG STDMETHODCALLTYPE AddRef() override {
    Count(kAddRef);
    return ++references_;
  }

  ULONG STDMETHODCALLTYPE Release() override {
    Count(kRelease);
    return --references_;
  }

  int32_t STDMETHODCALLTYPE Validate() override {
    Count(kValidate);
    return validateAnswer_;
  }

  HRESULT STDMETHODCALLTYPE GetHost(char* buffer, int32_t size) override {
    Count(kGetHost);
    hostBufferSize_ = size;
    WriteText(host_, buffer, size);
    return getterResult_;
  }

  HRESULT STDMETHODCALLTYPE GetPort(int32_t* port) override {
    Count(kGetPort);
    if (output_ != Output::kNothing && port != nullptr) *port = port_;
    return getterResult_;
  }

  HRESULT STDMETHODCALLTYPE GetObjectKey(char* buffer, int32_t size) override {
    Count(kGetObjectKey);
    keyBufferSize_ = size;
    WriteText(key_, buffer, size);
    return getterResult_;
  }

  HRESULT STDMETHODCALLTYPE GetSink(IUnknown** sink) override {
    Count(kGetSink);
    if (sink == nullptr) return E_POINTER;
    *sink = sink_;
    if (sink_ != nullptr) sink_->AddRef();
    return sinkResult_;
  }

  // The count of references held, the creator's included.
  uint32_t references() const { return references_; }
  int calls(Method method) const { return calls_[method]; }
  int totalCalls() const {
    int total = 0;
    for (const auto& count : calls_) total += count;
    return total;
  }
  // The calls of the settings operations proper (Validate to GetSink), in
  // the order made; reference counting and QueryInterface are left out.
  std::vector<Method> settingsCalls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return settingsCalls_;
  }
  // The size that the latest GetHost or GetObjectKey was given; -1 before.
  int32_t hostBufferSize() const { return hostBufferSize_; }
  int32_t keyBufferSize() const { return keyBufferSize_; }

  // The text that Output::kFillsBuffer writes for text into size bytes.
  static std::string FillText(const std::string& text, int32_t size) {
    std::string pattern = text.empty() ? std::string("x") : text;
    std::string filled;
    while (static_cast<int32_t>(filled.size()) < size) filled += pattern;
    filled.resize(std::max<int32_t>(size, 0));
    return filled;
  }

 private:
  void Count(Method method) {
    ++calls_[method];
    if (method >= kValidate) {
      std::lock_guard<std::mutex> lock(mutex_);
      settingsCalls_.push_back(method);
    }
  }

  void WriteText(const std::string& text, char* buffer, int32_t size) const {
    if (buffer == nullptr || size <= 0) return;
    switch (output_) {
      case Output::kTerminated: {
        size_t length = std::min(text.size(), static_cast<size_t>(size - 1));
        std::memcpy(buffer, text.data(), length);
        buffer[length] = '\0';
        break;
      }
      case Output::kFillsBuffer: {
        std::string filled = FillText(text, size);
        std::memcpy(buffer, filled.data(), filled.size());
        break;
      }
      case Output::kNothing:
        break;
    }
  }

  std::string host_ = "127.0.0.1";
  std::string key_ = "NotifyEventChannel";
  int32_t port_ = 2809;
  int32_t validateAnswer_ = 0;
  Output output_ = Output::kTerminated;
  HRESULT getterResult_ = S_OK;
  IUnknown* sink_ = nullptr;
  HRESULT sinkResult_ = S_OK;

  std::atomic<uint32_t> references_{1};
  std::atomic<int> calls_[kMethodCount] = {};
  std::atomic<int32_t> hostBufferSize_{-1};
  std::atomic<int32_t> keyBufferSize_{-1};
  mutable std::mutex mutex_;
  std::vector<Method> settingsCalls_;  // guarded by mutex_
};

}  // namespace testing
}  // namespace kestrel

#endif  // KESTREL_TESTS_SUPPORT_FAKE_SETTINGS_H_
