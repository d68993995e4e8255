// The DNS client through the network loop's forwarders, against real name servers on loopback:
// dnsmasq, and small servers of the test's own that stay silent, answer late or answer from the
// wrong port.

#include "core/net/dns/dns_handler.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/net/dns/name_server_settings.h"
#include "core/net/loop/zserver.h"
#include "core/net/loop/zserver_test_util.h"
#include "testing/dnsmasq_server.h"
#include "testing/test_support.h"

// Every bind(2) of this test program fails while the switch is on, as it may when the system
// runs short of addresses or memory.
std::atomic<bool> g_failBinds{false};
std::atomic<int> g_failedBinds{0};

extern "C" int bind(int handle, const struct sockaddr* address, socklen_t length) noexcept {
  if (g_failBinds.load()) {
    ++g_failedBinds;
    errno = EADDRNOTAVAIL;
    return -1;
  }
  using Bind = int (*)(int, const struct sockaddr*, socklen_t);
  static const auto real = reinterpret_cast<Bind>(dlsym(RTLD_NEXT, "bind"));
  return real(handle, address, length);
}

namespace {

using hx::testing::WaitFor;
using Clock = std::chrono::steady_clock;
using List = std::vector<std::string>;

constexpr uint32_t kLongLimitMs = 20000;

// Every answer a lookup's callback got, and whether it came on the loop's thread.
class Recorder : public HXDnsCallback {
 public:
  struct Answer {
    std::string name;
    bool failed = false;
    List addresses;                 // address lookups
    HXServerEpSetByTarget servers;  // SRV lookups
    std::string domain;
    bool onLoop = false;
    Clock::time_point at;
  };

  using HXDnsCallback::OnCallbackQueryA;
  void OnCallbackQueryA(const char* name, const char* address) override {
    Answer answer;
    answer.name = name;
    answer.failed = address == nullptr;
    if (address != nullptr) answer.addresses.push_back(address);
    record(std::move(answer));
  }
  void OnCallbackQueryA(const std::string& name, const List& list) override {
    Answer answer;
    answer.name = name;
    answer.failed = list.empty();
    answer.addresses = list;
    record(std::move(answer));
  }
  void OnCallbackQuerySRV(const std::string& domain,
                          const HXServerEpSetByTarget& servers) override {
    Answer answer;
    answer.domain = domain;
    answer.failed = servers.empty();
    answer.servers = servers;
    record(std::move(answer));
  }

  std::vector<Answer> answers() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_answers;
  }
  // Waits for the first answer and returns it (a failure when none came).
  Answer first(int timeoutMs = 10000) const {
    if (WaitFor([&] { return !answers().empty(); }, timeoutMs)) return answers().front();
    Answer none;
    none.name = "(no answer)";
    none.failed = true;
    return none;
  }

 private:
  void record(Answer&& answer) {
    answer.onLoop = HXZServer::m_Instance != nullptr && HXZServer::m_Instance->onLoopThread();
    answer.at = Clock::now();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_answers.push_back(std::move(answer));
  }

  mutable std::mutex m_mutex;
  std::vector<Answer> m_answers;
};

// The offset after the question of a query, or 0.
size_t QuestionEnd(const std::vector<uint8_t>& query) {
  size_t offset = 12;
  while (offset < query.size() && query[offset] != 0) offset += 1 + query[offset];
  offset += 1 + 4;
  return offset <= query.size() ? offset : 0;
}

uint16_t QuestionType(const std::vector<uint8_t>& query) {
  const size_t end = QuestionEnd(query);
  return end == 0 ? 0 : static_cast<uint16_t>((query[end - 4] << 8) | query[end - 3]);
}

// The answer to `query` with one A record of `address` when it asks for A, and none otherwise.
std::vector<uint8_t> AnswerWithA(const std::vector<uint8_t>& query, const uint8_t (&address)[4]) {
  const size_t end = QuestionEnd(query);
  if (end == 0) return {};
  std::vector<uint8_t> answer(query.begin(), query.begin() + static_cast<long>(end));
  answer[2] = 0x81;             // response, recursion desired
  answer[3] = 0x80;             // recursion available, no error
  answer[10] = answer[11] = 0;  // no OPT record echoed
  if (QuestionType(query) != 1) return answer;
  answer[7] = 1;  // ANCOUNT
  const uint8_t record[] = {0xc0, 12, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4};
  answer.insert(answer.end(), std::begin(record), std::end(record));
  answer.insert(answer.end(), std::begin(address), std::end(address));
  return answer;
}

