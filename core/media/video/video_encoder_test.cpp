// The layered encoder front-end against real libvpx VP8 encoders (and decoders to read its output
// back), with a factory that records every codec it creates and every SVC word handed to them.

#include "core/media/video/video_encoder.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "core/media/video/codec/codec_vp8.h"
#include "core/media/video/codec/video_codec_factory.h"
#include "core/media/video/video_decoder.h"

namespace {

// A VP8 encoder that records the SVC words it is given.
class RecordingVP8 : public HXCodecVP8Encoder {
 public:
  explicit RecordingVP8(std::vector<uint32_t>* words) : words_(words) {}
  bool _setSVCMode(uint32_t& mode) override {
    words_->push_back(mode);
    return HXCodecVP8Encoder::_setSVCMode(mode);
  }

 private:
  std::vector<uint32_t>* words_;
};

class RecordingFactory : public HX_VideoCodecFactory {
 public:
  VideoCodecBase* CreateEncoderVP8(hx_vfactory_defs::eTypeCodec type) override {
    ++created;
    types.push_back(type);
    return new RecordingVP8(&words);
  }
  std::atomic<int> created{0};
  std::vector<hx_vfactory_defs::eTypeCodec> types;
  std::vector<uint32_t> words;
};

HX_MediaFormat Format(uint32_t width, uint32_t height, uint32_t fps, uint32_t svc) {
  HX_MediaFormat f;
  f.width = width;
  f.height = height;
  f.frameRate = fps;
  f.svcMode = svc;
  f.videoCodec = HX_MediaFormat::kCodecVP8;
  return f;
}

// A moving pattern: diagonal luma stripes shifted by the frame number, flat chroma.
std::vector<unsigned char> Pattern(uint32_t width, uint32_t height, int frame) {
  std::vector<unsigned char> p(static_cast<size_t>(width) * height * 3 / 2);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      p[y * width + x] = static_cast<unsigned char>(((x + y + 4 * frame) / 8 % 2) ? 200 : 50);
    }
  }
  for (size_t i = static_cast<size_t>(width) * height; i < p.size(); ++i) p[i] = 128;
  return p;
}

struct Emitted {
  std::vector<unsigned char> data;
  HX_SendNhpVideoHeader header;
  std::vector<uint8_t> descriptor;
};

struct Sink {
  std::vector<Emitted> frames;
  void OnFrame(const unsigned char* data, unsigned long size, HX_SendNhpVideoHeader* h) {
    Emitted e;
    e.data.assign(data, data + size);
    e.header = *h;
    if (h->layerDescriptor != nullptr) {
      e.descriptor.assign(h->layerDescriptor, h->layerDescriptor + h->layerDescriptorLength);
    }
    e.header.layerDescriptor = nullptr;
    frames.push_back(std::move(e));
  }
};

HX_SendNhpVideoHeader Header(uint8_t counter, uint8_t type, uint32_t time) {
  HX_SendNhpVideoHeader h;
  h.frameCounter = counter;
  h.frameType = type;
  h.timestamp = time;
  h.frameInterval = 33;
  return h;
}

struct Fixture {
  RecordingFactory factory;
  HX_VideoEncoder encoder;
  Sink sink;
  explicit Fixture(const scalable_info::Config& config) {
    encoder.Configure(config);
    encoder.SetCodecFactory(&factory);
    encoder.CompressedFrameSignal.Connect(&sink, &Sink::OnFrame);
  }
  bool Encode(const HX_MediaFormat& f, int frame, uint8_t type) {
    auto picture = Pattern(f.width, f.height, frame);
    auto header = Header(static_cast<uint8_t>(frame), type, 1000 + 33 * frame);
    bool sent = false;
    encoder.OnReady2Compress(picture.data(), picture.size(), &header, sent);
    return sent;
  }
};

scalable_info::Config Caps(uint32_t svc, uint32_t algorithm = 0) {
  scalable_info::Config c;
  c.svcCaps = svc;
  c.lastLayerOption = 0;
  c.bitrateAlgorithm = algorithm;
  return c;
}

struct LayerRow {
  uint32_t w, h;
  int max, min, totalCap, restMax, restMin;
  double weight;
};

struct ArithmeticCase {
  std::string name;
  HX_MediaFormat format;
  uint32_t svcCaps;
  bool screen;
  uint32_t cameraUpLimit;
  uint32_t effectiveMode;
  int temporal;
  std::vector<LayerRow> layers;
  double totalWeight;
};

