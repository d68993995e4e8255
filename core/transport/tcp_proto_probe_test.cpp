// The protocol probe on loopback: a listener on the network loop wraps every accepted connection
// in a probe (with a shortened time limit); raw client sockets send what a peer might send first.
// Records come from the fake peer's own coder (testing/fake_peer), not the client's.

#include "core/transport/tcp_proto_probe.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "core/base/net_message.h"
#include "core/transport/direct_test_util.h"
#include "testing/fake_peer/direct_peer.h"
#include "testing/fake_server/handshake_record.h"

namespace hx::testing {
namespace {

// Hears the probe's signals; with `takeOver` it takes the connection over as a recording socket.
class ProbeRecorder {
 public:
  void onPing(HXZADataHandler* handler) { note("ping", handler); }
  void onTransport(HXZADataHandler* handler) { note("transport", handler); }
  void onStream(const HX_ZeroHandshakeFixedPart& record, HXZADataHandler* handler) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      streamRecordLength = record.RecordLength();
    }
    note("stream", handler);
  }

  std::vector<std::string> kinds() {
    std::lock_guard<std::mutex> lock(mutex);
    return m_kinds;
  }

  bool takeOver = false;
  std::mutex mutex;
  std::vector<uint8_t> buffered;  // what the handler's buffer held at the signal
  std::vector<RecordingTcpSocket*> sockets;
  size_t streamRecordLength = 0;

 private:
  void note(const char* kind, HXZADataHandler* handler) {
    std::lock_guard<std::mutex> lock(mutex);
    m_kinds.push_back(kind);
    if (auto buffer = handler->getDataBuffer(false)) {
      buffered.assign(buffer->buffer(), buffer->buffer() + buffer->size());
    }
    if (takeOver) {
      RecordingTcpSocket* socket = HXZServer::inheritNative<RecordingTcpSocket>(handler);
      socket->SetState(true);
      sockets.push_back(socket);
    }
  }
  std::vector<std::string> m_kinds;
};

class ProbeTest : public LoopFixture {
 protected:
  void SetUp() override {
    LoopFixture::SetUp();
    listener = AcceptingListener::Make([this](HXZADataHandler* accepted) {
      auto* probe = HXZServer::inheritNative<HXZTcpProtoProbe>(accepted);
      probe->fireProbePing.Connect(&recorder, &ProbeRecorder::onPing);
      probe->fireProbeTransport.Connect(&recorder, &ProbeRecorder::onTransport);
      probe->fireProbeStream.Connect(&recorder, &ProbeRecorder::onStream);
      probe->start(timeLimit);
    });
    ASSERT_NE(listener, nullptr);
  }
  void TearDown() override {
    for (RecordingTcpSocket* socket : recorder.sockets) socket->GC();
    listener->GC();
    LoopFixture::TearDown();
  }

  FakePeerConnection Connect() {
    FakePeerConnection connection = FakePeerConnection::Connect(listener->port());
    EXPECT_TRUE(connection.valid());
    return connection;
  }

  uint32_t timeLimit = 15000;
  ProbeRecorder recorder;
  AcceptingListener* listener = nullptr;
};

TEST_F(ProbeTest, SilentPeerIsClosedAtTheTimeLimit) {
  timeLimit = 300;
  FakePeerConnection peer = Connect();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(peer.WaitClosed(10000));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
  EXPECT_TRUE(recorder.kinds().empty());
}

TEST_F(ProbeTest, PeerThatClosesAtOnceLeavesNoSignal) {
  FakePeerConnection peer = Connect();
  peer.Send({'_', 'H', 'X'});
  peer.Close();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(recorder.kinds().empty());
}

