// filter_delivery_bench: what consumers' filters cost kestrel-channeld's
// deliveries, in three shapes measured in one run:
//
//   no filter      one consumer whose proxy holds no filter
//   filter         the same consumer, its proxy holding a filter with one
//                  constraint that reads the body and passes every event
//                  ($.remainder_of_body.mSeverity >= 0)
//   ten filters    ten consumers, each proxy holding a filter for one
//                  severity ($.remainder_of_body.mSeverity == N, N = 0..9);
//                  the events' severities cycle 0..9, so each consumer
//                  should get a tenth of them and nothing else
//
// The filters are made as clients make them: the channel's default filter
// factory, create_filter("EXTENDED_TCL"), add_constraints, add_filter on the
// consumer's proxy. The first two shapes are one kestrel-channeld and one
// consumer whose proxy is given the filter for the filtered rounds and has
// it removed for the others: on a busy machine two services, or two
// consumer processes, settle into rates that differ by more than the
// filter's cost, so only the filter may differ between the two. The ten
// consumers have a kestrel-channeld of their own.
//
// A round pushes --events Kestrel records (InsertRecord) two-way from one
// supplier in this process, and lasts until every consumer has what it
// should; the shapes take turns round by round, so that all see the same
// machine, after one warm-up round each. Printed: the delivered rate (the
// median of the rounds, and their range), channeld's CPU time per event,
// each shape's rate against the unfiltered one (the median of paired
// rounds), and the events that consumers should have had and did not
// (lost) or had more often than they were pushed (extra), counted up to a
// closing event that each consumer's filter passes.
//
// Each consumer is a helper process of its own (this program run with
// --filter-consumer-helper), as Kestrel's listeners are: ten consumers in one
// process would share omniORB's few client connections from the service to
// that process, and measure those instead of the filters. A helper that
// receives an event of another severity than its filter takes says so on
// stderr and ends, so its events count as lost.
//
//   filter_delivery_bench [--rounds N] [--events N]

#include <COS/CosNotifyChannelAdmin.hh>
#include <COS/CosNotifyComm.hh>
#include <COS/CosNotifyFilter.hh>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bench/common/bare_publisher.h"
#include "bench/common/channel_helpers.h"
#include "bench/common/counting_consumer.h"
#include "bench/common/figures.h"
#include "bench/common/helper_process.h"
#include "channel/event_record.h"
#include "kestrel.hh"
#include "tests/support/channel_service.h"

namespace {

using Clock = std::chrono::steady_clock;
using kestrel::bench::CountingConsumer;
using kestrel::bench::CpuSecondsOf;
using kestrel::bench::HelperProcess;
using kestrel::bench::Median;
using kestrel::testing::ChannelService;

constexpr const char* kHelperOption = "--filter-consumer-helper";
constexpr int kSeverities = 10;
// The name of the last event that each consumer is sent, which its filter
// passes: the count it reports for it is exact.
constexpr const char* kClosingName = "closing";
// How long a round's consumers may take to have their events.
constexpr int kRoundTimeoutMs = 30000;
constexpr int kClosingTimeoutMs = 10000;

struct Options {
  int rounds = 3;
  long events = 20000;
};

// A filter of channel's factory with the one constraint given, for every
// event type.
CosNotifyFilter::Filter_ptr NewFilter(CosNotifyChannelAdmin::EventChannel_ptr channel,
                                      const std::string& constraint) {
  CosNotifyFilter::FilterFactory_var factory = channel->default_filter_factory();
  CosNotifyFilter::Filter_var filter = factory->create_filter("EXTENDED_TCL");
  CosNotifyFilter::ConstraintExpSeq constraints;
  constraints.length(1);
  constraints[0].constraint_expr = constraint.c_str();
  CosNotifyFilter::ConstraintInfoSeq_var added = filter->add_constraints(constraints);
  return filter._retn();
}

// A counting consumer that ends its process, saying why, at an event of
// another severity than the one its filter takes (severity -1: takes all).
class OneSeverityConsumer : public CountingConsumer {
 public:
  OneSeverityConsumer(long report, long severity)
      : CountingConsumer(report, kClosingName), severity_(severity) {}
  void push_structured_event(const CosNotification::StructuredEvent& event) override {
    if (severity_ >= 0) {
      const Kestrel::EventData* record = kestrel::ExtractRecord(event.remainder_of_body);
      if (record == nullptr || record->mSeverity != static_cast<CORBA::ULong>(severity_)) {
        std::fprintf(stderr, "filter_delivery_bench: the consumer of severity %ld got %s\n",
                     severity_,
                     record == nullptr ? "an event without a record"
                                       : ("severity " + std::to_string(record->mSeverity)).c_str());
        ::_exit(3);
      }
    }
    CountingConsumer::push_structured_event(event);
  }

