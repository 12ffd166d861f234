#include "channeld/state/event_log.h"

#include <ace/Dirent.h>
#include <ace/OS_NS_fcntl.h>
#include <ace/OS_NS_unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "channeld/base/system.h"
#include "channeld/state/state_file.h"

namespace kestrel {
namespace channeld {

namespace {

constexpr char kPrefix[] = "events-";
constexpr std::size_t kHeaderSize = 32;
// The target of a done record that ends every event numbered below its
// own: those of the segments that a start has logged again. No proxy has
// id 0, and a reader that does not know this takes it for a target that
// no event has.
const ProxyKey kRelogged(0, 0);

std::uint32_t Word(const std::string& bytes, std::size_t at) {
  std::uint32_t word;
  std::memcpy(&word, bytes.data() + at, sizeof word);
  return word;
}

// The payload of the record at at, when its frame is whole and its checksum
// matches; a record that fails either is never read.
bool NextFrame(const std::string& bytes, std::size_t at, std::string* payload) {
  if (bytes.size() - at < 8) return false;
  std::uint32_t size = Word(bytes, at);
  if (size > bytes.size() - at - 8) return false;
  payload->assign(bytes, at + 8, size);
  return StateFile::Checksum(*payload) == Word(bytes, at + 4);
}

// Whether what cannot be read from at on is what a crash in the middle of
// the last write leaves: one record cut short or run to the end of the
// file, or the zeros of space that the system gave the file but that was
// never written. Anything else is damage.
bool IsTornTail(const std::string& bytes, std::size_t at) {
  if (bytes.size() - at < 8) return true;
  std::uint64_t end = at + 8 + std::uint64_t{Word(bytes, at)};
  return end >= bytes.size() || bytes.find_first_not_of('\0', at) == std::string::npos;
}

// The event records whose frames can still be followed from at on, the
// damaged one included, whatever their checksums: what the damage may have
// cost.
std::size_t EventsFrom(const std::string& bytes, std::size_t at) {
  std::size_t events = 0;
  while (bytes.size() - at >= 8) {
    std::uint32_t size = Word(bytes, at);
    if (size > bytes.size() - at - 8) break;
    LogRecord record;
    if (DecodeLogRecord(bytes.substr(at + 8, size), &record) && !record.done) ++events;
    at += 8 + size;
  }
  return events;
}

}  // namespace

EventLog::EventLog(std::string directory) : directory_(std::move(directory)) {}

EventLog::~EventLog() {
  StopFlusher();
  if (fd_ != ACE_INVALID_HANDLE) ACE_OS::close(fd_);
}

void EventLog::RunFlusher() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_.wait_for(lock, kFlushPeriod, [this] { return stopping_; })) {
    Position due = appended_;
    if (durable_ >= due || failed_ || syncing_) continue;
    lock.unlock();
    WaitDurable(due);
    lock.lock();
  }
}

void EventLog::StopFlusher() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  stop_.notify_all();
  if (flusher_.joinable()) flusher_.join();
}

std::string EventLog::PathOf(std::uint32_t number) const {
  char name[32];
  std::snprintf(name, sizeof name, "%s%08u", kPrefix, number);
  return directory_ + "/" + name;
}

