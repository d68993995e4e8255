// The servers list against a real servers-list database file: update intervals and what each
// update asks of discovery (read back from the engine's configuration while no loop runs), the
// discovery callbacks, the saving of a login's servers list, and, with the network loop, dnsmasq
// and fake servers, a whole update cycle and the meeting-server search. Stored times are set
// relative to the current time; updateDomain is given "now" directly.
#include "core/transport/servers_list.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "core/net/loop/zserver_test_util.h"
#include "core/transport/check_srv_handshake.h"
#include "core/transport/transport_target.h"
#include "testing/dnsmasq_server.h"
#include "testing/fake_server/fake_server.h"
#include "testing/test_support.h"

namespace hx::testing {
namespace {

using hx::servers::DiscoveryConfig;
using hx::transport::TargetBuilder;

uint64_t Now() { return static_cast<uint64_t>(std::time(nullptr)); }

class ServersList : public ::testing::Test {
 protected:
  void SetUp() override {
    list = std::make_shared<HX_ServersList>(temp.path() + "/");
    db = list->getMainDb();
    ASSERT_TRUE(db->IsOpen());
  }

  // The configuration of the next discovery request, which stays registered without a loop.
  std::shared_ptr<DiscoveryConfig> NextRequest() {
    return list->discoveryHandler().getConfig(next_id);
  }
  void ExpectNoRequest() { EXPECT_EQ(NextRequest(), nullptr); }
  void MarkNextRequest() {
    next_id += 10;
    list->discoveryHandler().setRequestSequence(next_id - 1);
  }