 private:
  const long severity_;  // -1: any
};

// --filter-consumer-helper REPORT CHANNEL [CONSTRAINT [SEVERITY]]
//
// A OneSeverityConsumer connected to CHANNEL through a proxy of its default
// consumer admin, which holds a filter with CONSTRAINT (none when absent or
// empty). Prints "connected PROXY-ID" once connected, then serves until
// killed.
int RunFilterConsumerHelper(long report, const char* channelAddress, const char* constraint,
                            long severity) {
  try {
    CORBA::ORB_var orb = kestrel::bench::InitOrb();
    CORBA::Object_var root = orb->resolve_initial_references("RootPOA");
    PortableServer::POA_var poa = PortableServer::POA::_narrow(root.in());
    PortableServer::Servant_var<OneSeverityConsumer> servant =
        new OneSeverityConsumer(report, severity);
    PortableServer::ObjectId_var id = poa->activate_object(servant.in());
    CORBA::Object_var reference = poa->id_to_reference(id.in());
    CosNotifyComm::StructuredPushConsumer_var consumer =
        CosNotifyComm::StructuredPushConsumer::_narrow(reference.in());

    CORBA::Object_var object = orb->string_to_object(channelAddress);
    CosNotifyChannelAdmin::EventChannel_var channel =
        CosNotifyChannelAdmin::EventChannel::_narrow(object.in());
    if (CORBA::is_nil(channel)) return 1;
    CosNotifyChannelAdmin::ConsumerAdmin_var admin = channel->default_consumer_admin();
    CosNotifyChannelAdmin::ProxyID proxyId;
    CosNotifyChannelAdmin::ProxySupplier_var proxy = admin->obtain_notification_push_supplier(
        CosNotifyChannelAdmin::STRUCTURED_EVENT, proxyId);
    CosNotifyChannelAdmin::StructuredProxyPushSupplier_var structured =
        CosNotifyChannelAdmin::StructuredProxyPushSupplier::_narrow(proxy.in());
    if (CORBA::is_nil(structured)) return 1;
    if (constraint != nullptr && constraint[0] != '\0') {
      CosNotifyFilter::Filter_var filter = NewFilter(channel.in(), constraint);
      structured->add_filter(filter.in());
    }
    structured->connect_structured_push_consumer(consumer.in());
    std::printf("connected %ld\n", static_cast<long>(proxyId));
    std::fflush(stdout);
    orb->run();
  } catch (const CORBA::Exception& e) {
    std::fprintf(stderr, "filter_delivery_bench: consumer helper: %s\n", e._name());
    return 1;
  }
  return 0;
}

// The header that Kestrel sends, and a record of the given severity.
CosNotification::StructuredEvent KestrelEvent(CORBA::ULong severity, const char* name) {
  CosNotification::StructuredEvent event;
  event.header.fixed_header.event_type.domain_name = "TNW";
  event.header.fixed_header.event_type.type_name = "Event";
  event.header.fixed_header.event_name = name;
  Kestrel::EventData record{};
  kestrel::SetRecordText(record.mModule, "disk");
  kestrel::SetRecordText(record.mHost, kestrel::bench::LocalHostName().c_str());
  record.mSeverity = severity;
  record.mMessageCode = 0x1000 + severity;
  kestrel::SetRecordText(record.mDescription, "disk /var is 97% full");
  kestrel::InsertRecord(event.remainder_of_body, record);
  return event;
}

// What one shape measured, round by round.
struct Series {
  explicit Series(const char* label) : label(label) {}
  const char* label;
  std::vector<double> rounds;  // delivered events per second
  double cpuSeconds = 0;       // channeld's, over the rounds
  double events = 0;
  double cpuMicrosecondsPerEvent() const { return events > 0 ? cpuSeconds * 1e6 / events : 0; }
};

struct Consumer {
  long severity;  // the one its filter takes; -1: every one
  long proxyId = -1;
  HelperProcess process;
  long reported = 0;  // its count once closed, not counting the closing event
  bool exact = false;  // the closing event's report came: reported is exact
};

// One kestrel-channeld, its consumers and the supplier's proxy.
class Pipeline {
 public:
  explicit Pipeline(long eventsPerRound) : eventsPerRound_(eventsPerRound) {}