std::vector<EventLog::Pending> EventLog::Recover(std::vector<std::string>* problems) {
  ACE_Dirent folder;
  if (folder.open(directory_.c_str()) == 0) {
    while (ACE_DIRENT* entry = folder.read()) {
      unsigned number = 0;
      char extra = 0;
      if (std::sscanf(entry->d_name, "events-%8u%c", &number, &extra) == 1 &&
          std::strlen(entry->d_name) == sizeof kPrefix - 1 + 8) {
        recovered_.push_back(number);
      }
    }
  }
  std::sort(recovered_.begin(), recovered_.end());
  if (!recovered_.empty()) number_ = recovered_.back();

  std::map<std::uint64_t, Pending> pending;  // by sequence
  const std::string header = StateFile::Header(StateFile::kEventLog, std::string());
  for (std::size_t i = 0; i < recovered_.size(); ++i) {
    std::string path = PathOf(recovered_[i]);
    std::string bytes;
    bool last = i + 1 == recovered_.size();
    if (!ReadWhole(path, &bytes)) {
      problems->push_back(path + ": " + std::strerror(errno) + "; its events are lost");
      continue;
    }
    if (bytes.compare(0, kHeaderSize, header) != 0) {
      StateFile file(path);
      std::string aside = file.MoveAside();
      problems->push_back(path + ": not an event log of this version of kestrel-channeld" +
                          (aside.empty() ? "; it is ignored" : "; it was moved to " + aside));
      continue;
    }
    std::size_t at = kHeaderSize;
    std::string payload;
    while (NextFrame(bytes, at, &payload)) {
      LogRecord record;
      if (!DecodeLogRecord(payload, &record)) break;
      at += 8 + payload.size();
      nextSequence_ = std::max(nextSequence_, record.sequence + 1);
      if (!record.done) {
        pending[record.sequence] = Pending{record.channel, record.targets, record.event};
        continue;
      }
      if (record.targets[0] == kRelogged) {
        pending.erase(pending.begin(), pending.lower_bound(record.sequence));
        continue;
      }
      auto found = pending.find(record.sequence);
      if (found == pending.end()) continue;
      auto& targets = found->second.targets;
      targets.erase(std::remove(targets.begin(), targets.end(), record.targets[0]),
                    targets.end());
      if (targets.empty()) pending.erase(found);
    }
    if (at == bytes.size() || (last && IsTornTail(bytes, at))) continue;
    std::string aside = StateFile(path).MoveAside();
    problems->push_back(path + ": damaged at byte " + std::to_string(at) + "; up to " +
                        std::to_string(EventsFrom(bytes, at)) +
                        " events from there on could not be restored" +
                        (aside.empty() ? "" : "; it was moved to " + aside));
  }
  std::vector<Pending> events;
  for (auto& entry : pending) events.push_back(std::move(entry.second));
  return events;
}

bool EventLog::StartSegment(std::uint32_t number, std::string* error) {
  std::string path = PathOf(number);
  ACE_HANDLE file = ACE_OS::open(
      path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | kPrivateHandle, 0600);
  std::string header = StateFile::Header(StateFile::kEventLog, std::string());
  if (file == ACE_INVALID_HANDLE || !WriteAll(file, header.data(), header.size()) ||
      !SyncData(file)) {
    *error = path + ": " + std::strerror(errno);
    if (file != ACE_INVALID_HANDLE) ACE_OS::close(file);
    return false;
  }
  SyncDirectory(directory_);
  if (fd_ != ACE_INVALID_HANDLE) ACE_OS::close(fd_);
  fd_ = file;
  number_ = number;
  segmentBytes_ = header.size();
  auto replaced = segments_.find(nextSequence_);
  if (replaced != segments_.end()) {  // a segment of done records only
    ACE_OS::unlink(PathOf(replaced->second.number).c_str());
    segments_.erase(replaced);
  }
  segments_[nextSequence_] = Segment{number, 0};
  return true;
}

bool EventLog::Open(std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!StartSegment(number_ + 1, error)) return false;
  firstSequence_ = nextSequence_;
  flusher_ = std::thread([this] { RunFlusher(); });
  return true;
}

void EventLog::DropRecovered() {
  if (recovered_.empty()) return;
  // A crash among the removals below would leave old segments beside the
  // new one, which holds their events again: this record, durable first,
  // tells the next recovery to take none of theirs.
  bool open = false;
  Position marked = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    open = fd_ != ACE_INVALID_HANDLE;
    if (open) marked = AppendRecord(EncodeLogDone(firstSequence_, kRelogged));
  }
  if (open && (marked == 0 || !WaitDurable(marked))) return;  // keep them: better twice than lost
  for (std::uint32_t number : recovered_) ACE_OS::unlink(PathOf(number).c_str());
  recovered_.clear();
  SyncDirectory(directory_);
}

