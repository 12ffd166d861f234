#include "channeld/cluster/channel_log.h"

#include <algorithm>

#include "channeld/base/log.h"
#include "channeld/cluster/nats_connection.h"
#include "channeld/cluster/stream_names.h"

namespace kestrel {
namespace channeld {

namespace {

constexpr std::int64_t kNanosecondsPerSecond = 1000000000;
// How long the log waits for this instance's acknowledgement of a batch
// before it sends the batch again: what an instance that crashed had
// fetched comes again this long after it is back. A batch may wait on full
// queues for a few block timeouts; a repeat is skipped anyway.
constexpr std::int64_t kAckWaitNanoseconds = 10 * kNanosecondsPerSecond;
// A hole in the sequences delivered that the stream has not filled within
// a few of its resends is one it dropped (by age or size) before this
// instance read it.
constexpr std::chrono::nanoseconds kHoleLimit{3 * kAckWaitNanoseconds};
// How often a channel whose consumers follow their own positions looks at
// its stream: one gone is made again within this.
constexpr std::chrono::seconds kStreamCheck{5};
constexpr std::chrono::milliseconds kFirstBackoff{50};
constexpr std::chrono::milliseconds kLastBackoff{1000};

std::int64_t NowNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool Captures(const jsStreamConfig& config, const std::string& subject) {
  for (int i = 0; i < config.SubjectsLen; ++i) {
    if (subject == config.Subjects[i]) return true;
  }
  return false;
}

bool NotFound(natsStatus status, jsErrCode code, jsErrCode which) {
  return code == which || (status == NATS_NOT_FOUND && code == 0);
}

}  // namespace

natsStatus FindOrMakeChannelStream(jsCtx* js, const std::string& channel,
                                   const ClusterSettings& settings, jsStreamInfo** info,
                                   jsErrCode* code) {
  const std::string stream = StreamNames::Stream(channel);
  *info = nullptr;
  *code = static_cast<jsErrCode>(0);
  natsStatus status = js_GetStreamInfo(info, js, stream.c_str(), nullptr, code);
  if (status == NATS_OK || !NotFound(status, *code, JSStreamNotFoundErr)) return status;
  const std::string subject = StreamNames::Subject(channel);
  const std::string description = "kestrel-channeld channel " + channel;
  const char* subjects[] = {subject.c_str()};
  jsStreamConfig config;
  jsStreamConfig_Init(&config);
  config.Name = stream.c_str();
  config.Description = description.c_str();
  config.Subjects = subjects;
  config.SubjectsLen = 1;
  config.Storage = js_FileStorage;
  config.Replicas = settings.replicas;
  config.MaxAge = static_cast<std::int64_t>(settings.maxAgeSeconds) * kNanosecondsPerSecond;
  config.MaxBytes = settings.maxBytes;
  *code = static_cast<jsErrCode>(0);
  status = js_AddStream(info, js, &config, nullptr, code);
  if (status == NATS_OK) {
    Log::Info("channel " + channel + ": made the cluster's stream " + stream);
    return status;
  }
  if (*code != JSStreamNameExistErr) return status;
  // Another instance made it first.
  jsStreamInfo_Destroy(*info);
  *info = nullptr;
  *code = static_cast<jsErrCode>(0);
  return js_GetStreamInfo(info, js, stream.c_str(), nullptr, code);
}

ChannelLog::ChannelLog(const std::string& channel, const ClusterSettings& settings,
                       NatsConnection* connection, EventStream::Deliver deliver)
    : channel_(channel),
      stream_(StreamNames::Stream(channel)),
      subject_(StreamNames::Subject(channel)),
      durable_(StreamNames::Durable(settings.instance)),
      settings_(settings),
      connection_(connection),
      deliver_(std::move(deliver)),
      openedNanoseconds_(NowNanoseconds()),
      delivered_(kHoleLimit) {}

ChannelLog::~ChannelLog() { Stop(); }

void ChannelLog::Start() { thread_ = std::thread([this] { Run(); }); }

void ChannelLog::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  stopping_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool ChannelLog::Stopping() {
  std::lock_guard<std::mutex> lock(mutex_);
  return stop_;
}

void ChannelLog::Run() {
  for (;;) {
    Step step = !ready_                    ? FindOrMakeStream()
                : !deliver_                ? KeepStream()
                : !consumerKnown_          ? FindOrMakeConsumer()
                : subscription_ == nullptr ? Subscribe()
                                           : FetchAndDeliver();
    if (step == Step::kRetry) {
      if (!BackOff()) break;
      continue;
    }
    backoff_ = std::chrono::milliseconds(0);
    if (Stopping()) break;
  }
  Unsubscribe();
}

bool ChannelLog::BackOff() {
  backoff_ = std::min(kLastBackoff, std::max(kFirstBackoff, backoff_ * 2));
  std::unique_lock<std::mutex> lock(mutex_);
  return !stopping_.wait_for(lock, backoff_, [this] { return stop_; });
}

ChannelLog::Step ChannelLog::FindOrMakeStream() {
  if (!connection_->connected()) return Step::kRetry;
  jsStreamInfo* info = nullptr;
  jsErrCode code = static_cast<jsErrCode>(0);
  if (FindOrMakeChannelStream(connection_->js(), channel_, settings_, &info, &code) != NATS_OK) {
    jsStreamInfo_Destroy(info);
    return Step::kRetry;
  }
  bool capturesSubject = Captures(*info->Config, subject_);
  WarnIfOtherSettings(*info->Config);
  if (info->Created != streamCreated_) {
    streamCreated_ = info->Created;
    delivered_.Reset();
  }
  jsStreamInfo_Destroy(info);
  if (!capturesSubject) return Step::kRetry;
  ready_ = true;
  return Step::kDone;
}

void ChannelLog::WarnIfOtherSettings(const jsStreamConfig& found) {
  if (warned_) return;
  std::string differences;
  auto differs = [&](const std::string& what, std::int64_t theirs, std::int64_t ours) {
    if (theirs == ours) return;
    differences += (differences.empty() ? "" : ", ") + what + " " + std::to_string(theirs) +
                   " (this instance's: " + std::to_string(ours) + ")";
  };
  differs("replicas", found.Replicas, settings_.replicas);
  differs("max age (s)", found.MaxAge / kNanosecondsPerSecond,
          static_cast<std::int64_t>(settings_.maxAgeSeconds));
  differs("max bytes", found.MaxBytes, settings_.maxBytes);
  differs("file storage", found.Storage == js_FileStorage ? 1 : 0, 1);
  bool capturesSubject = Captures(found, subject_);
  if (!capturesSubject) {
    Log::Error("channel " + channel_ + ": the cluster's stream " + stream_ +
               " does not take the subject " + subject_ +
               "; no event can be accepted until it does");
  } else if (!differences.empty()) {
    Log::Error("channel " + channel_ + ": the cluster's stream " + stream_ +
               " has other settings: " + differences + "; it is used as it is");
  }
  warned_ = !differences.empty() || !capturesSubject;
}

ChannelLog::Step ChannelLog::KeepStream() {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (stopping_.wait_for(lock, kStreamCheck, [this] { return stop_; })) return Step::kDone;
  }
  // Should the stream have gone, it is made again here as it would be for a
  // consumer; a fault on the way leaves it ready, and appends find out.
  FindOrMakeStream();
  return Step::kDone;
}

ChannelLog::Step ChannelLog::FindOrMakeConsumer() {
  jsConsumerInfo* info = nullptr;
  jsErrCode code = static_cast<jsErrCode>(0);
  natsStatus status = js_GetConsumerInfo(&info, connection_->js(), stream_.c_str(),
                                         durable_.c_str(), nullptr, &code);
  if (status != NATS_OK && code == JSStreamNotFoundErr) {
    ready_ = false;
    return Step::kRetry;
  }
  if (status != NATS_OK && NotFound(status, code, JSConsumerNotFoundErr)) {
    jsConsumerConfig config;
    jsConsumerConfig_Init(&config);
    config.Durable = durable_.c_str();
    config.FilterSubject = subject_.c_str();
    config.DeliverPolicy = js_DeliverByStartTime;
    config.OptStartTime = openedNanoseconds_;
    // Never one for all up to a point: an event lost on its way here would
    // be acknowledged with the others (see the header).
    config.AckPolicy = js_AckExplicit;
    config.AckWait = kAckWaitNanoseconds;
    code = static_cast<jsErrCode>(0);
    status = js_AddConsumer(&info, connection_->js(), stream_.c_str(), &config, nullptr, &code);
    if (status != NATS_OK && code == JSConsumerNameExistErr) status = NATS_OK;
    // A refusal (not a fault on the way) leaves the channel without
    // deliveries here until it is mended: said once, tried again anyway.
    if (status != NATS_OK && code != 0 && !consumerRefused_) {
      consumerRefused_ = true;
      Log::Error("channel " + channel_ + ": the cluster refuses this instance's consumer " +
                 durable_ + " of stream " + stream_ + " (JetStream error " +
                 std::to_string(static_cast<int>(code)) + "); no event is delivered here "
                 "until it is made");
    }
  }
  jsConsumerInfo_Destroy(info);
  if (status != NATS_OK) return Step::kRetry;
  consumerKnown_ = true;
  return Step::kDone;
}

ChannelLog::Step ChannelLog::Subscribe() {
  jsSubOptions options;
  jsSubOptions_Init(&options);
  options.Stream = stream_.c_str();
  options.Consumer = durable_.c_str();  // bound: the durable outlives the subscription
  jsErrCode code = static_cast<jsErrCode>(0);
  natsStatus status = js_PullSubscribe(&subscription_, connection_->js(), subject_.c_str(),
                                       durable_.c_str(), nullptr, &options, &code);
  if (status == NATS_OK) return Step::kDone;
  subscription_ = nullptr;
  consumerKnown_ = false;
  return Step::kRetry;
}

void ChannelLog::Unsubscribe() {
  // Destroy, not Unsubscribe: the durable stays, and with it where this
  // instance is in the stream.
  if (subscription_ != nullptr) natsSubscription_Destroy(subscription_);
  subscription_ = nullptr;
}

ChannelLog::Step ChannelLog::FetchAndDeliver() {
  natsMsgList batch{nullptr, 0};
  jsErrCode code = static_cast<jsErrCode>(0);
  natsStatus status = natsSubscription_Fetch(&batch, subscription_, kBatch, kFetchWaitMs, &code);
  if (status == NATS_TIMEOUT) {
    lag_.store(0, std::memory_order_relaxed);
    return Step::kDone;
  }
  if (status != NATS_OK) {
    natsMsgList_Destroy(&batch);
    Unsubscribe();
    consumerKnown_ = false;
    return Step::kRetry;
  }
  for (int i = 0; i < batch.Count; ++i) {
    natsMsg* message = batch.Msgs[i];
    if (Stopping()) {
      // Handed back, so that the next start has it at once rather than
      // after the acknowledgement's wait.
      natsMsg_Nak(message, nullptr);
      continue;
    }
    jsMsgMetaData* meta = nullptr;
    if (natsMsg_GetMetaData(&meta, message) != NATS_OK) continue;
    std::uint64_t sequence = meta->Sequence.Stream;
    lag_.store(meta->NumPending, std::memory_order_relaxed);
    jsMsgMetaData_Destroy(meta);
    if (delivered_.Take(sequence)) {
      const char* persistent = nullptr;
      EventStream::Delivery delivery;
      delivery.data = natsMsg_GetData(message);
      delivery.size = static_cast<std::size_t>(natsMsg_GetDataLength(message));
      delivery.persistent =
          natsMsgHeader_Get(message, NatsConnection::kPersistentHeader, &persistent) == NATS_OK;
      deliver_(delivery);
    } else {
      repeats_.fetch_add(1, std::memory_order_relaxed);
    }
    // Lost, it is sent again after the wait, and skipped as a repeat.
    natsMsg_Ack(message, nullptr);
  }
  natsMsgList_Destroy(&batch);
  return Step::kDone;
}

}  // namespace channeld
}  // namespace kestrel
