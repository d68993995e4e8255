// Hostile peers: every public bitstream function is fed hand-built inputs that cut, lie about
// sizes and counts, or carry codes no encoder writes. Inputs live in exactly-sized heap buffers so
// the address sanitizer reports any read past them.

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "core/media/video/bitstream/bit_io.h"
#include "core/media/video/bitstream/bitstream_h263.h"
#include "core/media/video/bitstream/bitstream_h264.h"
#include "core/media/video/bitstream/bitstream_h265.h"
#include "core/media/video/bitstream/bitstream_vpx.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A copy of `bytes` in a heap block of exactly their size (null for none).
struct Exact {
  explicit Exact(const Bytes& bytes, size_t count = SIZE_MAX) {
    n = count == SIZE_MAX ? bytes.size() : count;
    if (n > 0) {
      p.reset(new uint8_t[n]);
      std::memcpy(p.get(), bytes.data(), n);
    }
  }
  const uint8_t* data() const { return p.get(); }
  int size() const { return static_cast<int>(n); }
  std::unique_ptr<uint8_t[]> p;
  size_t n = 0;
};

// The test's own bit writer, so inputs do not depend on the writer under test.
class Bits {
 public:
  Bits& u(int n, uint64_t v) {
    for (int i = n - 1; i >= 0; --i) bit((v >> i) & 1);
    return *this;
  }
  Bits& bit(int b) {
    if (count_ % 8 == 0) bytes_.push_back(0);
    if (b) bytes_.back() |= 0x80 >> (count_ % 8);
    ++count_;
    return *this;
  }
  Bits& ue(uint64_t v) {
    uint64_t x = v + 1;
    int len = 0;
    while ((x >> len) > 1) ++len;
    u(len, 0);
    return u(len + 1, x);
  }
  Bits& se(int64_t v) {
    return ue(v > 0 ? 2 * static_cast<uint64_t>(v) - 1 : static_cast<uint64_t>(-v) * 2);
  }
  Bits& trailing() {
    bit(1);
    while (count_ % 8) bit(0);
    return *this;
  }
  Bytes bytes() const { return bytes_; }
  uint64_t count() const { return count_; }

 private:
  Bytes bytes_;
  uint64_t count_ = 0;
};

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& b : parts) out.insert(out.end(), b.begin(), b.end());
  return out;
}

// Emulation prevention as an encoder applies it (03 after 00 00 when a byte ≤ 3 follows or the
// unit ends).
Bytes Escape(const Bytes& rbsp) {
  Bytes out;
  int zeros = 0;
  for (uint8_t b : rbsp) {
    if (zeros >= 2 && b <= 3) {
      out.push_back(3);
      zeros = 0;
    }
    out.push_back(b);
    zeros = b == 0 ? zeros + 1 : 0;
  }
  return out;
}

const Bytes kStart = {0, 0, 1};

bool IsExtendedProfile(uint32_t p) {
  for (uint32_t e : {44u, 83u, 86u, 100u, 110u, 118u, 122u, 128u, 244u})
    if (p == e) return true;
  return false;
}

void WriteHrd(Bits& b, const hx_hrd& h, uint32_t count) {
  b.ue(h.cpb_cnt_minus1).u(4, h.bit_rate_scale).u(4, h.cpb_size_scale);
  for (uint32_t i = 0; i < count; ++i)
    b.ue(h.bit_rate_value_minus1[i % 32])
        .ue(h.cpb_size_value_minus1[i % 32])
        .bit(h.cbr_flag[i % 32]);
  b.u(5, h.initial_cpb_removal_delay_length_minus1).u(5, h.cpb_removal_delay_length_minus1);
  b.u(5, h.dpb_output_delay_length_minus1).u(5, h.time_offset_length);
}

// VUI syntax of H.264 E.1.1; `cpbEntries` overrides the number of CPB entries written.
void WriteVui(Bits& b, const hx_vui& v, int cpbEntries = -1) {
  b.bit(v.aspect_ratio_info_present_flag);
  if (v.aspect_ratio_info_present_flag) {
    b.u(8, v.aspect_ratio_idc);
    if (v.aspect_ratio_idc == 255) b.u(16, v.sar_width).u(16, v.sar_height);
  }
  b.bit(v.overscan_info_present_flag);
  if (v.overscan_info_present_flag) b.bit(v.overscan_appropriate_flag);
  b.bit(v.video_signal_type_present_flag);
  if (v.video_signal_type_present_flag) {
    b.u(3, v.video_format).bit(v.video_full_range_flag).bit(v.colour_description_present_flag);
    if (v.colour_description_present_flag)
      b.u(8, v.colour_primaries).u(8, v.transfer_characteristics).u(8, v.matrix_coefficients);
  }
  b.bit(v.chroma_loc_info_present_flag);
  if (v.chroma_loc_info_present_flag)
    b.ue(v.chroma_sample_loc_type_top_field).ue(v.chroma_sample_loc_type_bottom_field);
  b.bit(v.timing_info_present_flag);
  if (v.timing_info_present_flag)
    b.u(32, v.num_units_in_tick).u(32, v.time_scale).bit(v.fixed_frame_rate_flag);
  b.bit(v.nal_hrd_parameters_present_flag);
  if (v.nal_hrd_parameters_present_flag)
    WriteHrd(b, v.nal_hrd, cpbEntries >= 0 ? cpbEntries : v.nal_hrd.cpb_cnt_minus1 + 1);
  b.bit(v.vcl_hrd_parameters_present_flag);
  if (v.vcl_hrd_parameters_present_flag)
    WriteHrd(b, v.vcl_hrd, cpbEntries >= 0 ? cpbEntries : v.vcl_hrd.cpb_cnt_minus1 + 1);
  if (v.nal_hrd_parameters_present_flag || v.vcl_hrd_parameters_present_flag)
    b.bit(v.low_delay_hrd_flag);
  b.bit(v.pic_struct_present_flag);
  b.bit(v.bitstream_restriction_flag);
  if (v.bitstream_restriction_flag) {
    b.bit(v.motion_vectors_over_pic_boundaries_flag).ue(v.max_bytes_per_pic_denom);
    b.ue(v.max_bits_per_mb_denom).ue(v.log2_max_mv_length_horizontal);
    b.ue(v.log2_max_mv_length_vertical).ue(v.max_num_reorder_frames).ue(v.max_dec_frame_buffering);
  }
}

// Raw 64-bit values for the fields a hostile peer lies about; -1 means "take the record's".
struct Lies {
  int64_t width_minus1 = -1, height_minus1 = -1;
  int64_t crop[4] = {-1, -1, -1, -1};
  int64_t chroma_format_idc = -1;
  int64_t poc_cycle = -1;
  int scaling_lists_present = 0;  // write the scaling matrix with every list present
  int64_t scaling_delta = 8;
};

// The RBSP of an H.264 sequence parameter set (7.3.2.1.1), NAL header byte first.
Bytes EncodeSps(const hx_sps& s, const Lies& lie = {}) {
  Bits b;
  b.u(8, s.nal_header).u(8, s.profile_idc);
  b.bit(s.constraint_set0_flag).bit(s.constraint_set1_flag).bit(s.constraint_set2_flag);
  b.bit(s.constraint_set3_flag).u(4, 0).u(8, s.level_idc).ue(s.seq_parameter_set_id);
  int64_t chroma = lie.chroma_format_idc >= 0 ? lie.chroma_format_idc : s.chroma_format_idc;
  if (IsExtendedProfile(s.profile_idc)) {
    b.ue(chroma);
    if (chroma == 3) b.bit(s.separate_colour_plane_flag);
    b.ue(s.bit_depth_luma - 8)
        .ue(s.bit_depth_chroma - 8)
        .bit(s.qpprime_y_zero_transform_bypass_flag);
    b.bit(s.seq_scaling_matrix_present_flag || lie.scaling_lists_present);
    if (lie.scaling_lists_present) {
      for (int i = 0; i < (chroma == 3 ? 12 : 8); ++i) {
        b.bit(1);
        // Deltas follow while the next scale is not 0 (7.3.2.1.1.1).
        int64_t next = 8;
        for (int j = 0; j < (i < 6 ? 16 : 64) && next != 0; ++j) {
          int64_t delta = j == 0 ? lie.scaling_delta : 0;
          b.se(delta);
          next = (next + delta + 256) % 256;
        }
      }
    } else if (s.seq_scaling_matrix_present_flag) {
      for (int i = 0; i < (chroma == 3 ? 12 : 8); ++i) b.bit(0);
    }
  }
  b.ue(s.log2_max_frame_num - 4).ue(s.pic_order_cnt_type);
  if (s.pic_order_cnt_type == 0) {
    b.ue(s.log2_max_pic_order_cnt_lsb - 4);
  } else if (s.pic_order_cnt_type == 1) {
    b.bit(s.delta_pic_order_always_zero_flag).se(s.offset_for_non_ref_pic);
    b.se(s.offset_for_top_to_bottom_field);
    int64_t cycle = lie.poc_cycle >= 0 ? lie.poc_cycle : s.num_ref_frames_in_pic_order_cnt_cycle;
    b.ue(cycle);
    for (int64_t i = 0; i < cycle && i < 300; ++i) b.se(s.offset_for_ref_frame[i % 256]);
  }
  b.ue(s.max_num_ref_frames).bit(s.gaps_in_frame_num_value_allowed_flag);
  b.ue(lie.width_minus1 >= 0 ? lie.width_minus1 : s.pic_width_in_mbs - 1);
  b.ue(lie.height_minus1 >= 0 ? lie.height_minus1 : s.pic_height_in_map_units - 1);
  b.bit(s.frame_mbs_only_flag);
  if (!s.frame_mbs_only_flag) b.bit(s.mb_adaptive_frame_field_flag);
  b.bit(s.direct_8x8_inference_flag).bit(s.frame_cropping_flag);
  if (s.frame_cropping_flag) {
    const uint32_t rec[4] = {s.frame_crop_left_offset, s.frame_crop_right_offset,
                             s.frame_crop_top_offset, s.frame_crop_bottom_offset};
    for (int i = 0; i < 4; ++i) b.ue(lie.crop[i] >= 0 ? lie.crop[i] : rec[i]);
  }
  b.bit(s.vui_parameters_present_flag);
  if (s.vui_parameters_present_flag) WriteVui(b, s.vui);
  b.trailing();
  return b.bytes();
}

// 1920x1080, baseline, 4:2:0 progressive: 120 x 68 macroblocks with a bottom crop of 4.
hx_sps Sps1080() {
  hx_sps s;
  s.nal_header = 0x67;
  s.profile_idc = 66;
  s.level_idc = 40;
  s.log2_max_frame_num = 4;
  s.pic_order_cnt_type = 2;
  s.max_num_ref_frames = 1;
  s.pic_width_in_mbs = 120;
  s.pic_height_in_map_units = 68;
  s.frame_mbs_only_flag = 1;
  s.direct_8x8_inference_flag = 1;
  s.frame_cropping_flag = 1;
  s.frame_crop_bottom_offset = 4;
  return s;
}

