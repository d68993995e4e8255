// The bit reader and writer, and the H.264 sequence-parameter-set reader and writer: a rich record
// (High profile, picture-order cycle, VUI with both HRDs) written, read back and compared; the
// writer's unit read by the test's own Exp-Golomb builder; lying counts, every prefix of a valid
// unit and a too-small buffer. Inputs are exactly sized heap copies, so AddressSanitizer reports
// any read past them.
#include "core/media/video/bitstream/bitstream_h264.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "core/base/ios_log.h"
#include "core/media/video/bitstream/bitstream_test_util.h"

namespace {

using namespace hx::bitstream::test;

TEST(BitReader, ReadsBitsAndCodesAndStopsAtTheEnd) {
  const Bytes bytes = Bits().u(3, 5).ue(0).ue(4).se(-3).se(2).u(32, 0xdeadbeef).bytes();
  const Exact in(bytes);
  hx_bitpos p = BitPosition(in.data(), static_cast<size_t>(in.size()));
  EXPECT_EQ(GetBits(p, 3), 5u);
  EXPECT_EQ(GetVLC(p, false), 0);
  EXPECT_EQ(GetVLC(p, false), 4);
  EXPECT_EQ(GetVLC(p, true), -3);
  EXPECT_EQ(GetVLC(p, true), 2);
  EXPECT_EQ(GetBits(p, 32), 0xdeadbeefu);
  EXPECT_FALSE(p.failed);
  // Whatever is left is padding: a read past it answers 0 and marks the position.
  GetBits(p, static_cast<int>(BitsLeft(p)));
  EXPECT_FALSE(p.failed);
  EXPECT_EQ(GetBit(p), 0u);
  EXPECT_TRUE(p.failed);
  EXPECT_EQ(BitsLeft(p), 0u);
}

TEST(BitReader, RefusesCodesLongerThan32BitsAndCodesCutShort) {
  const Bytes zeros(8, 0);
  const Exact z(zeros);
  hx_bitpos p = BitPosition(z.data(), zeros.size());
  EXPECT_EQ(GetVLC(p, false), 0);
  EXPECT_TRUE(p.failed);
  // The longest code (31 zeros) is 2^32 - 2; the same code cut before its last bit fails.
  const Bytes longest = Bits().u(31, 0).u(1, 1).u(31, 0x7fffffff).u(1, 0).bytes();
  hx_bitpos q = BitPosition(longest.data(), longest.size());
  EXPECT_EQ(GetVLC(q, false), 0xfffffffeLL);
  EXPECT_FALSE(q.failed);
  const Exact cut(longest.data(), 7);
  hx_bitpos r = BitPosition(cut.data(), 7);
  EXPECT_EQ(GetVLC(r, false), 0);
  EXPECT_TRUE(r.failed);
}

TEST(BitWriter, WritesWhatTheReaderReadsAndStopsAtItsEnd) {
  uint8_t buffer[64] = {};
  h264Bitstream bs;
  InitBitstream(&bs, buffer, sizeof buffer);
  PutBits(&bs, 3, 5);
  PutVLC_ue(&bs, 0xffffffffu);  // 33-bit codeNum + 1
  PutVLC_se(&bs, -7);
  PutVLC_se(&bs, INT32_MIN);
  PutVLC_te(&bs, 1, 1);  // the inverted bit: 0
  PutVLC_te(&bs, 0, 9);  // nothing
  PutVLC_te(&bs, 5, 3);
  PutTrailingBits(&bs);
  const Bytes expected =
      Bits().u(3, 5).ue(0xffffffffu).se(-7).se(INT32_MIN).u(1, 0).ue(3).trailing().bytes();
  ASSERT_EQ(BitstreamBytes(&bs), expected.size());
  EXPECT_EQ(Bytes(buffer, buffer + expected.size()), expected);

  // PutBits keeps its last 4 bytes free; PutBit fills the buffer and then stops.
  uint8_t small[6] = {0, 0, 0, 0, 0xee, 0xee};
  InitBitstream(&bs, small, 5);
  PutBits(&bs, 8, 0xff);  // 5 bytes left: written
  EXPECT_EQ(BitstreamBytes(&bs), 1u);
  PutBits(&bs, 8, 0xff);  // 4 bytes left: refused
  EXPECT_EQ(BitstreamBytes(&bs), 1u);
  for (int i = 0; i < 100; ++i) PutBit(&bs, 1);
  EXPECT_EQ(BitstreamBytes(&bs), 5u);
  EXPECT_EQ(small[4], 0xff);
  EXPECT_EQ(small[5], 0xee);
}

// A record that uses every part of the syntax the writer knows.
hx_sps RichSps() {
  hx_sps s;
  s.nal_header = 0x67;
  s.profile_idc = 100;
  s.level_idc = 31;
  s.constraint_set1_flag = 1;
  s.chroma_format_idc = 3;
  s.separate_colour_plane_flag = 1;
  s.seq_parameter_set_id = 3;
  s.bit_depth_luma = 10;
  s.bit_depth_chroma = 9;
  s.qpprime_y_zero_transform_bypass_flag = 1;
  s.log2_max_frame_num = 16;
  s.pic_order_cnt_type = 1;
  s.delta_pic_order_always_zero_flag = 0;
  s.offset_for_non_ref_pic = -5;
  s.offset_for_top_to_bottom_field = 1 << 20;
  s.num_ref_frames_in_pic_order_cnt_cycle = 255;
  for (int i = 0; i < 255; ++i) s.offset_for_ref_frame[i] = (i % 2 ? -i : i) * 1000;
  s.max_num_ref_frames = 4;
  s.gaps_in_frame_num_value_allowed_flag = 1;
  s.pic_width_in_mbs = 80;
  s.pic_height_in_map_units = 23;
  s.frame_mbs_only_flag = 0;
  s.mb_adaptive_frame_field_flag = 1;
  s.direct_8x8_inference_flag = 1;
  s.frame_cropping_flag = 1;
  s.frame_crop_left_offset = 2;
  s.frame_crop_right_offset = 6;
  s.frame_crop_top_offset = 1;
  s.frame_crop_bottom_offset = 4;
  s.vui_parameters_present_flag = 1;
  hx_vui& v = s.vui;
  v.aspect_ratio_info_present_flag = 1;
  v.aspect_ratio_idc = 255;
  v.sar_width = 4;
  v.sar_height = 3;
  v.overscan_info_present_flag = 1;
  v.overscan_appropriate_flag = 1;
  v.video_signal_type_present_flag = 1;
  v.video_format = 5;
  v.video_full_range_flag = 1;
  v.colour_description_present_flag = 1;
  v.colour_primaries = 1;
  v.transfer_characteristics = 13;
  v.matrix_coefficients = 6;
  v.chroma_loc_info_present_flag = 1;
  v.chroma_sample_loc_type_top_field = 2;
  v.chroma_sample_loc_type_bottom_field = 5;
  v.timing_info_present_flag = 1;
  v.num_units_in_tick = 1001;
  v.time_scale = 60000;
  v.fixed_frame_rate_flag = 1;
  v.nal_hrd_parameters_present_flag = 1;
  v.nal_hrd.cpb_cnt_minus1 = 31;
  v.nal_hrd.bit_rate_scale = 4;
  v.nal_hrd.cpb_size_scale = 3;
  for (int i = 0; i < 32; ++i) {
    v.nal_hrd.bit_rate_value_minus1[i] = 1000u * (i + 1);
    v.nal_hrd.cpb_size_value_minus1[i] = 0xfffffff0u - i;
    v.nal_hrd.cbr_flag[i] = i % 2;
  }
  v.nal_hrd.initial_cpb_removal_delay_length_minus1 = 23;
  v.nal_hrd.cpb_removal_delay_length_minus1 = 7;
  v.nal_hrd.dpb_output_delay_length_minus1 = 31;
  v.nal_hrd.time_offset_length = 24;
  v.vcl_hrd_parameters_present_flag = 1;
  v.vcl_hrd.cpb_cnt_minus1 = 0;
  v.vcl_hrd.bit_rate_value_minus1[0] = 77;
  v.vcl_hrd.cpb_size_value_minus1[0] = 0;
  v.low_delay_hrd_flag = 1;
  v.pic_struct_present_flag = 1;
  v.bitstream_restriction_flag = 1;
  v.motion_vectors_over_pic_boundaries_flag = 1;
  v.max_bytes_per_pic_denom = 2;
  v.max_bits_per_mb_denom = 1;
  v.log2_max_mv_length_horizontal = 16;
  v.log2_max_mv_length_vertical = 15;
  v.max_num_reorder_frames = 0;
  v.max_dec_frame_buffering = 4;
  return s;
}

Bytes Written(const hx_sps& s) {
  Bytes out(16384);
  const int n = SPSToNAL_H264(out.data(), static_cast<int>(out.size()), &s);
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

TEST(SpsH264, RichRecordWrittenAndReadBackIsTheSameRecord) {
  const hx_sps record = RichSps();
  const Bytes unit = Written(record);
  ASSERT_GT(unit.size(), 4u);
  EXPECT_EQ(Bytes(unit.begin(), unit.begin() + 4), (Bytes{0, 0, 0, 1}));
  const Exact in(unit);
  hx_sps read;
  const uint8_t* nal = nullptr;
  int nalSize = 0;
  ASSERT_EQ(SPSFromBitstream_H264(in.data(), in.size(), &read, nal, nalSize), 0);
  EXPECT_EQ(nal, in.data() + 1);
  EXPECT_EQ(nalSize, in.size() - 1);
  EXPECT_TRUE(read == record);
  int w = 0, h = 0;
  // 4:4:4 with separate planes crops in luma samples; field coding doubles the height.
  ASSERT_EQ(ResolutionFromBitstream_H264(in.data(), in.size(), w, h), 0);
  EXPECT_EQ(w, 80 * 16 - 8);
  EXPECT_EQ(h, 23 * 16 * 2 - 5 * 2);
}

TEST(SpsH264, WriterOutputIsReadByAnIndependentReader) {
  hx_sps s;
  s.nal_header = 0x67;
  s.profile_idc = 66;
  s.level_idc = 30;
  s.constraint_set0_flag = 1;
  s.log2_max_frame_num = 4;
  s.pic_order_cnt_type = 0;
  s.log2_max_pic_order_cnt_lsb = 6;
  s.max_num_ref_frames = 1;
  s.pic_width_in_mbs = 20;
  s.pic_height_in_map_units = 15;
  s.frame_mbs_only_flag = 1;
  s.direct_8x8_inference_flag = 1;
  const Bytes rbsp = Bits()
                         .u(8, 0x67)
                         .u(8, 66)
                         .u(4, 0b1000)
                         .u(4, 0)
                         .u(8, 30)
                         .ue(0)
                         .ue(0)
                         .ue(0)
                         .ue(2)
                         .ue(1)
                         .u(1, 0)
                         .ue(19)
                         .ue(14)
                         .u(1, 1)
                         .u(1, 1)
                         .u(1, 0)
                         .u(1, 0)
                         .trailing()
                         .bytes();
  Bytes expected = {0, 0, 0, 1};
  expected.insert(expected.end(), rbsp.begin(), rbsp.end());
  EXPECT_EQ(Written(s), expected);
}

TEST(SpsH264, EmulationPreventionIsAddedAndRemoved) {
  // Zero-valued 32-bit timing fields put long runs of zero bytes into the unit.
  hx_sps s = RichSps();
  s.vui.num_units_in_tick = 0;
  s.vui.time_scale = 1;
  const Bytes unit = Written(s);
  bool escaped = false;
  for (size_t i = 2; i + 1 < unit.size(); ++i)
    escaped |= unit[i - 2] == 0 && unit[i - 1] == 0 && unit[i] == 3 && i > 4;
  EXPECT_TRUE(escaped);
  const Exact in(unit);
  hx_sps read;
  const uint8_t* nal = nullptr;
  int nalSize = 0;
  ASSERT_EQ(SPSFromBitstream_H264(in.data(), in.size(), &read, nal, nalSize), 0);
  EXPECT_TRUE(read == s);
}

TEST(SpsH264, WriterAnswersZeroWhenTheBufferIsTooSmall) {
  const hx_sps record = RichSps();
  const Bytes unit = Written(record);
  ASSERT_FALSE(unit.empty());
  const int need = static_cast<int>(unit.size());
  for (int capacity : {1, need / 2, need - 1}) {
    std::vector<uint8_t> out(static_cast<size_t>(capacity) + 1, 0xee);
    EXPECT_EQ(SPSToNAL_H264(out.data(), capacity, &record), 0) << capacity;
    for (uint8_t b : out) ASSERT_EQ(b, 0xee) << "written into a too-small buffer";
  }
  auto exact = std::make_unique<uint8_t[]>(static_cast<size_t>(need));
  ASSERT_EQ(SPSToNAL_H264(exact.get(), need, &record), need);
  EXPECT_EQ(Bytes(exact.get(), exact.get() + need), unit);
  // A record counting more than it can hold is not written.
  hx_sps lying = record;
  lying.num_ref_frames_in_pic_order_cnt_cycle = 256;
  EXPECT_EQ(SPSToNAL_H264(exact.get(), need, &lying), 0);
  lying = record;
  lying.vui.vcl_hrd.cpb_cnt_minus1 = 32;
  EXPECT_EQ(SPSToNAL_H264(exact.get(), need, &lying), 0);
}

TEST(SpsH264, ScalingListsAreSkippedAndWrittenAsAbsent) {
  // High profile with a scaling matrix: list 0 sent (16 deltas), list 6 sent (64 entries ending
  // early with delta -8), the others absent.
  Bits b;
  b.u(8, 0x67).u(8, 100).u(8, 0).u(8, 40).ue(0).ue(1).ue(0).ue(0).u(1, 0).u(1, 1);
  for (int i = 0; i < 8; ++i) {
    b.u(1, i == 0 || i == 6);
    if (i == 0)
      for (int j = 0; j < 16; ++j) b.se(j % 3 - 1);
    if (i == 6) b.se(-8);
  }
  b.ue(0).ue(2).ue(1).u(1, 0).ue(39).ue(29).u(1, 1).u(1, 1).u(1, 0).u(1, 0).trailing();
  const Bytes unit = Concat({{0, 0, 1}, b.bytes()});
  const Exact in(unit);
  hx_sps read;
  const uint8_t* nal = nullptr;
  int nalSize = 0;
  ASSERT_EQ(SPSFromBitstream_H264(in.data(), in.size(), &read, nal, nalSize), 0);
  EXPECT_EQ(read.seq_scaling_matrix_present_flag, 1u);
  EXPECT_EQ(read.pic_width_in_mbs, 40u);
  const Bytes again = Written(read);
  const Exact in2(again);
  hx_sps reread;
  ASSERT_EQ(SPSFromBitstream_H264(in2.data(), in2.size(), &reread, nal, nalSize), 0);
  EXPECT_TRUE(reread == read);
}

// A type-1 picture-order cycle of `count` entries, or an HRD of cpb_cnt_minus1 = `cpb`.
Bytes LyingSps(int cycle, int cpb) {
  Bits b;
  b.u(8, 0x67).u(8, 66).u(8, 0).u(8, 30).ue(0).ue(0);
  if (cycle >= 0) {
    b.ue(1).u(1, 0).se(0).se(0).ue(static_cast<uint64_t>(cycle));
    for (int i = 0; i < cycle; ++i) b.se(i);
  } else {
    b.ue(2);
  }
  b.ue(1).u(1, 0).ue(19).ue(14).u(1, 1).u(1, 1).u(1, 0);
  if (cpb >= 0) {
    // VUI: no aspect, overscan, signal type, chroma location or timing; a NAL HRD.
    b.u(1, 1).u(5, 0).u(1, 1).ue(static_cast<uint64_t>(cpb)).u(4, 0).u(4, 0);
    for (int i = 0; i <= cpb; ++i) b.ue(100).ue(200).u(1, 0);
    b.u(5, 23).u(5, 23).u(5, 23).u(5, 24).u(1, 0).u(1, 0).u(1, 0).u(1, 0);
  } else {
    b.u(1, 0);
  }
  return Concat({{0, 0, 1}, b.trailing().bytes()});
}

TEST(SpsH264, CountsAboveTheRecordsRoomAreMalformed) {
  struct Case {
    int cycle;
    int cpb;
    int expected;
  } cases[] = {{255, -1, 0}, {256, -1, -2}, {300, -1, -2}, {-1, 31, 0}, {-1, 32, -2}, {-1, 40, -2}};
  for (const Case& c : cases) {
    const Exact in(LyingSps(c.cycle, c.cpb));
    hx_sps read;
    const uint8_t* nal = nullptr;
    int nalSize = 0;
    int w = 0, h = 0;
    // The bitstream function reads past a malformed set and finds nothing else.
    const int stream = SPSFromBitstream_H264(in.data(), in.size(), &read, nal, nalSize);
    EXPECT_EQ(stream, c.expected == 0 ? 0 : -1) << c.cycle << " " << c.cpb;
    std::vector<uint8_t> rbsp;
    hx::bitstream::RemoveEmulationPrevention(in.data() + 3, static_cast<size_t>(in.size() - 3),
                                             &rbsp);
    const Exact nalOnly(rbsp);
    EXPECT_EQ(SPSFromNAL_H264(nalOnly.data(), nalOnly.size(), &read), c.expected);
    EXPECT_EQ(ResolutionFromNAL_H264(in.data() + 3, in.size() - 3, w, h), c.expected);
    if (c.expected == 0) {
      EXPECT_EQ(w, 320);
      EXPECT_EQ(h, 240);
      EXPECT_TRUE(read.num_ref_frames_in_pic_order_cnt_cycle ==
                  static_cast<uint32_t>(std::max(c.cycle, 0)));
    }
  }
}

TEST(SpsH264, EveryPrefixOfAValidUnitIsRefusedWithoutReadingPastIt) {
  const Bytes unit = Written(RichSps());
  std::vector<uint8_t> rbsp;
  hx::bitstream::RemoveEmulationPrevention(unit.data() + 4, unit.size() - 4, &rbsp);
  for (size_t n = 0; n < unit.size(); ++n) {
    const Exact in(unit.data(), n);
    int w = 0, h = 0;
    hx_sps read;
    const uint8_t* nal = nullptr;
    int nalSize = 0;
    EXPECT_EQ(ResolutionFromBitstream_H264(in.data(), in.size(), w, h), -1) << n;
    EXPECT_EQ(SPSFromBitstream_H264(in.data(), in.size(), &read, nal, nalSize), -1) << n;
    if (n > 4) EXPECT_EQ(ResolutionFromNAL_H264(in.data() + 4, in.size() - 4, w, h), -2) << n;
  }
  for (size_t n = 1; n < rbsp.size(); ++n) {
    const Exact in(rbsp.data(), n);
    hx_sps read;
    EXPECT_EQ(SPSFromNAL_H264(in.data(), in.size(), &read), -2) << n;
  }
}

TEST(SpsH264, OutOfRangeFieldsAndHugeSizesAreMalformed) {
  auto sps = [](uint64_t chroma, uint64_t widthMinus1, uint64_t cropRight) {
    Bits b;
    b.u(8, 0x67).u(8, 100).u(8, 0).u(8, 40).ue(0).ue(chroma);
    if (chroma == 3) b.u(1, 0);
    b.ue(0).ue(0).u(1, 0).u(1, 0).ue(0).ue(2).ue(1).u(1, 0).ue(widthMinus1).ue(10).u(1, 1).u(1, 1);
    b.u(1, 1).ue(0).ue(cropRight).ue(0).ue(0).u(1, 0).trailing();
    return Concat({{0, 0, 1}, b.bytes()});
  };
  struct Case {
    uint64_t chroma, widthMinus1, cropRight;
    int expected;
  } cases[] = {{1, 19, 2, 0},
               {4, 19, 2, -2},
               {1, 0xfffffffe, 0, -2},
               {1, 19, 160, -2},
               {1, 19, 0xfffffffe, -2}};
  for (const Case& c : cases) {
    const Exact in(sps(c.chroma, c.widthMinus1, c.cropRight));
    int w = 0, h = 0;
    EXPECT_EQ(ResolutionFromNAL_H264(in.data() + 3, in.size() - 3, w, h), c.expected)
        << c.chroma << " " << c.widthMinus1 << " " << c.cropRight;
    if (c.expected == 0) EXPECT_EQ(w, 320 - 4);
  }
}

TEST(NalH264, PrintLogsEveryUnitType) {
  std::vector<std::string> lines;
  hx::SetLogSink([&lines](const std::string& line) { lines.push_back(line); });
  const Bytes stream = {0, 0, 0, 1, 0x67, 1, 2, 0, 0, 1, 0x68, 3, 0, 0, 1, 0x65, 0x88, 0x80};
  const Exact in(stream);
  PrintBitsrreamNAL_264(in.data(), in.size());
  hx::SetLogSink(nullptr);
  EXPECT_EQ(lines, (std::vector<std::string>{"Found NAL 7", "Found NAL 8", "Found NAL 5"}));
}

}  // namespace