void EventLog::RemoveAll() {
  StopFlusher();
  std::lock_guard<std::mutex> lock(mutex_);
  if (fd_ != ACE_INVALID_HANDLE) ACE_OS::close(fd_);
  fd_ = ACE_INVALID_HANDLE;
  for (const auto& entry : segments_) ACE_OS::unlink(PathOf(entry.second.number).c_str());
  segments_.clear();
  for (std::uint32_t number : recovered_) ACE_OS::unlink(PathOf(number).c_str());
  recovered_.clear();
  SyncDirectory(directory_);
}

EventLog::Position EventLog::AppendRecord(const std::string& payload) {
  if (fd_ == ACE_INVALID_HANDLE || failed_) return 0;
  std::uint32_t frame[2] = {static_cast<std::uint32_t>(payload.size()),
                            StateFile::Checksum(payload)};
  std::string record(reinterpret_cast<const char*>(frame), sizeof frame);
  record += payload;
  if (!WriteAll(fd_, record.data(), record.size())) {
    // What follows a failed write could not be read back: stop here, so
    // that no later push is told that it is durable.
    failed_ = true;
    return 0;
  }
  segmentBytes_ += record.size();
  appended_ += record.size();
  return appended_;
}

EventLog::Position EventLog::Append(const std::string& channel,
                                    const std::vector<ProxyKey>& targets, ChannelEvent* event) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::uint64_t sequence = nextSequence_;
  Position position = AppendRecord(EncodeLogEvent(sequence, channel, targets, *event));
  if (position == 0) return 0;
  ++nextSequence_;
  appendedEvents_.fetch_add(1, std::memory_order_relaxed);
  event->sequence = sequence;
  segments_.rbegin()->second.pending += targets.size();
  return position;
}

EventLog::Position EventLog::Done(std::uint64_t sequence, const ProxyKey& target) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto segment = segments_.upper_bound(sequence);
  if (segment != segments_.begin()) {
    --segment;
    if (segment->second.pending > 0) --segment->second.pending;
  }
  Position position = AppendRecord(EncodeLogDone(sequence, target));
  DropDoneSegments();
  return position;
}

void EventLog::DropDoneSegments() {
  // Oldest first, and never the current one: a done record in a later
  // segment may speak of an event in an earlier one.
  while (segments_.size() > 1 && segments_.begin()->second.pending == 0) {
    ACE_OS::unlink(PathOf(segments_.begin()->second.number).c_str());
    segments_.erase(segments_.begin());
  }
}

bool EventLog::WaitDurable(Position position) {
  std::unique_lock<std::mutex> lock(mutex_);
  while (durable_ < position && !failed_) {
    if (syncing_) {
      synced_.wait(lock);
      continue;
    }
    // This thread syncs for every record appended so far, its own and
    // others'; those who wait meanwhile are served by the same sync.
    syncing_ = true;
    Position covered = appended_;
    ACE_HANDLE file = fd_;
    lock.unlock();
    std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    bool ok = SyncData(file);
    syncTimes_.Record(std::chrono::steady_clock::now() - started);
    lock.lock();
    syncing_ = false;
    if (!ok) failed_ = true;
    if (ok) durable_ = std::max(durable_, covered);
    if (ok && segmentBytes_ > kSegmentBytes) {
      // Only the syncing thread closes a segment, so no sync is in flight on
      // it; what was appended since the sync goes to disk first.
      std::string error;
      if (!SyncData(fd_) || !StartSegment(number_ + 1, &error)) {
        failed_ = true;
      } else {
        durable_ = appended_;
      }
    }
    synced_.notify_all();
  }
  return durable_ >= position;
}

std::size_t EventLog::segments() {
  std::lock_guard<std::mutex> lock(mutex_);
  return segments_.size();
}

}  // namespace channeld
}  // namespace kestrel
