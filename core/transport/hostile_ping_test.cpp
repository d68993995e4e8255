// The zero-handshake ping against hostile peers on loopback, on both sides. The peer is a plain
// blocking socket that reads the client's "_HX_PING_" record and checks it byte by byte, then
// answers (or asks) as a table row says: right, with other names, without a container, with a
// body that is no container, too large for the first buffer, with lying checksums, lengths and
// primary fields, cut at every length, a byte at a time, with extra bytes, closed or reset. The
// result code of the done signal, the accept-request signal, the retry without a container and
// the bytes of the answer are what the tests check.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/net/loop/zserver_test_util.h"
#include "core/net/socket/native_socket_details.h"
#include "core/net/socket/socket_data_handler.h"
#include "core/transport/tcp_proto_probe.h"
#include "core/transport/zero_handshake_ping.h"
#include "testing/hostile_peers/blocking_peer.h"

namespace {

using hx::hostile::Bytes;

struct Outcome {
  void OnDone(HXZeroHandshakeSimple const* ping) {
    std::lock_guard<std::mutex> lock(mutex);
    ++dones;
    result = ping->GetResult();
    contentVersion = ping->GetContentVersion();
    trialId = ping->GetTrialId();
    remotePort = ping->GetRemoteAddr().port();
  }
  void OnWant(HXZeroHandshakeSimple const*, bool& accept) {
    wants.fetch_add(1);
    if (refuse) accept = false;
  }
  bool WaitDone(int limit_ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (dones > 0) return true;
      }
      if (std::chrono::steady_clock::now() >= end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  std::mutex mutex;
  int dones = 0;
  int32_t result = 0;
  int32_t contentVersion = 0;
  int32_t trialId = 0;
  uint16_t remotePort = 0;
  std::atomic<int> wants{0};
  bool refuse = false;
};

// Starts an accepting ping over each connection the probe hands on.
struct AcceptTaker {
  void OnPing(HXZADataHandler* handler) {
    auto* ping = HXZServer::inheritNative<HXZeroHandshakeSimple>(handler);
    if (ping == nullptr) return;
    ping->fireZeroHSDone.Connect(outcome, &Outcome::OnDone);
    ping->fireWantAccept.Connect(outcome, &Outcome::OnWant);
    ping->Accept();
  }
  Outcome* outcome = nullptr;
};

Bytes PingRecord(const Bytes& body) { return hx::hostile::MakeRecord("_HX_PING_", 1, body); }
Bytes Answer(const std::string& conference, const std::string& from, const std::string& to) {
  return PingRecord(hx::hostile::PingBody(conference, from, to, "AnsBodyVersion", 1));
}
const Bytes kEmptyRecord = PingRecord(Bytes{0});

// A container's wire form that lies: its raw length says `raw_length`, then a few coded bytes.
Bytes LyingContainer(uint32_t raw_length) {
  Bytes body(4);
  for (int i = 0; i < 4; ++i) body[i] = static_cast<uint8_t>(raw_length >> (8 * i));
  body.insert(body.end(), {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC, 0xDE, 0xF0});
  body.push_back(0);
  return body;
}

// Text that the container's coder cannot shrink much (a fixed pseudo-random sequence).
std::string Noise(size_t length) {
  std::string text(length, ' ');
  uint32_t state = 12345;
  for (char& c : text) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(33 + (state >> 16) % 94);
  }
  return text;
}

// The longest conference name whose request body still fits the largest record.
std::string LargestConference() {
  // The coded size is not monotonic in the length: look for a name whose request fits the
  // largest record while the answer with the same names would not; else the largest that fits.
  std::string largest;
  for (size_t length = 8400; length > 7000; --length) {
    const std::string name = Noise(length);
    if (hx::hostile::PingBody(name, "alice", "bob", "ReqBodyVersion", 1).size() > 8192) continue;
    if (largest.empty()) largest = name;
    if (hx::hostile::PingBody(name, "bob", "alice", "AnsBodyVersion", 1).size() > 8192) return name;
  }
  return largest;
}

class HostilePingTest : public hx::testing::LoopFixture {
 protected:
  Outcome& NewOutcome() {
    outcomes.push_back(std::make_unique<Outcome>());
    return *outcomes.back();
  }
  AcceptTaker& NewTaker() {
    takers.push_back(std::make_unique<AcceptTaker>());
    return *takers.back();
  }
  bool StartPing(Outcome& outcome, uint16_t port) {
    auto* ping = HXZServer::implantNative<HXZeroHandshakeSimple>(-1, AF_INET, SOCK_STREAM,
                                                                 IPPROTO_TCP);
    ping->fireZeroHSDone.Connect(&outcome, &Outcome::OnDone);
    HXIpSockTarget target;
    target.host = "127.0.0.1";
    target.port = port;
    return ping->Ping(5, "conf", "alice", "bob", target);
  }
  // Reads a request and checks it: a container of the three names and the version when
  // `container`, else a body of one 0 byte.
  void ExpectRequest(int fd, bool container) {
    const auto request = hx::hostile::ReadRecord(fd, 3000);
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->primary, "_HX_PING_");
    EXPECT_EQ(request->version, 1u);
    EXPECT_TRUE(request->headOk);
    EXPECT_TRUE(request->bodyOk);
    if (!container) {
      EXPECT_EQ(request->body, Bytes{0});
      return;
    }
    ASSERT_GE(request->body.size(), 2u);
    EXPECT_EQ(request->body.back(), 0);
    const auto names = hx::hostile::ReadPingBody(request->body);
    ASSERT_TRUE(names.has_value());
    EXPECT_EQ(names->conference, "conf");
    EXPECT_EQ(names->from, "alice");
    EXPECT_EQ(names->to, "bob");
    EXPECT_EQ(names->reqVersion, std::optional<int32_t>(1));
    EXPECT_FALSE(names->ansVersion.has_value());
    EXPECT_EQ(names->entries, 4u);
  }
  std::vector<std::unique_ptr<Outcome>> outcomes;
  std::vector<std::unique_ptr<AcceptTaker>> takers;
};

