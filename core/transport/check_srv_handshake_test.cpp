// The server check ping against the fake conferencing server on loopback, which answers
// "CHECK_SRV" with the end-point count a test sets, whole or in pieces, spoilt, short or not at
// all; host names come from dnsmasq.
#include "core/transport/check_srv_handshake.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/net/loop/zserver_test_util.h"
#include "core/net/socket/native_socket_helper.h"
#include "testing/dnsmasq_server.h"
#include "testing/fake_server/fake_server.h"

namespace hx::testing {
namespace {

using Clock = std::chrono::steady_clock;

struct CheckResult {
  int id = 0;
  std::string host;
  std::string resolved;
  unsigned short port = 0;
  unsigned long long score = 0;
  std::string domain;
  std::string serverId;
  bool callback = false;
  Clock::time_point at;
};

class Results {
 public:
  void OnResult(int id, const char* host, const char* resolved, unsigned short port,
                unsigned long long score, const char* domain, const char* serverId, bool callback) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_results.push_back(
        CheckResult{id, host, resolved, port, score, domain, serverId, callback, Clock::now()});
  }
  std::vector<CheckResult> all() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_results;
  }
  bool WaitForOne(int timeout_ms) const {
    return WaitFor([&] { return !all().empty(); }, timeout_ms);
  }

 private:
  mutable std::mutex m_mutex;
  std::vector<CheckResult> m_results;
};

// Counts its own destruction, which the loop does once the check ended.
class CountedCheck : public HXCheckSrvHandshakeSimple {
 public:
  CountedCheck(HXZServer* loop, std::atomic<int>* destroyed)
      : HXCheckSrvHandshakeSimple(new HXZNativeSocketHelper(loop), 0, 0, 0, 0),
        m_destroyed(destroyed) {}
  ~CountedCheck() override { m_destroyed->fetch_add(1); }

 private:
  std::atomic<int>* m_destroyed;
};

class CheckPing : public LoopFixture {
 protected:
  void SetUp() override {
    LoopFixture::SetUp();
    ASSERT_TRUE(server.Start());
  }
  void TearDown() override {
    // Every check must have ended and been deleted by the loop before the results go.
    EXPECT_TRUE(WaitFor([&] { return destroyed.load() == started; }, 20000));
    LoopFixture::TearDown();
    HXCheckSrvHandshakeSimple::SetCheckLimitMs(HXCheckSrvHandshakeSimple::kDefaultCheckLimitMs);
    EXPECT_TRUE(server.Violations().empty()) << server.Violations().front();
  }

  void Answer(const CheckSrvAnswer& answer) {
    ConnectionSettings settings;
    settings.check_srv = answer;
    server.SetConnectionSettings(settings);
  }

  // Starts a check of `host` at the fake server's port; the time it started.
  Clock::time_point Start(const std::string& host, int id = 7) {
    auto* check = new CountedCheck(loop, &destroyed);
    check->result.Connect(&results, &Results::OnResult);
    ++started;
    const Clock::time_point at = Clock::now();
    EXPECT_TRUE(check->Ping(id, "d1.example", "s1#as", host, server.port(), true));
    return at;
  }

  static int64_t Ms(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
  }

  FakeServer server;
  Results results;
  std::atomic<int> destroyed{0};
  int started = 0;
};

TEST_F(CheckPing, ScoreIsTheRoundTripPlusOneMsPerFiftyEndPoints) {
  for (uint32_t end_points : {49u, 50u, 1000u}) {
    Results one;
    CheckSrvAnswer answer;
    answer.end_points = end_points;
    answer.cpu_load = 77;
    Answer(answer);
    auto* check = new CountedCheck(loop, &destroyed);
    check->result.Connect(&one, &Results::OnResult);
    ++started;
    const Clock::time_point at = Clock::now();
    ASSERT_TRUE(check->Ping(3, "d1.example", "s1#as", "127.0.0.1", server.port(), true));
    ASSERT_TRUE(one.WaitForOne(10000)) << end_points;
    const CheckResult result = one.all().front();
    // The round trip lies between 0 and the time the test waited.
    const int64_t bonus = end_points / 50;
    EXPECT_GE(static_cast<int64_t>(result.score), bonus) << end_points;
    // (+1: the two clocks round their milliseconds apart)
    EXPECT_LE(static_cast<int64_t>(result.score), bonus + Ms(at, result.at) + 1) << end_points;
    EXPECT_EQ(result.id, 3);
    EXPECT_EQ(result.host, "127.0.0.1");
    EXPECT_EQ(result.resolved, "127.0.0.1");  // a numeric host is its own address
    EXPECT_EQ(result.port, server.port());
    EXPECT_EQ(result.domain, "d1.example");
    EXPECT_EQ(result.serverId, "s1#as");
    EXPECT_TRUE(result.callback);
  }
  EXPECT_EQ(server.Connections().size(), 3u);
  for (const auto& connection : server.Connections()) EXPECT_EQ(connection->check_requests(), 1);
}