TEST(VideoEncoder, LayerArithmeticTable) {
  const std::vector<ArithmeticCase> cases = {
      {"1920x1080 high capacity preset",
       Format(1920, 1080, 30, 0x20001),
       0x20000,
       false,
       0,
       0x20000,
       1,
       {{1920, 1080, 2240, 2048, 5600, 3917, 3581, 1.0},
        {1280, 720, 1075, 983, 5600, 1677, 1533, 0.48},
        {640, 360, 430, 393, 5600, 602, 550, 0.192},
        {320, 180, 172, 0, 5600, 172, 0, 0.0768}},
       1.7488},
      {"640x480 two layers",
       Format(640, 480, 30, 0x10000),
       0x10000,
       false,
       0,
       0x10000,
       1,
       {{640, 480, 461, 424, 1152, 645, 593, 1.0}, {320, 240, 184, 0, 1152, 184, 0, 0.4}},
       1.4},
      {"screen capture with three temporal layers takes 960x540 next",
       Format(1280, 720, 30, 0x10201),
       0x10201,
       true,
       0,
       0x10201,
       3,
       // mbps 108000: max min(2240, 1081), min min(2048, 993)
       {{1280, 720, 1081, 993, 2702, 1513, 1390, 1.0}, {960, 540, 432, 0, 2702, 432, 0, 0.4}},
       1.4},
      {"client core configuration: one layer whatever the format asks",
       Format(1280, 720, 30, 0x30000),
       1,
       false,
       0,
       0,
       1,
       {{1280, 720, 640, 0, 1066, 640, 0, 1.0}},
       1.0},
      {"configured camera limit and its floor",
       Format(640, 360, 30, 0),
       1,
       false,
       300,
       0,
       1,
       // max min(300, 152 + 232) = 300; floor (int)(274.2); min is the last layer's: 0
       {{640, 360, 300, 0, 500, 300, 0, 1.0}},
       1.0},
      {"level 255 switches scalability off",
       Format(640, 480, 30, 0xFF010000),
       0xFF010000,
       false,
       0,
       0,
       1,
       {{640, 480, 461, 0, 768, 461, 0, 1.0}},
       1.0},
  };
  for (const ArithmeticCase& c : cases) {
    SCOPED_TRACE(c.name);
    scalable_info::Config config = Caps(c.svcCaps);
    config.cameraUpLimit = c.cameraUpLimit;
    Fixture fx(config);
    fx.encoder.Reinit(&c.format, c.screen);
    ASSERT_TRUE(fx.encoder.IsValid());
    EXPECT_EQ(fx.encoder.GetEffectiveMode() & 0xFFFF0000, c.effectiveMode & 0xFFFF0000);
    EXPECT_EQ(fx.encoder.GetTemporalCount(), c.temporal);
    const auto& props = fx.encoder.GetSpatialProperties();
    ASSERT_EQ(props.size(), c.layers.size());
    ASSERT_EQ(fx.encoder.GetLayerCountBuilt(), c.layers.size());
    EXPECT_EQ(fx.factory.created.load(), static_cast<int>(c.layers.size()));
    for (size_t i = 0; i < props.size(); ++i) {
      SCOPED_TRACE("layer " + std::to_string(i));
      EXPECT_EQ(props[i].width, c.layers[i].w);
      EXPECT_EQ(props[i].height, c.layers[i].h);
      EXPECT_EQ(props[i].maxBitrate, c.layers[i].max);
      EXPECT_EQ(props[i].minBitrate, c.layers[i].min);
      EXPECT_EQ(props[i].totalCap, c.layers[i].totalCap);
      EXPECT_EQ(props[i].restMax, c.layers[i].restMax);
      EXPECT_EQ(props[i].restMin, c.layers[i].restMin);
      EXPECT_NEAR(props[i].weight, c.layers[i].weight, 1e-9);
      EXPECT_EQ(fx.encoder.GetLayer(i)->HasThread(), i > 0);
    }
    EXPECT_NEAR(fx.encoder.GetTotalWeight(), c.totalWeight, 1e-9);
  }
}