  // One consumer per entry of constraints ("" for no filter), of the
  // severity at the same index of severities (-1: every one).
  bool Start(CORBA::ORB_ptr orb, const std::vector<std::string>& constraints,
             const std::vector<long>& severities) {
    if (!service_.Start()) {
      std::fprintf(stderr, "filter_delivery_bench: kestrel-channeld did not start (%s)\n",
                   ChannelService::ProgramPath().c_str());
      return false;
    }
    for (std::size_t i = 0; i < constraints.size(); ++i) {
      consumers_.emplace_back(new Consumer);
      Consumer& consumer = *consumers_.back();
      consumer.severity = severities[i];
      // One report a round: a line per event would fill the pipe while the
      // supplier pushes.
      long report = consumer.severity < 0 ? eventsPerRound_ : eventsPerRound_ / kSeverities;
      std::string ready;
      if (!consumer.process.Start({"/proc/self/exe", kHelperOption, std::to_string(report),
                                   service_.address(), constraints[i],
                                   std::to_string(consumer.severity)},
                                  &ready) ||
          ready.compare(0, 10, "connected ") != 0) {
        std::fprintf(stderr, "filter_delivery_bench: a consumer did not connect\n");
        return false;
      }
      consumer.proxyId = std::atol(ready.c_str() + 10);
    }
    CORBA::Object_var object = orb->string_to_object(service_.address().c_str());
    channel_ = CosNotifyChannelAdmin::EventChannel::_narrow(object.in());
    if (CORBA::is_nil(channel_)) return false;
    CosNotifyChannelAdmin::SupplierAdmin_var admin = channel_->default_supplier_admin();
    CosNotifyChannelAdmin::ProxyID id;
    CosNotifyChannelAdmin::ProxyConsumer_var proxy =
        admin->obtain_notification_push_consumer(CosNotifyChannelAdmin::STRUCTURED_EVENT, id);
    proxy_ = CosNotifyChannelAdmin::StructuredProxyPushConsumer::_narrow(proxy.in());
    if (CORBA::is_nil(proxy_)) return false;
    proxy_->connect_structured_push_supplier(CosNotifyComm::StructuredPushSupplier::_nil());
    for (CORBA::ULong severity = 0; severity < kSeverities; ++severity) {
      events_.push_back(KestrelEvent(severity, "SystemEvent"));
    }
    return true;
  }

  // Makes a filter with constraint for the first consumer's proxy, which
  // UseFilter gives it and takes back. False when the proxy is not found.
  bool PrepareFilter(const std::string& constraint) {
    CosNotifyChannelAdmin::ConsumerAdmin_var admin = channel_->default_consumer_admin();
    CosNotifyChannelAdmin::ProxySupplier_var proxy =
        admin->get_proxy_supplier(static_cast<CosNotifyChannelAdmin::ProxyID>(
            consumers_.front()->proxyId));
    filtered_ = CosNotifyChannelAdmin::StructuredProxyPushSupplier::_narrow(proxy.in());
    if (CORBA::is_nil(filtered_)) return false;
    filter_ = NewFilter(channel_.in(), constraint);
    return true;
  }

  void UseFilter(bool use) {
    if (use && filterId_ < 0) {
      filterId_ = filtered_->add_filter(filter_.in());
    } else if (!use && filterId_ >= 0) {
      filtered_->remove_filter(static_cast<CosNotifyFilter::FilterID>(filterId_));
      filterId_ = -1;
    }
  }

  // Pushes a round of events and waits for every consumer to have its share;
  // adds it to series unless that is null (a warm-up). False when a consumer
  // ended or did not get its share in time.
  bool Round(Series* series) {
    const double cpu = CpuSecondsOf(service_.pid());
    Clock::time_point started = Clock::now();
    for (long i = 0; i < eventsPerRound_; ++i) {
      proxy_->push_structured_event(events_[static_cast<std::size_t>((pushed_ + i) % kSeverities)]);
    }
    pushed_ += eventsPerRound_;
    for (auto& consumer : consumers_) {
      if (!consumer->process.WaitForCount(Expected(*consumer), kRoundTimeoutMs)) return false;
    }
    double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    if (series != nullptr) {
      series->rounds.push_back(eventsPerRound_ / seconds);
      series->cpuSeconds += CpuSecondsOf(service_.pid()) - cpu;
      series->events += eventsPerRound_;
    }
    return true;
  }

