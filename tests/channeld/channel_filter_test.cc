// kestrel-channeld's filters end to end, with plain omniORB clients: what a
// constraint selects out of a fixed set of Kestrel events, how admins' and
// proxies' filters combine on both sides of the channel, what malformed
// constraints and unknown ids raise, and what survives a restart.

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "channel/event_record.h"
#include "tests/channeld/channel_clients.h"
#include "tests/support/channel_service.h"
#include "tests/support/test_support.h"

namespace kestrel {
namespace testing {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;
using Indices = std::set<unsigned long>;

constexpr auto kDeliveryWait = seconds(10);

struct KestrelEvent {
  const char* module;
  CORBA::ULong severity;
  const char* description;
  const char* domain;
  const char* type;
  const char* region;  // a filterable property; null: none
  double load;         // with region
  int priority;        // a variable header property; 0: none
};

// The events that every selection is taken from; event i is named "ei" and
// carries sequence number i.
const KestrelEvent kEvents[] = {
    {"disk", 1, "disk /var is 50% full", "Kestrel", "Notification", "eu", 0.25, 0},
    {"disk", 4, "disk /var is 95% full", "Kestrel", "Notification", "us", 0.75, 0},
    {"net", 2, "link eth0 is up", "Kestrel", "Notification", nullptr, 0, 2},
    {"net", 6, "link eth0 is down", "Kestrel", "Alarm", nullptr, 0, 5},
    {"backup", 5, "backup failed: disk full", "Other", "Notification", nullptr, 0, 0},
    {"backup", 3, "backup done", "Kestrel", "Notification", nullptr, 0, 0},
};
constexpr unsigned long kEventCount = sizeof kEvents / sizeof kEvents[0];

CosNotification::StructuredEvent Make(unsigned long index) {
  const KestrelEvent& from = kEvents[index];
  CosNotification::StructuredEvent event;
  event.header.fixed_header.event_type.domain_name = from.domain;
  event.header.fixed_header.event_type.type_name = from.type;
  event.header.fixed_header.event_name = ("s#" + std::to_string(index)).c_str();
  if (from.region != nullptr) {
    event.filterable_data.length(2);
    event.filterable_data[0].name = "region";
    event.filterable_data[0].value <<= from.region;
    event.filterable_data[1].name = "load";
    event.filterable_data[1].value <<= from.load;
  }
  if (from.priority != 0) {
    event.header.variable_header.length(1);
    event.header.variable_header[0].name = "Priority";
    event.header.variable_header[0].value <<= static_cast<CORBA::Short>(from.priority);
  }
  Kestrel::EventData record;
  SetRecordText(record.mModule, from.module);
  SetRecordText(record.mHost, "host");
  record.mSeverity = from.severity;
  record.mMessageCode = 0x1000 + index;
  SetRecordText(record.mDescription, from.description);
  InsertRecord(event.remainder_of_body, record);
  return event;
}

// Ends every run of events: one filter on each consumer passes it, so that
// its arrival says that everything pushed before it has arrived too.
constexpr const char* kEndType = "End";

CosNotification::StructuredEvent EndEvent() {
  return MakeEvent("Kestrel", kEndType, "s", kEventCount);
}

void PushAll(CosNotifyChannelAdmin::StructuredProxyPushConsumer_ptr proxy) {
  for (unsigned long i = 0; i < kEventCount; ++i) proxy->push_structured_event(Make(i));
  proxy->push_structured_event(EndEvent());
}

// The events that consumer received before the end event, once that came.
Indices Selected(const RecordingConsumer& consumer) {
  Clock::time_point deadline = Clock::now() + kDeliveryWait;
  while (Clock::now() < deadline) {
    std::vector<TestEvent> events = consumer.events();
    if (!events.empty() && events.back().type == kEndType) {
      Indices selected;
      for (std::size_t i = 0; i + 1 < events.size(); ++i) selected.insert(events[i].sequence);
      return selected;
    }
    std::this_thread::sleep_for(milliseconds(10));
  }
  ADD_FAILURE() << "the end event never arrived";
  return {};
}

CosNotifyFilter::ConstraintExpSeq Expressions(
    const std::vector<std::string>& expressions,
    const CosNotification::EventTypeSeq& types = CosNotification::EventTypeSeq()) {
  CosNotifyFilter::ConstraintExpSeq sequence;
  sequence.length(static_cast<CORBA::ULong>(expressions.size()));
  for (CORBA::ULong i = 0; i < sequence.length(); ++i) {
    sequence[i].event_types = types;
    sequence[i].constraint_expr = expressions[i].c_str();
  }
  return sequence;
}

// A subscriber told of the event types that a filter's changes add or drop.
class RecordingSubscriber : public POA_CosNotifyComm::NotifySubscribe {
 public:
  void subscription_change(const CosNotification::EventTypeSeq& added,
                           const CosNotification::EventTypeSeq& removed) override {
    std::lock_guard<std::mutex> lock(mutex_);
    changes_.push_back({Names(added), Names(removed)});
  }
  std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> changes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return changes_;
  }

