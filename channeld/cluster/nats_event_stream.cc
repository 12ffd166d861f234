#include "channeld/cluster/nats_event_stream.h"

#include <algorithm>
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

std::string RunNonce() {
  std::random_device random;
  char nonce[17];
  std::snprintf(nonce, sizeof nonce, "%08x%08x", random(), random());
  return nonce;
}

}  // namespace

NatsEventStream::NatsEventStream(const ClusterSettings& settings)
    : settings_(settings),
      idPrefix_(StreamNames::Escape(settings.instance) + "-" + RunNonce() + "-"),
      connection_(settings_, &waiters_) {}

NatsEventStream::~NatsEventStream() {
  Stop();
  logs_.clear();
  connection_.Close();
}

bool NatsEventStream::Start(std::string* error) { return connection_.Open(error); }

void NatsEventStream::Open(const std::string& channel, Deliver deliver) {
  std::unique_ptr<ChannelLog> log(
      new ChannelLog(channel, settings_, &connection_, std::move(deliver)));
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
  for (const auto& entry : logs_) {
    figures.repeats += entry.second->repeats();
    figures.lag[entry.first] = entry.second->lag();
  }
  return figures;
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