  // Pushes one closing event for each consumer, which its filter passes, and
  // reads each one's exact count.
  void Close() {
    if (pushed_ == 0) return;
    for (auto& consumer : consumers_) {
      CORBA::ULong severity = consumer->severity >= 0 ? consumer->severity : 0;
      proxy_->push_structured_event(KestrelEvent(severity, kClosingName));
    }
    for (auto& consumer : consumers_) {
      HelperProcess& process = consumer->process;
      consumer->exact = process.WaitForCount(Expected(*consumer) + 1, kClosingTimeoutMs);
      // A consumer that got more than its share reports past the count
      // waited for: read on to its last line.
      while (process.reported() > Expected(*consumer) + 1 &&
             process.WaitForCount(process.reported() + 1, 500)) {
      }
      // Without its report the closing event may not have arrived at all.
      consumer->reported = consumer->exact ? process.reported() - 1 : process.reported();
    }
  }

  long lost() const {
    long lost = 0;
    for (const auto& consumer : consumers_) {
      lost += std::max(0L, Expected(*consumer) - consumer->reported);
    }
    return lost;
  }
  long extra() const {
    long extra = 0;
    for (const auto& consumer : consumers_) {
      extra += std::max(0L, consumer->reported - Expected(*consumer));
    }
    return extra;
  }
  // Whether lost() is the exact count, not a floor.
  bool exact() const {
    return std::all_of(consumers_.begin(), consumers_.end(),
                       [](const auto& consumer) { return consumer->exact; });
  }

  void Stop() {
    filtered_ = CosNotifyChannelAdmin::StructuredProxyPushSupplier::_nil();
    filter_ = CosNotifyFilter::Filter::_nil();
    proxy_ = CosNotifyChannelAdmin::StructuredProxyPushConsumer::_nil();
    channel_ = CosNotifyChannelAdmin::EventChannel::_nil();
    for (auto& consumer : consumers_) consumer->process.Stop();
    service_.Stop();
  }

 private:
  // What consumer should have had of the events pushed so far (not counting
  // the closing one): all of them, or those of its severity. Rounds are
  // whole multiples of the severities, so each has exactly a tenth.
  long Expected(const Consumer& consumer) const {
    return consumer.severity < 0 ? pushed_ : pushed_ / kSeverities;
  }

  const long eventsPerRound_;
  ChannelService service_;
  std::vector<std::unique_ptr<Consumer>> consumers_;
  CosNotifyChannelAdmin::EventChannel_var channel_;
  CosNotifyChannelAdmin::StructuredProxyPushConsumer_var proxy_;
  std::vector<CosNotification::StructuredEvent> events_;
  long pushed_ = 0;
  CosNotifyChannelAdmin::StructuredProxyPushSupplier_var filtered_;
  CosNotifyFilter::Filter_var filter_;
  long filterId_ = -1;  // while filtered_ holds filter_
};

bool TakeOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const bool hasValue = i + 1 < argc;
    if (std::strcmp(argv[i], "--rounds") == 0 && hasValue) {
      options->rounds = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--events") == 0 && hasValue) {
      options->events = std::atol(argv[++i]);
    } else {
      return false;
    }
  }
  // Each consumer of ten must get a whole share of every round.
  return options->rounds > 0 && options->events >= kSeverities &&
         options->events % kSeverities == 0;
}

// A series' rates against the unfiltered one's, round by round: rounds of
// the same index ran one after the other, on the same machine.
std::vector<double> PairedRatios(const Series& series, const Series& base) {
  std::vector<double> ratios;
  for (std::size_t i = 0; i < series.rounds.size() && i < base.rounds.size(); ++i) {
    if (base.rounds[i] > 0) ratios.push_back(series.rounds[i] / base.rounds[i]);
  }
  return ratios;
}

std::string Format(const char* format, double first, double second, double third) {
  char text[64];
  std::snprintf(text, sizeof text, format, first, second, third);
  return text;
}

