#include "channeld/cluster/ack_waiters.h"

namespace kestrel {
namespace channeld {

AckWaiters::Ticket AckWaiters::Expect(const std::string& id) {
  auto ticket = std::make_shared<Waiter>();
  ticket->id = id;
  std::lock_guard<std::mutex> lock(mutex_);
  if (closed_) {
    ticket->answer = Answer::kClosed;
  } else {
    waiting_[id] = ticket;
  }
  return ticket;
}

void AckWaiters::Settle(const std::string& id, Answer answer) {
  Ticket ticket;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = waiting_.find(id);
    if (found == waiting_.end()) return;
    ticket = std::move(found->second);
    ticket->answer = answer;
    waiting_.erase(found);
  }
  ticket->answered.notify_one();
}

AckWaiters::Answer AckWaiters::Wait(const Ticket& ticket,
                                    std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  ticket->answered.wait_until(lock, deadline, [&] { return ticket->answer != Answer::kNone; });
  auto found = waiting_.find(ticket->id);
  if (found != waiting_.end() && found->second == ticket) waiting_.erase(found);
  return ticket->answer;
}

void AckWaiters::CloseAll() {
  std::map<std::string, Ticket> closing;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    for (auto& entry : waiting_) entry.second->answer = Answer::kClosed;
    closing.swap(waiting_);
  }
  for (auto& entry : closing) entry.second->answered.notify_one();
}

std::size_t AckWaiters::waiting() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return waiting_.size();
}

}  // namespace channeld
}  // namespace kestrel
