// Hostile bytes through every parser: each input is an exactly sized heap copy, so that
// AddressSanitizer reports a read one byte past it. Every prefix of real streams (libvpx and
// libavcodec), H.263+ headers cut after UFEP, VP8 packets whose frames are too short or whose
// counts and sizes lie, and H.265 parameter sets with out-of-range fields.
#include <gtest/gtest.h>

#include "core/media/video/bitstream/bitstream_h263.h"
#include "core/media/video/bitstream/bitstream_h264.h"
#include "core/media/video/bitstream/bitstream_h265.h"
#include "core/media/video/bitstream/bitstream_test_util.h"
#include "core/media/video/bitstream/bitstream_vpx.h"

extern "C" const char* __lsan_default_suppressions() { return "leak:libx265.so\n"; }

namespace {

using namespace hx::bitstream::test;

struct Answers {
  int vpx, h264, h265, h263;
  int w264 = 0, h264h = 0, w265 = 0, h265h = 0, w263 = 0, h263h = 0, wvpx = 0, hvpx = 0;
};

// The probe's order over one exactly sized copy, plus the other stream functions.
Answers ProbeAll(const uint8_t* data, size_t size) {
  const Exact in(data, size);
  Answers a{};
  int frames = 0, delta = 0, nalSize = 0, unit = 0;
  bool isSps = false;
  a.vpx = ResolutionFromBitstream_VPX(in.data(), in.size(), a.wvpx, a.hvpx, frames);
  IsBitstreamKeyFrame_VPX(in.data(), in.size());
  a.h264 = ResolutionFromBitstream_H264(in.data(), in.size(), a.w264, a.h264h);
  TypeSliceFromBitstream_H264(in.data(), in.size(), delta);
  IsBitstreamSPS_264(in.data(), in.size(), isSps, unit);
  hx_sps sps;
  const uint8_t* nal = nullptr;
  SPSFromBitstream_H264(in.data(), in.size(), &sps, nal, nalSize);
  PrintBitsrreamNAL_264(in.data(), in.size());
  a.h265 = ResolutionFromBitstream_H265(in.data(), in.size(), a.w265, a.h265h);
  TypeSliceFromBitstream_H265(in.data(), in.size(), delta);
  a.h263 = ResolutionFromBitstream_H263(in.data(), in.size(), a.w263, a.h263h);
  return a;
}

bool RefusedOr(int r) { return r == -1 || r == -2; }

TEST(BitstreamHostile, EveryPrefixOfRealStreams) {
  struct Stream {
    const char* what;
    Bytes bytes;
    int w, h;
  };
  std::vector<Stream> streams;
  streams.push_back({"VP8", EncodeVP8(96, 64, 1).at(0), 96, 64});
  streams.push_back({"H.264", EncodeFFmpeg(FF_VCodecH264, 96, 54, 1).at(0), 96, 54});
  streams.push_back({"H.265", EncodeLibavcodec("libx265", 96, 56, 1).at(0), 96, 56});
  streams.push_back({"H.263+", EncodeFFmpeg(FF_VCodecH263P, 640, 480, 1).at(0), 640, 480});
  for (const Stream& s : streams) {
    ASSERT_FALSE(s.bytes.empty()) << s.what;
    const Answers full = ProbeAll(s.bytes.data(), s.bytes.size());
    // Every prefix through the parameter sets and the first slice header; then every 61st, which
    // keeps the quadratic walk short on the larger pictures.
    for (size_t n = 0; n <= s.bytes.size(); n += n < 1024 ? 1 : 61) {
      const Answers a = ProbeAll(s.bytes.data(), n);
      for (int r : {a.vpx, a.h264, a.h265, a.h263})
        ASSERT_TRUE(r == 0 || RefusedOr(r)) << s.what << n;
      // A prefix answers the full stream's size or refuses; it never makes up another size.
      if (s.what == std::string("VP8") && a.vpx == 0)
        ASSERT_EQ(a.wvpx * 10000 + a.hvpx, s.w * 10000 + s.h);
      if (s.what == std::string("H.264") && a.h264 == 0)
        ASSERT_EQ(a.w264 * 10000 + a.h264h, s.w * 10000 + s.h) << n;
      if (s.what == std::string("H.265") && a.h265 == 0)
        ASSERT_EQ(a.w265 * 10000 + a.h265h, s.w * 10000 + s.h) << n;
      if (s.what == std::string("H.263+") && a.h263 == 0)
        ASSERT_EQ(a.w263 * 10000 + a.h263h, s.w * 10000 + s.h) << n;
    }
    if (s.what == std::string("VP8")) EXPECT_EQ(full.vpx, 0);
    if (s.what == std::string("H.264")) EXPECT_EQ(full.h264, 0);
    if (s.what == std::string("H.265")) EXPECT_EQ(full.h265, 0);
    if (s.what == std::string("H.263+")) EXPECT_EQ(full.h263, 0);
  }
}

TEST(BitstreamHostile, H263PlusHeaderCutAfterUfep) {
  // PSC, temporal reference, PTYPE with the extended format, UFEP 1, then nothing.
  Bits header;
  header.u(22, 0x20).u(8, 1).u(5, 0b10000).u(3, 7).u(3, 1);
  const Bytes cut = header.bytes();  // 41 bits in 6 bytes: 26 bits after the start code
  const Exact in(cut);
  int w = -1, h = -1;
  EXPECT_EQ(ResolutionFromBitstream_H263(in.data(), in.size(), w, h), -2);
  EXPECT_EQ(w, -1);
  // The same header with OPPTYPE's custom format but cut inside CPFMT.
  Bits custom = header;
  custom.u(3, 6).u(15, 0b000000000001000).u(9, 0b000000001).u(1, 0).u(4, 2).u(9, 159);
  const Exact in2(custom.bytes());
  EXPECT_EQ(ResolutionFromBitstream_H263(in2.data(), in2.size(), w, h), -2);
  // Complete: 640 x 480.
  custom.u(1, 1).u(9, 120);
  const Exact in3(custom.bytes());
  EXPECT_EQ(ResolutionFromBitstream_H263(in3.data(), in3.size(), w, h), 0);
  EXPECT_EQ(w, 640);
  EXPECT_EQ(h, 480);
  // Fewer than 25 bits after the start code: nothing found.
  const Bytes shortHeader = Bits().u(22, 0x20).u(8, 1).u(2, 2).bytes();
  const Exact in4(shortHeader);
  EXPECT_EQ(ResolutionFromBitstream_H263(in4.data(), in4.size(), w, h), -1);
}

TEST(BitstreamHostile, Vp8PacketsThatLie) {
  const Bytes key = EncodeVP8(160, 120, 1).at(0);
  const Bytes cutKey(key.begin(), key.begin() + 9);
  struct Case {
    const char* what;
    Bytes packet;
    int expected;
  };
  Bytes packet2 = VP8Packet({key, key});
  std::vector<Case> cases = {
      {"two whole key frames", packet2, 0},
      {"second frame of 9 bytes", VP8Packet({key, cutKey}), -1},
      {"second frame of 0 bytes", VP8Packet({key, Bytes()}), -1},
      {"last of four frames of 3 bytes",
       VP8Packet({key, key, key, Bytes(key.begin(), key.begin() + 3)}), -1},
      {"seven frames", VP8Packet({key, key, key, key, key, key, key}), -1},
      {"one frame in packet form", VP8Packet({key}), -1},
  };
  Bytes lyingSize = packet2;
  lyingSize[4 + 4 + key.size()] = 0xff;  // second frame's size low byte: past the packet
  cases.push_back({"second size past the end", lyingSize, -1});
  Bytes hugeSize = packet2;
  for (int i = 0; i < 4; ++i) hugeSize[4 + 4 + key.size() + i] = 0xff;
  cases.push_back({"second size 2^32 - 1", hugeSize, -1});
  Bytes hugeCount = packet2;
  for (int i = 0; i < 4; ++i) hugeCount[i] = 0xff;
  cases.push_back({"count 2^32 - 1", hugeCount, -1});
  // Six frames stacked from 16-line frames: the stacked height is not positive.
  Bytes thin = key;
  thin[8] = 16;
  thin[9] = 0;
  cases.push_back({"six 16-line frames", VP8Packet({thin, thin, thin, thin, thin, thin}), -1});
  for (const Case& c : cases) {
    const Exact in(c.packet);
    int w = 0, h = 0, frames = 0;
    EXPECT_EQ(ResolutionFromBitstream_VPX(in.data(), in.size(), w, h, frames), c.expected)
        << c.what;
    if (c.expected == 0) {
      EXPECT_EQ(w, 160);
      EXPECT_EQ(h, 120);
      EXPECT_EQ(frames, 2);
    }
  }
}

// An H.265 SPS: one sub-layer, `chroma`, the given size and conformance window.
Bytes H265Sps(uint64_t chroma, uint64_t w, uint64_t h, uint64_t cropRight, uint64_t cropBottom,
              int maxSubLayersMinus1 = 0) {
  Bits b;
  b.u(16, 0x4201).u(4, 0).u(3, maxSubLayersMinus1).u(1, 1);
  b.u(8, 0x01).u(32, 0x60000000).u(4, 0b1001).u(44, 0).u(8, 93);  // Main, level 3.1
  for (int i = 0; i < maxSubLayersMinus1; ++i) b.u(1, 1).u(1, 1);
  if (maxSubLayersMinus1 > 0)
    for (int i = maxSubLayersMinus1; i < 8; ++i) b.u(2, 0);
  for (int i = 0; i < maxSubLayersMinus1; ++i) b.u(88, 0).u(8, 90);
  b.ue(0).ue(chroma);
  if (chroma == 3) b.u(1, 0);
  b.ue(w).ue(h).u(1, 1).ue(0).ue(cropRight).ue(0).ue(cropBottom).ue(0).ue(0).ue(4).trailing();
  return Concat({{0, 0, 0, 1}, b.bytes()});
}

TEST(BitstreamHostile, H265SizesAndFieldsOutOfRange) {
  struct Case {
    const char* what;
    Bytes stream;
    int expected, w, h;
  } cases[] = {
      {"4:2:0 with a window", H265Sps(1, 1920, 1088, 0, 4), 0, 1920, 1080},
      {"4:2:2 window", H265Sps(2, 640, 480, 3, 5), 0, 634, 475},
      {"seven sub-layers", H265Sps(1, 320, 240, 0, 0, 7), 0, 320, 240},
      {"chroma format 4", H265Sps(4, 320, 240, 0, 0), -2, 0, 0},
      {"width 2^32 - 2", H265Sps(1, 0xfffffffe, 240, 0, 0), -2, 0, 0},
      {"window wider than the picture", H265Sps(1, 320, 240, 160, 0), -2, 0, 0},
      {"window of 2^32 - 2", H265Sps(1, 320, 240, 0, 0xfffffffe), -2, 0, 0},
  };
  for (const Case& c : cases) {
    const Exact in(c.stream);
    int w = 0, h = 0;
    EXPECT_EQ(ResolutionFromNAL_H265(in.data() + 4, in.size() - 4, w, h), c.expected) << c.what;
    if (c.expected == 0) {
      EXPECT_EQ(w, c.w) << c.what;
      EXPECT_EQ(h, c.h) << c.what;
    }
    // The stream function reads past a malformed set and finds nothing else.
    EXPECT_EQ(ResolutionFromBitstream_H265(in.data(), in.size(), w, h), c.expected == 0 ? 0 : -1);
    for (size_t n = 0; n < c.stream.size(); ++n) ProbeAll(c.stream.data(), n);
  }
}

}  // namespace