// A name server of the test's own on 127.0.0.1. `reply` makes the answer to a query (empty: no
// answer); it is sent after `delayMs`, from the server's own socket or, with `otherPort`, from
// a second socket, as a forger would.
class ScriptedServer {
 public:
  using Reply = std::function<std::vector<uint8_t>(const std::vector<uint8_t>& query)>;

  explicit ScriptedServer(Reply reply, int delayMs = 0, bool otherPort = false)
      : m_reply(std::move(reply)), m_delayMs(delayMs) {
    m_socket = OpenSocket();
    m_sender = otherPort ? OpenSocket() : m_socket;
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { Serve(); });
  }
  ~ScriptedServer() {
    m_stop.store(true);
    m_thread.join();
    if (m_sender != m_socket) close(m_sender);
    close(m_socket);
  }
  uint16_t port() const { return m_port; }
  int queries() const { return m_queries.load(); }

  static ScriptedServer* Silent() {
    return new ScriptedServer([](const std::vector<uint8_t>&) { return std::vector<uint8_t>(); });
  }

 private:
  static int OpenSocket() {
    const int handle = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(handle, reinterpret_cast<sockaddr*>(&address), sizeof address);
    return handle;
  }

  void Serve() {
    while (!m_stop.load()) {
      pollfd wait{m_socket, POLLIN, 0};
      if (poll(&wait, 1, 50) <= 0) continue;
      std::vector<uint8_t> query(4096);
      sockaddr_storage from{};
      socklen_t fromLength = sizeof from;
      const ssize_t length = recvfrom(m_socket, query.data(), query.size(), 0,
                                      reinterpret_cast<sockaddr*>(&from), &fromLength);
      if (length <= 0) continue;
      query.resize(static_cast<size_t>(length));
      ++m_queries;
      const std::vector<uint8_t> answer = m_reply(query);
      if (answer.empty()) continue;
      std::this_thread::sleep_for(std::chrono::milliseconds(m_delayMs));
      sendto(m_sender, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from),
             fromLength);
    }
  }

  Reply m_reply;
  int m_delayMs;
  int m_socket = -1;
  int m_sender = -1;
  uint16_t m_port = 0;
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_queries{0};
  std::thread m_thread;
};

class DnsClient : public hx::testing::LoopFixture {
 protected:
  void TearDown() override {
    EndLoop();
    hx::dns::SetFallbackNameServers({});
  }

  // A dnsmasq with the test zone "hx.test" (names it does not know get NXDOMAIN).
  void StartDnsmasq(const std::string& program, std::vector<std::string> records = {}) {
    records.insert(
        records.end(),
        {"--local=/hx.test/", "--local-ttl=120", "--host-record=a.hx.test,10.1.2.3,fd00::5",
         "--host-record=short.hx.test,10.2.2.2,1", "--host-record=xn--bcher-kva.hx.test,10.4.4.4",
         "--srv-host=vcs2.tcp.example.hx.test,s1.hx.test,4307,10,20",
         "--srv-host=vcs2.tcp.example.hx.test,xn--bcher-kva.hx.test,443,20,5",
         "--srv-host=vcs2.tcp.far.hx.test,s3.hx.test,80,100,1"});
    m_dnsmasq = std::make_unique<hx::testing::DnsmasqServer>(program, records);
    ASSERT_TRUE(m_dnsmasq->ready());
  }

  static bool Rebind(const hx::dns::NameServerList& servers) {
    return HXZServer::m_Instance->Rebind(servers);
  }

  static hx::dns::NameServerList Loopback(std::initializer_list<uint16_t> ports) {
    hx::dns::NameServerList servers;
    for (uint16_t port : ports) servers.emplace_back("127.0.0.1", port);
    return servers;
  }

