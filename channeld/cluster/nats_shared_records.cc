#include "channeld/cluster/nats_shared_records.h"

#include <algorithm>

#include "channeld/base/log.h"
#include "channeld/cluster/nats_connection.h"
#include "channeld/cluster/stream_names.h"

namespace kestrel {
namespace channeld {

namespace {

// A bucket not found yet is looked for again after a pause that doubles up
// to a second: a dead cluster is asked once a second, not once a call.
constexpr std::chrono::milliseconds kFirstSearchPause{100};
constexpr std::chrono::milliseconds kLastSearchPause{1000};
// How long a watcher waits for an entry before it looks at the connection
// and whether the records are going: the bound on the destructor's wait
// too, for a watcher that is not running.
constexpr std::int64_t kNextWaitMs = 200;
// Between a watcher's fault (or lost connection) and its start over.
constexpr std::chrono::milliseconds kWatchPause{250};

// Values as the library takes them, and gives them back.
int Length(const std::string& text) { return static_cast<int>(text.size()); }

std::string ValueOf(kvEntry* entry) {
  int length = kvEntry_ValueLen(entry);
  if (length <= 0) return std::string();
  return std::string(static_cast<const char*>(kvEntry_Value(entry)),
                     static_cast<std::size_t>(length));
}

}  // namespace

NatsSharedRecords::NatsSharedRecords(std::string bucket, int replicas, NatsConnection* connection)
    : bucketName_(std::move(bucket)), replicas_(replicas), connection_(connection) {}

NatsSharedRecords::~NatsSharedRecords() {
  StopWatching();
  std::lock_guard<std::mutex> lock(bucketMutex_);
  bucket_.reset();
}

void NatsSharedRecords::StopWatching() {
  std::vector<std::thread> watchers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    end_ = true;
    watchers.swap(watchers_);
  }
  ending_.notify_all();
  for (std::thread& watcher : watchers) watcher.join();
}

NatsSharedRecords::Bucket NatsSharedRecords::Find() {
  {
    std::lock_guard<std::mutex> lock(bucketMutex_);
    if (bucket_ != nullptr) return bucket_;
  }
  if (!connection_->connected()) return nullptr;
  std::unique_lock<std::mutex> search(searchMutex_, std::try_to_lock);
  if (!search.owns_lock() || Clock::now() < nextSearch_) return nullptr;
  {
    std::lock_guard<std::mutex> lock(bucketMutex_);
    if (bucket_ != nullptr) return bucket_;
  }
  kvStore* store = nullptr;
  natsStatus status = js_KeyValue(&store, connection_->js(), bucketName_.c_str());
  if (status == NATS_NOT_FOUND) {
    const std::string description = "kestrel-channeld shared records";
    kvConfig config;
    kvConfig_Init(&config);
    config.Bucket = bucketName_.c_str();
    config.Description = description.c_str();
    config.History = 1;
    config.Replicas = replicas_;
    config.StorageType = js_FileStorage;
    status = js_CreateKeyValue(&store, connection_->js(), &config);
    if (status == NATS_OK) {
      Log::Info("cluster: made the shared records' bucket " + bucketName_);
    } else {
      // Another instance may have made it first, with other settings.
      store = nullptr;
      status = js_KeyValue(&store, connection_->js(), bucketName_.c_str());
    }
  }
  if (status != NATS_OK) {
    searchPause_ = std::min(kLastSearchPause, std::max(kFirstSearchPause, searchPause_ * 2));
    nextSearch_ = Clock::now() + searchPause_;
    return nullptr;
  }
  searchPause_ = std::chrono::milliseconds(0);
  Bucket bucket(store, &kvStore_Destroy);
  std::lock_guard<std::mutex> lock(bucketMutex_);
  bucket_ = bucket;
  return bucket;
}

NatsSharedRecords::Bucket NatsSharedRecords::Watched() {
  kvStore* store = nullptr;
  if (js_KeyValue(&store, connection_->quickJs(), bucketName_.c_str()) != NATS_OK) return nullptr;
  return Bucket(store, &kvStore_Destroy);
}

NatsSharedRecords::Result NatsSharedRecords::Refused(const Bucket& bucket,
                                                     const std::string& name, bool created,
                                                     std::uint64_t expected) {
  // The library reports a refusal without JetStream's code: the key's
  // state tells a compare-and-set that lost from a refusal of another kind.
  kvEntry* entry = nullptr;
  natsStatus status = kvStore_Get(&entry, bucket.get(), name.c_str());
  if (status == NATS_NOT_FOUND) return created ? Result::kUnavailable : Result::kConflict;
  if (status != NATS_OK) return Result::kUnavailable;
  std::uint64_t revision = kvEntry_Revision(entry);
  kvEntry_Destroy(entry);
  if (created) return Result::kConflict;
  return revision != expected ? Result::kConflict : Result::kUnavailable;
}

NatsSharedRecords::Result NatsSharedRecords::Write(Kind kind, const std::string& key,
                                                   const std::string& value,
                                                   std::uint64_t expected,
                                                   std::uint64_t* revision) {
  Bucket bucket = key.empty() ? nullptr : Find();
  if (bucket == nullptr) return Result::kUnavailable;
  const std::string name = StreamNames::Escape(key);
  std::uint64_t made = 0;
  natsStatus status =
      kind == Kind::kCreate
          ? kvStore_Create(&made, bucket.get(), name.c_str(), value.data(), Length(value))
      : kind == Kind::kUpdate
          ? kvStore_Update(&made, bucket.get(), name.c_str(), value.data(), Length(value),
                           expected)
          : kvStore_Put(&made, bucket.get(), name.c_str(), value.data(), Length(value));
  if (status == NATS_ERR && kind != Kind::kPut) {
    return Refused(bucket, name, kind == Kind::kCreate, expected);
  }
  if (status != NATS_OK) return Result::kUnavailable;
  if (revision != nullptr) *revision = made;
  return Result::kDone;
}

NatsSharedRecords::Result NatsSharedRecords::Create(const std::string& key,
                                                    const std::string& value,
                                                    std::uint64_t* revision) {
  return Write(Kind::kCreate, key, value, 0, revision);
}

NatsSharedRecords::Result NatsSharedRecords::Update(const std::string& key,
                                                    const std::string& value,
                                                    std::uint64_t expected,
                                                    std::uint64_t* revision) {
  return Write(Kind::kUpdate, key, value, expected, revision);
}

NatsSharedRecords::Result NatsSharedRecords::Put(const std::string& key, const std::string& value,
                                                 std::uint64_t* revision) {
  return Write(Kind::kPut, key, value, 0, revision);
}

NatsSharedRecords::Result NatsSharedRecords::Delete(const std::string& key) {
  Bucket bucket = key.empty() ? nullptr : Find();
  if (bucket == nullptr) return Result::kUnavailable;
  natsStatus status = kvStore_Delete(bucket.get(), StreamNames::Escape(key).c_str());
  return status == NATS_OK ? Result::kDone : Result::kUnavailable;
}

NatsSharedRecords::Result NatsSharedRecords::Get(const std::string& key, Entry* entry) {
  Bucket bucket = key.empty() ? nullptr : Find();
  if (bucket == nullptr) return Result::kUnavailable;
  kvEntry* found = nullptr;
  natsStatus status = kvStore_Get(&found, bucket.get(), StreamNames::Escape(key).c_str());
  if (status == NATS_NOT_FOUND) return Result::kMissing;
  if (status != NATS_OK) return Result::kUnavailable;
  entry->key = key;
  entry->value = ValueOf(found);
  entry->revision = kvEntry_Revision(found);
  entry->deleted = false;
  kvEntry_Destroy(found);
  return Result::kDone;
}

void NatsSharedRecords::Watch(Watcher watcher) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (end_) return;
  watchers_.emplace_back([this, watcher] { RunWatcher(watcher); });
}

