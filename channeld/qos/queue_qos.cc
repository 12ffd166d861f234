#include "channeld/qos/queue_qos.h"

#include <COS/TimeBase.hh>

#include <cstring>

#include "channeld/qos/property_errors.h"

namespace kestrel {
namespace channeld {

namespace {

using TimeT = TimeBase::TimeT;
using TimeTUnits = std::chrono::duration<long long, std::ratio<1, 10000000>>;  // 100 ns

bool Named(const CosNotification::Property& property, const char* name) {
  return std::strcmp(property.name.in(), name) == 0;
}

}  // namespace

const char* DiscardPolicyName(CORBA::Short policy) {
  switch (policy) {
    case CosNotification::AnyOrder: return "AnyOrder";
    case CosNotification::FifoOrder: return "FifoOrder";
    case CosNotification::PriorityOrder: return "PriorityOrder";
    case CosNotification::DeadlineOrder: return "DeadlineOrder";
    case CosNotification::LifoOrder: return "LifoOrder";
    default: return "unknown order";
  }
}

QueueQoS::QueueQoS(const QueuePolicy& all)
    : own_{all.maxEvents, all.discardPolicy, all.blockTimeout, all.connectionReliability,
           all.eventReliability} {}

QueueQoS::Settings QueueQoS::Parse(const CosNotification::QoSProperties& qos, Settings settings,
                                   bool durable) {
  PropertyErrors errors;
  for (CORBA::ULong i = 0; i < qos.length(); ++i) {
    const CosNotification::Property& property = qos[i];
    const char* name = property.name.in();
    if (Named(property, CosNotification::MaxEventsPerConsumer)) {
      CORBA::Long events = 0;
      if (!errors.Read(property, &events)) continue;
      if (events < 0) {
        errors.Add(CosNotification::BAD_VALUE, name);
      } else if (static_cast<std::size_t>(events) > kMaxEvents) {
        errors.Add(CosNotification::UNSUPPORTED_VALUE, name, CORBA::Long(0),
                   static_cast<CORBA::Long>(kMaxEvents));
      } else {
        settings.maxEvents = static_cast<std::size_t>(events);
      }
    } else if (Named(property, CosNotification::DiscardPolicy)) {
      CORBA::Short policy = 0;
      if (!errors.Read(property, &policy)) continue;
      if (policy == CosNotification::AnyOrder || policy == CosNotification::FifoOrder ||
          policy == CosNotification::LifoOrder) {
        settings.discardPolicy = policy;
      } else if (policy == CosNotification::PriorityOrder ||
                 policy == CosNotification::DeadlineOrder) {
        errors.Add(CosNotification::UNSUPPORTED_VALUE, name);
      } else {
        errors.Add(CosNotification::BAD_VALUE, name);
      }
    } else if (Named(property, kBlockingPolicy)) {
      TimeT units = 0;
      if (!errors.Read(property, &units)) continue;
      const TimeT most = static_cast<TimeT>(TimeTUnits(kMaxBlockTimeout).count());
      if (units > most) {
        errors.Add(CosNotification::UNSUPPORTED_VALUE, name, TimeT(0), most);
      } else {
        settings.blockTimeout = TimeTUnits(static_cast<long long>(units));
      }
    } else if (Named(property, CosNotification::ConnectionReliability) ||
               Named(property, CosNotification::EventReliability)) {
      bool connection = Named(property, CosNotification::ConnectionReliability);
      CORBA::Short reliability = 0;
      if (!errors.Read(property, &reliability)) continue;
      if (reliability != CosNotification::BestEffort &&
          reliability != CosNotification::Persistent) {
        errors.Add(CosNotification::BAD_VALUE, name);
        continue;
      }
      // Connections are exactly as durable as the service; events can be
      // made durable only where connections are.
      CORBA::Short most = durable ? CosNotification::Persistent : CosNotification::BestEffort;
      CORBA::Short least = connection ? most : CosNotification::BestEffort;
      if (reliability < least || reliability > most) {
        errors.Add(CosNotification::UNSUPPORTED_VALUE, name, least, most);
      } else if (connection) {
        settings.connectionReliability = reliability;
      } else {
        settings.eventReliability = reliability;
      }
    } else {
      errors.Add(CosNotification::UNSUPPORTED_PROPERTY, name);
    }
  }
  if (!errors.empty()) throw CosNotification::UnsupportedQoS(errors.errors());
  return settings;
}

void QueueQoS::Set(const CosNotification::QoSProperties& qos, bool durable) {
  std::lock_guard<std::mutex> lock(mutex_);
  own_ = Parse(qos, own_, durable);
}

void QueueQoS::Validate(const CosNotification::QoSProperties& qos, bool durable) {
  Parse(qos, Settings(), durable);
}

QueuePolicy QueueQoS::Over(const QueuePolicy& inherited) const {
  std::lock_guard<std::mutex> lock(mutex_);
  QueuePolicy policy;
  policy.maxEvents = own_.maxEvents.value_or(inherited.maxEvents);
  policy.discardPolicy = own_.discardPolicy.value_or(inherited.discardPolicy);
  policy.blockTimeout = own_.blockTimeout.value_or(inherited.blockTimeout);
  policy.connectionReliability =
      own_.connectionReliability.value_or(inherited.connectionReliability);
  policy.eventReliability = own_.eventReliability.value_or(inherited.eventReliability);
  return policy;
}

CosNotification::QoSProperties* QueueQoS::Describe(const QueuePolicy& policy) {
  return Describe(Settings{policy.maxEvents, policy.discardPolicy, policy.blockTimeout,
                           policy.connectionReliability, policy.eventReliability});
}

CosNotification::QoSProperties* QueueQoS::Describe(const Settings& settings) {
  auto* qos = new CosNotification::QoSProperties;
  auto add = [qos](const char* name) -> CORBA::Any& {
    CORBA::ULong at = qos->length();
    qos->length(at + 1);
    (*qos)[at].name = name;
    return (*qos)[at].value;
  };
  if (settings.maxEvents) {
    add(CosNotification::MaxEventsPerConsumer) <<= static_cast<CORBA::Long>(*settings.maxEvents);
  }
  if (settings.discardPolicy) add(CosNotification::DiscardPolicy) <<= *settings.discardPolicy;
  if (settings.blockTimeout) {
    add(kBlockingPolicy) <<= static_cast<TimeT>(
        std::chrono::duration_cast<TimeTUnits>(*settings.blockTimeout).count());
  }
  if (settings.connectionReliability) {
    add(CosNotification::ConnectionReliability) <<= *settings.connectionReliability;
  }
  if (settings.eventReliability) {
    add(CosNotification::EventReliability) <<= *settings.eventReliability;
  }
  return qos;
}

}  // namespace channeld
}  // namespace kestrel
