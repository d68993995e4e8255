// A client socket with its proxy layer against a hostile HTTP proxy of the test's own
// (testing/hostile_proxy): answers cut at every offset and closed or reset, answers a byte at a
// time, oversized and endless status lines, headers and bodies, lying Content-Length values,
// chunked bodies, garbage and NUL bytes, malformed "Proxy-Authenticate" challenges, 407 loops,
// silence, and tunnel bytes right behind the 200. The target is 192.0.2.7:443 (never local), so
// the connect always goes through the proxy. Each attempt must end as the answer demands: the
// socket's owner sees it connected (writable) or failed, within a second or two, and never both.

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/net/loop/zserver_test_util.h"
#include "core/net/proxy/proxy_list.h"
#include "core/net/socket/common_socket.h"
#include "testing/hostile_proxy/hostile_http_proxy.h"
#include "testing/proxy_auth_test_helper.h"

namespace hx::testing {
namespace {

using namespace std::string_literals;

const char kTarget[] = "192.0.2.7:443";
const std::string kConnectRequest =
    "CONNECT 192.0.2.7:443 HTTP/1.1\r\nHost:192.0.2.7:443\r\nUser-Agent:ViriduRiz/2.8\r\n\r\n";
const std::string k200 = "HTTP/1.1 200 Connection established\r\n\r\n";
const char kUser[] = "alice";
const char kPassword[] = "secret";
// Base64 of alice:secret, worked out by hand.
const char kBasicCredentials[] = "Basic YWxpY2U6c2VjcmV0";

// Every wait ends as soon as its condition holds; the limit only bounds a loaded machine.
constexpr int kEndMs = 10000;

std::string Answer407(const std::string& challenge) {
  return "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: " + challenge +
         "\r\nContent-Length: 0\r\n\r\n";
}

// The owner at the bottom of the chain: it records the outcome of the connect and every byte
// that reaches it, the bytes left in its data buffer by the proxy layer first.
class OwnerSocket : public HXZCommonSocket {
 public:
  using HXZCommonSocket::HXZCommonSocket;

  int32_t OnReadySendImp(HXZASocket*, HXZADataHandler*) override {
    SendAsync(false);
    connected.fetch_add(1);
    return 0;
  }
  int32_t OnReadyRecvImp(HXZASocket*, HXZADataHandler*) override {
    std::string bytes;
    if (auto buffer = getDataBuffer(true)) {
      bytes.append(reinterpret_cast<const char*>(buffer->buffer()), buffer->size());
    }
    char chunk[4096];
    size_t n;
    while ((n = Recv(chunk, sizeof chunk, 0)) > 0) bytes.append(chunk, n);
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_received += bytes;
    }
    if (RecvEnded()) {
      ended.fetch_add(1);
      SetState(false);
    }
    return 0;
  }
  void OnClose(HXZADataHandler*) override { closed.fetch_add(1); }
  void OnError() override { errors.fetch_add(1); }

  bool Failed() const { return ended + closed + errors > 0; }
  std::string received() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
  }

  std::atomic<int> connected{0};
  std::atomic<int> ended{0};
  std::atomic<int> closed{0};
  std::atomic<int> errors{0};

 private:
  mutable std::mutex m_mutex;
  std::string m_received;
};

enum class Outcome { connected, failed };

const char* Name(Outcome outcome) { return outcome == Outcome::connected ? "connected" : "failed"; }

// The value of `name` (first occurrence, no blank after the colon as the client writes it) in a
// request, or "(none)".
std::string HeaderOf(const std::string& request, const std::string& name) {
  const std::string key = "\r\n" + name + ":";
  const size_t at = request.find(key);
  if (at == std::string::npos) return "(none)";
  const size_t from = at + key.size();
  return request.substr(from, request.find("\r\n", from) - from);
}

std::string Md5Hex(const std::string& text) {
  unsigned char digest[16];
  unsigned int length = 0;
  EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr);
  std::string hex;
  char pair[3];
  for (unsigned i = 0; i < length; ++i) {
    std::snprintf(pair, sizeof pair, "%02x", digest[i]);
    hex += pair;
  }
  return hex;
}

