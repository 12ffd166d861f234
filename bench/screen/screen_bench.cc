// What reading an event through the type code screen costs next to omniORB
// reading it directly: the record's body alone, and a whole structured
// event as the consumer and kestrel-channeld receive it. Both read the same
// bytes from a memory stream, so the difference is the screen's own work.

#include <benchmark/benchmark.h>

#include <COS/CosNotification.hh>
#include <omniORB4/CORBA.h>

#include <vector>

#include "channel/event_record.h"
#include "channel/type_code_screen.h"
#include "kestrel.hh"

namespace {

CORBA::ORB_var orb;

CosNotification::StructuredEvent RecordEvent() {
  CosNotification::StructuredEvent event;
  event.header.fixed_header.event_type.domain_name = "Kestrel";
  event.header.fixed_header.event_type.type_name = "Notification";
  event.header.fixed_header.event_name = "disk";
  Kestrel::EventData record{};
  record.mModule = "disk";
  record.mHost = "host1";
  record.mSeverity = 3;
  record.mMessageCode = 0x1001;
  record.mDescription = "disk /var is 92% full";
  kestrel::InsertRecord(event.remainder_of_body, record);
  return event;
}

// An encoding that every iteration reads again, through a read-only stream
// of its own over the same bytes, as a request is read from the bytes that
// arrived.
class Wire {
 public:
  template <typename Value>
  explicit Wire(const Value& value) {
    cdrMemoryStream encoded;
    value >>= encoded;
    const auto* begin = static_cast<const CORBA::Octet*>(encoded.bufPtr());
    bytes_.assign(begin, begin + encoded.bufSize());
  }
  // Only read through: a stream over external bytes never writes to them.
  void* data() { return bytes_.data(); }
  size_t size() const { return bytes_.size(); }

 private:
  std::vector<CORBA::Octet> bytes_;
};

void BodyByOmniOrb(benchmark::State& state) {
  Wire wire(RecordEvent().remainder_of_body);
  for (auto _ : state) {
    cdrMemoryStream stream(wire.data(), wire.size());
    CORBA::Any body;
    body <<= stream;
    benchmark::DoNotOptimize(kestrel::ExtractRecord(body));
  }
}
BENCHMARK(BodyByOmniOrb);

void BodyThroughTheScreen(benchmark::State& state) {
  Wire wire(RecordEvent().remainder_of_body);
  for (auto _ : state) {
    cdrMemoryStream stream(wire.data(), wire.size());
    CORBA::Any body;
    kestrel::ReadScreenedAny(stream, body);
    benchmark::DoNotOptimize(kestrel::ExtractRecord(body));
  }
}
BENCHMARK(BodyThroughTheScreen);

void EventByOmniOrb(benchmark::State& state) {
  Wire wire(RecordEvent());
  for (auto _ : state) {
    cdrMemoryStream stream(wire.data(), wire.size());
    CosNotification::StructuredEvent event;
    event <<= stream;
    benchmark::DoNotOptimize(kestrel::ExtractRecord(event.remainder_of_body));
  }
}
BENCHMARK(EventByOmniOrb);

void EventThroughTheScreen(benchmark::State& state) {
  Wire wire(RecordEvent());
  for (auto _ : state) {
    cdrMemoryStream stream(wire.data(), wire.size());
    CosNotification::StructuredEvent event;
    kestrel::ReadScreenedEvent(stream, event);
    benchmark::DoNotOptimize(kestrel::ExtractRecord(event.remainder_of_body));
  }
}
BENCHMARK(EventThroughTheScreen);

}  // namespace

int main(int argc, char** argv) {
  int orbArgc = 0;
  orb = CORBA::ORB_init(orbArgc, nullptr);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  orb->destroy();
  return 0;
}