// A VUI with every part present and every count and width at its maximum.
hx_vui FullVui() {
  hx_vui v;
  v.aspect_ratio_info_present_flag = 1;
  v.aspect_ratio_idc = 255;
  v.sar_width = 0xFFFF;
  v.sar_height = 0xFFFF;
  v.overscan_info_present_flag = 1;
  v.overscan_appropriate_flag = 1;
  v.video_signal_type_present_flag = 1;
  v.video_format = 7;
  v.video_full_range_flag = 1;
  v.colour_description_present_flag = 1;
  v.colour_primaries = 255;
  v.transfer_characteristics = 255;
  v.matrix_coefficients = 255;
  v.chroma_loc_info_present_flag = 1;
  v.chroma_sample_loc_type_top_field = 5;
  v.chroma_sample_loc_type_bottom_field = 5;
  v.timing_info_present_flag = 1;
  v.num_units_in_tick = 0xFFFFFFFF;
  v.time_scale = 0xFFFFFFFF;
  v.fixed_frame_rate_flag = 1;
  for (hx_hrd* h : {&v.nal_hrd, &v.vcl_hrd}) {
    h->cpb_cnt_minus1 = 31;
    h->bit_rate_scale = 15;
    h->cpb_size_scale = 15;
    for (int i = 0; i < 32; ++i) {
      h->bit_rate_value_minus1[i] = 0xFFFFFFFEu - i;
      h->cpb_size_value_minus1[i] = i * 1000003u;
      h->cbr_flag[i] = i & 1;
    }
    h->initial_cpb_removal_delay_length_minus1 = 31;
    h->cpb_removal_delay_length_minus1 = 31;
    h->dpb_output_delay_length_minus1 = 31;
    h->time_offset_length = 31;
  }
  v.nal_hrd_parameters_present_flag = 1;
  v.vcl_hrd_parameters_present_flag = 1;
  v.low_delay_hrd_flag = 1;
  v.pic_struct_present_flag = 1;
  v.bitstream_restriction_flag = 1;
  v.motion_vectors_over_pic_boundaries_flag = 1;
  v.max_bytes_per_pic_denom = 16;
  v.max_bits_per_mb_denom = 16;
  v.log2_max_mv_length_horizontal = 16;
  v.log2_max_mv_length_vertical = 16;
  v.max_num_reorder_frames = 16;
  v.max_dec_frame_buffering = 16;
  return v;
}

// High 4:4:4, interlaced, picture-order type 1 with the longest cycle, every VUI part.
hx_sps SpsEverything() {
  hx_sps s;
  s.nal_header = 0x67;
  s.profile_idc = 244;
  s.level_idc = 52;
  s.constraint_set0_flag = 1;
  s.constraint_set3_flag = 1;
  s.chroma_format_idc = 3;
  s.separate_colour_plane_flag = 1;
  s.seq_parameter_set_id = 31;
  s.bit_depth_luma = 14;
  s.bit_depth_chroma = 14;
  s.qpprime_y_zero_transform_bypass_flag = 1;
  s.seq_scaling_matrix_present_flag = 1;
  s.log2_max_frame_num = 16;
  s.pic_order_cnt_type = 1;
  s.delta_pic_order_always_zero_flag = 1;
  s.offset_for_non_ref_pic = INT32_MIN + 1;
  s.offset_for_top_to_bottom_field = INT32_MAX;
  s.num_ref_frames_in_pic_order_cnt_cycle = 255;
  for (int i = 0; i < 255; ++i) s.offset_for_ref_frame[i] = (i % 2 ? 1 : -1) * (INT32_MAX - i);
  s.max_num_ref_frames = 16;
  s.gaps_in_frame_num_value_allowed_flag = 1;
  s.pic_width_in_mbs = 240;
  s.pic_height_in_map_units = 68;
  s.frame_mbs_only_flag = 0;
  s.mb_adaptive_frame_field_flag = 1;
  s.direct_8x8_inference_flag = 1;
  s.frame_cropping_flag = 1;
  s.frame_crop_left_offset = 1;
  s.frame_crop_right_offset = 2;
  s.frame_crop_top_offset = 3;
  s.frame_crop_bottom_offset = 4;
  s.vui_parameters_present_flag = 1;
  s.vui = FullVui();
  return s;
}

// The escaped unit, as it travels in a byte stream.
Bytes Unit(const hx_sps& s, const Lies& lie = {}) { return Escape(EncodeSps(s, lie)); }

int NalResolution(const Bytes& nal, int* w, int* h) {
  Exact e(nal);
  *w = *h = -7;
  return ResolutionFromNAL_H264(e.data(), e.size(), *w, *h);
}

int StreamResolution264(const Bytes& stream, int* w, int* h) {
  Exact e(stream);
  *w = *h = -7;
  return ResolutionFromBitstream_H264(e.data(), e.size(), *w, *h);
}

bool ContainsEscapable(const uint8_t* p, size_t n) {
  for (size_t i = 0; i + 2 < n; ++i)
    if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] <= 2) return true;
  return false;
}

// ---------------------------------------------------------------------------------------------
// Bit reader

TEST(HostileBitReader, EmptyAndNullPositionsFailWithoutReading) {
  hx_bitpos p = BitPosition(nullptr, 0);
  EXPECT_EQ(BitsLeft(p), 0u);
  EXPECT_EQ(GetBit(p), 0u);
  EXPECT_TRUE(p.failed);
  hx_bitpos q = BitPosition(nullptr, 0);
  EXPECT_EQ(GetBits(q, 32), 0u);
  EXPECT_TRUE(q.failed);
  hx_bitpos r = BitPosition(nullptr, 0);
  EXPECT_EQ(GetVLC(r, false), 0);
  EXPECT_TRUE(r.failed);
  hx_bitpos z = BitPosition(nullptr, 0);
  EXPECT_EQ(GetBits(z, 0), 0u);
  EXPECT_FALSE(z.failed);
}

TEST(HostileBitReader, ReadsToTheLastBitThenFailsAndStaysAtTheEnd) {
  Exact e({0xA5, 0xFF, 0x01});
  hx_bitpos p = BitPosition(e.data(), 3);
  EXPECT_EQ(GetBits(p, 4), 0xAu);
  EXPECT_EQ(GetBits(p, 19), 0x2FF80u);
  EXPECT_EQ(GetBit(p), 1u);
  EXPECT_FALSE(p.failed);
  EXPECT_EQ(BitsLeft(p), 0u);
  EXPECT_EQ(GetBit(p), 0u);
  EXPECT_TRUE(p.failed);
  EXPECT_EQ(BitsLeft(p), 0u);
  // A wide read across the end fails whole.
  hx_bitpos q = BitPosition(e.data(), 3);
  EXPECT_EQ(GetBits(q, 25), 0u);
  EXPECT_TRUE(q.failed);
  EXPECT_EQ(BitsLeft(q), 0u);
}

TEST(HostileBitReader, WidthsOutsideZeroTo32NeverReadPastTheBuffer) {
  Bytes ones(5, 0xFF);
  Exact e(ones);
  hx_bitpos p = BitPosition(e.data(), 5);
  EXPECT_EQ(GetBits(p, 33), 0xFFFFFFFFu);  // read as 32
  EXPECT_FALSE(p.failed);
  EXPECT_EQ(BitsLeft(p), 8u);
  for (int n : {-1, INT_MIN, 1000, INT_MAX}) {
    hx_bitpos q = BitPosition(e.data(), 5);
    (void)GetBits(q, n);
    EXPECT_LE(q.bit, 40u) << n;
  }
}

TEST(HostileBitReader, ExpGolombAtTheLimitsOf32Bits) {
  struct Case {
    int zeros;        // leading zeros
    uint64_t suffix;  // the bits after the 1, zeros of them
    bool signedValue;
    int64_t expected;
    bool failed;
  } cases[] = {
      {0, 0, false, 0, false},
      {31, 0x7FFFFFFF, false, 0xFFFFFFFEll, false},  // 2^32 - 2, the longest code
      {31, 0x7FFFFFFF, true, -0x7FFFFFFFll, false},  // k = 2^32 - 2
      {31, 0x7FFFFFFE, true, 0x7FFFFFFFll, false},   // k = 2^32 - 3
      {31, 0, false, 0x7FFFFFFFll, false},
      {31, 0, true, 0x40000000ll, false},
      {32, 0, false, 0, true},
      {32, 0xFFFFFFFF, true, 0, true},
      {40, 0, false, 0, true},
  };
  for (const Case& c : cases) {
    Bits b;
    b.u(c.zeros, 0).bit(1).u(c.zeros, c.suffix).u(8, 0xFF);
    Exact e(b.bytes());
    hx_bitpos p = BitPosition(e.data(), e.n);
    EXPECT_EQ(GetVLC(p, c.signedValue), c.expected) << c.zeros << " " << c.suffix;
    EXPECT_EQ(p.failed, c.failed) << c.zeros;
    EXPECT_LE(p.bit, e.n * 8);
  }
}

TEST(HostileBitReader, ExpGolombCutAtEveryBitFails) {
  Bits b;
  b.u(31, 0).bit(1).u(31, 0x55555555);
  Bytes full = b.bytes();  // 63 bits in 8 bytes
  for (size_t n = 0; n < 8; ++n) {
    Exact e(full, n);
    hx_bitpos p = BitPosition(e.data(), n);
    EXPECT_EQ(GetVLC(p, false), 0) << n;
    EXPECT_TRUE(p.failed) << n;
    EXPECT_EQ(BitsLeft(p), 0u) << n;
  }
  // Only zeros, for far longer than any code.
  Exact zeros(Bytes(4096, 0));
  hx_bitpos p = BitPosition(zeros.data(), zeros.n);
  EXPECT_EQ(GetVLC(p, true), 0);
  EXPECT_TRUE(p.failed);
}

// ---------------------------------------------------------------------------------------------
// Bit writer

Bytes WriteWith(size_t size, void (*fill)(h264Bitstream*)) {
  std::unique_ptr<uint8_t[]> buf(new uint8_t[size]);
  std::memset(buf.get(), 0, size);
  h264Bitstream bs;
  InitBitstream(&bs, buf.get(), size);
  fill(&bs);
  size_t n = BitstreamBytes(&bs);
  EXPECT_LE(n, size);
  return Bytes(buf.get(), buf.get() + std::min(n, size));
}

