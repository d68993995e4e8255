// The TCP receive buffer fed arbitrary bytes in arbitrary segments, cutting frames out as the TCP
// receive handler does and compacting when the write cursor passes the limit. Input: byte 0 picks
// the segment sizes (seeded), the rest is the byte stream.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/streams/stream_command.h"
#include "core/streams/tcp_send_queue.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  uint32_t seed = data[0] + 1;
  HX_RecvFrameQueueTCPv2 buffer;
  size_t at = 1;
  while (at < size) {
    if (buffer.IsOutpass()) buffer.cutHeadGap();
    seed = seed * 1103515245u + 12345u;
    const size_t room = static_cast<size_t>(buffer.GetPacketBufferSize());
    if (room == 0) return 0;  // a frame head that lies larger than the buffer: the connection drops
    const size_t n = std::min({static_cast<size_t>(1 + (seed >> 16) % 3000), size - at, room});
    std::memcpy(buffer.GetPacketBufferWrite(), data + at, n);
    if (!buffer.IncPacketBufferWrite(static_cast<int64_t>(n))) std::abort();
    at += n;
    while (const HX_StreamFrameHead* head = buffer.AssemblePacket()) {
      const uint64_t whole = HX_StreamFrameHead::kSize + head->Length();
      if (whole > static_cast<uint64_t>(buffer.GetPacketBufferWriteSize())) std::abort();
      head->CheckPayload(head->Payload());
      HX_MiscCommand command(head);
      if (command.CommandSize() > 254) std::abort();
      if (!buffer.IncPacketBuffer(static_cast<int64_t>(whole))) std::abort();
    }
  }
  return 0;
}
