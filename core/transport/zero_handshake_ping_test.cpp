// The zero-handshake ping on loopback. The connecting side runs against the fake peer
// (testing/fake_peer), which answers, refuses or misbehaves as scripted; the accepting side sits
// behind the protocol probe on a listener of the network loop and is driven by the fake peer as
// the connecting client; and the client's two sides meet each other.

#include "core/transport/zero_handshake_ping.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/net/socket/native_socket_details.h"
#include "core/transport/direct_test_util.h"
#include "core/transport/ping_record.h"
#include "core/transport/tcp_proto_probe.h"
#include "testing/fake_peer/direct_peer.h"
#include "testing/fake_server/handshake_record.h"

namespace hx::testing {
namespace {

// What the done signal showed, copied while the object was intact.
struct DoneRecord {
  int32_t result = 0;
  int32_t trialId = 0;
  int32_t contentVersion = 0;
  std::string conference;
  std::string from;
  std::string to;
  std::string targetHost;
  uint16_t targetPort = 0;
  std::string local;
  std::string remote;
};

class PingRecorder {
 public:
  void onDone(const HXZeroHandshakeSimple* ping) {
    DoneRecord record;
    record.result = ping->GetResult();
    record.trialId = ping->GetTrialId();
    record.contentVersion = ping->GetContentVersion();
    record.conference = ping->GetConference();
    record.from = ping->GetFrom();
    record.to = ping->GetTo();
    record.targetHost = ping->GetTarget().host;
    record.targetPort = ping->GetTarget().port;
    record.local = ping->GetLocalAddr().str() + ":" + std::to_string(ping->GetLocalAddr().port());
    record.remote =
        ping->GetRemoteAddr().str() + ":" + std::to_string(ping->GetRemoteAddr().port());
    std::lock_guard<std::mutex> lock(mutex);
    done.push_back(record);
  }
  void onWantAccept(const HXZeroHandshakeSimple* ping, bool& accept) {
    std::lock_guard<std::mutex> lock(mutex);
    asked.push_back(ping->GetConference() + "|" + ping->GetFrom() + "|" + ping->GetTo());
    accept = acceptRequests;
  }
  size_t doneCount() {
    std::lock_guard<std::mutex> lock(mutex);
    return done.size();
  }
  DoneRecord first() {
    std::lock_guard<std::mutex> lock(mutex);
    return done.at(0);
  }

