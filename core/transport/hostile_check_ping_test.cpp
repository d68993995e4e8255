// The server check ping against hostile servers on loopback. Each server is a plain blocking
// socket that reads the 33-byte "CHECK_SRV" request, checks it byte by byte, and then answers as a
// table row says: right, cut at every length, a byte at a time, with extra bytes, with lying
// lengths and checksums, with other primary fields, with garbage, with a reset, or not at all.
// Only a valid answer may emit the result signal; every check must end (the object deleted on
// the loop) within its check limit, whatever the server does.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/net/loop/zserver_test_util.h"
#include "core/transport/check_srv_handshake.h"
#include "testing/hostile_peers/blocking_peer.h"

namespace {

using hx::hostile::Bytes;

// Counts its own deletion, so that a test sees the check end.
class CountedCheck : public HXCheckSrvHandshakeSimple {
 public:
  CountedCheck(HXZASocketHelper* helper, int a, int b, int c, int d)
      : HXCheckSrvHandshakeSimple(helper, a, b, c, d) {}
  ~CountedCheck() override {
    if (destroyed != nullptr) destroyed->fetch_add(1);
  }
  std::atomic<int>* destroyed = nullptr;
};

struct Outcome {
  void OnResult(int id, const char* host, const char* resolved, unsigned short port,
                unsigned long long score, const char* domain, const char* server, bool callback) {
    std::lock_guard<std::mutex> lock(mutex);
    signals.push_back({id, host, resolved, port, score, domain, server, callback});
  }
  struct Signal {
    int id;
    std::string host, resolved;
    unsigned short port;
    unsigned long long score;
    std::string domain, server;
    bool callback;
  };
  std::vector<Signal> Signals() {
    std::lock_guard<std::mutex> lock(mutex);
    return signals;
  }
  bool WaitDestroyed(int limit_ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (destroyed.load() == 0 && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return destroyed.load() == 1;
  }
  std::mutex mutex;
  std::vector<Signal> signals;
  std::atomic<int> destroyed{0};
};

constexpr uint32_t kLimitMs = 400;

class HostileCheckPingTest : public hx::testing::LoopFixture {
 protected:
  void SetUp() override {
    LoopFixture::SetUp();
    HXCheckSrvHandshakeSimple::SetCheckLimitMs(kLimitMs);
  }
  void TearDown() override {
    LoopFixture::TearDown();
    HXCheckSrvHandshakeSimple::SetCheckLimitMs(HXCheckSrvHandshakeSimple::kDefaultCheckLimitMs);
  }

  // Outcomes outlive the loop, so that a failing row cannot leave a check pointing at freed memory.
  Outcome& NewOutcome() {
    outcomes.push_back(std::make_unique<Outcome>());
    return *outcomes.back();
  }
  std::vector<std::unique_ptr<Outcome>> outcomes;

  // Starts a check against `port`; the outcome lives in `outcome`.
  bool StartCheck(Outcome& outcome, uint16_t port) {
    auto* check = HXZServer::implantNative<CountedCheck>(-1, AF_INET, SOCK_STREAM, IPPROTO_TCP);
    check->destroyed = &outcome.destroyed;
    check->result.Connect(&outcome, &Outcome::OnResult);
    return check->Ping(7, "dom.example", "srv-1", "127.0.0.1", port, true);
  }

