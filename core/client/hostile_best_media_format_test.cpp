// The choice of stream formats from records a hostile peer sent: records read from garbage, cut
// and lying wire forms, picture sizes at and past the limits, unknown codecs and half codec lists,
// every conference type a message may carry; the check of a peer's format against bitstreams that
// disagree with its record or are cut at every length; the meeting tools building video sources,
// decoders and encoders from such records; and the store used by a network thread replacing a
// peer's record, the host choosing formats and a third thread resetting and checking at once.
#include "core/client/best_media_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/base/container.h"
#include "core/client/meeting_tools.h"
#include "core/media/audio/audio_codec.h"
#include "core/media/format/media_format_adapter.h"
#include "core/media/video/bitstream/bitstream_test_util.h"
#include "core/media/video/capture_slot_file.h"
#include "core/media/video/video_decoder.h"
#include "core/media/video/video_encoder.h"

// A hostile size must never turn into a huge allocation: AddressSanitizer reports one above this
// instead of letting the machine page it in.
extern "C" const char* __asan_default_options() { return "max_allocation_size_mb=512"; }

namespace {

using hx::bitstream::test::Bytes;
using hx::bitstream::test::EncodeVP8;
using hx::bitstream::test::Exact;

constexpr char kOwn[] = "me@test";
constexpr char kPeer[] = "peer@test";

HX_MediaFormat Format(uint32_t width, uint32_t height, uint32_t codec = HX_MediaFormat::kCodecVP8) {
  HX_MediaFormat format;
  format.width = width;
  format.height = height;
  format.videoCodec = codec;
  return format;
}

HX_ClientCaps CapsSending(const HX_MediaFormat& format) {
  HX_ClientCaps caps;
  caps.SetMediaFormat(format);
  return caps;
}

Bytes WireOf(const HX_ClientCaps& caps) {
  uint8_t* buffer = nullptr;
  size_t length = 0;
  EXPECT_TRUE(caps.Get(buffer, length));
  Bytes out(buffer, buffer + length);
  std::free(buffer);
  return out;
}

HX_ClientCaps FromWire(const Bytes& wire) {
  const Exact exact(wire);
  HX_ClientCaps caps;
  caps.Set(wire.empty() ? nullptr : exact.data(), wire.size());
  return caps;
}

// The own record: takes any size and lets its list decide the codec.
HX_ClientCaps OwnCaps() {
  HX_ClientCaps caps = CapsSending(Format(640, 360));
  caps.m_videoRcv = 1 | 2 | 4 | 8;
  caps.m_videoSnd = 1 | 2 | 4;
  caps.m_audioRcv = 7;
  caps.m_audioSnd = 7;
  const uint32_t codes[] = {HX_MediaFormat::kCodecVP8, HX_MediaFormat::kCodecH264};
  caps.SetVideoCodecs(codes, 2);
  const uint16_t tags[] = {0x7FF0, 0x7004};
  caps.SetAudioCodecs(tags, 2);
  return caps;
}

// Records a hostile peer may send, each as it arrives: read from its wire form.
std::vector<std::pair<std::string, HX_ClientCaps>> HostileRecords() {
  std::vector<std::pair<std::string, HX_ClientCaps>> records;
  auto add = [&records](const std::string& name, const HX_ClientCaps& caps) {
    records.emplace_back(name, FromWire(WireOf(caps)));
  };
  add("default", HX_ClientCaps());
  for (uint32_t side : {0u, 1u, 8193u, 65535u, 65536u, 131072u, 0x80000000u, 0xFFFFFFF8u}) {
    HX_ClientCaps caps = CapsSending(Format(side, side));
    caps.m_videoSnd = 7;
    caps.m_videoRcv = 7;
    add("side " + std::to_string(side), caps);
  }
  HX_ClientCaps unknown = CapsSending(Format(320, 240, 0xDEADBEEF));
  unknown.m_videoSnd = 7;
  const uint32_t foreign[] = {0xDEADBEEF, 0, 0xFFFFFFFF};
  unknown.SetVideoCodecs(foreign, 3);
  add("unknown codecs", unknown);
  HX_ClientCaps half = CapsSending(Format(320, 240, HX_MediaFormat::kCodecH265));
  half.m_videoSnd = 7;
  const uint8_t halfList[] = {0x76, 0x68, 0x36};  // three bytes of H.264
  half.m_videoCodecs.Set(halfList, sizeof halfList);
  add("half codec list", half);
  HX_ClientCaps fixed = CapsSending(Format(320, 240));
  fixed.m_intCaps = 1;
  fixed.SetMediaFormatRcv(Format(65536, 65536));
  add("fixed huge receive format", fixed);
  HX_ClientCaps shortFormat;
  const uint8_t oneByte = 44;
  shortFormat.m_mediaFormat.Set(&oneByte, 1);
  shortFormat.m_mediaFormatRcv.Set(&oneByte, 1);
  add("one-byte formats", shortFormat);
  HX_ClientCaps audio = CapsSending(Format(320, 240));
  audio.m_mediaFormat.Data()[16] = 0xFF;  // a sample rate above 2^31
  audio.m_mediaFormat.Data()[19] = 0xFF;
  add("hostile audio rate", audio);
  Bytes garbage(300);
  for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<uint8_t>(i * 131 + 7);
  records.emplace_back("garbage", FromWire(garbage));
  return records;
}

// A format a negotiation may give from a peer's send format: no video, or a size the negotiation
// accepts; no audio, or a rate in its range.
void ExpectNegotiable(const HX_MediaFormat& format) {
  if (format.videoCodec != 0 || format.width != 0) {
    EXPECT_GE(format.width, 16u);
    EXPECT_LE(format.width, 131072u);
    EXPECT_EQ(format.width % 8, 0u);
    EXPECT_GE(format.height, 16u);
    EXPECT_LE(format.height, 131072u);
  }
  if (format.audioCodec != 0 || format.sampleRate != 0) {
    EXPECT_GE(format.sampleRate, 8000u);
    EXPECT_LE(format.sampleRate, 48000u);
  }
}

// Every conference type a message may carry, the unknown ones included, and both directions:
// the store answers exactly the negotiation between the two stored records or the own send
// format, and the out record is the one the choice was made for.
TEST(HostileBestMediaFormat, ChoiceFromHostileRecords) {
  const HX_Conference_Type types[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, -1,
                                      std::numeric_limits<int32_t>::max()};
  for (const auto& [name, peer] : HostileRecords()) {
    SCOPED_TRACE(name);
    for (bool ownIsOwner : {false, true}) {
      HX_BestMediaFormat store;
      store.SetConfMediaFormat(kOwn, ownIsOwner ? kOwn : kPeer, 0x55);
      store.SetPeerMediaFormat(kOwn, OwnCaps());
      store.SetPeerMediaFormat(kPeer, peer);
      const HX_ClientCaps own = store.GetPeerMediaFormat(kOwn).caps;
      const HX_ClientCaps stored = store.GetPeerMediaFormat(kPeer).caps;
      ASSERT_EQ(WireOf(stored), WireOf(peer));
      for (HX_Conference_Type type : types) {
        SCOPED_TRACE("type " + std::to_string(type) + (ownIsOwner ? " owner" : ""));
        const int32_t modeOwn = HX_BestMediaFormat::Convert(type, ownIsOwner);

        HX_ClientCaps out;
        const HX_MediaFormat toPeer = store.GetMediaFormat(kPeer, kOwn, type, &out);
        // The peer is not the own id: negotiated in every mode. The peer's own send format
        // takes part as the receiver's, unchecked by the negotiation, so it is not bounded here.
        EXPECT_EQ(toPeer, peer.GetFmtFromToMe(own));
        EXPECT_EQ(WireOf(out), WireOf(own));

        const HX_MediaFormat toMe = store.GetMediaFormat(kOwn, kPeer, type, &out);
        HX_MediaFormat expected;
        // A participant of a multicast conference (mode 5) negotiates like a call.
        if (modeOwn == 0 || modeOwn == 3 || modeOwn == 5) {
          expected = peer.GetFmtFromToMe(own);
          expected.svcMode = 0x55;
        } else {
          own.GetMediaFormat(expected);
          expected.svcMode = 0x55 | (type == 6 ? HX_BestMediaFormat::kMulticastSvcMark : 0);
        }
        EXPECT_EQ(toMe, expected);
        EXPECT_EQ(WireOf(out), WireOf(own));

        // The record of the peer's stream to me: the peer's own record with the format I take.
        const HX_ClientCaps fromPeer = store.GetMediaCaps(kPeer, kOwn, type);
        HX_MediaFormat carried;
        fromPeer.GetMediaFormat(carried);
        EXPECT_EQ(carried, own.GetFmtFromToMe(peer));
        ExpectNegotiable(carried);
        EXPECT_EQ(fromPeer.m_videoCodecs, peer.m_videoCodecs);
        EXPECT_EQ(fromPeer.m_appName, peer.m_appName);
      }
    }
  }
}

TEST(HostileBestMediaFormat, ReplacedRecordsAndFlags) {
  HX_BestMediaFormat store;
  HX_ClientCaps first;
  first.m_videoRcv = 0x7FFFFFF7;  // every bit but the one that allows format changes
  EXPECT_EQ(store.SetPeerMediaFormat(kPeer, first), 0u);
  EXPECT_FALSE(store.CheckVideoFormatChange());
  HX_ClientCaps second;
  second.m_videoRcv = -1;
  second.m_clientFlags = 0xFFFFFFFFu;
  EXPECT_EQ(store.SetPeerMediaFormat(kPeer, second), 0xFFFFFFFFu);
  EXPECT_FALSE(store.CheckVideoFormatChange());  // only a reset allows changes again
  store.ResetVideoFormatChange();
  EXPECT_TRUE(store.CheckVideoFormatChange());
  EXPECT_EQ(store.GetPeerMediaFormat(kPeer).caps.m_videoRcv, -1);
  // A replacement forgets what the previous record had.
  HX_ClientCaps rich = CapsSending(Format(1280, 720));
  rich.m_appName = "rich";
  const uint32_t codes[] = {HX_MediaFormat::kCodecH264};
  rich.SetVideoCodecs(codes, 1);
  store.SetPeerMediaFormat(kPeer, rich);
  store.SetPeerMediaFormat(kPeer, HX_ClientCaps());
  EXPECT_EQ(WireOf(store.GetPeerMediaFormat(kPeer).caps), WireOf(HX_ClientCaps()));
}

// ---------------------------------------------------------------------------------------------
// The peer's record against its bitstream

class FormatCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    m_connection = m_store.formatDetected.Connect(
        [this](const std::string& peer, HX_MediaFormat format) {
          m_detected.push_back({peer, format});
        });
  }
  void TearDown() override { m_connection.Disconnect(); }

  HX_BestMediaFormat m_store;
  hx::CallbackList<const std::string&, HX_MediaFormat>::Connection m_connection;
  std::vector<std::pair<std::string, HX_MediaFormat>> m_detected;
};