TEST(HostileBitWriter, ExpGolombCodesAndTheirExtremes) {
  EXPECT_EQ(WriteWith(8, [](h264Bitstream* b) { PutVLC_ue(b, 0); }), Bytes{0x80});
  EXPECT_EQ(WriteWith(8, [](h264Bitstream* b) { PutVLC_ue(b, 4); }), Bytes{0x28});
  EXPECT_EQ(WriteWith(8, [](h264Bitstream* b) { PutVLC_te(b, 1, 0); }), Bytes{0x80});
  EXPECT_EQ(WriteWith(8, [](h264Bitstream* b) { PutVLC_te(b, 1, 1); }), Bytes{0x00});
  EXPECT_TRUE(WriteWith(8, [](h264Bitstream* b) { PutVLC_te(b, 0, 5); }).empty());
  EXPECT_TRUE(WriteWith(8, [](h264Bitstream* b) { PutBits(b, 0, 5); }).empty());
  EXPECT_TRUE(WriteWith(8, [](h264Bitstream* b) { PutBits(b, -3, 5); }).empty());
  // 2^32: 32 zeros, then the 33 bits of 2^32 + 1.
  Bytes big = WriteWith(16, [](h264Bitstream* b) { PutVLC_ue(b, 1ull << 32); });
  Bits expect;
  expect.u(32, 0).u(33, (1ull << 32) + 1);
  EXPECT_EQ(big, expect.bytes());
}

TEST(HostileBitWriter, SignedAndUnsignedCodesRoundTripAtTheLimits) {
  for (uint64_t v :
       {0ull, 1ull, 2ull, 0x7FFFFFFFull, 0x80000000ull, 0xFFFFFFFDull, 0xFFFFFFFEull}) {
    uint8_t buf[32] = {};
    h264Bitstream bs;
    InitBitstream(&bs, buf, sizeof buf);
    PutVLC_ue(&bs, v);
    PutTrailingBits(&bs);
    hx_bitpos p = BitPosition(buf, BitstreamBytes(&bs));
    EXPECT_EQ(GetVLC(p, false), static_cast<int64_t>(v));
    EXPECT_FALSE(p.failed) << v;
  }
  for (int32_t v : {0, 1, -1, INT32_MAX, INT32_MIN + 1, INT32_MIN}) {
    uint8_t buf[32] = {};
    h264Bitstream bs;
    InitBitstream(&bs, buf, sizeof buf);
    PutVLC_se(&bs, v);  // INT32_MIN maps to codeNum 2^32, without overflow
    PutTrailingBits(&bs);
    hx_bitpos p = BitPosition(buf, BitstreamBytes(&bs));
    int64_t got = GetVLC(p, true);
    if (v != INT32_MIN) {
      EXPECT_EQ(got, v);
      EXPECT_FALSE(p.failed) << v;
    } else {
      EXPECT_TRUE(p.failed);  // codeNum 2^32 has 32 leading zeros: no reader takes it
    }
  }
}

TEST(HostileBitWriter, StopsAtTheEndOfTinyBuffers) {
  for (size_t size : {0, 1, 2, 4, 5, 6}) {
    std::unique_ptr<uint8_t[]> buf(size ? new uint8_t[size] : nullptr);
    h264Bitstream bs;
    InitBitstream(&bs, buf.get(), size);
    for (int i = 0; i < 100; ++i) {
      PutBit(&bs, 1);
      PutBits(&bs, 32, 0xFFFFFFFF);
      PutVLC_ue(&bs, 1ull << 32);
      PutVLC_se(&bs, INT32_MIN);
      PutVLC_te(&bs, 7, 0xFFFFFFFF);
      PutTrailingBits(&bs);
    }
    EXPECT_LE(BitstreamBytes(&bs), size);
  }
  // PutBits writes nothing when fewer than 5 bytes remain.
  uint8_t buf[4] = {};
  h264Bitstream bs;
  InitBitstream(&bs, buf, 4);
  PutBits(&bs, 8, 0xFF);
  EXPECT_EQ(BitstreamBytes(&bs), 0u);
}

// ---------------------------------------------------------------------------------------------
// Start codes and emulation prevention

TEST(HostileNalHelpers, StartCodesAtTheEdges) {
  struct Case {
    Bytes data;
    size_t from;
    int64_t found;
  } cases[] = {
      {{}, 0, -1},
      {{0, 0, 1}, 0, -1},  // nothing after it
      {{0, 0, 1, 0x67}, 0, 0},
      {{0, 0, 0, 1}, 0, -1},  // at the very end
      {{0, 0, 0, 1, 0x09}, 0, 1},
      {{0x09, 0, 0, 1}, 0, -1},
      {{0, 0, 1, 0x67}, 1, -1},
      {{0, 0, 1, 0x67}, 4, -1},
      {{0, 0, 1, 0x67}, 1000, -1},  // `from` past the end
      {{0, 0, 1, 0x67}, SIZE_MAX, -1},
  };
  for (const Case& c : cases) {
    Exact e(c.data);
    EXPECT_EQ(hx::bitstream::FindStartCode(e.data(), e.n, c.from), c.found) << c.data.size();
  }
  EXPECT_EQ(hx::bitstream::UnitSize(nullptr, 0), 0u);
  Exact two({0x67, 0});
  EXPECT_EQ(hx::bitstream::UnitSize(two.data(), 2), 2u);
  Exact tail({0x67, 0, 0, 1});
  EXPECT_EQ(hx::bitstream::UnitSize(tail.data(), 4), 1u);
}

TEST(HostileNalHelpers, EmulationPreventionAtTheEnd) {
  struct Case {
    Bytes in, out;
  } cases[] = {
      {{}, {}},
      {{3}, {3}},
      {{0, 0, 3}, {0, 0}},
      {{0x67, 0, 0, 3}, {0x67, 0, 0}},
      {{0, 0, 3, 3}, {0, 0, 3}},
      {{0, 0, 3, 0, 0, 3}, {0, 0, 0, 0}},
      {{0, 3, 0, 0, 3, 1}, {0, 3, 0, 0, 1}},
  };
  for (const Case& c : cases) {
    Exact e(c.in);
    std::vector<uint8_t> out = {0xEE};
    hx::bitstream::RemoveEmulationPrevention(e.data(), e.n, &out);
    EXPECT_EQ(out, c.out) << c.in.size();
  }
}

TEST(HostileNalHelpers, ExtractRtpDataFillsExactlySizedOutputsAndUndoes) {
  std::mt19937 rng(7);
  for (int round = 0; round < 400; ++round) {
    int length = round % 40;
    Bytes payload(length);
    for (uint8_t& b : payload) b = (rng() % 3 == 0) ? rng() % 4 : 0;
    if (round % 5 == 0) std::fill(payload.begin(), payload.end(), 0);
    if (length > 0) payload[0] = 0x65;  // a NAL header byte is never zero here
    Exact in(payload);
    size_t cap = length > 0 ? 4 + length + (length - 1) / 2 : 0;
    std::unique_ptr<uint8_t[]> out(cap ? new uint8_t[cap] : nullptr);
    int outLength = -5;
    ExtractRTPData(in.data(), length, out.get(), outLength);
    if (length == 0) {
      EXPECT_EQ(outLength, 0);
      continue;
    }
    ASSERT_GE(outLength, 4 + length);
    ASSERT_LE(static_cast<size_t>(outLength), cap);
    EXPECT_EQ(Bytes(out.get(), out.get() + 4), (Bytes{0, 0, 0, 1}));
    std::vector<uint8_t> back;
    hx::bitstream::RemoveEmulationPrevention(out.get() + 4, outLength - 4, &back);
    EXPECT_EQ(back, payload) << round;
    EXPECT_FALSE(ContainsEscapable(out.get() + 4, outLength - 4)) << round;
  }
  Exact example({0x65, 0, 0, 1});
  uint8_t out[9];
  int outLength = 0;
  ExtractRTPData(example.data(), 4, out, outLength);
  EXPECT_EQ(Bytes(out, out + outLength), (Bytes{0, 0, 0, 1, 0x65, 0, 0, 3, 1}));
  int negative = 9;
  ExtractRTPData(example.data(), -4, nullptr, negative);
  EXPECT_EQ(negative, 0);
}

// The first byte counts toward a zero run: 00 | 00 03 must not go out unescaped (it would read
// back as 00 00), nor 00 | 00 00 yield 00 00 00 inside the unit.
TEST(HostileNalHelpers, ExtractRtpDataCountsTheFirstByteTowardZeroRuns) {
  for (const Bytes& payload : {Bytes{0, 0, 3, 0x80}, Bytes{0, 0, 0, 0x80}, Bytes{0, 0, 1}}) {
    Exact in(payload);
    uint8_t out[16] = {};
    int outLength = 0;
    ExtractRTPData(in.data(), in.size(), out, outLength);
    ASSERT_GE(outLength, 4);
    std::vector<uint8_t> back;
    hx::bitstream::RemoveEmulationPrevention(out + 4, outLength - 4, &back);
    EXPECT_EQ(back, payload);
    EXPECT_FALSE(ContainsEscapable(out + 4, outLength - 4));
  }
}

// ---------------------------------------------------------------------------------------------
// H.264

TEST(HostileH264, TheReferenceParameterSetGives1080) {
  int w, h;
  EXPECT_EQ(NalResolution(Unit(Sps1080()), &w, &h), 0);
  EXPECT_EQ(w, 1920);
  EXPECT_EQ(h, 1080);
  EXPECT_EQ(StreamResolution264(Cat({kStart, Unit(Sps1080())}), &w, &h), 0);
  EXPECT_EQ(h, 1080);
}

TEST(HostileH264, StreamShapes) {
  Bytes sps = Unit(Sps1080());
  struct Case {
    Bytes stream;
    int result;
  } cases[] = {
      {{}, -1},
      {{0, 0, 1}, -1},
      {{0x67, 0x42, 0, 0, 1}, -1},  // start code at the very end
      {{0, 0, 1, 0x65}, -2},        // IDR slice, no parameter set
      {{0, 0, 0, 1, 0x65, 0x88}, -2},
      {{0, 0, 1, 0x41, 0x9A}, -1},
      {Cat({{0, 0, 1, 0x09, 0x10}, {0, 0, 1, 0x68, 0xCE}, kStart, sps}), 0},
      {Cat({{0, 0, 1, 0x65, 0x88}, kStart, sps}), -2},
      {Cat({{0, 0, 1, 0x41, 0x88}, kStart, sps}), -1},
      // A malformed parameter set is passed over: the end of the stream answers.
      {{0, 0, 1, 0x67}, -1},
      {{0, 0, 1, 0x67, 0x42, 0, 0x1E}, -1},
      {Cat({{0, 0, 1, 0x67, 0x42, 0, 0x1E}, kStart, sps}), 0},
  };
  for (const Case& c : cases) {
    int w, h;
    EXPECT_EQ(StreamResolution264(c.stream, &w, &h), c.result) << c.stream.size();
  }
}

