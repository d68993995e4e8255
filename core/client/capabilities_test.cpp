// The own capability record: the send and receive formats it describes, and the capability
// container made from it, read back as a peer reads it (serialised and parsed again).
#include "core/client/capabilities.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "core/wire/client_caps.h"

namespace {

HX_ClientCaps ThroughWire(const HX_ClientCaps& caps) {
  uint8_t* buffer = nullptr;
  size_t length = 0;
  EXPECT_TRUE(caps.Get(buffer, length));
  HX_ClientCaps read;
  read.Set(buffer, length);
  std::free(buffer);
  return read;
}

TEST(Capabilities, DefaultRecordAsAPeerReadsIt) {
  const HX_ClientCaps caps = ThroughWire(HXCapabilites().MakeCaps());
  EXPECT_EQ(caps.m_videoRcv, 1);
  EXPECT_EQ(caps.m_videoSnd, 1);
  EXPECT_EQ(caps.m_audioRcv, 7);
  EXPECT_EQ(caps.m_audioSnd, 7);
  EXPECT_EQ(caps.m_streamsDirCon, 30);
  EXPECT_EQ(caps.m_bandwidthRcv, 128);
  EXPECT_EQ(caps.m_clientType, 0);
  EXPECT_EQ(caps.m_mediaFormat.Size(), 44u);
  HX_MediaFormat send;
  send.Clear();
  caps.GetMediaFormat(send);
  EXPECT_EQ(send.width, 320u);
  EXPECT_EQ(send.height, 240u);
  EXPECT_EQ(send.videoCodec, 0x30387670u);
  EXPECT_EQ(send.frameRate, 15u);
  EXPECT_EQ(send.sampleRate, 16000u);
  EXPECT_EQ(send.audioCodec, 0x7FF0u);
  EXPECT_FALSE(caps.IsFixedRcvMediaFormat());
  EXPECT_EQ(caps.AudioCodecs().Size(), 6u);
  EXPECT_EQ(caps.VideoCodecs().Size(), 4u);
  EXPECT_TRUE(caps.FindAudioCodec(0x7004));
  EXPECT_TRUE(caps.FindAudioCodec(0x7003));
  EXPECT_TRUE(caps.FindVideoCodec(0x30387670));
  EXPECT_TRUE(caps.m_appName.empty());
  int32_t width = -1, height = -1;
  caps.GetResolutionLimit(width, height);
  EXPECT_EQ(width, 0);
  EXPECT_EQ(height, 0);
}

// Every field lands where it belongs: distinct values, so that a swapped pair shows.
TEST(Capabilities, EveryFieldReachesItsPlace) {
  HXCapabilites own;
  own.rcvWidth = 1280;
  own.rcvHeight = 720;
  own.sndWidth = 640;
  own.sndHeight = 360;
  own.rcvSampleRate = 48000;
  own.sndSampleRate = 32000;
  own.videoRcv = 11;
  own.videoSnd = 3;
  own.bandwidthRcv = 2048;
  own.rating = 5;
  own.rcvFrameRate = 30;
  own.sndFrameRate = 25;
  own.fixedRcvFormat = true;
  own.sndAudioCodec = 0x7004;
  own.rcvAudioCodec = 0x7003;
  own.sndVideoCodec = HX_MediaFormat::kCodecH264;
  own.rcvVideoCodec = HX_MediaFormat::kCodecH265;
  own.level = 47;
  own.levelGroup = 2;
  own.screenWidthLimit = 1920;
  own.screenHeightLimit = 1080;
  own.sndHardwareCodec = 9;
  own.sndStereo = 4;
  own.audioCodecs = {0x7004};
  own.videoCodecs = {HX_MediaFormat::kCodecH264, HX_MediaFormat::kCodecVP8};

  const auto [send, receive] = own.MakePairFormat();
  EXPECT_EQ(send.width, 640u);
  EXPECT_EQ(send.height, 360u);
  EXPECT_EQ(send.videoCodec, HX_MediaFormat::kCodecH264);
  EXPECT_EQ(send.frameRate, 25u);
  EXPECT_EQ(send.stereo, 4u);
  EXPECT_EQ(send.hardwareCodec, 9u);
  EXPECT_EQ(send.svcMode, 0u);
  EXPECT_EQ(send.sampleRate, 32000u);
  EXPECT_EQ(send.audioCodec, 0x7004u);
  EXPECT_NE(send.audioBufferSize, 0u);
  EXPECT_EQ(receive.width, 1280u);
  EXPECT_EQ(receive.height, 720u);
  EXPECT_EQ(receive.videoCodec, HX_MediaFormat::kCodecH265);
  EXPECT_EQ(receive.frameRate, 30u);
  EXPECT_EQ(receive.stereo, 0u);
  EXPECT_EQ(receive.hardwareCodec, 0u);
  EXPECT_EQ(receive.sampleRate, 48000u);
  EXPECT_EQ(receive.audioCodec, 0x7003u);

  const HX_ClientCaps caps = ThroughWire(own.MakeCaps());
  EXPECT_EQ(caps.m_videoRcv, 11);
  EXPECT_EQ(caps.m_videoSnd, 3);
  EXPECT_EQ(caps.m_bandwidthRcv, 2048);
  EXPECT_EQ(caps.m_rating, 5);
  EXPECT_EQ(caps.m_level, 47);
  EXPECT_EQ(caps.m_levelGroup, 2);
  int32_t width = 0, height = 0;
  caps.GetResolutionLimit(width, height);
  EXPECT_EQ(width, 1920);
  EXPECT_EQ(height, 1080);
  HX_MediaFormat carried;
  caps.GetMediaFormat(carried);
  EXPECT_EQ(carried, send);
  ASSERT_TRUE(caps.IsFixedRcvMediaFormat());
  caps.GetMediaFormatRcv(carried);
  EXPECT_EQ(carried, receive);
  EXPECT_EQ(caps.AudioCodecs().Size(), 2u);
  EXPECT_TRUE(caps.FindAudioCodec(0x7004));
  uint32_t video[2] = {};
  size_t count = 2;
  caps.GetVideoCodecs(video, count);
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(video[0], HX_MediaFormat::kCodecH264);
  EXPECT_EQ(video[1], HX_MediaFormat::kCodecVP8);
}

}  // namespace