  std::mutex mutex;
  std::vector<DoneRecord> done;
  std::vector<std::string> asked;
  bool acceptRequests = true;
};

class PingTest : public LoopFixture {
 protected:
  // A connecting ping from "alice" to "bob" in "room".
  void StartPing(uint16_t port, int32_t content_version = 1) {
    auto* ping =
        HXZServer::implantNative<HXZeroHandshakeSimple>(-1, AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ping->fireZeroHSDone.Connect(&recorder, &PingRecorder::onDone);
    ping->setContentVersion(content_version);
    ASSERT_TRUE(ping->Ping(7, "room", "alice", "bob", HXIpSockTarget{"127.0.0.1", port}));
  }
  DoneRecord WaitDone() {
    EXPECT_TRUE(WaitFor([&] { return recorder.doneCount() >= 1; }, 10000));
    return recorder.doneCount() > 0 ? recorder.first() : DoneRecord{};
  }

  // A listener whose connections go through the probe to accepting pings.
  AcceptingListener* StartAcceptor() {
    return AcceptingListener::Make([this](HXZADataHandler* accepted) {
      auto* probe = HXZServer::inheritNative<HXZTcpProtoProbe>(accepted);
      probe->fireProbePing.Connect(this, &PingTest::onProbePing);
      probe->start(5000);
    });
  }
  void onProbePing(HXZADataHandler* handler) {
    auto* ping = HXZServer::inheritNative<HXZeroHandshakeSimple>(handler);
    ping->fireZeroHSDone.Connect(&acceptor, &PingRecorder::onDone);
    ping->fireWantAccept.Connect(&acceptor, &PingRecorder::onWantAccept);
    ping->Accept();
  }

  PingRecorder recorder;
  PingRecorder acceptor;
  std::mutex peerMutex;
  std::vector<PeerPingFields> peerSaw;
  std::vector<PeerBytes> peerRecords;
};

TEST_F(PingTest, SucceedsAgainstAnsweringPeerWithBothAddressesRecorded) {
  FakeDirectPeer peer;
  peer.AddStep(FakeDirectPeer::AnswerPing({"", "", "", "AnsBodyVersion", 1, true}, true, &peerSaw,
                                          &peerMutex));
  StartPing(peer.port());
  const DoneRecord done = WaitDone();
  EXPECT_EQ(done.result, hx::ping::kResultSuccess);
  EXPECT_EQ(done.trialId, 7);
  EXPECT_EQ(done.contentVersion, 1);
  EXPECT_EQ(done.targetHost, "127.0.0.1");
  EXPECT_EQ(done.targetPort, peer.port());
  EXPECT_EQ(done.remote, "127.0.0.1:" + std::to_string(peer.port()));
  EXPECT_EQ(done.local.rfind("127.0.0.1:", 0), 0u);
  EXPECT_NE(done.local, "127.0.0.1:0");
  std::lock_guard<std::mutex> lock(peerMutex);
  ASSERT_EQ(peerSaw.size(), 1u);
  EXPECT_EQ(peerSaw[0].conference, "room");
  EXPECT_EQ(peerSaw[0].from, "alice");
  EXPECT_EQ(peerSaw[0].to, "bob");
  EXPECT_EQ(peerSaw[0].version_key, "ReqBodyVersion");
  EXPECT_EQ(peerSaw[0].version, 1);
}

TEST_F(PingTest, PeerClosingTwiceGetsARetryWithEmptyBodyThenResultTwo) {
  FakeDirectPeer peer;
  peer.AddStep(FakeDirectPeer::CloseAfterRequest(&peerRecords, &peerMutex));
  peer.AddStep(FakeDirectPeer::CloseAfterRequest(&peerRecords, &peerMutex));
  StartPing(peer.port());
  const DoneRecord done = WaitDone();
  EXPECT_EQ(done.result, hx::ping::kResultClosed);
  std::lock_guard<std::mutex> lock(peerMutex);
  ASSERT_EQ(peerRecords.size(), 2u);
  EXPECT_GT(peerRecords[0].size(), 21u);
  EXPECT_EQ(peerRecords[1].size(), 21u);  // the retry carries no container
  ASSERT_TRUE(PeerReadPing(peerRecords[1]).has_value());
  EXPECT_FALSE(PeerReadPing(peerRecords[1])->with_container);
}

TEST_F(PingTest, RetryWithoutContainerSucceedsWithContentVersionZero) {
  FakeDirectPeer peer;
  peer.AddStep(FakeDirectPeer::CloseAfterRequest(&peerRecords, &peerMutex));
  peer.AddStep(FakeDirectPeer::AnswerPing({"", "", "", "", 0, false}, false, &peerSaw, &peerMutex));
  StartPing(peer.port());
  const DoneRecord done = WaitDone();
  EXPECT_EQ(done.result, hx::ping::kResultSuccess);
  EXPECT_EQ(done.contentVersion, 0);
}

// Answers the peer may give to a request with a container, and how each ends.
TEST_F(PingTest, AnswersOfThePeer) {
  struct Case {
    const char* what;
    PeerPingFields answer;
    int32_t result;
    int32_t contentVersion;
  } cases[] = {
      {"no container", {"", "", "", "", 0, false}, hx::ping::kResultSuccess, 0},
      {"empty conference not compared",
       {"", "bob", "alice", "AnsBodyVersion", 1, true},
       hx::ping::kResultSuccess,
       1},
      {"other conference",
       {"hall", "bob", "alice", "AnsBodyVersion", 1, true},
       hx::ping::kResultConference,
       1},
      {"other users",
       {"room", "carol", "alice", "AnsBodyVersion", 1, true},
       hx::ping::kResultUsers,
       1},
      {"other addressee",
       {"room", "bob", "dave", "AnsBodyVersion", 1, true},
       hx::ping::kResultUsers,
       1},
      {"request key in an answer",
       {"room", "bob", "alice", "ReqBodyVersion", 1, true},
       hx::ping::kResultSuccess,
       0},
  };
  for (const Case& c : cases) {
    recorder.done.clear();
    FakeDirectPeer peer;
    peer.AddStep(FakeDirectPeer::AnswerPing(c.answer, false, nullptr, nullptr));
    StartPing(peer.port());
    const DoneRecord done = WaitDone();
    EXPECT_EQ(done.result, c.result) << c.what;
    EXPECT_EQ(done.contentVersion, c.contentVersion) << c.what;
  }
}

TEST_F(PingTest, BrokenAnswers) {
  PeerBytes good = PeerPingRecord({"room", "bob", "alice", "AnsBodyVersion", 1, true});
  PeerBytes bad_head = good;
  PeerBreakHeadChecksum(bad_head);
  PeerBytes bad_body = good;
  PeerBreakBodyChecksum(bad_body);
  PeerBytes other_name = EncodeZeroHandshake("_HX_PONG_", 1, {0});
  PeerBytes garbage_body = EncodeZeroHandshake("_HX_PING_", 1, {1, 2, 3, 4, 5, 0});
  const std::vector<std::tuple<const char*, PeerBytes, int32_t>> cases = {
      {"head checksum", bad_head, hx::ping::kResultHeadCksum},
      {"body checksum", bad_body, hx::ping::kResultCksum},
      {"primary field", other_name, hx::ping::kResultPrimaryField},
      // A body that is no container costs the container, not the ping.
      {"garbage container", garbage_body, hx::ping::kResultSuccess},
  };
  for (const auto& [what, bytes, result] : cases) {
    recorder.done.clear();
    FakeDirectPeer peer;
    peer.AddStep(FakeDirectPeer::ReplyWith(bytes));
    StartPing(peer.port());
    EXPECT_EQ(WaitDone().result, result) << what;
  }
}

TEST_F(PingTest, RefusedConnectIsASocketError) {
  StartPing(FreeLoopbackPort(SOCK_STREAM));
  EXPECT_EQ(WaitDone().result, hx::ping::kResultSocketError);
}

TEST_F(PingTest, AcceptingSideAnswersWithNamesSwapped) {
  AcceptingListener* listener = StartAcceptor();
  ASSERT_NE(listener, nullptr);
  FakePeerConnection peer = FakePeerConnection::Connect(listener->port());
  ASSERT_TRUE(peer.Send(PeerPingRecord({"room", "bob", "alice", "ReqBodyVersion", 1, true})));
  const std::optional<PeerPingFields> answer = PeerReadPing(peer.ReadRecord());
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->conference, "room");
  EXPECT_EQ(answer->from, "alice");
  EXPECT_EQ(answer->to, "bob");
  EXPECT_EQ(answer->version_key, "AnsBodyVersion");
  EXPECT_TRUE(WaitFor([&] { return acceptor.doneCount() == 1; }, 10000));
  const DoneRecord done = acceptor.first();
  EXPECT_EQ(done.result, hx::ping::kResultSuccess);
  EXPECT_EQ(done.trialId, -1);
  EXPECT_EQ(done.local, "127.0.0.1:" + std::to_string(listener->port()));
  EXPECT_TRUE(peer.WaitClosed());
  listener->GC();
}

// Requests that are answered with a bare 21-byte record.
TEST_F(PingTest, AcceptingSideAnswersWithoutContainer) {
  AcceptingListener* listener = StartAcceptor();
  ASSERT_NE(listener, nullptr);
  const PeerBytes requests[] = {
      PeerPingRecord({"", "", "", "", 0, false}),
      PeerPingRecord({"room", "bob", "alice", "AnsBodyVersion", 1, true}),
  };
  EXPECT_EQ(requests[0].size(), 21u);
  for (const PeerBytes& request : requests) {
    FakePeerConnection peer = FakePeerConnection::Connect(listener->port());
    ASSERT_TRUE(peer.Send(request));
    const PeerBytes answer = peer.ReadRecord();
    EXPECT_EQ(answer.size(), 21u);
    ASSERT_TRUE(PeerReadPing(answer).has_value());
    EXPECT_TRUE(peer.WaitClosed());
  }
  EXPECT_TRUE(WaitFor([&] { return acceptor.doneCount() == 2; }, 10000));
  listener->GC();
}

TEST_F(PingTest, RefusedRequestIsClosedWithoutAnswerOrSignal) {
  acceptor.acceptRequests = false;
  AcceptingListener* listener = StartAcceptor();
  ASSERT_NE(listener, nullptr);
  FakePeerConnection peer = FakePeerConnection::Connect(listener->port());
  ASSERT_TRUE(peer.Send(PeerPingRecord({"room", "bob", "alice", "ReqBodyVersion", 1, true})));
  EXPECT_TRUE(peer.Read(1).empty());
  EXPECT_TRUE(WaitFor(
      [&] {
        std::lock_guard<std::mutex> lock(acceptor.mutex);
        return acceptor.asked.size() == 1;
      },
      10000));
  EXPECT_EQ(acceptor.asked[0], "room|alice|bob");
  EXPECT_EQ(acceptor.doneCount(), 0u);
  listener->GC();
}

TEST_F(PingTest, ClientSidesMeetEachOther) {
  AcceptingListener* listener = StartAcceptor();
  ASSERT_NE(listener, nullptr);
  StartPing(listener->port());
  const DoneRecord done = WaitDone();
  EXPECT_EQ(done.result, hx::ping::kResultSuccess);
  ASSERT_TRUE(WaitFor([&] { return acceptor.doneCount() == 1; }, 10000));
  const DoneRecord accepted = acceptor.first();
  EXPECT_EQ(accepted.result, hx::ping::kResultSuccess);
  EXPECT_EQ(accepted.conference, "room");
  EXPECT_EQ(accepted.from, "bob");
  EXPECT_EQ(accepted.to, "alice");
  EXPECT_EQ(accepted.local, done.remote);
  EXPECT_EQ(accepted.remote, done.local);
  listener->GC();
}

// Text that the container's coder cannot shrink much.
std::string Scrambled(size_t length) {
  std::string text(length, ' ');
  uint32_t state = 12345;
  for (char& c : text) {
    state = state * 1103515245 + 12345;
    c = static_cast<char>('!' + (state >> 16) % 90);
  }
  return text;
}

TEST(PingRecord, ContainerBeyondTheLengthFieldGoesAsNoContainer) {
  HXNetMessage out;
  int32_t version = 1;
  hx::ping::FormRecord(out, true, version, Scrambled(12000), "a", "b");
  EXPECT_EQ(version, 0);
  ASSERT_EQ(out.size(), 21u);
  std::optional<PeerPingFields> read = PeerReadPing(PeerBytes(out.buffer(), out.buffer() + 21));
  ASSERT_TRUE(read.has_value());
  EXPECT_FALSE(read->with_container);

  version = 3;
  hx::ping::FormRecord(out, false, version, std::string(100, 'c'), "a", "b");
  EXPECT_EQ(version, 3);
  read = PeerReadPing(PeerBytes(out.buffer(), out.buffer() + out.size()));
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(read->conference, std::string(100, 'c'));
  EXPECT_EQ(read->version_key, "AnsBodyVersion");
  EXPECT_EQ(read->version, 3);

  version = -1;  // a peer's request without version: answered without container, version kept
  hx::ping::FormRecord(out, false, version, "c", "a", "b");
  EXPECT_EQ(version, -1);
  EXPECT_EQ(out.size(), 21u);
}

TEST(PingRecord, PrimaryFieldWithoutEndIsReadWithinItsSixteenBytes) {
  // A head whose primary field fills all 16 bytes with no 0 byte, at the very end of its buffer:
  // refused as another protocol, nothing read past the field.
  std::vector<uint8_t> bytes(hx::ping::kHeadSize);
  auto* record = reinterpret_cast<HX_ZeroHandshakeFixedPart*>(bytes.data());
  std::memcpy(record->primary, "_HX_PING_XXXXXXX", sizeof record->primary);
  record->SetVersion(1);
  record->SetBodyLengthField(0);
  HX_CalcZeroHandshakeCksums(record);
  std::vector<uint8_t> exact(bytes.begin(), bytes.end());
  size_t need = 0;
  int32_t result = 0;
  EXPECT_EQ(hx::ping::ParseFixedPart(exact.data(), exact.size(), false, need, result), -1);
  EXPECT_EQ(result, hx::ping::kResultPrimaryField);

  std::memcpy(record->primary, "_HX_PING_\0\0\0\0\0\0", sizeof record->primary);
  HX_CalcZeroHandshakeCksums(record);
  EXPECT_EQ(hx::ping::ParseFixedPart(bytes.data(), bytes.size(), false, need, result), 1);
}

}  // namespace
}  // namespace hx::testing