// The parameters of a "Digest ..." credentials value, read the simple way: name=value or
// name="value" (no escapes), separated by commas.
std::map<std::string, std::string> DigestParams(const std::string& value) {
  std::map<std::string, std::string> params;
  if (value.rfind("Digest ", 0) != 0) return params;
  size_t at = 7;
  while (at < value.size()) {
    const size_t equals = value.find('=', at);
    if (equals == std::string::npos) break;
    const std::string name = value.substr(at, equals - at);
    std::string text;
    size_t next;
    if (equals + 1 < value.size() && value[equals + 1] == '"') {
      const size_t close = value.find('"', equals + 2);
      if (close == std::string::npos) break;
      text = value.substr(equals + 2, close - equals - 2);
      next = close + 1;
    } else {
      next = value.find(',', equals + 1);
      if (next == std::string::npos) next = value.size();
      text = value.substr(equals + 1, next - equals - 1);
    }
    params[name] = text;
    at = next < value.size() && value[next] == ',' ? next + 1 : next;
  }
  return params;
}

// Checks a Digest credentials value as a proxy would (RFC 2617, section 3.2.2): an empty
// result when it is right, else what is wrong.
std::string CheckDigest(const std::string& value, const std::string& realm,
                        const std::string& nonce, const std::string& qop, const std::string& nc) {
  auto p = DigestParams(value);
  if (p.empty()) return "not a Digest value: " + value;
  if (p["username"] != kUser) return "user " + p["username"];
  if (p["realm"] != realm) return "realm " + p["realm"];
  if (p["nonce"] != nonce) return "nonce " + p["nonce"];
  if (p.count("qop") ? p["qop"] != qop : !qop.empty()) return "qop " + p["qop"];
  if (!qop.empty() && p["nc"] != nc) return "nc " + p["nc"];
  if (!qop.empty() && p["cnonce"].empty()) return "no cnonce";
  const std::string& uri = p["uri"];
  std::string ha1 = Md5Hex(std::string(kUser) + ":" + realm + ":" + kPassword);
  if (p.count("algorithm") && (p["algorithm"] == "md5-sess" || p["algorithm"] == "MD5-sess"))
    ha1 = Md5Hex(ha1 + ":" + nonce + ":" + p["cnonce"]);
  const std::string ha2 =
      qop == "auth-int" ? Md5Hex("CONNECT:" + uri + ":" + Md5Hex("")) : Md5Hex("CONNECT:" + uri);
  const std::string expected =
      qop.empty()
          ? Md5Hex(ha1 + ":" + nonce + ":" + ha2)
          : Md5Hex(ha1 + ":" + nonce + ":" + nc + ":" + p["cnonce"] + ":" + qop + ":" + ha2);
  if (p["response"] != expected) return "response " + p["response"] + ", expected " + expected;
  return "";
}

class HttpHostileProxyTest : public LoopFixture {
 protected:
  void TearDown() override {
    Finish();
    LoopFixture::TearDown();
  }

  // Starts a connect of a fresh socket through a fresh proxy that plays `scripts`. With a helper
  // mode, a fresh loop is made first (so that no credentials are cached from an earlier
  // attempt) and a user-interface helper answering alice/secret is installed.
  void Start(std::vector<ProxyScript> scripts, bool with_helper = false,
             TestProxyAuthHelper::Mode mode = TestProxyAuthHelper::answerLater) {
    Finish();
    if (with_helper) {
      EndLoop();
      LoopFixture::SetUp();
    }
    m_proxy = std::make_unique<HostileHttpProxy>(std::move(scripts));
    HX_ProxyList* list = loop->acquireProxyList();
    list->clear();
    list->addProxyDescriptor(
        std::make_shared<HX_ProxyDescriptorFqdn>("127.0.0.1", m_proxy->port(), kProxyHttp));
    if (with_helper) {
      m_helper = std::make_shared<TestProxyAuthHelper>(kUser, kPassword, mode);
      list->setGuiHelper(m_helper);
    }
    m_socket = new OwnerSocket(new HXZNativeSocketHelper(loop), false, true);
    ASSERT_TRUE(m_socket->Connect(
        std::make_shared<HXZEndpointSockAddr>(false, std::string(kTarget), ip::Proto::tcp)));
  }

  // A new socket connects through the same proxy, list and helper.
  void ConnectAgain() {
    OwnerSocket* old = m_socket;
    OnLoop([old] { old->GC(); });
    m_socket = new OwnerSocket(new HXZNativeSocketHelper(loop), false, true);
    ASSERT_TRUE(m_socket->Connect(
        std::make_shared<HXZEndpointSockAddr>(false, std::string(kTarget), ip::Proto::tcp)));
  }