  static int64_t MsSince(Clock::time_point start, Clock::time_point end) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(end - start).count();
  }

  std::unique_ptr<hx::testing::DnsmasqServer> m_dnsmasq;
};

TEST_F(DnsClient, AddressLookupsAnsweredByTheNameServerThenFromTheCacheInTurn) {
  HX_REQUIRE_TOOL("dnsmasq", dnsmasq);
  StartDnsmasq(dnsmasq);
  ASSERT_TRUE(Rebind(Loopback({m_dnsmasq->port()})));

  Recorder single;
  EXPECT_EQ(HXZServer::QueryA("a.hx.test", &single, kLongLimitMs), "");
  const Recorder::Answer answer = single.first();
  EXPECT_FALSE(answer.failed);
  EXPECT_EQ(answer.name, "a.hx.test");
  EXPECT_TRUE(answer.onLoop);  // name-server answers come on the loop's thread
  ASSERT_EQ(answer.addresses.size(), 1u);
  EXPECT_TRUE(answer.addresses[0] == "10.1.2.3" || answer.addresses[0] == "fd00::5");

  // The later answer (A or AAAA) fills the cache too; then both come at once, in turn.
  List both;
  ASSERT_TRUE(WaitFor(
      [&] {
        both.clear();
        return HXZServer::QueryAMulti("a.hx.test", both, nullptr, kLongLimitMs) && both.size() == 2;
      },
      10000));
  EXPECT_EQ(both, (List{"10.1.2.3", "fd00::5"}));
  Recorder cached;
  const std::string first = HXZServer::QueryA("a.hx.test", &cached, kLongLimitMs);
  const std::string second = HXZServer::QueryA("a.hx.test", &cached, kLongLimitMs);
  EXPECT_NE(first, second);
  EXPECT_EQ(HXZServer::QueryA("a.hx.test", &cached, kLongLimitMs), first);

  Recorder multi;
  List list;
  EXPECT_FALSE(HXZServer::QueryAMulti("A.HX.TEST", list, &multi, kLongLimitMs));  // another key
  const Recorder::Answer listed = multi.first();
  EXPECT_FALSE(listed.failed);
  EXPECT_EQ(listed.name, "A.HX.TEST");
  EXPECT_FALSE(listed.addresses.empty());
  EXPECT_TRUE(cached.answers().empty());  // cached answers have no callback
}

TEST_F(DnsClient, SrvLookupsGiveTheUsableTargetsWithTheCallersDomain) {
  HX_REQUIRE_TOOL("dnsmasq", dnsmasq);
  StartDnsmasq(dnsmasq);
  ASSERT_TRUE(Rebind(Loopback({m_dnsmasq->port()})));

  Recorder found;
  EXPECT_TRUE(
      HXZServer::QuerySRV("vcs2.tcp.example.hx.test", "example.hx.test", &found, kLongLimitMs));
  const Recorder::Answer answer = found.first();
  ASSERT_FALSE(answer.failed);
  EXPECT_EQ(answer.domain, "example.hx.test");
  std::vector<std::string> targets;
  for (const HXServerEndpoint& server : answer.servers) {
    targets.push_back(server.getHost() + ":" + std::to_string(server.getPort()) + "/" +
                      std::to_string(server.getPriority()) + "/" + server.getDomain());
  }
  std::sort(targets.begin(), targets.end());
  // The punycode target comes back in its Unicode form.
  EXPECT_EQ(targets,
            (List{"bücher.hx.test:443/20/example.hx.test", "s1.hx.test:4307/10/example.hx.test"}));

  // A priority of 100 makes the only target unusable: the lookup fails at its deadline.
  Recorder unusable;
  const auto start = Clock::now();
  HXZServer::QuerySRV("vcs2.tcp.far.hx.test", "far.hx.test", &unusable, 1000);
  const Recorder::Answer failed = unusable.first();
  EXPECT_TRUE(failed.failed);
  EXPECT_EQ(failed.domain, "far.hx.test");
  EXPECT_GE(MsSince(start, failed.at), 900);
}

