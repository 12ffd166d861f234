// The appends waiting for the log's acknowledgement, each under its message
// id. The log answers on a thread of its own, in any order; each append
// waits for its own answer only, so that many appends share the round
// trips of one connection.

#ifndef KESTREL_CHANNELD_CLUSTER_ACK_WAITERS_H_
#define KESTREL_CHANNELD_CLUSTER_ACK_WAITERS_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "channeld/cluster/event_stream.h"

namespace kestrel {
namespace channeld {

class AckWaiters {
 public:
  // What the log answered about one message.
  enum class Answer { kNone, kStored, kNoResponders, kTimedOut, kRefused, kClosed };

  class Waiter;
  using Ticket = std::shared_ptr<Waiter>;

  // Waits for id's answer from now on. REQUIRES: id is not waited for.
  Ticket Expect(const std::string& id);
  // The answer for id, from the log's thread; an id nobody waits for (it
  // gave up, or an answer came twice) is ignored.
  void Settle(const std::string& id, Answer answer);
  // Waits until ticket's answer comes or deadline passes (kNone); either
  // way the ticket is forgotten.
  Answer Wait(const Ticket& ticket, std::chrono::steady_clock::time_point deadline);
  // Every waiter gets kClosed now, and every later Expect's Wait too.
  void CloseAll();
  std::size_t waiting() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable answered_;
  // Guarded by mutex_: the appends waiting, by message id, and whether
  // CloseAll has been called.
  std::map<std::string, Ticket> waiting_;
  bool closed_ = false;
};

class AckWaiters::Waiter {
 private:
  friend class AckWaiters;
  std::string id;
  AckWaiters::Answer answer = AckWaiters::Answer::kNone;  // guarded by the owner's mutex_
  // Its own, so that an answer wakes its append and no other.
  std::condition_variable answered;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_CLUSTER_ACK_WAITERS_H_
