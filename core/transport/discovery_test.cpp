// Server discovery against dnsmasq on loopback (SRV records for "vcs2.tcp." and a test domain,
// address records for the hosts) and fake servers answering the check pings. Time limits are
// shortened.
#include "core/transport/discovery.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/net/loop/zserver_test_util.h"
#include "core/transport/check_srv_handshake.h"
#include "testing/dnsmasq_server.h"
#include "testing/fake_server/fake_server.h"

namespace hx::testing {
namespace {

using hx::servers::DiscoveryConfig;

std::set<std::string> Targets(const HXServerEpSetByTarget& set) {
  std::set<std::string> out;
  for (const auto& e : set) out.insert(e.getHost() + ":" + std::to_string(e.getPort()));
  return out;
}

// Records every report; after the DNS phase it checks the new hosts, as the servers list does.
class Recorder : public hx::servers::DiscoveryCallback {
 public:
  explicit Recorder(HX_Discovery& engine, bool checkNewHosts)
      : m_engine(engine), m_check(checkNewHosts) {}

  void onDiscoveryDone(uint32_t id, HXServerEpSetByTarget fresh, HXServerEpSetByTarget known,
                       HXServerEpSetByTarget missing) override {
    if (m_check) {
      if (auto config = m_engine.getConfig(id)) config->addCheckHosts(fresh);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    discovered.push_back({fresh, known, missing});
    m_changed.notify_all();
  }
  void onConnectivityCheckDone(uint32_t, hx::servers::ConnectivityResults results,
                               HXServerEpSetByTarget failed) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    checked.push_back({std::move(results), std::move(failed)});
    m_changed.notify_all();
  }
  void onHostConnected(uint32_t, const HXServerEndpoint& endpoint,
                       const std::string& resolved) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    connected.push_back({endpoint, resolved});
    m_changed.notify_all();
  }

  template <typename Condition>
  bool Wait(Condition condition, int timeout_ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms), condition);
  }

  struct Discovered {
    HXServerEpSetByTarget fresh, known, missing;
  };
  struct Checked {
    hx::servers::ConnectivityResults results;
    HXServerEpSetByTarget failed;
  };
  std::vector<Discovered> discovered;
  std::vector<Checked> checked;
  std::vector<std::pair<HXServerEndpoint, std::string>> connected;

 private:
  HX_Discovery& m_engine;
  bool m_check;
  std::mutex m_mutex;
  std::condition_variable m_changed;
};

class Discovery : public LoopFixture {
 protected:
  void SetUp() override {
    LoopFixture::SetUp();
    ASSERT_TRUE(first.Start());
    ASSERT_TRUE(second.Start());
    CheckSrvAnswer answer;
    answer.end_points = 100;
    ConnectionSettings settings;
    settings.check_srv = answer;
    first.SetConnectionSettings(settings);
    settings.check_srv.end_points = 5000;
    second.SetConnectionSettings(settings);
  }
  void TearDown() override {
    // The loop goes first: no answer may reach the engine after it is gone.
    EndLoop();
    engine.reset();
  }

  void StartNames(const std::string& program) {
    const std::string p1 = std::to_string(first.port());
    names = std::make_unique<DnsmasqServer>(
        program, std::vector<std::string>{
                     "--local=/hx.test/", "--local-ttl=120", "--host-record=s1.hx.test,127.0.0.1",
                     "--srv-host=vcs2.tcp.disc.hx.test,s1.hx.test," + p1 + ",10,20",
                     "--host-record=vcs2.tcp.addr.hx.test,127.0.0.1"});
    ASSERT_TRUE(names->ready());
    ASSERT_TRUE(loop->Rebind({{"127.0.0.1", names->port()}}));
  }

  std::shared_ptr<DiscoveryConfig> Config(const std::string& domain, uint32_t mode) {
    auto config = std::make_shared<DiscoveryConfig>();
    config->discovery(domain, hx::servers::DefaultSuffixAs, mode);
    config->setTimeouts(800, 3000);
    return config;
  }

  FakeServer first;
  FakeServer second;
  HXLock lock;
  std::unique_ptr<HX_Discovery> engine = std::make_unique<HX_Discovery>(lock);
  std::unique_ptr<DnsmasqServer> names;
};

