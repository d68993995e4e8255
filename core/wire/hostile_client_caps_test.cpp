// The capability record and the media format as a hostile peer sends them: records cut at every
// length, size fields that lie, binary values of 0 to 131072 bytes, codec lists with half entries,
// keys of the wrong type and duplicated keys, garbage bytes, rates that overflow the audio frame
// arithmetic and picture sizes at and past the limits of the negotiation. Every received value is
// handed over in a heap block of exactly its size, so AddressSanitizer reports a read past it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "core/base/bin_buff.h"
#include "core/base/container.h"
#include "core/base/range_coder.h"
#include "core/wire/client_caps.h"
#include "core/wire/media_format.h"

namespace {

using Bytes = std::vector<uint8_t>;

// `bytes` copied into a heap block of exactly their size.
std::unique_ptr<uint8_t[]> Exact(const Bytes& bytes) {
  std::unique_ptr<uint8_t[]> block(new uint8_t[bytes.empty() ? 1 : bytes.size()]);
  if (!bytes.empty()) std::memcpy(block.get(), bytes.data(), bytes.size());
  return block;
}

void PutU32(Bytes& out, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

// A 44-byte transported record with every field set to a recognisable non-default value.
Bytes MarkedRecord(uint32_t sizeField) {
  const uint32_t fields[11] = {sizeField, 480, 640, HX_MediaFormat::kCodecH264, 48000,
                               HX_MediaFormat::kAudioOpus, 1111, 30, 0x210, 7, 3};
  Bytes out(44);
  for (int i = 0; i < 11; ++i) PutU32(out, 4 * i, fields[i]);
  return out;
}

// Fields 1-5 of MarkedRecord.
void ExpectMarkedHead(const HX_MediaFormat& format) {
  EXPECT_EQ(format.height, 480u);
  EXPECT_EQ(format.width, 640u);
  EXPECT_EQ(format.videoCodec, HX_MediaFormat::kCodecH264);
  EXPECT_EQ(format.sampleRate, 48000u);
  EXPECT_EQ(format.audioCodec, HX_MediaFormat::kAudioOpus);
}

// Fields 6-10 after a copy from the first `length` bytes of MarkedRecord(sizeField): taken from
// the record where its size field covers them and their bytes are there, otherwise what the copy
// computes (the 48000 Hz Opus frame, 15 frames per second, zeros). A field cut within its four
// bytes, by the size field or by the end of the bytes, may read either way, but never past the
// bytes given.
void ExpectTail(const HX_MediaFormat& format, size_t length, uint64_t sizeField) {
  const uint32_t marked[5] = {1111, 30, 0x210, 7, 3};
  const uint32_t computed[5] = {7680, 15, 0, 0, 0};
  const uint32_t got[5] = {format.audioBufferSize, format.frameRate, format.stereo,
                           format.svcMode, format.hardwareCodec};
  for (int k = 0; k < 5; ++k) {
    const size_t offset = 24 + 4 * k;
    SCOPED_TRACE("field " + std::to_string(6 + k));
    if (sizeField <= offset || length <= offset) {
      EXPECT_EQ(got[k], computed[k]);
    } else if (length >= offset + 4 && sizeField >= offset + 4) {
      EXPECT_EQ(got[k], marked[k]);
    }
  }
}

Bytes Serialise(const HX_Container& container) {
  uint8_t* buffer = nullptr;
  size_t length = 0;
  EXPECT_TRUE(container.SerializeAlloc(buffer, length));
  Bytes out(buffer, buffer + length);
  std::free(buffer);
  return out;
}

// Set from a wire form held in a block of exactly its size.
void SetFrom(HX_ClientCaps& caps, const Bytes& wire) {
  std::unique_ptr<uint8_t[]> block = Exact(wire);
  caps.Set(wire.empty() ? nullptr : block.get(), wire.size());
}

Bytes WireOf(const HX_ClientCaps& caps) {
  uint8_t* buffer = nullptr;
  size_t length = 0;
  EXPECT_TRUE(caps.Get(buffer, length));
  Bytes out(buffer, buffer + length);
  std::free(buffer);
  return out;
}

void AddBinary(HX_Container& container, const char* name, const Bytes& value) {
  ASSERT_TRUE(container.AddValue(name, HX_CNT_BINARY_VT, value.data(), value.size()));
}

// Every field as Reset leaves it.
void ExpectDefaults(const HX_ClientCaps& caps) {
  EXPECT_EQ(caps.m_intCaps, 0);
  EXPECT_EQ(caps.m_streamsDirCon, 0);
  EXPECT_EQ(caps.m_bandwidthRcv, 128);
  EXPECT_EQ(caps.m_videoRcv, 1);
  EXPECT_EQ(caps.m_videoSnd, 1);
  EXPECT_EQ(caps.m_audioRcv, 1);
  EXPECT_EQ(caps.m_audioSnd, 1);
  EXPECT_EQ(caps.m_rating, 0);
  EXPECT_EQ(caps.m_level, 0);
  EXPECT_EQ(caps.m_levelGroup, 0);
  EXPECT_EQ(caps.m_screenWidth, 0);
  EXPECT_EQ(caps.m_screenHeight, 0);
  EXPECT_EQ(caps.m_clientType, 0);
  EXPECT_TRUE(caps.m_appName.empty());
  EXPECT_TRUE(caps.m_appVersion.empty());
  EXPECT_EQ(caps.m_mediaFormat.Size(), 0u);
  EXPECT_EQ(caps.m_mediaFormatRcv.Size(), 0u);
  EXPECT_EQ(caps.m_audioCodecs.Size(), 0u);
  EXPECT_EQ(caps.m_videoCodecs.Size(), 0u);
  EXPECT_EQ(caps.m_clientFlags, 13u);
}

// A record with every field away from its default, as a peer would send it.
HX_ClientCaps FullRecord() {
  HX_ClientCaps caps;
  caps.m_intCaps = 1;
  caps.m_streamsDirCon = 30;
  caps.m_bandwidthRcv = 512;
  caps.m_videoRcv = 7;
  caps.m_videoSnd = 6;
  caps.m_audioRcv = 5;
  caps.m_audioSnd = 3;
  caps.m_rating = -4;
  caps.m_level = 9;
  caps.m_levelGroup = 2;
  caps.m_screenWidth = 1920;
  caps.m_screenHeight = 1080;
  caps.m_clientType = 3;
  caps.m_appName = "hostile";
  caps.m_appVersion = "9.9";
  HX_MediaFormat send;
  send.width = 640;
  send.height = 480;
  caps.SetMediaFormat(send);
  caps.SetMediaFormatRcv(send);
  const uint16_t tags[] = {0x7FF0, 0x7004};
  caps.SetAudioCodecs(tags, 2);
  const uint32_t codes[] = {HX_MediaFormat::kCodecVP8, HX_MediaFormat::kCodecH264};
  caps.SetVideoCodecs(codes, 2);
  caps.m_clientFlags = 0x80000001u;
  return caps;
}

// ---------------------------------------------------------------------------------------------
// HX_MediaFormat

TEST(HostileMediaFormat, LoadOfEveryCutAndEveryLyingSizeField) {
  const uint32_t sizeFields[] = {0, 1, 23, 24, 25, 28, 29, 33, 37, 41, 44, 45, 8193, 65535,
                                 131072, 0x80000000u, 0xFFFFFFFFu};
  for (uint32_t sizeField : sizeFields) {
    const Bytes record = MarkedRecord(sizeField);
    for (size_t length = 0; length <= record.size(); ++length) {
      SCOPED_TRACE("size field " + std::to_string(sizeField) + ", " + std::to_string(length) +
                   " bytes");
      const Bytes cut(record.begin(), record.begin() + length);
      std::unique_ptr<uint8_t[]> block = Exact(cut);
      HX_MediaFormat format;
      format.size = 99;  // the target keeps its own size field
      const HX_MediaFormat before = format;
      // The first 24 bytes are read whatever the size field says; fewer bytes are refused.
      const bool loaded = format.Load(block.get(), length);
      if (length < 24) {
        EXPECT_FALSE(loaded);
        EXPECT_EQ(format, before);
        continue;
      }
      ASSERT_TRUE(loaded);
      EXPECT_EQ(format.size, 99u);
      ExpectMarkedHead(format);
      ExpectTail(format, length, sizeField);
    }
  }
}

TEST(HostileMediaFormat, LoadOfNothing) {
  HX_MediaFormat format;
  const HX_MediaFormat before = format;
  EXPECT_FALSE(format.Load(nullptr, 44));
  EXPECT_FALSE(format.Load(nullptr, 0));
  EXPECT_EQ(format, before);
}

// The audio frame length for rates a peer may announce, up to the top of 32 bits: rounding the
// Opus rate to 4000 must not wrap around into a zero frame (and a division by it).
TEST(HostileMediaFormat, AudioBufferForExtremeRates) {
  struct Case {
    uint32_t rate;
    uint32_t tag;
    uint32_t buffer;
  } cases[] = {
      {0, HX_MediaFormat::kAudioOpus, 0},
      {7999, 0xDEAD, 0},
      {8000, HX_MediaFormat::kAudioOpus, 1280},
      {9999, HX_MediaFormat::kAudioOpus, 1280},    // rounds to 8000
      {10000, HX_MediaFormat::kAudioOpus, 1920},   // rounds to 12000: 960-sample frames
      {44100, HX_MediaFormat::kAudioOpus, 7680},   // works at 48000
      {0x7FFFFFFFu, HX_MediaFormat::kAudioOpus, 7680},
      {0x80000000u, HX_MediaFormat::kAudioOpus, 7680},
      {0xFFFFF830u, HX_MediaFormat::kAudioOpus, 7680},  // + 2000 is exactly 2^32
      {0xFFFFFFFFu, HX_MediaFormat::kAudioOpus, 7680},
      {0xFFFFFFFFu, HX_MediaFormat::kAudioMP3, 2304},   // one 16000 Hz frame
      {0xFFFFFFFFu, HX_MediaFormat::kAudioAAC, 2048},   // one 8000 Hz frame
      {0xFFFFFFFFu, HX_MediaFormat::kAudioISAC, 1920},  // works at 32000
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("rate " + std::to_string(c.rate) + " tag " + std::to_string(c.tag));
    HX_MediaFormat format;
    format.SetAudio(c.rate, c.tag, HX_MediaFormat::kDefaultDuration);
    EXPECT_EQ(format.sampleRate, c.rate);
    EXPECT_EQ(format.audioCodec, c.tag);
    EXPECT_EQ(format.audioBufferSize, c.buffer);
  }
}

// Any rate and tag a peer's record holds gives a whole number of frames of at least one frame:
// the buffer length is never 0 from 8000 Hz up and never computed from a wrapped frame size.
TEST(HostileMediaFormat, AudioBufferIsWholeFramesForEveryTagAndRate) {
  const uint32_t tags[] = {0, 1, 66, 85, 28676, 0x7FF0, 41222, 0xFFFF, 0xFFFFFFFFu};
  const uint32_t rates[] = {8000, 11025, 22050, 32000, 48000, 96000, 1u << 20, 0x7FFFFFFFu,
                            0xFFFFFFFFu};
  for (uint32_t tag : tags) {
    for (uint32_t rate : rates) {
      SCOPED_TRACE("rate " + std::to_string(rate) + " tag " + std::to_string(tag));
      HX_MediaFormat format;
      format.SetAudio(rate, tag, HX_MediaFormat::kDefaultDuration);
      EXPECT_GT(format.audioBufferSize, 0u);
    }
  }
}

TEST(HostileMediaFormat, CopyFromShortRecordsKeepsComputedFields) {
  HX_MediaFormat source;
  source.size = 24;
  source.audioBufferSize = 1;
  source.frameRate = 1000;
  source.stereo = 5;
  source.svcMode = 6;
  source.hardwareCodec = 7;
  HX_MediaFormat target;
  target.size = 40;
  target.frameRate = 60;
  target = source;
  EXPECT_EQ(target.size, 40u);
  EXPECT_EQ(target.audioBufferSize, 2560u);
  EXPECT_EQ(target.frameRate, 15u);
  EXPECT_EQ(target.stereo, 0u);
  EXPECT_EQ(target.svcMode, 0u);
  EXPECT_EQ(target.hardwareCodec, 0u);
}

// ---------------------------------------------------------------------------------------------
// HX_ClientCaps::Set

TEST(HostileClientCaps, EveryCutOfARecordLeavesDefaults) {
  const Bytes wire = WireOf(FullRecord());
  ASSERT_GT(wire.size(), 8u);
  for (size_t length = 0; length < wire.size(); ++length) {
    SCOPED_TRACE(length);
    HX_ClientCaps caps = FullRecord();
    SetFrom(caps, Bytes(wire.begin(), wire.begin() + length));
    ExpectDefaults(caps);
  }
  HX_ClientCaps whole;
  SetFrom(whole, wire);
  EXPECT_EQ(WireOf(whole), wire);
}

TEST(HostileClientCaps, GarbageAndFlippedBytesNeverReadPastTheRecord) {
  const Bytes wire = WireOf(FullRecord());
  // Every byte flipped in turn: the record is refused as a whole or read field by field, but
  // never read beyond its bytes, and a cut or lying value never shows up as a longer one.
  for (size_t i = 0; i < wire.size(); ++i) {
    for (uint8_t flip : {uint8_t{0x01}, uint8_t{0x80}, uint8_t{0xFF}}) {
      Bytes broken = wire;
      broken[i] ^= flip;
      HX_ClientCaps caps;
      SetFrom(caps, broken);
      HX_MediaFormat format;
      caps.GetMediaFormat(format);
      caps.GetMediaFormatRcv(format);
      size_t count = 0;
      caps.GetAudioCodecs(nullptr, count);
      EXPECT_EQ(count, caps.m_audioCodecs.Size() / 2);
      caps.GetVideoCodecs(nullptr, count);
      EXPECT_EQ(count, caps.m_videoCodecs.Size() / 4);
      caps.GetFmtFromToMe(FullRecord());
      FullRecord().GetFmtFromToMe(caps);
    }
  }
  uint32_t seed = 12345;
  for (int round = 0; round < 200; ++round) {
    Bytes garbage(1 + round * 7 % 300);
    for (uint8_t& byte : garbage) {
      seed = seed * 1103515245u + 12345u;
      byte = static_cast<uint8_t>(seed >> 16);
    }
    HX_ClientCaps caps = FullRecord();
    SetFrom(caps, garbage);
    ExpectDefaults(caps);
  }
}

// Raw container entries written by hand, so that their lengths can lie.
Bytes RawEntry(const std::string& name, uint8_t type, const Bytes& value) {
  Bytes out{static_cast<uint8_t>(name.size() + 1)};
  out.insert(out.end(), name.begin(), name.end());
  out.push_back(0);
  out.push_back(type);
  out.insert(out.end(), value.begin(), value.end());
  return out;
}

Bytes U32(uint32_t value) {
  Bytes out(4);
  PutU32(out, 0, value);
  return out;
}

// A binary (or string) value: its length field, then `bytes`.
Bytes Sized(uint32_t lengthField, const Bytes& bytes) {
  Bytes out = U32(lengthField);
  out.insert(out.end(), bytes.begin(), bytes.end());
  return out;
}

// The wire form of a raw form: its length, then its coded bytes.
Bytes WireOfRaw(const Bytes& raw) {
  Bytes out = U32(static_cast<uint32_t>(raw.size()));
  if (raw.empty()) return out;
  Bytes coded(2 * raw.size() + 64);
  const int64_t written = RCDV_Encode(raw.data(), raw.size(), coded.data(), coded.size());
  EXPECT_GT(written, 0);
  out.insert(out.end(), coded.begin(), coded.begin() + written);
  return out;
}

// Entries of a record cut at every byte, with a raw length that matches the cut: a cut between
// entries reads the entries before it, a cut inside one refuses the whole record.
TEST(HostileClientCaps, RawFormCutAtEveryByte) {
  const std::vector<Bytes> entries = {
      RawEntry(HXCC_VIDEO_RCV, HX_CNT_INTEGER_VT, U32(9)),
      RawEntry(HXCC_MEDIAFORMAT, HX_CNT_BINARY_VT, Sized(44, MarkedRecord(44))),
      RawEntry(HXCC_APPNAME, HX_CNT_STRING_VT, Sized(3, {'a', 'b', 0})),
      RawEntry(HXCC_AUDIO_CODECS, HX_CNT_BINARY_VT, Sized(3, {0xF0, 0x7F, 0x04})),
  };
  Bytes raw;
  std::vector<size_t> boundaries{0};
  for (const Bytes& entry : entries) {
    raw.insert(raw.end(), entry.begin(), entry.end());
    boundaries.push_back(raw.size());
  }
  for (size_t cut = 0; cut <= raw.size(); ++cut) {
    SCOPED_TRACE(cut);
    HX_ClientCaps caps = FullRecord();
    SetFrom(caps, WireOfRaw(Bytes(raw.begin(), raw.begin() + cut)));
    size_t whole = 0;
    while (whole + 1 < boundaries.size() && boundaries[whole + 1] <= cut) ++whole;
    if (cut != boundaries[whole] || whole == 0) {
      ExpectDefaults(caps);
      continue;
    }
    EXPECT_EQ(caps.m_videoRcv, 9);
    EXPECT_EQ(caps.m_mediaFormat.Size(), whole >= 2 ? 44u : 0u);
    EXPECT_EQ(caps.m_appName, whole >= 3 ? "ab" : "");
    EXPECT_EQ(caps.FindAudioCodec(0x7FF0), whole >= 4);
    EXPECT_EQ(caps.m_audioCodecs.Size(), whole >= 4 ? 3u : 0u);
  }
}

// A value whose length field lies about the bytes that follow: the record is refused whole.
TEST(HostileClientCaps, LyingValueLengths) {
  const Bytes head = RawEntry(HXCC_VIDEO_RCV, HX_CNT_INTEGER_VT, U32(9));
  const uint32_t lies[] = {45, 8193, 65535, 131072, 0x80000000u, 0xFFFFFFFFu, 0xFFFFFFFCu};
  for (uint8_t type : {uint8_t{HX_CNT_BINARY_VT}, uint8_t{HX_CNT_STRING_VT}}) {
    for (uint32_t lie : lies) {
      SCOPED_TRACE(std::to_string(type) + " " + std::to_string(lie));
      Bytes raw = head;
      const Bytes value = RawEntry(type == HX_CNT_BINARY_VT ? HXCC_MEDIAFORMAT : HXCC_APPNAME,
                                   type, Sized(lie, MarkedRecord(44)));
      raw.insert(raw.end(), value.begin(), value.end());
      HX_ClientCaps caps = FullRecord();
      SetFrom(caps, WireOfRaw(raw));
      ExpectDefaults(caps);
    }
  }
  // A string without its terminating zero, and one whose length counts no terminator at all.
  for (const Bytes& text : {Sized(2, {'a', 'b'}), Sized(0, {})}) {
    Bytes raw = head;
    const Bytes value = RawEntry(HXCC_APPNAME, HX_CNT_STRING_VT, text);
    raw.insert(raw.end(), value.begin(), value.end());
    HX_ClientCaps caps = FullRecord();
    SetFrom(caps, WireOfRaw(raw));
    EXPECT_TRUE(caps.m_appName.empty());
  }
}

TEST(HostileClientCaps, KeysOfTheWrongTypeAreIgnored) {
  HX_Container container;
  const int32_t five = 5;
  for (const char* name : {HXCC_INTCAPS, HXCC_VIDEO_RCV, HXCC_BANDW_RCV, HXCC_CLIENT_FLAGS,
                           HXCC_SCREEN_WIDTH}) {
    ASSERT_TRUE(container.AddValue(name, "7"));
  }
  for (const char* name : {HXCC_APPNAME, HXCC_APPVERSION, HXCC_MEDIAFORMAT, HXCC_MEDIAFORMATRCV,
                           HXCC_AUDIO_CODECS, HXCC_VIDEO_CODECS}) {
    ASSERT_TRUE(container.AddValue(name, HX_CNT_INTEGER_VT, &five, 0));
  }
  ASSERT_TRUE(container.AddValue(HXCC_AUDIO_RCV, 5.0));
  ASSERT_TRUE(container.AddValue(HXCC_AUDIO_SND, int64_t{5}));
  ASSERT_TRUE(container.AddValue(HXCC_RATING, true));
  HX_ClientCaps caps = FullRecord();
  SetFrom(caps, Serialise(container));
  ExpectDefaults(caps);
}

TEST(HostileClientCaps, DuplicatedAndContradictoryKeysTakeTheFirstThatFits) {
  HX_Container container;
  ASSERT_TRUE(container.AddValue(HXCC_VIDEO_RCV, "8"));
  ASSERT_TRUE(container.AddValue(HXCC_VIDEO_RCV, int32_t{8}));
  ASSERT_TRUE(container.AddValue(HXCC_VIDEO_RCV, int32_t{0}));
  ASSERT_TRUE(container.AddValue(HXCC_APPNAME, "first"));
  ASSERT_TRUE(container.AddValue(HXCC_APPNAME, "second"));
  AddBinary(container, HXCC_VIDEO_CODECS, {1, 2, 3});  // no whole entry
  AddBinary(container, HXCC_VIDEO_CODECS, {0x70, 0x76, 0x38, 0x30});
  ASSERT_TRUE(container.AddValue(HXCC_CLIENT_FLAGS, int32_t{-1}));
  ASSERT_TRUE(container.AddValue(HXCC_CLIENT_FLAGS, int32_t{13}));
  HX_ClientCaps caps;
  SetFrom(caps, Serialise(container));
  EXPECT_EQ(caps.m_videoRcv, 8);
  EXPECT_EQ(caps.m_appName, "first");
  EXPECT_EQ(caps.m_videoCodecs.Size(), 3u);
  EXPECT_FALSE(caps.FindVideoCodec(HX_MediaFormat::kCodecVP8));
  size_t count = 99;
  EXPECT_EQ(caps.GetVideoCodecs(nullptr, count), 0u);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(caps.m_clientFlags, 0xFFFFFFFFu);
}

TEST(HostileClientCaps, SetForgetsEverythingTheRecordBefore) {
  HX_ClientCaps caps = FullRecord();
  HX_Container container;
  ASSERT_TRUE(container.AddValue(HXCC_LEVEL, int32_t{4}));
  SetFrom(caps, Serialise(container));
  HX_ClientCaps expected;
  expected.Reset();
  expected.m_level = 4;
  EXPECT_EQ(WireOf(caps), WireOf(expected));
  SetFrom(caps, {});
  ExpectDefaults(caps);
}

// Stored formats of every length a peer may send: the value is copied only as far as its bytes
// go, whatever its size field says.
TEST(HostileClientCaps, StoredFormatOfEveryLength) {
  const size_t lengths[] = {0, 1, 4, 23, 24, 25, 28, 32, 43, 44, 45, 8193, 65535, 131072};
  const uint32_t sizeFields[] = {24, 25, 44, 0xFFFFFFFFu};
  for (size_t length : lengths) {
    for (uint32_t sizeField : sizeFields) {
      SCOPED_TRACE(std::to_string(length) + " bytes, size field " + std::to_string(sizeField));
      Bytes value(length, 0xA5);
      const Bytes marked = MarkedRecord(sizeField);
      if (length > 0) std::memcpy(value.data(), marked.data(), std::min(length, marked.size()));
      HX_Container container;
      AddBinary(container, HXCC_MEDIAFORMAT, value);
      AddBinary(container, HXCC_MEDIAFORMATRCV, value);
      HX_ClientCaps caps;
      SetFrom(caps, Serialise(container));
      EXPECT_EQ(caps.m_mediaFormat.Size(), length);
      // A value too short to be a record is no fixed format.
      EXPECT_EQ(caps.IsFixedRcvMediaFormat(), length >= 24);

      HX_MediaFormat send;
      send.size = 77;
      caps.GetMediaFormat(send);
      HX_MediaFormat received;
      caps.GetMediaFormatRcv(received);
      if (length < 24) {
        // Too short to be a record: the default one.
        EXPECT_EQ(send.width, 320u);
        EXPECT_EQ(send.height, 240u);
        EXPECT_EQ(send.videoCodec, HX_MediaFormat::kCodecVP8);
        EXPECT_EQ(send.audioBufferSize, 2560u);
        EXPECT_EQ(send.frameRate, 15u);
        EXPECT_EQ(received, HX_MediaFormat());
        continue;
      }
      // Fields 1-5 are always copied; the size field governs only the later ones.
      EXPECT_EQ(send.size, 77u);
      ExpectMarkedHead(send);
      ExpectTail(send, length, sizeField);
      ExpectMarkedHead(received);
      ExpectTail(received, length, sizeField);
    }
  }
}

// A stored value of a whole record whose size field says less than 24: the copy takes height,
// width, codec, rate and tag in any case; only the later fields depend on the size field (a peer
// writing a small size field must not have its whole send format ignored).
TEST(HostileClientCaps, StoredFormatWithASmallSizeField) {
  for (uint32_t sizeField : {0u, 1u, 23u}) {
    SCOPED_TRACE(sizeField);
    HX_Container container;
    AddBinary(container, HXCC_MEDIAFORMAT, MarkedRecord(sizeField));
    HX_ClientCaps caps;
    SetFrom(caps, Serialise(container));
    HX_MediaFormat send;
    caps.GetMediaFormat(send);
    ExpectMarkedHead(send);
    ExpectTail(send, 44, sizeField);
  }
}

TEST(HostileClientCaps, CodecListsCountOnlyWholeEntries) {
  const size_t lengths[] = {0, 1, 2, 3, 4, 5, 7, 8193, 65535, 131072};
  for (size_t length : lengths) {
    SCOPED_TRACE(length);
    Bytes value(length);
    for (size_t i = 0; i < length; ++i) value[i] = static_cast<uint8_t>(i * 37 + 11);
    HX_Container container;
    AddBinary(container, HXCC_AUDIO_CODECS, value);
    AddBinary(container, HXCC_VIDEO_CODECS, value);
    HX_ClientCaps caps;
    SetFrom(caps, Serialise(container));
    ASSERT_EQ(caps.m_audioCodecs.Size(), length);

    size_t audioCount = 0;
    EXPECT_EQ(caps.GetAudioCodecs(nullptr, audioCount), length / 2);
    EXPECT_EQ(audioCount, length / 2);
    size_t videoCount = 0;
    EXPECT_EQ(caps.GetVideoCodecs(nullptr, videoCount), length / 4);
    EXPECT_EQ(videoCount, length / 4);

    // A destination one entry short is not written at all.
    std::vector<uint16_t> tags(audioCount + 1, 0xBEEF);
    size_t shortCount = audioCount ? audioCount - 1 : 0;
    caps.GetAudioCodecs(tags.data(), shortCount);
    EXPECT_EQ(shortCount, audioCount);
    if (audioCount > 0) EXPECT_EQ(tags[0], 0xBEEF);
    size_t room = tags.size();
    caps.GetAudioCodecs(tags.data(), room);
    EXPECT_EQ(tags.back(), 0xBEEF);  // one past the list stays untouched
    std::vector<uint32_t> codes(videoCount + 1, 0xFEEDFACE);
    room = codes.size();
    caps.GetVideoCodecs(codes.data(), room);
    EXPECT_EQ(codes.back(), 0xFEEDFACEu);
    if (videoCount > 0) {
      uint32_t first;
      std::memcpy(&first, value.data(), 4);
      EXPECT_EQ(codes[0], first);
      EXPECT_TRUE(caps.FindVideoCodec(first));
    }

    // The bytes of a half entry at the end never make a codec.
    if (length % 2 == 1) {
      const uint16_t tail = static_cast<uint16_t>(value.back());
      bool tailIsWhole = false;
      for (size_t i = 0; i + 1 < length; i += 2) {
        tailIsWhole |= static_cast<uint16_t>(value[i] | value[i + 1] << 8) == tail;
      }
      EXPECT_EQ(caps.FindAudioCodec(tail), tailIsWhole);
    }
  }
}

// The list of the other side with a half entry at its end: the half entry is never matched and
// never read whole.
TEST(HostileClientCaps, FindInListsWithHalfEntries) {
  HX_ClientCaps own;
  const uint16_t tags[] = {0x00AB, 0x7FF0};
  own.SetAudioCodecs(tags, 2);
  const uint32_t codes[] = {0x000000CD, HX_MediaFormat::kCodecH264};
  own.SetVideoCodecs(codes, 2);

  const uint8_t audio[] = {0x11, 0x22, 0xAB};
  EXPECT_EQ(own.FindInAudioCodecs(HX_BinBuff(audio, sizeof audio)), 0);
  EXPECT_EQ(own.FindInAudioCodecs(HX_BinBuff(audio, 1)), 0);
  const uint8_t video[] = {0x68, 0x32, 0x36, 0x33, 0xCD, 0x00, 0x00};
  EXPECT_EQ(own.FindInVideoCodecs(HX_BinBuff(video, sizeof video)), 0u);
  EXPECT_EQ(own.FindInVideoCodecs(HX_BinBuff(video + 4, 3)), 0u);
  EXPECT_EQ(own.FindInVideoCodecs(HX_BinBuff()), 0u);

  // Duplicates in the other list do not change the choice: the own order decides.
  const uint16_t other[] = {0x7FF0, 0x7FF0, 0x00AB, 0x00AB};
  EXPECT_EQ(own.FindInAudioCodecs(HX_BinBuff(other, sizeof other)), 0x00AB);
}

TEST(HostileClientCaps, HugeValuesTravelWhole) {
  HX_ClientCaps caps = FullRecord();
  caps.m_appName.assign(131072, 'n');
  caps.m_appVersion.assign(65535, 'v');
  Bytes list(131072);
  for (size_t i = 0; i < list.size(); ++i) list[i] = static_cast<uint8_t>(i);
  caps.m_audioCodecs.Set(list.data(), list.size() - 1);
  caps.m_videoCodecs.Set(list.data(), list.size() - 3);
  caps.m_screenWidth = std::numeric_limits<int32_t>::min();
  caps.m_screenHeight = -1;
  const Bytes wire = WireOf(caps);
  HX_ClientCaps back;
  SetFrom(back, wire);
  EXPECT_EQ(back.m_appName, caps.m_appName);
  EXPECT_EQ(back.m_appVersion, caps.m_appVersion);
  EXPECT_EQ(back.m_audioCodecs, caps.m_audioCodecs);
  EXPECT_EQ(back.m_videoCodecs, caps.m_videoCodecs);
  int32_t width = 0;
  int32_t height = 0;
  back.GetResolutionLimit(width, height);
  EXPECT_EQ(width, std::numeric_limits<int32_t>::min());
  EXPECT_EQ(height, -1);
  EXPECT_EQ(WireOf(back), wire);
}

// ---------------------------------------------------------------------------------------------
// GetFmtFromToMe with a hostile peer

// A peer that sends `format` and takes or produces anything.
HX_ClientCaps PeerSending(const HX_MediaFormat& format, int32_t sendFlags = 7) {
  HX_ClientCaps peer;
  peer.SetMediaFormat(format);
  peer.m_videoSnd = sendFlags;
  peer.m_audioSnd = sendFlags;
  return peer;
}

TEST(HostileNegotiation, PictureSizesAtAndPastTheLimits) {
  struct Case {
    uint32_t width;
    uint32_t height;
    bool video;
  } cases[] = {
      {0, 0, false},           {1, 1, false},          {8, 8, false},
      {16, 16, true},          {322, 240, false},      {320, 241, false},
      {8192, 8192, true},      {8193, 8, false},       {8200, 16, true},
      {65535, 8, false},       {65536, 65536, true},   {131072, 131072, true},
      {131080, 16, false},     {0x80000000u, 16, false}, {16, 0xFFFFFFF8u, false},
  };
  HX_ClientCaps me;
  me.m_videoRcv = 2;  // take the peer's size
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    HX_MediaFormat sent;
    sent.width = c.width;
    sent.height = c.height;
    const HX_MediaFormat result = me.GetFmtFromToMe(PeerSending(sent));
    EXPECT_EQ(result.size, 44u);
    if (!c.video) {
      EXPECT_EQ(result.width, 0u);
      EXPECT_EQ(result.height, 0u);
      EXPECT_EQ(result.videoCodec, 0u);
      EXPECT_EQ(result.frameRate, 0u);
    } else {
      EXPECT_EQ(result.width, c.width);
      EXPECT_EQ(result.height, c.height);
      EXPECT_EQ(result.videoCodec, HX_MediaFormat::kCodecVP8);
    }
    // The audio side is negotiated independently of a hostile picture.
    EXPECT_EQ(result.sampleRate, 16000u);
    EXPECT_EQ(result.audioCodec, HX_MediaFormat::kAudioOpus);
  }
}

TEST(HostileNegotiation, AudioRatesOutsideTheRangeGiveNoAudio) {
  const uint32_t rates[] = {0, 7999, 48001, 65535, 131072, 0x80000000u, 0xFFFFFFFFu};
  HX_ClientCaps me;
  me.m_audioRcv = 2;
  for (uint32_t rate : rates) {
    SCOPED_TRACE(rate);
    HX_MediaFormat sent;
    sent.SetAudio(rate, HX_MediaFormat::kAudioOpus, HX_MediaFormat::kDefaultDuration);
    const HX_MediaFormat result = me.GetFmtFromToMe(PeerSending(sent));
    EXPECT_EQ(result.sampleRate, 0u);
    EXPECT_EQ(result.audioCodec, 0u);
    EXPECT_EQ(result.audioBufferSize, 0u);
    EXPECT_EQ(result.width, 320u);
  }
}

// Codec ids nobody knows, and lists with half entries, empty lists and duplicates: the chosen
// codec is always 0 or one that both sides hold as whole entries.
TEST(HostileNegotiation, UnknownCodecsAndBrokenListsChooseNothingForeign) {
  HX_ClientCaps me;
  me.m_videoRcv = 4 | 2;
  me.m_audioRcv = 4 | 2;
  const uint32_t myCodes[] = {HX_MediaFormat::kCodecH264, HX_MediaFormat::kCodecVP8};
  me.SetVideoCodecs(myCodes, 2);
  const uint16_t myTags[] = {0x7004, 0x7FF0};
  me.SetAudioCodecs(myTags, 2);
  HX_MediaFormat mine;
  mine.videoCodec = 0xDEADBEEF;  // my own send codec nobody has
  mine.audioCodec = 0xBEEF;
  me.SetMediaFormat(mine);

  HX_MediaFormat sent;
  sent.videoCodec = 0x12345678;
  sent.SetAudio(16000, 0xCAFE, HX_MediaFormat::kDefaultDuration);

  struct Case {
    const char* name;
    Bytes video;
    Bytes audio;
    uint32_t codec;
    uint32_t tag;
  } cases[] = {
      {"empty lists", {}, {}, 0, 0},
      {"half entries only", {0x76, 0x68, 0x36}, {0xF0}, 0, 0},
      // H.264 whole, VP8 cut: the first of the peer's whole entries that I hold.
      {"whole then half", {0x76, 0x68, 0x36, 0x34, 0x70, 0x76, 0x38}, {0x04, 0x70, 0xF0},
       HX_MediaFormat::kCodecH264, 0x7004},
      {"unknown then mine", {0x78, 0x56, 0x34, 0x12, 0x70, 0x76, 0x38, 0x30},
       {0xFE, 0xCA, 0xF0, 0x7F}, HX_MediaFormat::kCodecVP8, 0x7FF0},
      {"duplicates", {0x70, 0x76, 0x38, 0x30, 0x70, 0x76, 0x38, 0x30, 0x70, 0x76, 0x38, 0x30},
       {0xF0, 0x7F, 0xF0, 0x7F, 0xF0, 0x7F}, HX_MediaFormat::kCodecVP8, 0x7FF0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HX_ClientCaps peer = PeerSending(sent);
    peer.m_videoCodecs.Set(c.video.data(), c.video.size());
    peer.m_audioCodecs.Set(c.audio.data(), c.audio.size());
    const HX_MediaFormat result = me.GetFmtFromToMe(peer);
    EXPECT_EQ(result.videoCodec, c.codec);
    EXPECT_EQ(result.audioCodec, c.tag);
  }
}

}  // namespace
