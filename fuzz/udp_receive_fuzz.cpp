// The receive side of a relayed UDP stream fed arbitrary datagrams: the multicast head checks,
// then the multicast receive handler on a real receive stream, with its cipher's fallback (with
// and without a key), the NHP receive queue with its reassembly and the dispatch to the stream.
// Input: a flag byte (bit 0: a key; bit 1: feedback on; bit 2: video mode 2), then datagrams, each
// a 16-bit little-endian length and its bytes.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "core/streams/nhp_receive_queue.h"
#include "core/streams/receiver_base.h"
#include "core/streams/udp_multicast_head.h"
#include "core/streams/udp_receiver_handlers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t flags = data[0];
  int64_t now = 0;
  HX_ReceiverBase stream("peer", "me");
  auto* handler = new HX_ReceiverUDPMCast([&now] { return now; });
  stream.setConnectionHandler(handler);  // owned by the stream
  if (!handler->startConnection((flags & 1) != 0 ? "00112233445566778899aabbccddeeff" : "")) {
    std::abort();
  }
  handler->setRecvQueue(
      std::make_unique<HX_ReceiveFrameQueueNhp>(false, (flags & 4) != 0 ? 2 : 0, (flags & 2) != 0,
                                                [&now] { return now; }),
      HX_ReceiverUDPBase::kPacketBufferSize);
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
    handler->onNHPDataReceived(datagram.data() + offset, length, datagram.size());
  }
  return 0;
}
