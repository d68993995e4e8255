// The stream handshake on loopback, both ways: the client's connecting side against the fake peer
// and the client's accepting side (behind the protocol probe or directly on the accepted
// connection) against the fake peer and against the client's connecting side. Also the media
// shield's frames, with and without a usable key.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/streams/stream_handshake.h"
#include "core/transport/direct_test_util.h"
#include "core/transport/stream_helper_secure.h"
#include "core/transport/stream_helper_simple.h"
#include "core/transport/tcp_proto_probe.h"
#include "testing/fake_peer/direct_peer.h"
#include "testing/fake_server/handshake_record.h"

namespace hx::testing {
namespace {

const std::vector<uint8_t> kDefaultTracks = {1, 2, 5, 254, 255};

std::vector<uint8_t> TrackList(const uint8_t* list) {
  std::vector<uint8_t> tracks;
  for (size_t i = 0; i < 256 && list[i] != 0; ++i) tracks.push_back(list[i]);
  return tracks;
}

class StreamHandshakeTest : public LoopFixture {
 protected:
  void TearDown() override {
    for (ManagedSocket* socket : sockets) socket->GC();
    if (listener != nullptr) listener->GC();
    LoopFixture::TearDown();
  }

  // A connecting stream of `type` towards `port`.
  ManagedSocket* Connect(uint16_t port, int32_t type, HXHelperStreamSimple& helper) {
    EXPECT_TRUE(helper.ConnectStream("cf", "s", "p", type));
    auto* socket = HXZServer::implantNative<ManagedSocket>(-1, AF_INET, SOCK_STREAM, IPPROTO_TCP);
    socket->manager = &helper;
    sockets.push_back(socket);
    EXPECT_TRUE(socket->Connect(LoopbackEndpoint(port, ip::Proto::tcp)));
    return socket;
  }

  // Accepted connections run the accepting handshake of `type`, behind the probe or not.
  void Listen(int32_t type, bool probe) {
    acceptType = type;
    listener = AcceptingListener::Make([this, probe](HXZADataHandler* accepted) {
      if (probe) {
        auto* p = HXZServer::inheritNative<HXZTcpProtoProbe>(accepted);
        p->fireProbeStream.Connect(this, &StreamHandshakeTest::onProbeStream);
        p->start(5000);
      } else {
        adopt(accepted);
      }
    });
    ASSERT_NE(listener, nullptr);
  }
  void onProbeStream(const HX_ZeroHandshakeFixedPart&, HXZADataHandler* handler) { adopt(handler); }
  void adopt(HXZADataHandler* handler) {
    EXPECT_TRUE(acceptHelper.AcceptStream(acceptType));
    auto* socket = HXZServer::inheritNative<ManagedSocket>(handler);
    socket->manager = &acceptHelper;
    std::lock_guard<std::mutex> lock(mutex);
    sockets.push_back(socket);
    accepted = socket;
    socket->SetState(true);
  }
  ManagedSocket* Accepted() {
    EXPECT_TRUE(WaitFor(
        [&] {
          std::lock_guard<std::mutex> lock(mutex);
          return accepted != nullptr;
        },
        10000));
    std::lock_guard<std::mutex> lock(mutex);
    return accepted;
  }

