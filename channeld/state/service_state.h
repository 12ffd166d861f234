// What kestrel-channeld keeps in its state directory, in memory: every
// channel with its admins and proxies (what a client relies on across a
// restart), and the events still queued for each consumer at a planned
// stop. Encoded as CDR, the ORB's own marshalling, so that events, QoS and
// object references go to disk exactly as they go on the wire.

#ifndef KESTREL_CHANNELD_STATE_SERVICE_STATE_H_
#define KESTREL_CHANNELD_STATE_SERVICE_STATE_H_

#include <COS/CosNotifyChannelAdmin.hh>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "channeld/state/channel_event.h"

namespace kestrel {
namespace channeld {

// The filters that one admin or proxy holds: each under the id that it
// answered to add_filter, by reference, since a filter may be any object.
struct AttachedFilters {
  CosNotifyFilter::FilterID nextId = 1;
  std::vector<std::pair<CosNotifyFilter::FilterID, CORBA::Object_var>> filters;
};

// One filter object of a channel, made by its filter factory.
struct FilterState {
  CosNotifyFilter::FilterID id = 0;
  // Once held by an admin or proxy, it is never reclaimed as unused.
  bool attached = false;
  CosNotifyFilter::ConstraintID nextConstraintId = 1;
  CosNotifyFilter::ConstraintInfoSeq constraints;
  CosNotifyFilter::CallbackID nextCallbackId = 1;
  std::vector<std::pair<CosNotifyFilter::CallbackID, CORBA::Object_var>> callbacks;
};

struct ProxyState {
  CosNotifyChannelAdmin::AdminID admin = 0;
  CosNotifyChannelAdmin::ProxyID id = 0;
  bool consumerSide = false;  // a proxy supplier, which pushes to a consumer
  bool connected = false;
  bool suspended = false;
  CORBA::Object_var peer;  // the connected client; nil for a nil supplier
  CosNotification::QoSProperties qos;  // its own settings only
  CosNotification::EventTypeSeq types;  // its subscriptions, or its offers
  AttachedFilters filters;
};

struct AdminState {
  CosNotifyChannelAdmin::AdminID id = 0;
  bool consumerSide = false;
  CosNotifyChannelAdmin::InterFilterGroupOperator op = CosNotifyChannelAdmin::AND_OP;
  CosNotifyChannelAdmin::ProxyID nextProxyId = 1;
  CosNotification::QoSProperties qos;
  CosNotification::EventTypeSeq types;
  AttachedFilters filters;
};

struct ChannelState {
  std::string key;
  CosNotification::QoSProperties qos;
  CosNotification::AdminProperties admin;
  CosNotifyChannelAdmin::AdminID nextAdminId = 1;
  std::vector<AdminState> admins;
  std::vector<ProxyState> proxies;
  CosNotifyFilter::FilterID nextFilterId = 1;
  std::vector<FilterState> filters;
};

// Which proxy of a channel: its admin's id and its own.
using ProxyKey = std::pair<CosNotifyChannelAdmin::AdminID, CosNotifyChannelAdmin::ProxyID>;
// What each consumer proxy of one channel still owes its consumer.
using RestoredQueues = std::map<ProxyKey, std::vector<EventPtr>>;

// The events that one consumer proxy still owed its consumer, in order.
struct QueuedEvents {
  std::string channel;
  CosNotifyChannelAdmin::AdminID admin = 0;
  CosNotifyChannelAdmin::ProxyID proxy = 0;
  std::vector<EventPtr> events;
};

// Encoding never fails; decoding answers false for bytes that are not a
// whole, well-formed encoding (out is then unspecified). Decoding object
// references needs the process's ORB. Filters follow the channels as a
// section of their own, written only when some channel has filters, so that
// a topology without them reads as it always did.
std::string EncodeTopology(const std::vector<ChannelState>& channels);
bool DecodeTopology(const std::string& bytes, std::vector<ChannelState>* out);
std::string EncodeQueued(const std::vector<QueuedEvents>& queues);
bool DecodeQueued(const std::string& bytes, std::vector<QueuedEvents>* out);

// The records of the event log (event_log.h): an event with its targets, or
// one target done with one event.
struct LogRecord {
  bool done = false;
  std::uint64_t sequence = 0;
  std::string channel;           // events only
  std::vector<ProxyKey> targets;  // events: every target; done: the one
  std::shared_ptr<ChannelEvent> event;
};
std::string EncodeLogEvent(std::uint64_t sequence, const std::string& channel,
                           const std::vector<ProxyKey>& targets,
                           const CosNotification::StructuredEvent& event);
std::string EncodeLogDone(std::uint64_t sequence, const ProxyKey& target);
bool DecodeLogRecord(const std::string& bytes, LogRecord* out);

// An event as a cluster's stream carries it: a CDR encapsulation (its byte
// order first, then the structured event, the any's type code with its
// value), so that any instance, whatever its byte order, reads the event
// that the supplier pushed. False, with out unchanged in part, for bytes
// that are not one whole event.
std::string EncodeStreamEvent(const CosNotification::StructuredEvent& event);
bool DecodeStreamEvent(const std::string& bytes, ChannelEvent* out);

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_STATE_SERVICE_STATE_H_