TEST_F(CheckPing, AnswerInPiecesIsGatheredAndTimedAtItsLastByte) {
  struct Case {
    std::vector<size_t> pieces;
    int gap_ms;
    int64_t least_ms;  // the pauses before the last piece
  };
  const Case cases[] = {{std::vector<size_t>(32, 1), 15, 32 * 15}, {{20}, 400, 400}};
  for (const auto& c : cases) {
    Results one;
    CheckSrvAnswer answer;
    answer.end_points = 100;
    answer.pieces = c.pieces;
    answer.piece_gap = std::chrono::milliseconds(c.gap_ms);
    Answer(answer);
    auto* check = new CountedCheck(loop, &destroyed);
    check->result.Connect(&one, &Results::OnResult);
    ++started;
    const Clock::time_point at = Clock::now();
    ASSERT_TRUE(check->Ping(1, "d", "s#as", "127.0.0.1", server.port(), false));
    ASSERT_TRUE(one.WaitForOne(10000)) << c.pieces.size() << " pieces";
    const CheckResult result = one.all().front();
    EXPECT_GE(static_cast<int64_t>(result.score), c.least_ms + 2);
    // 100 end points add 2 ms; +1: the two clocks round their milliseconds apart.
    EXPECT_LE(static_cast<int64_t>(result.score), Ms(at, result.at) + 2 + 1);
    EXPECT_FALSE(result.callback);
  }
}

TEST_F(CheckPing, SpoiltAnswersEndTheCheckWithoutSignal) {
  for (auto kind : {CheckSrvAnswer::Kind::kShort, CheckSrvAnswer::Kind::kBadChecksum}) {
    CheckSrvAnswer answer;
    answer.kind = kind;
    answer.end_points = 60;
    Answer(answer);
    const int before = destroyed.load();
    Start("127.0.0.1");
    EXPECT_TRUE(WaitFor([&] { return destroyed.load() == before + 1; }, 10000))
        << static_cast<int>(kind);
  }
  EXPECT_TRUE(results.all().empty());
}

TEST_F(CheckPing, SilentHostIsClosedAtTheCheckLimit) {
  HXCheckSrvHandshakeSimple::SetCheckLimitMs(300);
  CheckSrvAnswer answer;
  answer.kind = CheckSrvAnswer::Kind::kSilent;
  Answer(answer);
  const Clock::time_point at = Start("127.0.0.1");
  auto connection = server.WaitForConnection(5000);
  ASSERT_NE(connection, nullptr);
  ASSERT_TRUE(WaitFor([&] { return connection->check_requests() == 1; }, 5000));
  // The client closes its socket: the fake server sees the connection end.
  EXPECT_TRUE(WaitFor([&] { return connection->phase() == ConnectionPhase::kClosed; }, 5000));
  EXPECT_GE(Ms(at, Clock::now()), 280);
  EXPECT_TRUE(WaitFor([&] { return destroyed.load() == 1; }, 5000));
  EXPECT_TRUE(results.all().empty());
}

TEST_F(CheckPing, ReadableBeforeTheConnectCompletedIsIgnored) {
  CheckSrvAnswer answer;
  answer.end_points = 500;
  Answer(answer);
  // On the loop's thread the connect cannot complete while this job runs.
  OnLoop([&] {
    auto* check = new CountedCheck(loop, &destroyed);
    check->result.Connect(&results, &Results::OnResult);
    ++started;
    ASSERT_TRUE(check->Ping(9, "d", "s#as", "127.0.0.1", server.port(), true));
    EXPECT_EQ(check->OnReadyRecvImp(check, check), 0);
  });
  ASSERT_TRUE(results.WaitForOne(10000));
  EXPECT_GE(results.all().front().score, 10u);
}

TEST_F(CheckPing, ConnectFailureGivesNoSignal) {
  const uint16_t closed_port = FreeLoopbackPort(SOCK_STREAM);
  auto* check = new CountedCheck(loop, &destroyed);
  check->result.Connect(&results, &Results::OnResult);
  ++started;
  check->Ping(1, "d", "s#as", "127.0.0.1", closed_port, true);
  EXPECT_TRUE(WaitFor([&] { return destroyed.load() == 1; }, 10000));
  EXPECT_TRUE(results.all().empty());
}

TEST_F(CheckPing, HostNameAddressIsAskedAgainAtTheAnswer) {
  HX_REQUIRE_TOOL("dnsmasq", dnsmasq);
  DnsmasqServer names(
      dnsmasq, {"--local=/hx.test/", "--local-ttl=120", "--host-record=check.hx.test,127.0.0.1"});
  ASSERT_TRUE(names.ready());
  ASSERT_TRUE(loop->Rebind({{"127.0.0.1", names.port()}}));
  CheckSrvAnswer answer;
  answer.end_points = 50;
  answer.delay = std::chrono::milliseconds(300);
  Answer(answer);
  Start("check.hx.test");  // not cached yet: the connect goes to the name
  ASSERT_TRUE(results.WaitForOne(10000));
  EXPECT_EQ(results.all().front().host, "check.hx.test");
  EXPECT_EQ(results.all().front().resolved, "127.0.0.1");
}

TEST(CheckPingRecord, PrimaryField) {
  EXPECT_TRUE(HXCheckSrvHandshakeSimple::CheckPrimaryField("CHECK_SRV"));
  EXPECT_TRUE(HXCheckSrvHandshakeSimple::CheckPrimaryField("CHECK_SRV\0junk"));
  EXPECT_FALSE(HXCheckSrvHandshakeSimple::CheckPrimaryField("CHECK_SRW"));
  EXPECT_FALSE(HXCheckSrvHandshakeSimple::CheckPrimaryField("_HX_PING_"));
  EXPECT_FALSE(HXCheckSrvHandshakeSimple::CheckPrimaryField(nullptr));
}

}  // namespace
}  // namespace hx::testing
