#include "channeld/cluster/channel_log.h"

#include <algorithm>

#include "channeld/base/log.h"
#include "channeld/cluster/nats_connection.h"
#include "channeld/cluster/stream_names.h"

namespace kestrel {
namespace channeld {

namespace {

constexpr std::int64_t kNanosecondsPerSecond = 1000000000;
// How often a channel looks at its stream: one gone is made again within
// this.
constexpr std::chrono::seconds kStreamCheck{5};
constexpr std::chrono::milliseconds kFirstBackoff{50};
constexpr std::chrono::milliseconds kLastBackoff{1000};

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
                       NatsConnection* connection)
    : channel_(channel),
      stream_(StreamNames::Stream(channel)),
      subject_(StreamNames::Subject(channel)),
      settings_(settings),
      connection_(connection) {}

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
    Step step = !ready_ ? FindOrMakeStream() : KeepStream();
    if (step == Step::kRetry) {
      if (!BackOff()) break;
      continue;
    }
    backoff_ = std::chrono::milliseconds(0);
    if (Stopping()) break;
  }
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
  // Should the stream have gone, it is made again here; a fault on the way
  // leaves it ready, and appends find out.
  FindOrMakeStream();
  return Step::kDone;
}

}  // namespace channeld
}  // namespace kestrel
