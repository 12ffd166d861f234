// A client's event sink for tests: keeps a copy of every event it is given,
// counts its references, and can be slow or fail on purpose. Records how
// many OnEvent calls ran at once and on which threads.
//
// Owned by the test, not by its count: it never deletes itself, so a test
// can check references() after the library let go. Thread-safe.

#ifndef KESTREL_TESTS_SUPPORT_RECORDING_SINK_H_
#define KESTREL_TESTS_SUPPORT_RECORDING_SINK_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kestrel/notification.h"

namespace kestrel {
namespace testing {

struct ReceivedEvent {
  std::string module;
  std::string host;
  uint32_t severity;
  uint32_t messageCode;
  std::string description;
};

class RecordingSink : public INotificationSink {
 public:
  RecordingSink() = default;
  RecordingSink(const RecordingSink&) = delete;
  RecordingSink& operator=(const RecordingSink&) = delete;

  void set_delay(std::chrono::milliseconds delay) { delay_ = delay; }
  void set_result(HRESULT result) { result_ = result; }
  // Runs inside OnEvent, after the event is recorded (for tests that call
  // back into the library from a delivery).
  void set_onEvent(std::function<void()> action) {
    std::lock_guard<std::mutex> lock(mutex_);
    action_ = std::move(action);
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(const IID& riid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_INotificationSink) {
      *out = static_cast<INotificationSink*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override { return --references_; }

  HRESULT STDMETHODCALLTYPE OnEvent(const char* module, const char* host, uint32_t severity,
                                    uint32_t messageCode, const char* description) override {
    int running = ++running_;
    int seen = maxRunning_.load();
    while (running > seen && !maxRunning_.compare_exchange_weak(seen, running)) {
    }
    std::function<void()> action;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back({module, host, severity, messageCode, description});
      threads_.insert(std::this_thread::get_id());
      action = action_;
    }
    if (delay_.count() > 0) std::this_thread::sleep_for(delay_);
    --running_;
    arrived_.notify_all();
    if (action) action();
    return result_;
  }

  bool WaitForEvents(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, timeout, [this, n] { return events_.size() >= n; });
  }
  std::vector<ReceivedEvent> events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  size_t count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_.size();
  }
  std::set<std::thread::id> threads() {
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_;
  }
  uint32_t references() const { return references_; }
  int maxRunning() const { return maxRunning_; }

 private:
  std::atomic<uint32_t> references_{1};
  std::atomic<int> running_{0};
  std::atomic<int> maxRunning_{0};
  std::chrono::milliseconds delay_{0};
  HRESULT result_ = S_OK;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<ReceivedEvent> events_;
  std::set<std::thread::id> threads_;
  std::function<void()> action_;
};

}  // namespace testing
}  // namespace kestrel

#endif  // KESTREL_TESTS_SUPPORT_RECORDING_SINK_H_
