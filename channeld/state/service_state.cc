#include "channeld/state/service_state.h"

#include <omniORB4/CORBA.h>

#include <cstdint>
#include <cstring>
#include <memory>

namespace kestrel {
namespace channeld {

namespace {

// Bytes read into 8-byte-aligned memory: CDR aligns relative to the buffer.
class AlignedInput {
 public:
  explicit AlignedInput(const std::string& bytes)
      : words_((bytes.size() + 7) / 8 + 1), stream_(Copy(bytes), bytes.size()) {}
  cdrMemoryStream& stream() { return stream_; }
  bool AtEnd() { return stream_.checkInputOverrun(1, 1) == 0; }

 private:
  void* Copy(const std::string& bytes) {
    if (!bytes.empty()) std::memcpy(words_.data(), bytes.data(), bytes.size());
    return words_.data();
  }
  std::vector<std::uint64_t> words_;
  cdrMemoryStream stream_;
};

std::string Bytes(const cdrMemoryStream& stream) {
  return std::string(static_cast<const char*>(stream.bufPtr()), stream.bufSize());
}

void PutString(cdrStream& s, const std::string& text) { s.marshalString(text.c_str()); }

std::string GetString(cdrStream& s) {
  CORBA::String_var text = s.unmarshalString();
  return text.in();
}

void PutCount(cdrStream& s, std::size_t count) { static_cast<CORBA::ULong>(count) >>= s; }

CORBA::ULong GetCount(cdrStream& s) {
  CORBA::ULong count;
  count <<= s;
  // Each element takes at least four bytes: a count beyond what is left is
  // damage, not a reason to reserve gigabytes.
  if (!s.checkInputOverrun(4, count)) throw CORBA::MARSHAL();
  return count;
}

void PutProxy(cdrStream& s, const ProxyState& proxy) {
  proxy.admin >>= s;
  proxy.id >>= s;
  s.marshalBoolean(proxy.consumerSide);
  s.marshalBoolean(proxy.connected);
  s.marshalBoolean(proxy.suspended);
  CORBA::Object::_marshalObjRef(proxy.peer.in(), s);
  proxy.qos >>= s;
  proxy.types >>= s;
}

void GetProxy(cdrStream& s, ProxyState* proxy) {
  proxy->admin <<= s;
  proxy->id <<= s;
  proxy->consumerSide = s.unmarshalBoolean();
  proxy->connected = s.unmarshalBoolean();
  proxy->suspended = s.unmarshalBoolean();
  proxy->peer = CORBA::Object::_unmarshalObjRef(s);
  proxy->qos <<= s;
  proxy->types <<= s;
}

void PutAdmin(cdrStream& s, const AdminState& admin) {
  admin.id >>= s;
  s.marshalBoolean(admin.consumerSide);
  admin.op >>= s;
  admin.nextProxyId >>= s;
  admin.qos >>= s;
  admin.types >>= s;
}

void GetAdmin(cdrStream& s, AdminState* admin) {
  admin->id <<= s;
  admin->consumerSide = s.unmarshalBoolean();
  admin->op <<= s;
  admin->nextProxyId <<= s;
  admin->qos <<= s;
  admin->types <<= s;
}

void PutObjects(cdrStream& s, const std::vector<std::pair<CORBA::Long, CORBA::Object_var>>& objects) {
  PutCount(s, objects.size());
  for (const auto& object : objects) {
    object.first >>= s;
    CORBA::Object::_marshalObjRef(object.second.in(), s);
  }
}

void GetObjects(cdrStream& s, std::vector<std::pair<CORBA::Long, CORBA::Object_var>>* objects) {
  objects->resize(GetCount(s));
  for (auto& object : *objects) {
    object.first <<= s;
    object.second = CORBA::Object::_unmarshalObjRef(s);
  }
}

void PutAttached(cdrStream& s, const AttachedFilters& attached) {
  attached.nextId >>= s;
  PutObjects(s, attached.filters);
}

void GetAttached(cdrStream& s, AttachedFilters* attached) {
  attached->nextId <<= s;
  GetObjects(s, &attached->filters);
}

void PutFilter(cdrStream& s, const FilterState& filter) {
  filter.id >>= s;
  s.marshalBoolean(filter.attached);
  filter.nextConstraintId >>= s;
  filter.constraints >>= s;
  filter.nextCallbackId >>= s;
  PutObjects(s, filter.callbacks);
}

void GetFilter(cdrStream& s, FilterState* filter) {
  filter->id <<= s;
  filter->attached = s.unmarshalBoolean();
  filter->nextConstraintId <<= s;
  filter->constraints <<= s;
  filter->nextCallbackId <<= s;
  GetObjects(s, &filter->callbacks);
}

bool HasFilters(const std::vector<ChannelState>& channels) {
  for (const ChannelState& channel : channels) {
    if (!channel.filters.empty()) return true;
    for (const AdminState& admin : channel.admins) {
      if (!admin.filters.filters.empty()) return true;
    }
    for (const ProxyState& proxy : channel.proxies) {
      if (!proxy.filters.filters.empty()) return true;
    }
  }
  return false;
}

// Each channel's filters and what its admins and proxies hold, in the order
// of the channels, admins and proxies before it.
void PutFilterSection(cdrStream& s, const std::vector<ChannelState>& channels) {
  for (const ChannelState& channel : channels) {
    channel.nextFilterId >>= s;
    PutCount(s, channel.filters.size());
    for (const FilterState& filter : channel.filters) PutFilter(s, filter);
    for (const AdminState& admin : channel.admins) PutAttached(s, admin.filters);
    for (const ProxyState& proxy : channel.proxies) PutAttached(s, proxy.filters);
  }
}

void GetFilterSection(cdrStream& s, std::vector<ChannelState>* channels) {
  for (ChannelState& channel : *channels) {
    channel.nextFilterId <<= s;
    channel.filters.resize(GetCount(s));
    for (FilterState& filter : channel.filters) GetFilter(s, &filter);
    for (AdminState& admin : channel.admins) GetAttached(s, &admin.filters);
    for (ProxyState& proxy : channel.proxies) GetAttached(s, &proxy.filters);
  }
}

template <typename Decode>
bool Decoding(const std::string& bytes, Decode decode) {
  AlignedInput input(bytes);
  try {
    decode(input.stream());
  } catch (const CORBA::SystemException&) {
    return false;
  }
  return input.AtEnd();
}

}  // namespace

std::string EncodeTopology(const std::vector<ChannelState>& channels) {
  cdrMemoryStream s;
  PutCount(s, channels.size());
  for (const ChannelState& channel : channels) {
    PutString(s, channel.key);
    channel.qos >>= s;
    channel.admin >>= s;
    channel.nextAdminId >>= s;
    PutCount(s, channel.admins.size());
    for (const AdminState& admin : channel.admins) PutAdmin(s, admin);
    PutCount(s, channel.proxies.size());
    for (const ProxyState& proxy : channel.proxies) PutProxy(s, proxy);
  }
  if (HasFilters(channels)) PutFilterSection(s, channels);
  return Bytes(s);
}

bool DecodeTopology(const std::string& bytes, std::vector<ChannelState>* out) {
  return Decoding(bytes, [out](cdrStream& s) {
    out->resize(GetCount(s));
    for (ChannelState& channel : *out) {
      channel.key = GetString(s);
      channel.qos <<= s;
      channel.admin <<= s;
      channel.nextAdminId <<= s;
      channel.admins.resize(GetCount(s));
      for (AdminState& admin : channel.admins) GetAdmin(s, &admin);
      channel.proxies.resize(GetCount(s));
      for (ProxyState& proxy : channel.proxies) GetProxy(s, &proxy);
    }
    if (s.checkInputOverrun(1, 1)) GetFilterSection(s, out);
  });
}

std::string EncodeQueued(const std::vector<QueuedEvents>& queues) {
  cdrMemoryStream s;
  PutCount(s, queues.size());
  for (const QueuedEvents& queue : queues) {
    PutString(s, queue.channel);
    queue.admin >>= s;
    queue.proxy >>= s;
    PutCount(s, queue.events.size());
    for (const EventPtr& event : queue.events) *event >>= s;
  }
  return Bytes(s);
}

bool DecodeQueued(const std::string& bytes, std::vector<QueuedEvents>* out) {
  return Decoding(bytes, [out](cdrStream& s) {
    out->resize(GetCount(s));
    for (QueuedEvents& queue : *out) {
      queue.channel = GetString(s);
      queue.admin <<= s;
      queue.proxy <<= s;
      queue.events.resize(GetCount(s));
      for (EventPtr& event : queue.events) {
        auto decoded = std::make_shared<ChannelEvent>();
        *decoded <<= s;
        event = std::move(decoded);
      }
    }
  });
}

std::string EncodeLogEvent(std::uint64_t sequence, const std::string& channel,
                           const std::vector<ProxyKey>& targets,
                           const CosNotification::StructuredEvent& event) {
  cdrMemoryStream s;
  s.marshalBoolean(false);
  static_cast<CORBA::ULongLong>(sequence) >>= s;
  PutString(s, channel);
  PutCount(s, targets.size());
  for (const ProxyKey& target : targets) {
    target.first >>= s;
    target.second >>= s;
  }
  event >>= s;
  return Bytes(s);
}

std::string EncodeLogDone(std::uint64_t sequence, const ProxyKey& target) {
  cdrMemoryStream s;
  s.marshalBoolean(true);
  static_cast<CORBA::ULongLong>(sequence) >>= s;
  target.first >>= s;
  target.second >>= s;
  return Bytes(s);
}

bool DecodeLogRecord(const std::string& bytes, LogRecord* out) {
  return Decoding(bytes, [out](cdrStream& s) {
    out->done = s.unmarshalBoolean();
    CORBA::ULongLong sequence;
    sequence <<= s;
    out->sequence = sequence;
    if (out->done) {
      ProxyKey target;
      target.first <<= s;
      target.second <<= s;
      out->targets.assign(1, target);
      return;
    }
    out->channel = GetString(s);
    out->targets.resize(GetCount(s));
    for (ProxyKey& target : out->targets) {
      target.first <<= s;
      target.second <<= s;
    }
    out->event = std::make_shared<ChannelEvent>();
    *out->event <<= s;
    out->event->sequence = out->sequence;
  });
}

std::string EncodeStreamEvent(const CosNotification::StructuredEvent& event) {
  cdrEncapsulationStream s;  // writes the byte order
  event >>= s;
  return Bytes(s);
}

bool DecodeStreamEvent(const std::string& bytes, ChannelEvent* out) {
  AlignedInput input(bytes);
  cdrMemoryStream& s = input.stream();
  try {
    // Alignment counts from the encapsulation's first octet, which is the
    // buffer's: the byte order is read as any octet would be.
    s.setByteSwapFlag(s.unmarshalOctet() != 0);
    *out <<= s;
  } catch (const CORBA::SystemException&) {
    return false;
  }
  return input.AtEnd();
}

}  // namespace channeld
}  // namespace kestrel
