// The property operations that arrive from another process: read through
// the screen, then answered by the servant as the generated dispatch would
// answer them, exceptions and out arguments included. The calls come from a
// peer process (screened_dispatch_peer_main.cc): omniORB gives a call from
// this process straight to the servant, never through _dispatch.

#include <gtest/gtest.h>

#include <COS/CosNotifyChannelAdmin.hh>
#include <omniORB4/callDescriptor.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "channel/screened_dispatch.h"
#include "tests/support/cdr_writer.h"
#include "tests/support/orb_environment.h"

namespace kestrel {
namespace {

using testing::CdrWriter;
using testing::OrbEnvironment;
using Lines = std::vector<std::string>;
using CosNotification::PropertySeq;

::testing::Environment* const kOrbEnvironment =
    ::testing::AddGlobalTestEnvironment(new OrbEnvironment);

CORBA::Long LongIn(const CORBA::Any& value) {
  CORBA::Long number = -1;
  value >>= number;
  return number;
}

CORBA::Any Long(CORBA::Long number) {
  CORBA::Any value;
  value <<= number;
  return value;
}

// What reaches a servant: each upcall with its properties as NAME=VALUE,
// and each request that the screened dispatch left to the generated one. A
// refusing servant answers every property as a bad value, with the range
// below it; an accepting one offers the range around it.
class Recorder {
 public:
  explicit Recorder(bool refuses) : refuses_(refuses) {}

  Lines upcalls() const {
    std::lock_guard<std::mutex> lock(mu_);
    return upcalls_;
  }
  Lines leftToGenerated() const {
    std::lock_guard<std::mutex> lock(mu_);
    return leftToGenerated_;
  }

 protected:
  void Upcall(const char* operation, const PropertySeq& properties) {
    std::string text = operation;
    for (CORBA::ULong i = 0; i < properties.length(); ++i) {
      text += " " + std::string(properties[i].name.in()) + "=" +
              std::to_string(LongIn(properties[i].value));
    }
    std::lock_guard<std::mutex> lock(mu_);
    upcalls_.push_back(text);
  }
  void LeftToGenerated(const char* operation) {
    std::lock_guard<std::mutex> lock(mu_);
    leftToGenerated_.push_back(operation);
  }
  CosNotification::PropertyErrorSeq Errors(const PropertySeq& properties) const {
    CosNotification::PropertyErrorSeq errors;
    errors.length(properties.length());
    for (CORBA::ULong i = 0; i < properties.length(); ++i) {
      errors[i].code = CosNotification::BAD_VALUE;
      errors[i].name = properties[i].name;
      errors[i].available_range.low_val = Long(0);
      errors[i].available_range.high_val = Long(LongIn(properties[i].value) - 1);
    }
    return errors;
  }
  CosNotification::NamedPropertyRangeSeq* Ranges(const PropertySeq& properties) const {
    auto* ranges = new CosNotification::NamedPropertyRangeSeq;
    ranges->length(properties.length());
    for (CORBA::ULong i = 0; i < properties.length(); ++i) {
      (*ranges)[i].name = properties[i].name;
      (*ranges)[i].range.low_val = Long(LongIn(properties[i].value) - 1);
      (*ranges)[i].range.high_val = Long(LongIn(properties[i].value) + 1);
    }
    return ranges;
  }

  const bool refuses_;