struct AnswerCase {
  std::string name;
  std::function<void(int fd)> serve;  // after the first request was read; closes the descriptor
  std::set<int32_t> results;          // acceptable result codes
  bool retry = false;                 // a second connection with an empty request follows
  int32_t contentVersion = -2;        // checked when not -2
};

std::vector<AnswerCase> AnswerCases() {
  using namespace hx::hostile;
  std::vector<AnswerCase> cases;
  auto send_close = [](Bytes bytes) {
    return [bytes](int fd) {
      SendAll(fd, bytes);
      StaysSilentAndOpen(fd, 50);
      close(fd);
    };
  };
  const Bytes valid = Answer("conf", "bob", "alice");
  cases.push_back({"valid", send_close(valid), {1}, false, 1});
  cases.push_back({"valid_bytewise",
                   [valid](int fd) {
                     SendBytewise(fd, valid);
                     StaysSilentAndOpen(fd, 50);
                     close(fd);
                   },
                   {1}});
  {
    Bytes extra = valid;
    extra.insert(extra.end(), 100, 0x61);
    cases.push_back({"valid_extra_bytes", send_close(extra), {1}});
  }
  cases.push_back({"no_container", send_close(kEmptyRecord), {1}, false, 0});
  cases.push_back({"empty_names", send_close(Answer("", "", "")), {1}});
  cases.push_back({"other_conference", send_close(Answer("conf2", "bob", "alice")), {10}});
  cases.push_back({"other_to", send_close(Answer("conf", "bob", "carol")), {11}});
  cases.push_back({"other_from", send_close(Answer("conf", "carol", "alice")), {11}});
  cases.push_back({"prefix_of_names", send_close(Answer("con", "bo", "alic")), {10}});
  cases.push_back({"body_not_container", send_close(PingRecord(Bytes(40, 0x7F))), {1}, false, 0});
  // A record larger than the first 512-byte buffer: it must grow, not overflow.
  cases.push_back({"largest_record", send_close(PingRecord(Bytes(8192, 0x11))), {1}, false, 0});
  {
    Bytes bad = valid;
    SetWord(bad, Word(bad) ^ (1u << 5));
    cases.push_back({"bad_head_cksum", send_close(bad), {3}});
    Bytes bad_body = valid;
    bad_body[20] ^= 0x04;
    cases.push_back({"bad_body_cksum", send_close(bad_body), {6}});
  }
  cases.push_back({"other_primary",
                   send_close(MakeRecord("_HX_PONG_", 1,
                                         PingBody("conf", "bob", "alice", "AnsBodyVersion", 1))),
                   {4}});
  cases.push_back({"check_srv_answer", send_close(CheckSrvAnswer(1, 1)), {4}});
  cases.push_back({"garbage", send_close(Bytes(64, 0xA5)), {3}});
  for (uint32_t raw : {0u, 0x7FFFFFFFu, 0xFFFFFFFFu, 0x10000000u}) {
    cases.push_back({"lying_container_" + std::to_string(raw), send_close(PingRecord(LyingContainer(raw))),
                     {1}});
  }
  cases.push_back({"wrong_value_type",
                   send_close(PingRecord(PingBody("conf", "bob", "alice", "To", 1))), {1}, false, 0});
  cases.push_back({"request_key_in_answer",
                   send_close(PingRecord(PingBody("conf", "bob", "alice", "ReqBodyVersion", 1))),
                   {1}, false, 0});
  cases.push_back({"close_without_answer", [](int fd) { close(fd); }, {2}, true});
  cases.push_back({"reset_without_answer", [](int fd) { ResetClose(fd); }, {2, 7}, true});
  // A head that promises 8,192 body bytes; 30 come, then the end.
  cases.push_back({"lying_length_then_close",
                   send_close(MakeLyingRecord("_HX_PING_", 1, 8192, Bytes(30, 3))), {2}, true});
  for (size_t cut = 1; cut < valid.size(); cut += (cut < 24 ? 1 : 7)) {
    Bytes part(valid.begin(), valid.begin() + static_cast<std::ptrdiff_t>(cut));
    cases.push_back({"cut_" + std::to_string(cut), send_close(part), {2}, true});
  }
  return cases;
}

