#include "channeld/model/proxy_push_supplier.h"

#include <utility>

#include "channel/screened_dispatch.h"
#include "channeld/base/log.h"
#include "channeld/model/consumer_admin.h"
#include "channeld/model/event_channel.h"
#include "channeld/model/farewell_calls.h"
#include "channeld/model/proxy_leases.h"
#include "channeld/runtime/janitor.h"

namespace kestrel {
namespace channeld {

CORBA::Boolean ProxyPushSupplier::_dispatch(omniCallHandle& handle) {
  return DispatchScreenedPropertyRequest(this, handle) ||
         POA_CosNotifyChannelAdmin::StructuredProxyPushSupplier::_dispatch(handle);
}

ProxyPushSupplier::ProxyPushSupplier(ConsumerAdmin* admin, EventChannel* channel,
                                     CosNotifyChannelAdmin::ProxyID id)
    : QoSAdmin(admin), id_(id), admin_(Retain(admin)), channel_(Retain(channel)) {}

ProxyPushSupplier::~ProxyPushSupplier() {
  // Ended already, unless the proxy goes with the service without having
  // ended.
  if (delivery_) channel_->tally().Ended(delivery_.get());
}

CosNotifyChannelAdmin::ProxySupplier_ptr ProxyPushSupplier::Activate() {
  CORBA::Object_var reference = activation_.ActivateWithId(
      channel_->context().proxyPoa.in(),
      channel_->ObjectId(EventChannel::Side::kConsumer, admin_->id(), id_), this);
  reference_ = CosNotifyChannelAdmin::ProxySupplier::_narrow(reference.in());
  return Reference();
}

CosNotifyChannelAdmin::ProxySupplier_ptr ProxyPushSupplier::Reference() {
  return CosNotifyChannelAdmin::ProxySupplier::_duplicate(reference_.in());
}

ProxyKey ProxyPushSupplier::key() const { return ProxyKey(admin_->id(), id_); }

bool ProxyPushSupplier::Wants(LazyEventView& view) const {
  const CosNotification::EventType& type = view.event().header.fixed_header.event_type;
  const char* domain = type.domain_name.in();
  const char* name = type.type_name.in();
  // Each side passes by its subscriptions and its filters; the admin's
  // operator combines the two sides. The right side is asked only when it
  // can change the answer.
  bool byAdmin = admin_->subscriptions().Matches(domain, name) && admin_->Passes(view);
  if (admin_->op() == CosNotifyChannelAdmin::OR_OP) {
    return byAdmin || (subscriptions_.Matches(domain, name) && Passes(view));
  }
  return byAdmin && subscriptions_.Matches(domain, name) && Passes(view);
}

DeliveryQueue::Offer ProxyPushSupplier::Offer(const EventPtr& event) {
  return delivery_->TryEnqueue(event);
}

DeliveryQueue::Offer ProxyPushSupplier::OfferWaiting(const EventPtr& event,
                                                     DeliveryQueue::Clock::time_point started) {
  return delivery_->EnqueueWaiting(event, started);
}

void ProxyPushSupplier::Restore(const ProxyState& state, std::vector<EventPtr> events) {
  RestoreQoS(state.qos);
  subscriptions_.Replace(state.types);
  RestoreFilters(state.filters);
  CosNotifyComm::StructuredPushConsumer_var consumer;
  if (state.connected) {
    try {
      consumer = CosNotifyComm::StructuredPushConsumer::_unchecked_narrow(state.peer.in());
    } catch (const CORBA::Exception&) {
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ != State::kIdle) {
      if (delivery_ && suspended_ != state.suspended) {
        if (state.suspended) delivery_->Suspend(); else delivery_->Resume();
      }
      suspended_ = state.suspended;
      return;
    }
    suspended_ = state.suspended;
    if (CORBA::is_nil(consumer.in())) return;
    StartDelivery(consumer.in(), std::move(events));
  }
  channel_->ProxyConnected();
  Log::Info(name() + " restored, connected");
}

bool ProxyPushSupplier::clustered() const { return channel_->context().leases != nullptr; }

std::string ProxyPushSupplier::record() const {
  return channel_->ObjectId(EventChannel::Side::kConsumer, admin_->id(), id_);
}

bool ProxyPushSupplier::MakePosition() {
  const ServiceContext& context = channel_->context();
  return context.stream->MakePosition(channel_->key(), record(), queuePolicy().maxEvents,
                                      context.leases->lifetime()) ==
         EventStream::Result::kAccepted;
}

void ProxyPushSupplier::TakeLease(bool takeOver) {
  ProxyLeases* leases = channel_->context().leases;
  if (leases == nullptr || leases->leaving()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ != State::kConnected) return;
  }
  std::lock_guard<std::mutex> feedLock(feedMutex_);
  if (feed_ && leases->Valid(record())) return;
  if (!leases->Acquire(record(), takeOver)) return;
  std::string lease = record();
  feed_ = channel_->context().stream->Follow(
      channel_->key(), lease, [this](const EventStream::FedEvent& fed) { OnFed(fed); },
      [leases, lease] { return leases->Valid(lease); });
  Log::Info(name() + ": delivering from this instance");
}

void ProxyPushSupplier::StopFeed() {
  std::unique_ptr<EventStream::Feed> feed;
  {
    std::lock_guard<std::mutex> feedLock(feedMutex_);
    feed.swap(feed_);
  }
  if (!feed) return;
  channel_->context().leases->CountRepeats(feed->repeats());
  feed.reset();  // waits for a delivery that waits for room: the gate lets the queue drain
  // Left undone: they come again to whoever holds the lease next.
  std::vector<EventPtr> owed = delivery_->queue().TakeAll();
}

std::uint64_t ProxyPushSupplier::feedRepeats() {
  std::lock_guard<std::mutex> feedLock(feedMutex_);
  return feed_ ? feed_->repeats() : 0;
}

void ProxyPushSupplier::OnFed(const EventStream::FedEvent& fed) {
  std::shared_ptr<EventStream::Acknowledgement> acknowledgement = fed.acknowledgement;
  auto event = std::make_shared<ChannelEvent>();
  std::string bytes(static_cast<const char*>(fed.data), fed.size);
  if (!DecodeStreamEvent(bytes, event.get())) {
    acknowledgement->Done();  // never deliverable; the channel's log says so
    return;
  }
  LazyEventView view(*event);
  if (!Wants(view)) {
    acknowledgement->Done();
    return;
  }
  event->done = [acknowledgement] { acknowledgement->Done(); };
  delivery_->queue().Push(std::move(event));
}

ProxyState ProxyPushSupplier::Capture() {
  ProxyState state;
  state.admin = admin_->id();
  state.id = id_;
  state.consumerSide = true;
  state.qos = ClientQoS();
  CosNotification::EventTypeSeq_var types = subscriptions_.Types();
  state.types = types.in();
  state.filters = CaptureFilters();
  std::lock_guard<std::mutex> lock(mutex_);
  state.connected = state_ == State::kConnected;
  state.suspended = suspended_;
  if (state.connected) state.peer = CORBA::Object::_duplicate(consumer_.in());
  return state;
}

void ProxyPushSupplier::Park(std::vector<EventPtr>* events) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ != State::kConnected) return;
  }
  channel_->router().Remove(this);
  for (EventPtr& event : delivery_->Park()) events->push_back(std::move(event));
}

