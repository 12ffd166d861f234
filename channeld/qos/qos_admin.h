// The QoSAdmin of every channel, admin and proxy: the queue QoS of
// queue_qos.h, each level over its parent's. get_qos answers the values in
// force at this level, set_qos changes this level's own, validate_qos
// checks without changing anything.

#ifndef KESTREL_CHANNELD_QOS_QOS_ADMIN_H_
#define KESTREL_CHANNELD_QOS_QOS_ADMIN_H_

#include <COS/CosNotification.hh>

#include <functional>
#include <mutex>

#include "channeld/qos/queue_policy.h"
#include "channeld/qos/queue_qos.h"

namespace kestrel {
namespace channeld {


class QoSAdmin : public virtual POA_CosNotification::QoSAdmin {
 public:
  CosNotification::QoSProperties* get_qos() override;
  // Raises UnsupportedQoS as QueueQoS::Set does; then calls
  // OnQueuePolicyChanged.
  void set_qos(const CosNotification::QoSProperties& qos) override;
  // Answers no further properties: every property this level has is in
  // get_qos already.
  void validate_qos(const CosNotification::QoSProperties& required,
                    CosNotification::NamedPropertyRangeSeq_out available) override;

  // The values in force here: this level's own over its parent's.
  QueuePolicy queuePolicy() const;

  // What clients have set at this level, for the state directory, and its
  // restoration (what the service no longer supports is left out). The
  // command line's defaults are not among them: a restart takes its own.
  CosNotification::QoSProperties ClientQoS() const;
  void RestoreQoS(const CosNotification::QoSProperties& qos);

 protected:
  // A level below parent, which must outlive it.
  explicit QoSAdmin(const QoSAdmin* parent);
  // Told, with no lock held, of every change at any level; its argument
  // asks it to wait until the change is kept (see
  // ServiceContext::TopologyChanged).
  using Changed = std::function<void(bool wait)>;
  // The top level, with every value given; changed may be null.
  QoSAdmin(const QueuePolicy& defaults, Changed changed);

  // Called on the thread of set_qos, after a change; no lock is held.
  virtual void OnQueuePolicyChanged() {}

 private:
  const QoSAdmin* const parent_;
  const Changed changed_;
  QueueQoS own_;
  mutable std::mutex clientMutex_;
  CosNotification::QoSProperties clientQoS_;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_QOS_QOS_ADMIN_H_