// The record says 320x240 H.264; the bitstream is a 640x480 VP8 key frame: the bitstream wins.
TEST_F(FormatCheck, BitstreamOverridesADisagreeingRecord) {
  HX_ClientCaps caps = CapsSending(Format(320, 240, HX_MediaFormat::kCodecH264));
  m_store.SetPeerMediaFormat(kPeer, caps);
  const std::vector<Bytes> frames = EncodeVP8(640, 480, 1);
  ASSERT_FALSE(frames.empty());
  const Exact key(frames[0]);
  EXPECT_EQ(m_store.CheckMediaFormat(kPeer, nullptr, false, 0), -6);
  EXPECT_EQ(m_store.CheckMediaFormat(kPeer, key.data(), true, key.size()), 0);
  ASSERT_EQ(m_detected.size(), 1u);
  EXPECT_EQ(m_detected[0].first, kPeer);
  EXPECT_EQ(m_detected[0].second.width, 640u);
  EXPECT_EQ(m_detected[0].second.height, 480u);
  EXPECT_EQ(m_detected[0].second.videoCodec, HX_MediaFormat::kCodecVP8);
  EXPECT_EQ(m_store.CheckMediaFormat(kPeer, nullptr, false, 0), 0);
}

// A key frame cut at every length, an empty and a negative length: nothing read past the bytes
// given, a failure keeps the check pending, and whatever is detected has the frame's real size.
TEST_F(FormatCheck, CutAndLyingLengths) {
  m_store.SetPeerMediaFormat(kPeer, HX_ClientCaps());
  const std::vector<Bytes> frames = EncodeVP8(320, 240, 1);
  ASSERT_FALSE(frames.empty());
  const Bytes& key = frames[0];
  for (size_t length = 0; length < std::min<size_t>(key.size(), 64); ++length) {
    SCOPED_TRACE(length);
    const Exact cut(key.data(), length);
    m_detected.clear();
    const int result = m_store.CheckMediaFormat(kPeer, cut.data(), true, cut.size());
    if (m_detected.empty()) {
      EXPECT_LE(result, 0);
      continue;
    }
    EXPECT_EQ(result, 0);
    EXPECT_EQ(m_detected[0].second.width, 320u);
    EXPECT_EQ(m_detected[0].second.height, 240u);
  }
  const Exact whole(key);
  for (int length : {-1, -44, std::numeric_limits<int>::min()}) {
    SCOPED_TRACE(length);
    m_detected.clear();
    EXPECT_LE(m_store.CheckMediaFormat(kPeer, whole.data(), true, length), 0);
    EXPECT_TRUE(m_detected.empty());
  }
  EXPECT_LT(m_store.CheckMediaFormat(kPeer, nullptr, true, 0), 0);
  EXPECT_EQ(m_store.CheckMediaFormat("nobody@test", whole.data(), true, whole.size()), -1);
}

