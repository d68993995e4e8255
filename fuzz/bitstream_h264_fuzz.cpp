// The H.264 readers fed peer bytes: the stream functions, the unit functions on the bytes after
// the first start code, and the sequence-parameter-set reader. A set that reads is written back
// with SPSToNAL_H264 (into a buffer of exactly its size, then into one a byte short, which must be
// refused untouched) and read again: the same record and the same size. ExtractRTPData's output,
// with its emulation-prevention bytes removed, gives the input back. The input is a heap block of
// exactly its size, so AddressSanitizer sees a read past it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/media/video/bitstream/bitstream_h264.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void WriteBackAndRead(const hx_sps& sps) {
  std::vector<uint8_t> unit(16384);
  const int n = SPSToNAL_H264(unit.data(), static_cast<int>(unit.size()), &sps);
  Check(n > 4);
  std::vector<uint8_t> exact(unit.begin(), unit.begin() + n);
  Check(SPSToNAL_H264(exact.data(), n, &sps) == n);
  std::vector<uint8_t> small(static_cast<size_t>(n) - 1, 0xee);
  Check(SPSToNAL_H264(small.data(), n - 1, &sps) == 0);
  for (uint8_t b : small) Check(b == 0xee);

  hx_sps again;
  const uint8_t* nal = nullptr;
  int nalSize = 0;
  Check(SPSFromBitstream_H264(exact.data(), n, &again, nal, nalSize) == 0);
  Check(again == sps);
  Check(nal == exact.data() + 1 && nalSize == n - 1);
  int w = 0, h = 0;
  Check(ResolutionFromBitstream_H264(exact.data(), n, w, h) == 0);
  Check(w > 0 && h > 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65536) return 0;
  const int length = static_cast<int>(size);
  int w = 0, h = 0, delta = 0, unitSize = 0, nalSize = 0;
  bool isSps = false;
  const int r = ResolutionFromBitstream_H264(data, length, w, h);
  Check(r == 0 || r == -1 || r == -2);
  if (r == 0) Check(w > 0 && h > 0);
  Check(TypeSliceFromBitstream_H264(data, length, delta) <= 0);
  const uint8_t* first = IsBitstreamSPS_264(data, length, isSps, unitSize);
  if (first) Check(first >= data && unitSize >= 3 && first + unitSize <= data + size);
  PrintBitsrreamNAL_264(data, length);

  hx_sps sps;
  const uint8_t* nal = nullptr;
  const int s = SPSFromBitstream_H264(data, length, &sps, nal, nalSize);
  Check(s == 0 || s == -1 || s == -2);
  if (s == 0) {
    Check(nal >= data && nal + nalSize <= data + size);
    WriteBackAndRead(sps);
  }

  // The whole input as one unit, as the unit functions are also called.
  if (size > 0) {
    ResolutionFromNAL_H264(data, length, w, h);
    TypeSliceFromNAL_H264(data, length);
    GetNALSize(data, length);
    if (SPSFromNAL_H264(data, length, &sps) == 0) WriteBackAndRead(sps);

    std::vector<uint8_t> escaped(4 + size + (size - 1) / 2);
    int escapedSize = 0;
    ExtractRTPData(data, length, escaped.data(), escapedSize);
    Check(escapedSize >= length + 4 && static_cast<size_t>(escapedSize) <= escaped.size());
    if (data[0] != 0) {
      std::vector<uint8_t> back;
      hx::bitstream::RemoveEmulationPrevention(escaped.data() + 4,
                                               static_cast<size_t>(escapedSize) - 4, &back);
      Check(back.size() == size && std::memcmp(back.data(), data, size) == 0);
    }
  }
  return 0;
}
