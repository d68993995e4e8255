// The servers-list iterator against a real (in-memory) servers-list database: what init learns
// from each kind of target, the groups and rounds of the candidates, redirects, the retry rule of
// getNextServer and the default-server walk. Stored times are set relative to the current time.
#include "core/transport/servers_list_iterator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <string>
#include <vector>

#include "core/storage/server_list_db.h"
#include "core/transport/transport_target.h"

namespace {

using hx::servers::SlIterator;
using hx::transport::TargetBuilder;

uint64_t Now() { return static_cast<uint64_t>(std::time(nullptr)); }

class Iterator : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(db.OpenDatabase("", HXDBBase::Recreate)); }

  // A host of `server` in domain "d1" that answered with `ping` `age` seconds ago.
  void Answered(const std::string& server, const std::string& host, uint16_t port, uint64_t ping,
                uint64_t age) {
    ASSERT_TRUE(db.SetPingTime("d1", server, host, "", port, ping, Now() - age));
  }

  std::vector<std::string> Candidates() const {
    std::vector<std::string> out;
    for (const auto& c : it.getCandidates()) out.push_back(c.host + ":" + std::to_string(c.port));
    return out;
  }

  HX_ServersListDBTemp db;
  SlIterator it;
};

TEST_F(Iterator, CloudTargetTakesItsDomain) {
  EXPECT_TRUE(it.init(TargetBuilder().setCloud("D1.Example").build(), 7, db));
  std::list<std::string> domains;
  EXPECT_TRUE(it.getDomains(domains));
  EXPECT_EQ(domains, (std::list<std::string>{"d1.example"}));
  EXPECT_EQ(it.getRequestId(), 7u);
  EXPECT_FALSE(it.init(TargetBuilder().setCloud("").build(), 8, db));
  EXPECT_FALSE(it.addDomain(""));
  EXPECT_TRUE(it.addDomain("Straße.example"));
  EXPECT_FALSE(it.addDomain("straße.EXAMPLE"));
}

TEST_F(Iterator, UnknownSingleServerIsStoredAndTriedFirst) {
  Answered("s1#as", "h2", 4307, 10, 60);
  ASSERT_TRUE(it.init(TargetBuilder().setCloud("d1").setServer("h1", 4307).build(), 1, db));
  EXPECT_EQ(Candidates(), (std::vector<std::string>{"h1:4307", "h2:4307"}));
  HXServerEndpoint stored;
  ASSERT_TRUE(db.GetHost(stored, "h1", 4307));
  EXPECT_EQ(stored.getServerId(), "h1#vcs");
  EXPECT_EQ(stored.getDomain(), "d1");

  // Without a domain the host is its own domain.
  ASSERT_TRUE(it.init(TargetBuilder().setServer("lone.example", 80).build(), 2, db));
  ASSERT_TRUE(db.GetHost(stored, "lone.example", 80));
  EXPECT_EQ(stored.getDomain(), "lone.example");
}

TEST_F(Iterator, KnownSingleServerMovesToTheFrontWithoutStoring) {
  Answered("s1#as", "h1", 4307, 10, 60);
  Answered("s1#as", "h2", 4307, 5, 60);
  ASSERT_TRUE(it.init(TargetBuilder().setServer("H2", 4307).build(), 1, db));
  EXPECT_EQ(Candidates(), (std::vector<std::string>{"h2:4307", "h1:4307"}));
  std::list<std::string> domains;
  it.getDomains(domains);
  EXPECT_EQ(domains, (std::list<std::string>{"h2", "d1"}));  // the stored row's domain joins
  EXPECT_EQ(db.GetServerOfHost("h2", 4307), "s1#as");        // nothing stored anew
}

TEST_F(Iterator, ServersListHostsFollowTheirServerId) {
  HXServerEpList list;
  list.addHost(HXServerEndpoint("h1", 0, "", "s1#as", 4307, hx::servers::MAXTIME));
  list.addHost(HXServerEndpoint("h2", 0, "", "", 4307, hx::servers::MAXTIME));
  list.addHost(HXServerEndpoint("h3", 0, "", "", 80, hx::servers::MAXTIME));
  ASSERT_TRUE(it.init(TargetBuilder().setServersList(list).build(), 3, db));
  for (const char* host : {"h1", "h2", "h3"}) {
    EXPECT_EQ(db.GetServerOfHost(host, std::string(host) == "h3" ? 80 : 4307), "s1#as") << host;
  }
  std::list<std::string> domains;
  it.getDomains(domains);
  EXPECT_EQ(domains, (std::list<std::string>{"s1"}));  // from the server id
  EXPECT_EQ(db.getDomainOfServer("s1#as"), "s1");
}