  // Waits until the attempt has ended (or `ms` have passed) and answers how it ended; a socket
  // that saw both ends is reported as a failure of the test.
  Outcome WaitEnd(int ms = kEndMs) {
    const bool ended = WaitFor([&] { return m_socket->connected > 0 || m_socket->Failed(); }, ms);
    EXPECT_TRUE(ended) << "the connect did not end within " << ms << " ms; proxy connections "
                       << m_proxy->connections();
    OnLoop([] {});
    EXPECT_FALSE(m_socket->connected > 0 && m_socket->Failed())
        << "connected " << m_socket->connected << ", errors " << m_socket->errors << ", ended "
        << m_socket->ended << ", closed " << m_socket->closed;
    return m_socket->connected > 0 ? Outcome::connected : Outcome::failed;
  }

  // Drops the socket on the loop's thread, then the proxy and the helper.
  void Finish() {
    if (m_socket != nullptr) {
      OwnerSocket* socket = m_socket;
      OnLoop([socket] { socket->GC(); });
      m_socket = nullptr;
    }
    m_proxy.reset();
    if (m_helper) m_helper->JoinAnswers();
  }

  std::vector<int> Events() const { return m_helper ? m_helper->Events() : std::vector<int>{}; }

  std::unique_ptr<HostileHttpProxy> m_proxy;
  std::shared_ptr<TestProxyAuthHelper> m_helper;
  OwnerSocket* m_socket = nullptr;
};

bool Has(const std::vector<int>& events, int event) {
  for (int e : events)
    if (e == event) return true;
  return false;
}

// ---------------------------------------------------------------------------------------------
// The main path, and the bytes that follow the 200.

TEST_F(HttpHostileProxyTest, SendsExactlyTheConnectRequestAndNothingMore) {
  Start({{ReadRequest(), PauseMs(200), SendBytes(k200), EchoBack()}});
  ASSERT_EQ(WaitEnd(), Outcome::connected);
  const auto requests = m_proxy->requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0], kConnectRequest) << "nothing may follow the empty line before the 200";
  EXPECT_EQ(m_proxy->connections(), 1);
}

TEST_F(HttpHostileProxyTest, TunnelBytesRightBehindThe200ReachTheOwnerFirst) {
  const std::string tunnel = "\x16\x03\x01 tunnel bytes \0 with a NUL"s;
  struct Row {
    const char* name;
    ProxyAct answer;
  } rows[] = {{"at once", SendBytes(k200 + tunnel)},
              {"a byte at a time", DripBytes(k200 + tunnel)}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Start({{ReadRequest(), row.answer, EchoBack()}});
    ASSERT_EQ(WaitEnd(), Outcome::connected);
    ASSERT_TRUE(WaitFor([&] { return m_socket->received().size() >= tunnel.size(); }, kEndMs))
        << "received " << m_socket->received().size() << " bytes";
    EXPECT_EQ(m_socket->received(), tunnel);
    // Both ways through the tunnel.
    OnLoop([&] { m_socket->Send("ping", 4, 0); });
    EXPECT_TRUE(WaitFor([&] { return m_socket->received() == tunnel + "ping"; }, kEndMs))
        << m_socket->received();
  }
}

// A long head, and more tunnel bytes than one read step, arriving together.
TEST_F(HttpHostileProxyTest, LongHeadAndManyTunnelBytesArriveWhole) {
  std::string head = "HTTP/1.1 200 Connection established\r\n";
  for (int i = 0; i < 200; ++i)
    head += "X-Padding-" + std::to_string(i) + ": " + std::string(30, 'p') + "\r\n";
  head += "\r\n";
  std::string tunnel;
  for (int i = 0; i < 5000; ++i) tunnel += static_cast<char>(i * 7);
  Start({{ReadRequest(), SendBytes(head + tunnel), EchoBack()}});
  ASSERT_EQ(WaitEnd(), Outcome::connected);
  EXPECT_TRUE(WaitFor([&] { return m_socket->received().size() >= tunnel.size(); }, kEndMs));
  EXPECT_TRUE(m_socket->received() == tunnel)
      << "received " << m_socket->received().size() << " bytes, not the " << tunnel.size()
      << " sent, in order";
}

// ---------------------------------------------------------------------------------------------
// Answers cut at every offset, then closed or reset: never connected, always ended.

TEST_F(HttpHostileProxyTest, AnswersCutAtEveryOffsetFailTheConnect) {
  const std::string answers[] = {
      k200,
      "HTTP/1.0 200 Connection established\r\nVia: 1.1 hostile\r\nContent-Length: 4\r\n\r\nbody",
      Answer407("Basic realm=\"cut\""),
  };
  for (const std::string& answer : answers) {
    for (size_t cut = 0; cut < answer.size(); ++cut) {
      // Closed at even offsets, reset at odd ones: both ends meet every stage of the parser.
      const bool reset = cut % 2 == 1;
      SCOPED_TRACE(::testing::Message() << "answer " << answer.substr(0, 16) << "... cut at " << cut
                                        << (reset ? ", reset" : ", closed"));
      Start({{ReadRequest(), SendBytes(answer.substr(0, cut)),
              reset ? ResetConnection() : CloseConnection()}});
      EXPECT_EQ(WaitEnd(), Outcome::failed);
      EXPECT_LE(m_proxy->connections(), 10) << "reconnects must be bounded";
      if (::testing::Test::HasFailure()) return;
    }
  }
}

