// hx_udp_nat_proxy: the NAT-rewriting UDP proxy as a program of its own, for trying a peer behind
// a NAT by hand. Prints "inner ADDRESS:PORT" once it forwards, then serves until SIGINT or SIGTERM.
//
//   hx_udp_nat_proxy --to HOST:PORT [--inner HOST:PORT] [--outer HOST]
//                    [--delay-ms N] [--allow-unsolicited]
//
// The inside host sends to the inner address; the proxy sends on to --to from one outer port per
// inside source, bound on --outer. Defaults: inner 127.0.0.1:0, outer 127.0.0.1.

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "testing/udp_nat_proxy/udp_nat_proxy.h"

namespace {

void Usage() {
  std::fprintf(stderr,
               "usage: hx_udp_nat_proxy --to HOST:PORT [--inner HOST:PORT] [--outer HOST] "
               "[--delay-ms N] [--allow-unsolicited]\n");
}

// "HOST:PORT" or a bare HOST (then `defaultPort`); a text with several colons is a bare IPv6 host.
bool ParseAddress(const std::string& text, const char* defaultPort, HXSockAddr& out) {
  const size_t colon = text.rfind(':');
  const bool hasPort = colon != std::string::npos && text.find(':') == colon;
  const std::string host = hasPort ? text.substr(0, colon) : text;
  const std::string port = hasPort ? text.substr(colon + 1) : defaultPort;
  return out.set(ip::Proto::udp, host.c_str(), port.c_str(), 0, 0);
}

volatile sig_atomic_t g_stop = 0;

}  // namespace

int main(int argc, char** argv) {
  HXSockAddr to, inner, outer;
  ParseAddress("127.0.0.1:0", "0", inner);
  ParseAddress("127.0.0.1", "0", outer);
  uint32_t delayMs = 0;
  bool allowUnsolicited = false;
  bool haveTo = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    bool ok = true;
    if (arg == "--allow-unsolicited") {
      allowUnsolicited = true;
      continue;
    } else if (value == nullptr) {
      ok = false;
    } else if (arg == "--to") {
      ok = haveTo = ParseAddress(value, "0", to);
    } else if (arg == "--inner") {
      ok = ParseAddress(value, "0", inner);
    } else if (arg == "--outer") {
      ok = ParseAddress(value, "0", outer);
    } else if (arg == "--delay-ms") {
      delayMs = static_cast<uint32_t>(std::strtoul(value, nullptr, 10));
    } else {
      ok = false;
    }
    if (!ok) {
      Usage();
      return 2;
    }
    ++i;
  }
  if (!haveTo) {
    Usage();
    return 2;
  }
  hx::testing::UdpNatProxy proxy(inner, outer, to);
  proxy.setDropUnsolicited(!allowUnsolicited);
  proxy.setDelay(hx::testing::NatDirection::kOutbound, delayMs);
  proxy.setDelay(hx::testing::NatDirection::kInbound, delayMs);
  if (!proxy.start()) {
    std::fprintf(stderr, "cannot bind the proxy's sockets\n");
    return 1;
  }
  signal(SIGINT, [](int) { g_stop = 1; });
  signal(SIGTERM, [](int) { g_stop = 1; });
  std::printf("inner %s\n", proxy.innerAddress().strBind().c_str());
  std::fflush(stdout);
  while (!g_stop) pause();
  return 0;
}