TEST_F(HostilePingTest, ConnectingSideJudgesEveryAnswer) {
  for (const AnswerCase& row : AnswerCases()) {
    SCOPED_TRACE(row.name);
    hx::hostile::LoopbackListener peer;
    Outcome& outcome = NewOutcome();
    ASSERT_TRUE(StartPing(outcome, peer.port()));
    const int fd = peer.Accept();
    ASSERT_NE(fd, -1);
    ExpectRequest(fd, true);
    row.serve(fd);
    const int second = peer.Accept(row.retry ? 3000 : 100);
    if (row.retry) {
      EXPECT_NE(second, -1) << "no second request without a container";
      if (second != -1) {
        ExpectRequest(second, false);
        close(second);
      }
    } else {
      EXPECT_EQ(second, -1) << "an unexpected second connection";
      if (second != -1) close(second);
    }
    ASSERT_TRUE(outcome.WaitDone(3000)) << "no done signal";
    std::lock_guard<std::mutex> lock(outcome.mutex);
    EXPECT_EQ(outcome.dones, 1);
    EXPECT_TRUE(row.results.count(outcome.result) == 1) << "result " << outcome.result;
    EXPECT_EQ(outcome.trialId, 5);
    if (outcome.result == 1) EXPECT_EQ(outcome.remotePort, peer.port());
    if (row.contentVersion != -2) EXPECT_EQ(outcome.contentVersion, row.contentVersion);
  }
}

TEST_F(HostilePingTest, RetryWithoutContainerCanSucceed) {
  hx::hostile::LoopbackListener peer;
  Outcome& outcome = NewOutcome();
  ASSERT_TRUE(StartPing(outcome, peer.port()));
  const int first = peer.Accept();
  ASSERT_NE(first, -1);
  ExpectRequest(first, true);
  close(first);
  const int second = peer.Accept(3000);
  ASSERT_NE(second, -1);
  ExpectRequest(second, false);
  ASSERT_TRUE(hx::hostile::SendAll(second, kEmptyRecord));
  ASSERT_TRUE(outcome.WaitDone(3000));
  std::lock_guard<std::mutex> lock(outcome.mutex);
  EXPECT_EQ(outcome.result, 1);
  EXPECT_EQ(outcome.contentVersion, 0);
  close(second);
}

