// kestrel-listen's sink: writes one line for every notification that the
// consumer delivers, and asks the program to stop once it has written as
// many as it was asked for.
//
// A reference-counted object like any sink: the program, the settings and
// the library each hold references, and the last Release frees it.

#ifndef KESTREL_TOOLS_LISTEN_EVENT_PRINTER_H_
#define KESTREL_TOOLS_LISTEN_EVENT_PRINTER_H_

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>

#include "kestrel/notification.h"
#include "tools/common/stop_signals.h"

namespace kestrel {
namespace tools {

class EventPrinter final : public INotificationSink {
 public:
  enum class Format { kText, kJson };

  // Writes to out; limit 0 means no limit. Starts with one reference, the
  // caller's.
  // REQUIRES: out and stop outlive every delivery, that is, the consumer's
  // Disconnect.
  EventPrinter(Format format, uint32_t limit, std::FILE* out, StopSignals* stop);
  EventPrinter(const EventPrinter&) = delete;
  EventPrinter& operator=(const EventPrinter&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(const IID& riid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // Runs on the library's delivery threads, several at once when the
  // consumer has several. Lines are written whole and flushed one at a
  // time; past the limit, events are dropped. A failed write is reported
  // on stderr once, asks for exit status 1, and drops every later event.
  HRESULT STDMETHODCALLTYPE OnEvent(const char* module, const char* host, uint32_t severity,
                                    uint32_t messageCode, const char* description) override;

 private:
  ~EventPrinter() = default;

  std::atomic<uint32_t> count_{1};
  const Format format_;
  const uint32_t limit_;
  std::FILE* const out_;
  StopSignals* const stop_;

  // Serialises the writing and guards what follows.
  std::mutex outputMutex_;
  uint32_t printed_ = 0;
  bool outputFailed_ = false;
};

}  // namespace tools
}  // namespace kestrel

#endif  // KESTREL_TOOLS_LISTEN_EVENT_PRINTER_H_