TEST(HostileH264, NullAndNonPositiveLengths) {
  int w = 0, h = 0;
  Exact one({0x67});
  for (int length : {0, -1, INT_MIN}) {
    EXPECT_EQ(ResolutionFromNAL_H264(length ? one.data() : nullptr, length, w, h), -1);
    EXPECT_EQ(ResolutionFromBitstream_H264(length ? one.data() : nullptr, length, w, h), -1);
    EXPECT_EQ(TypeSliceFromNAL_H264(length ? one.data() : nullptr, length), -1);
    int delta = 5;
    EXPECT_EQ(TypeSliceFromBitstream_H264(length ? one.data() : nullptr, length, delta), -1);
    EXPECT_EQ(delta, 1);
    hx_sps sps;
    const uint8_t* nal = one.data();
    int nalSize = 0;
    EXPECT_EQ(SPSFromNAL_H264(length ? one.data() : nullptr, length, &sps), -1);
    EXPECT_EQ(SPSFromBitstream_H264(length ? one.data() : nullptr, length, &sps, nal, nalSize), -1);
    bool isSps = true;
    int size = 7;
    EXPECT_EQ(IsBitstreamSPS_264(length ? one.data() : nullptr, length, isSps, size), nullptr);
    PrintBitsrreamNAL_264(length ? one.data() : nullptr, length);
  }
}

TEST(HostileH264, ParameterSetsCutAtEveryByte) {
  for (const hx_sps& s : {Sps1080(), SpsEverything()}) {
    Bytes full = Unit(s);
    Bytes rbsp = EncodeSps(s);
    int w0, h0;
    ASSERT_EQ(NalResolution(full, &w0, &h0), 0);
    for (size_t n = 1; n < full.size(); ++n) {
      Bytes cut(full.begin(), full.begin() + n);
      int w, h;
      int r = NalResolution(cut, &w, &h);
      EXPECT_TRUE(r == -2 || (r == 0 && w == w0 && h == h0)) << n << " " << r;
      r = StreamResolution264(Cat({kStart, cut}), &w, &h);
      EXPECT_TRUE(r == -1 || (r == 0 && w == w0 && h == h0)) << n << " " << r;
      if (n >= rbsp.size()) continue;
      cut.assign(rbsp.begin(), rbsp.begin() + n);
      hx_sps got;
      got.level_idc = 0xABCD;
      r = SPSFromNAL_H264(Exact(cut).data(), static_cast<int>(n), &got);
      // The record needs the whole set, VUI included.
      if (r != 0) EXPECT_EQ(got.level_idc, 0xABCDu) << "written on " << r;
      EXPECT_TRUE(r == -2 || r == 0) << n;
    }
  }
}

TEST(HostileH264, SizesThatOverflowOrCropAwayThePicture) {
  struct Case {
    const char* name;
    Lies lie;
    uint32_t frame_mbs_only;
    int result;
    int width, height;
  };
  auto lie = [](int64_t w, int64_t h, int64_t l, int64_t r, int64_t t, int64_t b) {
    Lies x;
    x.width_minus1 = w;
    x.height_minus1 = h;
    x.crop[0] = l;
    x.crop[1] = r;
    x.crop[2] = t;
    x.crop[3] = b;
    return x;
  };
  const Case cases[] = {
      {"largest width", lie(134217726, 0, 0, 0, 0, 0), 1, 0, 2147483632, 16},
      {"width 2^31", lie(134217727, 0, 0, 0, 0, 0), 1, -2, 0, 0},
      {"width 2^36", lie(0xFFFFFFFEll, 0, 0, 0, 0, 0), 1, -2, 0, 0},
      {"largest field height", lie(0, 67108862, 0, 0, 0, 0), 0, 0, 16, 2147483616},
      {"field height 2^31", lie(0, 67108863, 0, 0, 0, 0), 0, -2, 0, 0},
      {"field height 2^37", lie(0, 0xFFFFFFFEll, 0, 0, 0, 0), 0, -2, 0, 0},
      {"crop to 2", lie(0, 0, 3, 4, 0, 0), 1, 0, 2, 16},
      {"crop to 0", lie(0, 0, 4, 4, 0, 0), 1, -2, 0, 0},
      {"crop past", lie(0, 0, 5, 4, 0, 0), 1, -2, 0, 0},
      {"crop 2^32 - 2", lie(0, 0, 0xFFFFFFFEll, 0, 0, 0), 1, -2, 0, 0},
      {"crop sum wraps 32 bits", lie(0, 0, 0xFFFFFFFEll, 3, 0, 0), 1, -2, 0, 0},
      {"crop halves of 2^32", lie(0, 0, 0x80000000ll, 0x80000000ll, 0, 0), 1, -2, 0, 0},
      {"crop x2 wraps", lie(0, 0, 0x80000000ll, 0, 0, 0), 1, -2, 0, 0},
      {"field crop to 4", lie(0, 0, 0, 0, 3, 4), 0, 0, 16, 4},
      {"field crop to 0", lie(0, 0, 0, 0, 4, 4), 0, -2, 0, 0},
      {"field crop x4 wraps", lie(0, 0, 0, 0, 0x40000000ll, 0), 0, -2, 0, 0},
      {"big picture big crop", lie(134217726, 0, 0x7FFFFFFFll, 0x7FFFFFFFll, 0, 0), 1, -2, 0, 0},
  };
  for (const Case& c : cases) {
    hx_sps s = Sps1080();
    s.frame_mbs_only_flag = c.frame_mbs_only;
    int w, h;
    int r = NalResolution(Unit(s, c.lie), &w, &h);
    EXPECT_EQ(r, c.result) << c.name;
    if (r == 0 && c.result == 0) {
      EXPECT_EQ(w, c.width) << c.name;
      EXPECT_EQ(h, c.height) << c.name;
    }
    hx_sps got;
    Bytes nal = EncodeSps(s, c.lie);
    EXPECT_EQ(SPSFromNAL_H264(Exact(nal).data(), static_cast<int>(nal.size()), &got), c.result)
        << c.name;
  }
}

TEST(HostileH264, ChromaFormatsAndTheirCropUnits) {
  struct Case {
    int64_t chroma;
    int result;
    int width, height;  // 1 x 1 macroblock, crop 1 on each side
  } cases[] = {
      {0, 0, 14, 14}, {1, 0, 12, 12}, {2, 0, 12, 14},         {3, 0, 14, 14},
      {4, -2, 0, 0},  {31, -2, 0, 0}, {0x7FFFFFFF, -2, 0, 0}, {0xFFFFFFFEll, -2, 0, 0},
  };
  for (const Case& c : cases) {
    hx_sps s = Sps1080();
    s.profile_idc = 100;
    s.pic_width_in_mbs = s.pic_height_in_map_units = 1;
    s.frame_crop_left_offset = s.frame_crop_right_offset = 1;
    s.frame_crop_top_offset = s.frame_crop_bottom_offset = 1;
    Lies lie;
    lie.chroma_format_idc = c.chroma;
    int w, h;
    EXPECT_EQ(NalResolution(Unit(s, lie), &w, &h), c.result) << c.chroma;
    if (c.result == 0) {
      EXPECT_EQ(w, c.width) << c.chroma;
      EXPECT_EQ(h, c.height) << c.chroma;
    }
  }
}

TEST(HostileH264, ScalingListsAndPictureOrderCycles) {
  struct Case {
    const char* name;
    uint32_t profile;
    int64_t chroma;
    int lists;
    int64_t delta;
    int64_t cycle;
    int result;
  } cases[] = {
      {"8 lists", 100, 1, 1, 8, 255, 0},
      {"12 lists", 244, 3, 1, -8, 255, 0},
      {"extreme deltas", 122, 2, 1, INT32_MIN + 1, 0, 0},
      {"cycle 256", 66, 1, 0, 0, 256, -2},
      {"cycle 2^32 - 2", 66, 1, 0, 0, 0xFFFFFFFEll, -2},
      {"cycle 2^31", 77, 1, 0, 0, 0x80000000ll, -2},
  };
  for (const Case& c : cases) {
    hx_sps s = SpsEverything();
    s.profile_idc = c.profile;
    s.chroma_format_idc = static_cast<uint32_t>(c.chroma);
    s.seq_scaling_matrix_present_flag = 0;
    Lies lie;
    lie.scaling_lists_present = c.lists;
    lie.scaling_delta = c.delta;
    lie.poc_cycle = c.cycle;
    Bytes nal = EncodeSps(s, lie);
    int w, h;
    EXPECT_EQ(NalResolution(Escape(nal), &w, &h), c.result) << c.name;
    if (c.result == 0) {
      EXPECT_EQ(w, 240 * 16 - 3 * (c.chroma == 3 ? 1 : 2)) << c.name;
    }
    hx_sps got;
    int r = SPSFromNAL_H264(Exact(nal).data(), static_cast<int>(nal.size()), &got);
    EXPECT_EQ(r, c.result) << c.name;
    if (r == 0) {
      EXPECT_EQ(got.seq_scaling_matrix_present_flag, 1u) << c.name;
      EXPECT_EQ(got.num_ref_frames_in_pic_order_cnt_cycle, c.cycle) << c.name;
      EXPECT_EQ(got.vui, s.vui) << c.name;
    }
  }
}

TEST(HostileH264, RecordOfTheFullestParameterSet) {
  hx_sps s = SpsEverything();
  Bytes nal = EncodeSps(s);
  hx_sps got;
  ASSERT_EQ(SPSFromNAL_H264(Exact(nal).data(), static_cast<int>(nal.size()), &got), 0);
  hx_sps want = s;
  want.log2_max_pic_order_cnt_lsb = got.log2_max_pic_order_cnt_lsb;  // not coded for type 1
  EXPECT_EQ(got, want);
}

TEST(HostileH264, VuiCountsAndCuts) {
  for (int entries : {31, 32}) {
    hx_vui v = FullVui();
    v.vcl_hrd_parameters_present_flag = 0;
    v.vcl_hrd = hx_hrd();
    v.nal_hrd.cpb_cnt_minus1 = entries;
    Bits b;
    WriteVui(b, v);
    b.u(16, 0xBEEF);
    Exact e(b.bytes());
    hx_bitpos p = BitPosition(e.data(), e.n);
    hx_vui got;
    int r = ParseVUI_H264(&got, p);
    if (entries == 31) {
      EXPECT_EQ(r, 0);
      EXPECT_EQ(got, v);
      EXPECT_EQ(GetBits(p, 16), 0xBEEFu);
    } else {
      EXPECT_EQ(r, -2);
    }
  }
  for (uint64_t lie : {0xFFFFFFFEull, 0x80000000ull, 1000ull}) {
    Bits b;
    b.u(5, 0).bit(1).ue(lie).u(8, 0xFF);  // NAL HRD counting `lie` + 1 CPBs
    Exact e(b.bytes());
    hx_bitpos p = BitPosition(e.data(), e.n);
    hx_vui got;
    EXPECT_EQ(ParseVUI_H264(&got, p), -2) << lie;
  }
  Bits b;
  WriteVui(b, FullVui());
  Bytes full = b.bytes();
  for (size_t n = 0; n + 1 < full.size(); ++n) {
    Exact e(full, n);
    hx_bitpos p = BitPosition(e.data(), n);
    hx_vui got;
    EXPECT_EQ(ParseVUI_H264(&got, p), -2) << n;
  }
}

