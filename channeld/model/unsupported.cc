#include "channeld/model/unsupported.h"

namespace kestrel {
namespace channeld {

void RaiseNoImplement() { throw CORBA::NO_IMPLEMENT(0, CORBA::COMPLETED_NO); }

CosNotifyFilter::FilterID NoFilterAdmin::add_filter(CosNotifyFilter::Filter_ptr) {
  RaiseNoImplement();
}

void NoFilterAdmin::remove_filter(CosNotifyFilter::FilterID) {
  throw CosNotifyFilter::FilterNotFound();
}

CosNotifyFilter::Filter_ptr NoFilterAdmin::get_filter(CosNotifyFilter::FilterID) {
  throw CosNotifyFilter::FilterNotFound();
}

CosNotifyFilter::FilterIDSeq* NoFilterAdmin::get_all_filters() {
  return new CosNotifyFilter::FilterIDSeq;
}

void NoFilterAdmin::remove_all_filters() {}

}  // namespace channeld
}  // namespace kestrel
