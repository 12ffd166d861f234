// One object's way to its notification channel: the channel's address, the
// broker that reaches it, the channel reference, and the channel's proxies.
//
// The channel is reached directly at "corbaloc:iiop:" host ":" port "/" key,
// composed from the client's settings, or at "corbaloc:ssliop:" and the same
// when the machine's settings name TLS files (broker_settings.h), every
// service of a list then by TLS; no naming service, no factory, and
// the channel is never created: it must exist in a running service. Both
// sides use the channel's default admins and structured events; the
// consumer side subscribes to every domain and type.
//
// A host setting may name several services that serve the same channel,
// as a list of addresses that the composition completes: the host
// "h1:p1,iiop:h2" with the port p2 gives corbaloc:iiop:h1:p1,iiop:h2:p2/key.
// Each resolution tries them one at a time, in the order given, and takes
// the channel from the first that has it: a service earlier in the list is
// preferred whenever it answers, and one that is down costs an attempt to
// connect. The proxies obtained then name that one service only, so once
// it is gone only a new resolution leads to another.
//
//   Created --BuildChannelAddress, PrepareBroker--> Ready
//   Ready --ResolveChannel--> Resolved --ReleaseChannel--> Ready
//
// Destruction releases the channel reference first, while the broker still
// exists, and destroys the broker runtime last.
//
// Not thread-safe: one thread at a time (the client's, or the consumer's
// reconnection, which the consumer keeps apart from the client's calls).

#ifndef KESTREL_CHANNEL_CHANNEL_ACCESS_H_
#define KESTREL_CHANNEL_CHANNEL_ACCESS_H_

#include <COS/CosNotifyChannelAdmin.hh>
#include <COS/CosNotifyFilter.hh>

#include <optional>
#include <string>
#include <vector>

#include "kestrel/notification.h"
#include "orb/broker_settings.h"
#include "orb/orb_runtime.h"

namespace kestrel {

// Asks the client's settings object for IChannelSettings. On failure the
// answer is the object's QueryInterface code (E_NOINTERFACE when it claimed
// success but handed out nothing), *out is null and any pointer that the
// object handed out all the same has been released.
HRESULT QueryChannelSettings(IUnknown* settings, IChannelSettings** out);

class ChannelAccess {
 public:
  ChannelAccess();
  virtual ~ChannelAccess();

  ChannelAccess(const ChannelAccess&) = delete;
  ChannelAccess& operator=(const ChannelAccess&) = delete;

  // Reads the machine's broker settings, with the TLS files of the client's
  // settings object over them (ITlsSettings, read by BuildChannelAddress),
  // and starts or joins the broker of orbId ("KestrelSupplier",
  // "KestrelConsumer") with them, composing the address again for TLS.
  // Answers S_OK or the code of the start; E_CORBA_INITIALIZE when the
  // client asks for TLS and no authority file is named.
  HRESULT PrepareBroker(const char* orbId);

  // Composes the channel's address from settings: Validate() must answer 0,
  // else E_NOTIFY_INVALIDARG and nothing else is called or changed. Also
  // reads the object's TLS files, when it has ITlsSettings. Host
  // and key are read into 260-byte buffers that are cleared first and
  // always terminated, whatever the settings object writes; the port's low
  // 16 bits are used. Host and key are taken as they are.
  HRESULT BuildChannelAddress(IChannelSettings* settings);

  // Resolves the address to the event channel, replacing the reference held.
  // A list of addresses is tried in order, each on its own, up to the first
  // that gives an event channel. When none does, the answer is the first
  // failure that is an answer (not IsOutOfReach), else the first failure:
  // E_FAIL when the object found is not an event channel (the reference is
  // then nil) or the broker was never prepared; a broker failure's code
  // leaves the reference as it was.
  HRESULT ResolveChannel();

  // Drops the channel reference; the address and broker stay. Always S_OK.
  HRESULT ReleaseChannel();

  // Obtains a new structured proxy push consumer from the channel's default
  // supplier admin. proxy changes only in the last step: a nil proxy from
  // the admin gives E_FAIL with proxy untouched; a proxy of another kind
  // gives E_FAIL with proxy nil. E_FAIL without a channel reference.
  HRESULT ObtainProxyPushConsumer(CosNotifyChannelAdmin::StructuredProxyPushConsumer_var& proxy);

  // Subscribes the default consumer admin to every domain and type ("*",
  // "*"), then obtains a new structured proxy push supplier from it, with
  // the same rules for proxy as above.
  HRESULT ObtainProxyPushSupplier(CosNotifyChannelAdmin::StructuredProxyPushSupplier_var& proxy);

  // Creates a filter object of the extended trader constraint language
  // (EXTENDED_TCL) with the channel's default filter factory, into filter.
  // E_FAIL without a channel reference or when the factory answers a nil
  // filter; a broker failure's code (E_CORBA_NO_IMPLEMENT from a service
  // without filters) otherwise. filter is set only on success.
  HRESULT CreateFilter(CosNotifyFilter::Filter_var& filter);

  // Limits the calls made through object to the CallTimeout setting (none
  // when it is 0), and lets a call that meets a connection broken by a
  // crash of the service try again over another one. Set on the library's own references only: the
  // process's other omniORB users keep their own limits. The channel, its
  // admins and the proxies obtained here are limited already.
  void LimitCalls(CORBA::Object_ptr object) const;

  OrbRuntime& runtime() { return runtime_; }
  // The settings read by the latest PrepareBroker (defaults before).
  const BrokerSettings& brokerSettings() const { return settings_; }
  const std::string& address() const { return address_; }
  // True when the address lists more than one service.
  bool listsSeveralAddresses() const { return addresses_.size() > 1; }
  // The one address of the list at which the channel held was found, as a
  // corbaloc of its own; empty without a channel.
  const std::string& channelAddress() const { return channelAddress_; }
  bool hasChannel() const { return !CORBA::is_nil(channel_); }

 private:
  // address_ and addresses_ from place_, by TLS or not as settings_ say.
  void ComposeAddress();

  // One address of the list: channel is set only on success.
  HRESULT ResolveOne(const std::string& address,
                     CosNotifyChannelAdmin::EventChannel_var& channel) const;

  // Declared first, destroyed last.
  OrbRuntime runtime_;
  BrokerSettings settings_;
  std::string place_;  // host:port/key, without the scheme
  // What the client's ITlsSettings named; none without the interface.
  std::optional<TlsFiles> clientTls_;
  std::string address_;
  // address_ split into one corbaloc per listed address, in its order;
  // address_ alone when it lists one.
  std::vector<std::string> addresses_{address_};
  std::string channelAddress_;
  CosNotifyChannelAdmin::EventChannel_var channel_;
};

}  // namespace kestrel

#endif  // KESTREL_CHANNEL_CHANNEL_ACCESS_H_