TEST(HostileH264, VuiWriterRefusesMoreThan32Entries) {
  for (uint32_t count : {32u, 1000u, 0xFFFFFFFFu}) {
    hx_vui v = FullVui();
    v.vcl_hrd.cpb_cnt_minus1 = count;
    std::vector<uint8_t> buf(4096);
    h264Bitstream bs;
    InitBitstream(&bs, buf.data(), buf.size());
    EXPECT_FALSE(WriteVUI_H264(&v, &bs)) << count;
  }
  hx_vui v = FullVui();
  uint8_t buf[4096] = {};
  h264Bitstream bs;
  InitBitstream(&bs, buf, sizeof buf);
  ASSERT_TRUE(WriteVUI_H264(&v, &bs));
  PutBits(&bs, 16, 0xBEEF);
  hx_bitpos p = BitPosition(buf, BitstreamBytes(&bs));
  hx_vui got;
  EXPECT_EQ(ParseVUI_H264(&got, p), 0);
  EXPECT_EQ(got, v);
  EXPECT_EQ(GetBits(p, 16), 0xBEEFu);
}

TEST(HostileH264, TypeSliceOfEveryNalType) {
  for (int header = 0; header < 256; ++header) {
    Exact e({static_cast<uint8_t>(header), 0x88, 0x84});
    int type = header & 0x1F;
    int want = type == 1 ? -1 : type == 5 ? 0 : -2;
    EXPECT_EQ(TypeSliceFromNAL_H264(e.data(), 3), want) << header;
    Exact one({static_cast<uint8_t>(header)});
    EXPECT_EQ(TypeSliceFromNAL_H264(one.data(), 1), want) << header;
  }
  struct Case {
    Bytes stream;
    int result, delta;
  } cases[] = {
      {{0, 0, 1, 0x67, 0x42, 0, 0, 1, 0x68, 0xCE, 0, 0, 1, 0x65}, 0, 0},
      {{0, 0, 1, 0x67, 0x42, 0, 0, 1, 0x41, 0x9A, 0, 0, 1, 0x65, 0x88}, -1, 1},
      {{0, 0, 1, 0x67, 0x42, 0, 0, 1, 0x68}, -1, 1},
      {{0x65, 0x88, 0x84, 0, 0, 1}, -1, 1},
      {{0, 0, 1}, -1, 1},
  };
  for (const Case& c : cases) {
    Exact e(c.stream);
    int delta = 9;
    EXPECT_EQ(TypeSliceFromBitstream_H264(e.data(), e.size(), delta), c.result) << c.stream.size();
    EXPECT_EQ(delta, c.delta) << c.stream.size();
  }
}

TEST(HostileH264, FirstUnitAndItsSize) {
  struct Case {
    Bytes stream;
    int offset;  // of the pointer, -1 for none
    int size;
    bool sps;
  } cases[] = {
      {{0, 0, 1, 0x67, 0x42, 0, 0, 1, 0x68}, 0, 5, true},
      {{0xFF, 0, 0, 0, 1, 0x68, 0xCE}, 2, 5, false},
      {{0, 0, 1, 0x67}, 0, 4, true},
      {{0, 0, 1}, -1, 0, false},
      {{0x67, 0x42, 0x00, 0x00}, -1, 0, false},
  };
  for (const Case& c : cases) {
    Exact e(c.stream);
    bool isSps = !c.sps;
    int size = -9;
    const uint8_t* p = IsBitstreamSPS_264(e.data(), e.size(), isSps, size);
    if (c.offset < 0) {
      EXPECT_EQ(p, nullptr) << c.stream.size();
      continue;
    }
    ASSERT_EQ(p, e.data() + c.offset);
    EXPECT_EQ(size, c.size);
    EXPECT_EQ(isSps, c.sps);
  }
  struct Size {
    Bytes nal;
    int size;
  } sizes[] = {{{}, 0}, {{0x67}, 1}, {{0x67, 0, 0}, 3}, {{0x67, 0, 0, 1}, 1}, {{0, 0, 1}, 0}};
  for (const Size& s : sizes) {
    Exact e(s.nal);
    EXPECT_EQ(GetNALSize(e.data(), e.size()), s.size) << s.nal.size();
  }
}

TEST(HostileH264, SpsFromBitstreamRemovesEscapesAndPointsAtTheUnit) {
  hx_sps s = Sps1080();
  s.profile_idc = 0;  // zero bytes that need escaping
  s.level_idc = 0;
  s.seq_parameter_set_id = 0;
  Bytes rbsp = EncodeSps(s);
  Bytes escaped = Escape(rbsp);
  ASSERT_NE(escaped, rbsp);
  Bytes stream = Cat({{0, 0, 1, 0x09, 0xF0}, {0, 0, 0, 1}, escaped, {0, 0, 1, 0x68, 0xCE}});
  Exact e(stream);
  hx_sps got;
  const uint8_t* nal = nullptr;
  int nalSize = 0;
  ASSERT_EQ(SPSFromBitstream_H264(e.data(), e.size(), &got, nal, nalSize), 0);
  EXPECT_EQ(got.pic_width_in_mbs, 120u);
  EXPECT_EQ(got.frame_crop_bottom_offset, 4u);
  ASSERT_NE(nal, nullptr);
  EXPECT_EQ(Bytes(nal, nal + nalSize), Cat({kStart, escaped}).size() == static_cast<size_t>(nalSize)
                                           ? Cat({kStart, escaped})
                                           : Cat({{0}, kStart, escaped}));

  // Cut at every byte, the escape byte at the end included: never 0 with a wrong record.
  Bytes unit = Cat({kStart, escaped});
  for (size_t n = 0; n < unit.size(); ++n) {
    Exact cut(unit, n);
    hx_sps rec;
    rec.level_idc = 0xABCD;
    const uint8_t* p = nullptr;
    int size = 0;
    int r = SPSFromBitstream_H264(cut.data(), cut.size(), &rec, p, size);
    EXPECT_TRUE(r == -1 || r == -2 || r == 0) << n;
    if (r == 0) EXPECT_EQ(rec.pic_width_in_mbs, 120u) << n;
    if (r != 0) EXPECT_EQ(rec.level_idc, 0xABCDu) << n;
    if (p) {
      EXPECT_GE(p, cut.data());
      EXPECT_LE(p + size, cut.data() + cut.size());
    }
  }
}

// Writes the record with an exactly-sized buffer and with one a byte short.
void CheckWriterCapacity(const hx_sps& s, const char* name) {
  std::vector<uint8_t> big(1 << 16);
  int need = SPSToNAL_H264(big.data(), static_cast<int>(big.size()), &s);
  ASSERT_GT(need, 4) << name;
  Bytes written(big.begin(), big.begin() + need);
  EXPECT_EQ(Bytes(written.begin(), written.begin() + 4), (Bytes{0, 0, 0, 1})) << name;
  EXPECT_FALSE(ContainsEscapable(written.data() + 4, written.size() - 4)) << name;

  std::unique_ptr<uint8_t[]> exact(new uint8_t[need]);
  EXPECT_EQ(SPSToNAL_H264(exact.get(), need, &s), need) << name;
  EXPECT_EQ(Bytes(exact.get(), exact.get() + need), written) << name;

  std::unique_ptr<uint8_t[]> shortBuf(new uint8_t[need - 1]);
  std::memset(shortBuf.get(), 0xEE, need - 1);
  EXPECT_EQ(SPSToNAL_H264(shortBuf.get(), need - 1, &s), 0) << name;
  EXPECT_EQ(Bytes(shortBuf.get(), shortBuf.get() + need - 1), Bytes(need - 1, 0xEE)) << name;

  // Read back: the unit gives the same record.
  hx_sps got;
  const uint8_t* nal = nullptr;
  int nalSize = 0;
  ASSERT_EQ(SPSFromBitstream_H264(exact.get(), need, &got, nal, nalSize), 0) << name;
  EXPECT_EQ(got, s) << name;
}

hx_sps Parsed(const hx_sps& s) {
  Bytes nal = EncodeSps(s);
  hx_sps got;
  EXPECT_EQ(SPSFromNAL_H264(nal.data(), static_cast<int>(nal.size()), &got), 0);
  return got;
}

TEST(HostileH264, WriterRoundTripsAtExactCapacity) {
  hx_sps zeros = Sps1080();
  zeros.profile_idc = 0;
  zeros.level_idc = 0;
  hx_sps poc0 = SpsEverything();
  poc0.pic_order_cnt_type = 0;
  poc0.log2_max_pic_order_cnt_lsb = 16;
  poc0.num_ref_frames_in_pic_order_cnt_cycle = 0;
  std::fill(std::begin(poc0.offset_for_ref_frame), std::end(poc0.offset_for_ref_frame), 0);
  poc0.offset_for_non_ref_pic = poc0.offset_for_top_to_bottom_field = 0;
  poc0.delta_pic_order_always_zero_flag = 0;
  CheckWriterCapacity(Parsed(Sps1080()), "1080");
  CheckWriterCapacity(Parsed(zeros), "escapes");
  CheckWriterCapacity(Parsed(SpsEverything()), "everything");
  CheckWriterCapacity(Parsed(poc0), "poc type 0");
}

