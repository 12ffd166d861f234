// channeld_test_consumer ADDRESS: connects one consumer to the channel at
// ADDRESS, prints "connected PROXY-ID" and serves until it is killed. The
// tests kill it to play a consumer process that dies.

#include <cstdio>
#include <iostream>

#include "tests/channeld/channel_clients.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: channeld_test_consumer ADDRESS\n");
    return 2;
  }
  try {
    kestrel::testing::TestOrb orb;
    CosNotifyChannelAdmin::EventChannel_var channel = orb.Channel(argv[1]);
    kestrel::testing::ConnectedConsumer consumer = kestrel::testing::ConnectConsumer(orb, channel.in());
    std::printf("connected %ld\n", static_cast<long>(consumer.id));
    std::fflush(stdout);
    orb.orb()->run();
  } catch (const CORBA::Exception& e) {
    std::fprintf(stderr, "channeld_test_consumer: %s\n", e._name());
    return 1;
  }
  return 0;
}
