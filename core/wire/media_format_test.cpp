#include "core/wire/media_format.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(MediaFormatTest, DefaultRecordIsVp8At320x240WithOpus) {
  HX_MediaFormat f;
  EXPECT_EQ(f.size, 44u);
  EXPECT_EQ(f.width, 320u);
  EXPECT_EQ(f.height, 240u);
  EXPECT_EQ(f.videoCodec, 0x30387670u);
  EXPECT_EQ(std::memcmp(&f.videoCodec, "pv80", 4), 0);  // memory order, little-endian host
  EXPECT_EQ(f.sampleRate, 16000u);
  EXPECT_EQ(f.audioCodec, 0x7FF0u);
  EXPECT_EQ(f.audioBufferSize, 2560u);
  EXPECT_EQ(f.frameRate, 15u);
  EXPECT_EQ(f.stereo + f.svcMode + f.hardwareCodec, 0u);
}

TEST(MediaFormatTest, AudioBufferLengthPerCodec) {
  struct Case {
    uint32_t rate, tag;
    int ms;
    uint32_t bytes;
  } cases[] = {
      {16000, 0x7FF0, -1, 2560},  // F = 1280, 80 ms
      {44100, 0x7FF0, -1, 7680},  // r' = 48000, F = 3840
      {12000, 0x7FF0, -1, 1920},  // F0 960 at r' 12000, 80 ms = 1920 bytes
      {7999, 0x7FF0, -1, 0},     {7999, 1, 20, 0}, {8000, 1, -1, 640},  // other tags: F 320, 40 ms
      {16000, 1, 20, 640},       // a given duration replaces the default
      {8000, 66, -1, 1440},      // G.723: F 480, 80 ms = 1280 bytes -> 3 frames
      {16000, 85, -1, 1152},     // MP3: duration 0, at least one frame at r' 8000
      {44100, 85, -1, 2304},     // MP3 above 16000 runs at 16000
      {48000, 28676, -1, 1920},  // iSAC: r' 32000, F 1920, 30 ms
      {48000, 41222, 100, 2048},
  };
  for (const auto& c : cases) {
    HX_MediaFormat f;
    f.SetAudio(c.rate, c.tag, c.ms);
    EXPECT_EQ(f.audioBufferSize, c.bytes) << c.rate << " " << c.tag << " " << c.ms;
    EXPECT_EQ(f.sampleRate, c.rate);  // the stored rate is the given one, not r'
    EXPECT_EQ(f.audioCodec, c.tag);
  }
}

HX_MediaFormat Filled(uint32_t size) {
  HX_MediaFormat f;
  f.size = size;
  f.height = 480;
  f.width = 640;
  f.videoCodec = HX_MediaFormat::kCodecH264;
  f.SetAudio(48000, HX_MediaFormat::kAudioOpus, 20);
  f.frameRate = 30;
  f.stereo = 0x10;
  f.svcMode = 0x1234;
  f.hardwareCodec = 2;
  return f;
}

TEST(MediaFormatTest, AssignmentCopiesWhatTheSourceSizeCovers) {
  for (uint32_t size : {24u, 28u, 32u, 36u, 40u, 44u}) {
    const HX_MediaFormat src = Filled(size);
    HX_MediaFormat dst;
    dst.Clear();
    dst.frameRate = 99;
    dst.stereo = dst.svcMode = dst.hardwareCodec = 7;
    dst = src;
    SCOPED_TRACE(size);
    EXPECT_EQ(dst.size, 44u);  // own size kept
    EXPECT_EQ(dst.width, 640u);
    EXPECT_EQ(dst.height, 480u);
    EXPECT_EQ(dst.videoCodec, HX_MediaFormat::kCodecH264);
    EXPECT_EQ(dst.sampleRate, 48000u);
    // 20 ms from the source only when covered; else the codec default of 80 ms.
    EXPECT_EQ(dst.audioBufferSize, size > 24 ? src.audioBufferSize : 7680u);
    EXPECT_EQ(dst.frameRate, size > 28 ? 30u : 15u);
    EXPECT_EQ(dst.stereo, size > 32 ? 0x10u : 0u);
    EXPECT_EQ(dst.svcMode, size > 36 ? 0x1234u : 0u);
    EXPECT_EQ(dst.hardwareCodec, size > 40 ? 2u : 0u);
  }
  const HX_MediaFormat full = Filled(44);
  HX_MediaFormat copy;
  copy = full;
  EXPECT_TRUE(copy == full);
  HX_MediaFormat constructed(full);
  EXPECT_TRUE(constructed == full);
  constructed.svcMode = 1;
  EXPECT_FALSE(constructed == full);
}

TEST(MediaFormatTest, StoredFormRoundTripsLittleEndian) {
  const HX_MediaFormat f = Filled(44);
  uint8_t bytes[44];
  f.Store(bytes);
  EXPECT_EQ(bytes[0], 44);
  EXPECT_EQ(bytes[4], 480 & 0xFF);
  EXPECT_EQ(bytes[5], 480 >> 8);
  EXPECT_EQ(std::memcmp(bytes + 12, "vh64", 4), 0);
  HX_MediaFormat back;
  back.Clear();
  ASSERT_TRUE(back.Load(bytes, sizeof(bytes)));
  EXPECT_TRUE(back == f);
}

TEST(MediaFormatTest, ShortAndLyingRecords) {
  const HX_MediaFormat f = Filled(44);
  uint8_t bytes[44];
  f.Store(bytes);
  HX_MediaFormat untouched;
  const HX_MediaFormat before = untouched;
  // Fewer than 24 bytes: refused, nothing changed.
  EXPECT_FALSE(untouched.Load(bytes, 23));
  EXPECT_FALSE(untouched.Load(nullptr, 44));
  EXPECT_TRUE(untouched == before);
  // A size field below 24: the first fields are copied all the same, none of the later ones.
  bytes[0] = 20;
  HX_MediaFormat small;
  ASSERT_TRUE(small.Load(bytes, 44));
  EXPECT_EQ(small.width, f.width);
  EXPECT_EQ(small.videoCodec, f.videoCodec);
  EXPECT_EQ(small.audioBufferSize, 7680u);
  EXPECT_EQ(small.frameRate, 15u);
  // A size field larger than the bytes given: only the bytes given count.
  bytes[0] = 200;
  HX_MediaFormat got;
  ASSERT_TRUE(got.Load(bytes, 30));  // fields 0-6 whole, field 7 cut
  EXPECT_EQ(got.audioBufferSize, f.audioBufferSize);
  EXPECT_EQ(got.frameRate, 15u);
  // A size of 26 does not reach a whole field 6.
  bytes[0] = 26;
  ASSERT_TRUE(got.Load(bytes, 44));
  EXPECT_EQ(got.audioBufferSize, 7680u);
  EXPECT_EQ(got.width, 640u);
}

}  // namespace