TEST(VideoEncoder, Level255HandsTheCodecAllOnes) {
  Fixture fx(Caps(0x10000));
  const HX_MediaFormat f = Format(640, 480, 30, 0xFF010000);
  fx.encoder.Reinit(&f, false);
  ASSERT_TRUE(fx.encoder.IsValid());
  ASSERT_EQ(fx.factory.words.size(), 1u);
  EXPECT_EQ(fx.factory.words[0], 0xFFFFFFFFu);
  EXPECT_EQ(fx.encoder.GetEffectiveMode(), 0u);
  EXPECT_FALSE(fx.encoder.IsSvcActive());
}

TEST(VideoEncoder, UnchangedReinitCreatesNoCodecAndChangesRebuild) {
  Fixture fx(Caps(1));
  HX_MediaFormat f = Format(320, 240, 30, 0);
  fx.encoder.Reinit(&f, false);
  ASSERT_EQ(fx.factory.created.load(), 1);
  f.svcMode = 1;  // not compared
  fx.encoder.Reinit(&f, false);
  EXPECT_EQ(fx.factory.created.load(), 1);
  f.frameRate = 15;
  fx.encoder.Reinit(&f, false);
  EXPECT_EQ(fx.factory.created.load(), 2);
  fx.encoder.Reinit(&f, true);
  EXPECT_EQ(fx.factory.created.load(), 3);
  f.hardwareCodec = 0;
  fx.encoder.Reinit(&f, true);
  EXPECT_EQ(fx.factory.created.load(), 3);
  EXPECT_EQ(fx.factory.types.back(), hx_vfactory_defs::eTypeCodecSoftware);
}

// The current format of a new (or released) encoder is the default record, 320x240 VP8 at 15
// frames per second: a first Reinit with that very format still builds the layers.
TEST(VideoEncoder, FirstReinitWithTheDefaultFormatBuilds) {
  Fixture fx(Caps(1));
  const HX_MediaFormat f;
  fx.encoder.Reinit(&f, false);
  EXPECT_TRUE(fx.encoder.IsValid());
  EXPECT_EQ(fx.factory.created.load(), 1);
  fx.encoder.Release();
  fx.encoder.Reinit(&f, false);
  EXPECT_TRUE(fx.encoder.IsValid());
  EXPECT_EQ(fx.factory.created.load(), 2);
  EXPECT_TRUE(fx.Encode(f, 0, 0));
}

TEST(VideoEncoder, RefusedFormatsReleaseTable) {
  struct Row {
    const char* name;
    uint32_t w, h, codec;
    bool valid;
  };
  const Row rows[] = {
      {"zero code", 320, 240, 0, false},
      {"height 15", 320, 15, HX_MediaFormat::kCodecVP8, false},
      {"width 15", 15, 240, HX_MediaFormat::kCodecVP8, false},
      {"width above 131072", 131080, 16, HX_MediaFormat::kCodecVP8, false},
      {"area above 8192 x 8192", 131072, 1024, HX_MediaFormat::kCodecVP8, false},
      {"stub code (VP9)", 320, 240, HX_MediaFormat::kCodecVP9, false},
      {"smallest", 16, 16, HX_MediaFormat::kCodecVP8, true},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    Fixture fx(Caps(1));
    const HX_MediaFormat good = Format(320, 240, 30, 0);
    fx.encoder.Reinit(&good, false);
    ASSERT_TRUE(fx.encoder.IsValid());
    HX_MediaFormat f = Format(r.w, r.h, 30, 0);
    f.videoCodec = r.codec;
    fx.encoder.Reinit(&f, false);
    EXPECT_EQ(fx.encoder.IsValid(), r.valid);
    // Refused before any layer is built: no codec, no layer buffers.
    EXPECT_EQ(fx.factory.created.load(), r.valid ? 2 : 1);
    EXPECT_EQ(fx.Encode(good, 0, 0), r.valid);
  }
  Fixture fx(Caps(1));
  fx.encoder.Reinit(nullptr, false);
  EXPECT_FALSE(fx.encoder.IsValid());
}

// A format whose codec the factory cannot build is not tried again with every picture; another
// format is.
TEST(VideoEncoder, FailedFormatIsNotRebuiltForEveryPicture) {
  struct StubCounter : HX_VideoCodecFactory {
    int stubs = 0;
    VideoCodecBase* CreateEncoderStub() override {
      ++stubs;
      return HX_VideoCodecFactory::CreateEncoderStub();
    }
  } factory;
  HX_VideoEncoder encoder;
  encoder.SetCodecFactory(&factory);
  HX_MediaFormat f = Format(320, 240, 30, 0);
  f.videoCodec = HX_MediaFormat::kCodecVP9;
  for (int i = 0; i < 5; ++i) encoder.Reinit(&f, false);
  EXPECT_FALSE(encoder.IsValid());
  EXPECT_EQ(factory.stubs, 1);
  f.width = 640;
  encoder.Reinit(&f, false);
  EXPECT_EQ(factory.stubs, 2);
  f.videoCodec = HX_MediaFormat::kCodecVP8;
  encoder.Reinit(&f, false);
  EXPECT_TRUE(encoder.IsValid());
}

