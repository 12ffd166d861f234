#include "channeld/cluster/leases.h"

#include <algorithm>
#include <utility>

namespace kestrel {
namespace channeld {

namespace {

// How often the thread looks for free leases: a released lease is taken
// within this, and one that ran out within this of running out.
std::chrono::milliseconds TickOf(std::chrono::milliseconds lifetime) {
  return std::max(std::chrono::milliseconds(20),
                  std::min(std::chrono::milliseconds(200), lifetime / 10));
}

}  // namespace

Leases::Leases(SharedRecords* records, std::string instance, std::chrono::milliseconds lifetime)
    : records_(records), instance_(std::move(instance)), lifetime_(lifetime) {}

Leases::~Leases() { Stop(); }

void Leases::Start(Callback onFree, Callback onLost) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!stop_ || thread_.joinable()) return;
    stop_ = false;
    onFree_ = std::move(onFree);
    onLost_ = std::move(onLost);
  }
  records_->Watch([this](const SharedRecords::Entry& entry) { Observe(entry); });
  thread_ = std::thread([this] { Run(); });
}

void Leases::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void Leases::Want(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  wanted_.insert(name);
}

void Leases::Unwant(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  wanted_.erase(name);
}

void Leases::Observe(const SharedRecords::Entry& entry) {
  if (entry.key.empty()) {
    std::lock_guard<std::mutex> lock(mutex_);
    caughtUp_ = true;
    return;
  }
  const Clock::time_point now = Clock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  Seen& seen = seen_[entry.key];
  std::uint64_t revision = entry.deleted ? 0 : entry.revision;
  std::string holder = entry.deleted ? std::string() : entry.value;
  if (seen.revision != revision || seen.holder != holder || seen.since == Clock::time_point()) {
    seen.revision = revision;
    seen.holder = holder;
    seen.since = now;
  }
  auto held = held_.find(entry.key);
  if (held != held_.end() && revision > held->second.revision && holder != instance_) {
    held_.erase(held);
    lost_.push_back(entry.key);
    wake_.notify_all();
  }
}

bool Leases::RunsOut(const Seen& seen, Clock::time_point now) const {
  return seen.revision == 0 || seen.holder.empty() || seen.holder == instance_ ||
         now - seen.since >= lifetime_;
}

bool Leases::Acquire(const std::string& name, bool takeOver) {
  Seen seen;
  bool known;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto held = held_.find(name);
    if (held != held_.end() && Clock::now() < held->second.deadline) return true;
    auto found = seen_.find(name);
    known = found != seen_.end() || caughtUp_;
    if (found != seen_.end()) seen = found->second;
  }
  if (!known) {
    // Not yet watched: the record as it is now, seen from now on.
    SharedRecords::Entry entry;
    SharedRecords::Result result = records_->Get(name, &entry);
    if (result == SharedRecords::Result::kUnavailable) return false;
    if (result == SharedRecords::Result::kMissing) entry.deleted = true;
    entry.key = name;
    Observe(entry);
    std::lock_guard<std::mutex> lock(mutex_);
    seen = seen_[name];
  }
  const Clock::time_point sent = Clock::now();
  if (!takeOver && !RunsOut(seen, sent)) return false;
  std::uint64_t revision = 0;
  SharedRecords::Result result =
      seen.revision == 0 ? records_->Create(name, instance_, &revision)
                         : records_->Update(name, instance_, seen.revision, &revision);
  if (result != SharedRecords::Result::kDone) {
    if (result == SharedRecords::Result::kConflict) {
      SharedRecords::Entry entry;
      if (records_->Get(name, &entry) == SharedRecords::Result::kDone) {
        entry.key = name;
        Observe(entry);
      }
    }
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  held_[name] = Held{revision, sent + lifetime_};
  seen_[name] = Seen{instance_, revision, Clock::now()};
  if (!seen.holder.empty() && seen.holder != instance_) takeovers_.fetch_add(1);
  return true;
}

bool Leases::Valid(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto held = held_.find(name);
  return held != held_.end() && Clock::now() < held->second.deadline;
}

bool Leases::Release(const std::string& name) {
  Held held;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = held_.find(name);
    if (found == held_.end()) return true;
    held = found->second;
    held_.erase(found);
  }
  std::uint64_t revision = 0;
  return records_->Update(name, std::string(), held.revision, &revision) !=
         SharedRecords::Result::kUnavailable;
}

void Leases::ReleaseAll() {
  std::vector<std::string> names;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : held_) names.push_back(entry.first);
  }
  for (const std::string& name : names) {
    // A bucket that does not answer one release will not answer the rest
    // sooner: those leases run out by themselves instead.
    if (!Release(name)) break;
  }
}

void Leases::Remove(const std::string& name) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    wanted_.erase(name);
    held_.erase(name);
  }
  records_->Delete(name);
}

std::size_t Leases::held() const {
  const Clock::time_point now = Clock::now();
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<std::size_t>(std::count_if(
      held_.begin(), held_.end(), [now](const auto& entry) { return now < entry.second.deadline; }));
}

void Leases::Run() {
  const std::chrono::milliseconds tick = TickOf(lifetime_);
  Clock::time_point nextRenewal = Clock::now() + lifetime_ / 3;
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    wake_.wait_for(lock, tick, [this] { return stop_ || !lost_.empty(); });
    if (stop_) break;
    std::vector<std::string> lost;
    lost.swap(lost_);
    lock.unlock();
    for (const std::string& name : lost) onLost_(name);
    if (Clock::now() >= nextRenewal) {
      nextRenewal = Clock::now() + lifetime_ / 3;
      RenewAll();
    }
    OfferFree();
    lock.lock();
  }
}

void Leases::RenewAll() {
  std::map<std::string, Held> held;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    held = held_;
  }
  for (const auto& entry : held) {
    const Clock::time_point sent = Clock::now();
    std::uint64_t revision = 0;
    SharedRecords::Result result =
        records_->Update(entry.first, instance_, entry.second.revision, &revision);
    bool lost = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto found = held_.find(entry.first);
      if (found == held_.end()) continue;  // released meanwhile
      if (result == SharedRecords::Result::kDone) {
        found->second = Held{revision, sent + lifetime_};
      } else if (result == SharedRecords::Result::kConflict || sent >= found->second.deadline) {
        // Taken, or not renewed in time: another instance may have it by
        // now, or will once it has seen the lease run out.
        held_.erase(found);
        lost = true;
      }
    }
    if (lost) onLost_(entry.first);
  }
}

void Leases::OfferFree() {
  std::vector<std::string> free;
  {
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    if (!caughtUp_) return;
    for (const std::string& name : wanted_) {
      auto held = held_.find(name);
      if (held != held_.end() && now < held->second.deadline) continue;
      auto seen = seen_.find(name);
      if (seen == seen_.end() || RunsOut(seen->second, now)) free.push_back(name);
    }
  }
  for (const std::string& name : free) onFree_(name);
}

}  // namespace channeld
}  // namespace kestrel