TEST(HostileH264, WriterGivenRecordsWithOutOfRangeFields) {
  struct Case {
    const char* name;
    void (*edit)(hx_sps&);
    bool refused;  // the record counts more than it can hold
  } cases[] = {
      {"cycle 256", [](hx_sps& s) { s.num_ref_frames_in_pic_order_cnt_cycle = 256; }, true},
      {"cycle 2^32 - 1", [](hx_sps& s) { s.num_ref_frames_in_pic_order_cnt_cycle = 0xFFFFFFFF; },
       true},
      {"nal cpb 32", [](hx_sps& s) { s.vui.nal_hrd.cpb_cnt_minus1 = 32; }, true},
      {"vcl cpb 2^32 - 1", [](hx_sps& s) { s.vui.vcl_hrd.cpb_cnt_minus1 = 0xFFFFFFFF; }, true},
      {"width 0", [](hx_sps& s) { s.pic_width_in_mbs = 0; }, false},
      {"height 0", [](hx_sps& s) { s.pic_height_in_map_units = 0; }, false},
      {"log2 frame num 0", [](hx_sps& s) { s.log2_max_frame_num = 0; }, false},
      {"bit depth 0", [](hx_sps& s) { s.bit_depth_luma = s.bit_depth_chroma = 0; }, false},
      {"chroma 2^32 - 1", [](hx_sps& s) { s.chroma_format_idc = 0xFFFFFFFF; }, false},
      {"poc type 2^32 - 1", [](hx_sps& s) { s.pic_order_cnt_type = 0xFFFFFFFF; }, false},
      {"every field maximal",
       [](hx_sps& s) {
         s.nal_header = s.profile_idc = s.level_idc = 0xFFFFFFFF;
         s.seq_parameter_set_id = s.max_num_ref_frames = 0xFFFFFFFF;
         s.pic_width_in_mbs = s.pic_height_in_map_units = 0xFFFFFFFF;
         s.frame_crop_left_offset = s.frame_crop_bottom_offset = 0xFFFFFFFF;
         s.vui.aspect_ratio_idc = s.vui.sar_width = s.vui.video_format = 0xFFFFFFFF;
         s.vui.max_dec_frame_buffering = s.vui.chroma_sample_loc_type_top_field = 0xFFFFFFFF;
       },
       false},
  };
  for (const Case& c : cases) {
    hx_sps s = SpsEverything();
    s.profile_idc = 100;
    s.chroma_format_idc = 1;
    c.edit(s);
    std::vector<uint8_t> big(1 << 16);
    int n = SPSToNAL_H264(big.data(), static_cast<int>(big.size()), &s);
    if (c.refused) {
      EXPECT_EQ(n, 0) << c.name;
      continue;
    }
    ASSERT_GE(n, 0) << c.name;
    if (n == 0) continue;
    std::unique_ptr<uint8_t[]> exact(new uint8_t[n]);
    EXPECT_EQ(SPSToNAL_H264(exact.get(), n, &s), n) << c.name;
    std::unique_ptr<uint8_t[]> shortBuf(new uint8_t[n - 1]);
    EXPECT_EQ(SPSToNAL_H264(shortBuf.get(), n - 1, &s), 0) << c.name;
  }
  hx_sps s = Sps1080();
  for (int capacity : {0, -1, INT_MIN, 4}) {
    uint8_t four[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(SPSToNAL_H264(capacity > 0 ? four : nullptr, capacity, &s), 0) << capacity;
  }
}

// What the writer emits for a record with a field outside its syntax width: either nothing, or a
// unit that reads back whole.
struct OutOfRange {
  const char* name;
  void (*edit)(hx_sps&);
};

int WriteAndReadBack(const hx_sps& s, hx_sps* back) {
  std::vector<uint8_t> big(1 << 16);
  int n = SPSToNAL_H264(big.data(), static_cast<int>(big.size()), &s);
  if (n <= 0) return 1;
  Exact e(Bytes(big.begin(), big.begin() + n));
  const uint8_t* nal = nullptr;
  int nalSize = 0;
  return SPSFromBitstream_H264(e.data(), e.size(), back, nal, nalSize);
}

const OutOfRange kWideFields[] = {
    {"frame_mbs_only_flag 2", [](hx_sps& s) { s.frame_mbs_only_flag = 2; }},
    {"frame_cropping_flag 2", [](hx_sps& s) { s.frame_cropping_flag = 2; }},
    {"vui_parameters_present_flag 2", [](hx_sps& s) { s.vui_parameters_present_flag = 2; }},
    {"delta_pic_order_always_zero_flag 2",
     [](hx_sps& s) { s.delta_pic_order_always_zero_flag = 2; }},
    {"seq_scaling_matrix_present_flag 2", [](hx_sps& s) { s.seq_scaling_matrix_present_flag = 2; }},
    {"separate_colour_plane_flag 2", [](hx_sps& s) { s.separate_colour_plane_flag = 2; }},
    {"aspect_ratio_info_present_flag 2",
     [](hx_sps& s) { s.vui.aspect_ratio_info_present_flag = 2; }},
    {"aspect_ratio_idc 0x1FE", [](hx_sps& s) { s.vui.aspect_ratio_idc = 0x1FE; }},
    {"video_signal_type_present_flag 2",
     [](hx_sps& s) { s.vui.video_signal_type_present_flag = 2; }},
    {"colour_description_present_flag 2",
     [](hx_sps& s) { s.vui.colour_description_present_flag = 2; }},
    {"timing_info_present_flag 2", [](hx_sps& s) { s.vui.timing_info_present_flag = 2; }},
    {"nal_hrd_parameters_present_flag 2",
     [](hx_sps& s) { s.vui.nal_hrd_parameters_present_flag = 2; }},
    {"vcl_hrd_parameters_present_flag 2",
     [](hx_sps& s) { s.vui.vcl_hrd_parameters_present_flag = 2; }},
    {"bitstream_restriction_flag 2", [](hx_sps& s) { s.vui.bitstream_restriction_flag = 2; }},
    {"overscan_info_present_flag 2", [](hx_sps& s) { s.vui.overscan_info_present_flag = 2; }},
    {"chroma_loc_info_present_flag 2", [](hx_sps& s) { s.vui.chroma_loc_info_present_flag = 2; }},
};

void CheckReadsBack(const OutOfRange* cases, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    hx_sps s = Parsed(SpsEverything());
    cases[i].edit(s);
    hx_sps back;
    int r = WriteAndReadBack(s, &back);
    EXPECT_TRUE(r == 1 || r == 0) << cases[i].name << ": read back " << r;
  }
}

TEST(HostileH264, WriterTakesFlagsAboveOneConsistently) {
  CheckReadsBack(kWideFields, std::size(kWideFields));
}

// Values the writer cannot express in the syntax; each is written and answered as a success, but
// the unit does not read back.
const OutOfRange kUnwritable[] = {
    {"aspect_ratio_idc 0x1FF", [](hx_sps& s) { s.vui.aspect_ratio_idc = 0x1FF; }},
    {"pic_order_cnt_type 2^32 - 1", [](hx_sps& s) { s.pic_order_cnt_type = 0xFFFFFFFF; }},
    {"pic_width_in_mbs 0", [](hx_sps& s) { s.pic_width_in_mbs = 0; }},
    {"offset_for_ref_frame INT32_MIN", [](hx_sps& s) { s.offset_for_ref_frame[0] = INT32_MIN; }},
    {"chroma_format_idc 4", [](hx_sps& s) { s.chroma_format_idc = 4; }},
};

// The writer never answers success for a unit no reader takes: aspect_ratio_idc 0x1FF would be
// written as 255 without the SAR that 255 announces; ue codes of 2^32 - 1 and 2^32 (width 0,
// picture-order type 2^32 - 1, offset INT32_MIN) have 32 leading zeros; chroma_format_idc 4 is
// refused on read.
TEST(HostileH264, WriterRefusesValuesItCannotExpress) {
  CheckReadsBack(kUnwritable, std::size(kUnwritable));
}

TEST(HostileH264, ManySmallUnitsAndGarbageNeverHang) {
  Bytes aud;
  for (int i = 0; i < 20000; ++i) aud.insert(aud.end(), {0, 0, 1, 0x09});
  int w, h;
  EXPECT_EQ(StreamResolution264(aud, &w, &h), -1);
  Exact e(aud);
  int delta = 0;
  EXPECT_EQ(TypeSliceFromBitstream_H264(e.data(), e.size(), delta), -1);
  hx_sps sps;
  const uint8_t* nal = nullptr;
  int nalSize = 0;
  EXPECT_EQ(SPSFromBitstream_H264(e.data(), e.size(), &sps, nal, nalSize), -1);
  // Thousands of short parameter sets, each read to the next start code: the scan stays linear.
  Bytes sets264, sets265;
  for (int i = 0; i < 20000; ++i) {
    sets264.insert(sets264.end(), {0, 0, 1, 0x67, 0x42, 0x00});
    sets265.insert(sets265.end(), {0, 0, 1, 0x42, 0x01, 0x01});
  }
  EXPECT_EQ(StreamResolution264(sets264, &w, &h), -1);
  Exact x264(sets264);
  EXPECT_EQ(SPSFromBitstream_H264(x264.data(), x264.size(), &sps, nal, nalSize), -1);
  Exact x265(sets265);
  EXPECT_EQ(ResolutionFromBitstream_H265(x265.data(), x265.size(), w, h), -1);
  std::mt19937 rng(3);
  for (int round = 0; round < 300; ++round) {
    Bytes g(1 + rng() % 64);
    for (uint8_t& b : g) b = rng() % 4 == 0 ? 0 : rng();
    g = Cat({{0, 0, 1, static_cast<uint8_t>(0x67)}, g});
    int r = StreamResolution264(g, &w, &h);
    EXPECT_TRUE(r == 0 || r == -1 || r == -2);
    if (r == 0) {
      EXPECT_GT(w, 0);
      EXPECT_GT(h, 0);
    }
    Exact x(g);
    hx_sps rec;
    r = SPSFromBitstream_H264(x.data(), x.size(), &rec, nal, nalSize);
    EXPECT_TRUE(r == 0 || r == -1 || r == -2);
    PrintBitsrreamNAL_264(x.data(), x.size());
  }
}

// ---------------------------------------------------------------------------------------------
// H.265

struct H265Sps {
  int maxSubLayersMinus1 = 0;
  int64_t chroma = 1;
  int64_t width = 1920, height = 1088;
  bool window = true;
  int64_t crop[4] = {0, 0, 0, 4};
  bool zeroProfile = false;
};

void WritePtl(Bits& b, bool profilePresent, int maxSubLayersMinus1, bool zero) {
  if (profilePresent) {
    b.u(2, 0).bit(0).u(5, zero ? 0 : 1).u(32, zero ? 0 : 0x60000000);
    b.u(4, zero ? 0 : 0xB).u(43, 0).bit(0);
  }
  b.u(8, zero ? 0 : 120);
  for (int i = 0; i < maxSubLayersMinus1; ++i) b.bit(1).bit(1);
  if (maxSubLayersMinus1 > 0)
    for (int i = maxSubLayersMinus1; i < 8; ++i) b.u(2, 0);
  for (int i = 0; i < maxSubLayersMinus1; ++i) {
    b.u(2, 0).bit(0).u(5, 1).u(32, 0x60000000).u(4, 0xB).u(43, 0).bit(0);
    b.u(8, 90);
  }
}

