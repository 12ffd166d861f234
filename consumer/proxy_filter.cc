#include "consumer/proxy_filter.h"

#include "orb/corba_result.h"

namespace kestrel {

HRESULT ProxyFilter::Attach(ChannelAccess& access,
                            CosNotifyChannelAdmin::StructuredProxyPushSupplier_ptr proxy,
                            const filter::FilterConstraint* constraint) {
  Destroy();
  if (constraint == nullptr) return S_OK;
  CosNotifyFilter::Filter_var created;
  HRESULT hr = access.CreateFilter(created);
  if (FAILED(hr)) return hr;
  hr = Guarded([&] {
    CosNotifyFilter::ConstraintExpSeq expressions(1);
    expressions.length(1);
    expressions[0].event_types = constraint->types();
    expressions[0].constraint_expr = constraint->expression().c_str();
    CosNotifyFilter::ConstraintInfoSeq_var added = created->add_constraints(expressions);
    id_ = proxy->add_filter(created);
    return S_OK;
  });
  filter_ = created._retn();
  // A filter that the proxy does not hold is of no use at the service.
  if (FAILED(hr)) Destroy();
  return hr;
}

HRESULT ProxyFilter::Confirm(ChannelAccess& access,
                             CosNotifyChannelAdmin::StructuredProxyPushSupplier_ptr proxy,
                             const filter::FilterConstraint* constraint) {
  if (constraint == nullptr) return S_OK;
  if (attached()) {
    HRESULT hr = Guarded([&] {
      CosNotifyFilter::Filter_var held = proxy->get_filter(id_);
      return S_OK;
    });
    if (SUCCEEDED(hr)) return S_OK;
  }
  return Attach(access, proxy, constraint);
}

void ProxyFilter::Destroy() {
  if (CORBA::is_nil(filter_)) return;
  // A service that was restarted, or never let filters be destroyed, has
  // nothing more to do with this one.
  Guarded([this] {
    filter_->destroy();
    return S_OK;
  });
  filter_ = CosNotifyFilter::Filter::_nil();
  id_ = 0;
}

}  // namespace kestrel
