// The meeting-tools factory with the real media objects: the shared synchroniser, connector,
// video source and capture slot and their release; the video source's buffer for every kind of
// send format, a peer's oversized one included; encoders and decoders configured and opened on a
// stream's capabilities with the registered codec factories (real VP8 and Opus), and the
// registered factories replacing and being owned in place of the defaults.
#include "core/client/meeting_tools.h"

#include <gtest/gtest.h>

#include <vector>

#include "core/media/audio/audio_codec.h"
#include "core/media/audio/audio_codec_factory.h"
#include "core/media/audio/audio_connector.h"
#include "core/media/audio/audio_device.h"
#include "core/media/audio/record_peer_proxy.h"
#include "core/media/format/media_format_adapter.h"
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
  std::shared_ptr<HX_MediaFormatManagerAdapter> adapter;
  HXCapabilites own;

  void OnRequestMediaManagerAdapter(std::shared_ptr<HX_MediaFormatManagerAdapter>& out) override {
    out = adapter;
  }
  void OnReleaseHardwareSender() override {}
  void OnReleaseHardwareReceiver(const char*) override {}
  void OnRequestMeetingCaps(const char*, const char*, HX_ClientCaps&) override {}
  HXCapabilites GetCapabilites() override { return own; }
  void OnRequestAudioRecord(const HX_ClientCaps&, std::shared_ptr<HXAudioRecordBase>&) override {}
  void OnRequestVideoRender(const char*, const HX_ClientCaps&,
                            std::shared_ptr<HXVideoRenderBase>&) override {}
};

struct Counts {
  int videoEncoders = 0;
  int videoDecoders = 0;
  int audioEncoders = 0;
  bool videoFactoryGone = false;
  bool audioFactoryGone = false;
};

class CountingVideoFactory : public HX_VideoCodecFactory {
 public:
  explicit CountingVideoFactory(Counts* counts) : m_counts(counts) {}
  ~CountingVideoFactory() override { m_counts->videoFactoryGone = true; }
  VideoCodecBase* CreateEncoderVP8(hx_vfactory_defs::eTypeCodec type) override {
    ++m_counts->videoEncoders;
    return HX_VideoCodecFactory::CreateEncoderVP8(type);
  }
  VideoCodecBase* CreateDecoderVP8(hx_vfactory_defs::eTypeCodec type) override {
    ++m_counts->videoDecoders;
    return HX_VideoCodecFactory::CreateDecoderVP8(type);
  }

 private:
  Counts* m_counts;
};

class CountingAudioFactory : public HX_AudioCodecFactory {
 public:
  explicit CountingAudioFactory(Counts* counts) : m_counts(counts) {}
  ~CountingAudioFactory() override { m_counts->audioFactoryGone = true; }
  AudioCodecBase* CreateEncoderOpus() override {
    ++m_counts->audioEncoders;
    return HX_AudioCodecFactory::CreateEncoderOpus();
  }

 private:
  Counts* m_counts;
};

HX_ClientCaps CapsWith(const HX_MediaFormat& format) {
  HX_ClientCaps caps;
  caps.SetMediaFormat(format);
  return caps;
}

HX_MediaFormat Format(uint32_t width, uint32_t height) {
  HX_MediaFormat format;
  format.width = width;
  format.height = height;
  format.frameRate = 30;
  return format;
}

