// The video source's format gate (CVideoSource::CheckMediaFormat) fed peer frames: records of a
// 16-bit little-endian length and that many bytes (cut at the end of the input), each checked in
// a heap block of exactly its size, as the draw thread checks frames before release. Answers are
// 0, -1, -2, -5 or -6; a format the gate hands to the decoder has even sides of 1 to 8192.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/media/video/bitstream/media_probe.h"
#include "core/media/video/receive/video_sync.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

struct FormatLog {
  void On(const HX_MediaFormat& format) {
    Check(format.width >= 2 && format.width <= HX_MaxPeerPictureSide);
    Check(format.height >= 2 && format.height <= HX_MaxPeerPictureSide);
    Check(format.width % 2 == 0 && format.height % 2 == 0);
    ++count;
  }
  int count = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 200000) return 0;
  CVideoSource source([] { return int64_t{1000}; });
  FormatLog log;
  source.DecoderFormatSignal.Connect(&log, &FormatLog::On);
  size_t at = 0;
  while (at + 2 <= size) {
    size_t length = static_cast<size_t>(data[at]) | static_cast<size_t>(data[at + 1]) << 8;
    at += 2;
    if (length > size - at) length = size - at;
    std::unique_ptr<uint8_t[]> frame(new uint8_t[length ? length : 1]);
    if (length) std::memcpy(frame.get(), data + at, length);
    at += length;
    const int before = log.count;
    const int r = source.CheckMediaFormat(length ? frame.get() : nullptr, length);
    Check(r == 0 || r == -1 || r == -2 || r == -5 || r == -6);
    if (r != 0) Check(log.count == before);
    if (length < HX_RecvNhpVideoHeader::kSize) Check(r == -1);
  }
  return 0;
}
