// channeld_test_raw_push MODE TARGET HEX: sends one request whose any or
// property sequence is the given bytes exactly as they stand, as a careless
// or hostile peer could, and prints how it was answered: "answered", or the
// name of the exception. Exits 0 whenever the request went out.
//
//   channel-push ADDRESS HEX  push_structured_event through a new proxy of
//                             the channel at ADDRESS; HEX is the body's any
//   consumer-push IOR HEX     push_structured_event to a consumer; idem
//   set-qos ADDRESS HEX       set_qos on the channel; HEX is the properties
//
// The bytes follow the header in this process's byte order.

#include <omniORB4/CORBA.h>
#include <omniORB4/callDescriptor.h>
#include <omniORB4/omniObjRef.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/channeld/channel_clients.h"

namespace {

class RawCall : public omniCallDescriptor {
 public:
  RawCall(const char* operation, bool withEventHeader, std::vector<CORBA::Octet> bytes)
      : omniCallDescriptor(nullptr, operation, std::strlen(operation) + 1, 0, nullptr, 0, 0),
        withEventHeader_(withEventHeader),
        bytes_(std::move(bytes)) {}

  void marshalArguments(cdrStream& out) override {
    if (withEventHeader_) {
      CosNotification::EventHeader header;
      header.fixed_header.event_type.domain_name = "Kestrel";
      header.fixed_header.event_type.type_name = "Raw";
      header.fixed_header.event_name = "raw#0";
      header >>= out;
      CosNotification::FilterableEventBody filterable;
      filterable >>= out;
    }
    out.put_octet_array(bytes_.data(), static_cast<CORBA::ULong>(bytes_.size()));
  }

 private:
  bool withEventHeader_;
  std::vector<CORBA::Octet> bytes_;
};

bool ParseHex(const std::string& text, std::vector<CORBA::Octet>* bytes) {
  if (text.size() % 2 != 0) return false;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    unsigned value = 0;
    if (std::sscanf(text.c_str() + i, "%2x", &value) != 1) return false;
    bytes->push_back(static_cast<CORBA::Octet>(value));
  }
  return true;
}

CORBA::Object_ptr Target(const kestrel::testing::TestOrb& orb, const std::string& mode,
                         const std::string& address) {
  if (mode == "consumer-push") return orb.orb()->string_to_object(address.c_str());
  CosNotifyChannelAdmin::EventChannel_var channel = orb.Channel(address);
  if (mode == "set-qos") return CORBA::Object::_duplicate(channel.in());
  kestrel::testing::ConnectedSupplier supplier = kestrel::testing::ConnectSupplier(orb, channel.in());
  return CORBA::Object::_duplicate(supplier.proxy.in());
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<CORBA::Octet> bytes;
  const std::string mode = argc == 4 ? argv[1] : "";
  if ((mode != "channel-push" && mode != "consumer-push" && mode != "set-qos") ||
      !ParseHex(argv[3], &bytes)) {
    std::fprintf(stderr, "usage: channeld_test_raw_push channel-push|consumer-push|set-qos TARGET HEX\n");
    return 2;
  }
  try {
    kestrel::testing::TestOrb orb;
    CORBA::Object_var target = Target(orb, mode, argv[2]);
    RawCall call(mode == "set-qos" ? "set_qos" : "push_structured_event", mode != "set-qos",
                 std::move(bytes));
    try {
      target->_PR_getobj()->_invoke(call);
      std::printf("answered\n");
    } catch (const CORBA::Exception& e) {
      std::printf("%s\n", e._name());
    }
  } catch (const CORBA::Exception& e) {
    std::fprintf(stderr, "channeld_test_raw_push: %s\n", e._name());
    return 1;
  }
  return 0;
}
