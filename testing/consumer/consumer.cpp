// Includes one header of each networking folder and of the wire records, the way a host
// application sees them once installed, and makes a value of each so the link is exercised.
#include <cstdio>

#include "core/net/address/ip_address.h"
#include "core/net/dns/puny_codec.h"
#include "core/net/loop/zserver.h"
#include "core/net/proxy/proxy_config.h"
#include "core/net/socket/circular_buffer.h"
#include "core/net/tls/tls_engine.h"
#include "core/wire/server_endpoint.h"
#include "core/wire/server_names.h"
#include "core/wire/uri_host.h"

int main() {
  HXServerEndpoint endpoint;
  const std::string ascii = HXPunyCodec::Encode("b\xC3\xBC" "cher.example");
  std::printf("consumer: built against the installed package, %s, endpoint host \"%s\"\n",
              ascii.c_str(), endpoint.getHost().c_str());
  return ascii == "xn--bcher-kva.example" ? 0 : 1;
}
