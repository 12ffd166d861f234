// The consumer's selection (INotificationFilter): what reaches the sink
// through kestrel-channeld, which has no filters, and through a service
// that takes the consumer's filter and ignores it; how the filter is given
// to the service at each connection; what SetConstraint answers.

#include <gtest/gtest.h>

#include <COS/CosNotifyChannelAdmin.hh>
#include <COS/CosNotifyFilter.hh>
#include <omniORB4/IIOP.h>
#include <omniORB4/omniIOR.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
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

namespace kestrel {
namespace {

using testing::ChannelService;
using testing::Create;
using testing::FakeSettings;
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

// The port of the first IIOP profile of a reference; 0 when there is none.
int PortInReference(CORBA::Object_ptr reference) {
  omniIOR* ior = reference->_PR_getobj()->_getIOR();
  int port = 0;
  const IOP::TaggedProfileList& profiles = ior->iopProfiles();
  for (CORBA::ULong i = 0; i < profiles.length() && port == 0; ++i) {
    if (profiles[i].tag != IOP::TAG_INTERNET_IOP) continue;
    IIOP::ProfileBody body;
    IIOP::unmarshalProfile(profiles[i], body);
    port = body.address.port;
  }
  ior->release();
  return port;
}

// A notification service in the test process that takes every filter it is
// given and applies none. Its channel, admin, proxies, filter factory and
// filters are DSI servants under keys of omniORB's corbaloc adapter, each
// answering only what a consumer asks of it, and it logs the calls that
// concern filters and connections ("proxy1 add_filter filter1"). The test
// pushes events to the consumer that connected last. Proxies and filters
// can be made to vanish, as a restart of a service would have them.
class FilterIgnoringService {
 public:
  static constexpr const char* kKey = "channel";

  explicit FilterIgnoringService(CORBA::ORB_ptr orb) : orb_(CORBA::ORB::_duplicate(orb)) {
    CORBA::Object_var object = orb_->resolve_initial_references("omniINSPOA");
    poa_ = PortableServer::POA::_narrow(object);
    PortableServer::POAManager_var manager = poa_->the_POAManager();
    manager->activate();
    channel_ = Add(kChannel, kKey);
    admin_ = Add(kAdmin, "admin");
    factory_ = Add(kFactory, "factory");
  }
  ~FilterIgnoringService() {
    for (const std::unique_ptr<Servant>& servant : servants_) {
      PortableServer::ObjectId_var id = PortableServer::string_to_ObjectId(servant->name.c_str());
      poa_->deactivate_object(id.in());
    }
  }

  int port() const { return PortInReference(channel_); }

  std::vector<std::string> log() {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
  }
  bool WaitForLog(const std::string& entry) {
    std::unique_lock<std::mutex> lock(mutex_);
    return logged_.wait_for(lock, std::chrono::seconds(20), [&] {
      for (const std::string& line : log_) {
        if (line == entry) return true;
      }
      return false;
    });
  }
  CosNotifyComm::StructuredPushConsumer_ptr consumer() {
    std::lock_guard<std::mutex> lock(mutex_);
    return CosNotifyComm::StructuredPushConsumer::_duplicate(consumer_);
  }
  // As after a restart that kept proxies but not filters, or neither.
  void LoseFilters() { Lose(kFilter); }
  void LoseProxies() { Lose(kProxy); }

 private:
  enum Role { kChannel, kAdmin, kProxy, kFactory, kFilter };