// Prefix and descriptor byte for byte, two layers of 640x480, SVC level 0 and level 1.
TEST(VideoEncoder, PrefixAndDescriptorBytes) {
  struct Row {
    uint32_t svc;
    std::vector<std::vector<uint8_t>> keyDescriptors;
  };
  const Row rows[] = {
      {0x10000, {{0x01}, {0x11}}},
      {0x01010000, {{0x05, 0xB0, 0x04, 0x00, 0x00, 0x41}, {0x05, 0x2C, 0x01, 0x00, 0x00, 0x51}}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.svc);
    Fixture fx(Caps(r.svc));
    const HX_MediaFormat f = Format(640, 480, 30, r.svc);
    fx.encoder.Reinit(&f, false);
    ASSERT_EQ(fx.encoder.GetLayerCountBuilt(), 2u);
    EXPECT_TRUE(fx.encoder.IsSvcActive());
    auto picture = Pattern(640, 480, 0);
    HX_SendNhpVideoHeader header = Header(7, 0, 0x11223344);
    header.frameInterval = 40;
    bool sent = false;
    fx.encoder.OnReady2Compress(picture.data(), picture.size(), &header, sent);
    EXPECT_TRUE(sent);
    ASSERT_EQ(fx.sink.frames.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
      const Emitted& e = fx.sink.frames[i];
      ASSERT_GT(e.data.size(), 6u);
      const std::vector<uint8_t> prefix(e.data.begin(), e.data.begin() + 6);
      EXPECT_EQ(prefix, (std::vector<uint8_t>{7, 0, 0x44, 0x33, 0x22, 0x11}));
      EXPECT_EQ(e.header.frameCounter, 7);
      EXPECT_EQ(e.header.frameType, 0);
      EXPECT_EQ(e.header.timestamp, 0x11223344u);
      EXPECT_EQ(e.header.frameInterval, 40u);
      EXPECT_EQ(e.descriptor, r.keyDescriptors[i]);
    }
    // The next ordinary frame: frame type 1 in prefix and header, key bit clear in the extension.
    fx.sink.frames.clear();
    auto next = Pattern(640, 480, 1);
    header = Header(8, 1, 0x11223344 + 33);
    fx.encoder.OnReady2Compress(next.data(), next.size(), &header, sent);
    ASSERT_EQ(fx.sink.frames.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
      const Emitted& e = fx.sink.frames[i];
      EXPECT_EQ(e.data[0], 8);
      EXPECT_EQ(e.data[1], 1);
      EXPECT_EQ(e.header.frameType, 1);
      std::vector<uint8_t> expected = r.keyDescriptors[i];
      if (expected.size() == 6) expected[0] &= ~4;
      EXPECT_EQ(e.descriptor, expected);
    }
  }
}

TEST(VideoEncoder, NonZeroFormatWordGivesOneByteDescriptorWithClientCaps) {
  Fixture fx(Caps(1));
  const HX_MediaFormat f = Format(320, 240, 30, 1);
  fx.encoder.Reinit(&f, false);
  ASSERT_EQ(fx.encoder.GetLayerCountBuilt(), 1u);
  ASSERT_TRUE(fx.Encode(f, 0, 0));
  ASSERT_EQ(fx.sink.frames.size(), 1u);
  EXPECT_EQ(fx.sink.frames[0].descriptor, (std::vector<uint8_t>{0x00}));

  Fixture plain(Caps(1));
  const HX_MediaFormat g = Format(320, 240, 30, 0);
  plain.encoder.Reinit(&g, false);
  ASSERT_TRUE(plain.Encode(g, 0, 0));
  EXPECT_TRUE(plain.sink.frames[0].descriptor.empty());
}