  // Accepts the check's connection and reads its request, checking every byte of it.
  int AcceptAndReadRequest(hx::hostile::LoopbackListener& peer) {
    const int fd = peer.Accept();
    EXPECT_NE(fd, -1);
    if (fd == -1) return -1;
    const Bytes request = hx::hostile::ReadExactly(fd, 33);
    EXPECT_EQ(request.size(), 33u);
    auto record = hx::hostile::ParseRecord(request);
    EXPECT_TRUE(record.has_value());
    if (record) {
      EXPECT_EQ(record->primary, "CHECK_SRV");
      EXPECT_EQ(record->version, 1u);
      EXPECT_EQ(record->body.size(), 13u);
      EXPECT_TRUE(record->headOk);
      EXPECT_TRUE(record->bodyOk);
      EXPECT_EQ(record->body, Bytes(13, 0));
      EXPECT_EQ(Bytes(request.begin() + 9, request.begin() + 16), Bytes(7, 0));
    }
    return fd;
  }
};

// Answers with one sealed record and variations of it.
Bytes WithWord(Bytes record, uint32_t xor_bits) {
  hx::hostile::SetWord(record, hx::hostile::Word(record) ^ xor_bits);
  return record;
}

struct AnswerCase {
  std::string name;
  std::function<void(int fd)> serve;  // after the request was read; closes the descriptor
  bool signal;
  uint32_t epCount = 0;
};

std::vector<AnswerCase> AnswerCases() {
  using namespace hx::hostile;
  std::vector<AnswerCase> cases;
  auto send_close = [](Bytes bytes) {
    return [bytes](int fd) {
      SendAll(fd, bytes);
      // Lets the check read before the end of the stream arrives.
      StaysSilentAndOpen(fd, 30);
      close(fd);
    };
  };
  cases.push_back({"valid", send_close(CheckSrvAnswer(49, 3)), true, 49});
  cases.push_back({"valid_many_endpoints", send_close(CheckSrvAnswer(1000, 3)), true, 1000});
  cases.push_back({"bytewise",
                   [](int fd) {
                     SendBytewise(fd, CheckSrvAnswer(50, 1));
                     StaysSilentAndOpen(fd, 30);
                     close(fd);
                   },
                   true, 50});
  {
    Bytes extra = CheckSrvAnswer(51, 1);
    extra.insert(extra.end(), 40, 0xEE);
    cases.push_back({"extra_bytes_after_answer", send_close(extra), true, 51});
  }
  {
    // Offset 21 is not sampled by the body checksum: still a valid answer, count 51 + 256.
    Bytes unsampled = CheckSrvAnswer(51, 1);
    unsampled[21] = 1;
    cases.push_back({"unsampled_byte_changed", send_close(unsampled), true, 51 + 256});
  }
  cases.push_back({"bad_head_cksum", send_close(WithWord(CheckSrvAnswer(1, 1), 1u << 5)), false});
  cases.push_back({"bad_body_cksum", send_close(WithWord(CheckSrvAnswer(1, 1), 1u << 13)), false});
  {
    Bytes sampled = CheckSrvAnswer(1, 1);
    sampled[20] ^= 0x01;  // sampled: the body checksum no longer fits
    cases.push_back({"sampled_byte_changed", send_close(sampled), false});
  }
  cases.push_back({"other_primary", send_close(CheckSrvAnswer(1, 1, "CHECK_SRX")), false});
  cases.push_back({"ping_primary", send_close(CheckSrvAnswer(1, 1, "_HX_PING_")), false});
  cases.push_back(
      {"primary_with_tail", send_close(CheckSrvAnswer(1, 1, "CHECK_SRVXXXXXXX")), false});
  {
    // The head claims a body of 8,192 bytes while 13 follow: no check may read past what came.
    Bytes body(13, 0);
    body[0] = 60;
    cases.push_back({"lying_length_max",
                     send_close(MakeLyingRecord("CHECK_SRV", 1, 8192, body)), false});
    cases.push_back({"lying_length_max_open",
                     [body](int fd) {
                       SendAll(fd, MakeLyingRecord("CHECK_SRV", 1, 8192, body));
                       StaysSilentAndOpen(fd, kLimitMs + 300);
                       close(fd);
                     },
                     false});
  }
  cases.push_back({"garbage", send_close(Bytes(33, 0x5A)), false});
  cases.push_back({"silence", [](int fd) {
                     StaysSilentAndOpen(fd, kLimitMs + 300);
                     close(fd);
                   },
                   false});
  cases.push_back({"reset_after_request", [](int fd) { ResetClose(fd); }, false});
  cases.push_back({"close_after_request", [](int fd) { close(fd); }, false});
  for (size_t cut = 1; cut < 33; ++cut) {
    Bytes answer = CheckSrvAnswer(1, 1);
    answer.resize(cut);
    cases.push_back({"cut_" + std::to_string(cut) + "_close", send_close(answer), false});
  }
  for (size_t cut : {1u, 20u, 21u, 32u}) {
    Bytes answer = CheckSrvAnswer(1, 1);
    answer.resize(cut);
    cases.push_back({"cut_" + std::to_string(cut) + "_silent",
                     [answer](int fd) {
                       SendAll(fd, answer);
                       StaysSilentAndOpen(fd, kLimitMs + 300);
                       close(fd);
                     },
                     false});
    cases.push_back({"cut_" + std::to_string(cut) + "_reset", [answer](int fd) {
                       SendAll(fd, answer);
                       StaysSilentAndOpen(fd, 20);
                       ResetClose(fd);
                     },
                     false});
  }
  return cases;
}

TEST_F(HostileCheckPingTest, EveryAnswerEndsTheCheckAndOnlyValidOnesSignal) {
  for (const AnswerCase& row : AnswerCases()) {
    SCOPED_TRACE(row.name);
    hx::hostile::LoopbackListener peer;
    Outcome* outcome = &NewOutcome();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(StartCheck(*outcome, peer.port()));
    const int fd = AcceptAndReadRequest(peer);
    ASSERT_NE(fd, -1);
    row.serve(fd);
    ASSERT_TRUE(outcome->WaitDestroyed(kLimitMs + 2000)) << "the check did not end";
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
    EXPECT_LT(elapsed, kLimitMs + 1500);
    const auto signals = outcome->Signals();
    if (!row.signal) {
      EXPECT_TRUE(signals.empty());
      continue;
    }
    ASSERT_EQ(signals.size(), 1u);
    const auto& s = signals[0];
    EXPECT_EQ(s.id, 7);
    EXPECT_EQ(s.host, "127.0.0.1");
    EXPECT_EQ(s.resolved, "127.0.0.1");
    EXPECT_EQ(s.port, peer.port());
    EXPECT_EQ(s.domain, "dom.example");
    EXPECT_EQ(s.server, "srv-1");
    EXPECT_TRUE(s.callback);
    // The score is the round trip plus 1 ms per 50 end points; the round trip is short here.
    EXPECT_GE(s.score, row.epCount / 50);
    EXPECT_LT(s.score, row.epCount / 50 + 1000);
  }
}

TEST_F(HostileCheckPingTest, RefusedConnectionEndsWithoutSignal) {
  uint16_t port = 0;
  {
    hx::hostile::LoopbackListener gone;
    port = gone.port();
  }
  Outcome& outcome = NewOutcome();
  if (StartCheck(outcome, port)) {
    ASSERT_TRUE(outcome.WaitDestroyed(kLimitMs + 2000));
  }
  EXPECT_TRUE(outcome.Signals().empty());
}

}  // namespace
