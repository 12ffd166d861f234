#include "channeld/delivery/consumer_delivery.h"

#include <omniORB4/omniORB.h>

#include <utility>

#include "channeld/base/log.h"
#include "channeld/state/event_log.h"

namespace kestrel {
namespace channeld {

ConsumerDelivery::ConsumerDelivery(CosNotifyComm::StructuredPushConsumer_ptr consumer,
                                   const Settings& settings, const QueuePolicy& policy,
                                   ChannelBacklog* backlog, LostCallback onLost, EventLog* log,
                                   ProxyKey target)
    : consumer_(CosNotifyComm::StructuredPushConsumer::_duplicate(consumer)),
      settings_(settings),
      onLost_(std::move(onLost)),
      log_(log),
      target_(target),
      queue_(policy, backlog) {
  omniORB::setClientCallTimeout(consumer_.in(), static_cast<CORBA::ULong>(settings_.callTimeoutMs));
  if (log_ != nullptr) queue_.SetDropObserver([this](const EventPtr& event) { Done(event); });
}

void ConsumerDelivery::Done(const EventPtr& event) {
  if (log_ != nullptr && event->sequence != 0) log_->Done(event->sequence, target_);
  if (event->done) event->done();
}

ConsumerDelivery::~ConsumerDelivery() {
  if (thread_.joinable()) {
    // Never expected; do not let std::thread terminate the process.
    queue_.Close();
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }
}

void ConsumerDelivery::Start() { thread_ = std::thread([this] { Run(); }); }

void ConsumerDelivery::Join() {
  std::lock_guard<std::mutex> lock(joinMutex_);
  if (thread_.joinable()) thread_.join();
}

std::vector<EventPtr> ConsumerDelivery::Park() {
  queue_.Seal();
  Join();
  std::vector<EventPtr> events;
  if (unsent_) events.push_back(std::move(unsent_));
  for (EventPtr& event : queue_.TakeAll()) events.push_back(std::move(event));
  return events;
}

ConsumerDelivery::Counters ConsumerDelivery::counters() const {
  Counters counters;
  counters.delivered = delivered_.load(std::memory_order_relaxed);
  counters.retries = retries_.load(std::memory_order_relaxed);
  counters.queue = queue_.counters();
  return counters;
}

void ConsumerDelivery::Run() {
  EventPtr event;
  while (queue_.Pop(&event)) {
    if (mayDeliver_ && !mayDeliver_()) {
      event.reset();
      continue;
    }
    std::string why;
    Outcome outcome = Deliver(*event, &why);
    if (outcome == Outcome::kStopped && queue_.sealed()) {
      unsent_ = std::move(event);  // for Park
      return;
    }
    Done(event);
    event.reset();
    if (outcome == Outcome::kStopped) return;

    if (outcome == Outcome::kLost) {
      queue_.Close();
      if (onLost_) onLost_(why);
      return;
    }
    if (outcome == Outcome::kDelivered) delivered_.fetch_add(1, std::memory_order_relaxed);
  }
}

ConsumerDelivery::Outcome ConsumerDelivery::Deliver(const CosNotification::StructuredEvent& event,
                                                    std::string* why) {
  std::chrono::milliseconds backoff = settings_.firstBackoff;
  for (int attempt = 0;; ++attempt) {
    try {
      consumer_->push_structured_event(event);
      return Outcome::kDelivered;
    } catch (const CORBA::OBJECT_NOT_EXIST&) {
      *why = "OBJECT_NOT_EXIST";
      return Outcome::kLost;
    } catch (const CORBA::INV_OBJREF&) {
      *why = "INV_OBJREF";
      return Outcome::kLost;
    } catch (const CosEventComm::Disconnected&) {
      *why = "Disconnected";
      return Outcome::kLost;
    } catch (const CORBA::COMM_FAILURE&) {
      *why = "COMM_FAILURE";
    } catch (const CORBA::TRANSIENT&) {
      *why = "TRANSIENT";
    } catch (const CORBA::TIMEOUT&) {
      *why = "TIMEOUT";  // omniORB's call timeout
    } catch (const CORBA::Exception& e) {
      Log::Info(std::string("a consumer raised ") + e._name() + "; its event is discarded");
      return Outcome::kSkipped;
    }
    if (attempt >= settings_.retries) {
      *why += " after " + std::to_string(attempt + 1) + " attempts";
      return Outcome::kLost;
    }
    if (!queue_.SleepUnlessClosed(backoff)) return Outcome::kStopped;
    retries_.fetch_add(1, std::memory_order_relaxed);
    backoff *= 2;
  }
}

}  // namespace channeld
}  // namespace kestrel