  std::mutex mutex;
  std::vector<ManagedSocket*> sockets;
  ManagedSocket* accepted = nullptr;
  AcceptingListener* listener = nullptr;
  HXHelperStreamSimple acceptHelper;
  int32_t acceptType = 0;
};

TEST_F(StreamHandshakeTest, ConnectingSideSendsTheKnownRequestAndTakesTheResponse) {
  FakeDirectPeer peer;
  PeerBytes request;
  peer.AddStep([&request](FakePeerConnection& connection) {
    request = connection.ReadRecord();
    connection.Send(PeerStreamResponse({1, 2}));
    connection.WaitClosed();
  });
  HXHelperStreamSimple helper;
  ManagedSocket* socket = Connect(peer.port(), HX_StreamClient_Sender, helper);
  ASSERT_TRUE(WaitFor([&] { return socket->outcome() != -1; }, 10000));
  EXPECT_EQ(socket->outcome(), HXZADataManager::done);
  EXPECT_EQ(helper.GetStreamState(), HXHelperStreamSimple::stateDone);
  socket->Close(true);
  ASSERT_TRUE(WaitFor([&] { return peer.served() == 1; }, 10000));
  ASSERT_EQ(request.size(), 20u + 47u);
  const uint8_t head[] = {0, 2, 'c', 'f', 0, 1, 's', 0, 1, 'p', 0, 1, 's', 0, 5};
  EXPECT_EQ(std::memcmp(request.data() + 20, head, sizeof head), 0);
  EXPECT_EQ(PeerMaskTracks(request.data() + 35), kDefaultTracks);
}

TEST_F(StreamHandshakeTest, BothClientSidesBehindTheProbeNegotiateTracks) {
  Listen(HX_StreamClient_Receiver, true);
  HXHelperStreamSimple helper;
  ManagedSocket* socket = Connect(listener->port(), HX_StreamClient_Sender, helper);
  ASSERT_TRUE(WaitFor([&] { return socket->outcome() != -1; }, 10000));
  EXPECT_EQ(socket->outcome(), HXZADataManager::done);
  ManagedSocket* other = Accepted();
  ASSERT_TRUE(WaitFor([&] { return other->outcome() != -1; }, 10000));
  EXPECT_EQ(other->outcome(), HXZADataManager::done);
  EXPECT_EQ(TrackList(acceptHelper.GetTracks()), kDefaultTracks);
}

TEST_F(StreamHandshakeTest, AcceptingSideKeepsTheCommonTracks) {
  Listen(HX_StreamClient_Receiver, false);
  FakePeerConnection peer = FakePeerConnection::Connect(listener->port());
  ASSERT_TRUE(peer.Send(PeerStreamRequest(0, "cf", "s", "p", "s", {2, 7, 254})));
  const PeerBytes response = peer.ReadRecord();
  ASSERT_EQ(response.size(), 54u);
  EXPECT_EQ(response[20], 1);
  EXPECT_EQ(PeerMaskTracks(response.data() + 22), kDefaultTracks);
  ManagedSocket* socket = Accepted();
  ASSERT_TRUE(WaitFor([&] { return socket->outcome() != -1; }, 10000));
  EXPECT_EQ(socket->outcome(), HXZADataManager::done);
  EXPECT_EQ(TrackList(acceptHelper.GetTracks()), (std::vector<uint8_t>{2, 254}));
}

// Every way the accepting side refuses: failed, and the connection gets no response.
TEST_F(StreamHandshakeTest, AcceptingSideRefusals) {
  PeerBytes oversized = EncodeZeroHandshake("_HX_STREAMS_", 1, std::vector<uint8_t>(2100, 0));
  oversized.resize(20);  // the head alone announces it
  struct Case {
    const char* what;
    PeerBytes bytes;
    bool close;
  } cases[] = {
      {"no common track", PeerStreamRequest(0, "cf", "s", "p", "s", {3, 4}), false},
      {"receiver meets receiver", PeerStreamRequest(1, "cf", "s", "p", "s", {1}), false},
      {"no mask", PeerStreamRequest(0, "cf", "s", "p", "s", {}), false},
      {"over 2,048 bytes", oversized, false},
      {"close before any byte", {}, true},
  };
  for (const Case& c : cases) {
    accepted = nullptr;
    Listen(HX_StreamClient_Receiver, false);
    FakePeerConnection peer = FakePeerConnection::Connect(listener->port());
    ManagedSocket* socket = Accepted();
    ASSERT_TRUE(peer.Send(c.bytes));
    if (c.close) peer.Close();
    ASSERT_TRUE(WaitFor([&] { return socket->outcome() != -1; }, 10000)) << c.what;
    EXPECT_EQ(socket->outcome(), HXZADataManager::failed) << c.what;
    if (!c.close) EXPECT_TRUE(peer.Read(1, 100).empty()) << c.what;
    listener->GC();
    listener = nullptr;
  }
}

TEST_F(StreamHandshakeTest, PartialRecordWaitsForTheRest) {
  Listen(HX_StreamClient_Sender, false);
  FakePeerConnection peer = FakePeerConnection::Connect(listener->port());
  ManagedSocket* socket = Accepted();
  const PeerBytes request = PeerStreamRequest(1, "cf", "r", "s", "r", {1, 2});
  ASSERT_TRUE(peer.Send(PeerBytes(request.begin(), request.begin() + 10)));
  ASSERT_TRUE(peer.Send(PeerBytes(request.begin() + 10, request.begin() + 30)));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(socket->outcome(), -1);
  EXPECT_FALSE(socket->results().empty());
  ASSERT_TRUE(peer.Send(PeerBytes(request.begin() + 30, request.end())));
  ASSERT_TRUE(WaitFor([&] { return socket->outcome() != -1; }, 10000));
  EXPECT_EQ(socket->outcome(), HXZADataManager::done);
  EXPECT_EQ(peer.ReadRecord().size(), 54u);
}

TEST_F(StreamHandshakeTest, ConnectingSideRefusesBadResponsesAndEarlyClose) {
  const std::vector<std::pair<const char*, PeerBytes>> cases = {
      {"flag bit clear",
       [] {
         PeerBytes r = PeerStreamResponse({});
         r[20] = 2;
         return EncodeZeroHandshake("_HX_STREAMS_", 1, PeerBytes(r.begin() + 20, r.end()));
       }()},
      {"count without mask", EncodeZeroHandshake("_HX_STREAMS_", 1, {1, 3})},
      {"closed", {}},
  };
  for (const auto& [what, bytes] : cases) {
    FakeDirectPeer peer;
    const PeerBytes reply = bytes;
    peer.AddStep([reply](FakePeerConnection& connection) {
      connection.ReadRecord();
      if (!reply.empty()) connection.Send(reply);
      connection.Close();
    });
    HXHelperStreamSimple helper;
    ManagedSocket* socket = Connect(peer.port(), HX_StreamClient_Receiver, helper);
    ASSERT_TRUE(WaitFor([&] { return socket->outcome() != -1; }, 10000)) << what;
    EXPECT_EQ(socket->outcome(), HXZADataManager::failed) << what;
  }
}

TEST(StreamHelperSecure, EnciphersAndDeciphersFrames) {
  HXHelperStreamSecure sender;
  HXHelperStreamSecure receiver;
  const char* key = "00112233445566778899aabbccddeeff";
  ASSERT_TRUE(sender.SetCryptoKey(key));
  ASSERT_TRUE(receiver.SetCryptoKey(key));
  EXPECT_EQ(sender.GetSymCryptBlockSize(), 16u);

  std::vector<uint8_t> frame = {0x05, 0x00, 9, 9, 9, 9, 9, 0x77};
  for (int i = 0; i < 300; ++i) frame.push_back(static_cast<uint8_t>(i * 7));
  uint32_t size = 0;
  const uint8_t* sealed =
      sender.Encrypt(frame.data(), static_cast<uint32_t>(frame.size()), nullptr, size);
  ASSERT_NE(sealed, frame.data());
  EXPECT_EQ(size, 8u + 304u);  // 300 payload bytes pad to 19 blocks
  EXPECT_EQ(sealed[0] | (sealed[1] << 8), 304);
  EXPECT_EQ(std::memcmp(sealed + 2, frame.data() + 2, 5), 0);
  EXPECT_EQ(sealed[7], HX_StreamCksum(sealed + 8, 304));
  EXPECT_NE(std::memcmp(sealed + 8, frame.data() + 8, 300), 0);

  const std::vector<uint8_t> on_wire(sealed, sealed + size);
  const uint8_t* opened = receiver.Decrypt(on_wire.data(), size, nullptr, size, true);
  ASSERT_EQ(size, frame.size());
  EXPECT_EQ(opened[0] | (opened[1] << 8), 300);
  EXPECT_EQ(std::memcmp(opened + 8, frame.data() + 8, 300), 0);

  // A head alone passes unchanged both ways.
  const uint8_t head[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(sender.Encrypt(head, 8, nullptr, size), head);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(receiver.Decrypt(head, 8, nullptr, size, true), head);
  // A frame that does not decipher passes unchanged.
  EXPECT_EQ(receiver.Decrypt(frame.data(), 24, nullptr, size, true), frame.data());
  EXPECT_EQ(size, 24u);
}

TEST(StreamHelperSecure, WithoutUsableKeyFramesPassUnchanged) {
  HXHelperStreamSecure shield;
  EXPECT_FALSE(shield.SetCryptoKey("short"));
  std::vector<uint8_t> frame(100, 3);
  uint32_t size = 0;
  EXPECT_EQ(shield.Encrypt(frame.data(), 100, nullptr, size), frame.data());
  EXPECT_EQ(size, 100u);
  EXPECT_EQ(shield.Decrypt(frame.data(), 100, nullptr, size, true), frame.data());
  EXPECT_EQ(size, 100u);
}

TEST(StreamHelperSimple, PassesFramesThroughAndRefusesBadOwnLists) {
  HXHelperStreamSimple helper;
  const uint8_t data[3] = {1, 2, 3};
  uint32_t size = 0;
  EXPECT_EQ(helper.Encrypt(data, 3, nullptr, size), data);
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(helper.GetSymCryptBlockSize(), 0u);
  const uint8_t repeated[] = {1, 1};
  EXPECT_FALSE(helper.SetOwnTracks(repeated, 2));
  EXPECT_EQ(TrackList(helper.GetOwnTracks()), (std::vector<uint8_t>{1, 2, 255, 5, 254}));
  EXPECT_FALSE(helper.ConnectStream("c", "", "p", HX_StreamClient_Sender));  // empty name
  EXPECT_FALSE(helper.AcceptStream(6));
}

}  // namespace
}  // namespace hx::testing
