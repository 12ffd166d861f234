// screened_dispatch_test_peer: the other process of screened_dispatch_test,
// since omniORB hands a call to a servant of the caller's own process
// straight to the servant, past _dispatch. Prints how one call was answered:
// "answered", then validate_qos's ranges, one a line as NAME LOW HIGH; or
// the exception's name, then a user exception's errors as CODE NAME LOW HIGH.
//
//   IOR OPERATION NAME=VALUE...  OPERATION (set_qos, validate_qos, set_admin
//                                or validate_event_qos) through omniORB's
//                                stubs, with long-valued properties
//   IOR raw OPERATION HEX        OPERATION with HEX, in this process's byte
//                                order, as the property sequence

#include <COS/CosNotifyChannelAdmin.hh>
#include <omniORB4/CORBA.h>
#include <omniORB4/callDescriptor.h>
#include <omniORB4/omniObjRef.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

class RawCall : public omniCallDescriptor {
 public:
  RawCall(const char* operation, std::vector<CORBA::Octet> bytes)
      : omniCallDescriptor(nullptr, operation, std::strlen(operation) + 1, 0, nullptr, 0, 0),
        bytes_(std::move(bytes)) {}

  void marshalArguments(cdrStream& out) override {
    out.put_octet_array(bytes_.data(), static_cast<CORBA::ULong>(bytes_.size()));
  }

 private:
  std::vector<CORBA::Octet> bytes_;
};

std::vector<CORBA::Octet> FromHex(const std::string& text) {
  std::vector<CORBA::Octet> bytes;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    bytes.push_back(static_cast<CORBA::Octet>(std::stoul(text.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

CosNotification::PropertySeq Properties(int count, char** settings) {
  CosNotification::PropertySeq properties;
  properties.length(count);
  for (int i = 0; i < count; ++i) {
    const std::string setting = settings[i];
    const std::size_t equals = setting.find('=');
    properties[i].name = setting.substr(0, equals).c_str();
    properties[i].value <<= static_cast<CORBA::Long>(std::stol(setting.substr(equals + 1)));
  }
  return properties;
}

CORBA::Long LongIn(const CORBA::Any& value) {
  CORBA::Long number = -1;
  value >>= number;
  return number;
}

void PrintErrors(const CosNotification::PropertyErrorSeq& errors) {
  for (CORBA::ULong i = 0; i < errors.length(); ++i) {
    std::printf("%d %s %d %d\n", static_cast<int>(errors[i].code), errors[i].name.in(),
                LongIn(errors[i].available_range.low_val),
                LongIn(errors[i].available_range.high_val));
  }
}

void Call(CORBA::Object_ptr target, const std::string& operation,
          const CosNotification::PropertySeq& properties) {
  CosNotification::NamedPropertyRangeSeq_var ranges = new CosNotification::NamedPropertyRangeSeq;
  if (operation == "set_qos" || operation == "validate_qos") {
    CosNotification::QoSAdmin_var admin = CosNotification::QoSAdmin::_unchecked_narrow(target);
    if (operation == "set_qos") {
      admin->set_qos(properties);
    } else {
      admin->validate_qos(properties, ranges.out());
    }
  } else if (operation == "set_admin") {
    CosNotification::AdminPropertiesAdmin_var admin =
        CosNotification::AdminPropertiesAdmin::_unchecked_narrow(target);
    admin->set_admin(properties);
  } else {
    CosNotifyChannelAdmin::ProxyConsumer_var proxy =
        CosNotifyChannelAdmin::ProxyConsumer::_unchecked_narrow(target);
    proxy->validate_event_qos(properties, ranges.out());
  }
  std::printf("answered\n");
  for (CORBA::ULong i = 0; i < ranges->length(); ++i) {
    std::printf("%s %d %d\n", ranges[i].name.in(), LongIn(ranges[i].range.low_val),
                LongIn(ranges[i].range.high_val));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: screened_dispatch_test_peer IOR [raw] OPERATION ...\n");
    return 2;
  }
  try {
    CORBA::ORB_var orb = CORBA::ORB_init(argc, argv);
    omniORB::setClientCallTimeout(10000);
    CORBA::Object_var target = orb->string_to_object(argv[1]);
    try {
      if (std::strcmp(argv[2], "raw") == 0 && argc == 5) {
        RawCall call(argv[3], FromHex(argv[4]));
        target->_PR_getobj()->_invoke(call);
        std::printf("answered\n");
      } else {
        Call(target.in(), argv[2], Properties(argc - 3, argv + 3));
      }
    } catch (const CosNotification::UnsupportedQoS& e) {
      std::printf("%s\n", e._name());
      PrintErrors(e.qos_err);
    } catch (const CosNotification::UnsupportedAdmin& e) {
      std::printf("%s\n", e._name());
      PrintErrors(e.admin_err);
    } catch (const CORBA::Exception& e) {
      std::printf("%s\n", e._name());
    }
    orb->destroy();
  } catch (const CORBA::Exception& e) {
    std::fprintf(stderr, "screened_dispatch_test_peer: %s\n", e._name());
    return 1;
  }
  return 0;
}
