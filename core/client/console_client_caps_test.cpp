// The client object's capabilities and media formats on a real client object (the test
// platform's), driven through the conference service's signals as the network loop drives them
// and on the real conference store: the record it sends, the peers' records it keeps, the video
// format questions, the meeting capabilities and the hand-over of a finished media handshake to
// the real media-format adapter. The last test runs the loop's, a job's and the host's calls at
// once (run it under ThreadSanitizer too).
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/client/best_media_format.h"
#include "core/client/console_client.h"
#include "core/client/network_rate.h"
#include "core/conference/conf_manager.h"
#include "core/media/format/media_format_adapter.h"
#include "core/wire/client_caps.h"
#include "testing/test_console_client.h"

namespace {

using hx::testing::TestConsoleClient;

constexpr char kOwn[] = "me@test.invalid";
constexpr char kPeer[] = "peer@test.invalid";

class CapsClient : public TestConsoleClient {
 public:
  const char* version = kAppVersion;
  const char* GetAppVersion() override { return version; }
  HX_ConfStorage* store() { return confManager()->confStorage(); }
  HX_BestMediaFormat* formats() { return mediaSelector().get(); }
  HX_MediaFormatManagerAdapter* adapter() { return mediaFormatManager().get(); }
  // A requested conference of `type`, owned by `owner`; it becomes the active one.
  void Conference(HX_Conference_Type type, bool audioOnly, const char* owner = kOwn) {
    ConferenceLock lock;
    ASSERT_TRUE(store()->storageRequestCreateConferenceLock(lock, "room", "", owner, 16, 0, type,
                                                            0, 0, nullptr, audioOnly));
  }
  HX_ClientCaps Prepare(bool group) {
    HX_ClientCaps caps;
    ConferenceLock lock;
    HX_Conference* active = store()->activeConferenceWLock(lock) ? lock.conference() : nullptr;
    confManager()->PrepareCapsSignal.Emit(active, group, caps);
    return caps;
  }
};

class ConsoleClientCapsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    client = std::make_unique<CapsClient>();
    client->CreateApplication();
    client->SetLogin(kOwn);
  }
  void TearDown() override {
    client.reset();
    hx::network::ResetRates();
  }
  std::unique_ptr<CapsClient> client;
};

HX_MediaFormat SendFormat(const HX_ClientCaps& caps) {
  HX_MediaFormat format;
  caps.GetMediaFormat(format);
  return format;
}

// The peer receives H.264 and limits the screen; this client's record has neither, so the
// adapter's state shows which record it took as the peer's.
HX_ClientCaps PeerCaps() {
  HX_ClientCaps caps;
  const uint32_t video[] = {HX_MediaFormat::kCodecVP8, HX_MediaFormat::kCodecH264};
  caps.SetVideoCodecs(video, 2);
  caps.SetResolutionLimit(1280, 720);
  caps.m_videoRcv = 1 | 8;
  return caps;
}

TEST_F(ConsoleClientCapsTest, PreparedCapsCarryTheApplicationAndTheAdaptersFormat) {
  client->adapter()->SetAudioCodec(0x7004);
  client->adapter()->SetAudioSamplerate(32000);
  const HX_MediaFormat current = client->adapter()->GetMediaFormat();
  client->Conference(5, false);
  HX_ClientCaps caps = client->Prepare(true);
  EXPECT_EQ(caps.m_appName, TestConsoleClient::kAppName);
  EXPECT_EQ(caps.m_appVersion, TestConsoleClient::kAppVersion);
  EXPECT_EQ(caps.m_clientType, TestConsoleClient::kClientType);
  EXPECT_EQ(caps.m_bandwidthRcv, 1024);  // the platform's record
  EXPECT_EQ(caps.m_videoRcv, 1);
  EXPECT_EQ(caps.m_videoSnd, 1);
  const HX_MediaFormat send = SendFormat(caps);
  EXPECT_EQ(send.width, current.width);
  EXPECT_EQ(send.height, current.height);
  EXPECT_EQ(send.videoCodec, current.videoCodec);
  EXPECT_EQ(send.frameRate, 25u);  // the platform's
  EXPECT_EQ(send.audioCodec, 0x7004u);
  EXPECT_EQ(send.sampleRate, 32000u);

  // An application without a version sends "".
  client->version = nullptr;
  EXPECT_EQ(client->Prepare(true).m_appVersion, "");
}

TEST_F(ConsoleClientCapsTest, AudioOnlyConferenceSwitchesVideoOff) {
  client->Conference(5, true);
  const HX_ClientCaps caps = client->Prepare(true);
  EXPECT_EQ(caps.m_videoRcv, 0);
  EXPECT_EQ(caps.m_videoSnd, 0);
  // The platform's send size stays: only the adapter's format is not taken.
  EXPECT_EQ(SendFormat(caps).width, 640u);
  // The active conference is the one asked about.
  EXPECT_EQ(client->GetCapabilites().videoSnd, 0);
}

