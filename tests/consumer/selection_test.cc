// The consumer's selection (INotificationFilter): what reaches the sink
// through kestrel-channeld, which has no filters, and through a service
// that takes the consumer's filter and ignores it; how the filter is given
// to the service at each connection; what SetConstraint answers.

#include <gtest/gtest.h>

#include <COS/CosNotifyChannelAdmin.hh>
#include <COS/CosNotifyFilter.hh>
#include <omniORB4/IIOP.h>
#include <omniORB4/omniIOR.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "channel/event_record.h"
#include "consumer/notification_consumer.h"
#include "kestrel/kestrel.h"
#include "supplier/notification_supplier.h"
#include "tests/channeld/channel_clients.h"
#include "tests/support/channel_service.h"
#include "tests/support/component_objects.h"
#include "tests/support/fake_settings.h"
#include "tests/support/recording_sink.h"
#include "tests/support/reference_port.h"

namespace kestrel {
namespace {

using testing::ChannelService;
using testing::Create;
using testing::FakeSettings;
using testing::PortInReference;
using testing::RecordingSink;

constexpr char kFromFour[] = "$.remainder_of_body.mSeverity >= 4";

INotificationConsumer* NewConsumer() {
  return Create<INotificationConsumer>(CreateNotificationConsumer, IID_INotificationConsumer);
}

HRESULT SetConstraint(INotificationConsumer* consumer, const char* constraint) {
  INotificationFilter* filter = nullptr;
  HRESULT hr = consumer->QueryInterface(IID_INotificationFilter, reinterpret_cast<void**>(&filter));
  if (FAILED(hr)) return hr;
  hr = filter->SetConstraint(constraint);
  filter->Release();
  return hr;
}

std::vector<uint32_t> Severities(RecordingSink& sink) {
  std::vector<uint32_t> severities;
  for (const testing::ReceivedEvent& event : sink.events()) severities.push_back(event.severity);
  return severities;
}

// A notification service in the test process that takes every filter it is
// given and applies none. Its channel, admin, proxies, filter factory and
// filters are DSI servants under keys of omniORB's corbaloc adapter that
// answer what a consumer asks of them, and it logs what concerns filters and
// connections ("proxy1 add_filter filter1"). The test pushes events to the
// consumer that connected last. Proxies and filters can be made to vanish,
// as a restart of a service would have them.
class FilterIgnoringService {
 public:
  static constexpr const char* kKey = "channel";

  explicit FilterIgnoringService(CORBA::ORB_ptr orb) : orb_(CORBA::ORB::_duplicate(orb)) {
    CORBA::Object_var object = orb_->resolve_initial_references("omniINSPOA");
    poa_ = PortableServer::POA::_narrow(object);
    PortableServer::POAManager_var manager = poa_->the_POAManager();
    manager->activate();
    channel_ = Add(kKey);
    admin_ = Add("admin");
    factory_ = Add("factory");
  }
  ~FilterIgnoringService() {
    for (const std::unique_ptr<Servant>& servant : servants_) poa_->deactivate_object(Id(servant->name).in());
  }

  int port() const { return PortInReference(channel_); }
  std::vector<std::string> log() {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
  }
  bool WaitForLog(const std::string& entry) {
    std::unique_lock<std::mutex> lock(mutex_);
    return logged_.wait_for(lock, std::chrono::seconds(20), [&] {
      return std::find(log_.begin(), log_.end(), entry) != log_.end();
    });
  }
  CosNotifyComm::StructuredPushConsumer_ptr consumer() {
    std::lock_guard<std::mutex> lock(mutex_);
    return CosNotifyComm::StructuredPushConsumer::_duplicate(consumer_);
  }
  // As after a restart that kept the proxies but not the filters, or neither.
  void Lose(const std::string& kind) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::unique_ptr<Servant>& servant : servants_) {
      if (servant->name.rfind(kind, 0) == 0) servant->gone = true;
    }
  }

