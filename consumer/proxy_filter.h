// The filter object that a consumer attached to its proxy at the service,
// so that a service with filters sends only what the consumer selects.
//
// Each new proxy gets a filter of its own, made with the channel's default
// filter factory and holding the consumer's one constraint; a proxy that
// the consumer resumes after a restart of the service keeps the filter it
// has, if the service kept it too. Every failure of a filter call is
// ignored: a service without filters (NO_IMPLEMENT), or one that refuses
// them, is served all the same, and the consumer's own evaluation of the
// constraint (EventSelection) makes the selection. The filter object is
// destroyed when the consumer lets go of it, where the service allows.
//
// Not thread-safe: used under the consumer's connection lock, which keeps
// Connect, Disconnect and the reconnection apart.

#ifndef KESTREL_CONSUMER_PROXY_FILTER_H_
#define KESTREL_CONSUMER_PROXY_FILTER_H_

#include <COS/CosNotifyChannelAdmin.hh>
#include <COS/CosNotifyFilter.hh>

#include "channel/channel_access.h"
#include "filter/filter_constraint.h"

namespace kestrel {

class ProxyFilter {
 public:
  // REQUIRES: Destroy was called, or nothing attached, before the broker
  // that reached the service goes.
  ProxyFilter() = default;
  ProxyFilter(const ProxyFilter&) = delete;
  ProxyFilter& operator=(const ProxyFilter&) = delete;

  // Destroys the filter held, then, when constraint is not null, makes one
  // that holds it and adds it to proxy, a proxy new to this consumer.
  // Answers S_OK when the filter is attached, or nothing was to be; else
  // the first failure's code, with no filter held.
  HRESULT Attach(ChannelAccess& access,
                 CosNotifyChannelAdmin::StructuredProxyPushSupplier_ptr proxy,
                 const filter::FilterConstraint* constraint);

  // For a proxy that the consumer holds already and has just connected
  // again: keeps the filter held when proxy still has it, and attaches a
  // new one otherwise (a service restarted without its filter objects).
  HRESULT Confirm(ChannelAccess& access,
                  CosNotifyChannelAdmin::StructuredProxyPushSupplier_ptr proxy,
                  const filter::FilterConstraint* constraint);

  // Destroys the filter held, if any; failures are ignored.
  void Destroy();

  bool attached() const { return !CORBA::is_nil(filter_); }

 private:
  CosNotifyFilter::Filter_var filter_;
  CosNotifyFilter::FilterID id_ = 0;
};

}  // namespace kestrel

#endif  // KESTREL_CONSUMER_PROXY_FILTER_H_
