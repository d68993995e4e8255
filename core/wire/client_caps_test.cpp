// Client capabilities: the container form (keys, order, defaults), stored formats read only as far
// as their bytes go, codec lists, and the negotiation of the format a peer sends in, over a table
// of flag words and formats.

#include "core/wire/client_caps.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "core/base/container.h"
#include "core/wire/little_endian.h"

namespace {

HX_Container Serialised(const HX_ClientCaps& caps) {
  uint8_t* buffer = nullptr;
  size_t length = 0;
  EXPECT_TRUE(caps.Get(buffer, length));
  HX_Container container;
  EXPECT_TRUE(container.Deserialize(buffer, length));
  std::free(buffer);
  return container;
}

std::vector<std::string> Keys(const HX_Container& container) {
  std::vector<std::string> keys;
  container.Reset();
  while (container.Next()) keys.push_back(container.GetName());
  return keys;
}

HX_ClientCaps FromContainer(const HX_Container& container) {
  uint8_t* buffer = nullptr;
  size_t length = 0;
  EXPECT_TRUE(container.SerializeAlloc(buffer, length));
  HX_ClientCaps caps;
  caps.Set(buffer, length);
  std::free(buffer);
  return caps;
}

HX_MediaFormat Format(uint32_t width, uint32_t height, uint32_t codec, uint32_t rate,
                      uint32_t tag) {
  HX_MediaFormat format;
  format.width = width;
  format.height = height;
  format.videoCodec = codec;
  format.SetAudio(rate, tag, -1);
  return format;
}

TEST(ClientCaps, FreshObjectSerialisesDefaultsInKeyOrder) {
  const HX_ClientCaps caps;
  const HX_Container container = Serialised(caps);
  EXPECT_EQ(Keys(container),
            (std::vector<std::string>{"IntCaps", "StrmDirC", "VideoRcv", "VideoSnd", "AudioRcv",
                                      "AudioSnd", "Rating", "Level", "LevelGroup", "ClientType",
                                      "AppName", "AppVersion", "ClientFlags", "BandWRcv"}));
  int32_t value = 0;
  size_t size = 4;
  ASSERT_TRUE(container.GetValue("IntCaps", HX_CNT_INTEGER_VT, &value, size));
  EXPECT_EQ(value, 1);
  ASSERT_TRUE(container.GetValue("BandWRcv", HX_CNT_INTEGER_VT, &value, size));
  EXPECT_EQ(value, 128);
  ASSERT_TRUE(container.GetValue("ClientFlags", HX_CNT_INTEGER_VT, &value, size));
  EXPECT_EQ(value, 13);
}

TEST(ClientCaps, SetWithNothingResetsEverything) {
  HX_ClientCaps caps;
  caps.m_rating = 5;
  caps.SetResolutionLimit(640, 480);
  caps.Set(nullptr, 0);
  EXPECT_EQ(caps.m_intCaps, 0);
  EXPECT_EQ(caps.m_rating, 0);
  EXPECT_EQ(caps.m_bandwidthRcv, 128);
  EXPECT_EQ(caps.m_clientFlags, 13u);
  int32_t width = -1, height = -1;
  caps.GetResolutionLimit(width, height);
  EXPECT_EQ(width, 0);
  EXPECT_EQ(height, 0);
  const uint8_t garbage[] = {9, 9, 9};
  caps.m_level = 3;
  caps.Set(garbage, sizeof garbage);  // not a container: the defaults
  EXPECT_EQ(caps.m_level, 0);
}

TEST(ClientCaps, RoundTripWithOptionalKeys) {
  HX_ClientCaps caps;
  caps.SetResolutionLimit(1280, 720);
  caps.m_appName = "host";
  caps.m_appVersion = "1.2";
  caps.m_clientFlags = 0x80000001u;
  caps.SetMediaFormat(
      Format(640, 480, HX_MediaFormat::kCodecH264, 48000, HX_MediaFormat::kAudioOpus));
  caps.SetMediaFormatRcv(
      Format(320, 240, HX_MediaFormat::kCodecVP8, 16000, HX_MediaFormat::kAudioOpus));
  const uint16_t audio[] = {0x7FF0, 6};
  const uint32_t video[] = {HX_MediaFormat::kCodecVP8, HX_MediaFormat::kCodecH264};
  caps.SetAudioCodecs(audio, 2);
  caps.SetVideoCodecs(video, 2);
  const HX_Container container = Serialised(caps);
  const std::vector<std::string> keys = Keys(container);
  EXPECT_EQ(std::vector<std::string>(keys.begin() + 9, keys.end()),
            (std::vector<std::string>{"ScreenWidth", "ScreenHeight", "ClientType", "AppName",
                                      "AppVersion", "ClientFlags", "MediaFmt", "MdFmtRcv",
                                      "BandWRcv", "AudioCdc", "VideoCdc"}));
  const HX_ClientCaps back = FromContainer(container);
  EXPECT_EQ(back.m_appName, "host");
  EXPECT_EQ(back.m_clientFlags, 0x80000001u);
  EXPECT_TRUE(back.IsFixedRcvMediaFormat());
  HX_MediaFormat format;
  back.GetMediaFormat(format);
  EXPECT_EQ(format.width, 640u);
  EXPECT_EQ(format.videoCodec, HX_MediaFormat::kCodecH264);
  EXPECT_EQ(format.sampleRate, 48000u);
  size_t count = 0;
  EXPECT_EQ(back.GetVideoCodecs(nullptr, count), 2u);
  uint32_t codes[2] = {};
  count = 1;  // too small: nothing copied
  back.GetVideoCodecs(codes, count);
  EXPECT_EQ(codes[0], 0u);
  count = 2;
  back.GetVideoCodecs(codes, count);
  EXPECT_EQ(codes[1], HX_MediaFormat::kCodecH264);
  // Own order first.
  HX_ClientCaps other;
  const uint16_t other_audio[] = {6, 0x7FF0};
  other.SetAudioCodecs(other_audio, 2);
  EXPECT_EQ(back.FindInAudioCodecs(other.AudioCodecs()), 0x7FF0);
  EXPECT_EQ(other.FindInAudioCodecs(back.AudioCodecs()), 6);
  EXPECT_EQ(other.FindInVideoCodecs(back.VideoCodecs()), 0u);
}

// A peer's stored format is read only as far as its bytes go, whatever its size field says.
TEST(ClientCaps, StoredFormatsAreReadWithinTheirBytes) {
  HX_MediaFormat wide =
      Format(640, 480, HX_MediaFormat::kCodecH264, 48000, HX_MediaFormat::kAudioOpus);
  wide.frameRate = 30;
  wide.stereo = 7;
  uint8_t bytes[44];
  wide.Store(bytes);
  struct Case {
    size_t stored;
    bool absent;
    uint32_t frameRate;
    uint32_t stereo;
  } cases[] = {{0, true, 15, 0},   {20, true, 15, 0},  {23, true, 15, 0},  {24, false, 15, 0},
               {30, false, 15, 0}, {32, false, 30, 0}, {36, false, 30, 7}, {44, false, 30, 7}};
  for (const Case& c : cases) {
    HX_Container container;
    if (c.stored > 0) {
      // A heap copy exactly as long as stored, so a read beyond it is caught.
      std::vector<uint8_t> value(bytes, bytes + c.stored);
      container.AddValue("MediaFmt", HX_CNT_BINARY_VT, value.data(), value.size());
    }
    container.AddValue("Rating", 1);
    const HX_ClientCaps caps = FromContainer(container);
    HX_MediaFormat format;
    caps.GetMediaFormat(format);
    EXPECT_EQ(format.size, 44u) << c.stored;
    EXPECT_EQ(format.width, c.absent ? 320u : 640u) << c.stored;
    EXPECT_EQ(format.frameRate, c.frameRate) << c.stored;
    EXPECT_EQ(format.stereo, c.stereo) << c.stored;
  }
}

TEST(ClientCaps, CodecListsCountWholeEntriesOnly) {
  HX_Container container;
  const uint8_t audio[3] = {0xF0, 0x7F, 0x06};
  const uint8_t video[7] = {0x70, 0x76, 0x38, 0x30, 1, 2, 3};
  container.AddValue("AudioCdc", HX_CNT_BINARY_VT, audio, 3);
  container.AddValue("VideoCdc", HX_CNT_BINARY_VT, video, 7);
  const HX_ClientCaps caps = FromContainer(container);
  size_t count = 0;
  EXPECT_EQ(caps.GetAudioCodecs(nullptr, count), 1u);
  EXPECT_TRUE(caps.FindAudioCodec(0x7FF0));
  EXPECT_FALSE(caps.FindAudioCodec(0x0006));
  EXPECT_EQ(caps.GetVideoCodecs(nullptr, count), 1u);
  EXPECT_TRUE(caps.FindVideoCodec(HX_MediaFormat::kCodecVP8));
  HX_Container one_byte;
  one_byte.AddValue("VideoCdc", HX_CNT_BINARY_VT, video, 3);
  EXPECT_FALSE(FromContainer(one_byte).FindVideoCodec(0x00387670));
}

// A peer's stored Opus rate of 2^32 - 1 must compute as 48000 Hz (7680 bytes), and the
// negotiation must skip its audio. Disabled until HX_MediaFormat::SetAudio keeps the rounded Opus
// rate in 64 bits: it narrows (r + 2000) / 4000 * 4000 back to 32 bits first, which wraps to 704
// and divides by a zero frame size.
TEST(ClientCaps, PeerRateNearTwoToTheThirtyTwo) {
  HX_MediaFormat odd =
      Format(320, 240, HX_MediaFormat::kCodecVP8, 16000, HX_MediaFormat::kAudioOpus);
  uint8_t bytes[44];
  odd.Store(bytes);
  hx::wire::StoreLe32(bytes + 16, 4294967295u);
  HX_Container container;
  container.AddValue("MediaFmt", HX_CNT_BINARY_VT, bytes, 44);
  const HX_ClientCaps peer = FromContainer(container);
  HX_MediaFormat format;
  peer.GetMediaFormat(format);
  EXPECT_EQ(format.sampleRate, 4294967295u);
  EXPECT_EQ(format.audioBufferSize, 2560u);  // the stored length
  // Without the stored length the copy computes it, at 48000 Hz for this rate.
  HX_Container short_form;
  short_form.AddValue("MediaFmt", HX_CNT_BINARY_VT, bytes, 24);
  FromContainer(short_form).GetMediaFormat(format);
  EXPECT_EQ(format.audioBufferSize, 7680u);
  HX_ClientCaps me;
  const HX_MediaFormat result = me.GetFmtFromToMe(peer);
  EXPECT_EQ(result.audioCodec, 0u);  // out of 8000..48000: no audio
  EXPECT_EQ(result.sampleRate, 0u);
  EXPECT_EQ(result.videoCodec, HX_MediaFormat::kCodecVP8);
}

// Negotiation over a table: my send format M, my fixed receive format R (when set), the peer's
// send format P, flag words and codec lists.
TEST(ClientCaps, NegotiationTable) {
  const uint32_t vp8 = HX_MediaFormat::kCodecVP8;
  const uint32_t h264 = HX_MediaFormat::kCodecH264;
  const uint32_t opus = HX_MediaFormat::kAudioOpus;
  const uint32_t isac = HX_MediaFormat::kAudioISAC;
  struct Case {
    const char* what;
    HX_MediaFormat mine;
    bool fixed;  // R = 640x480 H.264, 48000 Opus, 25 fps, stereo 3; peer's IntCaps bit 0
    HX_MediaFormat peer;
    int32_t myAudioRcv, myVideoRcv, peerAudioSnd, peerVideoSnd;
    uint32_t rate, tag, width, height, codec, stereo;
  } cases[] = {
      {"same formats", Format(320, 240, vp8, 16000, opus), false,
       Format(320, 240, vp8, 16000, opus), 1, 1, 1, 1, 16000, opus, 320, 240, vp8, 0},
      {"strict sides differ", Format(320, 240, vp8, 16000, opus), false,
       Format(640, 480, h264, 32000, isac), 1, 1, 1, 1, 0, 0, 0, 0, 0, 0},
      {"I take any", Format(320, 240, vp8, 16000, opus), false, Format(640, 480, h264, 32000, isac),
       2, 2, 1, 1, 32000, isac, 640, 480, 0, 0},
      {"I take any of other codecs", Format(320, 240, vp8, 16000, opus), false,
       Format(640, 480, h264, 32000, 85), 2, 2, 1, 1, 32000, 0, 640, 480, 0, 0},
      {"peer produces any", Format(320, 240, vp8, 16000, opus), false,
       Format(640, 480, h264, 32000, isac), 1, 1, 2, 2, 16000, opus, 320, 240, 0, 0},
      {"peer list decides", Format(320, 240, vp8, 16000, opus), false,
       Format(640, 480, h264, 32000, opus), 1, 1, 6, 6, 16000, opus, 320, 240, vp8, 0},
      {"my list decides", Format(320, 240, vp8, 16000, opus), false,
       Format(640, 480, h264, 32000, isac), 6, 6, 1, 1, 32000, isac, 640, 480, h264, 0},
      {"my list, peer's list", Format(320, 240, vp8, 16000, opus), false,
       Format(640, 480, 0x31363268, 32000, 85), 6, 6, 6, 6, 32000, opus, 640, 480, vp8, 0},
      {"stereo taken", Format(320, 240, vp8, 16000, opus), false,
       Format(320, 240, vp8, 16000, opus), 1, 0x211, 1, 1, 16000, opus, 320, 240, vp8, 9},
      {"fixed, strict peer", Format(320, 240, vp8, 16000, opus), true,
       Format(320, 240, vp8, 16000, opus), 1, 1, 1, 1, 0, opus, 0, 0, 0, 3},
      {"fixed, peer takes any", Format(320, 240, vp8, 16000, opus), true,
       Format(320, 240, vp8, 16000, opus), 1, 1, 6, 6, 48000, opus, 640, 480, h264, 3},
      {"peer 1x1", Format(320, 240, vp8, 16000, opus), false, Format(1, 1, vp8, 16000, opus), 1, 1,
       1, 1, 16000, opus, 0, 0, 0, 0},
      {"peer 322x240", Format(320, 240, vp8, 16000, opus), false,
       Format(322, 240, vp8, 16000, opus), 1, 1, 1, 1, 16000, opus, 0, 0, 0, 0},
      {"peer sends no audio", Format(320, 240, vp8, 16000, opus), false,
       Format(320, 240, vp8, 16000, opus), 1, 1, 0, 1, 0, 0, 320, 240, vp8, 0},
  };
  for (Case c : cases) {
    HX_ClientCaps me;
    HX_ClientCaps peer;
    me.SetMediaFormat(c.mine);
    me.m_audioRcv = c.myAudioRcv;
    me.m_videoRcv = c.myVideoRcv;
    const uint16_t my_audio[] = {static_cast<uint16_t>(opus), static_cast<uint16_t>(isac)};
    const uint32_t my_video[] = {vp8, h264};
    me.SetAudioCodecs(my_audio, 2);
    me.SetVideoCodecs(my_video, 2);
    c.peer.stereo = 9;
    peer.SetMediaFormat(c.peer);
    peer.m_audioSnd = c.peerAudioSnd;
    peer.m_videoSnd = c.peerVideoSnd;
    const uint16_t peer_audio[] = {85, static_cast<uint16_t>(opus)};
    const uint32_t peer_video[] = {0x31363268, vp8, h264};
    peer.SetAudioCodecs(peer_audio, 2);
    peer.SetVideoCodecs(peer_video, 3);
    peer.m_intCaps = c.fixed ? 1 : 0;
    if (c.fixed) {
      HX_MediaFormat r = Format(640, 480, h264, 48000, opus);
      r.frameRate = 25;
      r.stereo = 3;
      me.SetMediaFormatRcv(r);
    }
    const HX_MediaFormat got = me.GetFmtFromToMe(peer);
    EXPECT_EQ(got.size, 44u) << c.what;
    EXPECT_EQ(got.sampleRate, c.rate) << c.what;
    EXPECT_EQ(got.audioCodec, c.tag) << c.what;
    EXPECT_EQ(got.width, c.width) << c.what;
    EXPECT_EQ(got.height, c.height) << c.what;
    EXPECT_EQ(got.videoCodec, c.codec) << c.what;
    EXPECT_EQ(got.stereo, c.stereo) << c.what;
  }
}

TEST(ClientCaps, AudioBufferLengthRules) {
  HX_ClientCaps me;
  HX_ClientCaps peer;
  HX_MediaFormat p = Format(320, 240, HX_MediaFormat::kCodecVP8, 16000, HX_MediaFormat::kAudioOpus);
  p.audioBufferSize = 1280;  // not what SetAudio computes (2560)
  peer.SetMediaFormat(p);
  EXPECT_EQ(me.GetFmtFromToMe(peer).audioBufferSize, 0u);  // strict both: differs, so 0
  me.m_audioRcv = 1 | 4;
  EXPECT_EQ(me.GetFmtFromToMe(peer).audioBufferSize, 1280u);  // my side decides: the peer's
  me.m_audioRcv = 1;
  peer.m_audioSnd = 1 | 4;
  EXPECT_EQ(me.GetFmtFromToMe(peer).audioBufferSize, 2560u);  // the peer's list: computed kept
}

}  // namespace