// A VP8 key frame opening announcing `width` x `height`, padded with zeros.
Bytes Vp8KeyFrame(uint16_t width, uint16_t height) {
  Bytes frame = {0x50, 0x01, 0x00, 0x9d, 0x01, 0x2a, static_cast<uint8_t>(width),
                 static_cast<uint8_t>(width >> 8), static_cast<uint8_t>(height),
                 static_cast<uint8_t>(height >> 8)};
  frame.resize(64, 0);
  return frame;
}

// An H.264 sequence parameter set (baseline, frame macroblocks only) of `mbs` + 1 macroblocks
// per side, followed by the start of an IDR slice.
Bytes H264Opening(uint64_t mbs) {
  hx::bitstream::test::Bits bits;
  bits.u(8, 66).u(8, 0).u(8, 30).ue(0).ue(0).ue(0).ue(0).ue(1).u(1, 0).ue(mbs).ue(mbs);
  bits.u(1, 1).u(1, 1).u(1, 0).u(1, 0).trailing();
  Bytes out = {0, 0, 0, 1, 0x67};
  const Bytes sps = bits.bytes();
  out.insert(out.end(), sps.begin(), sps.end());
  for (uint8_t byte : {0, 0, 0, 1, 0x65, 0x88, 0x80, 0x40, 0x00}) out.push_back(byte);
  return out;
}

