#include "channeld/model/shared_topology.h"

#include <regex>
#include <utility>

#include "channeld/model/event_channel.h"

namespace kestrel {
namespace channeld {

namespace {

// Set on the watcher's thread while it applies a record: what that changes
// is the cluster's, not a change of this instance's to write.
thread_local bool applying = false;

class Applying {
 public:
  Applying() { applying = true; }
  ~Applying() { applying = false; }
};

// A channel's own settings are at "KEY/channel"; its objects at their
// object ids, which end in an admin's, a proxy's or a filter's number, so
// that no record of one channel is ever another's.
constexpr const char* kSettings = "/channel";

struct RecordName {
  enum class Kind { kOther, kObject, kFilter } kind = Kind::kOther;
  std::string channel;
  EventChannel::Side side = EventChannel::Side::kConsumer;
  long admin = 0;
  long id = 0;  // the proxy (0: the admin itself), or the filter
};

RecordName Parse(const std::string& record) {
  static const std::regex proxy("^(.+)/(ca|sa)([0-9]{1,9})/p([0-9]{1,9})$");
  static const std::regex admin("^(.+)/(ca|sa)([0-9]{1,9})$");
  static const std::regex filter("^(.+)/f([0-9]{1,9})$");
  RecordName name;
  std::smatch match;
  if (std::regex_match(record, match, proxy) || std::regex_match(record, match, admin)) {
    name.kind = RecordName::Kind::kObject;
    name.channel = match[1];
    name.side = match[2] == "ca" ? EventChannel::Side::kConsumer : EventChannel::Side::kSupplier;
    name.admin = std::stol(match[3]);
    if (match.size() > 4 && match[4].matched) name.id = std::stol(match[4]);
  } else if (std::regex_match(record, match, filter)) {
    name.kind = RecordName::Kind::kFilter;
    name.channel = match[1];
    name.id = std::stol(match[2]);
  }
  return name;
}

std::string Encode(const ChannelState& shared) { return EncodeTopology({shared}); }

}  // namespace

SharedTopology::SharedTopology(SharedRecords* records, Channels channels, ChannelFor channelFor)
    : records_(records), channels_(std::move(channels)), channelFor_(std::move(channelFor)) {}

void SharedTopology::Start() {
  records_->Watch([this](const SharedRecords::Entry& entry) { Apply(entry); });
}

bool SharedTopology::WaitCaughtUp(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return caughtUpChanged_.wait_for(lock, timeout, [this] { return caughtUp_; });
}

void SharedTopology::Stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopped_ = true;
}

std::string SharedTopology::RecordOf(const ChannelState& shared) {
  auto side = [](bool consumerSide) { return consumerSide ? "/ca" : "/sa"; };
  if (!shared.proxies.empty()) {
    const ProxyState& proxy = shared.proxies.front();
    return shared.key + side(proxy.consumerSide) + std::to_string(proxy.admin) + "/p" +
           std::to_string(proxy.id);
  }
  if (!shared.admins.empty()) {
    const AdminState& admin = shared.admins.front();
    return shared.key + side(admin.consumerSide) + std::to_string(admin.id);
  }
  if (!shared.filters.empty()) return shared.key + "/f" + std::to_string(shared.filters.front().id);
  return shared.key + kSettings;
}

std::map<std::string, ChannelState> SharedTopology::Split(const ChannelState& channel) {
  std::map<std::string, ChannelState> records;
  auto add = [&records](ChannelState shared) {
    std::string record = RecordOf(shared);
    records.emplace(std::move(record), std::move(shared));
  };
  ChannelState settings;
  settings.key = channel.key;
  settings.qos = channel.qos;
  settings.admin = channel.admin;
  settings.nextAdminId = channel.nextAdminId;
  settings.nextFilterId = channel.nextFilterId;
  add(settings);
  for (const AdminState& admin : channel.admins) {
    ChannelState shared;
    shared.key = channel.key;
    shared.admins.push_back(admin);
    add(std::move(shared));
  }
  for (const ProxyState& proxy : channel.proxies) {
    ChannelState shared;
    shared.key = channel.key;
    shared.proxies.push_back(proxy);
    add(std::move(shared));
  }
  for (const FilterState& filter : channel.filters) {
    ChannelState shared;
    shared.key = channel.key;
    shared.filters.push_back(filter);
    add(std::move(shared));
  }
  return records;
}

bool SharedTopology::Reserve(const std::string& record) {
  std::uint64_t revision = 0;
  switch (records_->Create(record, std::string(), &revision)) {
    case SharedRecords::Result::kDone:
      return true;
    case SharedRecords::Result::kConflict:
      return false;
    default:
      throw CORBA::TRANSIENT(0, CORBA::COMPLETED_NO);
  }
}

void SharedTopology::Changed() {
  if (applying) return;
  std::vector<Channel> channels = channels_();
  std::lock_guard<std::mutex> lock(mutex_);
  // Before the watcher has caught up, this instance's objects would
  // overwrite what the cluster has.
  owed_ = !caughtUp_;
  if (!caughtUp_ || stopped_) return;
  std::map<std::string, std::string> now;
  for (const Channel& channel : channels) {
    for (const auto& entry : Split(channel->Capture())) now[entry.first] = Encode(entry.second);
  }
  for (const auto& entry : now) {
    auto known = known_.find(entry.first);
    if (known != known_.end() && known->second == entry.second) continue;
    std::uint64_t revision = 0;
    // What could not be written is written at the next change, or when
    // the service's tending retries.
    if (records_->Put(entry.first, entry.second, &revision) == SharedRecords::Result::kDone) {
      known_[entry.first] = entry.second;
    } else {
      owed_ = true;
    }
  }
  for (auto known = known_.begin(); known != known_.end();) {
    if (now.count(known->first) != 0) {
      ++known;
    } else if (records_->Delete(known->first) != SharedRecords::Result::kDone) {
      owed_ = true;
      ++known;
    } else {
      known = known_.erase(known);
    }
  }
}

void SharedTopology::Retry() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!owed_) return;
  }
  Changed();
}