TEST_F(Discovery, SrvHostsWithPortVariantsAreFoundAndChecked) {
  HX_REQUIRE_TOOL("dnsmasq", dnsmasq);
  StartNames(dnsmasq);
  auto recorder = std::make_shared<Recorder>(*engine, true);
  auto config = Config("Disc.HX.test", 0);  // lower-cased when the request starts
  config->setPortList({second.port()});
  const uint32_t id = engine->runRequest(config, recorder);
  ASSERT_NE(id, 0u);
  ASSERT_TRUE(recorder->Wait([&] { return !recorder->checked.empty(); }, 10000));
  ASSERT_EQ(recorder->discovered.size(), 1u);
  const auto& found = recorder->discovered.front();
  EXPECT_EQ(Targets(found.fresh),
            (std::set<std::string>{"s1.hx.test:" + std::to_string(first.port()),
                                   "s1.hx.test:" + std::to_string(second.port())}));
  for (const auto& host : found.fresh) EXPECT_EQ(host.getServerId(), "s1.hx.test#as");
  EXPECT_TRUE(found.known.empty());
  EXPECT_TRUE(found.missing.empty());

  const auto& checked = recorder->checked.front();
  ASSERT_EQ(checked.results.size(), 2u);
  EXPECT_TRUE(checked.failed.empty());
  for (const auto& [host, sticky] : checked.results) {
    EXPECT_EQ(sticky.resolved, "127.0.0.1");
    const uint64_t bonus = host.getPort() == first.port() ? 2 : 100;  // 100 and 5000 end points
    EXPECT_GE(host.getPing(), bonus);
    EXPECT_GT(host.getLastConnectTime(), 0u);
  }
  EXPECT_TRUE(recorder->connected.empty());  // not forced
  EXPECT_TRUE(WaitFor([&] { return engine->getConfig(id) == nullptr; }, 5000));
}

TEST_F(Discovery, KnownHostsAreToldApartFromNewOnes) {
  HX_REQUIRE_TOOL("dnsmasq", dnsmasq);
  StartNames(dnsmasq);
  auto recorder = std::make_shared<Recorder>(*engine, false);
  auto config = Config("disc.hx.test", 0);
  HXServerEpSetByTarget known;
  known.addHost(HXServerEndpoint("s1.hx.test", 0, "disc.hx.test", "s1.hx.test#as", first.port(),
                                 hx::servers::MAXTIME));
  known.addHost(
      HXServerEndpoint("gone.hx.test", 0, "disc.hx.test", "gone#as", 4307, hx::servers::MAXTIME));
  config->checkSet = known;
  ASSERT_NE(engine->runRequest(config, recorder), 0u);
  ASSERT_TRUE(recorder->Wait([&] { return !recorder->discovered.empty(); }, 10000));
  const auto& found = recorder->discovered.front();
  EXPECT_TRUE(found.fresh.empty());
  EXPECT_EQ(Targets(found.known),
            (std::set<std::string>{"s1.hx.test:" + std::to_string(first.port())}));
  EXPECT_EQ(Targets(found.missing), (std::set<std::string>{"gone.hx.test:4307"}));
}

TEST_F(Discovery, AddressLookupWhenThereIsNoSrvRecord) {
  HX_REQUIRE_TOOL("dnsmasq", dnsmasq);
  StartNames(dnsmasq);
  auto recorder = std::make_shared<Recorder>(*engine, false);
  auto config = Config("addr.hx.test", 0);
  config->setPortList({4307, 80, 443});
  ASSERT_NE(engine->runRequest(config, recorder), 0u);
  ASSERT_TRUE(recorder->Wait([&] { return !recorder->discovered.empty(); }, 10000));
  const auto& fresh = recorder->discovered.front().fresh;
  EXPECT_EQ(Targets(fresh),
            (std::set<std::string>{"127.0.0.1:4307", "127.0.0.1:80", "127.0.0.1:443"}));
  for (const auto& host : fresh) EXPECT_EQ(host.getServerId(), "addr.hx.test#as");
}

TEST_F(Discovery, NothingFoundIsStillReported) {
  HX_REQUIRE_TOOL("dnsmasq", dnsmasq);
  StartNames(dnsmasq);
  auto recorder = std::make_shared<Recorder>(*engine, false);
  ASSERT_NE(engine->runRequest(Config("nothing.hx.test", 0), recorder), 0u);
  ASSERT_TRUE(recorder->Wait([&] { return !recorder->discovered.empty(); }, 10000));
  EXPECT_TRUE(recorder->discovered.front().fresh.empty());
  EXPECT_TRUE(recorder->checked.empty());
}

TEST_F(Discovery, SilentNameServersEndInTheTimeLimits) {
  // Nothing answers: the SRV phase gives way to the address phase after the DNS limit, which
  // ends with nothing found after the limit again.
  const int silent = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  socklen_t length = sizeof address;
  getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length);
  ASSERT_TRUE(loop->Rebind({{"127.0.0.1", ntohs(address.sin_port)}}));
  auto recorder = std::make_shared<Recorder>(*engine, false);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_NE(engine->runRequest(Config("quiet.hx.test", 0), recorder), 0u);
  ASSERT_TRUE(recorder->Wait([&] { return !recorder->discovered.empty(); }, 10000));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
  EXPECT_TRUE(recorder->discovered.front().fresh.empty());
  close(silent);
}