  class Servant : public PortableServer::DynamicImplementation {
   public:
    Servant(FilterIgnoringService* service, Role role, std::string name)
        : service(service), role(role), name(std::move(name)) {}
    void invoke(CORBA::ServerRequest_ptr request) override { service->Invoke(this, request); }
    char* _primary_interface(const PortableServer::ObjectId&, PortableServer::POA_ptr) override {
      return CORBA::string_dup(Interface());
    }
    // omniORB's own version leaks the text of _primary_interface.
    CORBA::Boolean _is_a(const char* id) override {
      return std::strcmp(id, Interface()) == 0 || std::strcmp(id, "IDL:omg.org/CORBA/Object:1.0") == 0;
    }
    const char* Interface() const {
      static const char* const kInterfaces[] = {
          "IDL:omg.org/CosNotifyChannelAdmin/EventChannel:1.0",
          "IDL:omg.org/CosNotifyChannelAdmin/ConsumerAdmin:1.0",
          "IDL:omg.org/CosNotifyChannelAdmin/StructuredProxyPushSupplier:1.0",
          "IDL:omg.org/CosNotifyFilter/FilterFactory:1.0", "IDL:omg.org/CosNotifyFilter/Filter:1.0"};
      return kInterfaces[role];
    }

    FilterIgnoringService* const service;
    const Role role;
    const std::string name;
    bool gone = false;                   // guarded by the service's mutex_
    CosNotifyFilter::FilterID held = 0;  // a proxy's filter, idem
  };

  CORBA::Object_ptr Add(Role role, const std::string& name) {
    servants_.emplace_back(new Servant(this, role, name));
    PortableServer::ObjectId_var id = PortableServer::string_to_ObjectId(name.c_str());
    poa_->activate_object_with_id(id.in(), servants_.back().get());
    return poa_->id_to_reference(id.in());
  }

  void Lose(Role role) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::unique_ptr<Servant>& servant : servants_) {
      if (servant->role == role) servant->gone = true;
    }
  }

  // Reads the request's arguments into anys of the types that values give.
  // The list belongs to the request.
  static CORBA::NVList_ptr Arguments(CORBA::ORB_ptr orb, CORBA::ServerRequest_ptr request,
                                     const std::vector<CORBA::Any>& values) {
    CORBA::NVList_ptr arguments;
    orb->create_list(0, arguments);
    for (const CORBA::Any& value : values) arguments->add_value("", value, CORBA::ARG_IN);
    request->arguments(arguments);
    return arguments;
  }

  static void SetReference(CORBA::Any& any, CORBA::Object_ptr reference) {
    any <<= reference;
    // omniORB answers an any that holds a reference badly unless its value
    // was marshalled into it first.
    any.PR_streamToRead();
  }

