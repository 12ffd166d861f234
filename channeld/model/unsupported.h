// The parts of the CosNotification interfaces that channeld does not
// implement raise CORBA::NO_IMPLEMENT rather than pretending. The mixin
// answers for filters, which every admin and proxy inherits: none can be
// added, so there never are any.

#ifndef KESTREL_CHANNELD_MODEL_UNSUPPORTED_H_
#define KESTREL_CHANNELD_MODEL_UNSUPPORTED_H_

#include <COS/CosNotifyFilter.hh>

namespace kestrel {
namespace channeld {

// Raises CORBA::NO_IMPLEMENT (completed: no).
[[noreturn]] void RaiseNoImplement();

// FilterAdmin with no filters: add_filter raises NO_IMPLEMENT; the others
// answer truthfully for an empty filter list.
class NoFilterAdmin : public virtual POA_CosNotifyFilter::FilterAdmin {
 public:
  CosNotifyFilter::FilterID add_filter(CosNotifyFilter::Filter_ptr filter) override;
  void remove_filter(CosNotifyFilter::FilterID filter) override;   // FilterNotFound
  CosNotifyFilter::Filter_ptr get_filter(CosNotifyFilter::FilterID filter) override;  // idem
  CosNotifyFilter::FilterIDSeq* get_all_filters() override;       // empty
  void remove_all_filters() override;                             // nothing to do
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_MODEL_UNSUPPORTED_H_
