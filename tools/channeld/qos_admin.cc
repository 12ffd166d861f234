#include "tools/channeld/qos_admin.h"

namespace kestrel {
namespace channeld {

QoSAdmin::QoSAdmin(const QoSAdmin* parent) : parent_(parent) {}

QoSAdmin::QoSAdmin(const QueuePolicy& defaults) : parent_(nullptr), own_(defaults) {}

QueuePolicy QoSAdmin::queuePolicy() const {
  return own_.Over(parent_ != nullptr ? parent_->queuePolicy() : QueuePolicy());
}

CosNotification::QoSProperties* QoSAdmin::get_qos() { return QueueQoS::Describe(queuePolicy()); }

void QoSAdmin::set_qos(const CosNotification::QoSProperties& qos) {
  own_.Set(qos);
  OnQueuePolicyChanged();
}

void QoSAdmin::validate_qos(const CosNotification::QoSProperties& required,
                            CosNotification::NamedPropertyRangeSeq_out available) {
  QueueQoS::Validate(required);
  available = new CosNotification::NamedPropertyRangeSeq;
}

}  // namespace channeld
}  // namespace kestrel