 private:
  static std::vector<std::string> Names(const CosNotification::EventTypeSeq& types) {
    std::vector<std::string> names;
    for (CORBA::ULong i = 0; i < types.length(); ++i) {
      names.push_back(std::string(types[i].domain_name.in()) + "/" + types[i].type_name.in());
    }
    return names;
  }

  mutable std::mutex mutex_;
  std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> changes_;
};

class ChannelFilterTest : public ::testing::Test {
 protected:
  void SetUp() override { Start(); }

  void Start(std::vector<std::string> arguments = {}) {
    ChannelService::Options options;
    options.extraArguments = arguments;
    options.errorFile = folder_.File("stderr");
    service_ = std::make_unique<ChannelService>(options);
    ASSERT_TRUE(service_->Start());
    channel_ = orb_.Channel(service_->address());
    if (std::find(arguments.begin(), arguments.end(), "--no-filters") == arguments.end()) {
      factory_ = channel_->default_filter_factory();
    }
  }

  CosNotifyFilter::Filter_ptr NewFilter(const std::vector<std::string>& expressions,
                                        const CosNotification::EventTypeSeq& types = {}) {
    CosNotifyFilter::Filter_var filter = factory_->create_filter("EXTENDED_TCL");
    CosNotifyFilter::ConstraintInfoSeq_var added =
        filter->add_constraints(Expressions(expressions, types));
    return filter._retn();
  }

  // Lets the end event through whatever else object's filters select.
  void PassTheEnd(CosNotifyFilter::FilterAdmin_ptr object) {
    CosNotifyFilter::Filter_var end = NewFilter({"TRUE"}, EventTypes({{"Kestrel", kEndType}}));
    object->add_filter(end.in());
  }

  ConnectedConsumer FilteredConsumer(
      const std::vector<std::string>& expressions,
      CosNotifyChannelAdmin::ConsumerAdmin_ptr admin = CosNotifyChannelAdmin::ConsumerAdmin::_nil(),
      const CosNotification::EventTypeSeq& types = {}) {
    ConnectedConsumer consumer = ConnectConsumer(orb_, channel_.in(), {}, {}, admin);
    // Without filters a proxy passes everything, the end event too.
    if (expressions.empty()) return consumer;
    CosNotifyFilter::Filter_var filter = NewFilter(expressions, types);
    consumer.proxy->add_filter(filter.in());
    PassTheEnd(consumer.proxy.in());
    return consumer;
  }

  CosNotifyChannelAdmin::StructuredProxyPushConsumer_ptr SupplierProxy(
      CosNotifyChannelAdmin::SupplierAdmin_ptr admin) {
    CosNotifyChannelAdmin::ProxyID id;
    CosNotifyChannelAdmin::ProxyConsumer_var proxy =
        admin->obtain_notification_push_consumer(CosNotifyChannelAdmin::STRUCTURED_EVENT, id);
    CosNotifyChannelAdmin::StructuredProxyPushConsumer_var structured =
        CosNotifyChannelAdmin::StructuredProxyPushConsumer::_narrow(proxy.in());
    structured->connect_structured_push_supplier(CosNotifyComm::StructuredPushSupplier::_nil());
    return structured._retn();
  }

