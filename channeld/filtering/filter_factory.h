// The filter factory of one channel (CosNotifyFilter::FilterFactory), and the
// keeper of the filters it made: their ids, their bound, their state in the
// state directory, and the reclaiming of those that nothing ever used.

#ifndef KESTREL_CHANNELD_FILTERING_FILTER_FACTORY_H_
#define KESTREL_CHANNELD_FILTERING_FILTER_FACTORY_H_

#include <COS/CosNotifyFilter.hh>

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <vector>

#include "channeld/filtering/filter_home.h"
#include "channeld/filtering/filter_object.h"
#include "channeld/runtime/servant_activation.h"
#include "channeld/state/service_state.h"

namespace kestrel {
namespace channeld {

class FilterFactory : public POA_CosNotifyFilter::FilterFactory {
 public:
  explicit FilterFactory(FilterHome home);
  ~FilterFactory() override;

  // Activates the factory, and the filters that restored describes (with
  // its next filter id) when given. Raises what the POA raises.
  void Activate(const ChannelState* restored = nullptr);
  CosNotifyFilter::FilterFactory_ptr Reference();  // a new reference

  // The filter of this service that reference denotes, or null when it is
  // another's (or none).
  PortableServer::Servant_var<FilterObject> Local(CORBA::Object_ptr reference) const;

  // Adds the filters, and the id that the next one gets, to channel.
  void Capture(ChannelState* channel) const;
  // Ends every filter that nothing ever held and no one called since
  // before unusedSince; answers how many.
  std::size_t ReclaimUnused(std::chrono::steady_clock::time_point unusedSince);
  // A filter that ended leaves the factory.
  void Forget(CosNotifyFilter::FilterID id);

  // A cluster's other instances: makes the filter that state describes, or
  // brings this one up to date with it; the filter with id as it is here
  // (false when there is none); ends the filter with id; takes their next
  // filter id when it is beyond this one's.
  void Share(const FilterState& state);
  bool CaptureOne(CosNotifyFilter::FilterID id, FilterState* state) const;
  void Drop(CosNotifyFilter::FilterID id);
  void SetNextId(CosNotifyFilter::FilterID id);
  // Ends every filter and the factory. Idempotent.
  void End();

  // CosNotifyFilter::FilterFactory
  CosNotifyFilter::Filter_ptr create_filter(const char* constraint_grammar) override;
  CosNotifyFilter::MappingFilter_ptr create_mapping_filter(
      const char* constraint_grammar, const CORBA::Any& default_value) override;

 private:
  using Filters = std::map<CosNotifyFilter::FilterID, PortableServer::Servant_var<FilterObject>>;

  // REQUIRES: mutex_ held. The filter that state describes, new and active.
  void RemakeLocked(const FilterState& state);

  const FilterHome home_;
  ServantActivation activation_;
  CosNotifyFilter::FilterFactory_var reference_;

  mutable std::mutex mutex_;
  bool ended_ = false;
  CosNotifyFilter::FilterID nextId_ = 1;
  Filters filters_;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_FILTERING_FILTER_FACTORY_H_