void ProxyPushSupplier::ApplyQueuePolicy() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (delivery_) delivery_->SetPolicy(queuePolicy());
}

std::string ProxyPushSupplier::name() const {
  return channel_->ProxyName(admin_->id(), "consumer", id_);
}

void ProxyPushSupplier::ReportDiscards() {
  DeliveryQueue& queue = delivery_->queue();
  std::uint64_t discarded = queue.TakeNewDiscards();
  if (discarded == 0) return;
  Log::Error(name() + ": " + std::to_string(discarded) + " events discarded, queue full (" +
             DiscardPolicyName(queue.policy().discardPolicy) + ")");
}

ProxyFigures ProxyPushSupplier::Figures() {
  ProxyFigures figures;
  figures.admin = static_cast<std::uint32_t>(admin_->id());
  figures.id = static_cast<std::uint32_t>(id_);
  figures.consumerSide = true;
  figures.name = name();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!delivery_) return figures;
  }
  ConsumerDelivery::Counters counters = delivery_->counters();
  figures.connected = true;
  figures.delivered = counters.delivered;
  figures.discarded = counters.queue.discarded;
  figures.retries = counters.retries;
  figures.queued = counters.queue.queued;
  figures.overflowing = counters.queue.overflowing;
  return figures;
}

CosNotifyComm::StructuredPushConsumer_ptr ProxyPushSupplier::Disconnect(const char* why) {
  return End(why, /*onlyIfIdle=*/false);
}

