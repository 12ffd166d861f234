#include "channel/screened_dispatch.h"

#include <COS/CosNotifyChannelAdmin.hh>
#include <omniORB4/callDescriptor.h>

#include <cstring>

#include "channel/type_code_screen.h"

namespace kestrel {

namespace {

bool FromAnotherProcess(const omniCallHandle& handle) { return handle.iop_s() != nullptr; }

class ScreenedPushCall : public omniCallDescriptor {
 public:
  static constexpr const char kOperation[] = "push_structured_event";

  explicit ScreenedPushCall(TypeCodeCache* cache)
      : omniCallDescriptor(&Upcall, kOperation, sizeof kOperation, 0, kUserExceptions, 1, 1),
        cache_(cache) {}

  void unmarshalArguments(cdrStream& in) override { ReadScreenedEvent(in, event_, cache_); }

 private:
  static const char* const kUserExceptions[];

  // Disconnected, raised by the servant, goes back to the caller as
  // omniORB answers any declared user exception.
  static void Upcall(omniCallDescriptor* call, omniServant* servant) {
    auto* consumer = static_cast<CosNotifyComm::_impl_StructuredPushConsumer*>(
        servant->_ptrToInterface(CosNotifyComm::StructuredPushConsumer::_PD_repoId));
    consumer->push_structured_event(static_cast<ScreenedPushCall*>(call)->event_);
  }

  TypeCodeCache* const cache_;
  CosNotification::StructuredEvent event_;
};

const char* const ScreenedPushCall::kUserExceptions[] = {CosEventComm::Disconnected::_PD_repoId};

// omniORB sends a user exception back only when the call descriptor
// declares it; any other one reaches the caller as CORBA::UNKNOWN.
const char* const kUnsupportedQoS[] = {CosNotification::UnsupportedQoS::_PD_repoId};
const char* const kUnsupportedAdmin[] = {CosNotification::UnsupportedAdmin::_PD_repoId};

CosNotification::_impl_QoSAdmin* QoSAdminOf(omniServant* servant) {
  return static_cast<CosNotification::_impl_QoSAdmin*>(
      servant->_ptrToInterface(CosNotification::QoSAdmin::_PD_repoId));
}

CosNotification::_impl_AdminPropertiesAdmin* AdminPropertiesAdminOf(omniServant* servant) {
  return static_cast<CosNotification::_impl_AdminPropertiesAdmin*>(
      servant->_ptrToInterface(CosNotification::AdminPropertiesAdmin::_PD_repoId));
}

bool IsProxy(omniServant* servant) {
  return servant->_ptrToInterface(CosNotifyChannelAdmin::ProxyConsumer::_PD_repoId) != nullptr ||
         servant->_ptrToInterface(CosNotifyChannelAdmin::ProxySupplier::_PD_repoId) != nullptr;
}

// An operation whose only argument is a property sequence. The user
// exception, if any, is the one the operation's IDL raises.
class PropertyCall : public omniCallDescriptor {
 public:
  PropertyCall(LocalCallFn upcall, const char* operation, const char* const* userException)
      : omniCallDescriptor(upcall, operation, std::strlen(operation) + 1, 0, userException,
                           userException != nullptr ? 1 : 0, 1) {}

  void unmarshalArguments(cdrStream& in) override { ReadScreenedProperties(in, properties_); }

  static PropertyCall& Of(omniCallDescriptor* call) { return *static_cast<PropertyCall*>(call); }
  const CosNotification::PropertySeq& properties() const { return properties_; }

 private:
  CosNotification::PropertySeq properties_;
};

void SetQoS(omniCallDescriptor* call, omniServant* servant) {
  QoSAdminOf(servant)->set_qos(PropertyCall::Of(call).properties());
}

void SetAdmin(omniCallDescriptor* call, omniServant* servant) {
  AdminPropertiesAdminOf(servant)->set_admin(PropertyCall::Of(call).properties());
}

// No servant of ours can say which event QoS a proxy would take.
void RefuseEventQoS(omniCallDescriptor*, omniServant*) {
  throw CORBA::NO_IMPLEMENT(0, CORBA::COMPLETED_NO);
}

// validate_qos also answers the ranges that the servant could take.
class ValidateQoSCall : public PropertyCall {
 public:
  ValidateQoSCall() : PropertyCall(&Upcall, "validate_qos", kUnsupportedQoS) {}

