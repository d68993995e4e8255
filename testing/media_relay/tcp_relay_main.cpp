// The fake TCP media relay on its own, for trying clients by hand: prints its port, serves until
// killed. "--answer=refuse|nomask|badcksum|close|silent" scripts the handshake answer.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "testing/media_relay/tcp_relay.h"

int main(int argc, char** argv) {
  using Relay = hx::testing::TcpMediaRelay;
  Relay relay;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--answer=refuse") relay.setAnswer(Relay::Answer::refuse);
    else if (arg == "--answer=nomask") relay.setAnswer(Relay::Answer::noMask);
    else if (arg == "--answer=badcksum") relay.setAnswer(Relay::Answer::badChecksum);
    else if (arg == "--answer=close") relay.setAnswer(Relay::Answer::close);
    else if (arg == "--answer=silent") relay.setAnswer(Relay::Answer::silent);
    else {
      std::fprintf(stderr, "unknown argument: %s\n", argv[i]);
      return 2;
    }
  }
  if (!relay.start()) {
    std::fprintf(stderr, "cannot listen\n");
    return 1;
  }
  std::printf("%u\n", static_cast<unsigned>(relay.port()));
  std::fflush(stdout);
  for (;;) pause();
}