 private:
  mutable std::mutex mu_;  // guards upcalls_ and leftToGenerated_, written by ORB threads
  Lines upcalls_;
  Lines leftToGenerated_;
};

// A proxy, so that validate_event_qos is one of its operations too.
class QoSServant : public POA_CosNotifyChannelAdmin::ProxyConsumer, public Recorder {
 public:
  using Recorder::Recorder;
  CORBA::Boolean _dispatch(omniCallHandle& handle) override {
    if (DispatchScreenedPropertyRequest(this, handle)) return true;
    LeftToGenerated(handle.operation_name());
    return POA_CosNotifyChannelAdmin::ProxyConsumer::_dispatch(handle);
  }
  void set_qos(const PropertySeq& qos) override {
    Upcall("set_qos", qos);
    if (refuses_) throw CosNotification::UnsupportedQoS(Errors(qos));
  }
  void validate_qos(const PropertySeq& qos,
                    CosNotification::NamedPropertyRangeSeq_out available) override {
    Upcall("validate_qos", qos);
    if (refuses_) throw CosNotification::UnsupportedQoS(Errors(qos));
    available = Ranges(qos);
  }
  void validate_event_qos(const PropertySeq& qos,
                          CosNotification::NamedPropertyRangeSeq_out available) override {
    Upcall("validate_event_qos", qos);
    available = Ranges(qos);
  }
  // Not asked for by these tests.
  using Unasked = CORBA::NO_IMPLEMENT;
  CosNotification::QoSProperties* get_qos() override { throw Unasked(); }
  CosNotifyChannelAdmin::ProxyType MyType() override { throw Unasked(); }
  CosNotifyChannelAdmin::SupplierAdmin_ptr MyAdmin() override { throw Unasked(); }
  CosNotification::EventTypeSeq* obtain_subscription_types(
      CosNotifyChannelAdmin::ObtainInfoMode) override {
    throw Unasked();
  }
  CosNotifyFilter::FilterID add_filter(CosNotifyFilter::Filter_ptr) override { throw Unasked(); }
  void remove_filter(CosNotifyFilter::FilterID) override { throw Unasked(); }
  CosNotifyFilter::Filter_ptr get_filter(CosNotifyFilter::FilterID) override { throw Unasked(); }
  CosNotifyFilter::FilterIDSeq* get_all_filters() override { throw Unasked(); }
  void remove_all_filters() override { throw Unasked(); }
};

class AdminServant : public POA_CosNotification::AdminPropertiesAdmin, public Recorder {
 public:
  using Recorder::Recorder;
  CORBA::Boolean _dispatch(omniCallHandle& handle) override {
    if (DispatchScreenedPropertyRequest(this, handle)) return true;
    LeftToGenerated(handle.operation_name());
    return POA_CosNotification::AdminPropertiesAdmin::_dispatch(handle);
  }
  void set_admin(const PropertySeq& admin) override {
    Upcall("set_admin", admin);
    if (refuses_) throw CosNotification::UnsupportedAdmin(Errors(admin));
  }
  CosNotification::AdminProperties* get_admin() override { throw CORBA::NO_IMPLEMENT(); }
};

// Deliberately never released: the ORB, destroyed at the end, owns it.
PortableServer::POA_ptr RootPoa() {
  static PortableServer::POA_ptr poa = [] {
    CORBA::Object_var object = OrbEnvironment::orb()->resolve_initial_references("RootPOA");
    PortableServer::POA_var root = PortableServer::POA::_narrow(object.in());
    PortableServer::POAManager_var manager = root->the_POAManager();
    manager->activate();
    return root._retn();
  }();
  return poa;
}

// A servant active for one test, and its reference as text.
template <typename Servant>
class Active {
 public:
  explicit Active(bool refuses) : servant_(new Servant(refuses)) {
    id_ = RootPoa()->activate_object(servant_.in());
    CORBA::Object_var reference = RootPoa()->id_to_reference(id_.in());
    ior_ = CORBA::String_var(OrbEnvironment::orb()->object_to_string(reference.in())).in();
  }
  ~Active() { RootPoa()->deactivate_object(id_.in()); }
  Servant* operator->() { return servant_.in(); }
  const std::string& ior() const { return ior_; }