// (share, minimum, state) → (next state, forced key frame, weight dropped, rate applied).
TEST(VideoEncoder, SplitStepTable) {
  struct Row {
    int share, min;
    uint32_t state;
    uint32_t next;
    bool key, dropped, apply;
  };
  const Row rows[] = {
      // under 90 % of the minimum (424 * 90 / 100 = 381)
      {380, 424, 0, 2, true, true, false},
      {380, 424, 1, 3, false, true, false},
      {380, 424, 2, 2, true, true, false},
      {380, 424, 3, 3, false, true, false},
      // between 90 % and the minimum
      {381, 424, 0, 0, false, false, true},
      {423, 424, 1, 1, false, false, true},
      {400, 424, 2, 2, false, true, false},
      {400, 424, 3, 3, false, true, false},
      // fits
      {424, 424, 0, 0, false, false, true},
      {424, 424, 1, 1, false, false, true},
      {500, 424, 2, 0, false, false, true},
      {500, 424, 3, 1, true, false, true},
      // the smallest layer's minimum is 0: a non-negative share always fits
      {0, 0, 3, 1, true, false, true},
      {-1, 0, 0, 2, true, true, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << r.share << "/" << r.min << " state " << r.state);
    bool key = false, dropped = false, apply = false;
    EXPECT_EQ(HX_VideoEncoder::SplitStep(r.share, r.min, r.state, key, dropped, apply), r.next);
    EXPECT_EQ(key, r.key);
    EXPECT_EQ(dropped, r.dropped);
    EXPECT_EQ(apply, r.apply);
  }
}

// A bit rate too low for layer 0: the split switches it off (state 2) and forces a key frame, which
// this very picture becomes, so the layer goes off (3) at once and is not sent; the base-layer
// resolution becomes layer 1's. Raising the rate brings it back (3 → 1, key frame forced, and at
// that key frame 1 → 0).
TEST(VideoEncoder, SplitSwitchesLayerOffAndBackWithBaseResolution) {
  Fixture fx(Caps(0x10000));
  const HX_MediaFormat f = Format(640, 480, 30, 0x10000);
  fx.encoder.Reinit(&f, false);
  ASSERT_EQ(fx.encoder.GetLayerCountBuilt(), 2u);
  EXPECT_EQ(fx.encoder.GetResolutionBaseLayer(), (640u << 16) | 480u);

  ASSERT_TRUE(fx.Encode(f, 0, 0));
  EXPECT_EQ(fx.sink.frames.size(), 2u);
  fx.sink.frames.clear();
  ASSERT_TRUE(fx.Encode(f, 1, 1));
  EXPECT_EQ(fx.sink.frames.size(), 2u);
  EXPECT_EQ(fx.sink.frames[0].data[1], 1);

  fx.encoder.SetBitrate(100, 100, 100, 3000);
  fx.sink.frames.clear();
  ASSERT_TRUE(fx.Encode(f, 2, 1));
  EXPECT_EQ(fx.encoder.GetLayer(0)->state, 3u);
  EXPECT_FALSE(fx.encoder.GetForceKeyFrame());
  ASSERT_EQ(fx.sink.frames.size(), 1u) << "layer 0 is off";
  EXPECT_EQ(fx.sink.frames[0].data[1], 0) << "the forced key frame";
  EXPECT_EQ(fx.encoder.GetResolutionBaseLayer(), (320u << 16) | 240u);
  EXPECT_EQ(fx.encoder.GetActiveLayerCount(), 1);
  // The rest of the rate went to layer 1: 100 kbit/s at the codec clock.
  EXPECT_EQ(fx.encoder.GetLayer(1)->codec->getBitrate(), 100u * 1000 / 3000);

  fx.sink.frames.clear();
  ASSERT_TRUE(fx.Encode(f, 3, 1));
  EXPECT_EQ(fx.sink.frames.size(), 1u);
  EXPECT_EQ(fx.encoder.GetLayer(0)->state, 3u);

  fx.encoder.SetBitrate(2000, 2000, 2000, 3000);
  fx.sink.frames.clear();
  ASSERT_TRUE(fx.Encode(f, 4, 1));
  EXPECT_EQ(fx.encoder.GetLayer(0)->state, 0u);
  ASSERT_EQ(fx.sink.frames.size(), 2u);
  EXPECT_EQ(fx.sink.frames[0].data[1], 0);
  EXPECT_EQ(fx.sink.frames[1].data[1], 0);
  EXPECT_EQ(fx.encoder.GetResolutionBaseLayer(), (640u << 16) | 480u);
  EXPECT_EQ(fx.encoder.GetActiveLayerCount(), 2);
}