 private:
  struct Servant : PortableServer::DynamicImplementation {
    Servant(FilterIgnoringService* service, std::string name) : service(service), name(std::move(name)) {}
    void invoke(CORBA::ServerRequest_ptr request) override { service->Invoke(this, request); }
    char* _primary_interface(const PortableServer::ObjectId&, PortableServer::POA_ptr) override {
      return CORBA::string_dup("IDL:omg.org/CORBA/Object:1.0");
    }
    // Whatever a narrow asks for: each answers the operations of its kind.
    CORBA::Boolean _is_a(const char*) override { return true; }

    FilterIgnoringService* const service;
    const std::string name;
    bool gone = false;  // guarded by the service's mutex_
  };

  static PortableServer::ObjectId_var Id(const std::string& name) {
    return PortableServer::string_to_ObjectId(name.c_str());
  }
  CORBA::Object_ptr Add(const std::string& name) {
    servants_.emplace_back(new Servant(this, name));
    poa_->activate_object_with_id(Id(name).in(), servants_.back().get());
    return poa_->id_to_reference(Id(name).in());
  }

  // Reads the request's arguments into anys of the types that in gives,
  // followed by the out arguments. The list belongs to the request.
  CORBA::NVList_ptr Arguments(CORBA::ServerRequest_ptr request, const std::vector<CORBA::Any>& in,
                              const std::vector<CORBA::Any>& out = {}) {
    CORBA::NVList_ptr arguments;
    orb_->create_list(0, arguments);
    for (const CORBA::Any& value : in) arguments->add_value("", value, CORBA::ARG_IN);
    for (const CORBA::Any& value : out) arguments->add_value("", value, CORBA::ARG_OUT);
    request->arguments(arguments);
    return arguments;
  }
  template <class T>
  static CORBA::Any Typed(const T& value) {
    CORBA::Any any;
    any <<= value;
    return any;
  }
  static void SetReference(CORBA::Any& any, CORBA::Object_var reference) {
    any <<= reference.in();
    // omniORB answers an any that holds a reference badly unless its value
    // was marshalled into it first.
    any.PR_streamToRead();
  }