// rows: a series, and the pipeline whose consumers it counts (null: the
// row above counted them).
void PrintTable(const Options& options,
                const std::vector<std::pair<const Series*, const Pipeline*>>& rows) {
  std::printf("\nkestrel-channeld, filters on consumers' proxies: %d rounds of %ld two-way pushes "
              "of Kestrel records per shape\n\n",
              options.rounds, options.events);
  std::printf("%-45s %-20s %8s %-21s %6s %5s\n", "", "delivered/s", "channeld",
              "against no filter", "events", "");
  std::printf("%-45s %-20s %8s %-21s %6s %5s\n", "shape", "median (range)", "us/event",
              "median (paired range)", "lost", "extra");
  const Series& base = *rows.front().first;
  for (const auto& row : rows) {
    const Series& series = *row.first;
    std::string rate = Format("%.0f (%.0f-%.0f)", Median(series.rounds),
                              kestrel::bench::Lowest(series.rounds),
                              kestrel::bench::Highest(series.rounds));
    std::string against = "-";
    if (&series != &base) {
      std::vector<double> ratios = PairedRatios(series, base);
      against = Format("%.2fx (%.2fx-%.2fx)", Median(ratios), kestrel::bench::Lowest(ratios),
                       kestrel::bench::Highest(ratios));
    }
    std::string lost = "\"";
    std::string extra = "\"";
    if (row.second != nullptr) {
      lost = (row.second->exact() ? "" : ">=") + std::to_string(row.second->lost());
      extra = std::to_string(row.second->extra());
    }
    std::printf("%-45s %-20s %8.1f %-21s %6s %5s\n", series.label, rate.c_str(),
                series.cpuMicrosecondsPerEvent(), against.c_str(), lost.c_str(), extra.c_str());
  }
  std::printf("\nThe first two rows are one consumer, its proxy without the filter and with it "
              "in turns:\ntheir lost and extra are counted together. The filtered rate's target: "
              "at least 0.80x the unfiltered one.\n");
}

}  // namespace

int main(int argc, char** argv) {
  // Every ORB of this run, channeld's and the helpers' included, listens on
  // loopback only.
  ::setenv("ORBendPoint", "giop:tcp:127.0.0.1:", 1);
  if (argc >= 4 && std::strcmp(argv[1], kHelperOption) == 0) {
    return RunFilterConsumerHelper(std::atol(argv[2]), argv[3], argc >= 5 ? argv[4] : nullptr,
                                   argc >= 6 ? std::atol(argv[5]) : -1);
  }
  Options options;
  if (!TakeOptions(argc, argv, &options)) {
    std::fprintf(stderr,
                 "usage: filter_delivery_bench [--rounds N] [--events N]\n"
                 "  --rounds N   timed rounds per shape, after one warm-up (default 3)\n"
                 "  --events N   events pushed per round, a multiple of 10 (default 20000)\n");
    return 2;
  }

  int orbArgc = 0;
  CORBA::ORB_var orb = CORBA::ORB_init(orbArgc, nullptr);
  Series unfiltered("1 consumer, no filter");
  Series filtered("the same, filter mSeverity >= 0 (passes all)");
  Series ten("10 consumers, filter mSeverity == N each");
  Pipeline one(options.events);
  Pipeline many(options.events);
  bool ok = false;
  try {
    std::vector<std::string> tenConstraints;
    std::vector<long> tenSeverities;
    for (long severity = 0; severity < kSeverities; ++severity) {
      tenConstraints.push_back("$.remainder_of_body.mSeverity == " + std::to_string(severity));
      tenSeverities.push_back(severity);
    }
    ok = one.Start(orb.in(), {""}, {-1}) && many.Start(orb.in(), tenConstraints, tenSeverities);
    ok = ok && one.PrepareFilter("$.remainder_of_body.mSeverity >= 0");
    for (int round = 0; ok && round <= options.rounds; ++round) {
      const bool timed = round > 0;
      one.UseFilter(false);
      ok = one.Round(timed ? &unfiltered : nullptr);
      one.UseFilter(true);
      ok = ok && one.Round(timed ? &filtered : nullptr);
      ok = ok && many.Round(timed ? &ten : nullptr);
      if (!ok) {
        std::fprintf(stderr, "filter_delivery_bench: a consumer ended or did not get its events "
                     "within %d s\n", kRoundTimeoutMs / 1000);
      }
    }
    one.Close();
    many.Close();
  } catch (const CORBA::Exception& e) {
    std::fprintf(stderr, "filter_delivery_bench: %s\n", e._name());
    ok = false;
  }
  PrintTable(options, {{&unfiltered, &one}, {&filtered, nullptr}, {&ten, &many}});
  ok = ok && one.exact() && many.exact() && one.lost() + one.extra() + many.lost() + many.extra() == 0;
  one.Stop();
  many.Stop();
  orb->destroy();
  return ok ? 0 : 1;
}
