// The send-format choice fed what a hostile peer or server can put in it: media format records cut
// at every length or with a size field that lies (each in a heap block of exactly its length, so
// AddressSanitizer sees a read past it), capability records cut, flipped and filled with noise,
// screen sizes and limits with a zero or huge side, ratings and levels out of range, unknown codec
// ids, forced formats no encoder could take, and all of it from several threads at once. The
// promises checked: nothing read outside a buffer, no overflow on the way (the undefined-behaviour
// sanitizer stops the test), a send format that an encoder can take whenever one was given, and
// Reset bringing an unusable format back to 640x360 VP8 at 30 frames per second.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "core/media/format/media_format_adapter.h"
#include "core/media/format/media_format_manager.h"
#include "core/media/video/capture_slot_list.h"
#include "core/wire/client_caps.h"
#include "core/wire/media_format.h"

namespace {

constexpr uint32_t kVP8 = HX_MediaFormat::kCodecVP8;

HX_MediaFormat Format(uint32_t w, uint32_t h, uint32_t codec = kVP8, uint32_t fps = 30) {
  HX_MediaFormat f;
  f.width = w;
  f.height = h;
  f.videoCodec = codec;
  f.frameRate = fps;
  return f;
}

// A copy of `bytes` in a heap block of exactly their length.
std::unique_ptr<uint8_t[]> Exact(const std::vector<uint8_t>& bytes) {
  std::unique_ptr<uint8_t[]> block(new uint8_t[bytes.size() == 0 ? 1 : bytes.size()]);
  if (!bytes.empty()) std::memcpy(block.get(), bytes.data(), bytes.size());
  return block;
}

// What a peer sends: the record serialised and read back as the receiving side does.
std::vector<uint8_t> Serialised(const HX_ClientCaps& caps) {
  uint8_t* buffer = nullptr;
  size_t length = 0;
  EXPECT_TRUE(caps.Get(buffer, length));
  std::vector<uint8_t> out(buffer, buffer + length);
  std::free(buffer);
  return out;
}

HX_ClientCaps ReadCaps(const std::vector<uint8_t>& bytes) {
  auto block = Exact(bytes);
  HX_ClientCaps caps;
  caps.Set(bytes.empty() ? nullptr : block.get(), bytes.size());
  return caps;
}

// A peer that takes a changing format and has every optional field set.
HX_ClientCaps FullPeer() {
  HX_ClientCaps peer;
  peer.m_videoRcv = 0x8 | 0x210 | 0x20 | 0x80 | 0x100;
  peer.m_rating = 500;
  peer.m_level = 51;
  peer.m_clientType = 3;
  peer.m_screenWidth = 1280;
  peer.m_screenHeight = 720;
  peer.m_appName = "peer";
  peer.m_appVersion = "1.0";
  peer.SetMediaFormat(Format(1280, 720));
  peer.SetMediaFormatRcv(Format(640, 360));
  const uint16_t audio[] = {0x7ff0, 6, 7, 101};
  peer.SetAudioCodecs(audio, 4);
  const uint32_t video[] = {kVP8, HX_MediaFormat::kCodecH264, 0xDEADBEEF};
  peer.SetVideoCodecs(video, 3);
  return peer;
}

// A format an encoder can take: a codec, both sides within 16 to 131072.
void ExpectEncodable(const HX_MediaFormat& f) {
  EXPECT_NE(f.videoCodec, 0u);
  EXPECT_GE(f.width, 16u);
  EXPECT_LE(f.width, 131072u);
  EXPECT_GE(f.height, 16u);
  EXPECT_LE(f.height, 131072u);
}

// Every record length with every kind of size field: the first 24 bytes are read whatever the
// size field says, the later fields only within the fewer of the length and the size field; fewer
// than 24 bytes change nothing and the load is refused; nothing is read past the given bytes,
// even where the size field covers a field only partly.
TEST(HostileMediaFormat, RecordsCutAtEveryLengthReadOnlyTheirBytes) {
  HX_MediaFormat source = Format(1920, 1080, HX_MediaFormat::kCodecH264, 60);
  source.SetAudio(48000, HX_MediaFormat::kAudioOpus, -1);
  source.stereo = 1;
  source.svcMode = 2;
  source.hardwareCodec = 3;
  uint8_t full[HX_MediaFormat::kRecordSize];
  source.Store(full);
  for (uint32_t sizeField :
       {0u, 4u, 23u, 24u, 25u, 27u, 28u, 30u, 33u, 43u, 44u, 45u, 1000u, 0xFFFFFFFFu}) {
    for (size_t length = 0; length <= 2 * HX_MediaFormat::kRecordSize; ++length) {
      SCOPED_TRACE(testing::Message() << "size field " << sizeField << ", length " << length);
      std::vector<uint8_t> bytes(length, 0x5A);
      if (length > 0) std::memcpy(bytes.data(), full, std::min<size_t>(length, sizeof(full)));
      if (length >= 4) std::memcpy(bytes.data(), &sizeField, 4);
      auto block = Exact(bytes);
      HX_MediaFormat target = Format(320, 240);
      const HX_MediaFormat before = target;
      const size_t meaningful = length >= 4 ? std::min<size_t>(length, sizeField) : length;
      const bool loaded = target.Load(length == 0 ? nullptr : block.get(), length);
      // The first fields are read whatever the size field says, but never past the bytes given.
      if (length < HX_MediaFormat::kMinRecordSize) {
        EXPECT_FALSE(loaded);
        EXPECT_EQ(target, before);
        continue;
      }
      EXPECT_TRUE(loaded);
      EXPECT_EQ(target.width, 1920u);
      EXPECT_EQ(target.height, 1080u);
      EXPECT_EQ(target.videoCodec, HX_MediaFormat::kCodecH264);
      EXPECT_EQ(target.size, before.size);
      // Fields wholly inside the meaningful bytes are taken.
      if (meaningful >= 32) EXPECT_EQ(target.frameRate, 60u);
      if (meaningful >= 44) EXPECT_EQ(target.hardwareCodec, 3u);
    }
  }
  HX_MediaFormat target;
  EXPECT_FALSE(target.Load(nullptr, 44));
}

// A capability record cut at every length, each in a block of exactly that length: reading it
// stays inside the block, and whatever was read serves the format queries without reading past
// its own buffers.
TEST(HostileMediaFormat, CapabilityRecordsCutAtEveryLength) {
  const std::vector<uint8_t> whole = Serialised(FullPeer());
  ASSERT_GT(whole.size(), 0u);
  HX_ClientCaps own;
  own.SetMediaFormat(Format(640, 360));
  for (size_t n = 0; n <= whole.size(); ++n) {
    SCOPED_TRACE(n);
    const HX_ClientCaps peer = ReadCaps(std::vector<uint8_t>(whole.begin(), whole.begin() + n));
    HX_MediaFormat f;
    peer.GetMediaFormat(f);
    peer.GetMediaFormatRcv(f);
    peer.FindVideoCodec(HX_MediaFormat::kCodecH264);
    peer.FindAudioCodec(6);
    own.IsFixedRcvMediaFormat(peer);
    own.GetFmtFromToMe(peer);
    size_t count = 0;
    peer.GetVideoCodecs(nullptr, count);
    std::vector<uint32_t> codes(count + 1);
    peer.GetVideoCodecs(codes.data(), count);
  }
}

// Noise and single-byte flips of a real record: the same promises.
TEST(HostileMediaFormat, CapabilityRecordsOfNoiseAndFlippedBytes) {
  const std::vector<uint8_t> whole = Serialised(FullPeer());
  std::mt19937 rng(1211);
  HX_ClientCaps own;
  own.SetMediaFormat(Format(640, 360));
  for (int i = 0; i < 3000; ++i) {
    std::vector<uint8_t> bytes = whole;
    if (i % 3 == 0) {
      bytes.resize(rng() % 400);
      for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    } else {
      const int flips = 1 + static_cast<int>(rng() % 4);
      for (int k = 0; k < flips; ++k)
        bytes[rng() % bytes.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
    }
    const HX_ClientCaps peer = ReadCaps(bytes);
    HX_MediaFormat f;
    peer.GetMediaFormat(f);
    own.GetFmtFromToMe(peer);
    HX_MediaFormatManagerAdapter adapter([] { return int64_t{1000}; });
    adapter.SetConnection(&peer, &own, true);
    unsigned char level = 0;
    adapter.RequestMediaFormat(level);
    adapter.Reset();
    ExpectEncodable(adapter.GetMediaFormat());
  }
}

// Stored media format blobs that lie: too short to hold a record, longer than one, or with a size
// field beyond their bytes. The query answers the default record or what the bytes hold.
TEST(HostileMediaFormat, StoredFormatBlobsThatLie) {
  uint8_t full[HX_MediaFormat::kRecordSize];
  Format(1280, 720).Store(full);
  for (size_t n : {0u, 1u, 3u, 23u, 24u, 31u, 44u}) {
    SCOPED_TRACE(n);
    std::vector<uint8_t> bytes(full, full + std::min<size_t>(n, sizeof(full)));
    if (n >= 4) {
      const uint32_t lie = 0xFFFFFFFFu;
      std::memcpy(bytes.data(), &lie, 4);
    }
    HX_ClientCaps caps;
    auto block = Exact(bytes);
    caps.m_mediaFormat.Set(block.get(), bytes.size());
    HX_MediaFormat out;
    caps.GetMediaFormat(out);
    if (n < 24) {
      EXPECT_EQ(out, HX_MediaFormat());
    } else {
      EXPECT_EQ(out.width, 1280u);
      EXPECT_EQ(out.height, 720u);
    }
  }
}

// A stored receive format too short to be a record counts as absent: the peer fixes no receive
// format, the query answers the default record, and the choice is the one for a peer that fixes
// nothing (the automatic mode stays on).
TEST(HostileMediaFormat, ShortFixedReceiveFormatCountsAsAbsent) {
  HX_ClientCaps own;
  own.SetMediaFormat(Format(640, 360));
  HX_ClientCaps plain;
  plain.m_videoRcv = 0x8;
  HX_MediaFormatManagerAdapter reference([] { return int64_t{1000}; });
  const HX_ClientCaps plainWire = ReadCaps(Serialised(plain));
  reference.SetConnection(&plainWire, &own, true);
  for (size_t n : {1u, 3u, 23u}) {
    SCOPED_TRACE(n);
    std::vector<uint8_t> bytes(n, 0x2C);
    auto block = Exact(bytes);
    HX_ClientCaps peer = plain;
    peer.m_mediaFormatRcv.Set(block.get(), n);
    HX_ClientCaps wire = ReadCaps(Serialised(peer));
    HX_MediaFormat out;
    wire.GetMediaFormatRcv(out);
    EXPECT_EQ(out, HX_MediaFormat());
    EXPECT_FALSE(wire.IsFixedRcvMediaFormat());
    EXPECT_EQ(own.IsFixedRcvMediaFormat(wire), own.IsFixedRcvMediaFormat(plainWire));
    HX_MediaFormatManagerAdapter adapter([] { return int64_t{1000}; });
    adapter.SetConnection(&wire, &own, true);
    EXPECT_EQ(adapter.GetFixedRcvFormat(), reference.GetFixedRcvFormat());
    EXPECT_EQ(adapter.GetMediaFormat(), reference.GetMediaFormat());
  }
}

// Codec lists whose byte counts are not whole entries: only whole entries are read, and the
// bytes of a cut entry match no codec.
TEST(HostileMediaFormat, CodecListsOfPartEntries) {
  const uint32_t h264 = HX_MediaFormat::kCodecH264;
  std::vector<uint8_t> video(7);
  std::memcpy(video.data(), &kVP8, 4);
  std::memcpy(video.data() + 4, &h264, 3);          // three bytes of H.264
  std::vector<uint8_t> audio = {0xF0, 0x7F, 0x06};  // Opus, then half of a tag
  HX_ClientCaps caps;
  auto v = Exact(video);
  auto a = Exact(audio);
  caps.m_videoCodecs.Set(v.get(), video.size());
  caps.m_audioCodecs.Set(a.get(), audio.size());
  const HX_ClientCaps wire = ReadCaps(Serialised(caps));
  EXPECT_TRUE(wire.FindVideoCodec(kVP8));
  EXPECT_FALSE(wire.FindVideoCodec(h264));
  EXPECT_FALSE(wire.FindVideoCodec(h264 & 0xFFFFFF));
  EXPECT_TRUE(wire.FindAudioCodec(0x7FF0));
  EXPECT_FALSE(wire.FindAudioCodec(6));
  size_t count = 0;
  EXPECT_EQ(wire.GetVideoCodecs(nullptr, count), 1u);
  uint32_t one[1] = {0};
  count = 1;
  EXPECT_EQ(wire.GetVideoCodecs(one, count), 1u);
  EXPECT_EQ(one[0], kVP8);
  count = 0;
  EXPECT_EQ(wire.GetAudioCodecs(nullptr, count), 1u);
}

// A peer's screen with one side 0 (or both sides at their largest) is still a screen: the
// restriction never shrinks a picture to nothing and never enlarges it.
TEST(HostileMediaFormat, ScreenLimitWithAZeroSideNeverShrinksToNothing) {
  struct Row {
    uint32_t limitW, limitH, w, h;
  } rows[] = {
      {0, 720, 1920, 1080},
      {1280, 0, 1920, 1080},
      {0, 720, 640, 360},
      {0, 1, 0, 0},
      {65535, 65535, 0xFFFFFFFFu, 0xFFFFFFFFu},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message()
                 << row.limitW << "x" << row.limitH << " on " << row.w << "x" << row.h);
    uint32_t w = row.w, h = row.h;
    HX_MediaFormatManager::RestrictRcvScreenResolution(
        HX_MediaFormatManager::GetResolution(row.limitW, row.limitH), w, h);
    EXPECT_LE(w, row.w);
    EXPECT_LE(h, row.h);
    if (row.w != 0 && row.h != 0) {
      EXPECT_GT(w, 0u);
      EXPECT_GT(h, 0u);
    }
  }
}

// A point-to-point peer whose capability record announces a screen 0 pixels wide: the automatic
// choice must still send a picture an encoder can take.
TEST(HostileMediaFormat, PeerWithAZeroWidthScreenGetsAnEncodableFormat) {
  HX_MediaFormatManagerAdapter adapter([] { return int64_t{1000}; });
  HX_SysPerformanceState bench{};
  bench.sendLevel = 63;
  adapter.SetSysBenchmarkResult(bench);
  HX_ClientCaps peer;
  peer.m_videoRcv = 0x8;
  peer.m_level = 51;
  peer.m_screenWidth = 0;
  peer.m_screenHeight = 720;
  HX_ClientCaps own;
  own.SetMediaFormat(Format(1280, 720));
  const HX_ClientCaps wire = ReadCaps(Serialised(peer));
  adapter.SetConnection(&wire, &own, true);
  ExpectEncodable(adapter.GetMediaFormat());
}

// Peers whose numbers are out of every range: ratings and levels negative or huge, screens of
// negative size, unknown client types and codec ids. The choice stays defined and yields a format
// an encoder can take.
TEST(HostileMediaFormat, PeerNumbersOutOfRange) {
  struct Row {
    int32_t rating, level, screenW, screenH, clientType, videoRcv;
  } rows[] = {
      {INT32_MAX, INT32_MAX, -1, -1, INT32_MAX, -1},
      {INT32_MIN, INT32_MIN, INT32_MIN, INT32_MIN, INT32_MIN, INT32_MIN},
      {-1, 255, 65536, 65536, 6, 0x8},
      {0, 0, 100000, 7, 3, 0x8 | 0x210},
      {870, 256, 1, 1, -3, 0x8},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.rating << " " << row.level << " " << row.screenW);
    HX_MediaFormatManagerAdapter adapter([] { return int64_t{1000}; });
    HX_SysPerformanceState bench{};
    bench.sendLevel = 98;
    adapter.SetSysBenchmarkResult(bench);
    HX_ClientCaps peer;
    peer.m_rating = row.rating;
    peer.m_level = row.level;
    peer.m_screenWidth = row.screenW;
    peer.m_screenHeight = row.screenH;
    peer.m_clientType = row.clientType;
    peer.m_videoRcv = row.videoRcv;
    const uint32_t codes[] = {0, 0xFFFFFFFF, 0xDEADBEEF};
    peer.SetVideoCodecs(codes, 3);
    HX_ClientCaps own;
    own.SetMediaFormat(Format(1280, 720));
    const HX_ClientCaps wire = ReadCaps(Serialised(peer));
    adapter.SetConnection(&wire, &own, true);
    for (uint32_t bitrate : {0u, 1u, 128u, 2000u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
      adapter.SetBitrate(bitrate);
      unsigned char level = 0;
      adapter.RequestMediaFormat(level);
    }
    const HX_MediaFormat f = adapter.GetMediaFormat();
    EXPECT_GT(f.width, 0u);
    EXPECT_GT(f.height, 0u);
    EXPECT_NE(f.videoCodec, 0u);
  }
}

// A forced format that no encoder can take is sent as forced while connected (the peer asked for
// it), and Reset brings it back to 640x360 VP8 at 30 with stereo, SVC and hardware fields 0,
// keeping the audio fields. A forced audio rate at the end of its range stays defined.
TEST(HostileMediaFormat, ForcedFormatsNoEncoderCanTakeAreUndoneByReset) {
  struct Row {
    uint32_t w, h, codec, fps, stereo;
  } rows[] = {
      {0, 0, 0, 0, 0},
      {0xFFFFFFFF, 0xFFFFFFFF, 0xDEADBEEF, 0xFFFFFFFF, 1},
      {642, 360, kVP8, 30, 0},
      {16, 0x80000000u, kVP8, 30, 1},  // doubled by the stereo flag
      {131080, 720, kVP8, 30, 0},
      {8, 8, kVP8, 30, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.w << "x" << row.h << " codec " << row.codec);
    HX_MediaFormatManagerAdapter adapter([] { return int64_t{1000}; });
    HX_ClientCaps peer;
    peer.m_videoRcv = 0x8;
    HX_ClientCaps own;
    own.SetMediaFormat(Format(640, 360));
    adapter.SetConnection(&peer, &own, true);
    HX_MediaFormat forced = Format(row.w, row.h, row.codec, row.fps);
    forced.stereo = row.stereo;
    forced.svcMode = 7;
    forced.hardwareCodec = 9;
    forced.SetAudio(0xFFFFFFFFu, 0xFFFF, -1);
    adapter.ForceSndMediaFormat(forced);
    const HX_MediaFormat sent = adapter.GetMediaFormat();
    EXPECT_EQ(sent.sampleRate, 0xFFFFFFFFu);
    EXPECT_EQ(sent.audioCodec, 0xFFFFu);
    unsigned char level = 0;
    const HX_MediaFormat now = adapter.RequestMediaFormat(level);
    EXPECT_EQ(now.width, row.w);
    EXPECT_EQ(now.videoCodec, row.codec);
    adapter.Reset();
    const HX_MediaFormat after = adapter.GetMediaFormat();
    ExpectEncodable(after);
    EXPECT_EQ(after.sampleRate, 0xFFFFFFFFu);
    EXPECT_EQ(after.audioCodec, 0xFFFFu);
  }
}

// Limits of the server, the application and the conference at the ends of their ranges, with a
// camera list: the arithmetic stays defined (conference limits up to INT32_MAX, the documented
// range) and a format comes out.
TEST(HostileMediaFormat, LimitsAtTheEndsOfTheirRanges) {
  HX_VideoCaptureCaps caps;
  HX_CaptureMode mode;
  mode.width = 1280;
  mode.height = 720;
  mode.frameRates = {15, 30};
  caps.modes = {mode};
  HX_VideoCaptureSlotList list(69);
  list.SetVideoCaptureCaps(&caps, eHQAutoSchemeStandard);
  ASSERT_TRUE(list.IsValid());
  for (bool p2p : {true, false}) {
    SCOPED_TRACE(p2p);
    HX_MediaFormatManagerAdapter adapter([] { return int64_t{1000}; });
    HX_SysPerformanceState bench{};
    bench.sendLevel = 98;
    adapter.SetSysBenchmarkResult(bench);
    adapter.SetCaptureList(&list);
    HX_ClientCaps peer;
    peer.m_videoRcv = 0x8;
    HX_ClientCaps own;
    own.SetMediaFormat(Format(640, 360));
    adapter.SetConnection(&peer, &own, p2p);
    adapter.SetFpsConferenceLimit(INT32_MAX);
    adapter.SetResolutionConferenceVideoLimit(INT32_MAX);
    adapter.SetResolutionConferenceDsLimit(INT32_MAX);
    adapter.SetBitrateConferenceLimit(INT32_MAX);
    unsigned char level = 0;
    adapter.SetForceUpdate();
    adapter.RequestMediaFormat(level);
    EXPECT_GT(adapter.GetMediaFormat().width, 0u);
    adapter.SetFpsServerLimit(INT32_MAX);
    adapter.SetFpsExtLimit(0xFFFFFFFFu);
    adapter.SetResolutionExtLimit(0xFFFF, 0xFFFF);
    adapter.RequestMediaFormat(level);
    adapter.SetResolutionServerLimit(0xFFFFFFFFu, 0xFFFFFFFFu);
    adapter.RequestMediaFormat(level);
    adapter.SetBitrate(0xFFFFFFFFu);
    adapter.RequestMediaFormat(level);
    adapter.Reset();
    adapter.RequestMediaFormat(level);
    ExpectEncodable(adapter.GetMediaFormat());
  }
}

// A server or application size limit with one zero side (a server that sends only a height)
// must not make the choice send a picture without width or height, idle or connected to a peer
// that takes a changing format; the peer's screen limit with a zero side is already ignored.
TEST(HostileMediaFormat, SizeLimitWithAZeroSideKeepsBothSides) {
  for (bool server : {true, false}) {
    for (bool connected : {false, true}) {
      for (bool zeroWidth : {true, false}) {
        SCOPED_TRACE(testing::Message() << (server ? "server" : "application") << " limit, "
                                        << (connected ? "connected" : "idle") << ", zero "
                                        << (zeroWidth ? "width" : "height"));
        HX_MediaFormatManagerAdapter adapter([] { return int64_t{1000}; });
        adapter.SetHQAutoMode(false);
        if (connected) {
          HX_ClientCaps peer;
          peer.m_videoRcv = 0x8;
          HX_ClientCaps own;
          own.SetMediaFormat(Format(640, 360));
          adapter.SetConnection(&peer, &own, true);
        }
        const uint32_t w = zeroWidth ? 0 : 1280, h = zeroWidth ? 720 : 0;
        if (server) {
          adapter.SetResolutionServerLimit(w, h);
        } else {
          adapter.SetResolutionExtLimit(w, h);
        }
        unsigned char level = 0;
        const HX_MediaFormat f = adapter.RequestMediaFormat(level);
        EXPECT_GT(f.width, 0u);
        EXPECT_GT(f.height, 0u);
      }
    }
  }
}

// Camera and screen modes with sides of 0, 1 or the largest 16-bit value and frame rates of 0,
// below 1 or absurd, in every situation of the automatic choice: a descriptor with zero
// macroblocks is never divided by, and nothing overflows on the way.
TEST(HostileMediaFormat, CaptureModesOfExtremeSizesAndRates) {
  struct ModeRow {
    int32_t w, h;
    float fps;
  } modes[] = {{0, 0, 30}, {1, 1, 0}, {65535, 65535, 1000}, {-16, 720, 30}, {16, 16, 0.001f}};
  for (bool screen : {false, true}) {
    for (const ModeRow& row : modes) {
      SCOPED_TRACE(testing::Message()
                   << (screen ? "screen " : "camera ") << row.w << "x" << row.h << "@" << row.fps);
      HX_VideoCaptureCaps caps;
      caps.screenCapture = screen;
      HX_CaptureMode mode;
      mode.width = row.w;
      mode.height = row.h;
      mode.frameRates = {row.fps / 2, row.fps};
      HX_CaptureMode normal;
      normal.width = 640;
      normal.height = 480;
      normal.frameRates = {15, 30};
      caps.modes = {mode, normal};
      HX_VideoCaptureSlotList list(69);
      list.SetVideoCaptureCaps(&caps, eHQAutoSchemeStandard);
      for (int situation = 0; situation < 3; ++situation) {
        HX_MediaFormatManagerAdapter adapter([] { return int64_t{1000}; });
        HX_SysPerformanceState bench{};
        bench.sendLevel = situation == 2 ? 0 : 98;
        adapter.SetSysBenchmarkResult(bench);
        adapter.SetUseHDInput(true);
        adapter.SetCaptureList(&list);
        if (situation > 0) {
          HX_ClientCaps peer;
          peer.m_videoRcv = 0x8;
          peer.m_level = 98;
          HX_ClientCaps own;
          own.SetMediaFormat(Format(640, 360));
          adapter.SetConnection(&peer, &own, situation == 1);
          adapter.SetFpsConferenceLimit(3000);
          adapter.SetResolutionConferenceVideoLimit(8160);
          adapter.SetResolutionConferenceDsLimit(8160);
        }
        for (uint32_t bitrate : {128u, 4000u, 20000u}) {
          adapter.SetBitrate(bitrate);
          unsigned char level = 0;
          adapter.RequestMediaFormat(level);
        }
        adapter.Reset();
        ExpectEncodable(adapter.GetMediaFormat());
      }
    }
  }
}

// Updates from several threads at once, as the client core, the conference side, the send
// stream and the capture thread make them, with hostile values throughout. Bounded: each thread
// makes a fixed number of calls. Afterwards a Reset gives a format an encoder can take.
TEST(HostileMediaFormat, HostileUpdatesFromSeveralThreads) {
  HX_MediaFormatManagerAdapter adapter;
  std::atomic<bool> stop{false};
  const std::vector<uint8_t> wire = Serialised(FullPeer());
  std::vector<std::thread> threads;
  threads.emplace_back([&] {  // the client core: connections and benchmark results
    std::mt19937 rng(1);
    HX_ClientCaps own;
    own.SetMediaFormat(Format(1280, 720));
    for (int i = 0; i < 400; ++i) {
      std::vector<uint8_t> bytes = wire;
      bytes[rng() % bytes.size()] = static_cast<uint8_t>(rng());
      const HX_ClientCaps peer = ReadCaps(bytes);
      adapter.SetConnection(&peer, &own, rng() % 2 == 0);
      HX_SysPerformanceState s{};
      s.sendLevel = static_cast<uint8_t>(rng());
      s.score = static_cast<int32_t>(rng());
      adapter.SetSysBenchmarkResult(s);
      adapter.SetHQAutoMode(rng() % 4 != 0);
    }
  });
  threads.emplace_back([&] {  // the send stream: rates, forced formats, resets
    std::mt19937 rng(2);
    for (int i = 0; i < 2000; ++i) {
      adapter.SetBitrate(rng());
      adapter.SetFps(rng() % 10000);
      if (i % 50 == 0) {
        HX_MediaFormat forced =
            Format(rng() % 5000, rng() % 5000, rng() % 2 ? kVP8 : rng(), rng() % 120);
        adapter.ForceSndMediaFormat(forced);
      }
      if (i % 97 == 0) adapter.Reset();
    }
  });
  threads.emplace_back([&] {  // the server and the conference: limits
    std::mt19937 rng(3);
    for (int i = 0; i < 2000; ++i) {
      adapter.SetFpsServerLimit(rng() % 6001);
      adapter.SetResolutionServerLimit(rng() % 2 ? 0 : rng() % 4000, rng() % 2 ? 0 : rng() % 4000);
      adapter.SetBitrateServerLimit(rng());
      adapter.SetFpsConferenceLimit(rng() % 6001);
      adapter.SetResolutionConferenceVideoLimit(rng() % 40000);
      adapter.SetUseHDInput(rng() % 2);
      adapter.SetStereoMode(static_cast<int>(rng() % 3) - 1);
    }
  });
  threads.emplace_back([&] {  // the capture thread: a request per frame
    unsigned char level = 0;
    for (int i = 0; i < 5000 && !stop.load(); ++i) {
      adapter.RequestMediaFormat(level);
      adapter.GetMediaFormat();
      adapter.IsConnected();
    }
  });
  for (auto& t : threads) t.join();
  adapter.Reset();
  ExpectEncodable(adapter.GetMediaFormat());
}

}  // namespace
