// One filter of a channel (CosNotifyFilter::Filter): constraints in the
// EXTENDED_TCL grammar, each compiled once, and the callbacks that are told
// which event types a change of constraints adds or drops.
//
// A filter matches an event when one of its constraints does; with none it
// matches nothing. Suppliers' threads evaluate it against a snapshot of its
// constraints, so that they never wait for a client that changes them.

#ifndef KESTREL_CHANNELD_FILTERING_FILTER_OBJECT_H_
#define KESTREL_CHANNELD_FILTERING_FILTER_OBJECT_H_

#include <COS/CosNotifyFilter.hh>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "channeld/runtime/servant_activation.h"
#include "channeld/state/service_state.h"
#include "filter/event_view.h"
#include "filter/filter_constraint.h"

namespace kestrel {
namespace channeld {

class FilterFactory;
struct FilterHome;

class FilterObject : public POA_CosNotifyFilter::Filter {
 public:
  // Requests whose arguments hold anys are read through the type code screen.
  CORBA::Boolean _dispatch(omniCallHandle& handle) override;

  // home belongs to factory, which the filter holds.
  FilterObject(FilterFactory* factory, const FilterHome& home, CosNotifyFilter::FilterID id);
  ~FilterObject() override;

  // Activates the filter at its fixed object id; answers a new reference.
  CosNotifyFilter::Filter_ptr Activate();
  CosNotifyFilter::FilterID id() const { return id_; }

  // True when one of the constraints matches the event that view shows.
  // False with no constraints, or once the filter has ended. Thread-safe.
  bool Matches(filter::EventView* view) const;

  // Takes back what state describes. A constraint that no longer compiles
  // is dropped; none should, it compiled when it was added.
  void Restore(const FilterState& state);
  FilterState Capture() const;

  // An admin or proxy holds the filter: it is never reclaimed.
  void MarkAttached();
  // Ends the filter when nothing ever held it and no one called it since
  // before unusedSince; true when it did.
  bool Reclaim(std::chrono::steady_clock::time_point unusedSince);
  // Deactivates the filter; later calls raise OBJECT_NOT_EXIST and it
  // matches nothing. Idempotent.
  void End();

  // CosNotifyFilter::Filter
  char* constraint_grammar() override;
  CosNotifyFilter::ConstraintInfoSeq* add_constraints(
      const CosNotifyFilter::ConstraintExpSeq& constraints) override;
  void modify_constraints(const CosNotifyFilter::ConstraintIDSeq& del_list,
                          const CosNotifyFilter::ConstraintInfoSeq& modify_list) override;
  CosNotifyFilter::ConstraintInfoSeq* get_constraints(
      const CosNotifyFilter::ConstraintIDSeq& id_list) override;
  CosNotifyFilter::ConstraintInfoSeq* get_all_constraints() override;
  void remove_all_constraints() override;
  void destroy() override;
  CORBA::Boolean match(const CORBA::Any& event) override;
  CORBA::Boolean match_structured(const CosNotification::StructuredEvent& event) override;
  CORBA::Boolean match_typed(const CosNotification::PropertySeq& event) override;
  CosNotifyFilter::CallbackID attach_callback(CosNotifyComm::NotifySubscribe_ptr callback) override;
  void detach_callback(CosNotifyFilter::CallbackID callback) override;
  CosNotifyFilter::CallbackIDSeq* get_callbacks() override;

 private:
  struct Entry {
    CosNotifyFilter::ConstraintID id;
    std::shared_ptr<const filter::FilterConstraint> constraint;
  };
  // Ordered by id. Replaced, never changed in place.
  using Constraints = std::vector<Entry>;
  using Callbacks = std::map<CosNotifyFilter::CallbackID, CosNotifyComm::NotifySubscribe_var>;

  std::shared_ptr<const Constraints> Snapshot() const;
  // REQUIRES: mutex_ held. Raises OBJECT_NOT_EXIST once ended.
  void CheckAlive() const;
  void Touch();
  // Installs next as the constraints, tells the callbacks which event types
  // that added or dropped, and the state directory that the filter changed.
  void Replace(std::shared_ptr<const Constraints> next);

  // Held until the filter goes: a destroy() in progress still tells it.
  PortableServer::Servant_var<FilterFactory> factory_;
  const FilterHome& home_;
  const CosNotifyFilter::FilterID id_;
  ServantActivation activation_;

  mutable std::mutex mutex_;
  std::shared_ptr<const Constraints> constraints_;
  CosNotifyFilter::ConstraintID nextConstraintId_ = 1;
  Callbacks callbacks_;
  CosNotifyFilter::CallbackID nextCallbackId_ = 1;
  bool attached_ = false;
  std::atomic<bool> ended_{false};
  std::chrono::steady_clock::time_point lastUsed_ = std::chrono::steady_clock::now();
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_FILTERING_FILTER_OBJECT_H_