Bytes EncodeH265Sps(const H265Sps& c) {
  Bits b;
  b.u(8, 0x42).u(8, 0x01);
  b.u(4, 0).u(3, c.maxSubLayersMinus1).bit(1);
  WritePtl(b, true, c.maxSubLayersMinus1, c.zeroProfile);
  b.ue(0).ue(c.chroma);
  if (c.chroma == 3) b.bit(0);
  b.ue(c.width).ue(c.height).bit(c.window);
  if (c.window)
    for (int64_t v : c.crop) b.ue(v);
  b.ue(0).ue(0).ue(4);  // bit depths, log2_max_pic_order_cnt_lsb_minus4
  b.trailing();
  Bytes rbsp = b.bytes();
  Bytes head(rbsp.begin(), rbsp.begin() + 2);
  return Cat({head, Escape(Bytes(rbsp.begin() + 2, rbsp.end()))});
}

int StreamResolution265(const Bytes& stream, int* w, int* h) {
  Exact e(stream);
  *w = *h = -7;
  return ResolutionFromBitstream_H265(e.data(), e.size(), *w, *h);
}

TEST(HostileH265, ProfileTierLevelSkipsExactlyItsBits) {
  for (int layers = 0; layers <= 7; ++layers) {
    for (bool present : {true, false}) {
      Bits b;
      WritePtl(b, present, layers, false);
      uint64_t bits = b.count();
      b.u(16, 0xBEEF);
      Exact e(b.bytes());
      hx_bitpos p = BitPosition(e.data(), e.n);
      profile_tier_level(present, layers, p);
      EXPECT_FALSE(p.failed) << layers;
      EXPECT_EQ(p.bit, bits) << layers << " " << present;
      EXPECT_EQ(GetBits(p, 16), 0xBEEFu) << layers;
    }
  }
}

TEST(HostileH265, ProfileTierLevelWithAbsurdSubLayerCounts) {
  Exact ones(Bytes(64, 0xFF));
  for (int layers : {8, 100, 100000, INT_MAX, -1, -100, INT_MIN}) {
    hx_bitpos p = BitPosition(ones.data(), ones.n);
    profile_tier_level(true, layers, p);
    EXPECT_LE(p.bit, ones.n * 8) << layers;
  }
  for (size_t n = 0; n < 40; ++n) {  // cut short with 7 sub-layers
    Bits b;
    WritePtl(b, true, 7, false);
    Exact e(b.bytes(), std::min(n, b.bytes().size()));
    hx_bitpos p = BitPosition(e.data(), e.n);
    profile_tier_level(true, 7, p);
    EXPECT_TRUE(p.failed) << n;
  }
}

TEST(HostileH265, ParameterSets) {
  auto crop = [](H265Sps c, int64_t l, int64_t r, int64_t t, int64_t b) {
    c.crop[0] = l;
    c.crop[1] = r;
    c.crop[2] = t;
    c.crop[3] = b;
    return c;
  };
  H265Sps base;
  H265Sps six = base;
  six.maxSubLayersMinus1 = 6;
  H265Sps zero = base;
  zero.zeroProfile = true;
  H265Sps noWindow = base;
  noWindow.window = false;
  auto sized = [](int64_t w, int64_t h) {
    H265Sps c;
    c.width = w;
    c.height = h;
    c.window = false;
    return c;
  };
  auto chroma = [](int64_t idc) {
    H265Sps c;
    c.chroma = idc;
    c.width = c.height = 16;
    for (int64_t& v : c.crop) v = 1;
    return c;
  };
  struct Case {
    const char* name;
    H265Sps sps;
    int result, width, height;
  } cases[] = {
      {"1080", base, 0, 1920, 1080},
      {"six sub-layers", six, 0, 1920, 1080},
      {"escaped profile", zero, 0, 1920, 1080},
      {"no window", noWindow, 0, 1920, 1088},
      {"largest", sized(0x7FFFFFFF, 0x7FFFFFFF), 0, 0x7FFFFFFF, 0x7FFFFFFF},
      {"width 2^31", sized(0x80000000ll, 16), -2, 0, 0},
      {"height 2^32 - 2", sized(16, 0xFFFFFFFEll), -2, 0, 0},
      {"width 0", sized(0, 16), -2, 0, 0},
      {"crop to 0", crop(base, 480, 480, 0, 0), -2, 0, 0},
      {"crop past", crop(base, 481, 480, 0, 0), -2, 0, 0},
      {"crop x2 wraps", crop(base, 0x80000000ll, 0, 0, 0), -2, 0, 0},
      {"crop sum wraps", crop(base, 0xFFFFFFFEll, 3, 0, 0), -2, 0, 0},
      {"crop halves", crop(base, 0, 0, 0x80000000ll, 0x80000000ll), -2, 0, 0},
      {"chroma 0", chroma(0), 0, 14, 14},
      {"chroma 2", chroma(2), 0, 12, 14},
      {"chroma 3", chroma(3), 0, 14, 14},
      {"chroma 4", chroma(4), -2, 0, 0},
      {"chroma 2^32 - 2", chroma(0xFFFFFFFEll), -2, 0, 0},
  };
  for (const Case& c : cases) {
    Bytes nal = EncodeH265Sps(c.sps);
    Exact e(nal);
    int w = -7, h = -7;
    EXPECT_EQ(ResolutionFromNAL_H265(e.data(), e.size(), w, h), c.result) << c.name;
    if (c.result == 0) {
      EXPECT_EQ(w, c.width) << c.name;
      EXPECT_EQ(h, c.height) << c.name;
    }
    // A refused parameter set is passed over: the end of the stream answers -1.
    EXPECT_EQ(StreamResolution265(Cat({{0, 0, 0, 1, 0x40, 0x01, 0x0C}, kStart, nal}), &w, &h),
              c.result == -2 ? -1 : c.result)
        << c.name;
  }
}

TEST(HostileH265, SevenSubLayersAndCutsAtEveryByte) {
  H265Sps seven;
  seven.maxSubLayersMinus1 = 7;
  Bytes nal = EncodeH265Sps(seven);
  int w, h;
  int r = StreamResolution265(Cat({kStart, nal}), &w, &h);
  EXPECT_TRUE(r == -2 || (r == 0 && w == 1920 && h == 1080)) << r;

  for (const H265Sps& s : {H265Sps{}, seven}) {
    Bytes full = EncodeH265Sps(s);
    for (size_t n = 0; n < full.size(); ++n) {
      Bytes cut(full.begin(), full.begin() + n);
      Exact e(cut);
      int rr = ResolutionFromNAL_H265(e.data(), e.size(), w, h);
      EXPECT_TRUE(n == 0 ? rr == -1 : (rr == -2 || (rr == 0 && w == 1920 && h == 1080))) << n;
      // The unit ends with an escape byte (its zeros are read as the set's bits), or a start
      // code follows the cut.
      rr = StreamResolution265(Cat({kStart, cut, {0, 0, 3}}), &w, &h);
      EXPECT_TRUE(rr == -1 || rr == -2 || rr == 0) << n;
      rr = StreamResolution265(Cat({kStart, cut, kStart, {0x26, 0x01}}), &w, &h);
      EXPECT_TRUE(rr == -1 || rr == -2 || (rr == 0 && w == 1920 && h == 1080)) << n;
    }
  }
}

TEST(HostileH265, TypesAndStreams) {
  for (int header = 0; header < 256; ++header) {
    Exact e({static_cast<uint8_t>(header), 0x01, 0xAF});
    int type = (header >> 1) & 0x3F;
    int want = (header & 0x80) || type > 21 ? -2 : type < 10 ? -1 : type < 16 ? -2 : 0;
    EXPECT_EQ(TypeSliceFromNAL_H265(e.data(), 3), want) << header;
    Exact one({static_cast<uint8_t>(header)});
    EXPECT_EQ(TypeSliceFromNAL_H265(one.data(), 1), want) << header;
    int w, h;
    int nalWant = (header & 0x80) ? -2 : type < 10 ? -1 : (type >= 16 && type <= 21) ? -3 : -2;
    if (type != 33 || (header & 0x80))
      EXPECT_EQ(ResolutionFromNAL_H265(e.data(), 3, w, h), nalWant) << header;
    else
      EXPECT_EQ(ResolutionFromNAL_H265(e.data(), 3, w, h), -2) << header;
  }
  int w = 0, h = 0, delta = 0;
  EXPECT_EQ(ResolutionFromNAL_H265(nullptr, 0, w, h), -1);
  EXPECT_EQ(ResolutionFromBitstream_H265(nullptr, 0, w, h), -1);
  EXPECT_EQ(TypeSliceFromNAL_H265(nullptr, 0), -1);
  EXPECT_EQ(TypeSliceFromBitstream_H265(nullptr, 0, delta), -1);
  EXPECT_EQ(delta, 1);
  struct Case {
    Bytes stream;
    int resolution, type, delta;
  } cases[] = {
      {{0, 0, 1, 0x2A, 0x01}, -2, 0, 0},                        // CRA first
      {{0, 0, 1, 0x26, 0x01, 0, 0, 1, 0x02, 0x01}, -2, 0, 0},   // IDR_W_RADL, then TRAIL
      {{0, 0, 1, 0x02, 0x01, 0, 0, 1, 0x26, 0x01}, -1, -1, 1},  // TRAIL first
      {{0, 0, 1, 0xA6, 0x01, 0, 0, 1, 0x02, 0x01}, -1, -1, 1},  // forbidden IDR skipped
      {{0, 0, 1, 0x40, 0x01, 0, 0, 1, 0x18, 0x01}, -1, -1, 1},  // VPS, reserved 12, nothing
      {{0, 0, 1, 0x18, 0x01, 0, 0, 1, 0x26, 0x01}, -2, 0, 0},   // reserved 12 skipped
      {{0x26, 0x01, 0, 0, 1}, -1, -1, 1},                       // start code at the end
      {{0, 0, 1}, -1, -1, 1},
  };
  for (const Case& c : cases) {
    Exact e(c.stream);
    int ww, hh, d = 9;
    EXPECT_EQ(ResolutionFromBitstream_H265(e.data(), e.size(), ww, hh), c.resolution)
        << c.stream.size();
    EXPECT_EQ(TypeSliceFromBitstream_H265(e.data(), e.size(), d), c.type) << c.stream.size();
    EXPECT_EQ(d, c.delta);
  }
}

// ---------------------------------------------------------------------------------------------
// H.263

struct H263Header {
  int format = 2;
  int ufep = 1;
  int extended = 2;  // OPPTYPE source format
  bool cpm = false;
  int par = 2, pwi = 87, phi = 72;
};

Bytes EncodeH263(const H263Header& c, int shiftBits = 0) {
  Bits b;
  b.u(shiftBits, 0);
  b.u(22, 0x20).u(8, 0x5A);                             // PSC, TR
  b.bit(1).bit(0).bit(0).bit(0).bit(0).u(3, c.format);  // PTYPE bits 1 to 8
  if (c.format != 7) {
    b.u(5, 0).u(5, 10).bit(0).bit(0).u(8, 0);  // coding type and options, PQUANT, CPM, PEI
  } else {
    b.u(3, c.ufep);
    if (c.ufep == 1) b.u(3, c.extended).u(11, 0).u(4, 8);  // OPPTYPE
    b.u(3, 0).u(3, 0).u(3, 1);                             // MPPTYPE
    b.bit(c.cpm);
    if (c.cpm) b.u(2, 0);
    if (c.ufep == 1 && c.extended == 6) {
      b.u(4, c.par).u(9, c.pwi).bit(1).u(9, c.phi);
      if (c.par == 15) b.u(16, 0x0101);
    }
    b.u(5, 10).bit(0).u(16, 0);
  }
  return b.bytes();
}