TEST_F(DnsClient, ASilentServerFailsTheLookupAtItsDeadlineOnTheLoopThread) {
  std::unique_ptr<ScriptedServer> silent(ScriptedServer::Silent());
  ASSERT_TRUE(Rebind(Loopback({silent->port()})));
  Recorder address;
  Recorder service;
  const auto start = Clock::now();
  EXPECT_EQ(HXZServer::QueryA("quiet.hx.test", &address, 1500), "");
  HXZServer::QuerySRV("vcs2.tcp.quiet.hx.test", "quiet.hx.test", &service, 1500);
  for (const Recorder* recorder : {&address, &service}) {
    const Recorder::Answer answer = recorder->first();
    EXPECT_TRUE(answer.failed);
    EXPECT_TRUE(answer.onLoop);  // the deadline fired by itself
    EXPECT_GE(MsSince(start, answer.at), 1400);
  }
  EXPECT_EQ(address.answers().front().name, "quiet.hx.test");
  EXPECT_GE(silent->queries(), 3);  // A, AAAA and SRV (beside the DNS64 test) reached it
}

TEST_F(DnsClient, NxdomainEndsOnlyThatServersQuery) {
  HX_REQUIRE_TOOL("dnsmasq", dnsmasq);
  StartDnsmasq(dnsmasq);
  // dnsmasq alone: its NXDOMAIN ends the only query, and with it the lookup, long before the
  // deadline (an SRV lookup does not wait for the system resolver).
  ASSERT_TRUE(Rebind(Loopback({m_dnsmasq->port()})));
  Recorder alone;
  auto start = Clock::now();
  HXZServer::QuerySRV("vcs2.tcp.nosuch.hx.test", "nosuch.hx.test", &alone, kLongLimitMs);
  Recorder::Answer answer = alone.first();
  EXPECT_TRUE(answer.failed);
  EXPECT_LT(MsSince(start, answer.at), kLongLimitMs / 2);

  // Beside a silent server the lookup goes on until its deadline.
  std::unique_ptr<ScriptedServer> silent(ScriptedServer::Silent());
  ASSERT_TRUE(Rebind(Loopback({m_dnsmasq->port(), silent->port()})));
  Recorder beside;
  start = Clock::now();
  HXZServer::QuerySRV("vcs2.tcp.nosuch.hx.test", "nosuch.hx.test", &beside, 1500);
  answer = beside.first();
  EXPECT_TRUE(answer.failed);
  EXPECT_GE(MsSince(start, answer.at), 1400);
}

TEST_F(DnsClient, TheFirstServerToAnswerWins) {
  HX_REQUIRE_TOOL("dnsmasq", dnsmasq);
  StartDnsmasq(dnsmasq);
  const uint8_t late[4] = {10, 9, 9, 9};
  ScriptedServer slow([&](const std::vector<uint8_t>& query) { return AnswerWithA(query, late); },
                      1000);
  ASSERT_TRUE(Rebind(Loopback({slow.port(), m_dnsmasq->port()})));

  Recorder recorder;
  HXZServer::QueryA("a.hx.test", &recorder, kLongLimitMs);
  const Recorder::Answer answer = recorder.first();
  ASSERT_FALSE(answer.failed);
  EXPECT_NE(answer.addresses.front(), "10.9.9.9");
  // The late answer still lands in the cache, but reaches nobody.
  List all;
  ASSERT_TRUE(WaitFor(
      [&] {
        all.clear();
        HXZServer::QueryAMulti("a.hx.test", all, nullptr, kLongLimitMs);
        return std::find(all.begin(), all.end(), "10.9.9.9") != all.end();
      },
      10000));
  EXPECT_EQ(recorder.answers().size(), 1u);
}

TEST_F(DnsClient, AnswersFromAnotherPortAreIgnored) {
  const uint8_t forged[4] = {10, 6, 6, 6};
  ScriptedServer forger(
      [&](const std::vector<uint8_t>& query) { return AnswerWithA(query, forged); }, 0, true);
  ASSERT_TRUE(Rebind(Loopback({forger.port()})));
  Recorder recorder;
  HXZServer::QueryA("forged.hx.test", &recorder, 1500);
  const Recorder::Answer answer = recorder.first();
  EXPECT_TRUE(answer.failed);
  EXPECT_GE(forger.queries(), 1);
  List none;
  EXPECT_FALSE(HXZServer::QueryAMulti("forged.hx.test", none, nullptr, 1));
}

