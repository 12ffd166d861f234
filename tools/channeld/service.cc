#include "tools/channeld/service.h"

#include <cstdio>

#include "tools/channeld/event_channel.h"
#include "tools/channeld/farewell_calls.h"
#include "tools/channeld/log.h"

namespace kestrel {
namespace channeld {

Service::Service(const ServiceOptions& options)
    : options_(options),
      reporter_(std::chrono::seconds(1), [this] { ReportDiscards(); },
                [this] { ReportCounters(); }),
      signals_([this] { reporter_.Request(); }) {
  Log::SetVerbose(options_.verbose);
  context_.maxSuppliers = options_.maxSuppliers;
  context_.maxConsumers = options_.maxConsumers;
  context_.queuePolicy.maxEvents = options_.queueLength;
  context_.queuePolicy.blockTimeout = std::chrono::milliseconds(options_.blockTimeoutMs);
  context_.delivery.callTimeoutMs = options_.pushTimeoutMs;
}

Service::~Service() {
  reporter_.Stop();
  channels_.clear();
  if (janitor_) janitor_->Stop();
  orb_.Stop();
}

std::string Service::Address(const std::string& host, int port, const std::string& key) {
  bool ipv6 = host.find(':') != std::string::npos && host.front() != '[';
  return "corbaloc:iiop:" + (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port) + "/" +
         key;
}

int Service::Run() {
  std::string error;
  OrbRuntime::Status status = orb_.Start(options_.listenHost, options_.port, options_.verbose, &error);
  if (status != OrbRuntime::Status::kReady) {
    Log::Error(error);
    return 1;
  }
  janitor_.reset(new Janitor);
  context_.channelPoa = PortableServer::POA::_duplicate(orb_.insPoa());
  context_.proxyPoa = PortableServer::POA::_duplicate(orb_.rootPoa());
  context_.janitor = janitor_.get();
  if (!StartChannels()) {
    Shutdown();
    return 1;
  }

  CosNotifyChannelAdmin::EventChannel_var first = channels_.front()->Reference();
  int port = OrbRuntime::PublishedPort(first.in());
  if (port < 0) {
    Log::Error("cannot tell which port the service listens on");
    Shutdown();
    return 1;
  }
  if (options_.port == 0) OrbRuntime::AllowRestartOnPort(port);
  std::string lines;
  for (const auto& channel : channels_) {
    lines += Address(options_.listenHost, port, channel->key()) + "\n";
  }
  std::fwrite(lines.data(), 1, lines.size(), stdout);
  std::fflush(stdout);
  reporter_.Start();

  std::string reason = signals_.Wait().reason;
  Log::Info("shutting down (" + reason + ")");
  Shutdown();
  return 0;
}

bool Service::StartChannels() {
  for (const std::string& key : options_.channels) {
    PortableServer::Servant_var<EventChannel> channel =
        new EventChannel(key, context_, [this](EventChannel*) { OnChannelDestroyed(); });
    try {
      channel->Activate();
    } catch (const CORBA::Exception& e) {
      Log::Error("cannot serve the channel " + key + ": " + e._name());
      return false;
    }
    channels_.push_back(channel);
  }
  return true;
}

void Service::OnChannelDestroyed() {
  if (++destroyedChannels_ == options_.channels.size()) {
    signals_.Request("every channel was destroyed");
  }
}

void Service::ReportDiscards() {
  for (const auto& channel : channels_) channel->ReportDiscards();
}

void Service::ReportCounters() {
  std::string lines;
  for (const auto& channel : channels_) lines += channel->CounterLines();
  Log::Lines(lines);
}

void Service::Shutdown() {
  // The last discards are reported; then every client is told, all at
  // once, then the delivery threads end, then the ORB finishes the calls in
  // progress and goes.
  reporter_.Stop();
  FarewellCalls farewells(context_.farewellTimeoutMs);
  for (const auto& channel : channels_) channel->Destroy(farewells);
  farewells.Run();
  if (janitor_) janitor_->Stop();
  channels_.clear();
  orb_.Stop();
}

}  // namespace channeld
}  // namespace kestrel