  void marshalReturnedValues(cdrStream& out) override { available_.in() >>= out; }

 private:
  static void Upcall(omniCallDescriptor* call, omniServant* servant) {
    auto* validation = static_cast<ValidateQoSCall*>(call);
    CosNotification::NamedPropertyRangeSeq*& available = validation->available_.out();
    QoSAdminOf(servant)->validate_qos(validation->properties(), available);
    // A servant that left it null would end the process when the reply is
    // marshalled.
    if (available == nullptr) throw CORBA::BAD_PARAM(0, CORBA::COMPLETED_YES);
  }

  CosNotification::NamedPropertyRangeSeq_var available_;
};

CosNotifyFilter::_impl_Filter* FilterOf(omniServant* servant) {
  return static_cast<CosNotifyFilter::_impl_Filter*>(
      servant->_ptrToInterface(CosNotifyFilter::Filter::_PD_repoId));
}

const char* const kUnsupportedFilterableData[] = {
    CosNotifyFilter::UnsupportedFilterableData::_PD_repoId};

// A filter's match_structured or match: one event in, a boolean back.
class ScreenedMatchCall : public omniCallDescriptor {
 public:
  explicit ScreenedMatchCall(bool structured)
      : omniCallDescriptor(&Upcall, structured ? "match_structured" : "match",
                           structured ? sizeof "match_structured" : sizeof "match", 0,
                           kUnsupportedFilterableData, 1, 1),
        structured_(structured) {}

  void unmarshalArguments(cdrStream& in) override {
    if (structured_) {
      ReadScreenedEvent(in, event_);
    } else {
      ReadScreenedAny(in, any_);
    }
  }
  void marshalReturnedValues(cdrStream& out) override { out.marshalBoolean(result_); }

 private:
  static void Upcall(omniCallDescriptor* call, omniServant* servant) {
    auto* match = static_cast<ScreenedMatchCall*>(call);
    CosNotifyFilter::_impl_Filter* filter = FilterOf(servant);
    match->result_ = match->structured_ ? filter->match_structured(match->event_)
                                        : filter->match(match->any_);
  }

  const bool structured_;
  CosNotification::StructuredEvent event_;
  CORBA::Any any_;
  CORBA::Boolean result_ = false;
};

}  // namespace

bool DispatchScreenedPush(omniServant* servant, omniCallHandle& handle, TypeCodeCache* cache) {
  if (!FromAnotherProcess(handle) ||
      !omni::strMatch(handle.operation_name(), ScreenedPushCall::kOperation) ||
      servant->_ptrToInterface(CosNotifyComm::StructuredPushConsumer::_PD_repoId) == nullptr) {
    return false;
  }
  ScreenedPushCall call(cache);
  handle.upcall(servant, call);
  return true;
}

bool DispatchScreenedPropertyRequest(omniServant* servant, omniCallHandle& handle) {
  if (!FromAnotherProcess(handle)) return false;
  const char* operation = handle.operation_name();
  if (omni::strMatch(operation, "set_qos") && QoSAdminOf(servant) != nullptr) {
    PropertyCall call(&SetQoS, "set_qos", kUnsupportedQoS);
    handle.upcall(servant, call);
  } else if (omni::strMatch(operation, "validate_qos") && QoSAdminOf(servant) != nullptr) {
    ValidateQoSCall call;
    handle.upcall(servant, call);
  } else if (omni::strMatch(operation, "set_admin") && AdminPropertiesAdminOf(servant) != nullptr) {
    PropertyCall call(&SetAdmin, "set_admin", kUnsupportedAdmin);
    handle.upcall(servant, call);
  } else if (omni::strMatch(operation, "validate_event_qos") && IsProxy(servant)) {
    PropertyCall call(&RefuseEventQoS, "validate_event_qos", nullptr);
    handle.upcall(servant, call);
  } else {
    return false;
  }
  return true;
}

bool DispatchScreenedMatch(omniServant* servant, omniCallHandle& handle) {
  if (!FromAnotherProcess(handle) || FilterOf(servant) == nullptr) return false;
  const char* operation = handle.operation_name();
  bool structured = omni::strMatch(operation, "match_structured");
  if (structured || omni::strMatch(operation, "match")) {
    ScreenedMatchCall call(structured);
    handle.upcall(servant, call);
  } else {
    return false;
  }
  return true;
}

}  // namespace kestrel