bool NatsSharedRecords::Ending() {
  std::lock_guard<std::mutex> lock(mutex_);
  return end_;
}

bool NatsSharedRecords::Pause(std::chrono::milliseconds pause) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !ending_.wait_for(lock, pause, [this] { return end_; });
}

void NatsSharedRecords::RunWatcher(const Watcher& watcher) {
  std::set<std::string> held;  // the keys that the watcher holds values of
  while (!Ending()) {
    // Read first: a connection lost after this is seen by Follow.
    const std::uint64_t epoch = connection_->reconnections();
    Bucket bucket = connection_->connected() && Find() != nullptr ? Watched() : nullptr;
    kvWatcher* source = nullptr;
    if (bucket != nullptr && kvStore_WatchAll(&source, bucket.get(), nullptr) == NATS_OK) {
      bool more = Follow(source, watcher, epoch, &held);
      kvWatcher_Destroy(source);
      if (!more) return;
    }
    if (!Pause(kWatchPause)) return;
  }
}

bool NatsSharedRecords::Follow(kvWatcher* source, const Watcher& watcher,
                               std::uint64_t connectionEpoch, std::set<std::string>* held) {
  bool caughtUp = false;
  std::set<std::string> values;  // the keys among the values as they are
  for (;;) {
    if (Ending()) return false;
    // What changed while the connection was down may never come: the
    // watcher starts over from the values as they are.
    if (!connection_->connected() || connection_->reconnections() != connectionEpoch) return true;
    kvEntry* found = nullptr;
    natsStatus status = kvWatcher_Next(&found, source, kNextWaitMs);
    if (status == NATS_TIMEOUT) continue;
    if (status != NATS_OK) return true;
    if (found == nullptr) {
      // The library marks the end of the values as they were. A key deleted
      // while the watcher was away is not among them, and its marker says
      // nothing to one starting over: the watcher hears of it here.
      if (!caughtUp) {
        for (auto key = held->begin(); key != held->end();) {
          if (values.count(*key) != 0) {
            ++key;
            continue;
          }
          Entry gone;
          gone.key = *key;
          gone.deleted = true;
          key = held->erase(key);
          watcher(gone);
        }
        watcher(Entry());
      }
      caughtUp = true;
      continue;
    }
    Entry entry;
    bool ours = StreamNames::Unescape(kvEntry_Key(found), &entry.key);
    kvOperation operation = kvEntry_Operation(found);
    entry.deleted = operation == kvOp_Delete || operation == kvOp_Purge;
    entry.revision = kvEntry_Revision(found);
    if (!entry.deleted) entry.value = ValueOf(found);
    kvEntry_Destroy(found);
    // Before it is caught up a watcher hears of the keys that hold values,
    // not of the markers that deleted keys leave.
    if (!ours || (entry.deleted && !caughtUp)) continue;
    if (!caughtUp) values.insert(entry.key);
    if (entry.deleted) {
      held->erase(entry.key);
    } else {
      held->insert(entry.key);
    }
    watcher(entry);
  }
}

}  // namespace channeld
}  // namespace kestrel
