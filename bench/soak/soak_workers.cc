#include "bench/soak/soak_workers.h"

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <string>

#include "bench/soak/monotonic_clock.h"
#include "bench/soak/soak_records.h"
#include "bench/soak/stop_signal.h"
#include "kestrel/kestrel.h"
#include "tools/common/channel_settings.h"
#include "tools/common/component_loader.h"

namespace kestrel {
namespace soak {

namespace {

using kestrel::tools::ChannelSettings;
using kestrel::tools::DescribeResult;

// The service may be between two runs when a worker starts.
constexpr int64_t kGiveUpConnectingNs = 30 * kNsPerSecond;
constexpr int64_t kRetryConnectingNs = 200 * kNsPerMs;

ChannelSettings* NewSettings(const WorkerOptions& options, IUnknown* sink = nullptr) {
  return new ChannelSettings("127.0.0.1", static_cast<int32_t>(options.port), kChannelKey, sink);
}

void SayReady() {
  std::fputs("ready\n", stdout);
  std::fflush(stdout);
}

const char* RoleName(const WorkerOptions& options) {
  return options.role == WorkerOptions::Role::kSupplier ? "supplier" : "consumer";
}

void Complain(const WorkerOptions& options, const char* what, HRESULT hr) {
  std::fprintf(stderr, "kestrel_soak %s %u: %s: %s\n", RoleName(options), options.id, what,
               DescribeResult(hr).c_str());
}

// Calls attempt until it answers S_OK, the time is up or a stop signal
// comes; answers the last result.
template <class Attempt>
HRESULT KeepTrying(StopSignal* stop, Attempt attempt) {
  int64_t deadline = NowNs() + kGiveUpConnectingNs;
  HRESULT hr = attempt();
  while (hr != S_OK && NowNs() < deadline && !stop->Wait(kRetryConnectingNs)) hr = attempt();
  return hr;
}

// The consumer's sink: one record per event. Owned by its references.
class ReceiptSink final : public INotificationSink {
 public:
  explicit ReceiptSink(RecordFile* records) : records_(records) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(const IID& riid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_INotificationSink)) {
      *out = static_cast<INotificationSink*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE OnEvent(const char* module, const char*, uint32_t severity,
                                    uint32_t messageCode, const char* description) override {
    int64_t received = NowNs();
    uint32_t supplier = 0;
    uint32_t seq = 0;
    char line[96];
    int length;
    if (ParseEvent(module, severity, messageCode, description, &supplier, &seq)) {
      length = std::snprintf(line, sizeof line, "%u %u %" PRId64 "\n", supplier, seq, received);
    } else {
      length = std::snprintf(line, sizeof line, "? %" PRId64 "\n", received);
    }
    records_->Write(line, static_cast<size_t>(length));
    records_->FlushNowAndThen(received);
    return S_OK;
  }

 private:
  ~ReceiptSink() = default;

  std::atomic<uint32_t> references_{1};
  RecordFile* records_;
};

}  // namespace

int RunSupplier(const WorkerOptions& options) {
  RecordFile records;
  if (!records.Open(options.records)) {
    std::fprintf(stderr, "kestrel_soak supplier %u: cannot write %s\n", options.id, options.records.c_str());
    return 1;
  }
  INotificationSupplier* supplier = nullptr;
  HRESULT hr = kestrel::tools::CreateComponent(CLSID_NotificationSupplier, IID_INotificationSupplier,
                                               reinterpret_cast<void**>(&supplier));
  if (hr != S_OK) {
    Complain(options, "creating the supplier", hr);
    return 1;
  }
  StopSignal stop;
  std::string module = kSoakModule;
  hr = KeepTrying(&stop, [&] { return supplier->Initialize(NewSettings(options), module.c_str()); });
  if (hr != S_OK) {
    Complain(options, "Initialize", hr);
    supplier->Release();
    return 1;
  }
  SayReady();
  if (!stop.WaitForGo()) {
    supplier->Release();
    records.Close();
    return 0;
  }

  const int64_t period = kNsPerSecond / options.rate;
  // Golden-ratio steps spread any number of ids out over the period.
  double phase = static_cast<double>(options.id) * 0.6180339887498949;
  phase -= static_cast<double>(static_cast<int64_t>(phase));
  int64_t next = NowNs() + static_cast<int64_t>(phase * static_cast<double>(period));
  for (uint32_t seq = 0; !stop.Wait(next - NowNs()); ++seq) {
    std::string description = EventDescription(options.id, seq);
    int64_t start = NowNs();
    hr = supplier->Publish(options.id, seq, description.c_str());
    int64_t end = NowNs();
    char line[96];
    int length = std::snprintf(line, sizeof line, "%u %" PRId64 " %" PRId64 " %08x\n", seq, start, end,
                               static_cast<unsigned>(hr));
    records.Write(line, static_cast<size_t>(length));
    records.FlushNowAndThen(end);
    next += period;
    if (next < end) next = end;
  }
  supplier->Release();
  records.Close();
  return 0;
}

int RunConsumer(const WorkerOptions& options) {
  RecordFile records;
  if (!records.Open(options.records)) {
    std::fprintf(stderr, "kestrel_soak consumer %u: cannot write %s\n", options.id, options.records.c_str());
    return 1;
  }
  INotificationConsumer* consumer = nullptr;
  HRESULT hr = kestrel::tools::CreateComponent(CLSID_NotificationConsumer, IID_INotificationConsumer,
                                               reinterpret_cast<void**>(&consumer));
  if (hr != S_OK) {
    Complain(options, "creating the consumer", hr);
    return 1;
  }
  auto* sink = new ReceiptSink(&records);
  StopSignal stop;
  hr = KeepTrying(&stop, [&] { return consumer->Connect(NewSettings(options, sink), options.threads); });
  if (hr == S_OK) {
    SayReady();
    stop.WaitForever();
  } else {
    Complain(options, "Connect", hr);
  }
  // Disconnect returns once no delivery uses the sink, so the records are
  // complete when the file closes.
  consumer->Disconnect();
  consumer->Release();
  sink->Release();
  records.Close();
  return hr == S_OK ? 0 : 1;
}

}  // namespace soak
}  // namespace kestrel