TEST_F(ConsoleClientCapsTest, PeersRecordsAndTheVideoFormatQuestions) {
  HX_ClientCaps rigid = PeerCaps();
  rigid.m_videoRcv = 1;  // cannot take a format change
  rigid.SetMediaFormatRcv(HX_MediaFormat());
  rigid.m_level = 31;
  client->confManager()->ClientCapsReceivedSignal.Emit(kPeer, rigid);
  EXPECT_EQ(client->formats()->GetPeerMediaFormat(kPeer).caps.m_level, 31);

  // Without a conference the format may always change.
  EXPECT_TRUE(client->CheckVideoFormatChange());
  EXPECT_FALSE(client->GetVideoFormatChange(false));  // the store's answer
  EXPECT_TRUE(client->GetVideoFormatFixed());
  client->Conference(5, false);
  EXPECT_FALSE(client->CheckVideoFormatChange());
  // In a group conference: no change unless asked even so, and never a fixed format.
  EXPECT_FALSE(client->GetVideoFormatChange(true));
  client->formats()->ResetVideoFormatChange();
  EXPECT_TRUE(client->CheckVideoFormatChange());
  EXPECT_TRUE(client->GetVideoFormatChange(true));
  EXPECT_FALSE(client->GetVideoFormatChange(false));
  client->confManager()->ClientCapsReceivedSignal.Emit(kPeer, rigid);
  EXPECT_FALSE(client->GetVideoFormatFixed());
}

TEST_F(ConsoleClientCapsTest, MeetingCapsFollowTheCurrentConference) {
  client->formats()->SetPeerMediaFormat(kOwn, HX_ClientCaps());
  client->formats()->SetPeerMediaFormat(kPeer, PeerCaps());
  client->formats()->SetConfMediaFormat(kOwn, kOwn, 2);
  HX_ClientCaps caps;
  // No conference: a private call's negotiated format.
  client->OnRequestMeetingCaps(kOwn, kPeer, caps);
  EXPECT_EQ(SendFormat(caps).svcMode, 2u);
  // The owner of the active multicast conference sends its own format, marked.
  client->Conference(6, false);
  client->OnRequestMeetingCaps(kOwn, kPeer, caps);
  EXPECT_EQ(SendFormat(caps).svcMode, 2u | 0xFF000000);
}

TEST_F(ConsoleClientCapsTest, MediaHandshakeHandsTheAdapterTheConnectionAndTheLimit) {
  // The platform's own rate (network type 11) sending at 300; a private call's receive limit 250,
  // a conference's 10240.
  hx::network::rate[hx::network::kCustomRate].set(300, 500);
  client->getFSM()->SetNetworkType(hx::network::kPlatformFlag | 3);
  hx::network::rate[hx::network::kPrivateCallRate].set(4096, 250);
  client->formats()->SetPeerMediaFormat(kOwn, HX_ClientCaps());
  client->formats()->SetPeerMediaFormat(kPeer, PeerCaps());

  HX_MediaFormatManagerAdapter* adapter = client->adapter();
  client->MediaHandshakeReady(0, 0, kPeer, "p2p@test.invalid", "key");
  EXPECT_TRUE(adapter->IsConnected());
  EXPECT_EQ(adapter->GetConfType(), 0);
  EXPECT_EQ(adapter->GetPeerUpLimit(), 250);
  // The peer's record went in as the peer's.
  EXPECT_TRUE(adapter->GetCanRcvH264());
  EXPECT_EQ(adapter->GetRcvResolutionLimit(), (1280u << 16) | 720u);

  adapter->Reset();
  client->Conference(5, false, kPeer);
  client->MediaHandshakeReady(5, 0, kPeer, "room@test.invalid", "");
  EXPECT_TRUE(adapter->IsConnected());
  EXPECT_EQ(adapter->GetConfType(), 1);
  EXPECT_TRUE(adapter->GetFixedRcvFormat());
  EXPECT_EQ(adapter->GetPeerUpLimit(), 300);  // the network's send rate is the smaller now

  // OnUpdateMediaFormat makes the next frame work the format out again.
  (void)adapter->CanRecalcParams();
  EXPECT_FALSE(adapter->CanRecalcParams());
  client->OnUpdateMediaFormat();
  EXPECT_TRUE(adapter->CanRecalcParams());
}

// The network loop delivers "ReceiverConnected" capabilities, an "OnJoinRcvd" job finishes a media
// handshake and the host thread sets the format of a room it asks for, all at once.
TEST_F(ConsoleClientCapsTest, LoopJobAndHostAtOnce) {
  constexpr int kRounds = 200;
  client->Conference(5, false, kPeer);
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    for (int i = 0; i < kRounds; ++i) {
      HX_ClientCaps caps = PeerCaps();
      caps.m_level = i;
      const std::string peer = "p" + std::to_string(i % 4) + "@test.invalid";
      client->confManager()->ClientCapsReceivedSignal.Emit(peer.c_str(), caps);
    }
  });
  threads.emplace_back([&] {
    for (int i = 0; i < kRounds; ++i) {
      const std::string peer = "p" + std::to_string(i % 4) + "@test.invalid";
      client->MediaHandshakeReady(5, 0, peer.c_str(), "room@test.invalid", "");
    }
  });
  threads.emplace_back([&] {
    for (int i = 0; i < kRounds; ++i) {
      client->formats()->SetConfMediaFormat(kOwn, kOwn, static_cast<uint32_t>(i));
      client->formats()->SetPeerMediaFormat(kOwn, client->GetCapabilites().MakeCaps());
      (void)client->CheckVideoFormatChange();
    }
  });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(client->formats()->GetPeerMediaFormat("p3@test.invalid").caps.m_level, kRounds - 1);
  EXPECT_TRUE(client->adapter()->IsConnected());
}

}  // namespace
