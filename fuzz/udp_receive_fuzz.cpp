// The receive side of a relayed UDP stream fed arbitrary datagrams: the multicast head checks,
// the cipher's fallback (with and without a key) and the NHP receive queue with its reassembly,
// drained after every datagram. Input: a flag byte (bit 0: a key; bit 1: feedback on; bit 2:
// video mode 2), then datagrams, each a 16-bit little-endian length and its bytes.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/base/net_message.h"
#include "core/streams/nhp_receive_queue.h"
#include "core/streams/udp_multicast_head.h"
#include "core/streams/udp_stream_helper.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t flags = data[0];
  HX_MediaStreamUDPHelper helper;
  if (!helper.crypterInit((flags & 1) != 0 ? "00112233445566778899aabbccddeeff" : "")) {
    std::abort();
  }
  int64_t now = 0;
  HX_ReceiveFrameQueueNhp queue(false, (flags & 4) != 0 ? 2 : 0, (flags & 2) != 0,
                                [&now] { return now; });
  HXNetMessage packetBuffer(1 << 20);
  std::vector<uint8_t> frame(1 << 16);
  size_t at = 1;
  while (at + 2 <= size) {
    const size_t wanted = data[at] | (data[at + 1] << 8);
    at += 2;
    const size_t n = std::min(wanted, size - at);
    // A private copy, so that a read past the datagram is the sanitizer's to see.
    const std::vector<uint8_t> datagram(data + at, data + at + n);
    at += n;
    now += 7;
    size_t offset = 0;
    size_t length = 0;
    if (!HX_CheckMulticastDatagram(datagram.data(), datagram.size(), 0, offset, length)) continue;
    if (offset + length > datagram.size()) std::abort();
    size_t plainLength = 0;
    const uint8_t* plain =
        helper.decryptPacket(datagram.data() + offset, length, packetBuffer, plainLength);
    queue.Add(plain, plainLength);
    size_t got = 0;
    int type = 0;
    while (queue.Get(frame.data(), frame.size(), got, type)) {
      if (got > frame.size()) std::abort();
    }
  }
  return 0;
}
