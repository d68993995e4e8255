// The parsers on streams from real encoders: VP8 from libvpx; H.264 (cropped and not), H.265,
// H.263 CIF and H.263+ at a custom 640x480 from libavcodec. The H.264 sequence parameter set is
// read, written back and read again, and the written unit replaces the encoder's in the key frame
// that libavcodec's decoder then decodes to the same picture.
//
// With HX_BITSTREAM_SEED_DIR set, the streams are also written there as fuzz seeds (that is how
// the committed seeds under fuzz/corpus/bitstream_* were made).
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/media/video/bitstream/bitstream_h263.h"
#include "core/media/video/bitstream/bitstream_h264.h"
#include "core/media/video/bitstream/bitstream_h265.h"
#include "core/media/video/bitstream/bitstream_test_util.h"
#include "core/media/video/bitstream/bitstream_vpx.h"

// libx265 3.5 leaks a few of its own blocks per encoder, whatever the caller frees; the suppression
// names only that library, so a leak of ours still fails the test.
extern "C" const char* __lsan_default_suppressions() { return "leak:libx265.so\n"; }

namespace {

using namespace hx::bitstream::test;

void KeepSeeds(const char* harness, const char* name, const std::vector<Bytes>& packets,
               size_t most) {
  const char* dir = std::getenv("HX_BITSTREAM_SEED_DIR");
  if (!dir) return;
  const std::filesystem::path folder = std::filesystem::path(dir) / harness;
  std::filesystem::create_directories(folder);
  for (size_t i = 0; i < packets.size() && i < most; ++i) {
    std::ofstream out(folder / (name + std::to_string(i)), std::ios::binary);
    out.write(reinterpret_cast<const char*>(packets[i].data()),
              static_cast<std::streamsize>(packets[i].size()));
  }
}

TEST(BitstreamFromEncoders, Vp8FromLibvpx) {
  for (auto [w, h] : {std::pair{640, 480}, std::pair{176, 144}, std::pair{1280, 720}}) {
    const std::vector<Bytes> frames = EncodeVP8(w, h, 3);
    ASSERT_EQ(frames.size(), 3u);
    const Exact key(frames[0]);
    int fw = 0, fh = 0, count = 0;
    ASSERT_EQ(ResolutionFromBitstream_VPX(key.data(), key.size(), fw, fh, count), 0);
    EXPECT_EQ(fw, w);
    EXPECT_EQ(fh, h);
    EXPECT_EQ(count, 1);
    EXPECT_TRUE(IsBitstreamKeyFrame_VPX(key.data(), key.size()));
    const Exact delta(frames[1]);
    EXPECT_EQ(ResolutionFromBitstream_VPX(delta.data(), delta.size(), fw, fh, count), -1);
    EXPECT_FALSE(IsBitstreamKeyFrame_VPX(delta.data(), delta.size()));
    // A VP8 frame is neither H.264, H.265 nor H.263 to the probe that tries them all.
    EXPECT_NE(ResolutionFromBitstream_H264(key.data(), key.size(), fw, fh), 0);
    EXPECT_NE(ResolutionFromBitstream_H265(key.data(), key.size(), fw, fh), 0);
    if (w == 176) KeepSeeds("bitstream_vp8", "libvpx_176x144_", frames, 2);
  }
}

TEST(BitstreamFromEncoders, Vp8PacketsOfTwoToSixKeyFrames) {
  const Bytes a = EncodeVP8(96, 80, 1).at(0);
  const Bytes b = EncodeVP8(96, 48, 1).at(0);
  std::vector<Bytes> packets;
  for (size_t count = 2; count <= 6; ++count) {
    std::vector<Bytes> frames(count, a);
    frames.back() = b;
    const Bytes packet = VP8Packet(frames);
    packets.push_back(packet);
    const Exact in(packet);
    int w = 0, h = 0, n = 0;
    ASSERT_EQ(ResolutionFromBitstream_VPX(in.data(), in.size(), w, h, n), 0) << count;
    EXPECT_EQ(n, static_cast<int>(count));
    const int c = static_cast<int>(count);
    EXPECT_EQ(w, 96);
    // Two frames: the first frame's size. More: the heights less 32 for the first and the last
    // frame and 64 for each between.
    EXPECT_EQ(h, c == 2 ? 80 : 80 * (c - 1) + 48 - 2 * 32 - 64 * (c - 2));
  }
  KeepSeeds("bitstream_vp8", "libvpx_packet_", packets, 2);
}

TEST(BitstreamFromEncoders, H264CroppedAndUncroppedFromLibavcodec) {
  for (auto [w, h] :
       {std::pair{320, 240}, std::pair{320, 180}, std::pair{200, 120}, std::pair{96, 54}}) {
    const std::vector<Bytes> packets = EncodeFFmpeg(FF_VCodecH264, w, h, 2);
    ASSERT_EQ(packets.size(), 2u);
    const Exact key(packets[0]);
    int fw = 0, fh = 0;
    ASSERT_EQ(ResolutionFromBitstream_H264(key.data(), key.size(), fw, fh), 0);
    EXPECT_EQ(fw, w);
    EXPECT_EQ(fh, h);
    int delta = -1;
    EXPECT_EQ(TypeSliceFromBitstream_H264(key.data(), key.size(), delta), 0);
    EXPECT_EQ(delta, 0);
    const Exact next(packets[1]);
    EXPECT_EQ(ResolutionFromBitstream_H264(next.data(), next.size(), fw, fh), -1);
    EXPECT_EQ(TypeSliceFromBitstream_H264(next.data(), next.size(), delta), -1);
    EXPECT_EQ(delta, 1);
    hx_sps sps;
    const uint8_t* nal = nullptr;
    int nalSize = 0;
    ASSERT_EQ(SPSFromBitstream_H264(key.data(), key.size(), &sps, nal, nalSize), 0);
    EXPECT_EQ(sps.frame_cropping_flag, (w % 16 || h % 16) ? 1u : 0u);
    EXPECT_EQ(sps.pic_width_in_mbs, static_cast<uint32_t>((w + 15) / 16));
    if (w == 96) KeepSeeds("bitstream_h264", "x264_96x54_", packets, 2);
  }
}

TEST(BitstreamFromEncoders, H264SpsWrittenBackDecodesTheSamePicture) {
  const int w = 320, h = 180;
  const std::vector<Bytes> packets = EncodeFFmpeg(FF_VCodecH264, w, h, 1);
  ASSERT_EQ(packets.size(), 1u);
  const Bytes& key = packets[0];
  const Exact in(key);
  hx_sps sps;
  const uint8_t* nal = nullptr;
  int nalSize = 0;
  ASSERT_EQ(SPSFromBitstream_H264(in.data(), in.size(), &sps, nal, nalSize), 0);
  EXPECT_EQ(sps.vui_parameters_present_flag, 1u) << "libx264 writes a VUI";

  Bytes unit(256);
  const int n = SPSToNAL_H264(unit.data(), static_cast<int>(unit.size()), &sps);
  ASSERT_GT(n, 4);
  unit.resize(static_cast<size_t>(n));
  const Exact written(unit);
  hx_sps again;
  ASSERT_EQ(SPSFromBitstream_H264(written.data(), written.size(), &again, nal, nalSize), 0);
  EXPECT_TRUE(again == sps);
  KeepSeeds("bitstream_h264", "written_sps_", {unit}, 1);
  int fw = 0, fh = 0;
  ASSERT_EQ(ResolutionFromBitstream_H264(written.data(), written.size(), fw, fh), 0);
  EXPECT_EQ(fw, w);
  EXPECT_EQ(fh, h);

  // The key frame with the encoder's SPS swapped for the written one.
  const uint8_t* at = nullptr;
  int at_size = 0;
  ASSERT_EQ(SPSFromBitstream_H264(key.data(), static_cast<int>(key.size()), &sps, at, at_size), 0);
  const size_t offset = static_cast<size_t>(at - key.data());
  Bytes swapped(key.begin(), key.begin() + static_cast<long>(offset));
  swapped.insert(swapped.end(), unit.begin() + 1, unit.end());  // keep the 3-byte start code form
  swapped.insert(swapped.end(), key.begin() + static_cast<long>(offset + at_size), key.end());

  auto decode = [&](const Bytes& packet) {
    FF_VideoCodec decoder(FF_VCodecH264, false);
    Bytes picture(static_cast<size_t>(w) * h * 3 / 2);
    if (decoder.Init(w, h, 0, 30) != 0) return Bytes();
    const int got = decoder.Decode(packet.data(), picture.data(), static_cast<int>(packet.size()));
    return got > 0 ? picture : Bytes();
  };
  const Bytes original = decode(key);
  ASSERT_FALSE(original.empty());
  EXPECT_EQ(decode(swapped), original);
}

TEST(BitstreamFromEncoders, H265FromLibavcodec) {
  for (auto [w, h] : {std::pair{320, 240}, std::pair{320, 180}, std::pair{96, 54}}) {
    const std::vector<Bytes> packets = EncodeLibavcodec("libx265", w, h, 2);
    ASSERT_EQ(packets.size(), 2u);
    const Exact key(packets[0]);
    int fw = 0, fh = 0;
    ASSERT_EQ(ResolutionFromBitstream_H265(key.data(), key.size(), fw, fh), 0);
    EXPECT_EQ(fw, w);
    EXPECT_EQ(fh, h);
    int delta = -1;
    EXPECT_EQ(TypeSliceFromBitstream_H265(key.data(), key.size(), delta), 0);
    EXPECT_EQ(delta, 0);
    const Exact next(packets[1]);
    EXPECT_EQ(ResolutionFromBitstream_H265(next.data(), next.size(), fw, fh), -1);
    EXPECT_EQ(TypeSliceFromBitstream_H265(next.data(), next.size(), delta), -1);
    EXPECT_EQ(delta, 1);
    // An H.265 key frame begins with a parameter set H.264 does not take.
    EXPECT_NE(ResolutionFromBitstream_H264(key.data(), key.size(), fw, fh), 0);
    if (w == 96) KeepSeeds("bitstream_h265", "x265_96x54_", packets, 2);
  }
}

TEST(BitstreamFromEncoders, H263CifAndH263PlusCustomSize) {
  struct Case {
    FF_VCodecID id;
    int w, h;
    const char* seeds;
  } cases[] = {{FF_VCodecH263, 352, 288, "bitstream_h263"},
               {FF_VCodecH263, 176, 144, nullptr},
               {FF_VCodecH263P, 640, 480, nullptr},
               {FF_VCodecH263P, 96, 64, "bitstream_h263"},
               {FF_VCodecH263P, 352, 288, nullptr}};
  for (const Case& c : cases) {
    const std::vector<Bytes> packets = EncodeFFmpeg(c.id, c.w, c.h, 2);
    ASSERT_EQ(packets.size(), 2u) << c.w;
    for (const Bytes& packet : packets) {
      const Exact in(packet);
      int fw = 0, fh = 0;
      const int r = ResolutionFromBitstream_H263(in.data(), in.size(), fw, fh);
      // H.263+ repeats the picture format only when UFEP is 1; its P pictures carry UFEP 0.
      if (c.id == FF_VCodecH263P && &packet != &packets[0] && r == -1) continue;
      ASSERT_EQ(r, 0) << c.w << "x" << c.h;
      EXPECT_EQ(fw, c.w);
      EXPECT_EQ(fh, c.h);
    }
    if (c.seeds)
      KeepSeeds(c.seeds, c.id == FF_VCodecH263 ? "h263_cif_" : "h263plus_96x64_", packets, 2);
  }
}

}  // namespace