void ProxyPushSupplier::EndWithFarewell(FarewellCalls& farewells) {
  CosNotifyComm::StructuredPushConsumer_var consumer = Disconnect("shutdown");
  if (CORBA::is_nil(consumer.in())) return;
  farewells.Add(consumer.in(), [consumer] { consumer->disconnect_structured_push_consumer(); });
}

CosNotifyComm::StructuredPushConsumer_ptr ProxyPushSupplier::End(const char* why,
                                                                 bool onlyIfIdle, bool* ended) {
  // Keeps this servant alive to the end of the function, whoever lets go.
  PortableServer::Servant_var<ProxyPushSupplier> self = Retain(this);
  CosNotifyComm::StructuredPushConsumer_var consumer;
  bool wasConnected = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ == State::kGone || (onlyIfIdle && state_ != State::kIdle)) {
      return CosNotifyComm::StructuredPushConsumer::_nil();
    }
    wasConnected = state_ == State::kConnected;
    state_ = State::kGone;
    consumer = consumer_._retn();
    if (ended != nullptr) *ended = true;
  }
  if (clustered()) {
    StopFeed();
    ProxyLeases* leases = channel_->context().leases;
    leases->Remove(record());
    if (!leases->leaving()) channel_->context().stream->DropPosition(channel_->key(), record());
  }
  if (wasConnected) {
    channel_->router().Remove(this);
    delivery_->Stop();
    ReportDiscards();
    // Only the janitor joins delivery threads: this may be one of them, or an
    // incoming call that should not wait for a push in progress.
    channel_->context().janitor->Post([self] {
      self->delivery_->Join();
      self->channel_->tally().Ended(self->delivery_.get());
    });
    Log::Info(name() + " disconnected (" + why + ")");
  }
  admin_->ForgetProxy(id_);
  channel_->ReleaseProxy(EventChannel::Side::kConsumer, wasConnected);
  activation_.Deactivate();
  channel_->context().TopologyChanged(/*wait=*/false);
  return consumer._retn();
}

bool ProxyPushSupplier::Reclaim(std::chrono::steady_clock::time_point obtainedBefore) {
  if (obtained_ >= obtainedBefore) return false;
  bool ended = false;
  // Connected, or disconnected, in the meantime: End leaves it alone.
  CosNotifyComm::StructuredPushConsumer_var none =
      End("never connected", /*onlyIfIdle=*/true, &ended);
  return ended;
}

void ProxyPushSupplier::OnConsumerLost(const std::string& why) {
  CosNotifyComm::StructuredPushConsumer_var consumer =
      Disconnect(("consumer lost: " + why).c_str());
}

CosNotifyChannelAdmin::ProxyType ProxyPushSupplier::MyType() {
  return CosNotifyChannelAdmin::PUSH_STRUCTURED;
}

CosNotifyChannelAdmin::ConsumerAdmin_ptr ProxyPushSupplier::MyAdmin() {
  return admin_->Reference();
}

CosNotifyFilter::MappingFilter_ptr ProxyPushSupplier::priority_filter() { RaiseNoImplement(); }

void ProxyPushSupplier::priority_filter(CosNotifyFilter::MappingFilter_ptr) { RaiseNoImplement(); }

CosNotifyFilter::MappingFilter_ptr ProxyPushSupplier::lifetime_filter() { RaiseNoImplement(); }

void ProxyPushSupplier::lifetime_filter(CosNotifyFilter::MappingFilter_ptr) { RaiseNoImplement(); }

CosNotification::EventTypeSeq* ProxyPushSupplier::obtain_offered_types(
    CosNotifyChannelAdmin::ObtainInfoMode) {
  RaiseNoImplement();
}

