// The store of peers' capabilities and the choice of stream formats: the mode table, what a peer's
// record changes, the format and record of each direction of a call and of a multicast conference
// (owner and participant), the check of a peer's format against real VP8 key frames and
// hand-made openings, and the store used from several threads at once (run it under
// ThreadSanitizer too).
#include "core/client/best_media_format.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "core/media/video/bitstream/bitstream_test_util.h"

namespace {

using hx::bitstream::test::Bytes;
using hx::bitstream::test::EncodeVP8;
using hx::bitstream::test::Exact;

constexpr char kOwn[] = "me@test";
constexpr char kPeer[] = "peer@test";

HX_MediaFormat Format(uint32_t width, uint32_t height, uint32_t frameRate) {
  HX_MediaFormat format;
  format.width = width;
  format.height = height;
  format.frameRate = frameRate;
  return format;
}

// The own record sends 640x360 and lets the receiver decide the size; the peer's receives only
// in its own 1280x720, so that a negotiated format differs from the own send format.
HX_ClientCaps OwnCaps() {
  HX_ClientCaps caps;
  caps.SetMediaFormat(Format(640, 360, 25));
  caps.m_videoSnd = 1 | HX_ClientCaps::kTakesAny;
  caps.m_videoRcv = 1 | 8;
  caps.m_level = 11;
  return caps;
}

HX_ClientCaps PeerCaps() {
  HX_ClientCaps caps;
  caps.SetMediaFormat(Format(1280, 720, 30));
  caps.m_videoRcv = 1 | 8;
  caps.m_level = 22;
  return caps;
}

// Serialises and reads back, the only way a record reaches the out parameter.
HX_ClientCaps Wire(const HX_ClientCaps& caps) {
  uint8_t* buffer = nullptr;
  size_t length = 0;
  EXPECT_TRUE(caps.Get(buffer, length));
  HX_ClientCaps read;
  read.Set(buffer, length);
  std::free(buffer);
  return read;
}

HX_MediaFormat SendFormat(const HX_ClientCaps& caps) {
  HX_MediaFormat format;
  caps.GetMediaFormat(format);
  return format;
}

HX_MediaFormat WithSvc(HX_MediaFormat format, uint32_t svc) {
  format.svcMode = svc;
  return format;
}

TEST(BestMediaFormat, ConvertTable) {
  const struct {
    HX_Conference_Type type;
    int32_t owner, participant;
  } table[] = {{0, 0, 0},   {1, -1, -1}, {2, 2, 3},   {3, -1, 3},  {4, 2, 3},   {5, 4, 4},
               {6, 4, 5},   {7, 2, 3},   {8, -1, -1}, {-1, -1, -1}, {100, -1, -1}};
  for (const auto& row : table) {
    SCOPED_TRACE(row.type);
    EXPECT_EQ(HX_BestMediaFormat::Convert(row.type, true), row.owner);
    EXPECT_EQ(HX_BestMediaFormat::Convert(row.type, false), row.participant);
  }
}

TEST(BestMediaFormat, PeerRecordsAndTheVideoFormatFlags) {
  HX_BestMediaFormat store;
  EXPECT_TRUE(store.CheckVideoFormatChange());
  EXPECT_FALSE(store.CheckVideoFormatFixed(false));

  HX_ClientCaps caps = PeerCaps();
  caps.m_clientFlags = 77;
  EXPECT_EQ(store.SetPeerMediaFormat(kPeer, caps), 0u);  // a new holder
  EXPECT_TRUE(store.CheckVideoFormatChange());
  caps.m_clientFlags = 99;
  caps.m_level = 33;
  EXPECT_EQ(store.SetPeerMediaFormat(kPeer, caps), 99u);  // replaced
  const HX_PeerHolder held = store.GetPeerMediaFormat(kPeer);
  EXPECT_EQ(held.peerId, kPeer);
  EXPECT_EQ(held.caps.m_level, 33);
  EXPECT_EQ(held.value, 1);  // its format still to be checked

  // A peer that cannot take a format change ("VideoRcv" 1, bit 3 clear) stops changes; a later
  // capable peer does not undo it, only a new conference does.
  HX_ClientCaps rigid;
  rigid.m_videoRcv = 1;
  store.SetPeerMediaFormat("rigid@test", rigid);
  EXPECT_FALSE(store.CheckVideoFormatChange());
  store.SetPeerMediaFormat("other@test", PeerCaps());
  EXPECT_FALSE(store.CheckVideoFormatChange());
  // A fixed receive format is remembered; a true argument answers false whatever is stored.
  HX_ClientCaps fixed = PeerCaps();
  fixed.SetMediaFormatRcv(Format(320, 240, 15));
  store.SetPeerMediaFormat("fixed@test", fixed);
  EXPECT_TRUE(store.CheckVideoFormatFixed(false));
  EXPECT_FALSE(store.CheckVideoFormatFixed(true));
  store.ResetVideoFormatChange();
  EXPECT_TRUE(store.CheckVideoFormatChange());
  EXPECT_TRUE(store.CheckVideoFormatChange(false));
  EXPECT_FALSE(store.CheckVideoFormatChange(true));
  EXPECT_FALSE(store.CheckVideoFormatFixed(false));

  // A holder handed in is kept only when none is known for its id.
  HX_PeerHolder holder;
  holder.peerId = kPeer;
  holder.caps.m_level = 1;
  store.SetPeerMediaFormat(holder);
  EXPECT_EQ(store.GetPeerMediaFormat(kPeer).caps.m_level, 33);
  holder.peerId = "new@test";
  store.SetPeerMediaFormat(holder);
  EXPECT_EQ(store.GetPeerMediaFormat("new@test").caps.m_level, 1);

  // An unknown id gets a default holder, which takes part from then on.
  const HX_PeerHolder unknown = store.GetPeerMediaFormat("nobody@test");
  EXPECT_EQ(unknown.peerId, "nobody@test");
  EXPECT_EQ(unknown.value, 1);
  EXPECT_EQ(unknown.caps.m_bandwidthRcv, 128);
  EXPECT_EQ(store.CheckMediaFormat("nobody@test", nullptr, false, 0), -6);
}

TEST(BestMediaFormat, StreamCapsInAMulticastConference) {
  constexpr uint32_t kSvc = 0x21;
  const HX_ClientCaps own = OwnCaps();
  const HX_ClientCaps peer = PeerCaps();
  const HX_MediaFormat negotiated = peer.GetFmtFromToMe(own);
  ASSERT_NE(negotiated.width, SendFormat(own).width);

  HX_BestMediaFormat store;
  store.SetPeerMediaFormat(kOwn, own);
  store.SetPeerMediaFormat(kPeer, peer);

  // A participant: the peer's view of the own stream, with the SVC mode.
  store.SetConfMediaFormat(kOwn, "boss@test", kSvc);
  HX_ClientCaps caps = store.GetMediaCaps(kOwn, kPeer, 6);
  EXPECT_EQ(caps.m_level, 11);
  EXPECT_EQ(SendFormat(caps), WithSvc(negotiated, kSvc));
  // The owner: the own send format, marked.
  store.SetConfMediaFormat(kOwn, kOwn, kSvc);
  caps = store.GetMediaCaps(kOwn, kPeer, 6);
  EXPECT_EQ(SendFormat(caps), WithSvc(SendFormat(own), kSvc | 0xFF000000));
  // A group conference over TCP carries no mark.
  EXPECT_EQ(SendFormat(store.GetMediaCaps(kOwn, kPeer, 5)), WithSvc(SendFormat(own), kSvc));
  // The peer's stream to this client: this client's view of it, the SVC field as negotiated.
  caps = store.GetMediaCaps(kPeer, kOwn, 6);
  EXPECT_EQ(caps.m_level, 22);
  EXPECT_EQ(SendFormat(caps), own.GetFmtFromToMe(peer));
  // A private call: negotiated even for the owner of nothing.
  EXPECT_EQ(SendFormat(store.GetMediaCaps(kOwn, kPeer, 0)), WithSvc(negotiated, kSvc));
  // An unknown receiver takes part with default capabilities.
  HX_ClientCaps defaults;
  EXPECT_EQ(SendFormat(store.GetMediaCaps("stranger@test", kOwn, 0)),
            own.GetFmtFromToMe(defaults));
  EXPECT_EQ(store.GetPeerMediaFormat("stranger@test").peerId, "stranger@test");
}

TEST(BestMediaFormat, FormatOfEachDirection) {
  constexpr uint32_t kSvc = 5;
  constexpr char kThird[] = "third@test";
  const HX_ClientCaps own = OwnCaps();
  const HX_ClientCaps peer = PeerCaps();
  HX_ClientCaps third = PeerCaps();
  third.SetMediaFormat(Format(800, 600, 12));
  third.m_level = 33;
  const HX_MediaFormat peerView = peer.GetFmtFromToMe(own);
  const HX_MediaFormat peerViewOfThird = peer.GetFmtFromToMe(third);
  ASSERT_FALSE(peerView == SendFormat(own));
  // (first, second): the own id first answers with the own record, another id with the second's.
  const struct {
    const char* what;
    const char* owner;
    const char* first;
    const char* second;
    HX_Conference_Type type;
    HX_MediaFormat format;
    int32_t outLevel;
  } cases[] = {
      {"call, own first", "", kOwn, kPeer, 0, WithSvc(peerView, kSvc), 11},
      {"call, peer first", "", kPeer, kOwn, 0, peerView, 11},
      {"multicast owner", kOwn, kOwn, kPeer, 6, WithSvc(SendFormat(own), kSvc | 0xFF000000), 11},
      {"multicast, the owner first", kPeer, kPeer, kOwn, 6, peerView, 11},
      {"multicast participant", kPeer, kOwn, kPeer, 6, WithSvc(peerView, kSvc), 11},
      {"multicast, two participants", kOwn, kPeer, kThird, 6, peerViewOfThird, 33},
      {"TCP conference", kPeer, kOwn, kPeer, 5, WithSvc(SendFormat(own), kSvc), 11},
      {"unknown type", kOwn, kOwn, kPeer, 1, WithSvc(SendFormat(own), kSvc), 11},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    HX_BestMediaFormat store;
    store.SetPeerMediaFormat(kOwn, own);
    store.SetPeerMediaFormat(kPeer, peer);
    store.SetPeerMediaFormat(kThird, third);
    store.SetConfMediaFormat(kOwn, c.owner, kSvc);
    HX_ClientCaps out;
    out.m_level = -1;
    EXPECT_EQ(store.GetMediaFormat(c.first, c.second, c.type, &out), c.format);
    EXPECT_EQ(out.m_level, c.outLevel);
    EXPECT_EQ(store.GetMediaFormat(c.first, c.second, c.type, nullptr), c.format);
  }
  // The out record is the serialised form: a peer's over-long format comes back as it reads.
  HX_BestMediaFormat store;
  HX_ClientCaps odd = PeerCaps();
  uint8_t bytes[60] = {};
  HX_MediaFormat(Format(352, 288, 10)).Store(bytes);
  odd.m_mediaFormat.Set(bytes, sizeof bytes);
  store.SetPeerMediaFormat(kPeer, odd);
  HX_ClientCaps out;
  store.GetMediaFormat(kOwn, kPeer, 0, &out);
  EXPECT_EQ(SendFormat(out), SendFormat(Wire(odd)));
  EXPECT_EQ(SendFormat(out).width, 352u);
}

struct Detection {
  std::string peer;
  HX_MediaFormat format;
  int count = 0;
};

TEST(BestMediaFormat, CheckMediaFormat) {
  const Bytes vp8 = EncodeVP8(176, 144, 1).at(0);
  // An IDR slice before any parameter set: H.264 without a size.
  const Bytes idr = {0, 0, 1, 0x65, 0x88, 0x84, 0x00, 0x33};
  const Bytes noise(64, 0x55);

  HX_BestMediaFormat store;
  Detection seen;
  store.formatDetected.Connect([&](const std::string& peer, HX_MediaFormat format) {
    seen.peer = peer;
    seen.format = format;
    ++seen.count;
    // Delegates run outside the store's lock: asking the store again must not block.
    (void)store.CheckMediaFormat(peer.c_str(), nullptr, false, 0);
  });
  HX_ClientCaps caps = PeerCaps();
  caps.SetMediaFormat(Format(1280, 720, 30));
  store.SetPeerMediaFormat(kPeer, caps);
  auto check = [&](const Bytes& stream) {
    const Exact exact(stream);
    return store.CheckMediaFormat(kPeer, exact.data(), true, static_cast<int>(exact.size()));
  };

  EXPECT_EQ(store.CheckMediaFormat(kPeer, nullptr, false, 0), -6);
  // Nothing recognised: the H.263 probe's failure, still to be checked, nobody told.
  EXPECT_EQ(check(noise), -1);
  EXPECT_EQ(store.CheckMediaFormat(kPeer, nullptr, false, 0), -6);
  EXPECT_EQ(seen.count, 0);
  // A codec without a size: checked, nobody told.
  EXPECT_EQ(check(idr), 0);
  EXPECT_EQ(store.CheckMediaFormat(kPeer, nullptr, false, 0), 0);
  EXPECT_EQ(seen.count, 0);
  // A key frame: the probed size and codec in the peer's format, told once, checked.
  EXPECT_EQ(check(vp8), 0);
  EXPECT_EQ(seen.count, 1);
  EXPECT_EQ(seen.peer, kPeer);
  EXPECT_EQ(seen.format.width, 176u);
  EXPECT_EQ(seen.format.height, 144u);
  EXPECT_EQ(seen.format.videoCodec, HX_MediaFormat::kCodecVP8);
  EXPECT_EQ(seen.format.frameRate, 30u);
  EXPECT_EQ(store.CheckMediaFormat(kPeer, nullptr, false, 0), 0);

  // An odd size (here the peer's own, as nothing is recognised): -5, still to be checked.
  caps.SetMediaFormat(Format(321, 240, 30));
  store.SetPeerMediaFormat(kPeer, caps);
  EXPECT_EQ(check(noise), -5);
  EXPECT_EQ(store.CheckMediaFormat(kPeer, nullptr, false, 0), -6);
  EXPECT_EQ(seen.count, 1);
  // A peer without a holder is not probed.
  const Exact exact(vp8);
  EXPECT_EQ(store.CheckMediaFormat("nobody@test", exact.data(), true, static_cast<int>(exact.size())),
            -1);
  EXPECT_EQ(seen.count, 1);
}

// The network loop records peers, urgent jobs and the host thread ask for formats and set the
// conference format, a media thread checks bitstreams whose delegate asks the store again. Each
// operation must see a whole store; ThreadSanitizer reports any unguarded access.
TEST(BestMediaFormat, UsedFromSeveralThreadsAtOnce) {
  constexpr int kRounds = 300;
  constexpr int kPeers = 8;
  const Bytes vp8 = EncodeVP8(64, 48, 1).at(0);
  HX_BestMediaFormat store;
  std::atomic<int> detected{0};
  store.formatDetected.Connect([&](const std::string& peer, HX_MediaFormat format) {
    if (format.width == 64 && store.GetPeerMediaFormat(peer.c_str()).peerId == peer) ++detected;
  });
  store.SetPeerMediaFormat(kOwn, OwnCaps());
  for (int p = 0; p < kPeers; ++p) store.SetPeerMediaFormat(("p" + std::to_string(p)).c_str(), PeerCaps());

  std::atomic<int> checked{0};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {  // the network loop: "Invite" and "ReceiverConnected" records
    for (int i = 0; i < kRounds; ++i) {
      HX_ClientCaps caps = PeerCaps();
      caps.m_level = i;
      caps.m_videoRcv = i % 2 ? 1 : 9;
      store.SetPeerMediaFormat(("p" + std::to_string(i % kPeers)).c_str(), caps);
    }
  });
  threads.emplace_back([&] {  // urgent jobs: the media handshake, unknown ids inserting holders
    for (int i = 0; i < kRounds; ++i) {
      const std::string stranger = "s" + std::to_string(i);
      (void)store.GetMediaCaps(kOwn, ("p" + std::to_string(i % kPeers)).c_str(), 0);
      (void)store.GetMediaCaps(stranger.c_str(), kOwn, 6);
      HX_ClientCaps out;
      (void)store.GetMediaFormat(kOwn, stranger.c_str(), 6, &out);
    }
  });
  threads.emplace_back([&] {  // the host thread asking for rooms
    for (int i = 0; i < kRounds; ++i) {
      store.SetConfMediaFormat(kOwn, i % 2 ? kOwn : "boss@test", static_cast<uint32_t>(i));
      store.ResetVideoFormatChange();
      (void)store.CheckVideoFormatChange(false);
    }
  });
  threads.emplace_back([&] {  // a media thread checking key frames
    const Exact exact(vp8);
    for (int i = 0; i < kRounds; ++i) {
      const std::string peer = "p" + std::to_string(i % kPeers);
      if (store.CheckMediaFormat(peer.c_str(), exact.data(), true, static_cast<int>(exact.size())) == 0) {
        ++checked;
      }
    }
  });
  for (std::thread& t : threads) t.join();

  EXPECT_EQ(checked.load(), kRounds);
  EXPECT_EQ(detected.load(), kRounds);
  // The last record of each peer is the one kept.
  for (int p = 0; p < kPeers; ++p) {
    const int last = (kRounds - 1 - p) / kPeers * kPeers + p;
    EXPECT_EQ(store.GetPeerMediaFormat(("p" + std::to_string(p)).c_str()).caps.m_level, last);
  }
}

}  // namespace
