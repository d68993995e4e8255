// The meeting-tools factory's video hooks build the real objects: the capture slot, the file
// capture slot, a one-layer encoder opened on the capability record's format with the limits'
// upper bit rate, and a decoder, both with the registered codec factory.

#include "core/client/meeting_tools.h"

#include <gtest/gtest.h>

#include "core/media/format/media_format_limits.h"
#include "core/media/video/capture_slot_file.h"
#include "core/media/video/codec/video_codec_factory.h"
#include "core/media/video/receive/video_sync.h"
#include "core/media/video/video_capture_slot.h"
#include "core/media/video/video_decoder.h"
#include "core/media/video/video_encoder.h"
#include "core/wire/client_caps.h"

namespace {

class Tools : public HX_MeetingToolsFactory {
 public:
  void OnReleaseHardwareSender() override {}
  void OnReleaseHardwareReceiver(const char*) override {}
  void OnRequestAudioRecord(const char*) override {}
  void OnRequestVideoRender(const char*) override {}
  HX_MediaFormatManagerLimits* limits = nullptr;

 protected:
  const HX_MediaFormatManagerLimits* GetMediaFormatLimits() const override { return limits; }
};

class CountingFactory : public HX_VideoCodecFactory {
 public:
  int* encoders;
  int* decoders;
  CountingFactory(int* e, int* d) : encoders(e), decoders(d) {}
  VideoCodecBase* CreateEncoderVP8(hx_vfactory_defs::eTypeCodec t) override {
    ++*encoders;
    return HX_VideoCodecFactory::CreateEncoderVP8(t);
  }
  VideoCodecBase* CreateDecoderVP8(hx_vfactory_defs::eTypeCodec t) override {
    ++*decoders;
    return HX_VideoCodecFactory::CreateDecoderVP8(t);
  }
};

HX_ClientCaps Caps(uint32_t w, uint32_t h) {
  HX_ClientCaps caps;
  HX_MediaFormat f;
  f.width = w;
  f.height = h;
  f.frameRate = 30;
  f.svcMode = 0x10000;  // asks for layers; the client core's configuration runs one
  caps.SetMediaFormat(f);
  return caps;
}

TEST(MeetingToolsVideo, HooksBuildTheRealObjectsWithTheRegisteredFactory) {
  Tools tools;
  ASSERT_NE(tools.GetVideoCodecFactory(), nullptr);
  // The one synchroniser, its draw thread idle until a receive stream adds a source.
  ASSERT_NE(tools.GetVideoSynch(), nullptr);
  EXPECT_TRUE(tools.GetVideoSynch()->IsIdle());
  int encoders = 0, decoders = 0;
  tools.RegisteredVideoCodecFactory(new CountingFactory(&encoders, &decoders));
  tools.RegisteredVideoCodecFactory(nullptr);  // keeps the registered one
  const HX_ClientCaps caps = Caps(640, 480);

  auto slot = tools._CreateCapture(caps);
  ASSERT_NE(slot, nullptr);
  EXPECT_NE(dynamic_cast<HX_VideoCaptureSlotStub*>(slot.get()), nullptr);
  EXPECT_NE(tools._CreateVideoSource(caps), nullptr);

  std::shared_ptr<HX_VideoEncoderBase> encoder;
  tools.OnRequestVideoEncoder(caps, encoder);
  ASSERT_NE(encoder, nullptr);
  EXPECT_TRUE(encoder->IsValid());
  auto* real = dynamic_cast<HX_VideoEncoder*>(encoder.get());
  ASSERT_NE(real, nullptr);
  EXPECT_EQ(real->GetLayerCountBuilt(), 1u);
  EXPECT_EQ(real->GetFormat().width, 640u);
  EXPECT_EQ(encoders, 1);

  std::shared_ptr<HX_VideoDecoderBase> decoder;
  tools.OnRequestVideoDecoder("peer@example", caps, decoder);
  ASSERT_NE(decoder, nullptr);
  auto* realDecoder = dynamic_cast<HX_VideoDecoder*>(decoder.get());
  ASSERT_NE(realDecoder, nullptr);
  EXPECT_EQ(realDecoder->GetFormat().height, 480u);
  EXPECT_EQ(decoders, 1);
}

TEST(MeetingToolsVideo, EncoderTakesTheConferenceUpperLimit) {
  Tools tools;
  HX_MediaFormatManagerLimits limits;
  limits.SetCnfVideoUpLimit(300);
  tools.limits = &limits;
  std::shared_ptr<HX_VideoEncoderBase> encoder;
  tools.OnRequestVideoEncoder(Caps(640, 360), encoder);
  auto* real = dynamic_cast<HX_VideoEncoder*>(encoder.get());
  ASSERT_NE(real, nullptr);
  ASSERT_EQ(real->GetSpatialProperties().size(), 1u);
  EXPECT_EQ(real->GetSpatialProperties()[0].maxBitrate, 300);
}

}  // namespace