  void Invoke(Servant* servant, CORBA::ServerRequest_ptr request) {
    const std::string operation = request->operation();
    std::lock_guard<std::mutex> lock(mutex_);
    if (servant->gone) throw CORBA::OBJECT_NOT_EXIST(0, CORBA::COMPLETED_NO);
    std::string entry = servant->name + " " + operation;
    bool logged = true;
    CORBA::Any result;
    if (operation == "_get_default_consumer_admin" || operation == "_get_default_filter_factory") {
      Arguments(request, {});
      SetReference(result, operation == "_get_default_consumer_admin" ? admin_ : factory_);
      logged = operation == "_get_default_filter_factory";
    } else if (operation == "subscription_change") {
      Arguments(request, {Typed(CosNotification::EventTypeSeq()), Typed(CosNotification::EventTypeSeq())});
      logged = false;
    } else if (operation == "obtain_notification_push_supplier") {
      // An enum travels as an unsigned long.
      Arguments(request, {Typed(CORBA::ULong(0))}, {Typed(CORBA::Long(0))});
      SetReference(result, Add("proxy" + std::to_string(++proxies_)));
      logged = false;
    } else if (operation == "connect_structured_push_consumer") {
      CORBA::NVList_ptr arguments = Arguments(request, {Typed(CosNotifyComm::StructuredPushConsumer::_nil())});
      CosNotifyComm::StructuredPushConsumer_ptr consumer;
      *arguments->item(0)->value() >>= consumer;
      consumer_ = CosNotifyComm::StructuredPushConsumer::_duplicate(consumer);
    } else if (operation == "add_filter") {
      CORBA::NVList_ptr arguments = Arguments(request, {Typed(CosNotifyFilter::Filter::_nil())});
      CosNotifyFilter::Filter_ptr filter;
      *arguments->item(0)->value() >>= filter;
      PortableServer::ObjectId_var id = poa_->reference_to_id(filter);
      CORBA::String_var name = PortableServer::ObjectId_to_string(id.in());
      entry += std::string(" ") + name.in();
      // Filter n has id n: create_filter named it so.
      result <<= static_cast<CosNotifyFilter::FilterID>(std::stol(std::string(name.in()).substr(6)));
    } else if (operation == "get_filter") {
      CORBA::NVList_ptr arguments = Arguments(request, {Typed(CosNotifyFilter::FilterID(0))});
      CosNotifyFilter::FilterID id = 0;
      *arguments->item(0)->value() >>= id;
      const std::string name = "filter" + std::to_string(id);
      for (const std::unique_ptr<Servant>& filter : servants_) {
        if (filter->name == name && !filter->gone) SetReference(result, poa_->id_to_reference(Id(name).in()));
      }
      if (CORBA::TypeCode_var(result.type())->kind() == CORBA::tk_null) {
        request->set_exception(Typed(CosNotifyFilter::FilterNotFound()));
      }
    } else if (operation == "create_filter") {
      CORBA::NVList_ptr arguments = Arguments(request, {Typed("")});
      const char* grammar = "";
      *arguments->item(0)->value() >>= grammar;
      entry += std::string(" ") + grammar;
      SetReference(result, Add("filter" + std::to_string(++filters_)));
    } else if (operation == "add_constraints") {
      CORBA::NVList_ptr arguments = Arguments(request, {Typed(CosNotifyFilter::ConstraintExpSeq())});
      const CosNotifyFilter::ConstraintExpSeq* constraints = nullptr;
      *arguments->item(0)->value() >>= constraints;
      CosNotifyFilter::ConstraintInfoSeq answer;
      answer.length(constraints->length());
      for (CORBA::ULong i = 0; i < constraints->length(); ++i) {
        entry += " [" + std::to_string((*constraints)[i].event_types.length()) + " types] " +
                 (*constraints)[i].constraint_expr.in();
        answer[i].constraint_expression = (*constraints)[i];
        answer[i].constraint_id = static_cast<CosNotifyFilter::ConstraintID>(i + 1);
      }
      result <<= answer;
    } else if (operation == "destroy" || operation == "disconnect_structured_push_supplier") {
      Arguments(request, {});
      servant->gone = operation == "destroy";
    } else {
      throw CORBA::BAD_OPERATION(0, CORBA::COMPLETED_NO);
    }
    if (logged) log_.push_back(entry);
    logged_.notify_all();
    if (CORBA::TypeCode_var(result.type())->kind() != CORBA::tk_null) request->set_result(result);
  }

  CORBA::ORB_var orb_;
  PortableServer::POA_var poa_;
  CORBA::Object_var channel_, admin_, factory_;
  std::mutex mutex_;
  std::condition_variable logged_;
  // Guarded by mutex_ once constructed.
  std::vector<std::unique_ptr<Servant>> servants_;
  std::vector<std::string> log_;
  CosNotifyComm::StructuredPushConsumer_var consumer_;
  int proxies_ = 0;
  int filters_ = 0;
};

CosNotification::StructuredEvent EventOfSeverity(uint32_t severity) {
  Kestrel::EventData record;
  record.mSeverity = severity;
  record.mMessageCode = 0;
  CosNotification::StructuredEvent event;
  InsertRecord(event.remainder_of_body, record);
  return event;
}

class ConsumerSelection : public ::testing::Test {
 protected:
  // Settings for port and key handing out sink, with the reference that
  // Connect takes over already added.
  FakeSettings* Settings(int port, const std::string& key, IUnknown* sink = nullptr) {
    settings_.emplace_back(new FakeSettings("127.0.0.1", port, key));
    settings_.back()->set_sink(sink);
    settings_.back()->AddRef();
    return settings_.back().get();
  }

  testing::TestOrb orb_;
  std::vector<std::unique_ptr<FakeSettings>> settings_;
};

