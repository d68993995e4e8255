// The parsers' edge cases in one table: each row runs one parser on hand-made bytes (headers built
// with the test's own bit-string builder, copied into exactly sized heap buffers) and prints its
// answer, compared with the answer the row expects.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "core/media/video/bitstream/bitstream_h263.h"
#include "core/media/video/bitstream/bitstream_h264.h"
#include "core/media/video/bitstream/bitstream_h265.h"
#include "core/media/video/bitstream/bitstream_test_util.h"
#include "core/media/video/bitstream/bitstream_vpx.h"

namespace {

using namespace hx::bitstream::test;

const Bytes kStart = {0, 0, 1};

// Baseline (66) or High (100) SPS: 120 x 68 macroblocks, 4:2:0 frames, bottom crop 4.
Bytes Sps1080(int profile) {
  Bits b;
  b.u(8, 0x67).u(8, profile).u(8, 0).u(8, 40).ue(0);
  if (profile == 100) b.ue(1).ue(0).ue(0).u(1, 0).u(1, 0);
  b.ue(0)       // log2_max_frame_num_minus4
      .ue(2)    // pic_order_cnt_type
      .ue(1)    // max_num_ref_frames
      .u(1, 0)  // gaps
      .ue(119)  // pic_width_in_mbs_minus1
      .ue(67)   // pic_height_in_map_units_minus1
      .u(1, 1)  // frame_mbs_only_flag
      .u(1, 1)  // direct_8x8_inference_flag
      .u(1, 1)
      .ue(0)
      .ue(0)
      .ue(0)
      .ue(4)    // cropping
      .u(1, 0)  // vui
      .trailing();
  return b.bytes();
}

std::string Size(int r, int w, int h) {
  return r == 0 ? "0 " + std::to_string(w) + "x" + std::to_string(h) : std::to_string(r);
}

std::string H264(const Bytes& stream) {
  const Exact in(stream);
  int w = 0, h = 0;
  const int r = ResolutionFromBitstream_H264(in.data(), in.size(), w, h);
  return Size(r, w, h);
}

std::string H265(const Bytes& stream) {
  const Exact in(stream);
  int w = 0, h = 0;
  const int r = ResolutionFromBitstream_H265(in.data(), in.size(), w, h);
  return Size(r, w, h);
}

std::string H263(const Bytes& stream) {
  const Exact in(stream);
  int w = 0, h = 0;
  const int r = ResolutionFromBitstream_H263(in.data(), in.size(), w, h);
  return Size(r, w, h);
}

std::string Vpx(const Bytes& frame) {
  const Exact in(frame);
  int w = 0, h = 0, frames = 0;
  const int r = ResolutionFromBitstream_VPX(in.data(), in.size(), w, h, frames);
  return Size(r, w, h) + (r == 0 ? " frames " + std::to_string(frames) : "") +
         (IsBitstreamKeyFrame_VPX(in.data(), in.size()) ? " key" : "");
}

// H.263 picture header: PSC, temporal reference, PTYPE with the source format, then the rest.
Bits H263Header(int format) {
  Bits b;
  b.u(22, 0x20).u(8, 5).u(5, 0b10000).u(3, format);
  return b;
}

std::string Written(const std::function<void(h264Bitstream*)>& put) {
  uint8_t buffer[16] = {};
  h264Bitstream bs;
  InitBitstream(&bs, buffer, sizeof buffer);
  put(&bs);
  const int bits = static_cast<int>((bs.p - bs.start) * 8 + (8 - bs.bits_left));
  std::string out;
  for (int i = 0; i < bits; ++i) out += (buffer[i / 8] & (0x80 >> (i % 8))) ? '1' : '0';
  return out;
}

std::string Hex(const uint8_t* data, int size) {
  std::string out;
  char b[4];
  for (int i = 0; i < size; ++i) {
    std::snprintf(b, sizeof b, i ? " %02x" : "%02x", data[i]);
    out += b;
  }
  return out;
}

std::string TypesH265(int from, int to, uint8_t orMask) {
  std::string out;
  for (int t = from; t <= to; ++t) {
    const Bytes nal = {static_cast<uint8_t>((t << 1) | orMask), 1};
    const Exact in(nal);
    out += (out.empty() ? "" : " ") + std::to_string(TypeSliceFromNAL_H265(in.data(), in.size()));
  }
  return out;
}

std::string TypeH264Stream(const Bytes& stream) {
  const Exact in(stream);
  int delta = 7;
  const int r = TypeSliceFromBitstream_H264(in.data(), in.size(), delta);
  return std::to_string(r) + " delta " + std::to_string(delta);
}

struct Row {
  const char* what;
  std::function<std::string()> run;
  const char* expected;
};

TEST(BitstreamEdgeCases, Table) {
  const Bytes sps = Sps1080(66);
  const Bytes pps = {0x68, 0xce, 0x38, 0x80};
  const Bytes twoUnits = Concat({kStart, sps, kStart, pps});
  const Bytes vp8Key = {0x50, 0x42, 0x00, 0x9d, 0x01, 0x2a, 0x80, 0x02, 0xe0, 0x01, 0x00, 0x47};
  const Bytes vp8Delta = {0x31, 0x05, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99};

  const Row rows[] = {
      {"H.264 IDR slice without SPS",
       [] {
         return H264({0, 0, 1, 0x65, 0x88, 0x84, 0x21, 0xa0});
       },
       "-2"},
      {"H.264 delta slice",
       [] {
         return H264({0, 0, 1, 0x41, 0x9a, 0x02, 0x04, 0x05});
       },
       "-1"},
      {"H.264 SPS 120x68 MBs, bottom crop 4 (Baseline)",
       [&] {
         return H264(Concat({kStart, sps, kStart, {0x65, 0x88}}));
       },
       "0 1920x1080"},
      {"H.264 SPS 120x68 MBs, bottom crop 4 (High, 4:2:0)",
       [] {
         return H264(Concat({{0}, kStart, Sps1080(100)}));
       },
       "0 1920x1080"},
      {"H.265 CRA before any SPS",
       [] {
         return H265({0, 0, 1, 21 << 1, 0x01, 0xaf, 0x06, 0xb8});
       },
       "-2"},
      {"VP8 key frame 640x480", [&] { return Vpx(vp8Key); }, "0 640x480 frames 1 key"},
      {"VP8 delta frame", [&] { return Vpx(vp8Delta); }, "-1"},
      {"H.263 source format 2", [] { return H263(H263Header(2).u(16, 0x1234).bytes()); },
       "0 176x144"},
      {"H.263 PLUSPTYPE with UFEP 0",
       [] { return H263(H263Header(7).u(3, 0).u(24, 0xffffff).bytes()); }, "-1"},
      {"PutVLC_ue(0)", [] { return Written([](h264Bitstream* b) { PutVLC_ue(b, 0); }); }, "1"},
      {"PutVLC_ue(4)", [] { return Written([](h264Bitstream* b) { PutVLC_ue(b, 4); }); }, "00101"},
      {"ExtractRTPData(65 00 00 01)",
       [] {
         const Bytes in = {0x65, 0x00, 0x00, 0x01};
         uint8_t out[16];
         int n = 0;
         ExtractRTPData(in.data(), 4, out, n);
         return std::to_string(n) + ": " + Hex(out, n);
       },
       "9: 00 00 00 01 65 00 00 03 01"},
      {"H.264 type of an IDR slice",
       [] {
         const Bytes n = {0x65, 0x88};
         return std::to_string(TypeSliceFromNAL_H264(n.data(), 2));
       },
       "0"},
      {"H.264 type of a non-IDR slice",
       [] {
         const Bytes n = {0x41, 0x9a};
         return std::to_string(TypeSliceFromNAL_H264(n.data(), 2));
       },
       "-1"},
      {"H.264 type of an SPS, SEI, PPS",
       [] {
         std::string out;
         for (uint8_t h : {0x67, 0x06, 0x68}) {
           const Bytes n = {h, 0};
           out += std::to_string(TypeSliceFromNAL_H264(n.data(), 2)) + " ";
         }
         return out;
       },
       "-2 -2 -2 "},
      {"H.264 stream type: SPS PPS IDR",
       [&] {
         return TypeH264Stream(Concat({kStart, sps, kStart, pps, kStart, {0x65, 0x88}}));
       },
       "0 delta 0"},
      {"H.264 stream type: delta slice",
       [] {
         return TypeH264Stream({0, 0, 1, 0x41, 0x9a});
       },
       "-1 delta 1"},
      {"H.264 stream type: no slice",
       [&] {
         return TypeH264Stream(Concat({kStart, sps}));
       },
       "-1 delta 1"},
      {"H.265 types 0-9", [] { return TypesH265(0, 9, 0); }, "-1 -1 -1 -1 -1 -1 -1 -1 -1 -1"},
      {"H.265 types 10-15", [] { return TypesH265(10, 15, 0); }, "-2 -2 -2 -2 -2 -2"},
      {"H.265 types 16-21", [] { return TypesH265(16, 21, 0); }, "0 0 0 0 0 0"},
      {"H.265 types 1, 19 with the forbidden bit",
       [] { return TypesH265(1, 1, 0x80) + " " + TypesH265(19, 19, 0x80); }, "-2 -2"},
      {"H.265 types 22, 32, 33", [] { return TypesH265(22, 22, 0) + " " + TypesH265(32, 33, 0); },
       "-2 -2 -2"},
      {"IsBitstreamSPS_264 on SPS then PPS",
       [&] {
         const Exact in(twoUnits);
         bool isSps = false;
         int size = 0;
         const uint8_t* at = IsBitstreamSPS_264(in.data(), in.size(), isSps, size);
         return std::to_string(at - in.data()) + (isSps ? " sps " : " other ") +
                std::to_string(size);
       },
       nullptr},
      {"GetNALSize on SPS then PPS: each unit",
       [&] {
         const Exact in(twoUnits);
         const int first = GetNALSize(in.data() + 3, in.size() - 3);
         const int second = GetNALSize(in.data() + 3 + first + 3, in.size() - 6 - first);
         return std::to_string(first) + " " + std::to_string(second);
       },
       nullptr},
  };
  // The rows whose answer depends on the size of the hand-made SPS.
  const std::string spsAnswer = "0 sps " + std::to_string(3 + sps.size());
  const std::string sizesAnswer = std::to_string(sps.size()) + " " + std::to_string(pps.size());
  for (const Row& row : rows) {
    const std::string expected = row.expected                                         ? row.expected
                                 : std::string(row.what).rfind("IsBitstream", 0) == 0 ? spsAnswer
                                                                                      : sizesAnswer;
    EXPECT_EQ(row.run(), expected) << row.what;
  }
}

}  // namespace