void SharedTopology::Apply(const SharedRecords::Entry& entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (entry.key.empty()) {
    caughtUp_ = true;
    caughtUpChanged_.notify_all();
    return;
  }
  if (stopped_) return;
  Applying scope;
  if (entry.deleted) {
    waiting_.erase(entry.key);
    known_.erase(entry.key);
    DropLocked(entry.key);
    return;
  }
  if (entry.value.empty()) return;  // a reservation: its object follows
  auto known = known_.find(entry.key);
  if (known != known_.end() && known->second == entry.value) return;
  if (!ApplyLocked(entry.key, entry.value)) {
    waiting_[entry.key] = entry.value;
    return;
  }
  RetryWaitingLocked();
}

bool SharedTopology::ApplyLocked(const std::string& record, const std::string& value) {
  std::vector<ChannelState> decoded;
  // A record this build cannot read is left to those that can.
  if (!DecodeTopology(value, &decoded) || decoded.size() != 1) return true;
  const ChannelState& shared = decoded.front();
  if (RecordOf(shared) != record) return true;
  Channel channel = channelFor_(shared.key);
  if (!channel) return true;
  if (!channel->Share(shared)) return false;
  ChannelState here;
  if (channel->CaptureShared(shared, &here)) known_[record] = Encode(here);
  return true;
}

void SharedTopology::RetryWaitingLocked() {
  for (bool progress = true; progress;) {
    progress = false;
    for (auto waiting = waiting_.begin(); waiting != waiting_.end();) {
      if (ApplyLocked(waiting->first, waiting->second)) {
        waiting = waiting_.erase(waiting);
        progress = true;
      } else {
        ++waiting;
      }
    }
  }
}

void SharedTopology::DropLocked(const std::string& record) {
  RecordName name = Parse(record);
  if (name.kind == RecordName::Kind::kOther) return;
  for (const Channel& channel : channels_()) {
    if (channel->key() != name.channel) continue;
    if (name.kind == RecordName::Kind::kFilter) {
      channel->DropSharedFilter(name.id);
    } else {
      channel->DropShared(name.side, name.admin, name.id);
    }
  }
}

}  // namespace channeld
}  // namespace kestrel
