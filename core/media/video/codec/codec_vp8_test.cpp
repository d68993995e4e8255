// The VP8 encoder and decoder against real libvpx: round trips measured by luma PSNR, runtime bit
// rate, forced key frames, the temporal patterns (their configuration read back from the stored
// libvpx configuration, their per-frame flags and layer ids), and the decoder's output bound
// checked with guard bytes around the output buffer.
#include "core/media/video/codec/codec_vp8.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// The options the layered encoder hands the VP8 encoder.
HX_VideoCoderOptions LayerOptions(int width, int height) {
  HX_VideoCoderOptions o;
  o.width = width;
  o.height = height;
  o.timeBase = 10;
  o.bitrate = 128;
  o.constantBitrate = 1;
  o.keyFrameMaxDistance = 1000;
  o.threads = 1;
  o.lagFrames = 1;
  o.deadlineMode = 0;
  o.cpuUsed = -14;
  o.staticThreshold = 800;
  o.autoKeyFrames = 1;
  return o;
}

// A packed I420 picture. Smooth: gradients drifting with the frame number. Detailed: two
// pseudo-random textures of 2x2 cells panning in opposite directions and averaged, so that motion
// search cannot follow both (moving detail, yet not pure noise).
unsigned char Texture(int x, int y, uint32_t salt) {
  uint32_t v =
      static_cast<uint32_t>(x / 2) * 73856093u ^ static_cast<uint32_t>(y / 2) * 19349663u ^ salt;
  v ^= v >> 13;
  v *= 0x5bd1e995u;
  v ^= v >> 15;
  return static_cast<unsigned char>(v & 0xFF);
}

std::vector<unsigned char> Picture(int w, int h, int frame, bool detailed) {
  std::vector<unsigned char> pic(static_cast<size_t>(w) * h * 3 / 2);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      pic[static_cast<size_t>(y) * w + x] =
          detailed
              ? static_cast<unsigned char>((Texture(x + 1000 + 2 * frame, y + 1000, 1) +
                                            Texture(x + 1000 - 3 * frame, y + 1000 + frame, 2)) /
                                           2)
              : static_cast<unsigned char>(128 + 60 * std::sin((x + 3 * frame) / 40.0) *
                                                     std::cos((y + frame) / 30.0));
    }
  }
  unsigned char* u = pic.data() + static_cast<size_t>(w) * h;
  unsigned char* v = u + static_cast<size_t>(w / 2) * (h / 2);
  for (int y = 0; y < h / 2; ++y) {
    for (int x = 0; x < w / 2; ++x) {
      u[y * (w / 2) + x] = static_cast<unsigned char>(100 + (x + frame) % 50);
      v[y * (w / 2) + x] = static_cast<unsigned char>(150 - (y + frame) % 40);
    }
  }
  return pic;
}

double LumaPsnr(const unsigned char* a, const unsigned char* b, size_t n) {
  double sse = 0;
  for (size_t i = 0; i < n; ++i) {
    const double d = static_cast<double>(a[i]) - b[i];
    sse += d * d;
  }
  if (sse == 0) return 99;
  return 10 * std::log10(255.0 * 255.0 * n / sse);
}

struct Encoded {
  std::vector<unsigned char> bytes;
  HX_VideoCodecParam param;
};

Encoded Encode(HXCodecVP8Encoder& enc, const std::vector<unsigned char>& pic, uint32_t request) {
  Encoded e;
  e.bytes.resize(static_cast<size_t>(enc.storedConfig().g_w) * enc.storedConfig().g_h * 3);
  e.param.request = request;
  const int n = enc.convert(pic.data(), e.bytes.data(), e.param);
  EXPECT_GE(n, 0);
  e.bytes.resize(static_cast<size_t>(n));
  return e;
}

// Decodes into a buffer of exactly the bound with guard bytes on both sides; checks the guards.
int DecodeGuarded(HXCodecVP8Decoder& dec, const std::vector<unsigned char>& frame,
                  std::vector<unsigned char>* picture, uint32_t noOutput = 0) {
  const size_t room = HXCodecVP8Decoder::OutputBytes(dec.width(), dec.height());
  std::vector<unsigned char> buf(room + 64, 0xA5);
  HX_VideoCodecParam p;
  p.inputSize = static_cast<uint32_t>(frame.size());
  p.noOutput = noOutput;
  const int n = dec.convert(frame.data(), buf.data() + 32, p);
  for (size_t i = 0; i < 32; ++i) {
    EXPECT_EQ(buf[i], 0xA5) << "guard before, byte " << i;
    EXPECT_EQ(buf[buf.size() - 1 - i], 0xA5) << "guard after, byte " << i;
  }
  EXPECT_GE(n, 0);
  EXPECT_LE(static_cast<size_t>(n), room);
  if (picture) picture->assign(buf.begin() + 32, buf.begin() + 32 + n);
  return n;
}

