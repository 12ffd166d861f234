#include "tools/listen/event_printer.h"

#include <time.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "tools/listen/event_line.h"

namespace kestrel {
namespace tools {

EventPrinter::EventPrinter(Format format, uint32_t limit, std::FILE* out, StopSignals* stop)
    : format_(format), limit_(limit), out_(out), stop_(stop) {}

HRESULT STDMETHODCALLTYPE EventPrinter::QueryInterface(const IID& riid, void** out) {
  if (out == nullptr) return E_POINTER;
  if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_INotificationSink)) {
    *out = static_cast<INotificationSink*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE EventPrinter::AddRef() { return ++count_; }

ULONG STDMETHODCALLTYPE EventPrinter::Release() {
  uint32_t remaining = --count_;
  if (remaining == 0) delete this;
  return remaining;
}

HRESULT STDMETHODCALLTYPE EventPrinter::OnEvent(const char* module, const char* host,
                                                uint32_t severity, uint32_t messageCode,
                                                const char* description) {
  timespec receivedAt;
  clock_gettime(CLOCK_REALTIME, &receivedAt);
  EventFields event = {module, host, severity, messageCode, description};
  std::string line = format_ == Format::kJson ? JsonLine(event) : TextLine(event, receivedAt);

  std::lock_guard<std::mutex> lock(outputMutex_);
  if (outputFailed_ || (limit_ != 0 && printed_ >= limit_)) return S_OK;
  bool written = std::fwrite(line.data(), 1, line.size(), out_) == line.size();
  written = std::fflush(out_) == 0 && written;
  if (!written) {
    outputFailed_ = true;
    std::fprintf(stderr, "kestrel-listen: cannot write the events: %s\n", std::strerror(errno));
    stop_->Request("cannot write", 1);
    return E_FAIL;
  }
  ++printed_;
  if (limit_ != 0 && printed_ == limit_) stop_->Request("--count reached");
  return S_OK;
}

}  // namespace tools
}  // namespace kestrel