TEST_F(HostilePingTest, SilentPeerLeavesThePingWaitingUntilStopped) {
  hx::hostile::LoopbackListener peer;
  Outcome& outcome = NewOutcome();
  auto* ping =
      HXZServer::implantNative<HXZeroHandshakeSimple>(-1, AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ping->fireZeroHSDone.Connect(&outcome, &Outcome::OnDone);
  HXIpSockTarget target{"127.0.0.1", peer.port()};
  ASSERT_TRUE(ping->Ping(5, "conf", "alice", "bob", target));
  const int fd = peer.Accept();
  ASSERT_NE(fd, -1);
  ExpectRequest(fd, true);
  EXPECT_FALSE(outcome.WaitDone(200));
  EXPECT_EQ(ping->GetZeroHSState(), HXZeroHandshakeSimple::stateWaitingAnswer);
  OnLoop([&] { ping->Stop(); });
  EXPECT_TRUE(hx::hostile::WaitClosed(fd, 2000));
  EXPECT_FALSE(outcome.WaitDone(100));
  close(fd);
}

// The answer to the largest request carries the same names: it must still be one sound record,
// whatever size its container comes to.
TEST_F(HostilePingTest, AnswerToTheLargestRequestIsASoundRecord) {
  const std::string conference = LargestConference();
  const Bytes request = PingRecord(hx::hostile::PingBody(conference, "alice", "bob", "ReqBodyVersion", 1));
  ASSERT_GT(request.size(), 7000u);
  hx::hostile::LoopbackListener listener;
  const int peer = hx::hostile::ConnectLoopback(listener.port());
  Outcome& outcome = NewOutcome();
  AcceptTaker& taker = NewTaker();
  taker.outcome = &outcome;
  const int accepted = listener.Accept();
  ASSERT_NE(accepted, -1);
  hx::hostile::SetNonBlocking(accepted);
  HXZANullDataHandler raw(accepted, AF_INET, SOCK_STREAM, IPPROTO_TCP);
  auto* probe = HXZServer::inheritNative<HXZTcpProtoProbe>(&raw);
  ASSERT_NE(probe, nullptr);
  probe->fireProbePing.Connect(&taker, &AcceptTaker::OnPing);
  ASSERT_TRUE(probe->start(5000));
  ASSERT_TRUE(hx::hostile::SendAll(peer, request));
  // Everything the client sends before it closes must be exactly one record, and it closes.
  const Bytes got = hx::hostile::ReadExactly(peer, 16384, 1500);
  EXPECT_TRUE(outcome.WaitDone(100)) << "no done signal after the answer";
  EXPECT_TRUE(hx::hostile::WaitClosed(peer, 500)) << "left open after the answer";
  const auto answer = hx::hostile::ParseRecord(got);
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->raw.size(), got.size()) << "bytes beyond the record's length field";
  EXPECT_TRUE(answer->headOk);
  EXPECT_TRUE(answer->bodyOk);
  EXPECT_EQ(answer->version, 1u);
  if (answer->body.size() > 1) {
    const auto names = hx::hostile::ReadPingBody(answer->body);
    ASSERT_TRUE(names.has_value());
    EXPECT_EQ(names->conference, conference);
    EXPECT_EQ(names->to, "alice");
  }
  close(peer);
}