TEST(HostileH263, EverySourceFormat) {
  for (int format = 0; format < 8; ++format) {
    H263Header c;
    c.format = format;
    c.extended = 3;
    Exact e(EncodeH263(c));
    int w = -7, h = -7;
    EXPECT_EQ(ResolutionFromBitstream_H263(e.data(), e.size(), w, h), 0) << format;
    int want = format == 7 ? 3 : format;
    EXPECT_EQ(w, kH263FormatResolution[want].width) << format;
    EXPECT_EQ(h, kH263FormatResolution[want].height) << format;
  }
  EXPECT_EQ(kH263FormatResolution[2].width, 176);
  EXPECT_EQ(kH263FormatResolution[2].height, 144);
}

TEST(HostileH263, PlusTypeWithEveryUfepAndExtendedFormat) {
  for (int ufep = 0; ufep < 8; ++ufep) {
    for (int ext = 0; ext < 8; ++ext) {
      for (bool cpm : {false, true}) {
        H263Header c;
        c.format = 7;
        c.ufep = ufep;
        c.extended = ext;
        c.cpm = cpm;
        Exact e(EncodeH263(c));
        int w = -7, h = -7;
        int r = ResolutionFromBitstream_H263(e.data(), e.size(), w, h);
        if (ufep != 1) {
          EXPECT_EQ(r, -1) << ufep;
          continue;
        }
        EXPECT_EQ(r, 0) << ext << " cpm " << cpm;
        if (ext == 6) {
          EXPECT_EQ(w, (87 + 1) * 4) << cpm;
          EXPECT_EQ(h, 72 * 4) << cpm;
        } else {
          EXPECT_EQ(w, kH263FormatResolution[ext].width) << ext;
          EXPECT_EQ(h, kH263FormatResolution[ext].height) << ext;
        }
      }
    }
  }
}

TEST(HostileH263, CustomSizesAtTheirLimits) {
  struct Case {
    int par, pwi, phi;
  } cases[] = {{2, 0, 0}, {2, 0, 1}, {2, 511, 511}, {15, 511, 0}, {0, 0, 0}};
  for (const Case& k : cases) {
    H263Header c;
    c.format = 7;
    c.extended = 6;
    c.par = k.par;
    c.pwi = k.pwi;
    c.phi = k.phi;
    Exact e(EncodeH263(c));
    int w = -7, h = -7;
    int r = ResolutionFromBitstream_H263(e.data(), e.size(), w, h);
    EXPECT_TRUE(r == 0 || r == -2) << k.pwi << " " << k.phi;
    if (r == 0) {
      EXPECT_EQ(w, (k.pwi + 1) * 4);
      EXPECT_EQ(h, k.phi * 4);
    }
  }
}

TEST(HostileH263, CutsShiftsAndNoise) {
  H263Header custom;
  custom.format = 7;
  custom.extended = 6;
  custom.cpm = true;
  for (const H263Header& c : {H263Header{}, custom}) {
    Bytes full = EncodeH263(c);
    for (size_t n = 0; n < full.size(); ++n) {
      Exact e(full, n);
      int w = -7, h = -7;
      int r = ResolutionFromBitstream_H263(e.data(), e.size(), w, h);
      // 25 bits after the 22-bit start code need 6 bytes.
      if (n < 6)
        EXPECT_EQ(r, -1) << n;
      else
        EXPECT_TRUE(r == -2 || r == 0) << n << " " << r;
    }
  }
  for (int shift = 1; shift < 8; ++shift) {
    Exact e(EncodeH263(H263Header{}, shift));
    int w, h;
    EXPECT_EQ(ResolutionFromBitstream_H263(e.data(), e.size(), w, h), -1) << shift;
  }
  int w, h;
  Exact zeros(Bytes(1 << 16, 0));
  EXPECT_EQ(ResolutionFromBitstream_H263(zeros.data(), zeros.size(), w, h), -1);
  EXPECT_EQ(ResolutionFromBitstream_H263(nullptr, 0, w, h), -1);
  Exact three({0, 0, 0x80});
  EXPECT_EQ(ResolutionFromBitstream_H263(three.data(), 3, w, h), -1);
  EXPECT_EQ(ResolutionFromBitstream_H263(three.data(), -1, w, h), -1);
  // The start code after noise, at a byte boundary.
  Exact late(Cat({{0xFF, 0x12, 0x00}, EncodeH263(H263Header{})}));
  EXPECT_EQ(ResolutionFromBitstream_H263(late.data(), late.size(), w, h), 0);
  EXPECT_EQ(w, 176);
}

// ---------------------------------------------------------------------------------------------
// VP8

Bytes Le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }

Bytes Vp8Key(int width, int height, int extra = 6) {
  Bytes f = {0x10,
             0x02,
             0x00,
             0x9D,
             0x01,
             0x2A,
             uint8_t(width),
             uint8_t(width >> 8),
             uint8_t(height),
             uint8_t(height >> 8)};
  f.insert(f.end(), extra, 0x5A);
  return f;
}

Bytes Packet(const std::vector<Bytes>& frames, int64_t count = -1) {
  Bytes p = Le32(count >= 0 ? uint32_t(count) : uint32_t(frames.size()));
  for (const Bytes& f : frames) p = Cat({p, Le32(uint32_t(f.size())), f});
  return p;
}

TEST(HostileVp8, KeyFramesAndTheirCuts) {
  Bytes key = Vp8Key(640 | 0xC000, 480 | 0x4000, 0);
  for (size_t n = 0; n <= key.size(); ++n) {
    Exact e(key, n);
    int w = -7, h = -7, frames = -7;
    int r = ResolutionFromBitstream_VPX(e.data(), e.size(), w, h, frames);
    EXPECT_EQ(IsBitstreamKeyFrame_VPX(e.data(), e.size()), n == 10) << n;
    EXPECT_EQ(r, n == 10 ? 0 : -1) << n;
    if (r == 0) {
      EXPECT_EQ(w, 640);
      EXPECT_EQ(h, 480);
      EXPECT_EQ(frames, 1);
    }
  }
  Bytes delta = Vp8Key(640, 480);
  delta[3] = 0x9C;
  Exact d(delta);
  int w, h, frames;
  EXPECT_EQ(ResolutionFromBitstream_VPX(d.data(), d.size(), w, h, frames), -1);
  EXPECT_FALSE(IsBitstreamKeyFrame_VPX(nullptr, 0));
  EXPECT_EQ(ResolutionFromBitstream_VPX(nullptr, 0, w, h, frames), -1);
  Exact k(Vp8Key(640, 480));
  EXPECT_FALSE(IsBitstreamKeyFrame_VPX(k.data(), -1));
  EXPECT_EQ(ResolutionFromBitstream_VPX(k.data(), INT_MIN, w, h, frames), -1);
}

TEST(HostileVp8, PacketsThatLie) {
  Bytes a = Vp8Key(640, 480), b = Vp8Key(320, 240), c = Vp8Key(1280, 16383);
  auto resize = [](Bytes p, size_t at, uint32_t size) {
    Bytes le = Le32(size);
    std::copy(le.begin(), le.end(), p.begin() + at);
    return p;
  };
  Bytes two = Packet({a, b});
  size_t second = 8 + a.size();  // offset of the second size field
  struct Case {
    const char* name;
    Bytes packet;
    int result, width, height;
  } cases[] = {
      {"two", two, 0, 640, 480},
      {"three", Packet({a, b, c}), 0, 1280, 480 + 240 + 16383 - 32 - 64 - 32},
      {"six", Packet({c, c, c, c, c, c}), 0, 1280, 6 * 16383 - 2 * 32 - 4 * 64},
      {"heights sum to 0", Packet({Vp8Key(16, 16), Vp8Key(16, 64), Vp8Key(16, 16)}), -1, 0, 0},
      {"heights below 0", Packet({Vp8Key(16, 1), Vp8Key(16, 1), Vp8Key(16, 1), Vp8Key(16, 1)}), -1,
       0, 0},
      {"count 0", Packet({a, b}, 0), -1, 0, 0},
      {"count 1", Packet({a, b}, 1), -1, 0, 0},
      {"count 7", Packet({a, b, a, b, a, b, a}), -1, 0, 0},
      {"count 2^31", Packet({a, b}, 0x80000000ll), -1, 0, 0},
      {"count 2^32 - 1", Packet({a, b}, 0xFFFFFFFFll), -1, 0, 0},
      {"count 3 of 2", Packet({a, b}, 3), -1, 0, 0},
      {"first size 2^32 - 1", resize(two, 4, 0xFFFFFFFF), -1, 0, 0},
      {"first size 2^31", resize(two, 4, 0x80000000), -1, 0, 0},
      {"first size wraps onto the second", resize(two, 4, 0xFFFFFFF8), -1, 0, 0},
      {"second size one too many", resize(two, second, uint32_t(b.size() + 1)), -1, 0, 0},
      {"second size 2^32 - 1", resize(two, second, 0xFFFFFFFF), -1, 0, 0},
      {"second size 2^32 - 16", resize(two, second, 0xFFFFFFF0), -1, 0, 0},
      {"second size 0", resize(two, second, 0), -1, 0, 0},
      {"second frame short", Packet({a, Bytes(9, 0)}), -1, 0, 0},
      {"second size missing", Bytes(two.begin(), two.begin() + second + 2), -1, 0, 0},
      {"first size 0", resize(two, 4, 0), -1, 0, 0},
  };
  for (const Case& k : cases) {
    Exact e(k.packet);
    int w = -7, h = -7, frames = -7;
    EXPECT_EQ(ResolutionFromBitstream_VPX(e.data(), e.size(), w, h, frames), k.result) << k.name;
    if (k.result == 0) {
      EXPECT_EQ(w, k.width) << k.name;
      EXPECT_EQ(h, k.height) << k.name;
      EXPECT_EQ(frames, static_cast<int>(k.packet[0])) << k.name;
    }
    // Every cut of a packet ends in a refusal or the same answer.
    for (size_t n = 0; n < k.packet.size(); ++n) {
      Exact cut(k.packet, n);
      int r = ResolutionFromBitstream_VPX(cut.data(), cut.size(), w, h, frames);
      EXPECT_TRUE(r == -1 || r == 0) << k.name << " " << n;
    }
  }
}

}  // namespace