  TemporaryFolder folder_;
  TestOrb orb_;
  std::unique_ptr<ChannelService> service_;
  CosNotifyChannelAdmin::EventChannel_var channel_;
  CosNotifyFilter::FilterFactory_var factory_;
};

struct Selection {
  using Types = std::vector<std::pair<std::string, std::string>>;
  Selection(const char* constraint, Indices expected, Types types = {})
      : constraint(constraint), expected(std::move(expected)), types(std::move(types)) {}

  const char* constraint;
  Indices expected;
  Types types;  // empty: every type
};

// Every row's consumer has a filter of one constraint; one push of the fixed
// events must reach each consumer with exactly the row's events.
TEST_F(ChannelFilterTest, EachConstraintDeliversExactlyTheEventsItSelects) {
  const std::vector<Selection> rows = {
      {"$.remainder_of_body.mSeverity >= 4", {1, 3, 4}},
      {"$.remainder_of_body.mModule == 'disk'", {0, 1}},
      {"'full' ~ $.remainder_of_body.mDescription", {0, 1, 4}},
      {"$domain_name == 'Other'", {4}},
      {"$type_name == 'Alarm'", {3}},
      {"$.header.fixed_header.event_type.type_name == 'Alarm'", {3}},
      {"$event_name == 's#2'", {2}},
      {"$.remainder_of_body.mSeverity * 2 + 1 == 9", {1}},
      {"$.remainder_of_body.mSeverity - 1 > 3", {3, 4}},
      {"$.remainder_of_body.mSeverity / 4 == 1.5", {3}},
      {"not ($.remainder_of_body.mModule == 'net')", {0, 1, 4, 5}},
      {"$.remainder_of_body.mModule == 'net' and $.remainder_of_body.mSeverity > 5", {3}},
      {"$.remainder_of_body.mModule == 'backup' or $.remainder_of_body.mSeverity == 1", {0, 4, 5}},
      {"exist $region", {0, 1}},
      {"$region == 'eu'", {0}},
      {"$load > 0.5", {1}},
      {"$.filterable_data[1].value > 0.5", {1}},
      {"$Priority == 2", {2}},
      {"$.remainder_of_body.mSeverity == 4.0", {1}},
      {"$.remainder_of_body.mMessageCode == 4099", {3}},
      // An evaluation error is false, unless a deciding operand outweighs it.
      {"$.remainder_of_body.mNoSuchMember == 1", {}},
      {"$region == 'eu' or $.remainder_of_body.mSeverity >= 6", {0, 3}},
      {"$.remainder_of_body.mModule + 1 == 2", {}},
      {"TRUE", {0, 1, 2, 3, 4, 5}},
      {"", {0, 1, 2, 3, 4, 5}},
      {"FALSE", {}},
      // A constraint applies to the event types it names, wildcards too.
      {"TRUE", {3}, {{"Kestrel", "Alarm"}}},
      {"TRUE", {0, 1, 2, 4, 5}, {{"*", "Notif*"}}},
      {"$.remainder_of_body.mSeverity > 2", {1, 3, 5}, {{"Kestrel", "*"}}},
  };
  std::vector<ConnectedConsumer> consumers;
  for (const Selection& row : rows) {
    consumers.push_back(FilteredConsumer({row.constraint}, CosNotifyChannelAdmin::ConsumerAdmin::_nil(),
                                         EventTypes(row.types)));
  }
  ConnectedConsumer unfiltered = FilteredConsumer({});
  ConnectedSupplier supplier = ConnectSupplier(orb_, channel_.in());
  PushAll(supplier.proxy.in());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].expected, Selected(*consumers[i].servant)) << rows[i].constraint;
  }
  EXPECT_EQ((Indices{0, 1, 2, 3, 4, 5}), Selected(*unfiltered.servant));
  // The filter answers match_structured as it selects.
  CosNotifyFilter::Filter_var severe = NewFilter({"$.remainder_of_body.mSeverity >= 4"});
  EXPECT_TRUE(severe->match_structured(Make(1)));
  EXPECT_FALSE(severe->match_structured(Make(0)));
  CosNotifyFilter::Filter_var empty = factory_->create_filter("EXTENDED_TCL");
  EXPECT_FALSE(empty->match_structured(Make(0))) << "a filter without constraints matches nothing";
}