  void Invoke(Servant* servant, CORBA::ServerRequest_ptr request) {
    const std::string operation = request->operation();
    std::unique_lock<std::mutex> lock(mutex_);
    if (servant->gone) throw CORBA::OBJECT_NOT_EXIST(0, CORBA::COMPLETED_NO);
    std::string entry = servant->name + " " + operation;
    CORBA::Any result;
    if (servant->role == kChannel && operation == "_get_default_consumer_admin") {
      Arguments(orb_, request, {});
      SetReference(result, admin_);
    } else if (servant->role == kChannel && operation == "_get_default_filter_factory") {
      Arguments(orb_, request, {});
      SetReference(result, factory_);
    } else if (servant->role == kAdmin && operation == "subscription_change") {
      CORBA::Any types;
      types <<= CosNotification::EventTypeSeq();
      Arguments(orb_, request, {types, types});
    } else if (servant->role == kAdmin && operation == "obtain_notification_push_supplier") {
      CORBA::Any clientType, id;
      clientType <<= CORBA::ULong(0);  // an enum travels as an unsigned long
      id <<= CORBA::Long(0);
      CORBA::NVList_ptr arguments;
      orb_->create_list(0, arguments);
      arguments->add_value("ctype", clientType, CORBA::ARG_IN);
      arguments->add_value("proxy_id", id, CORBA::ARG_OUT);
      request->arguments(arguments);
      SetReference(result, Add(kProxy, "proxy" + std::to_string(++proxies_)));
    } else if (servant->role == kProxy && operation == "connect_structured_push_consumer") {
      CORBA::Any typed;
      typed <<= CosNotifyComm::StructuredPushConsumer::_nil();
      CORBA::NVList_ptr arguments = Arguments(orb_, request, {typed});
      CosNotifyComm::StructuredPushConsumer_ptr consumer;
      *arguments->item(0)->value() >>= consumer;
      consumer_ = CosNotifyComm::StructuredPushConsumer::_duplicate(consumer);
    } else if (servant->role == kProxy && operation == "add_filter") {
      CORBA::Any typed;
      typed <<= CosNotifyFilter::Filter::_nil();
      CORBA::NVList_ptr arguments = Arguments(orb_, request, {typed});
      CosNotifyFilter::Filter_ptr filter;
      *arguments->item(0)->value() >>= filter;
      PortableServer::ObjectId_var id = poa_->reference_to_id(filter);
      CORBA::String_var name = PortableServer::ObjectId_to_string(id.in());
      entry += std::string(" ") + name.in();
      servant->held = ++filterIds_;
      result <<= servant->held;
    } else if (servant->role == kProxy && operation == "get_filter") {
      CORBA::Any typed;
      typed <<= CosNotifyFilter::FilterID(0);
      CORBA::NVList_ptr arguments = Arguments(orb_, request, {typed});
      CosNotifyFilter::FilterID id = 0;
      *arguments->item(0)->value() >>= id;
      const Servant* filter = servant->held == id ? FilterNamed("filter" + std::to_string(id)) : nullptr;
      if (filter == nullptr || filter->gone) {
        Log(entry);
        CORBA::Any exception;
        exception <<= CosNotifyFilter::FilterNotFound();
        request->set_exception(exception);
        return;
      }
      SetReference(result, FilterReference(id));
    } else if (servant->role == kProxy && operation == "disconnect_structured_push_supplier") {
      Arguments(orb_, request, {});
    } else if (servant->role == kFactory && operation == "create_filter") {
      CORBA::Any typed;
      typed <<= "";
      CORBA::NVList_ptr arguments = Arguments(orb_, request, {typed});
      const char* grammar = "";
      *arguments->item(0)->value() >>= grammar;
      entry += std::string(" ") + grammar;
      // Named after the id that the proxy will give it, which counts the
      // same way.
      SetReference(result, Add(kFilter, "filter" + std::to_string(filterIds_ + 1)));
    } else if (servant->role == kFilter && operation == "add_constraints") {
      CORBA::Any typed;
      typed <<= CosNotifyFilter::ConstraintExpSeq();
      CORBA::NVList_ptr arguments = Arguments(orb_, request, {typed});
      const CosNotifyFilter::ConstraintExpSeq* constraints = nullptr;
      *arguments->item(0)->value() >>= constraints;
      CosNotifyFilter::ConstraintInfoSeq answer;
      answer.length(constraints->length());
      for (CORBA::ULong i = 0; i < constraints->length(); ++i) {
        const CosNotifyFilter::ConstraintExp& constraint = (*constraints)[i];
        entry += " [" + std::to_string(constraint.event_types.length()) + " types] " +
                 constraint.constraint_expr.in();
        answer[i].constraint_expression = constraint;
        answer[i].constraint_id = static_cast<CosNotifyFilter::ConstraintID>(i + 1);
      }
      result <<= answer;
    } else if (servant->role == kFilter && operation == "destroy") {
      Arguments(orb_, request, {});
      servant->gone = true;
    } else {
      throw CORBA::BAD_OPERATION(0, CORBA::COMPLETED_NO);
    }
    if (operation != "_get_default_consumer_admin" && operation != "subscription_change" &&
        operation != "obtain_notification_push_supplier") {
      Log(entry);
    }
    CORBA::TypeCode_var type = result.type();
    if (type->kind() != CORBA::tk_null) request->set_result(result);
  }

  // REQUIRES: mutex_ held.
  void Log(const std::string& entry) {
    log_.push_back(entry);
    logged_.notify_all();
  }

  const Servant* FilterNamed(const std::string& name) const {
    for (const std::unique_ptr<Servant>& servant : servants_) {
      if (servant->role == kFilter && servant->name == name) return servant.get();
    }
    return nullptr;
  }
  CORBA::Object_ptr FilterReference(CosNotifyFilter::FilterID id) {
    PortableServer::ObjectId_var oid = PortableServer::string_to_ObjectId(("filter" + std::to_string(id)).c_str());
    return poa_->id_to_reference(oid.in());
  }

