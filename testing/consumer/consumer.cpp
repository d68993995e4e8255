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
#include "sdk/bridge/ios_ac_factory.h"

// Codecs from the static libraries the package carries on its link line (libopus, the WebRTC
// archive): a 40 ms Opus frame and a G.711 sample.
bool CodecsLink() {
  IOS_ACFactory factory;
  auto opus = factory.CreateEncoder(hx_audio_tags::kOpus);
  auto alaw = factory.CreateEncoder(hx_audio_tags::kG711a);
  short pcm[640] = {};
  unsigned char out[4000];
  return opus->Init(16000) == 0 &&
         opus->Convert(reinterpret_cast<unsigned char*>(pcm), 1280, out, sizeof(out)) > 0 &&
         alaw->Convert(reinterpret_cast<unsigned char*>(pcm), 2, out, sizeof(out)) == 1;
}

int main() {
  if (!CodecsLink()) {
    std::printf("consumer: audio codecs failed\n");
    return 1;
  }
  HXServerEndpoint endpoint;
  const std::string ascii = HXPunyCodec::Encode("b\xC3\xBC" "cher.example");
  std::printf("consumer: built against the installed package, %s, endpoint host \"%s\"\n",
              ascii.c_str(), endpoint.getHost().c_str());
  return ascii == "xn--bcher-kva.example" ? 0 : 1;
}