// The admin's operator combines its filters with each proxy's, on the
// consumers' side and the suppliers' side alike.
TEST_F(ChannelFilterTest, AdminAndProxyFiltersCombineByTheAdminsOperator) {
  const std::string severe = "$.remainder_of_body.mSeverity >= 3";
  const std::string disk = "$.remainder_of_body.mModule == 'disk'";
  std::vector<std::pair<ConnectedConsumer, Indices>> consumers;
  for (auto op : {CosNotifyChannelAdmin::AND_OP, CosNotifyChannelAdmin::OR_OP}) {
    CosNotifyChannelAdmin::AdminID id;
    CosNotifyChannelAdmin::ConsumerAdmin_var admin = channel_->new_for_consumers(op, id);
    CosNotifyFilter::Filter_var filter = NewFilter({severe});
    admin->add_filter(filter.in());
    PassTheEnd(admin.in());
    bool orOp = op == CosNotifyChannelAdmin::OR_OP;
    consumers.emplace_back(FilteredConsumer({disk}, admin.in()),
                           orOp ? Indices{0, 1, 3, 4, 5} : Indices{1});
    // A proxy without filters passes everything: under OR_OP, so does the pair.
    consumers.emplace_back(FilteredConsumer({}, admin.in()),
                           orOp ? Indices{0, 1, 2, 3, 4, 5} : Indices{1, 3, 4, 5});
  }
  ConnectedSupplier supplier = ConnectSupplier(orb_, channel_.in());
  PushAll(supplier.proxy.in());
  for (auto& consumer : consumers) EXPECT_EQ(consumer.second, Selected(*consumer.first.servant));

  // What a supplier's proxy or admin does not pass is not forwarded at all.
  ConnectedConsumer everything = FilteredConsumer({});
  std::vector<std::pair<CosNotifyChannelAdmin::InterFilterGroupOperator, Indices>> sides = {
      {CosNotifyChannelAdmin::AND_OP, {0, 1, 5}}, {CosNotifyChannelAdmin::OR_OP, {0, 1, 2, 3, 5}}};
  for (const auto& side : sides) {
    CosNotifyChannelAdmin::AdminID id;
    CosNotifyChannelAdmin::SupplierAdmin_var admin = channel_->new_for_suppliers(side.first, id);
    CosNotifyFilter::Filter_var byAdmin = NewFilter({"$.remainder_of_body.mModule == 'net'"});
    CosNotifyFilter::Filter_var notNet = NewFilter({"$.remainder_of_body.mModule != 'net'"});
    admin->add_filter(side.first == CosNotifyChannelAdmin::OR_OP ? byAdmin.in() : notNet.in());
    PassTheEnd(admin.in());
    CosNotifyChannelAdmin::StructuredProxyPushConsumer_var proxy = SupplierProxy(admin.in());
    CosNotifyFilter::Filter_var mild = NewFilter({"$.remainder_of_body.mSeverity < 5"});
    proxy->add_filter(mild.in());
    PassTheEnd(proxy.in());
    std::size_t before = everything.servant->count();
    PushAll(proxy.in());
    ASSERT_TRUE(everything.servant->WaitForEvents(before + side.second.size() + 1, kDeliveryWait));
    Indices received;
    std::vector<TestEvent> events = everything.servant->events();
    for (std::size_t i = before; i + 1 < events.size(); ++i) received.insert(events[i].sequence);
    EXPECT_EQ(side.second, received);
  }
  EXPECT_EQ(0, service_->Stop());
}

