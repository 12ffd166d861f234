#include "channeld/cluster/nats_event_stream.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <thread>

#include "channeld/cluster/stream_names.h"

namespace kestrel {
namespace channeld {

namespace {

// "No responders": the stream has no leader (an election). The append
// tries again, with the same id, after a pause that doubles up to this,
// within its bound: a naive retry spins at a thousand a second.
constexpr std::chrono::milliseconds kFirstPause{25};
constexpr std::chrono::milliseconds kLastPause{500};
// Past the append's own bound, which the library's timer enforces, the
// time that its answer may take to arrive before the append stops waiting.
constexpr std::chrono::seconds kAnswerMargin{1};
constexpr std::int64_t kNanosecondsPerMillisecond = 1000000;

std::string RunNonce() {
  std::random_device random;
  char nonce[17];
  std::snprintf(nonce, sizeof nonce, "%08x%08x", random(), random());
  return nonce;
}

// What a caller of a position's making or dropping hears of JetStream's
// answer.
EventStream::Result ResultOf(natsStatus status, jsErrCode code) {
  if (status == NATS_OK) return EventStream::Result::kAccepted;
  // A fault on the way (no connection, no leader, no answer), the servers
  // electing, too few of them up for the replicas: all pass.
  if (code == 0 || code == JSClusterNotAvailErr || code == JSClusterNoPeersErr) {
    return EventStream::Result::kUnavailable;
  }
  return EventStream::Result::kRefused;
}

}  // namespace

NatsEventStream::NatsEventStream(const ClusterSettings& settings)
    : settings_(settings),
      idPrefix_(StreamNames::Escape(settings.instance) + "-" + RunNonce() + "-"),
      connection_(settings_, &waiters_),
      feeds_(std::make_shared<PositionFeeds>()),
      topology_(new NatsSharedRecords(kTopologyBucket, settings_.replicas, &connection_)),
      leases_(new NatsSharedRecords(kLeasesBucket, settings_.replicas, &connection_)) {}

NatsEventStream::~NatsEventStream() {
  Stop();
  logs_.clear();
  topology_.reset();
  leases_.reset();
  feeds_->LetGo();
  connection_.Close();
}

bool NatsEventStream::Start(std::string* error) { return connection_.Open(error); }

void NatsEventStream::Open(const std::string& channel) {
  std::unique_ptr<ChannelLog> log(new ChannelLog(channel, settings_, &connection_));
  ChannelLog* started = log.get();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_ || logs_.count(channel) != 0) return;
    logs_[channel] = std::move(log);
  }
  started->Start();
}

ChannelLog* NatsEventStream::Find(const std::string& channel) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = logs_.find(channel);
  return found == logs_.end() ? nullptr : found->second.get();
}

std::string NatsEventStream::NextMessageId() {
  return idPrefix_ + std::to_string(nextId_.fetch_add(1, std::memory_order_relaxed));
}

EventStream::Result NatsEventStream::Count(Result result, Clock::time_point started) {
  if (result == Result::kAccepted) {
    accepted_.fetch_add(1, std::memory_order_relaxed);
    acknowledgements_.Record(Clock::now() - started);
  } else {
    failed_.fetch_add(1, std::memory_order_relaxed);
  }
  return result;
}

EventStream::Result NatsEventStream::Accept(const std::string& channel, const void* data,
                                            std::size_t size, bool persistent) {
  const Clock::time_point started = Clock::now();
  const Clock::time_point deadline = started + std::chrono::milliseconds(settings_.acceptTimeoutMs);
  ChannelLog* log = Find(channel);
  if (stopped_ || log == nullptr || !log->ready()) return Count(Result::kUnavailable, started);
  const std::string id = NextMessageId();
  std::chrono::milliseconds pause = kFirstPause;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return Count(Result::kTimedOut, started);
    AckWaiters::Ticket ticket = waiters_.Expect(id);
    natsStatus status = connection_.PublishAsync(log->subject(), id, data, size, persistent,
                                                 left.count());
    if (status != NATS_OK) {
      waiters_.Wait(ticket, Clock::now());  // forgets it
      return Count(status == NATS_TIMEOUT ? Result::kTimedOut : Result::kUnavailable, started);
    }
    switch (waiters_.Wait(ticket, deadline + kAnswerMargin)) {
      case AckWaiters::Answer::kStored:
        return Count(Result::kAccepted, started);
      case AckWaiters::Answer::kNoResponders:
        break;
      case AckWaiters::Answer::kRefused:
        return Count(Result::kRefused, started);
      case AckWaiters::Answer::kClosed:
        return Count(Result::kUnavailable, started);
      case AckWaiters::Answer::kNone:
      case AckWaiters::Answer::kTimedOut:
        return Count(Result::kTimedOut, started);
    }
    auto sleep = std::min<Clock::duration>(pause, deadline - Clock::now());
    if (sleep > Clock::duration::zero()) std::this_thread::sleep_for(sleep);
    pause = std::min(kLastPause, pause * 2);
    if (stopped_) return Count(Result::kUnavailable, started);
  }
}

bool NatsEventStream::Ready(std::string* reason) const {
  if (!connection_.connected()) {
    *reason = "no connection to the cluster's NATS servers";
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& entry : logs_) {
    if (!entry.second->ready()) {
      *reason = "the cluster's stream of channel " + entry.first + " is not there yet";
      return false;
    }
  }
  return true;
}