TEST(CodecVP8, SmoothMotionRoundTripsAbove30dB) {
  const int w = 640, h = 360;
  HXCodecVP8Encoder enc;
  HX_VideoCoderOptions o = LayerOptions(w, h);
  ASSERT_TRUE(enc.init(&o, 0));
  enc.setBitrate(189);  // 568 kbit/s at 30 pictures per second on a 10-tick clock
  HXCodecVP8Decoder dec;
  HX_VideoCoderOptions d;
  d.width = w;
  d.height = h;
  d.timeBase = 10;
  d.threads = 1;
  ASSERT_TRUE(dec.init(&d, 0));
  double worst = 99;
  for (int i = 0; i < 90; ++i) {
    const auto pic = Picture(w, h, i, false);
    Encoded e = Encode(enc, pic, i == 0 ? 0 : 1);
    ASSERT_GT(e.bytes.size(), 0u) << i;
    std::vector<unsigned char> out;
    ASSERT_EQ(DecodeGuarded(dec, e.bytes, &out), w * h * 3 / 2) << i;
    worst = std::min(worst, LumaPsnr(pic.data(), out.data(), static_cast<size_t>(w) * h));
  }
  EXPECT_EQ(enc.getAppliedBitrate(), 189u);
  EXPECT_EQ(enc.storedConfig().rc_target_bitrate, 189u);
  EXPECT_GE(worst, 30.0);
}

TEST(CodecVP8, LowerBitrateBetweenPicturesAtLeastHalvesTheBytes) {
  const int w = 320, h = 240;
  HXCodecVP8Encoder enc;
  HX_VideoCoderOptions o = LayerOptions(w, h);
  ASSERT_TRUE(enc.init(&o, 0));
  enc.setBitrate(1000);
  int frame = 0;
  for (int i = 0; i < 20; ++i, ++frame) Encode(enc, Picture(w, h, frame, true), frame == 0 ? 0 : 1);
  size_t high = 0;
  for (int i = 0; i < 80; ++i, ++frame)
    high += Encode(enc, Picture(w, h, frame, true), 1).bytes.size();
  enc.setBitrate(300);
  size_t low = 0;
  for (int i = 0; i < 80; ++i, ++frame) {
    Encoded e = Encode(enc, Picture(w, h, frame, true), 1);
    low += e.bytes.size();
    EXPECT_EQ(e.param.keyFrame, 0u) << frame;
  }
  EXPECT_EQ(enc.getAppliedBitrate(), 300u);
  std::printf("bytes of 80 pictures: %zu at 1000, %zu at 300 (%.2f times fewer)\n", high, low,
              low ? static_cast<double>(high) / low : 0.0);
  EXPECT_GE(high, 2 * low);
}

TEST(CodecVP8, ForcedKeyFrameComesOutWhereRequested) {
  const int w = 160, h = 120;
  HXCodecVP8Encoder enc;
  HX_VideoCoderOptions o = LayerOptions(w, h);
  ASSERT_TRUE(enc.init(&o, 0));
  for (int i = 0; i < 12; ++i) {
    const bool ask = i == 0 || i == 7;
    Encoded e = Encode(enc, Picture(w, h, i, false), ask ? 0 : 1);
    EXPECT_EQ(e.param.keyFrame != 0, ask) << i;
    EXPECT_EQ(e.param.layerInfo & 0xFF, 0u);
    EXPECT_EQ(enc.lastEncodeFlags(), ask ? VPX_EFLAG_FORCE_KF : 0) << i;
  }
}