TEST_F(ChannelFilterTest, MalformedConstraintsAndUnknownIdsChangeNothing) {
  EXPECT_THROW(factory_->create_filter("TCL"), CosNotifyFilter::InvalidGrammar);
  EXPECT_THROW(factory_->create_mapping_filter("EXTENDED_TCL", CORBA::Any()), CORBA::NO_IMPLEMENT);
  CosNotifyFilter::Filter_var filter = NewFilter({"$type_name == 'Alarm'"});
  CORBA::String_var grammar = filter->constraint_grammar();
  EXPECT_STREQ("EXTENDED_TCL", grammar.in());

  const std::string deep = std::string(100000, '(') + "TRUE" + std::string(100000, ')');
  const std::string deepNot = [] {
    std::string text;
    for (int i = 0; i < 100000; ++i) text += "not ";
    return text + "TRUE";
  }();
  const std::string tooLong = "'" + std::string(70000, 'x') + "' == 'x'";
  for (const std::string& bad :
       {std::string("$.remainder_of_body.mSeverity >="), std::string("'unterminated"),
        std::string("1 +* 2"), std::string("$.("), deep, deepNot, tooLong}) {
    // A batch with one bad constraint adds none of its good ones.
    try {
      filter->add_constraints(Expressions({"TRUE", bad}));
      ADD_FAILURE() << "accepted: " << bad.substr(0, 40);
    } catch (const CosNotifyFilter::InvalidConstraint& refused) {
      EXPECT_EQ(bad, refused.constr.constraint_expr.in());
    }
  }
  CosNotifyFilter::ConstraintInfoSeq_var all = filter->get_all_constraints();
  ASSERT_EQ(1u, all->length());
  CosNotifyFilter::ConstraintID kept = all[0].constraint_id;

  // modify_constraints: an unknown id, or a malformed replacement, and
  // neither the deletion nor the other change of the call happens.
  CosNotifyFilter::ConstraintIDSeq deletions;
  deletions.length(1);
  deletions[0] = kept;
  CosNotifyFilter::ConstraintInfoSeq changes;
  changes.length(1);
  changes[0].constraint_id = kept + 100;
  changes[0].constraint_expression = Expressions({"FALSE"})[0];
  EXPECT_THROW(filter->modify_constraints(deletions, changes), CosNotifyFilter::ConstraintNotFound);
  changes[0].constraint_id = kept;
  changes[0].constraint_expression = Expressions({"1 +"})[0];
  EXPECT_THROW(filter->modify_constraints(CosNotifyFilter::ConstraintIDSeq(), changes),
               CosNotifyFilter::InvalidConstraint);
  CosNotifyFilter::ConstraintIDSeq ids;
  ids.length(1);
  ids[0] = kept;
  CosNotifyFilter::ConstraintInfoSeq_var still = filter->get_constraints(ids);
  EXPECT_STREQ("$type_name == 'Alarm'", still[0].constraint_expression.constraint_expr.in());
  ids[0] = kept + 1;
  EXPECT_THROW(CosNotifyFilter::ConstraintInfoSeq_var none = filter->get_constraints(ids),
               CosNotifyFilter::ConstraintNotFound);
  // A good change goes through, under the same id.
  changes[0].constraint_expression = Expressions({"$type_name == 'Notification'"})[0];
  filter->modify_constraints(CosNotifyFilter::ConstraintIDSeq(), changes);
  EXPECT_TRUE(filter->match_structured(Make(0)));
  EXPECT_FALSE(filter->match_structured(Make(3)));
  EXPECT_THROW(filter->match_typed(CosNotification::PropertySeq()), CORBA::NO_IMPLEMENT);

  CosNotifyChannelAdmin::ConsumerAdmin_var admin = channel_->default_consumer_admin();
  CosNotifyFilter::FilterID attached = admin->add_filter(filter.in());
  EXPECT_THROW(admin->remove_filter(attached + 1), CosNotifyFilter::FilterNotFound);
  EXPECT_THROW(CosNotifyFilter::Filter_var none = admin->get_filter(attached + 1),
               CosNotifyFilter::FilterNotFound);
  CosNotifyFilter::Filter_var same = admin->get_filter(attached);
  EXPECT_TRUE(same->_is_equivalent(filter.in()));
  admin->remove_all_filters();
  CosNotifyFilter::FilterIDSeq_var left = admin->get_all_filters();
  EXPECT_EQ(0u, left->length());
  EXPECT_THROW(admin->add_filter(CosNotifyFilter::Filter::_nil()), CORBA::BAD_PARAM);

  // Bounded: constraints per filter and filters per channel.
  CosNotifyFilter::Filter_var big = factory_->create_filter("EXTENDED_TCL");
  std::vector<std::string> many(1024, "TRUE");
  CosNotifyFilter::ConstraintInfoSeq_var added = big->add_constraints(Expressions(many));
  EXPECT_THROW(big->add_constraints(Expressions({"TRUE"})), CORBA::IMP_LIMIT);
  std::vector<CosNotifyFilter::Filter_var> filters;
  try {
    for (int i = 0; i < 1100; ++i) filters.push_back(factory_->create_filter("EXTENDED_TCL"));
    ADD_FAILURE() << "no limit on filters";
  } catch (const CORBA::IMP_LIMIT&) {
  }
  EXPECT_LT(filters.size(), 1100u);
  // Destroying one makes room again.
  filters.back()->destroy();
  EXPECT_THROW(filters.back()->constraint_grammar(), CORBA::OBJECT_NOT_EXIST);
  filters.back() = factory_->create_filter("EXTENDED_TCL");
}

