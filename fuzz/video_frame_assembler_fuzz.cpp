// The TCP frame assembler fed a sequence of peer parts. Input: byte 0 picks the starting size
// (bit 0: 176x144 from the stream's format, else none known); then records of a 16-bit
// little-endian length and that many bytes (cut at the end of the input), each pushed as one part
// in a heap block of exactly its size. Every completed frame starts with its 5-byte header whose
// type byte is 0 or 1, and the buffer follows no probed side of 0 or above 8192.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/media/video/bitstream/media_probe.h"
#include "core/media/video/receive/frame_assembler.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 200000) return 0;
  HX_VideoFrameAssembler assembler;
  if (data[0] & 1) assembler.Reset(176, 144, true);
  size_t at = 1;
  while (at + 2 <= size) {
    size_t length = static_cast<size_t>(data[at]) | static_cast<size_t>(data[at + 1]) << 8;
    at += 2;
    if (length > size - at) length = size - at;
    std::unique_ptr<uint8_t[]> part(new uint8_t[length ? length : 1]);
    if (length) std::memcpy(part.get(), data + at, length);
    at += length;
    bool needed = false;
    const bool complete =
        assembler.PushFrame(length ? part.get() : nullptr, static_cast<uint16_t>(length), needed);
    if (assembler.IsReady()) {
      Check(assembler.Width() >= 1 && assembler.Width() <= HX_MaxPeerPictureSide);
      Check(assembler.Height() >= 1 && assembler.Height() <= HX_MaxPeerPictureSide);
    }
    const uint8_t* frame = nullptr;
    uint64_t frameLength = 0;
    uint32_t time = 0;
    const HX_RecvNhpVideoHeader* header = nullptr;
    bool key = false;
    assembler.getFrame(frame, frameLength, time, header, key);
    if (!complete) {
      Check(frame == nullptr);
      continue;
    }
    Check(frame != nullptr && frameLength >= HX_RecvNhpVideoHeader::kSize);
    Check(frame[0] == 0 || frame[0] == 1);
    Check(key == (frame[0] == 0));
    Check(!assembler.IsWaitingForKeyFrame());
    // Every byte of the frame is readable.
    unsigned sum = 0;
    for (uint64_t i = 0; i < frameLength; ++i) sum += frame[i];
    (void)sum;
  }
  return 0;
}