TEST_F(FormatCheck, HandMadeOpeningsOfUsableSizes) {
  m_store.SetPeerMediaFormat(kPeer, HX_ClientCaps());
  const Exact vp8(Vp8KeyFrame(640, 480));
  EXPECT_EQ(m_store.CheckMediaFormat(kPeer, vp8.data(), true, vp8.size()), 0);
  const Exact h264(H264Opening(39));  // 640 x 640
  EXPECT_EQ(m_store.CheckMediaFormat(kPeer, h264.data(), true, h264.size()), 0);
  ASSERT_EQ(m_detected.size(), 2u);
  EXPECT_EQ(m_detected[0].second.width, 640u);
  EXPECT_EQ(m_detected[0].second.height, 480u);
  EXPECT_EQ(m_detected[1].second.width, 640u);
  EXPECT_EQ(m_detected[1].second.videoCodec, HX_MediaFormat::kCodecH264);
}

// Openings announcing pictures beyond what the receive path takes (HX_PeerPictureSizeUsable):
// such a size must not be announced as the peer's format, and the check stays pending.
TEST_F(FormatCheck, OversizedPicturesAreNotAnnounced) {
  m_store.SetPeerMediaFormat(kPeer, HX_ClientCaps());
  const std::vector<std::pair<std::string, Bytes>> openings = {
      {"vp8 16382", Vp8KeyFrame(16382, 16382)},
      {"vp8 8194x8", Vp8KeyFrame(8194, 8)},
      {"h264 16016", H264Opening(1000)},
      {"h264 16777232", H264Opening(uint64_t{1} << 20)},
  };
  for (const auto& [name, opening] : openings) {
    SCOPED_TRACE(name);
    m_detected.clear();
    const Exact exact(opening);
    EXPECT_EQ(m_store.CheckMediaFormat(kPeer, exact.data(), true, exact.size()), -5);
    for (const auto& detected : m_detected) {
      ADD_FAILURE() << "announced " << detected.second.width << "x" << detected.second.height;
    }
    EXPECT_EQ(m_store.CheckMediaFormat(kPeer, nullptr, false, 0), -6);
  }
}