TEST_F(ChannelFilterTest, CallbacksHearOfTheEventTypesThatChangesAddAndDrop) {
  PortableServer::Servant_var<RecordingSubscriber> subscriber = new RecordingSubscriber;
  PortableServer::ObjectId_var oid = orb_.poa()->activate_object(subscriber.in());
  CORBA::Object_var reference = orb_.poa()->id_to_reference(oid.in());
  CosNotifyComm::NotifySubscribe_var callback = CosNotifyComm::NotifySubscribe::_narrow(reference);

  CosNotifyFilter::Filter_var filter = factory_->create_filter("EXTENDED_TCL");
  CosNotifyFilter::CallbackID id = filter->attach_callback(callback.in());
  CosNotifyFilter::ConstraintInfoSeq_var added = filter->add_constraints(
      Expressions({"TRUE"}, EventTypes({{"Kestrel", "Alarm"}, {"Kestrel", "Notification"}})));
  CosNotifyFilter::ConstraintInfoSeq_var more =
      filter->add_constraints(Expressions({"FALSE"}, EventTypes({{"Kestrel", "Alarm"}})));
  filter->remove_all_constraints();
  CosNotifyFilter::CallbackIDSeq_var callbacks = filter->get_callbacks();
  ASSERT_EQ(1u, callbacks->length());
  EXPECT_EQ(id, callbacks[0]);
  filter->detach_callback(id);
  EXPECT_THROW(filter->detach_callback(id), CosNotifyFilter::CallbackNotFound);
  CosNotifyFilter::ConstraintInfoSeq_var unheard = filter->add_constraints(Expressions({"TRUE"}));

  using Change = std::pair<std::vector<std::string>, std::vector<std::string>>;
  // The second add names no new type: no call. The last comes after the detach.
  std::vector<Change> expected = {
      {{"Kestrel/Alarm", "Kestrel/Notification"}, {}},
      {{}, {"Kestrel/Alarm", "Kestrel/Notification"}},
  };
  EXPECT_EQ(expected, subscriber->changes());
}