std::vector<std::string> NatsEventStream::Channels() {
  std::vector<std::string> channels;
  if (!connection_.connected()) return channels;
  jsStreamNamesList* names = nullptr;
  jsErrCode code = static_cast<jsErrCode>(0);
  if (js_StreamNames(&names, connection_.js(), nullptr, &code) != NATS_OK) return channels;
  for (int i = 0; i < names->Count; ++i) {
    std::string channel;
    if (StreamNames::ChannelOf(names->List[i], &channel)) channels.push_back(channel);
  }
  jsStreamNamesList_Destroy(names);
  std::sort(channels.begin(), channels.end());
  return channels;
}

ClusterFigures NatsEventStream::Figures() const {
  ClusterFigures figures;
  figures.accepted = accepted_.load(std::memory_order_relaxed);
  figures.failed = failed_.load(std::memory_order_relaxed);
  figures.stalls = connection_.stalls();
  figures.reconnections = connection_.reconnections();
  figures.acknowledgements = acknowledgements_.snapshot();
  std::lock_guard<std::mutex> lock(mutex_);
  return figures;
}

EventStream::Result NatsEventStream::MakePosition(const std::string& channel,
                                                  const std::string& name, std::size_t window,
                                                  std::chrono::milliseconds pending) {
  if (stopped_ || !connection_.connected()) return Result::kUnavailable;
  const std::string stream = StreamNames::Stream(channel);
  const std::string durable = PositionFeed::Durable(name);
  // Asked first: adding one that exists would change it to these settings.
  jsConsumerInfo* info = nullptr;
  jsErrCode code = static_cast<jsErrCode>(0);
  natsStatus status =
      js_GetConsumerInfo(&info, connection_.js(), stream.c_str(), durable.c_str(), nullptr, &code);
  jsConsumerInfo_Destroy(info);
  info = nullptr;
  if (status == NATS_OK) return Result::kAccepted;
  if (code == JSStreamNotFoundErr) {
    jsStreamInfo* found = nullptr;
    status = FindOrMakeChannelStream(connection_.js(), channel, settings_, &found, &code);
    jsStreamInfo_Destroy(found);
    if (status != NATS_OK) return ResultOf(status, code);
  } else if (code != JSConsumerNotFoundErr) {
    return ResultOf(status, code);
  }
  const std::string subject = StreamNames::Subject(channel);
  const std::string description = "kestrel-channeld position " + name;
  jsConsumerConfig config;
  jsConsumerConfig_Init(&config);
  config.Durable = durable.c_str();
  config.Description = description.c_str();
  config.FilterSubject = subject.c_str();
  config.DeliverPolicy = js_DeliverNew;
  // Each event on its own: one lost on its way must never be acknowledged
  // with the others.
  config.AckPolicy = js_AckExplicit;
  config.AckWait = static_cast<std::int64_t>(pending.count()) * kNanosecondsPerMillisecond;
  config.MaxAckPending = static_cast<std::int64_t>(
      std::min<std::size_t>(window, static_cast<std::size_t>(INT32_MAX)));
  code = static_cast<jsErrCode>(0);
  status = js_AddConsumer(&info, connection_.js(), stream.c_str(), &config, nullptr, &code);
  jsConsumerInfo_Destroy(info);
  if (code == JSConsumerNameExistErr) return Result::kAccepted;  // another made it first
  return ResultOf(status, code);
}

EventStream::Result NatsEventStream::DropPosition(const std::string& channel,
                                                  const std::string& name) {
  if (stopped_ || !connection_.connected()) return Result::kUnavailable;
  jsErrCode code = static_cast<jsErrCode>(0);
  natsStatus status = js_DeleteConsumer(connection_.js(), StreamNames::Stream(channel).c_str(),
                                        PositionFeed::Durable(name).c_str(), nullptr, &code);
  if (code == JSConsumerNotFoundErr || code == JSStreamNotFoundErr) return Result::kAccepted;
  return ResultOf(status, code);
}

std::unique_ptr<EventStream::Feed> NatsEventStream::Follow(const std::string& channel,
                                                           const std::string& name,
                                                           FeedDeliver deliver,
                                                           FeedActive active) {
  if (stopped_) return nullptr;
  std::unique_ptr<PositionFeed> feed(new PositionFeed(channel, name, &connection_,
                                                      std::move(deliver), std::move(active),
                                                      feeds_));
  if (!feed->Start()) return nullptr;
  return std::unique_ptr<Feed>(std::move(feed));
}

void NatsEventStream::Stop() {
  std::vector<ChannelLog*> logs;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_.exchange(true)) return;
    for (const auto& entry : logs_) logs.push_back(entry.second.get());
  }
  waiters_.CloseAll();
  for (ChannelLog* log : logs) log->Stop();
  feeds_->Stop();
  // The records' watchers call into the service, which goes after Stop.
  topology_->StopWatching();
  leases_->StopWatching();
}

std::unique_ptr<EventStream> OpenEventStream(const ClusterSettings& settings, std::string* error) {
  if (settings.servers.empty()) {
    *error = "--cluster names no NATS server";
    return nullptr;
  }
  std::unique_ptr<NatsEventStream> stream(new NatsEventStream(settings));
  if (!stream->Start(error)) return nullptr;
  return std::unique_ptr<EventStream>(std::move(stream));
}

}  // namespace channeld
}  // namespace kestrel