TEST_F(DnsClient, CachedAnswersComeAtOnceAndExpireWithTheirTtl) {
  HX_REQUIRE_TOOL("dnsmasq", dnsmasq);
  StartDnsmasq(dnsmasq);
  ASSERT_TRUE(Rebind(Loopback({m_dnsmasq->port()})));

  Recorder recorder;
  HXZServer::QueryA("short.hx.test", &recorder, kLongLimitMs);
  ASSERT_FALSE(recorder.first().failed);
  const auto answered = Clock::now();
  EXPECT_EQ(HXZServer::QueryA("short.hx.test", &recorder, kLongLimitMs), "10.2.2.2");
  ASSERT_LT(MsSince(answered, Clock::now()), 900);  // well within the 1 s TTL

  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  EXPECT_EQ(HXZServer::QueryA("short.hx.test", &recorder, kLongLimitMs), "");  // asked anew
  ASSERT_TRUE(WaitFor([&] { return recorder.answers().size() == 2; }, 10000));
  EXPECT_EQ(recorder.answers()[1].addresses, (List{"10.2.2.2"}));
}

TEST_F(DnsClient, UnicodeNamesAreAskedInPunycode) {
  HX_REQUIRE_TOOL("dnsmasq", dnsmasq);
  StartDnsmasq(dnsmasq);
  ASSERT_TRUE(Rebind(Loopback({m_dnsmasq->port()})));
  Recorder recorder;
  HXZServer::QueryA("bücher.hx.test", &recorder, kLongLimitMs);
  const Recorder::Answer answer = recorder.first();
  ASSERT_FALSE(answer.failed);
  EXPECT_EQ(answer.name, "bücher.hx.test");  // the caller's own form
  EXPECT_EQ(answer.addresses, (List{"10.4.4.4"}));
  EXPECT_EQ(HXZServer::QueryA("bücher.hx.test", &recorder, kLongLimitMs), "10.4.4.4");
}

TEST_F(DnsClient, NumericNamesAreAnsweredAtOnceWithoutAnyQuery) {
  std::unique_ptr<ScriptedServer> silent(ScriptedServer::Silent());
  ASSERT_TRUE(Rebind(Loopback({silent->port()})));
  Recorder recorder;
  EXPECT_EQ(HXZServer::QueryA("192.0.2.1", &recorder, kLongLimitMs), "192.0.2.1");
  List list;
  EXPECT_TRUE(HXZServer::QueryAMulti("2001:db8::1", list, &recorder, kLongLimitMs));
  EXPECT_EQ(list, (List{"2001:db8::1"}));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(recorder.answers().empty());
}

TEST_F(DnsClient, TheSystemResolverIsAskedBesideTheNameServers) {
  std::unique_ptr<ScriptedServer> silent(ScriptedServer::Silent());
  ASSERT_TRUE(Rebind(Loopback({silent->port()})));
  Recorder recorder;
  List list;
  EXPECT_FALSE(HXZServer::QueryAMulti("localhost", list, &recorder, kLongLimitMs));
  const Recorder::Answer answer = recorder.first();
  ASSERT_FALSE(answer.failed);
  EXPECT_FALSE(answer.onLoop);  // the resolver pool's thread
  EXPECT_NE(std::find(answer.addresses.begin(), answer.addresses.end(), "127.0.0.1"),
            answer.addresses.end());
}

TEST_F(DnsClient, Dns64IsDetectedAndIpv4AddressesSynthesised) {
  HX_REQUIRE_TOOL("dnsmasq", dnsmasq);
  StartDnsmasq(dnsmasq, {"--host-record=ipv4only.arpa,64:ff9b::c000:aa",
                         "--host-record=v4only.hx.test,10.3.0.1"});
  ASSERT_TRUE(Rebind(Loopback({m_dnsmasq->port()})));
  ASSERT_TRUE(WaitFor(
      [] { return HXZServer::QueryA("192.0.2.1", nullptr, kLongLimitMs) == "64:ff9b::c000:201"; },
      10000));
  // The name server's own address stays as it is.
  EXPECT_EQ(HXZServer::QueryA("127.0.0.1", nullptr, kLongLimitMs), "127.0.0.1");

  Recorder recorder;
  List list;
  EXPECT_FALSE(HXZServer::QueryAMulti("v4only.hx.test", list, &recorder, kLongLimitMs));
  const Recorder::Answer answer = recorder.first();
  ASSERT_FALSE(answer.failed);
  EXPECT_EQ(answer.addresses, (List{"64:ff9b::a03:1"}));
}