void ProxyPushSupplier::validate_event_qos(const CosNotification::QoSProperties&,
                                           CosNotification::NamedPropertyRangeSeq_out) {
  RaiseNoImplement();
}

void ProxyPushSupplier::subscription_change(const CosNotification::EventTypeSeq& added,
                                            const CosNotification::EventTypeSeq& removed) {
  subscriptions_.Change(added, removed);
  channel_->context().TopologyChanged(/*wait=*/true);
}

void ProxyPushSupplier::disconnect_structured_push_supplier() {
  CosNotifyComm::StructuredPushConsumer_var consumer = Disconnect("by the consumer");
  channel_->context().TopologyChanged(/*wait=*/true);
}

void ProxyPushSupplier::connect_structured_push_consumer(
    CosNotifyComm::StructuredPushConsumer_ptr consumer) {
  if (CORBA::is_nil(consumer)) throw CORBA::BAD_PARAM(0, CORBA::COMPLETED_NO);
  bool already;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ == State::kGone) throw CORBA::OBJECT_NOT_EXIST(0, CORBA::COMPLETED_NO);
    already = state_ == State::kConnected;
    if (!already) {
      StartDelivery(consumer, std::vector<EventPtr>());
      Log::Info(name() + " connected");
    }
  }
  // The consumer came here, of a cluster's instances: this one delivers to
  // it from now on, taking the lease before the others hear of the
  // connection and would take it themselves.
  TakeLease(/*takeOver=*/true);
  if (already) throw CosEventChannelAdmin::AlreadyConnected();
  channel_->ProxyConnected();
  channel_->context().TopologyChanged(/*wait=*/true);
}

void ProxyPushSupplier::StartDelivery(CosNotifyComm::StructuredPushConsumer_ptr consumer,
                                      std::vector<EventPtr> events) {
  consumer_ = CosNotifyComm::StructuredPushConsumer::_duplicate(consumer);
  delivery_.reset(new ConsumerDelivery(consumer, channel_->context().delivery, queuePolicy(),
                                       &channel_->backlog(),
                                       [this](const std::string& why) { OnConsumerLost(why); },
                                       channel_->context().eventLog, key()));
  if (suspended_) delivery_->Suspend();
  delivery_->queue().Restore(std::move(events));
  ProxyLeases* leases = channel_->context().leases;
  if (leases != nullptr) {
    std::string lease = record();
    delivery_->SetGate([leases, lease] { return leases->Valid(lease); });
  }
  delivery_->Start();
  channel_->tally().Started(delivery_.get());
  state_ = State::kConnected;
  // In a cluster the proxy's own position feeds it, while it holds the
  // lease; alone, the router does.
  if (leases != nullptr) {
    leases->Want(this, record());
  } else {
    channel_->router().Add(this);
  }
}

void ProxyPushSupplier::suspend_connection() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ == State::kGone) throw CORBA::OBJECT_NOT_EXIST(0, CORBA::COMPLETED_NO);
    if (state_ != State::kConnected) throw CosNotifyChannelAdmin::NotConnected();
    if (suspended_) throw CosNotifyChannelAdmin::ConnectionAlreadyInactive();
    suspended_ = true;
    delivery_->Suspend();
  }
  channel_->context().TopologyChanged(/*wait=*/true);
}

void ProxyPushSupplier::resume_connection() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ == State::kGone) throw CORBA::OBJECT_NOT_EXIST(0, CORBA::COMPLETED_NO);
    if (state_ != State::kConnected) throw CosNotifyChannelAdmin::NotConnected();
    if (!suspended_) throw CosNotifyChannelAdmin::ConnectionAlreadyActive();
    suspended_ = false;
    delivery_->Resume();
  }
  channel_->context().TopologyChanged(/*wait=*/true);
  TakeLease(/*takeOver=*/true);
}

FilterFactory* ProxyPushSupplier::filterFactory() { return channel_->filterFactory(); }

void ProxyPushSupplier::FiltersChanged() { channel_->context().TopologyChanged(/*wait=*/true); }

}  // namespace channeld
}  // namespace kestrel