TEST_F(Iterator, GroupsAndRounds) {
  Answered("s1#as", "h1", 4307, 10, 60);          // A, round 0
  Answered("s1#as", "h1", 443, 20, 60);           // A, round 1 (second port of h1)
  Answered("s2#as", "h2", 4307, 30, 60);          // A, round 0
  Answered("s3#as", "p14999", 4307, 14999, 60);   // X: not a usable ping
  Answered("s3#as", "p0", 4307, 0, 60);           // stored as 1: usable, A
  Answered("s4#as", "old", 4307, 40, 3 * 86400);  // C: neither connected nor checked lately
  ASSERT_TRUE(it.init(TargetBuilder().setCloud("d1").build(), 1, db));
  it.checkHostList(db, true);
  const auto candidates = Candidates();
  ASSERT_EQ(candidates.size(), 6u);
  // Group A by rounds, then C, then X.
  EXPECT_EQ(candidates[candidates.size() - 1], "p14999:4307");
  EXPECT_EQ(candidates[candidates.size() - 2], "old:4307");
  std::vector<std::string> a(candidates.begin(), candidates.begin() + 4);
  EXPECT_EQ(a.back(), "h1:443");  // every host name once before any second port
  EXPECT_NE(std::find(a.begin(), a.end(), "p0:4307"), a.end());
  EXPECT_LT(std::find(a.begin(), a.end(), "h1:4307"), std::find(a.begin(), a.end(), "h2:4307"));
}

TEST_F(Iterator, RoundsOfOneGroup) {
  Answered("s1#as", "h1", 4307, 10, 60);
  Answered("s1#as", "h1", 443, 20, 60);
  Answered("s2#as", "h2", 4307, 30, 60);
  ASSERT_TRUE(it.init(TargetBuilder().setCloud("d1").build(), 1, db));
  it.checkHostList(db, false);
  EXPECT_EQ(Candidates(), (std::vector<std::string>{"h1:4307", "h2:4307", "h1:443"}));
}

TEST_F(Iterator, CheckedWithinADayButNotConnectedGoesLast) {
  Answered("s1#as", "fresh", 4307, 50, 3 * 86400);
  ASSERT_TRUE(db.SetLastCheckTime("d1", {"s1#as"}, Now() - 60));
  Answered("s2#as", "stale", 4307, 60, 3 * 86400);
  ASSERT_TRUE(it.init(TargetBuilder().setCloud("d1").build(), 1, db));
  it.checkHostList(db, false);
  EXPECT_EQ(Candidates(), (std::vector<std::string>{"stale:4307", "fresh:4307"}));
}

TEST_F(Iterator, RedirectsAndTheRetryRule) {
  Answered("s1#as", "h1", 4307, 10, 60);
  ASSERT_TRUE(it.init(TargetBuilder().setCloud("d1").build(), 1, db));
  uint16_t port = 0;
  EXPECT_EQ(it.getNextServer(db, "", "", port, false), "h1");
  EXPECT_EQ(port, 4307);
  // The attempt failed; h1:4307 is still the only host: the rebuilt list offers it again.
  EXPECT_EQ(it.getNextServer(db, "", "h1", port, false), "h1");
  EXPECT_EQ(port, 4307);

  it.addRedirect("r1", 80);
  it.addRedirect("R1", 80);  // already in front
  EXPECT_EQ(Candidates(), (std::vector<std::string>{"r1:80"}));
  EXPECT_EQ(it.getCandidates().front().host, "r1");
  port = 0;
  EXPECT_EQ(it.getNextServer(db, "", "", port, false), "r1");
  EXPECT_EQ(port, 80);

  // The same target as the last attempt is skipped while another is left.
  it.resetList();
  it.addRedirect("h1", 4307);
  it.checkHostList(db, false);  // not empty: left as it is
  it.addRedirect("r2", 443);
  port = 443;
  EXPECT_EQ(it.getNextServer(db, "", "r2", port, false), "h1");
  EXPECT_EQ(port, 4307);

  // Nothing known at all: the last host and the port come back.
  SlIterator empty;
  ASSERT_TRUE(empty.init(TargetBuilder().setCloud("none").build(), 1, db));
  port = 9;
  EXPECT_EQ(empty.getNextServer(db, "", "last", port, true), "last");
  EXPECT_EQ(port, 9);
}

TEST(IteratorDefaultServer, WalksThePorts) {
  uint16_t port = 1;
  std::string host = SlIterator::getNextDefaultServer("d1", "", port);
  EXPECT_EQ(host, "vcs2.tcp.d1");
  EXPECT_EQ(port, 4307);
  const uint16_t expected[] = {80, 443, 4307, 80};
  for (uint16_t next : expected) {
    host = SlIterator::getNextDefaultServer("d1", host, port);
    EXPECT_EQ(port, next);
  }
  port = 1234;
  EXPECT_EQ(SlIterator::getNextDefaultServer("D1", "vcs2.tcp.D1", port), "vcs2.tcp.D1");
  EXPECT_EQ(port, 4307);
  port = 80;
  EXPECT_EQ(SlIterator::getNextDefaultServer("", "x", port), "");
  EXPECT_EQ(port, 80);
}

TEST(IteratorText, LowerCaseAndOrder) {
  EXPECT_EQ(HXLowerUTF8("ÄBC"), "äbc");
  EXPECT_EQ(HXLowerUTF8("A"), "a");  // a buffer of 3 bytes is too small at first
  EXPECT_EQ(HXLowerUTF8("bad\xFF"), "bad\xFF");
  SlIterator::CmpNoCaseUTF8 less;
  EXPECT_TRUE(less("", "a"));
  EXPECT_FALSE(less("a", ""));
  EXPECT_FALSE(less("", ""));
  EXPECT_TRUE(less("a", "B"));
  EXPECT_FALSE(less("B", "a"));
}

}  // namespace
