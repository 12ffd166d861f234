#include "channeld/qos/qos_admin.h"

#include <utility>

#include "channeld/qos/property_errors.h"

namespace kestrel {
namespace channeld {

QoSAdmin::QoSAdmin(const QoSAdmin* parent) : parent_(parent), changed_(parent->changed_) {}

QoSAdmin::QoSAdmin(const QueuePolicy& defaults, Changed changed)
    : parent_(nullptr), changed_(std::move(changed)), own_(defaults) {}

QueuePolicy QoSAdmin::queuePolicy() const {
  return own_.Over(parent_ != nullptr ? parent_->queuePolicy() : QueuePolicy());
}

CosNotification::QoSProperties* QoSAdmin::get_qos() { return QueueQoS::Describe(queuePolicy()); }

void QoSAdmin::set_qos(const CosNotification::QoSProperties& qos) {
  own_.Set(qos, queuePolicy().durable());
  {
    std::lock_guard<std::mutex> lock(clientMutex_);
    Overlay(&clientQoS_, qos);
  }
  OnQueuePolicyChanged();
  if (changed_) changed_(/*wait=*/true);
}

CosNotification::QoSProperties QoSAdmin::ClientQoS() const {
  std::lock_guard<std::mutex> lock(clientMutex_);
  return clientQoS_;
}

void QoSAdmin::RestoreQoS(const CosNotification::QoSProperties& qos) {
  bool durable = queuePolicy().durable();
  for (CORBA::ULong i = 0; i < qos.length(); ++i) {
    CosNotification::QoSProperties one;
    one.length(1);
    one[0] = qos[i];
    try {
      own_.Set(one, durable);
    } catch (const CosNotification::UnsupportedQoS&) {
      continue;
    }
    std::lock_guard<std::mutex> lock(clientMutex_);
    Overlay(&clientQoS_, one);
  }
}

void QoSAdmin::validate_qos(const CosNotification::QoSProperties& required,
                            CosNotification::NamedPropertyRangeSeq_out available) {
  QueueQoS::Validate(required, queuePolicy().durable());
  available = new CosNotification::NamedPropertyRangeSeq;
}

}  // namespace channeld
}  // namespace kestrel