TEST(CodecVP8, SvcModeWordsSelectPatternsAndReadBack) {
  const int w = 160, h = 120;
  struct Case {
    uint32_t mode;
    uint32_t back;
    uint32_t pattern;
    unsigned periodicity;
    unsigned layers;
    std::vector<unsigned> ids;
  };
  const Case cases[] = {
      {0xFFFFFFFF, 0, 0, 0, 1, {}},
      {0x200, 0x400, 4, 3, 1, {0, 1, 2}},
      {0x400, 0x200, 2, 4, 3, {0, 2, 1, 2}},
      {0x100, 0x100, 1, 2, 1, {0, 1}},
      {0x800, 0x800, 8, 2, 2, {0, 1}},
      {0x1000, 0x1000, 16, 8, 4, {0, 3, 2, 3, 1, 3, 2, 3}},
      {0x1F00, 0x1000, 16, 8, 4, {0, 3, 2, 3, 1, 3, 2, 3}},  // first bit in 0x1000, 0x800, ...
      {0x600, 0x400, 4, 3, 1, {0, 1, 2}},                    // 0x200 is tested before 0x400
  };
  for (const Case& c : cases) {
    HXCodecVP8Encoder enc;
    HX_VideoCoderOptions o = LayerOptions(w, h);
    ASSERT_TRUE(enc.init(&o, 0));
    uint32_t mode = c.mode;
    ASSERT_TRUE(enc.setSVCMode(mode)) << std::hex << c.mode;
    EXPECT_EQ(mode, c.back) << std::hex << c.mode;
    EXPECT_EQ(enc.patternId(), c.pattern);
    HX_VideoCoderOptions r;
    ASSERT_TRUE(enc.getCoderOption(&r));
    EXPECT_EQ(r.keyFrameMaxDistance, 450);
    EXPECT_EQ(r.errorResilient, 1);
    EXPECT_EQ(r.autoKeyFrames, 0);
    if (c.pattern != 0) {
      EXPECT_EQ(enc.storedConfig().ts_periodicity, c.periodicity);
      EXPECT_EQ(enc.storedConfig().ts_number_layers, c.layers);
    }
    // The pattern's layer ids in order after a key request, which restarts the pattern with the
    // key-frame flags.
    for (size_t i = 0; i < 2 * c.ids.size(); ++i) {
      Encoded e = Encode(enc, Picture(w, h, static_cast<int>(i), false), i == 0 ? 0 : 1);
      ASSERT_GT(e.bytes.size(), 0u);
      EXPECT_EQ(e.param.layerInfo & 0xFF, c.ids[i % c.ids.size()]) << c.pattern << " @" << i;
      if (i == 0) {
        EXPECT_EQ(enc.lastEncodeFlags(), 0x12B0001);
        EXPECT_EQ(e.param.keyFrame, 1u);
      } else {
        EXPECT_EQ(e.param.keyFrame, 0u) << c.pattern << " @" << i;
      }
    }
    // Back to no pattern: accepted by libvpx although the pattern had set a minimum key-frame
    // distance, which libvpx refuses beside automatic key frames.
    mode = 0;
    ASSERT_TRUE(enc.setSVCMode(mode)) << "back from " << c.pattern;
    EXPECT_EQ(mode, 0u);
    ASSERT_TRUE(enc.getCoderOption(&r));
    EXPECT_EQ(r.keyFrameMaxDistance, 1000);
    EXPECT_EQ(r.errorResilient, 0);
    EXPECT_EQ(r.autoKeyFrames, 1);
  }
}

// Patterns 1 and 4 are the ones the layered encoder selects; libvpx refuses a layer count of 0, so
// they must open with one layer.
TEST(CodecVP8, PatternsOneAndFourOpenInInit) {
  for (int32_t mode : {0x100, 0x200}) {
    HXCodecVP8Encoder enc;
    HX_VideoCoderOptions o = LayerOptions(160, 120);
    o.temporalMode = mode;
    o.layerOption = 60;
    ASSERT_TRUE(enc.init(&o, 0)) << std::hex << mode;
    EXPECT_EQ(enc.storedConfig().ts_number_layers, 1u);
    HX_VideoCoderOptions r;
    ASSERT_TRUE(enc.getCoderOption(&r));
    EXPECT_EQ(r.temporalMode, mode == 0x100 ? 0x100 : 0x400);
    EXPECT_EQ(r.cpuUsed, 3) << "option byte 58 or more under a pattern";
    EXPECT_EQ(r.staticThreshold, 200);
    EXPECT_EQ(r.layerOption, 60);
    Encoded e = Encode(enc, Picture(160, 120, 0, false), 0);
    EXPECT_GT(e.bytes.size(), 0u);
    EXPECT_EQ(enc.lastEncodeFlags(), 0x12B0001);
  }
}

