// The consumer that the benchmarks' helper processes serve: it only counts,
// and every `report` events (0: never) writes the count as a line to stdout,
// which the bench reads to know what has arrived. WriteCountNow answers a
// bench that must know the exact count between two reports (events lost).
// An event whose name is `closing` (when given) is counted and reported at
// once: a bench pushes one last to learn the exact count, since it arrives
// after everything pushed before it.

#ifndef KESTREL_BENCH_COMMON_COUNTING_CONSUMER_H_
#define KESTREL_BENCH_COMMON_COUNTING_CONSUMER_H_

#include <COS/CosNotifyComm.hh>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kestrel {
namespace bench {

class CountingConsumer : public POA_CosNotifyComm::StructuredPushConsumer {
 public:
  explicit CountingConsumer(long report, const char* closing = nullptr)
      : report_(report), closing_(closing) {}
  void push_structured_event(const CosNotification::StructuredEvent& event) override {
    long count = ++count_;
    if ((report_ > 0 && count % report_ == 0) || IsClosing(event)) WriteLine("", count);
  }
  // Writes "now COUNT": a line that the periodic reports never look like.
  // Safe on any thread.
  void WriteCountNow() { WriteLine("now ", count_.load()); }
  void disconnect_structured_push_consumer() override {}
  void offer_change(const CosNotification::EventTypeSeq&,
                    const CosNotification::EventTypeSeq&) override {}

 private:
  // One write per line, so that lines of two threads never mix.
  static void WriteLine(const char* prefix, long count) {
    char line[48];
    int length = std::snprintf(line, sizeof line, "%s%ld\n", prefix, count);
    if (::write(STDOUT_FILENO, line, static_cast<size_t>(length)) < 0) std::abort();
  }
  bool IsClosing(const CosNotification::StructuredEvent& event) const {
    const char* name = event.header.fixed_header.event_name.in();
    return closing_ != nullptr && name != nullptr && std::strcmp(name, closing_) == 0;
  }

  const long report_;
  const char* const closing_;  // borrowed: outlives the consumer
  std::atomic<long> count_{0};
};

}  // namespace bench
}  // namespace kestrel

#endif  // KESTREL_BENCH_COMMON_COUNTING_CONSUMER_H_