  CORBA::ORB_var orb_;
  PortableServer::POA_var poa_;
  CORBA::Object_var channel_, admin_, factory_;
  std::mutex mutex_;
  std::condition_variable logged_;
  // Guarded by mutex_ after the constructor.
  std::vector<std::unique_ptr<Servant>> servants_;
  std::vector<std::string> log_;
  CosNotifyComm::StructuredPushConsumer_var consumer_;
  int proxies_ = 0;
  CosNotifyFilter::FilterID filterIds_ = 0;
};

CosNotification::StructuredEvent EventOfSeverity(uint32_t severity) {
  Kestrel::EventData record;
  record.mModule = static_cast<const char*>("disk");
  record.mHost = static_cast<const char*>("here");
  record.mSeverity = severity;
  record.mMessageCode = 0;
  record.mDescription = static_cast<const char*>("");
  CosNotification::StructuredEvent event;
  event.header.fixed_header.event_type.domain_name = static_cast<const char*>("TNW");
  event.header.fixed_header.event_type.type_name = static_cast<const char*>("Event");
  event.header.fixed_header.event_name = static_cast<const char*>("SystemEvent");
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

// kestrel-channeld answers NO_IMPLEMENT to filters: the consumer connects all
// the same and selects by itself. A service that does filter must come to
// the same three events.
TEST_F(ConsumerSelection, OnlySelectedEventsReachTheSinkThroughTheChannelService) {
  ChannelService service;
  ASSERT_TRUE(service.Start());
  RecordingSink sink;
  INotificationConsumer* consumer = NewConsumer();
  ASSERT_EQ(S_OK, SetConstraint(consumer, kFromFour));
  ASSERT_EQ(S_OK, consumer->Connect(Settings(service.port(), service.key(), &sink), 1));
  auto* supplier = Create<INotificationSupplier>(CreateNotificationSupplier, IID_INotificationSupplier);
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

// The consumer reconnects 2 s after the service lets it go: to the proxy it
// has, whose filter is gone, then to a new proxy.
TEST_F(ConsumerSelection, EachReconnectionAttachesTheFilterWhereItIsMissing) {
  FilterIgnoringService service(orb_.orb());
  RecordingSink sink;
  INotificationConsumer* consumer = NewConsumer();
  ASSERT_EQ(S_OK, SetConstraint(consumer, kFromFour));
  ASSERT_EQ(S_OK, consumer->Connect(Settings(service.port(), service.kKey, &sink), 1));
  CosNotifyComm::StructuredPushConsumer_var connected = service.consumer();

  service.LoseFilters();
  connected->disconnect_structured_push_consumer();
  ASSERT_TRUE(service.WaitForLog("proxy1 add_filter filter2"));
  service.LoseProxies();
  connected->disconnect_structured_push_consumer();
  ASSERT_TRUE(service.WaitForLog("proxy2 connect_structured_push_consumer"));

  const std::string constraint = std::string(" [0 types] ") + kFromFour;
  std::vector<std::string> log = service.log();
  EXPECT_EQ(std::vector<std::string>({
                "proxy1 connect_structured_push_consumer", "proxy1 get_filter",
                "channel _get_default_filter_factory", "factory create_filter EXTENDED_TCL",
                "filter2 add_constraints" + constraint, "proxy1 add_filter filter2",
                "filter2 destroy", "channel _get_default_filter_factory",
                "factory create_filter EXTENDED_TCL", "filter3 add_constraints" + constraint,
                "proxy2 add_filter filter3", "proxy2 connect_structured_push_consumer"}),
            std::vector<std::string>(log.begin() + 5, log.end()));
  EXPECT_EQ(S_OK, consumer->Disconnect());
  EXPECT_EQ("filter3 destroy", service.log().back());
  EXPECT_EQ(0u, consumer->Release());
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