TEST_F(Discovery, SrvAnswerDuringTheAddressPhaseIsUsed) {
  const int silent = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  socklen_t length = sizeof address;
  getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length);
  ASSERT_TRUE(loop->Rebind({{"127.0.0.1", ntohs(address.sin_port)}}));
  auto recorder = std::make_shared<Recorder>(*engine, false);
  auto config = Config("late.hx.test", 0);
  config->setTimeouts(1500, 1000);
  ASSERT_NE(engine->runRequest(config, recorder), 0u);
  // After the SRV limit the request looks up addresses (until 3000 ms).
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  engine->OnCallbackQuerySRV("late.hx.test", {});  // an empty answer changes nothing
  EXPECT_TRUE(recorder->discovered.empty());
  HXServerEpSetByTarget servers;
  servers.addHost(
      HXServerEndpoint("srv.late.hx.test", 0, "late.hx.test", "", 4307, hx::servers::MAXTIME));
  engine->OnCallbackQuerySRV("late.hx.test", servers);
  ASSERT_TRUE(recorder->Wait([&] { return !recorder->discovered.empty(); }, 5000));
  EXPECT_EQ(Targets(recorder->discovered.front().fresh),
            (std::set<std::string>{"srv.late.hx.test:4307"}));
  EXPECT_EQ(recorder->discovered.front().fresh.begin()->getServerId(), "srv.late.hx.test#as");
  close(silent);
}

TEST_F(Discovery, ForcedModeReportsEachAnsweringHostAtOnce) {
  auto recorder = std::make_shared<Recorder>(*engine, false);
  auto config = std::make_shared<DiscoveryConfig>();
  HXServerEpSetByTarget hosts;
  hosts.addHost(HXServerEndpoint("127.0.0.1", 0, "d", "a#as", first.port(), hx::servers::MAXTIME));
  hosts.addHost(HXServerEndpoint("127.0.0.1", 0, "d", "b#as", second.port(), hx::servers::MAXTIME));
  config->checkHosts("d", hosts, DiscoveryConfig::eCheck | DiscoveryConfig::eForced);
  config->setTimeouts(800, 3000);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_NE(engine->runRequest(config, recorder), 0u);
  // The per-host reports and the check report come from different jobs, in either order.
  ASSERT_TRUE(recorder->Wait(
      [&] { return !recorder->checked.empty() && recorder->connected.size() >= 2; }, 10000));
  // Every host answered: the report did not wait for the check limit.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
  EXPECT_EQ(recorder->connected.size(), 2u);
  EXPECT_EQ(recorder->checked.front().results.size(), 2u);
  EXPECT_TRUE(recorder->discovered.empty());  // no DNS phase
}

TEST_F(Discovery, SilentHostsFailAtTheCheckLimit) {
  CheckSrvAnswer silent;
  silent.kind = CheckSrvAnswer::Kind::kSilent;
  ConnectionSettings settings;
  settings.check_srv = silent;
  second.SetConnectionSettings(settings);
  auto recorder = std::make_shared<Recorder>(*engine, false);
  auto config = std::make_shared<DiscoveryConfig>();
  HXServerEpSetByTarget hosts;
  hosts.addHost(HXServerEndpoint("127.0.0.1", 0, "d", "a#as", first.port(), hx::servers::MAXTIME));
  hosts.addHost(HXServerEndpoint("127.0.0.1", 0, "d", "b#as", second.port(), hx::servers::MAXTIME));
  config->checkHosts("d", hosts, DiscoveryConfig::eCheck);
  config->setTimeouts(800, 600);
  HXCheckSrvHandshakeSimple::SetCheckLimitMs(700);
  ASSERT_NE(engine->runRequest(config, recorder), 0u);
  ASSERT_TRUE(recorder->Wait([&] { return !recorder->checked.empty(); }, 10000));
  EXPECT_EQ(recorder->checked.front().results.size(), 1u);
  EXPECT_EQ(Targets(recorder->checked.front().failed),
            (std::set<std::string>{"127.0.0.1:" + std::to_string(second.port())}));
  auto connection = second.WaitForConnection(1000);
  ASSERT_NE(connection, nullptr);
  EXPECT_TRUE(WaitFor([&] { return connection->phase() == ConnectionPhase::kClosed; }, 5000));
  HXCheckSrvHandshakeSimple::SetCheckLimitMs(HXCheckSrvHandshakeSimple::kDefaultCheckLimitMs);
}