 private:
  PortableServer::Servant_var<Servant> servant_;
  PortableServer::ObjectId_var id_;
  std::string ior_;
};

// How the peer's call, made with these arguments after the reference, was
// answered (see screened_dispatch_peer_main.cc).
std::string Peer(const std::string& ior, const std::string& arguments) {
  const std::string command = std::string(SCREENED_DISPATCH_PEER) + " " + ior + " " + arguments;
  std::FILE* output = popen(command.c_str(), "r");
  std::string text;
  char buffer[256];
  for (size_t read; (read = std::fread(buffer, 1, sizeof buffer, output)) > 0;) {
    text.append(buffer, read);
  }
  EXPECT_EQ(0, pclose(output)) << arguments;
  return text;
}

// A struct type code that announces more members than any message holds.
CdrWriter MalformedType() {
  CdrWriter parameters = CdrWriter::Encapsulated(false);
  parameters.String("IDL:Probe/S:1.0").String("S").ULong(0xfffffff0);
  return CdrWriter(false).Complex(CORBA::tk_struct, parameters);
}

TEST(ScreenedDispatch, QoSReachesTheServantAndItsAnswerTheCaller) {
  Active<QoSServant> accepting(false);
  EXPECT_EQ("answered\n", Peer(accepting.ior(), "set_qos Priority=3 Timeout=100"));
  EXPECT_EQ("answered\nPriority 2 4\nTimeout 99 101\n",
            Peer(accepting.ior(), "validate_qos Priority=3 Timeout=100"));
  // No servant of ours takes event QoS; the proxy never hears of it.
  EXPECT_EQ("NO_IMPLEMENT\n", Peer(accepting.ior(), "validate_event_qos Priority=3"));
  EXPECT_EQ((Lines{"set_qos Priority=3 Timeout=100", "validate_qos Priority=3 Timeout=100"}),
            accepting->upcalls());
  EXPECT_EQ(Lines{}, accepting->leftToGenerated());

  Active<QoSServant> refusing(true);
  const std::string refusal = "UnsupportedQoS\n6 Priority 0 2\n6 Timeout 0 99\n";
  EXPECT_EQ(refusal, Peer(refusing.ior(), "set_qos Priority=3 Timeout=100"));
  EXPECT_EQ(refusal, Peer(refusing.ior(), "validate_qos Priority=3 Timeout=100"));
  EXPECT_EQ(2u, refusing->upcalls().size());
  EXPECT_EQ(Lines{}, refusing->leftToGenerated());
}

TEST(ScreenedDispatch, AdminPropertiesReachTheServantAndItsAnswerTheCaller) {
  Active<AdminServant> accepting(false);
  Active<AdminServant> refusing(true);
  EXPECT_EQ("answered\n", Peer(accepting.ior(), "set_admin MaxQueueLength=50 MaxConsumers=4"));
  EXPECT_EQ(Lines{"set_admin MaxQueueLength=50 MaxConsumers=4"}, accepting->upcalls());
  EXPECT_EQ("UnsupportedAdmin\n6 MaxQueueLength 0 49\n",
            Peer(refusing.ior(), "set_admin MaxQueueLength=50"));
  EXPECT_EQ(Lines{"set_admin MaxQueueLength=50"}, refusing->upcalls());
  EXPECT_EQ(Lines{}, accepting->leftToGenerated());
  EXPECT_EQ(Lines{}, refusing->leftToGenerated());
}

TEST(ScreenedDispatch, MalformedPropertiesAreAnsweredMarshalBeforeTheServant) {
  Active<QoSServant> qos(false);
  Active<AdminServant> admin(false);
  const std::string malformed =
      CdrWriter(false).ULong(1).String("Priority").TypeCode(MalformedType()).Hex();
  for (const char* operation : {"set_qos", "validate_qos", "validate_event_qos"}) {
    EXPECT_EQ("MARSHAL\n", Peer(qos.ior(), std::string("raw ") + operation + " " + malformed));
  }
  EXPECT_EQ("MARSHAL\n", Peer(admin.ior(), "raw set_admin " + malformed));
  EXPECT_EQ(Lines{}, qos->upcalls());
  EXPECT_EQ(Lines{}, admin->upcalls());

  // The same request with an honest any gets through.
  const std::string honest =
      CdrWriter(false).ULong(1).String("Priority").ULong(CORBA::tk_long).ULong(7).Hex();
  EXPECT_EQ("answered\n", Peer(qos.ior(), "raw set_qos " + honest));
  EXPECT_EQ(Lines{"set_qos Priority=7"}, qos->upcalls());
}

TEST(ScreenedDispatch, AnOperationOfAnotherInterfaceIsLeftToTheGeneratedDispatch) {
  Active<QoSServant> qos(false);
  Active<AdminServant> admin(false);
  for (const char* operation : {"set_qos", "validate_qos", "validate_event_qos"}) {
    EXPECT_EQ("BAD_OPERATION\n", Peer(admin.ior(), std::string(operation) + " Priority=3"));
  }
  EXPECT_EQ("BAD_OPERATION\n", Peer(qos.ior(), "set_admin MaxQueueLength=50"));
  EXPECT_EQ((Lines{"set_qos", "validate_qos", "validate_event_qos"}), admin->leftToGenerated());
  EXPECT_EQ(Lines{"set_admin"}, qos->leftToGenerated());
  EXPECT_EQ(Lines{}, qos->upcalls());
  EXPECT_EQ(Lines{}, admin->upcalls());
}

TEST(ScreenedDispatch, ACallFromThisProcessIsLeftToTheGeneratedDispatch) {
  PortableServer::Servant_var<QoSServant> qos(new QoSServant(false));
  PortableServer::Servant_var<AdminServant> admin(new AdminServant(false));
  for (const char* operation : {"set_qos", "validate_qos", "validate_event_qos", "set_admin"}) {
    omniCallDescriptor call(nullptr, operation, std::strlen(operation) + 1, 0, nullptr, 0, 1);
    omniCallHandle handle(&call, false);
    EXPECT_FALSE(DispatchScreenedPropertyRequest(qos.in(), handle)) << operation;
    EXPECT_FALSE(DispatchScreenedPropertyRequest(admin.in(), handle)) << operation;
  }
}

}  // namespace
}  // namespace kestrel