TEST(MeetingTools, SharedObjectsUntilReleased) {
  Tools tools;
  const HX_ClientCaps caps;
  std::shared_ptr<CVideoSinc> sync1, sync2;
  tools.OnRequestVideoSync("a@test", caps, sync1);
  tools.OnRequestVideoSync("b@test", caps, sync2);
  ASSERT_NE(sync1, nullptr);
  EXPECT_EQ(sync1, sync2);
  std::shared_ptr<HX_AudioConnector> connector1, connector2;
  tools.OnRequestAudioConnector("a@test", caps, connector1);
  tools.OnRequestAudioConnector(nullptr, caps, connector2);
  ASSERT_NE(connector1, nullptr);
  EXPECT_EQ(connector1, connector2);

  std::shared_ptr<HX_VideoCaptureSlotBase> slot1, slot2, slot3;
  tools.OnRequestVideoCapture(caps, slot1);
  tools.OnRequestVideoCapture(caps, slot2);
  ASSERT_NE(slot1, nullptr);
  EXPECT_NE(dynamic_cast<HX_VideoCaptureSlotStub*>(slot1.get()), nullptr);
  EXPECT_EQ(slot1, slot2);
  tools.OnReleaseVideoCapture(slot1);
  EXPECT_NE(slot1, nullptr);  // the caller's pointer is its own
  tools.OnRequestVideoCapture(caps, slot3);
  EXPECT_NE(slot3, slot1);

  std::shared_ptr<HX_CaptureSlotFile> source1, source2, source3;
  tools.OnRequestVideoSource(caps, source1);
  tools.OnRequestVideoSource(CapsWith(Format(640, 480)), source2);
  EXPECT_EQ(source1, source2);  // the held one, whatever the second asks
  tools.OnReleaseVideoSource(source1);
  tools.OnRequestVideoSource(CapsWith(Format(640, 480)), source3);
  EXPECT_NE(source3, source1);
  EXPECT_EQ(source3->frameBufferSize(), 640u * 480 * 3 / 2);

  // Players and record proxies are new on every request.
  std::shared_ptr<HX_AudioPlaybackBase> player1, player2;
  tools.OnRequestAudioPlayback("a@test", caps, player1);
  tools.OnRequestAudioPlayback("a@test", caps, player2);
  ASSERT_NE(player1, nullptr);
  EXPECT_NE(dynamic_cast<HXAudioPlaybackStub*>(player1.get()), nullptr);
  EXPECT_NE(player1, player2);
  std::shared_ptr<HX_RecordPeerProxyBase> proxy1, proxy2;
  tools.OnRequestRecordProxySender("send", proxy1);
  tools.OnRequestRecordProxyReceiver("receive", proxy2);
  ASSERT_NE(proxy1, nullptr);
  ASSERT_NE(proxy2, nullptr);
  EXPECT_NE(proxy1, proxy2);
}