// A conference name too long for one record: the request that goes out is still a sound record.
TEST_F(HostilePingTest, RequestForAnOverlongConferenceIsASoundRecord) {
  hx::hostile::LoopbackListener peer;
  Outcome& outcome = NewOutcome();
  auto* ping =
      HXZServer::implantNative<HXZeroHandshakeSimple>(-1, AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ping->fireZeroHSDone.Connect(&outcome, &Outcome::OnDone);
  HXIpSockTarget target{"127.0.0.1", peer.port()};
  const std::string conference = Noise(9000);
  ASSERT_TRUE(ping->Ping(5, conference, "alice", "bob", target));
  const int fd = peer.Accept();
  ASSERT_NE(fd, -1);
  const Bytes head = hx::hostile::ReadExactly(fd, 20, 2000);
  ASSERT_EQ(head.size(), 20u);
  const size_t body = hx::hostile::LengthField(hx::hostile::Word(head)) + 1;
  Bytes record = head;
  const Bytes rest = hx::hostile::ReadExactly(fd, body, 2000);
  record.insert(record.end(), rest.begin(), rest.end());
  // Nothing may follow the record while the client waits for the answer.
  EXPECT_TRUE(hx::hostile::StaysSilentAndOpen(fd, 200)) << "bytes beyond the length field";
  const auto request = hx::hostile::ParseRecord(record);
  ASSERT_TRUE(request.has_value());
  EXPECT_TRUE(request->headOk);
  EXPECT_TRUE(request->bodyOk);
  EXPECT_EQ(request->primary, "_HX_PING_");
  EXPECT_EQ(request->version, 1u);
  if (request->body.size() > 1) {
    const auto names = hx::hostile::ReadPingBody(request->body);
    ASSERT_TRUE(names.has_value()) << "the body is no container";
    EXPECT_EQ(names->conference, conference);
  }
  ASSERT_TRUE(hx::hostile::SendAll(fd, Answer("", "", "")));
  EXPECT_TRUE(outcome.WaitDone(3000));
  close(fd);
}

struct RequestCase {
  std::string name;
  std::function<void(int fd)> send;
  bool answered;
  bool emptyAnswer = false;  // the answer carries no container
  bool refuse = false;
  bool answeredOrClosed = false;
};

std::vector<RequestCase> RequestCases() {
  using namespace hx::hostile;
  std::vector<RequestCase> cases;
  auto send = [](Bytes bytes) { return [bytes](int fd) { SendAll(fd, bytes); }; };
  auto send_end = [](Bytes bytes) {
    return [bytes](int fd) {
      SendAll(fd, bytes);
      shutdown(fd, SHUT_WR);
    };
  };
  const Bytes valid = PingRecord(PingBody("conf", "alice", "bob", "ReqBodyVersion", 1));
  cases.push_back({"valid", send(valid), true});
  cases.push_back({"valid_bytewise", [valid](int fd) { SendBytewise(fd, valid); }, true});
  {
    Bytes extra = valid;
    extra.insert(extra.end(), 60, 0x20);
    cases.push_back({"valid_extra_bytes", send(extra), true, false, false, true});
  }
  cases.push_back({"refused", send(valid), false, false, true});
  cases.push_back({"empty_request", send(kEmptyRecord), true, true});
  cases.push_back({"answer_key_in_request",
                   send(PingRecord(PingBody("conf", "alice", "bob", "AnsBodyVersion", 1))), true,
                   true});
  cases.push_back({"body_not_container", send(PingRecord(Bytes(40, 0x7F))), true, true});
  for (uint32_t raw : {0u, 0x7FFFFFFFu, 0xFFFFFFFFu, 0x10000000u}) {
    cases.push_back({"lying_container_" + std::to_string(raw), send(PingRecord(LyingContainer(raw))),
                     true, true});
  }
  cases.push_back({"wrong_value_type",
                   send(PingRecord(PingBody("conf", "alice", "bob", "From", 1))), true, true});
  cases.push_back({"unknown_key",
                   send(PingRecord(PingBody("conf", "alice", "bob", "Extra", 1))), true, true});
  cases.push_back({"largest_record", send(PingRecord(Bytes(8192, 0x11))), true, true});
  {
    Bytes bad_body = valid;
    bad_body[20] ^= 0x04;
    cases.push_back({"bad_body_cksum", send(bad_body), false});
  }
  cases.push_back({"lying_length_then_end",
                   send_end(MakeLyingRecord("_HX_PING_", 1, 8192, Bytes(30, 3))), false});
  for (size_t cut = 21; cut < valid.size(); cut += (cut < 30 ? 1 : 9)) {
    Bytes part(valid.begin(), valid.begin() + static_cast<std::ptrdiff_t>(cut));
    cases.push_back({"cut_" + std::to_string(cut), send_end(part), false});
  }
  cases.push_back({"cut_30_reset", [valid](int fd) {
                     SendAll(fd, Bytes(valid.begin(), valid.begin() + 30));
                     std::this_thread::sleep_for(std::chrono::milliseconds(20));
                     ResetClose(fd);
                   },
                   false});
  return cases;
}

TEST_F(HostilePingTest, AcceptingSideJudgesEveryRequest) {
  for (const RequestCase& row : RequestCases()) {
    SCOPED_TRACE(row.name);
    hx::hostile::LoopbackListener listener;
    const int peer = hx::hostile::ConnectLoopback(listener.port());
    ASSERT_NE(peer, -1);
    Outcome& outcome = NewOutcome();
    outcome.refuse = row.refuse;
    AcceptTaker& taker = NewTaker();
    taker.outcome = &outcome;
    const int accepted = listener.Accept();
    ASSERT_NE(accepted, -1);
    hx::hostile::SetNonBlocking(accepted);
    HXZANullDataHandler raw(accepted, AF_INET, SOCK_STREAM, IPPROTO_TCP);
    auto* probe = HXZServer::inheritNative<HXZTcpProtoProbe>(&raw);
    ASSERT_NE(probe, nullptr);
    probe->fireProbePing.Connect(&taker, &AcceptTaker::OnPing);
    ASSERT_TRUE(probe->start(5000));
    const bool reset = row.name.find("reset") != std::string::npos;
    row.send(peer);
    if (reset) {
      EXPECT_FALSE(outcome.WaitDone(300));
      continue;
    }
    if (!row.answered) {
      const Bytes answer = hx::hostile::ReadExactly(peer, 21, 2000);
      EXPECT_TRUE(answer.empty()) << "answered";
      EXPECT_TRUE(hx::hostile::WaitClosed(peer, 2000));
      EXPECT_FALSE(outcome.WaitDone(50)) << "done signal on the accepting side";
      EXPECT_EQ(outcome.wants.load(), row.refuse ? 1 : 0);
      close(peer);
      continue;
    }
    if (row.answeredOrClosed) {
      // Bytes after the request reach a side that is busy answering: it may answer first, or
      // stop without answering; either way no half record goes out and the connection ends.
      const Bytes got = hx::hostile::ReadExactly(peer, 4096, 1000);
      if (!got.empty()) {
        const auto answer = hx::hostile::ParseRecord(got);
        EXPECT_TRUE(answer.has_value() && answer->headOk && answer->bodyOk);
      }
      EXPECT_TRUE(hx::hostile::WaitClosed(peer, 2000));
      close(peer);
      continue;
    }
    const auto answer = hx::hostile::ReadRecord(peer, 3000);
    EXPECT_TRUE(answer.has_value())
        << "no answer; accept requests " << outcome.wants.load() << ", closed "
        << hx::hostile::WaitClosed(peer, 500) << ", done " << outcome.WaitDone(10);
    if (!answer) {
      close(peer);
      continue;
    }
    EXPECT_EQ(answer->primary, "_HX_PING_");
    EXPECT_EQ(answer->version, 1u);
    EXPECT_TRUE(answer->headOk);
    EXPECT_TRUE(answer->bodyOk);
    if (row.emptyAnswer) {
      EXPECT_EQ(answer->raw.size(), 21u);
      EXPECT_EQ(answer->body, Bytes{0});
    } else {
      const auto names = hx::hostile::ReadPingBody(answer->body);
      ASSERT_TRUE(names.has_value());
      EXPECT_EQ(answer->body.back(), 0);
      EXPECT_EQ(names->conference, "conf");
      EXPECT_EQ(names->from, "bob");
      EXPECT_EQ(names->to, "alice");
      EXPECT_EQ(names->ansVersion, std::optional<int32_t>(1));
      EXPECT_FALSE(names->reqVersion.has_value());
    }
    EXPECT_EQ(outcome.wants.load(), 1);
    EXPECT_TRUE(outcome.WaitDone(2000));
    {
      std::lock_guard<std::mutex> lock(outcome.mutex);
      EXPECT_EQ(outcome.result, 1);
      EXPECT_EQ(outcome.trialId, -1);
    }
    EXPECT_TRUE(hx::hostile::WaitClosed(peer, 2000));
    close(peer);
  }
}

}  // namespace
