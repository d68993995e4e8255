// The SDK's video codec factory: its hardware answers as the core's option changes, its H.264
// encoder feeding the core factory's H.264 decoder (quality and key frames), and the hardware
// decoder it makes with the option on, which fails cleanly where no device exists.
#include "sdk/bridge/ios_vc_factory.h"

#include <gtest/gtest.h>

#include <vector>

#include "core/media/video/codec/codec_ffmpeg.h"
#include "core/wire/media_format.h"
#include "sdk/bridge/hx_core.h"
#include "testing/video_pictures.h"

namespace {

using hx_vfactory_defs::eHardwareCodec;
using hx_vfactory_defs::eTypeCodecAny;
using hx_vfactory_defs::eTypeCodecHardware;
using hx_vfactory_defs::eTypeCodecSoftware;

constexpr uint32_t kH264 = HX_MediaFormat::kCodecH264;
constexpr uint32_t kVP8 = HX_MediaFormat::kCodecVP8;

HX_VideoCoderOptions Options(int w, int h, int kbps) {
  HX_VideoCoderOptions o;
  o.width = w;
  o.height = h;
  o.timeBase = 30;
  o.bitrate = kbps;
  return o;
}

TEST(IOSVideoCodecFactory, HardwareAnswersFollowTheOption) {
  HXCore core;
  IOS_VCFactory factory(&core);
  const struct {
    bool option;
    uint32_t fcc;
    bool encoder;
    bool decoder;
    bool answer;
  } cases[] = {
      {false, kH264, true, false, false}, {false, kH264, false, true, false},
      {true, kH264, true, false, true},   {true, kH264, false, true, true},
      {true, kH264, false, false, true},  {true, kH264, true, true, false},
      {true, kVP8, true, false, false},   {true, kVP8, false, true, false},
      {true, HX_MediaFormat::kCodecH265, true, false, false},
  };
  for (const auto& c : cases) {
    core.SetOptionUseHwH264Codec(c.option);
    eHardwareCodec kind = static_cast<eHardwareCodec>(7);
    EXPECT_EQ(factory.IsSupportHardware(c.fcc, c.encoder, c.decoder, kind), c.answer)
        << c.option << std::hex << c.fcc << c.encoder << c.decoder;
    EXPECT_EQ(kind, 0u);
    EXPECT_EQ(factory.IsSupportHardwarePref(c.fcc, c.encoder, c.decoder,
                                            static_cast<eHardwareCodec>(3)),
              c.answer);
  }
  // The other queries keep the base's "none".
  core.SetOptionUseHwH264Codec(true);
  EXPECT_FALSE(factory.IsSupportHardwareEncoder(kH264));
  EXPECT_FALSE(factory.IsSupportHardwareDecoder(kH264));
  // A factory without a core never offers hardware.
  IOS_VCFactory bare(nullptr);
  eHardwareCodec kind = static_cast<eHardwareCodec>(7);
  EXPECT_FALSE(bare.IsSupportHardware(kH264, true, false, kind));
  EXPECT_EQ(kind, 0u);
}

TEST(IOSVideoCodecFactory, CreatorsFollowTheOption) {
  HXCore core;
  IOS_VCFactory factory(&core);
  auto dec = factory.CreateDecoder(kH264, eTypeCodecAny);
  auto* sw = dynamic_cast<VideoCodecFFmpeg*>(dec.get());
  ASSERT_NE(sw, nullptr);
  EXPECT_EQ(dynamic_cast<const FfmpegHwDecoder*>(sw->wrapper()), nullptr);
  core.SetOptionUseHwH264Codec(true);
  auto hwDec = factory.CreateDecoder(kH264, eTypeCodecHardware);
  auto* hw = dynamic_cast<VideoCodecFFmpeg*>(hwDec.get());
  ASSERT_NE(hw, nullptr);
  EXPECT_NE(dynamic_cast<const FfmpegHwDecoder*>(hw->wrapper()), nullptr);
  for (bool option : {false, true}) {
    core.SetOptionUseHwH264Codec(option);
    auto enc = factory.CreateEncoder(kH264, eTypeCodecSoftware);
    ASSERT_NE(dynamic_cast<VideoCodecFFmpeg*>(enc.get()), nullptr);
    EXPECT_TRUE(enc->isCoder());
    EXPECT_EQ(enc->getFcc(), kH264);
  }
  // VP8 stays the core's.
  EXPECT_EQ(dynamic_cast<VideoCodecFFmpeg*>(factory.CreateEncoder(kVP8, eTypeCodecAny).get()),
            nullptr);
}

TEST(IOSVideoCodecFactory, EncoderIntoCoreDecoder) {
  const int w = 640, h = 360, count = 40;
  HXCore core;
  IOS_VCFactory platform(&core);
  HX_VideoCodecFactory base;
  auto enc = platform.CreateEncoder(kH264, eTypeCodecSoftware);
  auto dec = base.CreateDecoder(kH264, eTypeCodecSoftware);
  HX_VideoCoderOptions o = Options(w, h, 1000);
  ASSERT_TRUE(enc->init(&o, 0));
  ASSERT_TRUE(dec->init(&o, 0));
  enc->setBitrate(1000);
  std::vector<unsigned char> packet(static_cast<size_t>(w) * h * 3);
  const size_t room = static_cast<size_t>(w) * h * 3 / 2;
  std::vector<unsigned char> out(room);
  for (int i = 0; i < count; ++i) {
    const auto pic = hx_test::MovingPicture(w, h, i);
    HX_VideoCodecParam p;
    p.request = i == 25 ? 0 : 1;
    const int n = enc->convert(pic.data(), packet.data(), p);
    ASSERT_GT(n, 0) << i;
    EXPECT_EQ(p.keyFrame != 0, i == 0 || i == 25) << i;
    HX_VideoCodecParam d;
    d.inputSize = static_cast<uint32_t>(n);
    ASSERT_EQ(dec->convert(packet.data(), out.data(), d), static_cast<int>(room)) << i;
    EXPECT_EQ(d.request & 1u, 0u);
    EXPECT_GE(hx_test::Psnr(pic.data(), out.data(), room), 30.0) << i;
  }
}

TEST(IOSVideoCodecFactory, HardwareDecoderFailsCleanlyWithoutDevice) {
  HXCore core;
  core.SetOptionUseHwH264Codec(true);
  IOS_VCFactory factory(&core);
  auto dec = factory.CreateDecoder(kH264, eTypeCodecHardware);
  HX_VideoCoderOptions o = Options(320, 180, 0);
  if (dec->init(&o, 0)) GTEST_SKIP() << "a hardware decoding device is present";
  EXPECT_FALSE(dec->isValid());
  // A real key frame offered anyway: nothing decoded, nothing written.
  auto enc = factory.CreateEncoder(kH264, eTypeCodecSoftware);
  ASSERT_TRUE(enc->init(&o, 0));
  const auto pic = hx_test::MovingPicture(320, 180, 0);
  std::vector<unsigned char> packet(320 * 180 * 3);
  HX_VideoCodecParam p;
  const int n = enc->convert(pic.data(), packet.data(), p);
  ASSERT_GT(n, 0);
  std::vector<unsigned char> out(320 * 180 * 3 / 2, 0x5A);
  HX_VideoCodecParam d;
  d.inputSize = static_cast<uint32_t>(n);
  EXPECT_EQ(dec->convert(packet.data(), out.data(), d), 0);
  for (unsigned char b : out) ASSERT_EQ(b, 0x5A);
  dec->release();
  EXPECT_FALSE(dec->init(&o, 0));
}

}  // namespace
