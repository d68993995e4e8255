// The video codec contract and its factory: the bit-rate bookkeeping every codec inherits (with a
// recording codec that can refuse rates), dispatch by four-character code through the virtual
// creators (overridden by subclasses), the stub, the hardware answers, and creators on several
// threads building real VP8 codecs.
#include "core/media/video/codec/video_codec_factory.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "core/media/video/codec/codec_ffmpeg.h"
#include "core/media/video/codec/codec_vp8.h"
#include "core/wire/media_format.h"

namespace {

using hx_vfactory_defs::eHardwareCodec;
using hx_vfactory_defs::eTypeCodecSoftware;

// Records every rate offered to it and accepts only those at or below its limit.
class RecordingCodec : public VideoCodecStub {
 public:
  RecordingCodec(bool coder, uint32_t limit) : VideoCodecStub(coder), limit_(limit) {}
  bool _setBitrate(uint32_t bitrate) override {
    offered.push_back(bitrate);
    return bitrate <= limit_;
  }
  int _convert(const unsigned char*, unsigned char*, HX_VideoCodecParam&) override {
    ++converts;
    return 7;
  }
  uint32_t limit_;
  std::vector<uint32_t> offered;
  int converts = 0;
};

TEST(VideoCodecBase, FirstConvertOffersTheInitialRate) {
  RecordingCodec codec(true, 100000);
  EXPECT_EQ(codec.getBitrate(), 128u);
  EXPECT_EQ(codec.getRecommendedBitrate(), 128u);
  EXPECT_EQ(codec.getAppliedBitrate(), 0u);
  HX_VideoCodecParam param;
  EXPECT_EQ(codec.convert(nullptr, nullptr, param), 7);
  EXPECT_EQ(codec.offered, std::vector<uint32_t>{128});
  EXPECT_EQ(codec.getAppliedBitrate(), 128u);
  codec.convert(nullptr, nullptr, param);
  EXPECT_EQ(codec.offered.size(), 1u) << "nothing pending, nothing offered";

  RecordingCodec early(true, 100000);
  EXPECT_TRUE(early.setBitrate(300));
  early.convert(nullptr, nullptr, param);
  EXPECT_EQ(early.offered, std::vector<uint32_t>{300});
}

TEST(VideoCodecBase, RefusedRateIsOfferedBeforeEveryPictureUntilAccepted) {
  RecordingCodec codec(true, 500);
  codec.setBitrate(400);
  HX_VideoCodecParam param;
  codec.convert(nullptr, nullptr, param);
  codec.setBitrate(900);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(codec.convert(nullptr, nullptr, param), 7);
  EXPECT_EQ(codec.offered, (std::vector<uint32_t>{400, 900, 900, 900}));
  EXPECT_EQ(codec.getAppliedBitrate(), 400u);
  EXPECT_EQ(codec.getBitrate(), 900u);
  EXPECT_FALSE(codec.updateBiterate());
  codec.limit_ = 1000;
  EXPECT_TRUE(codec.updateBiterate());
  EXPECT_EQ(codec.getAppliedBitrate(), 900u);
  codec.convert(nullptr, nullptr, param);
  EXPECT_EQ(codec.offered, (std::vector<uint32_t>{400, 900, 900, 900, 900, 900}));
  EXPECT_EQ(codec.converts, 5);

  codec.reset();
  EXPECT_EQ(codec.getAppliedBitrate(), 0u);
  EXPECT_EQ(codec.getBitrate(), 128u);
}

TEST(VideoCodecBase, DecoderNeverOffersRates) {
  RecordingCodec decoder(false, 0);
  decoder.setBitrate(700);
  EXPECT_TRUE(decoder.updateBiterate());
  HX_VideoCodecParam param;
  decoder.convert(nullptr, nullptr, param);
  EXPECT_TRUE(decoder.offered.empty());
  EXPECT_EQ(decoder.GetNextFrame(), 0u);
  EXPECT_EQ(decoder.GetNextFrame(), 1u);
  decoder.reset();
  EXPECT_EQ(decoder.GetNextFrame(), 0u);
}

TEST(VideoCodecFactory, DispatchesByCodeAndStubsTheRest) {
  HX_VideoCodecFactory factory;
  EXPECT_EQ(factory.GetFourcc(),
            (std::set<uint32_t>{HX_MediaFormat::kCodecVP8, HX_MediaFormat::kCodecH264}));
  factory.AddSupportFourcc(HX_MediaFormat::kCodecVP9);
  factory.AddSupportFourcc(HX_MediaFormat::kCodecVP9);
  EXPECT_EQ(factory.GetFourcc().size(), 3u);

  auto enc = factory.CreateEncoder(HX_MediaFormat::kCodecVP8, eTypeCodecSoftware);
  auto dec = factory.CreateDecoder(HX_MediaFormat::kCodecVP8, eTypeCodecSoftware);
  ASSERT_NE(dynamic_cast<HXCodecVP8Encoder*>(enc.get()), nullptr);
  ASSERT_NE(dynamic_cast<HXCodecVP8Decoder*>(dec.get()), nullptr);
  EXPECT_TRUE(enc->isCoder());
  EXPECT_FALSE(dec->isCoder());
  EXPECT_EQ(enc->getFcc(), HX_MediaFormat::kCodecVP8);
  EXPECT_FALSE(enc->isValid());

  const uint32_t stubbed[] = {HX_MediaFormat::kCodecVP9,
                              HX_MediaFormat::kCodecH261,
                              HX_MediaFormat::kCodecH263,
                              HX_MediaFormat::kCodecH264,
                              HX_MediaFormat::kCodecH265,
                              HX_MediaFormat::kCodecH263Plus,
                              HX_MediaFormat::kCodecVP8Stereo,
                              0x12345678,
                              0};
  for (uint32_t fcc : stubbed) {
    auto e = factory.CreateEncoder(fcc, eTypeCodecSoftware);
    ASSERT_NE(dynamic_cast<VideoCodecStub*>(e.get()), nullptr) << std::hex << fcc;
    EXPECT_EQ(e->getFcc(), 0u);
    EXPECT_TRUE(e->isCoder());
    HX_VideoCoderOptions options;
    options.width = 64;
    options.height = 64;
    EXPECT_FALSE(e->init(&options, 0));
    HX_VideoCodecParam param;
    unsigned char out[4] = {};
    EXPECT_EQ(e->convert(out, out, param), 0);
    uint32_t mode = 0x200;
    EXPECT_FALSE(e->setSVCMode(mode));
    auto d = factory.CreateDecoder(fcc, eTypeCodecSoftware);
    // H.264 decoding is libavcodec's software decoder; every other code is stubbed.
    if (fcc == HX_MediaFormat::kCodecH264) {
      auto* h264 = dynamic_cast<VideoCodecFFmpeg*>(d.get());
      ASSERT_NE(h264, nullptr);
      EXPECT_EQ(dynamic_cast<const FfmpegHwDecoder*>(h264->wrapper()), nullptr);
      EXPECT_EQ(d->getFcc(), HX_MediaFormat::kCodecH264);
    } else {
      ASSERT_NE(dynamic_cast<VideoCodecStub*>(d.get()), nullptr) << std::hex << fcc;
    }
    EXPECT_FALSE(d->isCoder());
  }
}

TEST(VideoCodecFactory, HardwareAnswersAreNone) {
  HX_VideoCodecFactory factory;
  uint8_t kind = 9;
  eHardwareCodec hw = static_cast<eHardwareCodec>(5);
  for (uint32_t fcc : {HX_MediaFormat::kCodecVP8, HX_MediaFormat::kCodecH264}) {
    EXPECT_FALSE(factory.IsSupportHardwareEncoder(fcc));
    EXPECT_FALSE(factory.IsSupportHardwareDecoder(fcc));
    kind = 9;
    EXPECT_FALSE(factory.IsSupportHardwareEncoder(fcc, kind));
    EXPECT_EQ(kind, 0);
    kind = 9;
    EXPECT_FALSE(factory.IsSupportHardwareDecoder(fcc, kind));
    EXPECT_EQ(kind, 0);
    hw = static_cast<eHardwareCodec>(5);
    EXPECT_FALSE(factory.IsSupportHardware(fcc, true, false, hw));
    EXPECT_EQ(hw, 0u);
    EXPECT_FALSE(factory.IsSupportHardwarePref(fcc, true, false, hw));
    EXPECT_FALSE(factory.IsSupportLowPowerMode(fcc, true, hw));
  }
  factory.ForceHardwareEncoder(static_cast<eHardwareCodec>(3));
  factory.ForceHardwareDecoder(static_cast<eHardwareCodec>(3));
  const struct {
    uint32_t kind;
    bool webcam;
  } cases[] = {{0, false}, {1, true}, {19, true}, {20, false}, {0xFFFFFFFF, false}};
  for (const auto& c : cases) {
    EXPECT_EQ(HX_VideoCodecFactory::IsWebcamHardware(static_cast<eHardwareCodec>(c.kind)), c.webcam)
        << c.kind;
  }
}

// A marker codec so a test can tell which creator ran.
class MarkerCodec : public VideoCodecStub {
 public:
  MarkerCodec(bool coder, int mark) : VideoCodecStub(coder), mark(mark) {}
  const int mark;
};

class OverridingFactory : public HX_VideoCodecFactory {
 public:
  VideoCodecBase* CreateEncoderVP8(hx_vfactory_defs::eTypeCodec) override {
    return new MarkerCodec(true, 8);
  }
  VideoCodecBase* CreateEncoderStub() override { return new MarkerCodec(true, -1); }
  VideoCodecBase* CreateDecoderStub() override { return new MarkerCodec(false, -2); }
};

int MarkOf(const std::shared_ptr<VideoCodecBase>& codec) {
  auto* marker = dynamic_cast<MarkerCodec*>(codec.get());
  return marker ? marker->mark : 0;
}

TEST(VideoCodecFactory, SubclassCreatorsTakeEffectThroughCreate) {
  OverridingFactory factory;
  EXPECT_EQ(MarkOf(factory.CreateEncoder(HX_MediaFormat::kCodecVP8, eTypeCodecSoftware)), 8);
  // Every stubbed creator and every unknown code goes through the overridden stub creator.
  EXPECT_EQ(MarkOf(factory.CreateEncoder(HX_MediaFormat::kCodecH264, eTypeCodecSoftware)), -1);
  EXPECT_EQ(MarkOf(factory.CreateEncoder(HX_MediaFormat::kCodecVP9, eTypeCodecSoftware)), -1);
  EXPECT_EQ(MarkOf(factory.CreateEncoder(0x41414141, eTypeCodecSoftware)), -1);
  EXPECT_NE(dynamic_cast<VideoCodecFFmpeg*>(
                factory.CreateDecoder(HX_MediaFormat::kCodecH264, eTypeCodecSoftware).get()),
            nullptr);
  EXPECT_EQ(MarkOf(factory.CreateDecoder(HX_MediaFormat::kCodecH263Plus, eTypeCodecSoftware)), -2);
  EXPECT_EQ(MarkOf(factory.CreateDecoder(0x41414141, eTypeCodecSoftware)), -2);
  // The decoder VP8 creator is not overridden: the real decoder.
  auto dec = factory.CreateDecoder(HX_MediaFormat::kCodecVP8, eTypeCodecSoftware);
  EXPECT_NE(dynamic_cast<HXCodecVP8Decoder*>(dec.get()), nullptr);
}

TEST(VideoCodecFactory, CreatorsRunOnSeveralThreads) {
  HX_VideoCodecFactory factory;
  std::vector<std::thread> threads;
  std::vector<int> opened(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&factory, &opened, t] {
      for (int i = 0; i < 5; ++i) {
        auto enc = factory.CreateEncoder(HX_MediaFormat::kCodecVP8, eTypeCodecSoftware);
        auto dec = factory.CreateDecoder(HX_MediaFormat::kCodecVP8, eTypeCodecSoftware);
        auto stub = factory.CreateEncoder(HX_MediaFormat::kCodecH265, eTypeCodecSoftware);
        HX_VideoCoderOptions options;
        options.width = 64;
        options.height = 48;
        options.timeBase = 30;
        options.bitrate = 100;
        options.threads = 1;
        opened[t] += enc->init(&options, 0) && dec->init(&options, 0) && !stub->init(&options, 0);
        (void)factory.GetFourcc();
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int n : opened) EXPECT_EQ(n, 5);
}

}  // namespace