  TempDir temp;
  std::shared_ptr<HX_ServersList> list;
  std::shared_ptr<HX_ServersListDBFile> db;
  uint32_t next_id = 100;
};

TEST_F(ServersList, OpensItsFileInTheFolder) {
  EXPECT_TRUE(std::filesystem::exists(temp.path() + "/serverlist.sqlite"));
  EXPECT_EQ(list->getCurrentDb(), db);
}

TEST_F(ServersList, UpdateNeedsTheCurrentRequestId) {
  list->setTarget(TargetBuilder().setCloud("d1.example").build(), 5);
  uint64_t next = 7;
  MarkNextRequest();
  EXPECT_FALSE(list->Update(4, false, &next));
  EXPECT_EQ(next, 7u);
  ExpectNoRequest();
  EXPECT_TRUE(list->Update(5, false, &next));
  EXPECT_LE(next, 86400u);
  // A cloud domain never looked up asks for DNS on the three default ports.
  auto config = NextRequest();
  ASSERT_NE(config, nullptr);
  EXPECT_EQ(config->domain, "d1.example");
  EXPECT_EQ(config->mode, DiscoveryConfig::eDns);
  EXPECT_EQ(config->portList, (std::list<uint16_t>{4307, 80, 443}));
  EXPECT_EQ(config->serverSuffix, "#as");

  list->setTarget(TargetBuilder().setCloud("").build(), 6);
  EXPECT_FALSE(list->Update(6, false, &next));  // no domains
}

TEST_F(ServersList, DnsRefreshAfterExactlyOneDay) {
  // A server that answered and was checked when its DNS data were read.
  HXServerEpList hosts;
  hosts.addHost(HXServerEndpoint("h1", 0, "d1", "s1#as", 4307, hx::servers::MAXTIME));
  ASSERT_TRUE(db->Save("d1", hosts, true));
  const uint64_t t = db->GetDNSUpdateTime("d1");
  ASSERT_GT(t, 0u);
  ASSERT_TRUE(db->SetPingTime("d1", "s1#as", "h1", "", 4307, 20, t));
  ASSERT_TRUE(db->SetLastCheckTime("d1", {"s1#as"}, t));

  uint64_t next = 86400;
  MarkNextRequest();
  EXPECT_TRUE(list->updateDomain(true, "d1", false, t + 86399, &next));
  EXPECT_EQ(next, 1u);
  ExpectNoRequest();
  EXPECT_FALSE(list->isDnsUpdateRequired("d1", t + 86399));

  next = 86400;
  MarkNextRequest();
  EXPECT_TRUE(list->isDnsUpdateRequired("d1", t + 86400));
  EXPECT_TRUE(list->updateDomain(true, "d1", true, t + 86400, &next));
  auto config = NextRequest();
  ASSERT_NE(config, nullptr);
  EXPECT_EQ(config->portList, (std::list<uint16_t>{4307, 80, 443}));
  // The host is due again as well: DNS and check, forced.
  EXPECT_EQ(config->mode,
            DiscoveryConfig::eDns | DiscoveryConfig::eCheck | DiscoveryConfig::eForced);
  EXPECT_EQ(config->checkSet.size(), 1u);
  EXPECT_TRUE(list->isDnsUpdateRequired("d1", t - 1));  // the clock went back
}

TEST_F(ServersList, AServerWithOneFreshHostIsNotChecked) {
  // Checked 1000 s ago: the host that answered then is fresh for a day, the other one is due
  // (but its server is not).
  const uint64_t now = Now();
  HXServerEpList hosts;
  hosts.addHost(HXServerEndpoint("fresh", 0, "d1", "s1#as", 4307, hx::servers::MAXTIME));
  hosts.addHost(HXServerEndpoint("stale", 0, "d1", "s1#as", 4307, hx::servers::MAXTIME));
  ASSERT_TRUE(db->Save("d1", hosts, false));
  ASSERT_TRUE(db->SetPingTime("d1", "s1#as", "fresh", "", 4307, 30, now - 1000));
  ASSERT_TRUE(db->SetLastCheckTime("d1", {"s1#as"}, now - 1000));
  HXServerEndpoint stale;
  ASSERT_TRUE(db->GetHost(stale, "stale", 4307));
  ASSERT_LE(stale.getConnectivityCheckTime(now), now);
  HXServerEndpoint fresh;
  ASSERT_TRUE(db->GetHost(fresh, "fresh", 4307));
  const uint64_t due_at = fresh.getConnectivityCheckTime(now);
  ASSERT_GT(due_at, now);

  uint64_t next = 86400;
  MarkNextRequest();
  EXPECT_TRUE(list->updateDomain(false, "d1", false, now, &next));
  ExpectNoRequest();  // nothing due, DNS not asked for
  EXPECT_EQ(next, due_at - now);

  // Once the fresh host is due as well, both are checked (and the check time is recorded).
  MarkNextRequest();
  EXPECT_TRUE(list->updateDomain(false, "d1", false, due_at, nullptr));
  auto config = NextRequest();
  ASSERT_NE(config, nullptr);
  EXPECT_EQ(config->mode, DiscoveryConfig::eCheck);
  EXPECT_EQ(config->checkSet.size(), 2u);
  HXServerEpList stored;
  db->GetHosts("s1#as", stored);
  for (const auto& host : stored) EXPECT_EQ(host.getLastCheckTime(), due_at);
}

TEST_F(ServersList, RecheckDoesNothingOnceTheDnsDataAreFresh) {
  auto config = std::make_shared<HX_ServersList::DiscoveryConfigSL>();
  config->discovery("d1", "#as", 0);
  MarkNextRequest();
  list->onTimeRecheckDNS(config);  // never looked up: runs again
  EXPECT_EQ(NextRequest(), config);

  HXServerEpSetByTarget found;
  found.addHost(HXServerEndpoint("h1", 0, "d1", "s1#as", 4307, hx::servers::MAXTIME));
  ASSERT_TRUE(db->Save("d1", found, true));
  MarkNextRequest();
  list->onTimeRecheckDNS(config);
  ExpectNoRequest();
}

TEST_F(ServersList, DiscoveryResultsAreStored) {
  auto config = std::make_shared<HX_ServersList::DiscoveryConfigSL>();
  config->discovery("d1", "#as", 0);
  MarkNextRequest();
  list->onTimeRecheckDNS(config);
  ASSERT_EQ(NextRequest(), config);

  HXServerEpSetByTarget fresh;
  fresh.addHost(HXServerEndpoint("new.d1", 0, "d1", "new.d1#as", 4307, hx::servers::MAXTIME));
  HXServerEpSetByTarget known;
  known.addHost(HXServerEndpoint("old.d1", 0, "d1", "old.d1#as", 4307, hx::servers::MAXTIME));
  list->onDiscoveryDone(next_id, fresh, known, {});
  EXPECT_EQ(config->checkSet.size(), 1u);  // the new host is checked next
  EXPECT_NE(config->mode & DiscoveryConfig::eCheck, 0u);
  EXPECT_GT(db->GetDNSUpdateTime("d1"), 0u);
  EXPECT_EQ(db->GetServerOfHost("new.d1", 4307), "new.d1#as");
  EXPECT_EQ(db->GetServerOfHost("old.d1", 4307), "old.d1#as");

  hx::servers::ConnectivityResults results;
  HXServerEndpoint answered("new.d1", 0, "d1", "new.d1#as", 4307, 42);
  answered.setLastConnectTime(Now());
  results.emplace(answered, hx::servers::callback::StickyInfo{"10.0.0.9"});
  list->onConnectivityCheckDone(next_id, results, {});
  HXServerEndpoint stored;
  ASSERT_TRUE(db->GetHost(stored, "new.d1", 4307));
  EXPECT_EQ(stored.getPing(), 42u);

  int updates = 0;
  struct Counter {
    int* count;
    void On() { ++*count; }
  } counter{&updates};
  list->updated.Connect(&counter, &Counter::On);
  HXServerEndpoint forced("old.d1", 0, "d1", "old.d1#as", 4307, 77);
  forced.setLastConnectTime(Now());
  list->onHostConnected(next_id, forced, "10.0.0.8");
  ASSERT_TRUE(db->GetHost(stored, "old.d1", 4307));
  EXPECT_EQ(stored.getPing(), 77u);
  EXPECT_EQ(updates, 1);
}

TEST_F(ServersList, SaveEndpointsFilesAStandAloneServerAndEmptiesTheCandidates) {
  list->setTarget(TargetBuilder().setCloud("d1").build(), 1);
  list->addRedirect(1, "redirect", 80);
  HX_DomainServersList login;
  HX_TransportEndpointList endpoints;
  auto endpoint = std::make_shared<HX_Endpoint>("h1", hx::tcpConnect);
  endpoint->SetHost("10.0.0.1");
  endpoint->SetPort(4307);
  endpoints.push_back(endpoint);
  login.set("", "h1", endpoints, "hint.example");
  HX_TransportConnectionParam connection;
  connection.setServerAddress("10.0.0.1", 4307);
  connection.setSID("h1#vcs");
  list->SaveEndpoints(login, connection, "hint.example", false);
  EXPECT_EQ(db->GetServerOfHost("10.0.0.1", 4307), "h1#vcs");
  EXPECT_EQ(db->getDomainOfServer("h1#vcs"), "h1");  // deduced from the id
  // The redirect went with the candidates: the next host comes from the database.
  uint16_t port = 0;
  EXPECT_EQ(list->GetNextServerList("d1", "", port, false), "");

  HX_TransportEndpointList media;
  EXPECT_TRUE(list->getServerEpList("h1#vcs", media));
  ASSERT_EQ(media.size(), 1u);
  EXPECT_EQ(media.front()->getHost(), "10.0.0.1");
  EXPECT_FALSE(list->getServerEpList("unknown#vcs", media));
  EXPECT_TRUE(media.empty());
}

TEST_F(ServersList, UpdateServerEndpointsReplacesTheServersHosts) {
  HXServerEpList old;
  old.addHost(HXServerEndpoint("a.example", 0, "d1", "s1#as", 4307, hx::servers::MAXTIME));
  old.addHost(HXServerEndpoint("b.example", 0, "d1", "s1#as", 4307, hx::servers::MAXTIME));
  ASSERT_TRUE(db->Save("d1", old, false));
  HXServerEpList fresh;
  fresh.addHost(HXServerEndpoint("a.example", 0, "", "", 4307, hx::servers::MAXTIME));
  fresh.addHost(HXServerEndpoint("c.example", 0, "", "", 4307, hx::servers::MAXTIME));
  HX_TransportConnectionParam connection;
  EXPECT_TRUE(list->updateServerEndpointsList("d1", "s1#as", fresh, connection, nullptr));
  HXServerEpList stored;
  db->GetHosts("s1#as", stored);
  std::set<std::string> hosts;
  for (const auto& host : stored) hosts.insert(host.getHost());
  EXPECT_EQ(hosts, (std::set<std::string>{"a.example", "c.example"}));
  // The same list again adds nothing.
  EXPECT_FALSE(list->updateServerEndpointsList("d1", "s1#as", fresh, connection, nullptr));
}

TEST_F(ServersList, HostDescriptions) {
  HXServerEpList hosts;
  hosts.addHost(
      HXServerEndpoint("srv.example", 0, "d1", "srv.example#vcs", 4307, hx::servers::MAXTIME));
  ASSERT_TRUE(db->Save("d1", hosts, false));
  HXServerEndpoint out;
  EXPECT_TRUE(list->GetHostDescription(out, "srv.example", 4307));
  EXPECT_FALSE(list->GetHostDescription(out, "other", 4307));

  HX_TransportConnectionParam connection;
  connection.setServerAddress("srv.example", 4307);
  connection.setServerDomain("d1");
  connection.setSID("srv.example#vcs");
  EXPECT_TRUE(list->GetHostDescription(out, connection, "10.0.0.1"));
  EXPECT_EQ(out.getServerId(), "srv.example#vcs");
  // A server that changed its id is still described by the row.
  connection.setSID("renamed.example#vcs");
  EXPECT_TRUE(list->GetHostDescription(out, connection, "10.0.0.1"));
  EXPECT_EQ(out.getServerId(), "renamed.example#vcs");
  EXPECT_EQ(out.getDomain(), "d1");
  // An unknown host of an unknown server: the connection's domain, and false.
  connection.setServerAddress("new.example", 4307);
  connection.setSID("new.example#vcs");
  connection.setServerDomain("d2");
  EXPECT_FALSE(list->GetHostDescription(out, connection, "10.0.0.2"));
  EXPECT_EQ(out.getDomain(), "d2");
  EXPECT_EQ(out.getHost(), "new.example");
}

TEST_F(ServersList, MeetingOnTheCurrentServerAndTheFallbacks) {
  HXServerEndpoint current("cur.example", 0, "d1", "cur#as", 4307, 10);
  HXServerEndpoint out;
  EXPECT_TRUE(list->FindMeetingServer(out, current, "d1", "cur#as", 1000, 5));
  EXPECT_EQ(out.getHost(), "cur.example");

  // No loop, nothing stored: the made-up default.
  EXPECT_FALSE(list->FindMeetingServer(out, current, "d1", "meet.example#as", 100, 5));
  EXPECT_EQ(out.getHost(), "meet.example");
  EXPECT_EQ(out.getPort(), 4307);
  EXPECT_EQ(out.getLastConnectTime(), UINT64_MAX);
  EXPECT_EQ(out.getServerId(), "meet.example#as");
  EXPECT_EQ(out.getDomain(), "d1");
}

TEST_F(ServersList, DeduceDomain) {
  EXPECT_EQ(HX_DomainServersList::deduceDomain("", "s#as", "hint"), "hint");
  EXPECT_EQ(HX_DomainServersList::deduceDomain("", "s.d1.d2#vcs", "hint"), "s.d1.d2");
}

// With the network loop: a whole update cycle against dnsmasq and two fake servers, and the
// meeting-server search.
class ServersListLive : public LoopFixture {
 protected:
  void SetUp() override {
    LoopFixture::SetUp();
    HX_ServersList::DiscoveryConfigSL::SetDefaultTimeouts(2000, 2000);
    HXCheckSrvHandshakeSimple::SetCheckLimitMs(800);
    list = std::make_shared<HX_ServersList>(temp.path() + "/");
    ASSERT_TRUE(fast.Start());
    ASSERT_TRUE(loaded.Start());
    Answer(fast, 100);
    Answer(loaded, 5000);
  }
  void TearDown() override {
    // Every check ends (answered, or closed at the check limit) before the loop goes.
    for (FakeServer* server : {&fast, &loaded}) {
      EXPECT_TRUE(WaitFor(
          [&] {
            for (const auto& c : server->Connections()) {
              if (c->phase() != ConnectionPhase::kClosed) return false;
            }
            return true;
          },
          5000));
    }
    OnLoop([] {});  // the loop deletes the ended checks on its next turn
    OnLoop([] {});
    EndLoop();  // no check answer may reach the list after it is gone
    list.reset();
    HX_ServersList::DiscoveryConfigSL::SetDefaultTimeouts(15000, 15000);
    HXCheckSrvHandshakeSimple::SetCheckLimitMs(HXCheckSrvHandshakeSimple::kDefaultCheckLimitMs);
  }
  static void Answer(FakeServer& server, uint32_t end_points,
                     CheckSrvAnswer::Kind kind = CheckSrvAnswer::Kind::kAnswer,
                     std::chrono::milliseconds delay = std::chrono::milliseconds(0)) {
    ConnectionSettings settings;
    settings.check_srv.end_points = end_points;
    settings.check_srv.kind = kind;
    settings.check_srv.delay = delay;
    server.SetConnectionSettings(settings);
  }

