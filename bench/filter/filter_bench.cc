// What kestrel-channeld pays per event for one filter constraint: a view of
// the event as it arrived (filter::EventView), then one compiled constraint
// evaluated against it. The constraint is compiled once, as a filter object
// does when a client adds it; each iteration is one event.
//
//   ViewOnly/desc:D/props:P          the view alone: what every event that
//                                    meets a filter costs before any
//                                    constraint reads it
//   <constraint>/desc:D/props:P      the view, then the constraint
//
// D is the length of the record's description in bytes and P the number of
// filterable properties beside it. The event is a Kestrel record built with
// InsertRecord, encoded and read back through the type code screen, so that
// its anys hold what the service's hold: the bytes that came in, not the
// values a client inserted. Every constraint is true for these events, so
// each is evaluated to the end; the description ends with the word that the
// substring constraint looks for, so that its search reads the whole text.

#include <benchmark/benchmark.h>

#include <COS/CosNotification.hh>
#include <omniORB4/CORBA.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "channel/event_record.h"
#include "channel/type_code_screen.h"
#include "filter/constraint.h"
#include "filter/event_view.h"
#include "kestrel.hh"

namespace {

CORBA::ORB_var orb;

struct NamedConstraint {
  const char* name;
  const char* text;
};

// The three that Kestrel's users write most, and one on the header alone
// for comparison: it never decodes the body.
const NamedConstraint kConstraints[] = {
    {"Severity", "$.remainder_of_body.mSeverity >= 4"},
    {"Module", "$.remainder_of_body.mModule == 'disk'"},
    {"Substring", "'full' ~ $.remainder_of_body.mDescription"},
    {"HeaderOnly", "$type_name == 'Notification'"},
};

const long kDescriptionSizes[] = {16, 1024, 64 * 1024};
const long kPropertyCounts[] = {0, 10, 100};

// length bytes of text that end in "/var is 97% full" (16 bytes).
std::string Description(long length) {
  static const std::string kEnd = "/var is 97% full";
  static const std::string kFiller = "the spool volume holds mail queues and logs. ";
  std::string text;
  while (static_cast<long>(text.size() + kEnd.size()) < length) text += kFiller;
  text.resize(static_cast<std::size_t>(length) - kEnd.size());
  return text + kEnd;
}

// Properties as suppliers add them: numbers and short strings, alternating.
CosNotification::StructuredEvent KestrelEvent(long descriptionLength, long properties) {
  CosNotification::StructuredEvent event;
  event.header.fixed_header.event_type.domain_name = "Kestrel";
  event.header.fixed_header.event_type.type_name = "Notification";
  event.header.fixed_header.event_name = "disk";
  event.filterable_data.length(static_cast<CORBA::ULong>(properties));
  for (CORBA::ULong i = 0; i < event.filterable_data.length(); ++i) {
    event.filterable_data[i].name = ("Property" + std::to_string(i)).c_str();
    if (i % 2 == 0) {
      event.filterable_data[i].value <<= static_cast<CORBA::ULong>(i);
    } else {
      event.filterable_data[i].value <<= ("value " + std::to_string(i)).c_str();
    }
  }
  Kestrel::EventData record{};
  kestrel::SetRecordText(record.mModule, "disk");
  kestrel::SetRecordText(record.mHost, "host1");
  record.mSeverity = 4;
  record.mMessageCode = 0x1001;
  kestrel::SetRecordText(record.mDescription, Description(descriptionLength).c_str());
  kestrel::InsertRecord(event.remainder_of_body, record);
  return event;
}

// The event as the service holds it once a push has been read: encoded, then
// decoded through the screen. Answers the size of the encoding too.
CosNotification::StructuredEvent AsReceived(const CosNotification::StructuredEvent& sent,
                                            std::size_t* wireBytes) {
  cdrMemoryStream encoded;
  sent >>= encoded;
  *wireBytes = encoded.bufSize();
  cdrMemoryStream incoming(encoded.bufPtr(), encoded.bufSize());
  CosNotification::StructuredEvent received;
  kestrel::ReadScreenedEvent(incoming, received);
  return received;
}

void ViewOnly(benchmark::State& state, long descriptionLength, long properties) {
  std::size_t wireBytes = 0;
  const CosNotification::StructuredEvent event =
      AsReceived(KestrelEvent(descriptionLength, properties), &wireBytes);
  for (auto _ : state) {
    kestrel::filter::EventView view(event);
    benchmark::DoNotOptimize(view.Root());
  }
  state.counters["wire_bytes"] = static_cast<double>(wireBytes);
}

void ViewAndMatch(benchmark::State& state, const char* text, long descriptionLength,
                  long properties) {
  std::unique_ptr<kestrel::filter::Constraint> constraint;
  if (!kestrel::filter::Constraint::Compile(text, &constraint).ok) {
    state.SkipWithError("the constraint does not compile");
    return;
  }
  std::size_t wireBytes = 0;
  const CosNotification::StructuredEvent event =
      AsReceived(KestrelEvent(descriptionLength, properties), &wireBytes);
  {
    kestrel::filter::EventView view(event);
    if (!constraint->Matches(&view)) {
      state.SkipWithError("the constraint does not match the event: it would stop early");
      return;
    }
  }
  for (auto _ : state) {
    kestrel::filter::EventView view(event);
    benchmark::DoNotOptimize(constraint->Matches(&view));
  }
  state.counters["wire_bytes"] = static_cast<double>(wireBytes);
}

std::string Suffix(long descriptionLength, long properties) {
  return "/desc:" + std::to_string(descriptionLength) + "/props:" + std::to_string(properties);
}

void RegisterAll() {
  for (long properties : kPropertyCounts) {
    for (long length : kDescriptionSizes) {
      benchmark::RegisterBenchmark(("ViewOnly" + Suffix(length, properties)).c_str(), ViewOnly,
                                   length, properties)
          ->Unit(benchmark::kNanosecond);
    }
  }
  for (const NamedConstraint& constraint : kConstraints) {
    for (long properties : kPropertyCounts) {
      for (long length : kDescriptionSizes) {
        benchmark::RegisterBenchmark((constraint.name + Suffix(length, properties)).c_str(),
                                     ViewAndMatch, constraint.text, length, properties)
            ->Unit(benchmark::kNanosecond);
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  int orbArgc = 0;
  orb = CORBA::ORB_init(orbArgc, nullptr);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  for (const NamedConstraint& constraint : kConstraints) {
    std::printf("%-10s  %s\n", constraint.name, constraint.text);
  }
  RegisterAll();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  orb->destroy();
  return 0;
}