TEST_F(DnsClient, FallbackServersAreAskedOnlyWhileSwitchedOn) {
  HX_REQUIRE_TOOL("dnsmasq", dnsmasq);
  StartDnsmasq(dnsmasq);
  std::unique_ptr<ScriptedServer> silent(ScriptedServer::Silent());
  hx::dns::SetFallbackNameServers(Loopback({m_dnsmasq->port()}));
  ASSERT_TRUE(Rebind(Loopback({silent->port()})));

  Recorder off;
  HXZServer::QueryA("a.hx.test", &off, 1000);
  EXPECT_TRUE(off.first().failed);

  HXZServer::EnableKvoDnsServers(true);  // takes effect without a rebuild
  Recorder on;
  HXZServer::QueryA("a.hx.test", &on, kLongLimitMs);
  EXPECT_FALSE(on.first().failed);
  HXZServer::EnableKvoDnsServers(false);
}

TEST_F(DnsClient, AWithdrawnCallbackHearsNothing) {
  std::unique_ptr<ScriptedServer> silent(ScriptedServer::Silent());
  ASSERT_TRUE(Rebind(Loopback({silent->port()})));
  auto calls = std::make_shared<std::atomic<int>>(0);
  struct Counting : HXDnsCallback {
    explicit Counting(std::shared_ptr<std::atomic<int>> count) : calls(std::move(count)) {}
    using HXDnsCallback::OnCallbackQueryA;
    void OnCallbackQueryA(const char*, const char*) override { ++*calls; }
    std::shared_ptr<std::atomic<int>> calls;
  };
  auto* callback = new Counting(calls);
  HXZServer::QueryA("gone.hx.test", callback, 300);
  delete callback;
  Recorder witness;  // a lookup with the same deadline shows that the deadline has passed
  HXZServer::QueryA("witness.hx.test", &witness, 300);
  EXPECT_TRUE(witness.first().failed);
  EXPECT_EQ(calls->load(), 0);
}

TEST_F(DnsClient, ShutdownFailsPendingLookups) {
  std::unique_ptr<ScriptedServer> silent(ScriptedServer::Silent());
  ASSERT_TRUE(Rebind(Loopback({silent->port()})));
  Recorder recorder;
  HXZServer::QueryA("pending.hx.test", &recorder, kLongLimitMs);
  const auto start = Clock::now();
  loop->Shutdown();
  const Recorder::Answer answer = recorder.first();
  EXPECT_TRUE(answer.failed);
  EXPECT_LT(MsSince(start, answer.at), kLongLimitMs / 2);
}

TEST_F(DnsClient, SocketsThatCannotBindAreRetriedWithGrowingPauses) {
  const uint8_t address[4] = {10, 7, 7, 7};
  ScriptedServer server(
      [&](const std::vector<uint8_t>& query) { return AnswerWithA(query, address); });
  // Both sockets fail to bind on every attempt for a while.
  g_failedBinds.store(0);
  g_failBinds.store(true);
  const bool rebound = Rebind(Loopback({server.port()}));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  g_failBinds.store(false);
  ASSERT_TRUE(rebound);
  // The first attempt and one retry after a second, for each of the two sockets.
  EXPECT_GE(g_failedBinds.load(), 2);
  EXPECT_LE(g_failedBinds.load(), 4);

  // The next retry (two seconds later) binds, and the servers given before are asked.
  Recorder recorder;
  HXZServer::QueryA("retried.hx.test", &recorder, kLongLimitMs);
  const Recorder::Answer answer = recorder.first(15000);
  ASSERT_FALSE(answer.failed);
  EXPECT_EQ(answer.addresses, (List{"10.7.7.7"}));
}

}  // namespace