TEST(CodecVP8, PatternEightTemporalTargetsFollowTheBitrate) {
  HXCodecVP8Encoder enc;
  HX_VideoCoderOptions o = LayerOptions(160, 120);
  o.temporalMode = 0x800;
  ASSERT_TRUE(enc.init(&o, 0));
  EXPECT_EQ(enc.storedConfig().ts_target_bitrate[0], 128u * 6 / 10);
  ASSERT_TRUE(enc._setBitrate(1000));
  EXPECT_EQ(enc.storedConfig().ts_target_bitrate[0], 600u);
  EXPECT_EQ(enc.storedConfig().ts_target_bitrate[1], 1000u);
  EXPECT_EQ(enc.storedConfig().rc_target_bitrate, 1000u);

  HXCodecVP8Encoder sixteen;
  o.temporalMode = 0x1000;
  o.bitrate = 1000;
  ASSERT_TRUE(sixteen.init(&o, 0));
  const unsigned want[] = {300, 600, 800, 1000};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(sixteen.storedConfig().ts_target_bitrate[i], want[i]);
  HXCodecVP8Encoder two;
  o.temporalMode = 0x400;
  o.bitrate = 1001;
  ASSERT_TRUE(two.init(&o, 0));
  EXPECT_EQ(two.storedConfig().ts_target_bitrate[0], 500u);
  EXPECT_EQ(two.storedConfig().ts_target_bitrate[1], 750u);
  EXPECT_EQ(two.storedConfig().ts_target_bitrate[2], 1001u);
}

TEST(CodecVP8, OptionsReadBack) {
  HXCodecVP8Encoder enc;
  HX_VideoCoderOptions o = LayerOptions(160, 120);
  EXPECT_FALSE(enc.getCoderOption(&o)) << "not open";
  EXPECT_FALSE(enc._setBitrate(300)) << "not open";
  const struct {
    int32_t mode;
    int32_t back;
  } deadlines[] = {{0, 0}, {1, 1}, {2, 2}, {5000, 5000}};
  for (const auto& dl : deadlines) {
    o = LayerOptions(160, 120);
    o.deadlineMode = dl.mode;
    o.lagFrames = 0;
    ASSERT_TRUE(enc.init(&o, 0));
    HX_VideoCoderOptions r;
    ASSERT_TRUE(enc.getCoderOption(&r));
    EXPECT_EQ(r.deadlineMode, dl.back);
    EXPECT_EQ(r.width, 160);
    EXPECT_EQ(r.height, 120);
    EXPECT_EQ(r.timeBase, 10);
    EXPECT_EQ(r.bitrate, 128);
    EXPECT_EQ(r.constantBitrate, 1);
    EXPECT_EQ(r.lagFrames, 1);
    EXPECT_EQ(r.cpuUsed, -14);
    EXPECT_EQ(r.staticThreshold, 800);
    EXPECT_EQ(r.temporalMode, 0);
    Encoded e = Encode(enc, Picture(160, 120, 0, false), 0);
    EXPECT_GT(e.bytes.size(), 0u) << dl.mode;
  }
  enc.release();
  EXPECT_FALSE(enc.isValid());
  EXPECT_EQ(enc.getBitrate(), 128u);
  HX_VideoCodecParam p;
  std::vector<unsigned char> out(100);
  EXPECT_EQ(enc.convert(Picture(160, 120, 0, false).data(), out.data(), p), 0);
  HX_VideoCoderOptions bad = LayerOptions(0, 120);
  EXPECT_FALSE(enc.init(&bad, 0));
  EXPECT_FALSE(enc.init(nullptr, 0));
}

// The decoder keeps its references when asked not to copy a picture out.
TEST(CodecVP8, NoOutputDecodeKeepsReferences) {
  const int w = 160, h = 120;
  HXCodecVP8Encoder enc;
  HX_VideoCoderOptions o = LayerOptions(w, h);
  ASSERT_TRUE(enc.init(&o, 0));
  enc.setBitrate(400);
  std::vector<std::vector<unsigned char>> frames;
  for (int i = 0; i < 4; ++i)
    frames.push_back(Encode(enc, Picture(w, h, i, false), i == 0 ? 0 : 1).bytes);
  HX_VideoCoderOptions d;
  d.width = w;
  d.height = h;
  d.threads = 1;
  HXCodecVP8Decoder all, skipping;
  ASSERT_TRUE(all.init(&d, 0));
  ASSERT_TRUE(skipping.init(&d, 0));
  std::vector<unsigned char> a, b;
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(DecodeGuarded(all, frames[i], &a), w * h * 3 / 2);
    const int n = DecodeGuarded(skipping, frames[i], &b, i == 1 || i == 2);
    if (i == 1 || i == 2) {
      EXPECT_EQ(n, 0);
    } else {
      ASSERT_EQ(n, w * h * 3 / 2);
      EXPECT_EQ(a, b) << "picture " << i;
    }
  }
}