// The send format may be a peer's size: GetFmtFromToMe takes it over when this client receives
// any size. A side above 8192 falls back to 320 x 240; the product never wraps.
TEST(MeetingTools, VideoSourceBufferForEverySendFormat) {
  HX_ClientCaps huge;
  huge.SetMediaFormat(Format(131072, 131064));
  HX_ClientCaps receiver;
  receiver.m_videoRcv = 1 | HX_ClientCaps::kTakesAny;
  const HX_MediaFormat fromPeer = receiver.GetFmtFromToMe(huge);
  ASSERT_EQ(fromPeer.width, 131072u);

  const struct {
    const char* what;
    HX_ClientCaps caps;
    unsigned long bytes;
  } cases[] = {
      {"no send format", HX_ClientCaps(), 115200},
      {"VGA", CapsWith(Format(640, 480)), 460800},
      {"odd", CapsWith(Format(17, 9)), 229},
      {"largest sides", CapsWith(Format(8192, 8192)), 100663296},
      {"width above 8192", CapsWith(Format(8193, 16)), 115200},
      {"height above 8192", CapsWith(Format(16, 8200)), 115200},
      {"32-bit product wraps", CapsWith(Format(65536, 65536)), 115200},
      {"a peer's size", CapsWith(fromPeer), 115200},
      {"empty", CapsWith(Format(0, 240)), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Tools tools;
    const std::shared_ptr<HX_CaptureSlotFile> source = tools._CreateVideoSource(c.caps);
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(source->frameBufferSize(), c.bytes);
    EXPECT_EQ(source->frameBuffer() != nullptr, c.bytes != 0);
  }
}

TEST(MeetingTools, EncoderConfiguredAndOpenedOnTheSendFormat) {
  Counts counts;
  Tools tools;
  tools.RegisteredVideoCodecFactory(new CountingVideoFactory(&counts));
  tools.own.level = 42;
  tools.adapter = std::make_shared<HX_MediaFormatManagerAdapter>();
  tools.adapter->SetBitrateConferenceVideoLimit(300);
  tools.adapter->SetBitrateConferenceDsLimit(700);
  HX_MediaFormat format = Format(640, 360);
  format.svcMode = 0x10000;  // asks for layers; the configuration runs one
  std::shared_ptr<HX_VideoEncoderBase> encoder;
  tools.OnRequestVideoEncoder(CapsWith(format), encoder);
  auto* real = dynamic_cast<HX_VideoEncoder*>(encoder.get());
  ASSERT_NE(real, nullptr);
  const scalable_info::Config& config = real->GetConfig();
  EXPECT_EQ(config.svcCaps, 1u);
  EXPECT_EQ(config.lastLayerOption, 42u);
  EXPECT_EQ(config.cameraUpLimit, 300u);
  EXPECT_EQ(config.contentUpLimit, 700u);
  EXPECT_EQ(config.bitrateAlgorithm, 0u);
  EXPECT_TRUE(real->IsValid());
  EXPECT_EQ(real->GetFormat(), format);
  EXPECT_EQ(real->GetLayerCountBuilt(), 1u);
  EXPECT_EQ(counts.videoEncoders, 1);

  // Without an adapter the limits are automatic; without a send format the default one opens.
  tools.adapter.reset();
  tools.OnRequestVideoEncoder(HX_ClientCaps(), encoder);
  real = dynamic_cast<HX_VideoEncoder*>(encoder.get());
  ASSERT_NE(real, nullptr);
  EXPECT_EQ(real->GetConfig().cameraUpLimit, 0u);
  EXPECT_EQ(real->GetFormat(), HX_MediaFormat());
  EXPECT_EQ(counts.videoEncoders, 2);
}

TEST(MeetingTools, DecoderLastFieldFollowsThePeersClientType) {
  Counts counts;
  Tools tools;
  tools.RegisteredVideoCodecFactory(new CountingVideoFactory(&counts));
  const struct {
    int32_t clientType;
    uint32_t lastField;
  } cases[] = {{0, 1}, {1, 1}, {3, 0}, {6, 0}, {7, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.clientType);
    HX_ClientCaps caps = CapsWith(Format(320, 176));
    caps.m_clientType = c.clientType;
    std::shared_ptr<HX_VideoDecoderBase> decoder;
    tools.OnRequestVideoDecoder("peer@test", caps, decoder);
    auto* real = dynamic_cast<HX_VideoDecoder*>(decoder.get());
    ASSERT_NE(real, nullptr);
    EXPECT_EQ(real->GetCodecFactory(), tools.GetVideoCodecFactory());
    EXPECT_EQ(real->GetFormat().width, 320u);
    EXPECT_EQ(real->GetFormat().height, 176u);
    EXPECT_EQ(real->GetFormat().hardwareCodec, c.lastField);
  }
  EXPECT_EQ(counts.videoDecoders, 5);
}

TEST(MeetingTools, AudioEncoderFromTheRegisteredFactory) {
  Counts counts;
  {
    Tools tools;
    HX_AudioCodecFactory* registered = new CountingAudioFactory(&counts);
    tools.RegisteredAudioCodecFactory(registered);
    EXPECT_EQ(tools.GetAudioCodecFactory(), registered);
    std::shared_ptr<HX_AudioCodecFactory> shared;
    tools.OnRequestAudioCodecFactory(shared);
    EXPECT_EQ(shared.get(), registered);
    shared.reset();

    HX_MediaFormat format;
    format.SetAudio(48000, HX_MediaFormat::kAudioOpus, HX_MediaFormat::kDefaultDuration);
    std::shared_ptr<AudioCodecBase> encoder;
    tools.OnRequestAudioEncoder(CapsWith(format), encoder);
    ASSERT_NE(encoder, nullptr);
    EXPECT_TRUE(encoder->IsCoder());
    EXPECT_TRUE(encoder->IsValid());
    // One 40 ms frame at 48000 Hz is 3840 bytes: a byte less encodes nothing, as it would at a
    // lower rate.
    std::vector<unsigned char> pcm(3840, 0), out(4000);
    for (size_t i = 0; i < pcm.size(); i += 2) pcm[i + 1] = static_cast<unsigned char>(i * 7);
    EXPECT_EQ(encoder->Convert(pcm.data(), 3839, out.data(), static_cast<int>(out.size())), 0);
    EXPECT_GT(encoder->Convert(pcm.data(), 3840, out.data(), static_cast<int>(out.size())), 0);
    std::shared_ptr<AudioCodecBase> second;
    tools.OnRequestAudioEncoder(format, second);
    EXPECT_NE(second, encoder);
    EXPECT_EQ(counts.audioEncoders, 2);
    // A codec the factory does not know gives the stub, which sends nothing.
    format.SetAudio(16000, 0x1234, HX_MediaFormat::kDefaultDuration);
    tools.OnRequestAudioEncoder(format, second);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(counts.audioEncoders, 2);

    // Registering drops (and deletes) the one registered before.
    tools.RegisteredVideoCodecFactory(new CountingVideoFactory(&counts));
    EXPECT_FALSE(counts.videoFactoryGone);
    tools.RegisteredVideoCodecFactory(new HX_VideoCodecFactory());
    EXPECT_TRUE(counts.videoFactoryGone);
    EXPECT_FALSE(counts.audioFactoryGone);
  }
  // The factory owned what it registered.
  EXPECT_TRUE(counts.audioFactoryGone);
}

}  // namespace