// A delegate that uses the store while it is called: the store's lock is not held then.
TEST_F(FormatCheck, DelegateMayUseTheStore) {
  m_store.SetPeerMediaFormat(kPeer, HX_ClientCaps());
  auto inner = m_store.formatDetected.Connect([this](const std::string& peer, HX_MediaFormat) {
    m_store.SetPeerMediaFormat(peer.c_str(), CapsSending(Format(640, 480)));
    m_store.GetMediaFormat(kOwn, peer.c_str(), 0, nullptr);
  });
  const std::vector<Bytes> frames = EncodeVP8(320, 240, 1);
  ASSERT_FALSE(frames.empty());
  const Bytes key = frames[0];
  auto done = std::make_shared<std::promise<int>>();
  std::future<int> result = done->get_future();
  std::thread([this, key, done] {
    const Exact exact(key);
    done->set_value(m_store.CheckMediaFormat(kPeer, exact.data(), true, exact.size()));
  }).detach();
  ASSERT_EQ(result.wait_for(std::chrono::seconds(60)), std::future_status::ready)
      << "CheckMediaFormat did not come back: the delegate waits for the store's lock";
  EXPECT_EQ(result.get(), 0);
  inner.Disconnect();
}

// ---------------------------------------------------------------------------------------------
// The store from three threads

TEST(HostileBestMediaFormat, RecordReplacedWhileOthersChoose) {
  HX_BestMediaFormat store;
  store.SetConfMediaFormat(kOwn, kPeer, 2);
  store.SetPeerMediaFormat(kOwn, OwnCaps());
  const std::vector<std::pair<std::string, HX_ClientCaps>> records = HostileRecords();
  // Every format the host may see: the negotiation with one of the records.
  std::vector<HX_MediaFormat> allowed;
  for (const auto& record : records) {
    HX_MediaFormat format = record.second.GetFmtFromToMe(OwnCaps());
    format.svcMode = 2;
    allowed.push_back(format);
  }
  const std::vector<Bytes> frames = EncodeVP8(320, 240, 1);
  ASSERT_FALSE(frames.empty());
  const Bytes key = frames[0];

  // A delegate that reads the store while the others change it.
  auto reader = store.formatDetected.Connect([&store](const std::string& peer, HX_MediaFormat) {
    store.GetPeerMediaFormat(peer.c_str());
  });

  constexpr int kRounds = 300;
  std::thread network([&] {
    for (int i = 0; i < kRounds; ++i) {
      const HX_ClientCaps& caps = records[i % records.size()].second;
      store.SetPeerMediaFormat(kPeer, caps);
    }
  });
  std::thread other([&] {
    const Exact exact(key);
    for (int i = 0; i < kRounds; ++i) {
      store.CheckMediaFormat(kPeer, exact.data(), i % 2 == 0, exact.size());
      store.ResetVideoFormatChange();
      store.GetPeerMediaFormat(("passer" + std::to_string(i % 5) + "@test").c_str());
      store.SetPeerMediaFormat(kPeer, HX_ClientCaps());  // a peer gone: its record emptied
    }
  });
  int unexpected = 0;
  for (int i = 0; i < kRounds; ++i) {
    HX_ClientCaps out;
    const HX_MediaFormat chosen = store.GetMediaFormat(kOwn, kPeer, 0, &out);
    bool found = false;
    for (const HX_MediaFormat& format : allowed) found = found || chosen == format;
    if (!found) ++unexpected;
    const HX_ClientCaps caps = store.GetMediaCaps(kPeer, kOwn, 0);
    HX_MediaFormat carried;
    caps.GetMediaFormat(carried);
    ExpectNegotiable(carried);
  }
  network.join();
  other.join();
  reader.Disconnect();
  EXPECT_EQ(unexpected, 0);
}

// ---------------------------------------------------------------------------------------------
// Meeting tools built from a hostile peer's record

