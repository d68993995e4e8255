#include "core/media/video/bitstream/bitstream_h265.h"

#include <climits>
#include <vector>

namespace {

using hx::bitstream::FindStartCode;
using hx::bitstream::RemoveEmulationPrevention;
using hx::bitstream::UnitSize;

constexpr int kNalSps = 33;

constexpr int kCropUnitX[4] = {1, 2, 2, 1};
constexpr int kCropUnitY[4] = {1, 2, 1, 1};

size_t Length(int length) { return length > 0 ? static_cast<size_t>(length) : 0; }

bool ReadUe(hx_bitpos& p, uint64_t& out) {
  out = static_cast<uint64_t>(GetVLC(p, false));
  return !p.failed;
}

// general or sub-layer profile: space, tier, profile, 32 compatibility flags, 4 source flags and
// 44 reserved or constraint bits.
void SkipProfile(hx_bitpos& p) {
  GetBits(p, 8);
  GetBits(p, 32);
  GetBits(p, 4);
  GetBits(p, 32);
  GetBits(p, 12);
}

}  // namespace

void profile_tier_level(bool profilePresent, int maxSubLayersMinus1, hx_bitpos& p) {
  if (maxSubLayersMinus1 < 0) maxSubLayersMinus1 = 0;
  if (maxSubLayersMinus1 > 7) maxSubLayersMinus1 = 7;
  if (profilePresent) SkipProfile(p);
  GetBits(p, 8);  // general_level_idc
  bool profileFlag[8] = {};
  bool levelFlag[8] = {};
  for (int i = 0; i < maxSubLayersMinus1; ++i) {
    profileFlag[i] = GetBit(p) != 0;
    levelFlag[i] = GetBit(p) != 0;
  }
  if (maxSubLayersMinus1 > 0) {
    for (int i = maxSubLayersMinus1; i < 8; ++i) GetBits(p, 2);
  }
  for (int i = 0; i < maxSubLayersMinus1; ++i) {
    if (profileFlag[i]) SkipProfile(p);
    if (levelFlag[i]) GetBits(p, 8);
  }
}

int ResolutionFromNAL_H265(const uint8_t* nal, int length, int& width, int& height) {
  if (length <= 0 || !nal) return -1;
  if (nal[0] & 0x80) return -2;
  const int type = (nal[0] >> 1) & 0x3F;
  if (type < 10) return -1;
  if (type >= 16 && type <= 21) return -3;
  if (type != kNalSps) return -2;
  std::vector<uint8_t> rbsp;
  RemoveEmulationPrevention(nal, UnitSize(nal, Length(length)), &rbsp);
  hx_bitpos p = BitPosition(rbsp.data(), rbsp.size());
  GetBits(p, 16);  // NAL header
  GetBits(p, 4);   // sps_video_parameter_set_id
  const int maxSubLayersMinus1 = static_cast<int>(GetBits(p, 3));
  GetBit(p);  // sps_temporal_id_nesting_flag
  profile_tier_level(true, maxSubLayersMinus1, p);
  uint64_t id = 0;
  uint64_t chroma = 0;
  uint64_t w = 0;
  uint64_t h = 0;
  if (!ReadUe(p, id) || !ReadUe(p, chroma) || chroma > 3) return -2;
  if (chroma == 3) GetBit(p);  // separate_colour_plane_flag
  if (!ReadUe(p, w) || !ReadUe(p, h)) return -2;
  int64_t cw = static_cast<int64_t>(w);
  int64_t ch = static_cast<int64_t>(h);
  if (GetBit(p)) {  // conformance_window_flag
    uint64_t left = 0, right = 0, top = 0, bottom = 0;
    if (!ReadUe(p, left) || !ReadUe(p, right) || !ReadUe(p, top) || !ReadUe(p, bottom)) return -2;
    cw -= static_cast<int64_t>(left + right) * kCropUnitX[chroma];
    ch -= static_cast<int64_t>(top + bottom) * kCropUnitY[chroma];
  }
  if (p.failed || cw <= 0 || ch <= 0 || cw > INT_MAX || ch > INT_MAX) return -2;
  width = static_cast<int>(cw);
  height = static_cast<int>(ch);
  return 0;
}

int ResolutionFromBitstream_H265(const uint8_t* stream, int length, int& width, int& height) {
  const size_t size = Length(length);
  for (int64_t at = FindStartCode(stream, size, 0); at >= 0;
       at = FindStartCode(stream, size, static_cast<size_t>(at) + 3)) {
    const size_t unit = static_cast<size_t>(at) + 3;
    const int r =
        ResolutionFromNAL_H265(stream + unit, static_cast<int>(size - unit), width, height);
    if (r == 0 || r == -1) return r;
    if (r == -3) return -2;
  }
  return -1;
}

int TypeSliceFromNAL_H265(const uint8_t* nal, int length) {
  if (length <= 0 || !nal) return -1;
  const int type = (nal[0] >> 1) & 0x3F;
  if ((nal[0] & 0x80) || type > 21) return -2;
  if (type <= 9) return -1;
  if (type <= 15) return -2;
  return 0;
}

int TypeSliceFromBitstream_H265(const uint8_t* stream, int length, int& delta) {
  delta = 1;
  const size_t size = Length(length);
  for (int64_t at = FindStartCode(stream, size, 0); at >= 0;
       at = FindStartCode(stream, size, static_cast<size_t>(at) + 3)) {
    const uint8_t header = stream[at + 3];
    if (header & 0x80) continue;
    const int type = (header >> 1) & 0x3F;
    if (type < 10) return -1;
    if (type >= 16 && type <= 21) {
      delta = 0;
      return 0;
    }
  }
  return -1;
}