// Layer switching (bitrateAlgorithm 1): restMin above the rate switches a layer off at once.
TEST(VideoEncoder, LayerSwitchingTable) {
  struct Row {
    int rate, bw;
    uint32_t state0, state1;
  };
  // restMin 593 / 0, minBitrate 424 / 0, restMax 645 / 184, maxBitrate 461 / 184.
  const Row rows[] = {
      // with the start values (568, 384, 384) layer 0 is already off: restMin 593 > 568
      {500, 500, 3, 0},
      {700, 700, 1, 0},
      {700, 300, 3, 0},
  };
  Fixture fx(Caps(0x10000, 1));
  const HX_MediaFormat f = Format(640, 480, 30, 0x10000);
  fx.encoder.Reinit(&f, false);
  ASSERT_EQ(fx.encoder.GetLayerCountBuilt(), 2u);
  // Algorithm 1 starts every layer at its maximum.
  EXPECT_EQ(fx.encoder.GetLayer(0)->codec->getBitrate(), 461u * 1000 / 3000);
  int frame = 0;
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << r.rate << "/" << r.bw);
    fx.encoder.SetBitrate(r.rate, r.bw, r.bw, 3000);
    fx.Encode(f, frame++, 1);
    EXPECT_EQ(fx.encoder.GetLayer(0)->state, r.state0);
    EXPECT_EQ(fx.encoder.GetLayer(1)->state, r.state1);
  }
}

TEST(VideoEncoder, SetBitrateAppliesOnlyChangesAndWaitsForAFrameRate) {
  Fixture fx(Caps(1));
  const HX_MediaFormat f = Format(320, 240, 30, 0);
  fx.encoder.Reinit(&f, false);
  VideoCodecBase& codec = *fx.encoder.GetLayer(0)->codec;
  EXPECT_EQ(codec.getBitrate(), 384u * 1000 / 3000);

  fx.encoder.SetBitrate(900, 600, 600, 3000);
  fx.Encode(f, 0, 0);
  EXPECT_EQ(codec.getBitrate(), 200u);
  codec.setBitrate(77);
  fx.encoder.SetBitrate(900, 600, 600, 3000);
  fx.Encode(f, 1, 1);
  EXPECT_EQ(codec.getBitrate(), 77u) << "the same four values change nothing";

  // A frame-rate factor of 0 has nothing to scale by: nothing applied, and no division by it.
  fx.encoder.SetBitrate(300, 300, 300, 0);
  fx.Encode(f, 2, 1);
  EXPECT_EQ(codec.getBitrate(), 77u);
  fx.encoder.SetBitrate(300, 300, 300, 1500);
  fx.Encode(f, 3, 1);
  EXPECT_EQ(codec.getBitrate(), 200u);
}

// Hostile rate inputs: a negative rate empties every share (the last layer's weight leaves the
// split too, and the unit is not recomputed over no weight), huge ones stay in range.
TEST(VideoEncoder, SplitSurvivesExtremeRates) {
  Fixture fx(Caps(0x10000));
  const HX_MediaFormat f = Format(640, 480, 30, 0x10000);
  fx.encoder.Reinit(&f, false);
  ASSERT_EQ(fx.encoder.GetLayerCountBuilt(), 2u);
  fx.encoder.SetBitrate(-5, -5, -5, 3000);
  EXPECT_FALSE(fx.Encode(f, 0, 0));
  EXPECT_EQ(fx.encoder.GetLayer(0)->state, 3u);
  EXPECT_EQ(fx.encoder.GetLayer(1)->state, 3u);
  fx.encoder.SetBitrate(INT32_MAX, INT32_MAX, INT32_MAX, 1);
  fx.Encode(f, 1, 1);
  fx.encoder.SetBitrate(INT32_MAX, 1, INT32_MAX, 3000);
  fx.Encode(f, 2, 1);
  EXPECT_TRUE(fx.encoder.IsValid());
}

TEST(VideoEncoder, ShortPictureIsIgnored) {
  Fixture fx(Caps(1));
  const HX_MediaFormat f = Format(320, 240, 30, 0);
  fx.encoder.Reinit(&f, false);
  auto picture = Pattern(320, 240, 0);
  auto header = Header(1, 0, 0);
  bool sent = false;
  fx.encoder.OnReady2Compress(picture.data(), picture.size() - 1, &header, sent);
  EXPECT_FALSE(sent);
  EXPECT_TRUE(fx.sink.frames.empty());
  fx.encoder.OnReady2Compress(picture.data(), picture.size(), &header, sent);
  EXPECT_TRUE(sent);
}