// Resets and closes at every stage of the exchange.
TEST_F(HttpHostileProxyTest, ResetsAndClosesAtEveryStageFailTheConnect) {
  struct Row {
    const char* name;
    ProxyScript script;
  } rows[] = {
      {"reset on accept", {ResetConnection()}},
      {"closed on accept", {CloseConnection()}},
      {"reset after the request", {ReadRequest(), ResetConnection()}},
      {"reset after a pause", {ReadRequest(), PauseMs(100), ResetConnection()}},
      {"reset after the status line",
       {ReadRequest(), SendBytes("HTTP/1.1 200 Connection established\r\n"), ResetConnection()}},
      {"reset inside a header",
       {ReadRequest(), SendBytes("HTTP/1.1 200 Connection established\r\nVia: 1."),
        ResetConnection()}},
      {"reset inside the 407 body",
       {ReadRequest(),
        SendBytes("HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic "
                  "realm=\"r\"\r\nContent-Length: 10\r\n\r\n12345"),
        ResetConnection()}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Start({row.script});
    EXPECT_EQ(WaitEnd(), Outcome::failed);
    EXPECT_LE(m_proxy->connections(), 10);
  }
}

// ---------------------------------------------------------------------------------------------
// Whole answers, well-formed or not, with the outcome they call for and the event reported to
// the user interface (0: none checked).

TEST_F(HttpHostileProxyTest, MalformedAndUnexpectedAnswers) {
  struct Row {
    const char* name;
    std::string answer;
    Outcome outcome;
    int event;
  } rows[] = {
      {"HTTP/1.0 200", "HTTP/1.0 200 Connection established\r\n\r\n", Outcome::connected, 0},
      {"lower-case version", "http/1.1 200 Connection established\r\n\r\n", Outcome::connected, 0},
      {"unknown headers with NULs and high bytes",
       "HTTP/1.1 200 Connection established\r\nX-\0Junk: \0\x01\xff\r\n:\r\n: x\r\nno colon\r\nVia: a\r\n\r\n"s,
       Outcome::connected, 0},
      {"folded header", "HTTP/1.1 200 Connection established\r\nVia: a\r\n b\r\n\tc\r\n\r\n",
       Outcome::connected, 0},
      {"Content-Length 0", "HTTP/1.1 200 Connection established\r\nContent-Length: 0\r\n\r\n",
       Outcome::connected, 0},
      {"204 with Transfer-Encoding",
       "HTTP/1.1 204 No Content here at all\r\nTransfer-Encoding: chunked\r\n\r\n",
       Outcome::connected, 0},
      {"200 chunked",
       "HTTP/1.1 200 Connection established\r\nTransfer-Encoding: "
       "chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
       Outcome::failed, 5},
      {"407 chunked",
       "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic "
       "realm=\"r\"\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
       Outcome::failed, 0},
      {"status 601", "HTTP/1.1 601 Beyond all codes\r\n\r\n", Outcome::failed, 5},
      {"status 99", "HTTP/1.1 99 Below all the codes\r\n\r\n", Outcome::failed, 5},
      {"status letters", "HTTP/1.1 abc defghijklm\r\n\r\n", Outcome::failed, 5},
      {"no status", "HTTP/1.1                  \r\n\r\n", Outcome::failed, 5},
      {"huge version", "HTTP/99999.1 200 Connection established\r\n\r\n", Outcome::failed, 5},
      {"negative version", "HTTP/-1.1 200 Connection established\r\n\r\n", Outcome::failed, 5},
      {"version without dot", "HTTP/11 200 Connection established\r\n\r\n", Outcome::failed, 5},
      {"redirect", "HTTP/1.1 302 Found elsewhere\r\nLocation: http://x/\r\n\r\n", Outcome::failed,
       5},
      {"403", "HTTP/1.1 403 Forbidden by policy\r\nContent-Length: 3\r\n\r\nno!", Outcome::failed,
       5},
      {"407 without a challenge",
       "HTTP/1.1 407 Proxy Authentication Required\r\nContent-Length: 0\r\n\r\n", Outcome::failed,
       5},
      {"not HTTP", "SSH-2.0-OpenSSH_9.2p1 Debian-2\r\n\r\n", Outcome::failed, 5},
      {"NULs", std::string(64, '\0') + "\r\n\r\n", Outcome::failed, 5},
      {"binary", "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\xff\xfe\r\n\r\n\r\n\r\n"s,
       Outcome::failed, 5},
      {"NUL inside the status line",
       "HTTP/1.1\0"
       "200 Connection established\r\n\r\n"s,
       Outcome::failed, 5},
      {"407 Content-Length beyond 64 bits",
       "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic "
       "realm=\"r\"\r\nContent-Length: 99999999999999999999999999\r\n\r\nabcde",
       Outcome::failed, 0},
      {"407 Content-Length 2^32+5",
       "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic "
       "realm=\"r\"\r\nContent-Length: 4294967301\r\n\r\nabcde",
       Outcome::failed, 0},
      {"407 negative Content-Length",
       "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic "
       "realm=\"r\"\r\nContent-Length: -5\r\n\r\nabcde",
       Outcome::failed, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    // No credentials are ever given: a 407 must fail the connect.
    Start({{ReadRequest(), SendBytes(row.answer), PauseMs(300), CloseConnection()}}, true,
          TestProxyAuthHelper::answerEmpty);
    EXPECT_EQ(WaitEnd(), row.outcome) << "expected " << Name(row.outcome);
    if (row.event != 0) EXPECT_TRUE(Has(Events(), row.event)) << "event " << row.event;
    if (row.outcome == Outcome::connected) EXPECT_TRUE(Events().empty());
  }
}

// ---------------------------------------------------------------------------------------------
// Floods: a proxy that never ends its status line, a header, its headers or its body. The client
// must give up with bounded memory instead of taking everything.

TEST_F(HttpHostileProxyTest, EndlessAnswersFailTheConnectWithBoundedMemory) {
  constexpr uint64_t kFlood = 256ull * 1024 * 1024;
  struct Row {
    const char* name;
    ProxyAct flood;
  } rows[] = {
      {"status line", StreamBytes("HTTP/1.1 200 ", "A", kFlood)},
      {"NUL bytes", StreamBytes("", "\0"s, kFlood)},
      {"header line", StreamBytes("HTTP/1.1 200 Connection established\r\nX-Junk: ", "A", kFlood)},
      {"challenge header",
       StreamBytes(
           "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"", "r",
           kFlood)},
      {"known header lines",
       StreamBytes("HTTP/1.1 407 Proxy Authentication Required\r\n",
                   "Proxy-Authenticate: Basic realm=\"flood\"\r\n", kFlood / 40)},
      {"unknown header lines",
       StreamBytes("HTTP/1.1 200 Connection established\r\n", "X-A: b\r\n", kFlood / 8)},
      {"folded header line",
       StreamBytes("HTTP/1.1 200 Connection established\r\nVia: a", "\r\n b", kFlood / 4)},
      {"407 body of 4e9 bytes",
       StreamBytes("HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic "
                   "realm=\"r\"\r\nContent-Length: 4000000000\r\n\r\n",
                   "A", kFlood)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Start({{ReadRequest(), row.flood, StaySilent()}});
    EXPECT_EQ(WaitEnd(), Outcome::failed);
    OnLoop([&] {
      auto buffer = m_socket->getDataBuffer(false);
      EXPECT_LE(buffer ? buffer->capacity() : 0, 1024u * 1024) << "the receive buffer grew";
    });
    EXPECT_LT(m_proxy->bytesSent(), kFlood / 4) << "the client took the flood";
  }
}

// ---------------------------------------------------------------------------------------------
// Challenges, well-formed and hostile. The helper answers alice/secret; after the 407 the proxy
// expects the credentials on the same connection and then answers 200.

TEST_F(HttpHostileProxyTest, ChallengesAreAnsweredOrRefusedAsTheyDeserve) {
  const std::string big_realm(30000, 'r');
  struct Row {
    const char* name;
    std::string challenge;
    Outcome outcome;
    // For a connect: "basic", or the Digest realm, nonce, qop and nonce count to check.
    const char* scheme;
    std::string realm;
    const char* nonce;
    const char* qop;
  } rows[] = {
      {"Basic", "Basic realm=\"proxy\"", Outcome::connected, "basic", "proxy", "", ""},
      {"Basic without realm", "Basic", Outcome::connected, "basic", "", "", ""},
      {"Basic in mixed case", "bAsIc REALM=\"MiXeD\"", Outcome::connected, "basic", "MiXeD", "",
       ""},
      {"unterminated quote", "Basic realm=\"unterminated", Outcome::connected, "basic",
       "unterminated", "", ""},
      {"duplicated realm", "Basic realm=\"a\", realm=\"b\"", Outcome::connected, "basic", "b", "",
       ""},
      {"empty realm value", "Basic realm=", Outcome::connected, "basic", "", "", ""},
      {"single quotes", "Basic realm='single'", Outcome::connected, "basic", "single", "", ""},
      {"empty list elements", "Basic ,,, , realm=\"x\",,", Outcome::connected, "basic", "x", "",
       ""},
      {"enormous realm", "Basic realm=\"" + big_realm + "\"", Outcome::connected, "basic",
       big_realm, "", ""},
      {"NUL in a Basic realm", "Basic realm=\"a\0b\""s, Outcome::connected, "basic", "a\0b"s, "",
       ""},
      {"unknown scheme first", "Negotiate abc==, Basic realm=\"x\"", Outcome::connected, "basic",
       "x", "", ""},
      {"Digest with qop auth", "Digest realm=\"r\", nonce=\"abc\", qop=\"auth\"",
       Outcome::connected, "digest", "r", "abc", "auth"},
      {"Digest without qop", "Digest realm=\"r\", nonce=\"abc\"", Outcome::connected, "digest", "r",
       "abc", ""},
      {"Digest md5-sess auth-int",
       "Digest realm=\"r\", nonce=\"abc\", qop=\"auth-int\", algorithm=MD5-SESS",
       Outcome::connected, "digest", "r", "abc", "auth-int"},
      {"Digest prefers auth", "Digest realm=\"r\", nonce=\"abc\", qop=\"auth-int,auth\"",
       Outcome::connected, "digest", "r", "abc", "auth"},
      {"Digest unknown qop", "Digest realm=\"r\", nonce=\"abc\", qop=\"bogus\"", Outcome::connected,
       "digest", "r", "abc", ""},
      {"Digest duplicated nonce", "Digest realm=\"r\", nonce=\"n1\", nonce=\"n2\", qop=auth",
       Outcome::connected, "digest", "r", "n2", "auth"},
      {"Digest without nonce", "Digest realm=\"r\", qop=\"auth\"", Outcome::connected, "digest",
       "r", "", "auth"},
      {"Digest NUL in realm", "Digest realm=\"r\0x\", nonce=\"abc\""s, Outcome::connected, "digest",
       "r\0x"s, "abc", ""},
      {"Digest with hostile extra parameters",
       "Digest realm=\"r\", nonce=\"abc\", qop=auth, nc=zzzz, stale=maybe, domain=\"/x\", "
       "nextnonce=\"q\", "
       "rspauth=\"x\", cnonce=\"evil\", username=\"mallory\", response=\"x\", uri=\"/evil\", "
       "opaque=\"o\"",
       Outcome::connected, "digest", "r", "abc", "auth"},
      {"Digest over Basic", "Basic realm=\"b\", Digest realm=\"d\", nonce=\"abc\", qop=\"auth\"",
       Outcome::connected, "digest", "d", "abc", "auth"},
      {"Digest SHA-256 only", "Digest realm=\"r\", nonce=\"abc\", qop=\"auth\", algorithm=SHA-256",
       Outcome::failed, "", "", "", ""},
      {"Negotiate only", "Negotiate", Outcome::failed, "", "", "", ""},
      {"NTLM and Negotiate", "NTLM, Negotiate abc==", Outcome::failed, "", "", "", ""},
      {"empty challenge", "", Outcome::failed, "", "", "", ""},
      {"blanks only", "   \t  ", Outcome::failed, "", "", "", ""},
      {"commas only", ",,,,", Outcome::failed, "", "", "", ""},
      // The scheme is matched by its first five bytes.
      {"Basic glued to a name", "Basicrealm=\"x\"", Outcome::connected, "basic", "x", "", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Start({{ReadRequest(), SendBytes(Answer407(row.challenge)), ReadRequest(), SendBytes(k200),
            EchoBack()}},
          true);
    const Outcome outcome = WaitEnd();
    EXPECT_EQ(outcome, row.outcome) << "expected " << Name(row.outcome);
    if (row.outcome == Outcome::failed) {
      EXPECT_TRUE(Has(Events(), 5)) << "no usable challenge is reported";
      EXPECT_EQ(m_helper->requests, 0) << "nobody is asked for an unusable challenge";
      continue;
    }
    if (outcome != Outcome::connected) continue;
    const auto requests = m_proxy->requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(HeaderOf(requests[0], "Proxy-Authorization"), "(none)");
    EXPECT_EQ(m_helper->requests, 1);
    ASSERT_EQ(m_helper->Realms().size(), 1u);
    EXPECT_EQ(m_helper->Realms()[0], row.realm) << "the realm shown to the user";
    const std::string credentials = HeaderOf(requests[1], "Proxy-Authorization");
    if (std::string(row.scheme) == "basic") {
      EXPECT_EQ(credentials, kBasicCredentials);
    } else {
      EXPECT_EQ(CheckDigest(credentials, row.realm, row.nonce, row.qop, "00000001"), "")
          << credentials;
    }
    EXPECT_TRUE(Events().empty());
  }
}

// ---------------------------------------------------------------------------------------------
// 407 loops and reconnects.

// A proxy that refuses every credentials: each refusal is reported and the user asked again; the
// user's giving up ends the connect. The helper gives up after three answers.
TEST_F(HttpHostileProxyTest, EndlessRefusalsEndWhenTheUserGivesUp) {
  for (bool close_each : {false, true}) {
    SCOPED_TRACE(close_each ? "the proxy closes after each 407" : "one connection");
    ProxyScript script;
    const int rounds = close_each ? 1 : 40;
    for (int i = 0; i < rounds; ++i) {
      script.push_back(ReadRequest());
      script.push_back(SendBytes(Answer407("Basic realm=\"loop\"")));
    }
    if (close_each)
      script.push_back(CloseConnection());
    else
      script.push_back(StaySilent());
    Start({script}, true);
    ASSERT_TRUE(WaitFor([&] { return m_helper->requests >= 3; }, kEndMs))
        << "asked " << m_helper->requests << " times";
    m_helper->SetMode(TestProxyAuthHelper::answerEmpty);
    EXPECT_EQ(WaitEnd(), Outcome::failed);
    EXPECT_TRUE(Has(Events(), 3)) << "the refused credentials are reported";
    EXPECT_TRUE(Has(Events(), 6)) << "the user's giving up is reported";
    const auto requests = m_proxy->requests();
    ASSERT_GE(requests.size(), 2u);
    for (size_t i = 1; i < requests.size(); ++i)
      EXPECT_EQ(HeaderOf(requests[i], "Proxy-Authorization"), kBasicCredentials) << "request " << i;
    EXPECT_LE(requests.size(), 20u) << "the client sent requests without being given credentials";
  }
}

// A stale nonce is not a refusal: the client answers the new nonce without asking the user.
TEST_F(HttpHostileProxyTest, StaleNonceIsAnsweredWithoutAskingAgain) {
  Start({{ReadRequest(), SendBytes(Answer407("Digest realm=\"r\", nonce=\"n1\", qop=\"auth\"")),
          ReadRequest(),
          SendBytes(Answer407("Digest realm=\"r\", nonce=\"n2\", qop=\"auth\", stale=true")),
          ReadRequest(), SendBytes(k200), EchoBack()}},
        true);
  ASSERT_EQ(WaitEnd(), Outcome::connected);
  EXPECT_EQ(m_helper->requests, 1);
  const auto requests = m_proxy->requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(
      CheckDigest(HeaderOf(requests[1], "Proxy-Authorization"), "r", "n1", "auth", "00000001"), "");
  EXPECT_EQ(
      CheckDigest(HeaderOf(requests[2], "Proxy-Authorization"), "r", "n2", "auth", "00000001"), "");
  EXPECT_FALSE(Has(Events(), 3));
}

// The whole exchange a byte at a time: the 407, the stale 407 and the 200 with tunnel bytes.
TEST_F(HttpHostileProxyTest, DigestExchangeAByteAtATime) {
  Start({{ReadRequest(), DripBytes(Answer407("Digest realm=\"drip\", nonce=\"n1\", qop=auth")),
          ReadRequest(),
          DripBytes(Answer407("Digest realm=\"drip\", nonce=\"n2\", qop=auth, stale=TRUE")),
          ReadRequest(), DripBytes(k200 + "after"), EchoBack()}},
        true);
  ASSERT_EQ(WaitEnd(), Outcome::connected);
  EXPECT_TRUE(WaitFor([&] { return m_socket->received() == "after"; }, kEndMs))
      << m_socket->received();
  EXPECT_EQ(m_helper->requests, 1);
  const auto requests = m_proxy->requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(
      CheckDigest(HeaderOf(requests[2], "Proxy-Authorization"), "drip", "n2", "auth", "00000001"),
      "");
}

// Hostile "Proxy-Authentication-Info" on the 200 must not disturb the session: the next connect
// through the same proxy sends its credentials at once, under the same nonce, counting on.
TEST_F(HttpHostileProxyTest, HostileAuthenticationInfoKeepsTheSession) {
  const std::string info =
      "HTTP/1.1 200 Connection established\r\nProxy-Authentication-Info: nextnonce=\"\", "
      "nc=zzzzzzzzzzzzzzzzzzzzzzzz, qop=\"auth,auth-int\", rspauth, cnonce=\"x\r\n"
      "Proxy-Authentication-Info: nextnonce=\"evil\", nc=ffffffffffffffffffff, qop=auth\r\n"
      "Proxy-Authentication-Info: \r\nProxy-Authentication-Info: ,,,=,=\"\r\n\r\n";
  Start({{ReadRequest(), SendBytes(Answer407("Digest realm=\"r\", nonce=\"n1\", qop=auth")),
          ReadRequest(), SendBytes(info), EchoBack()},
         {ReadRequest(), SendBytes(k200), EchoBack()}},
        true);
  ASSERT_EQ(WaitEnd(), Outcome::connected);
  ConnectAgain();
  ASSERT_EQ(WaitEnd(), Outcome::connected);
  EXPECT_EQ(m_helper->requests, 1);
  const auto requests = m_proxy->requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(
      CheckDigest(HeaderOf(requests[1], "Proxy-Authorization"), "r", "n1", "auth", "00000001"), "");
  EXPECT_EQ(
      CheckDigest(HeaderOf(requests[2], "Proxy-Authorization"), "r", "n1", "auth", "00000002"), "");
}

// The proxy drops the connection at each stage of the authentication: the client connects again
// and carries on with the credentials it has.
TEST_F(HttpHostileProxyTest, ConnectionLostDuringAuthenticationIsMadeAgain) {
  const ProxyScript after = {ReadRequest(), SendBytes(k200), EchoBack()};
  struct Row {
    const char* name;
    ProxyScript first;
  } rows[] = {
      {"closed after the 407",
       {ReadRequest(), SendBytes(Answer407("Basic realm=\"r\"")), CloseConnection()}},
      {"reset after the 407",
       {ReadRequest(), SendBytes(Answer407("Basic realm=\"r\"")), PauseMs(50), ResetConnection()}},
      {"reset on the credentials",
       {ReadRequest(), SendBytes(Answer407("Basic realm=\"r\"")), ReadRequest(),
        ResetConnection()}},
      {"closed on the credentials",
       {ReadRequest(), SendBytes(Answer407("Basic realm=\"r\"")), ReadRequest(),
        CloseConnection()}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Start({row.first, after}, true);
    ASSERT_EQ(WaitEnd(), Outcome::connected);
    EXPECT_EQ(m_helper->requests, 1);
    const auto requests = m_proxy->requests();
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(HeaderOf(requests.back(), "Proxy-Authorization"), kBasicCredentials);
    EXPECT_EQ(m_proxy->connections(), 2);
  }
}

// ---------------------------------------------------------------------------------------------
// Silence: the layer has no time limit of its own (the owner's connect time limit bounds it); the
// attempt stays open without an outcome, and the owner's close ends it at once, on both sides.

TEST_F(HttpHostileProxyTest, SilentProxyWaitsForTheOwnersClose) {
  struct Row {
    const char* name;
    ProxyScript script;
  } rows[] = {
      {"never reads", {StaySilent()}},
      {"reads and stays silent", {ReadRequest(), StaySilent()}},
      {"half a status line", {ReadRequest(), SendBytes("HTTP/1.1 200 Conn"), StaySilent()}},
      {"headers without their end",
       {ReadRequest(), SendBytes("HTTP/1.1 200 Connection established\r\nVia: x\r\n"),
        StaySilent()}},
      {"a body that lies about its length",
       {ReadRequest(),
        SendBytes("HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic "
                  "realm=\"r\"\r\nContent-Length: 100\r\n\r\nonly this"),
        StaySilent()}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Start({row.script});
    ASSERT_TRUE(WaitFor([&] { return m_proxy->connections() == 1; }, kEndMs));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(m_socket->connected, 0);
    EXPECT_FALSE(m_socket->Failed());
    m_socket->Close(false);
    EXPECT_TRUE(WaitFor([&] { return m_socket->closed > 0; }, kEndMs))
        << "OnClose reaches the owner";
    EXPECT_TRUE(WaitFor([&] { return m_proxy->clientCloses() == 1; }, kEndMs))
        << "the proxy sees the connection closed";
    OnLoop([] {});
    EXPECT_EQ(m_socket->connected, 0);
    EXPECT_EQ(m_proxy->connections(), 1) << "no reconnect after the owner's close";
  }
}

}  // namespace
}  // namespace hx::testing