  // Outlives the list's last emission: the fixture goes after TearDown ended the loop.
  struct UpdateCounter {
    std::atomic<int> count{0};
    void On() { ++count; }
  };

  TempDir temp;
  std::shared_ptr<HX_ServersList> list;
  FakeServer fast;
  FakeServer loaded;
  UpdateCounter updates;
};

TEST_F(ServersListLive, UpdateDiscoversChecksAndRanksTwoServers) {
  HX_REQUIRE_TOOL("dnsmasq", dnsmasq);
  DnsmasqServer names(
      dnsmasq,
      {"--local=/hx.test/", "--local-ttl=120", "--host-record=s1.hx.test,127.0.0.1",
       "--host-record=s2.hx.test,127.0.0.1",
       "--srv-host=vcs2.tcp.cloud.hx.test,s2.hx.test," + std::to_string(loaded.port()) + ",10,10",
       "--srv-host=vcs2.tcp.cloud.hx.test,s1.hx.test," + std::to_string(fast.port()) + ",10,10"});
  ASSERT_TRUE(names.ready());
  ASSERT_TRUE(loop->Rebind({{"127.0.0.1", names.port()}}));

  list->setTarget(TargetBuilder().setCloud("cloud.hx.test").build(), 1);
  uint64_t next = 0;
  ASSERT_TRUE(list->Update(1, false, &next));
  auto db = list->getMainDb();
  // Found by SRV, stored with the DNS flag, checked (the port variants fail), pings stored.
  ASSERT_TRUE(WaitFor(
      [&] {
        HXServerEndpoint a, b;
        return db->GetHost(a, "s1.hx.test", fast.port()) && a.hasValidCheckResult() &&
               db->GetHost(b, "s2.hx.test", loaded.port()) && b.hasValidCheckResult();
      },
      15000));
  EXPECT_GT(db->GetDNSUpdateTime("cloud.hx.test"), 0u);
  HXServerEndpoint a, b;
  db->GetHost(a, "s1.hx.test", fast.port());
  db->GetHost(b, "s2.hx.test", loaded.port());
  EXPECT_GE(a.getPing(), 2u);
  EXPECT_GE(b.getPing(), 100u);

  uint16_t port = 0;
  EXPECT_EQ(list->GetNextServerList("cloud.hx.test", "", port, true), "s1.hx.test");
  EXPECT_EQ(port, fast.port());
  HXServerEndpoint best;
  EXPECT_TRUE(list->getBestHost(1, best));
  EXPECT_EQ(best.getHost(), "s1.hx.test");
  EXPECT_FALSE(list->getBestHost(2, best));
}

TEST_F(ServersListLive, MeetingServerIsTheFirstHostToAnswer) {
  auto db = list->getMainDb();
  HXServerEpList hosts;
  hosts.addHost(
      HXServerEndpoint("127.0.0.1", 0, "d1", "meet#as", fast.port(), hx::servers::MAXTIME));
  hosts.addHost(
      HXServerEndpoint("127.0.0.1", 0, "d1", "meet#as", loaded.port(), hx::servers::MAXTIME));
  ASSERT_TRUE(db->Save("d1", hosts, false));
  Answer(loaded, 100, CheckSrvAnswer::Kind::kAnswer, std::chrono::milliseconds(500));
  HXServerEndpoint current("cur", 0, "d1", "cur#as", 4307, 10);
  HXServerEndpoint out;
  EXPECT_TRUE(list->FindMeetingServer(out, current, "d1", "meet#as", 5000, 5));
  EXPECT_EQ(out.getPort(), fast.port());
  EXPECT_EQ(out.getHost(), "127.0.0.1");

  // None answers within the limit: the best stored host, and false.
  Answer(fast, 1, CheckSrvAnswer::Kind::kSilent);
  Answer(loaded, 1, CheckSrvAnswer::Kind::kSilent);
  EXPECT_FALSE(list->FindMeetingServer(out, current, "d1", "meet#as", 300, 5));
  EXPECT_EQ(out.getServerId(), "meet#as");
  EXPECT_EQ(out.getPort(), fast.port());  // the one with the best stored ping
}

// Each search gives up just before the answer comes; the late answer of one round meets the next
// search starting, which must neither take it nor be disturbed by it.
TEST_F(ServersListLive, LateAnswersMeetTheNextSearch) {
  auto db = list->getMainDb();
  HXServerEpList hosts;
  hosts.addHost(
      HXServerEndpoint("127.0.0.1", 0, "d1", "meet#as", fast.port(), hx::servers::MAXTIME));
  ASSERT_TRUE(db->Save("d1", hosts, false));
  Answer(fast, 100, CheckSrvAnswer::Kind::kAnswer, std::chrono::milliseconds(60));
  HXServerEndpoint current("cur", 0, "d1", "cur#as", 4307, 10);
  int found = 0;
  for (int i = 0; i < 12; ++i) {
    HXServerEndpoint out;
    if (list->FindMeetingServer(out, current, "d1", "meet#as", 50, 5)) {
      ++found;
      EXPECT_EQ(out.getPort(), fast.port());
    } else {
      EXPECT_EQ(out.getServerId(), "meet#as");
    }
    EXPECT_FALSE(out.getHost().empty());
  }
  EXPECT_LT(found, 12);
}

// Updates with their checks and forced reports (loop and worker pool), and the transport
// manager's calls on the iterator (caller threads), all at once.
TEST_F(ServersListLive, UpdatesAndIteratorCallsRace) {
  HXServerEpList hosts;
  hosts.addHost(HXServerEndpoint("127.0.0.1", 0, "d1", "a#as", fast.port(), hx::servers::MAXTIME));
  hosts.addHost(
      HXServerEndpoint("127.0.0.1", 0, "d1", "b#as", loaded.port(), hx::servers::MAXTIME));
  const HX_TransportTarget target = TargetBuilder().setCloud("d1").setServersList(hosts).build();
  list->setTarget(target, 1);
  list->updated.Connect(&updates, &UpdateCounter::On);
  std::atomic<bool> stop{false};
  std::thread updater([&] {
    for (int i = 0; i < 15; ++i) {
      list->InvalidateHostPort("d1", "127.0.0.1", fast.port());
      list->InvalidateHostPort("d1", "127.0.0.1", loaded.port());
      uint64_t next = 0;
      list->Update(1, true, &next);
      std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
    stop = true;
  });
  std::thread caller([&] {
    uint16_t port = 0;
    std::string host;
    while (!stop) {
      host = list->GetNextServerList("d1", host.c_str(), port, false);
      list->addRedirect(1, "127.0.0.1", fast.port());
      HXServerEndpoint best;
      list->getBestHost(1, best);
    }
  });
  updater.join();
  caller.join();
  EXPECT_TRUE(WaitFor([&] { return updates.count.load() > 0; }, 5000));
}

TEST_F(ServersListLive, AFoundHostWithoutAddressKeepsItsName) {
  auto db = list->getMainDb();
  HXServerEpList hosts;
  hosts.addHost(
      HXServerEndpoint("127.0.0.1", 0, "d1", "meet#as", fast.port(), hx::servers::MAXTIME));
  ASSERT_TRUE(db->Save("d1", hosts, false));
  Answer(fast, 1, CheckSrvAnswer::Kind::kSilent);
  HXServerEndpoint current("cur", 0, "d1", "cur#as", 4307, 10);
  auto search = std::async(std::launch::async, [&] {
    HXServerEndpoint out;
    const bool found = list->FindMeetingServer(out, current, "d1", "meet#as", 5000, 5);
    return std::make_pair(found, out);
  });
  ASSERT_TRUE(WaitFor([&] { return fast.Connections().size() == 1; }, 5000));
  // The answer of round 1 for a named host the DNS client had no address for.
  list->onFindServerCheckDone(1, "named.example", "", fast.port(), 12, "d1", "meet#as", false);
  const auto [found, out] = search.get();
  EXPECT_TRUE(found);
  EXPECT_EQ(out.getHost(), "named.example");
  EXPECT_EQ(out.getPing(), 12u);
}

}  // namespace
}  // namespace hx::testing