// Through kestrel-channeld, which attaches the filter to the consumer's
// proxy and selects at the service, and through one started with
// --no-filters, which answers NO_IMPLEMENT: the consumer connects all the
// same and selects by itself. Both come to the same three events.
TEST_F(ConsumerSelection, OnlySelectedEventsReachTheSinkThroughTheChannelService) {
  for (bool serviceFilters : {true, false}) {
    SCOPED_TRACE(serviceFilters ? "service with filters" : "--no-filters");
    ChannelService::Options options;
    if (!serviceFilters) options.extraArguments = {"--no-filters"};
    ChannelService service(options);
    ASSERT_TRUE(service.Start());
    RecordingSink sink;
    INotificationConsumer* consumer = NewConsumer();
    ASSERT_EQ(S_OK, SetConstraint(consumer, kFromFour));
    ASSERT_EQ(S_OK, consumer->Connect(Settings(service.port(), service.key(), &sink), 1));
    CosNotifyChannelAdmin::EventChannel_var channel = orb_.Channel(service.address());
    CosNotifyChannelAdmin::ConsumerAdmin_var admin = channel->default_consumer_admin();
    CosNotifyChannelAdmin::ProxyIDSeq_var proxies = admin->push_suppliers();
    ASSERT_EQ(1u, proxies->length());
    CosNotifyChannelAdmin::ProxySupplier_var proxy = admin->get_proxy_supplier(proxies[0]);
    CosNotifyFilter::FilterIDSeq_var filters = proxy->get_all_filters();
    EXPECT_EQ(serviceFilters ? 1u : 0u, filters->length());

    auto* supplier =
        Create<INotificationSupplier>(CreateNotificationSupplier, IID_INotificationSupplier);
    ASSERT_EQ(S_OK, supplier->Initialize(Settings(service.port(), service.key()), "disk"));
    for (uint32_t severity = 1; severity <= 6; ++severity) {
      EXPECT_EQ(S_OK, supplier->Publish(severity, severity, "event"));
    }
    // Events arrive in the order published: one of severity 1 to 3 that got
    // through would be among the first three.
    ASSERT_TRUE(sink.WaitForEvents(3));
    EXPECT_EQ(std::vector<uint32_t>({4, 5, 6}), Severities(sink));
    supplier->Release();
    EXPECT_EQ(0u, consumer->Release());
  }
}

TEST_F(ConsumerSelection, AServiceThatIgnoresTheFilterIsGivenItAndChangesNothing) {
  FilterIgnoringService service(orb_.orb());
  RecordingSink sink;
  INotificationConsumer* consumer = NewConsumer();
  ASSERT_EQ(S_OK, SetConstraint(consumer, kFromFour));
  ASSERT_EQ(S_OK, consumer->Connect(Settings(service.port(), service.kKey, &sink), 1));
  const std::string constraint = std::string(" [0 types] ") + kFromFour;
  EXPECT_EQ(std::vector<std::string>({"channel _get_default_filter_factory",
                                      "factory create_filter EXTENDED_TCL",
                                      "filter1 add_constraints" + constraint,
                                      "proxy1 add_filter filter1",
                                      "proxy1 connect_structured_push_consumer"}),
            service.log());

  // The push is a call within the process: each has been delivered, or
  // dropped, by the time it returns.
  CosNotifyComm::StructuredPushConsumer_var connected = service.consumer();
  for (uint32_t severity = 1; severity <= 6; ++severity) {
    connected->push_structured_event(EventOfSeverity(severity));
  }
  EXPECT_EQ(std::vector<uint32_t>({4, 5, 6}), Severities(sink));
  EXPECT_EQ(S_OK, consumer->Disconnect());
  std::vector<std::string> log = service.log();
  EXPECT_EQ(std::vector<std::string>({"proxy1 disconnect_structured_push_supplier", "filter1 destroy"}),
            std::vector<std::string>(log.begin() + 5, log.end()));
  EXPECT_EQ(0u, consumer->Release());
}