// Two real layers decode with libvpx through the decoder front-end to their own sizes, and the
// smaller one looks like the scaled-down picture.
TEST(VideoEncoder, TwoLayersDecodeToTheirSizes) {
  Fixture fx(Caps(0x10000));
  const HX_MediaFormat f = Format(640, 480, 30, 0x10000);
  fx.encoder.Reinit(&f, false);
  HX_VideoCodecFactory plain;
  HX_VideoDecoder decoders[2];
  struct Pictures {
    std::vector<std::pair<unsigned, unsigned>> sizes;
    void On(const unsigned char*, unsigned long, unsigned w, unsigned h, unsigned) {
      sizes.push_back({w, h});
    }
  } seen[2];
  for (int i = 0; i < 2; ++i) {
    decoders[i].SetCodecFactory(&plain);
    HX_MediaFormat df = f;
    df.width = i == 0 ? 640 : 320;
    df.height = i == 0 ? 480 : 240;
    decoders[i].Reinit(df);
    decoders[i].DecodedPictureSignal.Connect(&seen[i], &Pictures::On);
  }
  for (int frame = 0; frame < 5; ++frame) {
    fx.sink.frames.clear();
    ASSERT_TRUE(fx.Encode(f, frame, frame == 0 ? 0 : 1));
    ASSERT_EQ(fx.sink.frames.size(), 2u);
    for (int i = 0; i < 2; ++i) {
      const Emitted& e = fx.sink.frames[i];
      // Receive header (frame type, time) in place of the 6-byte prefix.
      std::vector<unsigned char> rx(5 + e.data.size() - 6);
      HX_RecvNhpVideoHeader h;
      h.frameType = e.data[1];
      h.timeValue = 33;
      h.Store(rx.data());
      std::copy(e.data.begin() + 6, e.data.end(), rx.begin() + 5);
      decoders[i].OnReady2Decompress(rx.data(), rx.size(), false);
    }
  }
  EXPECT_EQ(seen[0].sizes.size(), 5u);
  EXPECT_EQ(seen[1].sizes.size(), 5u);
  for (auto s : seen[0].sizes) EXPECT_EQ(s, std::make_pair(640u, 480u));
  for (auto s : seen[1].sizes) EXPECT_EQ(s, std::make_pair(320u, 240u));
}

size_t ThreadCount() {
  size_t n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') ++n;
    }
    closedir(d);
  }
  return n;
}

TEST(VideoEncoder, ReleaseJoinsEveryLayerThread) {
  const size_t before = ThreadCount();
  Fixture fx(Caps(0x20001));
  const HX_MediaFormat f = Format(1920, 1080, 30, 0x20001);
  fx.encoder.Reinit(&f, false);
  ASSERT_EQ(fx.encoder.GetLayerCountBuilt(), 4u);
  EXPECT_EQ(ThreadCount(), before + 3);
  fx.Encode(f, 0, 0);
  fx.encoder.Release();
  EXPECT_EQ(fx.encoder.GetLayerCountBuilt(), 0u);
  EXPECT_FALSE(fx.encoder.IsValid());
  EXPECT_EQ(fx.encoder.GetResolutionBaseLayer(), 0u);
  EXPECT_EQ(ThreadCount(), before);
}

// SetBitrate from a second thread while pictures are encoded on two layers (run it under
// ThreadSanitizer too).
TEST(VideoEncoder, SetBitrateFromAnotherThreadWhileEncoding) {
  Fixture fx(Caps(0x10000));
  const HX_MediaFormat f = Format(640, 480, 30, 0x10000);
  fx.encoder.Reinit(&f, false);
  std::atomic<bool> stop{false};
  std::thread control([&] {
    int i = 0;
    while (!stop.load()) {
      fx.encoder.SetBitrate(300 + (i % 7) * 100, 300 + (i % 5) * 100, 800, 1500 + (i % 3) * 750);
      ++i;
      std::this_thread::yield();
    }
  });
  for (int frame = 0; frame < 20; ++frame) fx.Encode(f, frame, frame == 0 ? 0 : 1);
  stop = true;
  control.join();
  EXPECT_GE(fx.sink.frames.size(), 20u);
}

}  // namespace