TEST_F(Discovery, StrayAndRepeatedCheckAnswersChangeNothing) {
  CheckSrvAnswer silent;
  silent.kind = CheckSrvAnswer::Kind::kSilent;
  ConnectionSettings settings;
  settings.check_srv = silent;
  first.SetConnectionSettings(settings);
  HXCheckSrvHandshakeSimple::SetCheckLimitMs(1500);
  auto recorder = std::make_shared<Recorder>(*engine, false);
  auto config = std::make_shared<DiscoveryConfig>();
  HXServerEpSetByTarget hosts;
  hosts.addHost(HXServerEndpoint("127.0.0.1", 0, "d", "a#as", first.port(), hx::servers::MAXTIME));
  hosts.addHost(HXServerEndpoint("h2.hx.test", 0, "d", "b#as", 4307, hx::servers::MAXTIME));
  config->checkHosts("d", hosts, DiscoveryConfig::eCheck | DiscoveryConfig::eForced);
  config->setTimeouts(800, 1000);
  const uint32_t id = engine->runRequest(config, recorder);
  ASSERT_NE(id, 0u);
  // The pings run (state 6): answers for an unknown target and a repeated one are dropped.
  engine->onServerCheckDone(static_cast<int>(id), "stranger", "10.0.0.1", 4307, 5, "d", "x", false);
  engine->onServerCheckDone(static_cast<int>(id), "127.0.0.1", "127.0.0.1", first.port(), 5, "d",
                            "a#as", false);
  engine->onServerCheckDone(static_cast<int>(id), "127.0.0.1", "127.0.0.1", first.port(), 9, "d",
                            "a#as", false);
  ASSERT_TRUE(recorder->Wait([&] { return !recorder->checked.empty(); }, 5000));
  ASSERT_EQ(recorder->connected.size(), 1u);
  EXPECT_EQ(recorder->connected.front().first.getPing(), 5u);
  ASSERT_EQ(recorder->checked.front().results.size(), 1u);
  EXPECT_EQ(Targets(recorder->checked.front().failed), (std::set<std::string>{"h2.hx.test:4307"}));
  auto connection = first.WaitForConnection(1000);
  ASSERT_NE(connection, nullptr);
  EXPECT_TRUE(WaitFor([&] { return connection->phase() == ConnectionPhase::kClosed; }, 5000));
  HXCheckSrvHandshakeSimple::SetCheckLimitMs(HXCheckSrvHandshakeSimple::kDefaultCheckLimitMs);
}

TEST_F(Discovery, RequestsWithoutWorkAndIdsAfterTheLargest) {
  auto recorder = std::make_shared<Recorder>(*engine, false);
  auto nothing = std::make_shared<DiscoveryConfig>();
  EXPECT_EQ(engine->runRequest(nothing, recorder), 0u);  // mode 0: removed at once

  auto empty = std::make_shared<DiscoveryConfig>();
  empty->checkHosts("d", {}, DiscoveryConfig::eCheck);
  engine->setRequestSequence(UINT32_MAX - 1);
  EXPECT_EQ(engine->runRequest(empty, recorder), UINT32_MAX);
  ASSERT_TRUE(recorder->Wait([&] { return !recorder->checked.empty(); }, 5000));
  EXPECT_TRUE(recorder->checked.front().results.empty());
  EXPECT_TRUE(recorder->checked.front().failed.empty());

  // The next id after the largest is 1.
  auto waiting = std::make_shared<DiscoveryConfig>();
  HXServerEpSetByTarget hosts;
  hosts.addHost(HXServerEndpoint("127.0.0.1", 0, "d", "a#as", first.port(), hx::servers::MAXTIME));
  waiting->checkHosts("d", hosts, DiscoveryConfig::eCheck);
  EXPECT_EQ(engine->runRequest(waiting, recorder), 1u);
  // A name without the default-server prefix is none of discovery's business.
  engine->OnCallbackQueryA("other.hx.test", {"10.0.0.1"});
  ASSERT_TRUE(recorder->Wait([&] { return recorder->checked.size() == 2; }, 5000));

  // A request whose callback has gone ends silently.
  auto gone = std::make_shared<Recorder>(*engine, false);
  auto config = std::make_shared<DiscoveryConfig>();
  config->checkHosts("d", hosts, DiscoveryConfig::eCheck);
  const uint32_t id = engine->runRequest(config, gone);
  ASSERT_NE(id, 0u);
  gone.reset();
  EXPECT_TRUE(WaitFor([&] { return engine->getConfig(id) == nullptr; }, 5000));
  engine->removeRequest(12345);  // unknown: nothing
}

}  // namespace
}  // namespace hx::testing