// A consumer reconnects 2 s after the service lets it go: the first here to
// the proxy it has, whose filter is gone, the second to a new proxy.
TEST_F(ConsumerSelection, EachReconnectionAttachesTheFilterWhereItIsMissing) {
  FilterIgnoringService service(orb_.orb());
  RecordingSink sink;
  INotificationConsumer* first = NewConsumer();
  ASSERT_EQ(S_OK, SetConstraint(first, kFromFour));
  ASSERT_EQ(S_OK, first->Connect(Settings(service.port(), service.kKey, &sink), 1));
  CosNotifyComm::StructuredPushConsumer_var connected = service.consumer();
  service.Lose("filter");
  connected->disconnect_structured_push_consumer();
  ASSERT_TRUE(service.WaitForLog("proxy1 add_filter filter2"));

  INotificationConsumer* second = NewConsumer();
  ASSERT_EQ(S_OK, SetConstraint(second, kFromFour));
  ASSERT_EQ(S_OK, second->Connect(Settings(service.port(), service.kKey, &sink), 1));
  connected = service.consumer();
  service.Lose("proxy");
  connected->disconnect_structured_push_consumer();
  ASSERT_TRUE(service.WaitForLog("proxy3 add_filter filter4"));
  EXPECT_TRUE(service.WaitForLog("filter3 destroy"));  // it went with proxy2

  std::vector<std::string> log = service.log();
  for (const std::string filter : {"filter2", "filter4"}) {
    EXPECT_EQ(1, std::count(log.begin(), log.end(), filter + " add_constraints [0 types] " + kFromFour));
  }
  EXPECT_EQ(S_OK, second->Disconnect());
  EXPECT_EQ("filter4 destroy", service.log().back());
  EXPECT_EQ(0u, first->Release());
  EXPECT_EQ(0u, second->Release());
}

TEST_F(ConsumerSelection, SetConstraintRefusesWhatCannotBeApplied) {
  ChannelService service;
  ASSERT_TRUE(service.Start());
  RecordingSink sink;
  INotificationConsumer* consumer = NewConsumer();
  auto* supplier = Create<INotificationSupplier>(CreateNotificationSupplier, IID_INotificationSupplier);
  ASSERT_EQ(S_OK, supplier->Initialize(Settings(service.port(), service.key()), "disk"));
  void* unused = nullptr;
  EXPECT_EQ(E_NOINTERFACE, supplier->QueryInterface(IID_INotificationFilter, &unused));

  ASSERT_EQ(S_OK, SetConstraint(consumer, kFromFour));
  // A malformed constraint leaves the one before in place.
  EXPECT_EQ(E_INVALIDARG, SetConstraint(consumer, "$.remainder_of_body.mSeverity >"));
  EXPECT_EQ(E_INVALIDARG, SetConstraint(consumer, std::string(70000, ' ').c_str()));
  ASSERT_EQ(S_OK, consumer->Connect(Settings(service.port(), service.key(), &sink), 1));
  EXPECT_EQ(E_UNEXPECTED, SetConstraint(consumer, nullptr));
  sink.set_onEvent([&] { EXPECT_EQ(E_UNEXPECTED, SetConstraint(consumer, nullptr)); });
  for (uint32_t severity : {3, 4}) EXPECT_EQ(S_OK, supplier->Publish(severity, 0, "event"));
  ASSERT_TRUE(sink.WaitForEvents(1));
  sink.set_onEvent(nullptr);
  EXPECT_EQ(std::vector<uint32_t>({4}), Severities(sink));

  // Null and empty each clear the selection: everything arrives again.
  int connections = 1;
  for (const char* cleared : {static_cast<const char*>(nullptr), ""}) {
    EXPECT_EQ(S_OK, consumer->Disconnect());
    ASSERT_EQ(S_OK, SetConstraint(consumer, kFromFour));
    EXPECT_EQ(S_OK, SetConstraint(consumer, cleared));
    ASSERT_EQ(S_OK, consumer->Connect(Settings(service.port(), service.key(), &sink), 1));
    ++connections;
    EXPECT_EQ(S_OK, supplier->Publish(static_cast<uint32_t>(connections), 0, "event"));
    ASSERT_TRUE(sink.WaitForEvents(static_cast<size_t>(connections)));
  }
  EXPECT_EQ(std::vector<uint32_t>({4, 2, 3}), Severities(sink));
  supplier->Release();
  EXPECT_EQ(0u, consumer->Release());
}

}  // namespace
}  // namespace kestrel