class Tools : public HX_MeetingToolsFactory {
 public:
  std::shared_ptr<HX_MediaFormatManagerAdapter> adapter =
      std::make_shared<HX_MediaFormatManagerAdapter>();
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

struct SizeCase {
  uint32_t width;
  uint32_t height;
  uint64_t sourceBytes;  // the video source's buffer
};

// Sizes whose picture bytes overflow 32 bits, or that lie beyond what the receive path takes.
const SizeCase kSizes[] = {
    {320, 240, 115200},          {8192, 8, 98304},           {8193, 8, 115200},
    {16, 8193, 115200},          {65536, 65536, 115200},     {131072, 131072, 115200},
    {0x80000000u, 2, 115200},    {0xFFFFFFF8u, 0xFFFFFFF8u, 115200}, {0, 240, 0},
    {320, 0, 0},
};

TEST(HostileMeetingTools, VideoSourceNeverSizedFromAWrappedProduct) {
  Tools tools;
  for (const SizeCase& c : kSizes) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    std::shared_ptr<HX_CaptureSlotFile> source;
    tools.OnRequestVideoSource(FromWire(WireOf(CapsSending(Format(c.width, c.height)))), source);
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(source->frameBufferSize(), c.sourceBytes);
    tools.OnReleaseVideoSource(source);
  }
  HX_ClientCaps shortFormat;
  const uint8_t bytes[3] = {44, 0, 0};
  shortFormat.m_mediaFormat.Set(bytes, sizeof bytes);
  std::shared_ptr<HX_CaptureSlotFile> source;
  tools.OnRequestVideoSource(shortFormat, source);
  EXPECT_EQ(source->frameBufferSize(), 115200u);
}

TEST(HostileMeetingTools, DecoderRefusesHostileSizes) {
  Tools tools;
  for (const SizeCase& c : kSizes) {
    for (int32_t clientType : {0, 1, 3, 6, -1, std::numeric_limits<int32_t>::max()}) {
      SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " client type " +
                   std::to_string(clientType));
      HX_ClientCaps caps = CapsSending(Format(c.width, c.height));
      caps.m_clientType = clientType;
      std::shared_ptr<HX_VideoDecoderBase> decoder;
      tools.OnRequestVideoDecoder(kPeer, FromWire(WireOf(caps)), decoder);
      auto* real = dynamic_cast<HX_VideoDecoder*>(decoder.get());
      ASSERT_NE(real, nullptr);
      const bool usable = c.width > 0 && c.height > 0 && c.width <= 8192 && c.height <= 8192;
      if (!usable) {
        EXPECT_EQ(real->GetPictureBufferSize(), 0u);
        continue;
      }
      EXPECT_EQ(real->GetFormat().width, c.width);
      EXPECT_EQ(real->GetPictureBufferSize(),
                HX_VideoDecoder::PictureBufferBytes(c.width, c.height));
      EXPECT_EQ(real->GetFormat().hardwareCodec, clientType == 3 || clientType == 6 ? 0u : 1u);
    }
  }
}

// A peer that fixes its receive format decides the size of what this client sends: the encoder
// must refuse what no codec can take rather than size buffers from it.
TEST(HostileMeetingTools, EncoderFromAHostileSendFormat) {
  Tools tools;
  for (const SizeCase& c : kSizes) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    std::shared_ptr<HX_VideoEncoderBase> encoder;
    tools.OnRequestVideoEncoder(FromWire(WireOf(CapsSending(Format(c.width, c.height)))), encoder);
    ASSERT_NE(encoder, nullptr);
    auto* real = dynamic_cast<HX_VideoEncoder*>(encoder.get());
    ASSERT_NE(real, nullptr);
    // Valid only on a size a codec takes, whatever it made of the hostile one.
    if (real->IsValid()) {
      EXPECT_GT(real->GetFormat().width, 0u);
      EXPECT_GT(real->GetFormat().height, 0u);
      EXPECT_LE(real->GetFormat().width, 16383u);
      EXPECT_LE(real->GetFormat().height, 16383u);
    }
  }
}

TEST(HostileMeetingTools, AudioEncoderForUnknownTagsAndRates) {
  Tools tools;
  const uint32_t tags[] = {0, 1, 0x7FF0, 0xBEEF, 0xFFFFFFFEu};
  const uint32_t rates[] = {0, 7999, 16000, 48001, 0xFFFFFFFFu};
  for (uint32_t tag : tags) {
    for (uint32_t rate : rates) {
      SCOPED_TRACE("tag " + std::to_string(tag) + " rate " + std::to_string(rate));
      HX_MediaFormat format;
      format.SetAudio(rate, tag, HX_MediaFormat::kDefaultDuration);
      std::shared_ptr<AudioCodecBase> encoder;
      tools.OnRequestAudioEncoder(FromWire(WireOf(CapsSending(format))), encoder);
      EXPECT_NE(encoder, nullptr);
      std::shared_ptr<AudioCodecBase> direct;
      tools.OnRequestAudioEncoder(format, direct);
      EXPECT_NE(direct, nullptr);
    }
  }
}

}  // namespace