TEST_F(ChannelFilterTest, FiltersSurviveARestartAtTheSameReferences) {
  Start({"--state-dir", folder_.File("state")});
  CosNotifyFilter::Filter_var severe = NewFilter({"$.remainder_of_body.mSeverity >= 4"});
  CosNotifyFilter::Filter_var unattached = NewFilter({"FALSE", "$region == 'eu'"});
  PortableServer::Servant_var<RecordingSubscriber> subscriber = new RecordingSubscriber;
  PortableServer::ObjectId_var oid = orb_.poa()->activate_object(subscriber.in());
  CORBA::Object_var subscriberObject = orb_.poa()->id_to_reference(oid.in());
  CosNotifyComm::NotifySubscribe_var callback =
      CosNotifyComm::NotifySubscribe::_narrow(subscriberObject.in());
  CosNotifyFilter::CallbackID callbackId = unattached->attach_callback(callback.in());
  CosNotifyChannelAdmin::AdminID adminId;
  CosNotifyChannelAdmin::ConsumerAdmin_var admin =
      channel_->new_for_consumers(CosNotifyChannelAdmin::AND_OP, adminId);
  ConnectedConsumer consumer = FilteredConsumer({}, admin.in());
  CosNotifyFilter::FilterID attached = consumer.proxy->add_filter(severe.in());
  CosNotifyChannelAdmin::SupplierAdmin_var suppliers = channel_->default_supplier_admin();
  CosNotifyFilter::Filter_var noBackup = NewFilter({"$.remainder_of_body.mModule != 'backup'"});
  suppliers->add_filter(noBackup.in());
  PassTheEnd(suppliers.in());
  ConnectedSupplier supplier = ConnectSupplier(orb_, channel_.in());
  CosNotifyFilter::ConstraintInfoSeq_var before = unattached->get_all_constraints();

  for (int signal : {SIGTERM, SIGKILL}) {
    SCOPED_TRACE(signal == SIGTERM ? "SIGTERM" : "SIGKILL");
    ASSERT_TRUE(service_->Restart(signal));
    // The first call after a crash may fail once on the old connection.
    try {
      CosNotifyFilter::FilterIDSeq_var ids = consumer.proxy->get_all_filters();
    } catch (const CORBA::COMM_FAILURE&) {
    }
    CosNotifyFilter::FilterIDSeq_var ids = consumer.proxy->get_all_filters();
    EXPECT_EQ(1u, ids->length());
    CosNotifyFilter::Filter_var same = consumer.proxy->get_filter(attached);
    EXPECT_TRUE(same->_is_equivalent(severe.in()));
    CosNotifyFilter::ConstraintInfoSeq_var after = unattached->get_all_constraints();
    ASSERT_EQ(before->length(), after->length());
    for (CORBA::ULong i = 0; i < after->length(); ++i) {
      EXPECT_EQ(before[i].constraint_id, after[i].constraint_id);
      EXPECT_STREQ(before[i].constraint_expression.constraint_expr.in(),
                   after[i].constraint_expression.constraint_expr.in());
    }
    CosNotifyFilter::CallbackIDSeq_var callbacks = unattached->get_callbacks();
    ASSERT_EQ(1u, callbacks->length());
    EXPECT_EQ(callbackId, callbacks[0]);
  }
  // Ids go on from where they were.
  CosNotifyFilter::ConstraintInfoSeq_var next = unattached->add_constraints(Expressions({"TRUE"}));
  EXPECT_GT(next[0].constraint_id, before[1].constraint_id);
  // And the filters still select, on both sides: severity 4 and up, no backup.
  ConnectedConsumer later = ConnectConsumer(orb_, channel_.in(), {}, {}, admin.in());
  later.proxy->add_filter(severe.in());
  PassTheEnd(later.proxy.in());
  PushAll(supplier.proxy.in());
  EXPECT_EQ((Indices{1, 3}), Selected(*later.servant));
  EXPECT_EQ(0, service_->Stop());
}

TEST_F(ChannelFilterTest, UnusedFiltersAreReclaimedAndAServiceWithoutFiltersSaysSo) {
  Start({"--connect-timeout", "1"});
  CosNotifyFilter::Filter_var unused = NewFilter({"TRUE"});
  CosNotifyFilter::Filter_var held = NewFilter({"TRUE"});
  CosNotifyChannelAdmin::ConsumerAdmin_var admin = channel_->default_consumer_admin();
  admin->add_filter(held.in());
  Clock::time_point deadline = Clock::now() + seconds(10);
  bool reclaimed = false;
  while (!reclaimed && Clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(200));
    // Asking the unused filter would use it: the log says when it went.
    reclaimed = ReadFile(folder_.File("stderr")).find("1 filters reclaimed") != std::string::npos;
  }
  ASSERT_TRUE(reclaimed) << ReadFile(folder_.File("stderr"));
  EXPECT_THROW(unused->constraint_grammar(), CORBA::OBJECT_NOT_EXIST);
  CORBA::String_var grammar = held->constraint_grammar();
  EXPECT_EQ(0, service_->Stop());

  Start({"--no-filters"});
  EXPECT_THROW(factory_ = channel_->default_filter_factory(), CORBA::NO_IMPLEMENT);
}

}  // namespace
}  // namespace testing
}  // namespace kestrel