// The decoder writes only a picture of the size it was opened with, and answers the bytes written.
TEST(CodecVP8, DecoderWritesOnlyWhatItsBoundAllows) {
  struct Case {
    int encW, encH, decW, decH;
    int want;
  };
  const Case cases[] = {
      {64, 48, 64, 48, 64 * 48 * 3 / 2},
      {63, 47, 63, 47, 63 * 47 + 2 * 32 * 24},  // odd: chroma rounded up, all of it counted
      {96, 64, 64, 48, 0},                      // larger than opened: nothing written
      {32, 32, 64, 48, 0},                      // smaller than opened: nothing written
  };
  for (const Case& c : cases) {
    HXCodecVP8Encoder enc;
    HX_VideoCoderOptions o = LayerOptions(c.encW, c.encH);
    ASSERT_TRUE(enc.init(&o, 0));
    std::vector<unsigned char> pic(static_cast<size_t>(c.encW) * c.encH * 3 / 2 + 16, 90);
    std::vector<unsigned char> out(static_cast<size_t>(c.encW) * c.encH * 3);
    HX_VideoCodecParam p;
    const int n = enc.convert(pic.data(), out.data(), p);
    ASSERT_GT(n, 0);
    out.resize(static_cast<size_t>(n));
    HXCodecVP8Decoder dec;
    HX_VideoCoderOptions d;
    d.width = c.decW;
    d.height = c.decH;
    d.threads = 1;
    ASSERT_TRUE(dec.init(&d, 0));
    EXPECT_EQ(DecodeGuarded(dec, out, nullptr), c.want) << c.encW << "x" << c.encH;
    EXPECT_EQ(HXCodecVP8Decoder::OutputBytes(c.decW, c.decH),
              static_cast<size_t>(c.decW) * c.decH + 2 * ((c.decW + 1) / 2) * ((c.decH + 1) / 2));
  }
  HXCodecVP8Decoder dec;
  HX_VideoCodecParam p;
  unsigned char junk[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  p.inputSize = 8;
  EXPECT_EQ(dec.convert(junk, junk, p), 0) << "not open";
  EXPECT_FALSE(dec._setBitrate(10));
  EXPECT_FALSE(dec.init(nullptr, 0));
}

// A frame that would overflow the callers' smallest buffer (3 x width x height) is dropped, and the
// next picture is a key frame.
TEST(CodecVP8, OversizedFrameIsDroppedAndFollowedByAKeyFrame) {
  const int w = 8, h = 8;
  HXCodecVP8Encoder enc;
  HX_VideoCoderOptions o = LayerOptions(w, h);
  o.constantBitrate = 0;
  o.bitrate = 100000;
  ASSERT_TRUE(enc.init(&o, 0));
  std::vector<unsigned char> noise(w * h * 3 / 2);
  uint32_t seed = 12345;
  for (auto& b : noise) {
    seed = seed * 1103515245u + 12345u;
    b = static_cast<unsigned char>(seed >> 24);
  }
  const size_t room = 3 * w * h;
  std::vector<unsigned char> out(room + 32, 0xA5);
  HX_VideoCodecParam p;
  p.request = 0;
  const int n = enc.convert(noise.data(), out.data(), p);
  for (size_t i = room; i < out.size(); ++i) ASSERT_EQ(out[i], 0xA5);
  // libvpx 1.12 makes about 234 bytes of this picture, past the 192 bytes of room.
  ASSERT_EQ(n, 0);
  EXPECT_EQ(p.keyFrame, 0u);
  for (size_t i = 0; i < room; ++i) ASSERT_EQ(out[i], 0xA5) << "nothing written";
  // The next, ordinary request comes out as a key frame.
  std::vector<unsigned char> flat(w * h * 3 / 2, 128);
  HX_VideoCodecParam q;
  q.request = 1;
  std::vector<unsigned char> out2(room);
  const int m = enc.convert(flat.data(), out2.data(), q);
  EXPECT_GT(m, 0);
  EXPECT_EQ(q.keyFrame, 1u);
  EXPECT_EQ(enc.lastEncodeFlags(), VPX_EFLAG_FORCE_KF);
}

}  // namespace