// Every first record that is no handshake the probe knows: closed without a signal.
TEST_F(ProbeTest, UnrecognisedFirstRecordsAreClosedWithoutSignal) {
  PeerBytes bad_head = PeerPingRecord({"c", "a", "b", "ReqBodyVersion", 1, true});
  PeerBreakHeadChecksum(bad_head);
  PeerBytes check_srv = EncodeZeroHandshake("CHECK_SRV", 1, std::vector<uint8_t>(13, 0));
  PeerBytes other = EncodeZeroHandshake("_HX_OTHER_", 1, {0});
  PeerBytes long_stream = EncodeZeroHandshake("_HX_STREAMS_", 1, std::vector<uint8_t>(493, 7));
  PeerBytes damaged_stream = PeerStreamRequest(0, "c", "s", "p", "s", {1, 2});
  PeerBreakBodyChecksum(damaged_stream);
  // A primary field without NUL: sixteen letters, head checksum right.
  PeerBytes no_nul = EncodeZeroHandshake("_HX_STREAMS_", 1, {0});
  std::memcpy(no_nul.data(), "_HX_STREAMS_XXXX", 16);
  const uint32_t word = no_nul[16] | (no_nul[17] << 8) | (no_nul[18] << 16) |
                        (static_cast<uint32_t>(no_nul[19]) << 24);
  const uint32_t fixed =
      (word & ~(0xffu << 5)) | (uint32_t{ZeroHandshakeHeadChecksum(no_nul.data())} << 5);
  for (int i = 0; i < 4; ++i) no_nul[16 + i] = static_cast<uint8_t>(fixed >> (8 * i));
  const std::vector<std::pair<const char*, PeerBytes>> cases = {
      {"wrong head checksum", bad_head},
      {"CHECK_SRV", check_srv},
      {"other name", other},
      {"stream record of 513 bytes", long_stream},
      {"stream body checksum", damaged_stream},
      {"field without NUL", no_nul},
  };
  EXPECT_EQ(long_stream.size(), 513u);
  for (const auto& [what, bytes] : cases) {
    FakePeerConnection peer = Connect();
    ASSERT_TRUE(peer.Send(bytes));
    EXPECT_TRUE(peer.WaitClosed(10000)) << what;
  }
  EXPECT_TRUE(recorder.kinds().empty());
}

TEST_F(ProbeTest, PingHeadIsHandedOnAndItsBodyLeftForTheNextOwner) {
  recorder.takeOver = true;
  const PeerBytes record = PeerPingRecord({"conf", "a", "b", "ReqBodyVersion", 1, true});
  ASSERT_GT(record.size(), 21u);
  FakePeerConnection peer = Connect();
  // The head first, alone: it is enough to hand the connection on.
  ASSERT_TRUE(peer.Send(PeerBytes(record.begin(), record.begin() + 21)));
  ASSERT_TRUE(WaitFor([&] { return recorder.kinds().size() == 1; }, 10000));
  EXPECT_EQ(recorder.kinds()[0], "ping");
  {
    std::lock_guard<std::mutex> lock(recorder.mutex);
    EXPECT_EQ(recorder.buffered, PeerBytes(record.begin(), record.begin() + 21));
  }
  ASSERT_TRUE(peer.Send(PeerBytes(record.begin() + 21, record.end())));
  RecordingTcpSocket* owner = recorder.sockets[0];
  const std::string rest(record.begin() + 21, record.end());
  EXPECT_TRUE(WaitFor([&] { return owner->received() == rest; }, 10000));
  // The probe is gone but the connection lives on with its new owner.
  owner->Send("x", 1, 0);
  EXPECT_EQ(peer.Read(1), PeerBytes{'x'});
}

TEST_F(ProbeTest, TransportHeadIsHandedOn) {
  const PeerBytes record = EncodeZeroHandshake("_HX_TRANSPORT_", 9, std::vector<uint8_t>(40, 1));
  FakePeerConnection peer = Connect();
  ASSERT_TRUE(peer.Send(record));
  ASSERT_TRUE(WaitFor([&] { return recorder.kinds().size() == 1; }, 10000));
  EXPECT_EQ(recorder.kinds()[0], "transport");
  // Nobody took it over: the probe closed it.
  EXPECT_TRUE(peer.WaitClosed(10000));
}

TEST_F(ProbeTest, WholeStreamRecordIsHandedOnByteByByte) {
  const PeerBytes record = PeerStreamRequest(1, "conf", "id", "peer", "id", {1, 2, 5, 254, 255});
  FakePeerConnection peer = Connect();
  for (uint8_t byte : record) {
    ASSERT_TRUE(peer.Send({byte}));
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(WaitFor([&] { return recorder.kinds().size() == 1; }, 10000));
  EXPECT_EQ(recorder.kinds()[0], "stream");
  std::lock_guard<std::mutex> lock(recorder.mutex);
  EXPECT_EQ(recorder.streamRecordLength, record.size());
  EXPECT_EQ(recorder.buffered, record);
}

TEST(ProbeClassify, LargestStreamRecordThatFitsAndShortInput) {
  const PeerBytes fits = EncodeZeroHandshake("_HX_STREAMS_", 1, std::vector<uint8_t>(492, 3));
  size_t need = 0;
  EXPECT_EQ(HXZTcpProtoProbe::ClassifyFirstRecord(fits.data(), fits.size(), need),
            HXZTcpProtoProbe::verdictStream);
  EXPECT_EQ(HXZTcpProtoProbe::ClassifyFirstRecord(fits.data(), 200, need),
            HXZTcpProtoProbe::verdictIncomplete);
  EXPECT_EQ(need, 512u);
  EXPECT_EQ(HXZTcpProtoProbe::ClassifyFirstRecord(fits.data(), 20, need),
            HXZTcpProtoProbe::verdictIncomplete);
  EXPECT_EQ(need, 21u);
}

}  // namespace
}  // namespace hx::testing
