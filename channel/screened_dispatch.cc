#include "channel/screened_dispatch.h"

#include <omniORB4/callDescriptor.h>

#include <cstring>

#include "channel/type_code_screen.h"

namespace kestrel {

namespace {

bool FromAnotherProcess(const omniCallHandle& handle) { return handle.iop_s() != nullptr; }

class ScreenedPushCall : public omniCallDescriptor {
 public:
  static constexpr const char kOperation[] = "push_structured_event";

  ScreenedPushCall()
      : omniCallDescriptor(&Upcall, kOperation, sizeof kOperation, 0, kUserExceptions, 1, 1) {}

  void unmarshalArguments(cdrStream& in) override { ReadScreenedEvent(in, event_); }

 private:
  static const char* const kUserExceptions[];

  // Disconnected, raised by the servant, goes back to the caller as
  // omniORB answers any declared user exception.
  static void Upcall(omniCallDescriptor* call, omniServant* servant) {
    auto* consumer = static_cast<CosNotifyComm::_impl_StructuredPushConsumer*>(
        servant->_ptrToInterface(CosNotifyComm::StructuredPushConsumer::_PD_repoId));
    consumer->push_structured_event(static_cast<ScreenedPushCall*>(call)->event_);
  }

  CosNotification::StructuredEvent event_;
};

const char* const ScreenedPushCall::kUserExceptions[] = {CosEventComm::Disconnected::_PD_repoId};

class RefusedPropertyCall : public omniCallDescriptor {
 public:
  explicit RefusedPropertyCall(const char* operation)
      : omniCallDescriptor(&Upcall, operation, std::strlen(operation) + 1, 0, nullptr, 0, 1) {}

  void unmarshalArguments(cdrStream& in) override { ReadScreenedProperties(in, properties_); }

 private:
  static void Upcall(omniCallDescriptor*, omniServant*) {
    throw CORBA::NO_IMPLEMENT(0, CORBA::COMPLETED_NO);
  }

  CosNotification::PropertySeq properties_;
};

const char* const kPropertyOperations[] = {"set_qos", "validate_qos", "validate_event_qos",
                                           "set_admin"};

}  // namespace

bool DispatchScreenedPush(omniServant* servant, omniCallHandle& handle) {
  if (!FromAnotherProcess(handle) ||
      !omni::strMatch(handle.operation_name(), ScreenedPushCall::kOperation) ||
      servant->_ptrToInterface(CosNotifyComm::StructuredPushConsumer::_PD_repoId) == nullptr) {
    return false;
  }
  ScreenedPushCall call;
  handle.upcall(servant, call);
  return true;
}

bool RefuseScreenedPropertyRequest(omniServant* servant, omniCallHandle& handle) {
  if (!FromAnotherProcess(handle)) return false;
  for (const char* operation : kPropertyOperations) {
    if (omni::strMatch(handle.operation_name(), operation)) {
      RefusedPropertyCall call(operation);
      handle.upcall(servant, call);
      return true;
    }
  }
  return false;
}

}  // namespace kestrel
