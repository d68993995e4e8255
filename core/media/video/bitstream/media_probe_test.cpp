// The stream probe over real streams (VP8 from libvpx, H.264, H.265 and H.263+ from libavcodec's
// encoders) and hand-made openings: which codec it names, the size, and what it leaves alone.
#include "core/media/video/bitstream/media_probe.h"

#include <gtest/gtest.h>

#include "core/client/best_media_format.h"
#include "core/media/video/bitstream/bitstream_test_util.h"
#include "core/wire/media_format.h"

// libx265 3.5 leaks a few of its own blocks per encoder, whatever the caller frees.
extern "C" const char* __lsan_default_suppressions() { return "leak:libx265.so\n"; }

namespace {

using namespace hx::bitstream::test;

struct Probe {
  int result;
  int width = -7;
  int height = -7;
  unsigned fourcc = 7;
  int frames = -7;
};

Probe ProbeOf(const Bytes& stream) {
  const Exact exact(stream);
  Probe p{0};
  p.result = HX_BestMediaFormat::ParseMediaFormat(exact.data(), exact.size(), p.width, p.height,
                                                  p.fourcc, p.frames);
  return p;
}

TEST(MediaProbe, NamesTheCodecAndSizeOfRealKeyFrames) {
  const std::vector<Bytes> vp8 = EncodeVP8(176, 144, 3);
  ASSERT_EQ(vp8.size(), 3u);
  const struct {
    const char* what;
    Bytes stream;
    int width, height;
    unsigned fourcc;
    int frames;
  } cases[] = {
      {"VP8", vp8[0], 176, 144, HX_MediaFormat::kCodecVP8, 1},
      {"VP8 stereo packet", VP8Packet({vp8[0], vp8[0]}), 176, 144, HX_MediaFormat::kCodecVP8Stereo,
       2},
      {"VP8 packet of 3", VP8Packet({vp8[0], vp8[0], vp8[0]}), 176, 144 * 3 - 128, 0x64687670, 3},
      {"H.264", EncodeFFmpeg(FF_VCodecH264, 96, 54, 1).at(0), 96, 54, HX_MediaFormat::kCodecH264,
       1},
      {"H.265", EncodeLibavcodec("libx265", 96, 54, 1).at(0), 96, 54, HX_MediaFormat::kCodecH265,
       1},
      {"H.263+ CIF", EncodeFFmpeg(FF_VCodecH263, 352, 288, 1).at(0), 352, 288,
       HX_MediaFormat::kCodecH263Plus, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Probe p = ProbeOf(c.stream);
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.width, c.width);
    EXPECT_EQ(p.height, c.height);
    EXPECT_EQ(p.fourcc, c.fourcc);
    EXPECT_EQ(p.frames, c.frames);
  }
}

TEST(MediaProbe, ARecognisedCodecWithoutASizeStopsTheProbe) {
  // An IDR slice before any parameter set: H.264 without a size; H.263 is not tried.
  const Probe idr = ProbeOf({0, 0, 1, 0x65, 0x88, 0x84, 0x00, 0x33});
  EXPECT_EQ(idr.result, -2);
  EXPECT_EQ(idr.fourcc, HX_MediaFormat::kCodecH264);
  EXPECT_EQ(idr.width, -7);
  EXPECT_EQ(idr.height, -7);
  // A CRA picture before any parameter set: H.265 without a size.
  const Probe cra = ProbeOf({0, 0, 1, 0x2A, 0x01, 0xAF, 0x00, 0x33});
  EXPECT_EQ(cra.result, -2);
  EXPECT_EQ(cra.fourcc, HX_MediaFormat::kCodecH265);
}

TEST(MediaProbe, NothingRecognisedLeavesEveryOutputAlone) {
  for (const Bytes& stream : {Bytes{}, Bytes{0x55}, Bytes(64, 0x55), EncodeVP8(64, 48, 2).at(1),
                              Bytes{0, 0, 1, 0x41, 0x9A, 0x00}}) {
    const Probe p = ProbeOf(stream);
    EXPECT_EQ(p.result, -1);
    EXPECT_EQ(p.width, -7);
    EXPECT_EQ(p.height, -7);
    EXPECT_EQ(p.fourcc, 7u);
    EXPECT_EQ(p.frames, -7);
  }
}

TEST(MediaProbe, PeerSizesAreUsableFromOneTo8192) {
  EXPECT_TRUE(HX_PeerPictureSizeUsable(1, 1));
  EXPECT_TRUE(HX_PeerPictureSizeUsable(8192, 8192));
  EXPECT_FALSE(HX_PeerPictureSizeUsable(0, 480));
  EXPECT_FALSE(HX_PeerPictureSizeUsable(640, 0));
  EXPECT_FALSE(HX_PeerPictureSizeUsable(8193, 16));
  EXPECT_FALSE(HX_PeerPictureSizeUsable(16, 8193));
  EXPECT_FALSE(HX_PeerPictureSizeUsable(-2, 16));
  EXPECT_FALSE(HX_PeerPictureSizeUsable(int64_t{1} << 40, 16));
}

}  // namespace
