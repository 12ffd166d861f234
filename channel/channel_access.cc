#include "channel/channel_access.h"

#include <cstdio>
#include <cstring>

#include <omniORB4/omniORB.h>

#include "orb/corba_result.h"
#include "orb/orb_argument_list.h"
#include "platform/registry_store.h"

namespace kestrel {

namespace {

constexpr int32_t kTextBufferSize = 260;
constexpr int32_t kPathBufferSize = 1024;

// Reads one text from the settings object into a cleared buffer that is
// terminated whatever the object wrote.
template <int32_t kSize = kTextBufferSize, class Getter>
std::string ReadSettingsText(Getter get) {
  char buffer[kSize];
  std::memset(buffer, 0, sizeof buffer);
  get(buffer, kSize);
  buffer[kSize - 1] = '\0';
  return buffer;
}

// The narrow is the first call on a new reference. After the service went
// away, it may go out on a connection that the process still holds to the
// old service; with a call timeout set, omniORB then reports COMM_FAILURE
// instead of quietly trying a new connection, and it may hold several such
// connections. _is_a changes nothing at the service, so it is asked again,
// a few times at most, each time on the next connection.
CosNotifyChannelAdmin::EventChannel_ptr NarrowToChannel(CORBA::Object_ptr object) {
  constexpr int kStaleConnections = 4;
  for (int attempt = 0;; ++attempt) {
    try {
      return CosNotifyChannelAdmin::EventChannel::_narrow(object);
    } catch (const CORBA::COMM_FAILURE&) {
      if (attempt == kStaleConnections) throw;
    }
  }
}

// One corbaloc per address of the list that address names (corbaloc:A1,
// A2/KEY gives corbaloc:A1/KEY and corbaloc:A2/KEY), in its order; address
// itself when it names one. The list ends at the first '/', as omniORB
// reads it; what each element holds is left for omniORB to judge.
std::vector<std::string> SingleAddresses(const std::string& address) {
  constexpr char kScheme[] = "corbaloc:";
  constexpr size_t kSchemeLength = sizeof kScheme - 1;
  size_t slash = address.find('/');
  if (address.compare(0, kSchemeLength, kScheme) != 0 || slash == std::string::npos) {
    return {address};
  }
  std::string key = address.substr(slash);
  std::vector<std::string> singles;
  size_t start = kSchemeLength;
  for (;;) {
    size_t comma = address.find(',', start);
    if (comma == std::string::npos || comma > slash) comma = slash;
    singles.push_back(kScheme + address.substr(start, comma - start) + key);
    if (comma == slash) return singles;
    start = comma + 1;
  }
}

// The client's own TLS files, when its settings object has ITlsSettings.
std::optional<TlsFiles> ReadClientTls(IChannelSettings* settings) {
  ITlsSettings* tls = nullptr;
  if (FAILED(settings->QueryInterface(IID_ITlsSettings, reinterpret_cast<void**>(&tls))) ||
      tls == nullptr) {
    return std::nullopt;
  }
  TlsFiles files;
  auto read = [tls](HRESULT (STDMETHODCALLTYPE ITlsSettings::*get)(char*, int32_t)) {
    return ReadSettingsText<kPathBufferSize>(
        [tls, get](char* buffer, int32_t size) { (tls->*get)(buffer, size); });
  };
  files.certificate = read(&ITlsSettings::GetCertificateFile);
  files.key = read(&ITlsSettings::GetKeyFile);
  files.authority = read(&ITlsSettings::GetAuthorityFile);
  files.keyPassword = read(&ITlsSettings::GetKeyPassword);
  tls->Release();
  return files;
}

// The client's files over the machine's, each that it names.
void OverrideTls(const TlsFiles& client, TlsFiles* machine) {
  for (auto field : {&TlsFiles::certificate, &TlsFiles::key, &TlsFiles::authority,
                     &TlsFiles::keyPassword}) {
    if (!(client.*field).empty()) machine->*field = client.*field;
  }
}

}  // namespace

HRESULT QueryChannelSettings(IUnknown* settings, IChannelSettings** out) {
  *out = nullptr;
  HRESULT hr = settings->QueryInterface(IID_IChannelSettings, reinterpret_cast<void**>(out));
  if (SUCCEEDED(hr) && *out != nullptr) return hr;
  if (*out != nullptr) (*out)->Release();
  *out = nullptr;
  return FAILED(hr) ? hr : E_NOINTERFACE;
}

ChannelAccess::ChannelAccess() = default;

ChannelAccess::~ChannelAccess() = default;

HRESULT ChannelAccess::PrepareBroker(const char* orbId) {
  settings_ = BrokerSettings::Read(RegistryStore());
  if (clientTls_) {
    OverrideTls(*clientTls_, &settings_.tls);
    if (!settings_.tls.enabled()) return E_CORBA_INITIALIZE;
  }
  ComposeAddress();
  OrbArgumentList arguments(orbId, settings_);
  return runtime_.Start(arguments);
}

namespace {

// A connection to a service that crashed fails one call with COMM_FAILURE
// even once the service is back at its address: the ORB cannot tell
// whether the request arrived. Trying again goes over another connection,
// and reaches a restarted service that kept its objects, so that a
// supplier keeps its proxy instead of leaving it behind for a new one. A
// process may hold as many such connections as omniORB opens to one server
// (maxGIOPConnectionPerServer, 5 by default): each is used up once.
constexpr CORBA::ULong kStaleConnections = 5;

CORBA::Boolean RetryOnStaleConnection(void*, CORBA::ULong retries, const CORBA::COMM_FAILURE&) {
  return retries < kStaleConnections;
}

}  // namespace

void ChannelAccess::LimitCalls(CORBA::Object_ptr object) const {
  if (CORBA::is_nil(object)) return;
  omniORB::installCommFailureExceptionHandler(object, nullptr, RetryOnStaleConnection);
  if (settings_.callTimeoutMilliseconds == 0) return;
  omniORB::setClientCallTimeout(object, settings_.callTimeoutMilliseconds);
}

HRESULT ChannelAccess::BuildChannelAddress(IChannelSettings* settings) {
  if (settings == nullptr || settings->Validate() != 0) return E_NOTIFY_INVALIDARG;
  clientTls_ = ReadClientTls(settings);
  std::string place =
      ReadSettingsText([settings](char* buffer, int32_t size) { settings->GetHost(buffer, size); });
  int32_t port = 0;
  settings->GetPort(&port);
  char digits[8];
  std::snprintf(digits, sizeof digits, ":%u", static_cast<unsigned>(port) & 0xFFFFu);
  place += digits;
  place += '/';
  place += ReadSettingsText([settings](char* buffer, int32_t size) { settings->GetObjectKey(buffer, size); });
  place_ = std::move(place);
  ComposeAddress();
  return S_OK;
}

void ChannelAccess::ComposeAddress() {
  if (place_.empty()) return;
  if (!settings_.tls.enabled()) {
    address_ = "corbaloc:iiop:" + place_;
  } else {
    // Every service of a list by TLS, whether it names "iiop:" or, for
    // short, nothing before its ':': the broker speaks nothing else.
    std::string place = place_;
    for (size_t at = place.find(','); at != std::string::npos && at < place.find('/');
         at = place.find(',', at + 1)) {
      if (place.compare(at + 1, 5, "iiop:") == 0) {
        place.replace(at + 1, 4, "ssliop");
      } else if (place.compare(at + 1, 1, ":") == 0) {
        place.insert(at + 1, "ssliop");
      }
    }
    address_ = "corbaloc:ssliop:" + place;
  }
  addresses_ = SingleAddresses(address_);
}

HRESULT ChannelAccess::ResolveChannel() {
  if (!runtime_.started()) return E_FAIL;
  HRESULT answer = S_OK;
  for (const std::string& single : addresses_) {
    CosNotifyChannelAdmin::EventChannel_var channel;
    HRESULT hr = ResolveOne(single, channel);
    if (SUCCEEDED(hr)) {
      channel_ = channel._retn();
      channelAddress_ = single;
      return S_OK;
    }
    if (answer == S_OK || (IsOutOfReach(answer) && !IsOutOfReach(hr))) answer = hr;
  }
  if (answer == E_FAIL) ReleaseChannel();
  return answer;
}

HRESULT ChannelAccess::ResolveOne(const std::string& address,
                                  CosNotifyChannelAdmin::EventChannel_var& channel) const {
  CORBA::Object_var object;
  HRESULT hr = runtime_.StringToObject(address.c_str(), object);
  if (FAILED(hr)) return hr;
  LimitCalls(object);
  return Guarded([&] {
    channel = NarrowToChannel(object);
    LimitCalls(channel);
    return CORBA::is_nil(channel) ? E_FAIL : S_OK;
  });
}

HRESULT ChannelAccess::ReleaseChannel() {
  channel_ = CosNotifyChannelAdmin::EventChannel::_nil();
  channelAddress_.clear();
  return S_OK;
}

HRESULT ChannelAccess::ObtainProxyPushConsumer(
    CosNotifyChannelAdmin::StructuredProxyPushConsumer_var& proxy) {
  if (CORBA::is_nil(channel_)) return E_FAIL;
  return Guarded([&] {
    CosNotifyChannelAdmin::SupplierAdmin_var admin = channel_->default_supplier_admin();
    LimitCalls(admin);
    CosNotifyChannelAdmin::ProxyID id;
    CosNotifyChannelAdmin::ProxyConsumer_var obtained =
        admin->obtain_notification_push_consumer(CosNotifyChannelAdmin::STRUCTURED_EVENT, id);
    if (CORBA::is_nil(obtained)) return E_FAIL;
    LimitCalls(obtained);
    proxy = CosNotifyChannelAdmin::StructuredProxyPushConsumer::_narrow(obtained);
    LimitCalls(proxy);
    return CORBA::is_nil(proxy) ? E_FAIL : S_OK;
  });
}

HRESULT ChannelAccess::ObtainProxyPushSupplier(
    CosNotifyChannelAdmin::StructuredProxyPushSupplier_var& proxy) {
  if (CORBA::is_nil(channel_)) return E_FAIL;
  return Guarded([&] {
    CosNotifyChannelAdmin::ConsumerAdmin_var admin = channel_->default_consumer_admin();
    LimitCalls(admin);
    CosNotification::EventTypeSeq added(1);
    added.length(1);
    added[0].domain_name = static_cast<const char*>("*");
    added[0].type_name = static_cast<const char*>("*");
    CosNotification::EventTypeSeq removed(0);
    admin->subscription_change(added, removed);
    CosNotifyChannelAdmin::ProxyID id;
    CosNotifyChannelAdmin::ProxySupplier_var obtained =
        admin->obtain_notification_push_supplier(CosNotifyChannelAdmin::STRUCTURED_EVENT, id);
    if (CORBA::is_nil(obtained)) return E_FAIL;
    LimitCalls(obtained);
    proxy = CosNotifyChannelAdmin::StructuredProxyPushSupplier::_narrow(obtained);
    LimitCalls(proxy);
    return CORBA::is_nil(proxy) ? E_FAIL : S_OK;
  });
}

HRESULT ChannelAccess::CreateFilter(CosNotifyFilter::Filter_var& filter) {
  if (CORBA::is_nil(channel_)) return E_FAIL;
  return Guarded([&] {
    CosNotifyFilter::FilterFactory_var factory = channel_->default_filter_factory();
    if (CORBA::is_nil(factory)) return E_FAIL;
    LimitCalls(factory);
    CosNotifyFilter::Filter_var created = factory->create_filter("EXTENDED_TCL");
    if (CORBA::is_nil(created)) return E_FAIL;
    LimitCalls(created);
    filter = created._retn();
    return S_OK;
  });
}

}  // namespace kestrel
