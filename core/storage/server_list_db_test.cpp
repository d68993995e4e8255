#include "core/storage/server_list_db.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <limits>
#include <list>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/storage/storage_test_helpers.h"
#include "testing/test_support.h"

namespace {

using hx::storage_testing::Sqlite;

// Every field of an endpoint, for comparing whole endpoints.
std::string Describe(const HXServerEndpoint& e) {
  return e.getHost() + ":" + std::to_string(e.getPort()) + " d=" + e.getDomain() + " sid=" + e.getServerId() +
         " upd=" + std::to_string(e.getServerUpdateTime()) + " chk=" + std::to_string(e.getLastCheckTime()) +
         " dns=" + std::to_string(e.getDnsUpdateTime()) + " conn=" + std::to_string(e.getLastConnectTime()) +
         " ping=" + std::to_string(e.getPing()) + " prio=" + std::to_string(e.getPriority()) +
         " w=" + std::to_string(e.getWeight());
}

std::vector<std::string> Describe(const HXServerEpList& list) {
  std::vector<std::string> lines;
  for (const HXServerEndpoint& e : list) lines.push_back(Describe(e));
  return lines;
}

HXServerEndpoint Endpoint(const std::string& host, const std::string& domain, const std::string& server,
                          uint16_t port) {
  return HXServerEndpoint(host, 0, domain, server, port, hx::servers::MAXTIME);
}

// An operation on the database, the rows before it and the rows after it as the sqlite3 tool
// reads them. Servers: Domain|ServerName|ServerUpdateTime|LastCheckTime|DNSUpdateTime; hosts:
// ServerName|Host|Port|LastConnectTime|PingTime, NULL spelled out; helpers: Domain|Helper|CreateTime.
struct WriteCase {
  const char* name;
  const char* rows;
  std::function<bool(HX_ServersListDB&)> operation;
  bool result;
  const char* servers;
  const char* hosts;
  const char* helpers;
};

class ServerListDbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    HX_REQUIRE_TOOL("sqlite3", tool);
    sqlite3_ = tool;
  }

  std::string Dir() const { return temp_.path() + "/"; }
  std::string File() const { return Dir() + "serverlist.sqlite"; }

  std::unique_ptr<HX_ServersListDBFile> Open(HXDBBase::OpenMode mode = HXDBBase::ReadWriteOrRecreate) {
    auto db = std::make_unique<HX_ServersListDBFile>();
    if (!db->OpenDatabase(Dir().c_str(), mode)) return nullptr;
    return db;
  }

  std::string Sql(const std::string& sql) const { return Sqlite(sqlite3_, File(), sql); }
  std::string Servers() const {
    return Sql(
        "SELECT Domain, ServerName, ServerUpdateTime, LastCheckTime, DNSUpdateTime FROM servers "
        "ORDER BY ServerName;");
  }
  std::string Hosts() const {
    return Sql(
        "SELECT ServerName, Host, Port, quote(LastConnectTime), quote(PingTime) FROM hosts "
        "ORDER BY Host, Port;");
  }
  std::string Helpers() const { return Sql("SELECT * FROM helpers ORDER BY Domain, Helper;"); }

  // Empties the tables and stores `rows` through the sqlite3 tool.
  void Load(const std::string& rows) const {
    ASSERT_EQ(Sql("DELETE FROM servers; DELETE FROM hosts; DELETE FROM helpers; " + rows), "");
  }

  void Run(const std::vector<WriteCase>& cases) {
    auto db = Open();
    ASSERT_NE(db, nullptr);
    for (const WriteCase& c : cases) {
      SCOPED_TRACE(c.name);
      Load(c.rows);
      EXPECT_EQ(c.operation(*db), c.result);
      EXPECT_EQ(Servers(), c.servers);
      EXPECT_EQ(Hosts(), c.hosts);
      EXPECT_EQ(Helpers(), c.helpers);
    }
  }

  std::string sqlite3_;
  hx::testing::TempDir temp_;
};

TEST_F(ServerListDbTest, FreshFileHasTheSchemaAndVersion) {
  ASSERT_NE(Open(), nullptr);
  EXPECT_EQ(Sql("SELECT name, sql FROM sqlite_master WHERE sql IS NOT NULL ORDER BY name;"),
            "helpers|CREATE TABLE helpers (   Domain\t\tCHAR    NOT NULL DEFAULT \"\" COLLATE NOCASE,   "
            "Helper \t\tCHAR    NOT NULL DEFAULT \"\" COLLATE NOCASE,   CreateTime\tINTEGER NOT NULL DEFAULT 0,"
            "           FOREIGN KEY(Domain) REFERENCES servers(Domain),           PRIMARY KEY (Domain, Helper))\n"
            "hosts|CREATE TABLE hosts (   ServerName\tCHAR    NOT NULL DEFAULT \"\" COLLATE NOCASE,   "
            "Host \t\tCHAR    NOT NULL DEFAULT \"\" COLLATE NOCASE,   Port\t\tINTEGER NOT NULL DEFAULT 0,   "
            "LastConnectTime\tINTEGER,   PingTime        INTEGER,           FOREIGN KEY(ServerName) REFERENCES "
            "servers(ServerName),           PRIMARY KEY (Host, Port))\n"
            "idx_0|CREATE INDEX idx_0 ON servers (ServerName ASC)\n"
            "idx_1|CREATE INDEX idx_1 ON servers (Domain ASC, ServerName ASC)\n"
            "idx_2|CREATE INDEX idx_2 ON hosts (Host ASC, Port ASC)\n"
            "idx_3|CREATE INDEX idx_3 ON hosts (PingTime ASC, Host ASC)\n"
            "idx_4|CREATE INDEX idx_4 ON helpers (Domain ASC, Helper ASC)\n"
            "idx_5|CREATE INDEX idx_5 ON helpers (Domain ASC, CreateTime DESC)\n"
            "idx_6|CREATE INDEX idx_6 ON servers (DNSUpdateTime DESC)\n"
            "servers|CREATE TABLE servers  (   Domain\t\t\tCHAR    NOT NULL DEFAULT \"\" COLLATE NOCASE,   "
            "ServerName\t\tCHAR    UNIQUE NOT NULL DEFAULT \"\" COLLATE NOCASE PRIMARY KEY,   "
            "ServerUpdateTime        INTEGER NOT NULL DEFAULT 0,   LastCheckTime           INTEGER NOT NULL "
            "DEFAULT 0,   DNSUpdateTime\t\tINTEGER NOT NULL DEFAULT 0 )\n");
  EXPECT_EQ(Sql("PRAGMA user_version; PRAGMA journal_mode; PRAGMA integrity_check;"), "17\nwal\nok\n");
  // The quoted defaults are empty strings.
  EXPECT_EQ(Sql("INSERT INTO servers DEFAULT VALUES; INSERT INTO hosts DEFAULT VALUES; "
                "INSERT INTO helpers DEFAULT VALUES; SELECT quote(Domain), quote(ServerName) FROM servers; "
                "SELECT quote(ServerName), quote(Host), Port FROM hosts; SELECT quote(Domain), quote(Helper) "
                "FROM helpers;"),
            "''|''\n''|''|0\n''|''\n");
}

TEST_F(ServerListDbTest, StoredVersionDecidesWhetherTheRowsStay) {
  struct Case {
    int version;
    HXDBBase::OpenMode mode;
    bool opens;
    const char* after;  // user_version, then the number of servers
  };
  const Case cases[] = {
      {17, HXDBBase::ReadWrite, true, "17\n1\n"},           // current: kept
      {16, HXDBBase::ReadWrite, true, "17\n0\n"},           // older: rebuilt empty
      {18, HXDBBase::ReadWrite, true, "17\n0\n"},           // newer: rebuilt empty as well
      {0, HXDBBase::ReadWriteOrRecreate, true, "17\n0\n"},  // unknown: recreated
      {0, HXDBBase::ReadWrite, false, "0\n1\n"},            // unknown, no recreating: left alone
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version);
    ASSERT_NE(Open(HXDBBase::Recreate), nullptr);
    ASSERT_EQ(Sql("INSERT INTO servers (Domain, ServerName) VALUES ('d', 's#as'); PRAGMA user_version = " +
                  std::to_string(c.version) + ";"),
              "");
    EXPECT_EQ(Open(c.mode) != nullptr, c.opens);
    EXPECT_EQ(Sql("PRAGMA user_version; SELECT count(*) FROM servers;"), c.after);
  }
}

TEST_F(ServerListDbTest, FileAndMemoryVariants) {
  HX_ServersListDBFile file;
  HX_ServersListDBTemp memory;
  EXPECT_EQ(file.GetStorageNameSuffix(), "serverlist.sqlite");
  EXPECT_EQ(file.GetStorageFSName(), "serverlist.sqlite");
  EXPECT_EQ(memory.GetStorageNameSuffix(), ":memory:");
  EXPECT_EQ(file.createInstance(), nullptr);  // not part of backups

  EXPECT_FALSE(file.OpenDatabase(Dir().c_str(), HXDBBase::ReadWrite));  // no file yet
  ASSERT_TRUE(memory.OpenDatabase("", HXDBBase::Recreate));
  EXPECT_EQ(memory.GetVersion(), 17);
  HXServerEpList endpoints{Endpoint("h", "d", "s#as", 4307)};
  EXPECT_TRUE(memory.Save("d", endpoints, false));
  HXServerEpList stored;
  EXPECT_TRUE(memory.GetHosts("s#as", stored));
  EXPECT_EQ(stored.size(), 1u);
  EXPECT_FALSE(hx::storage_testing::Exists(File()));
}

TEST_F(ServerListDbTest, SaveStoresEndpointsUnderTheirServersAndDomains) {
  struct Step {
    const char* domain;
    std::vector<HXServerEndpoint> endpoints;
    bool updateDns;
    bool asSet;
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
    const char* servers;  // Domain|ServerName|update time is now|DNS time is now
    const char* hosts;
  };
  const Case cases[] = {
      {"host in small letters, empty domain from the argument",
       {{"d", {Endpoint("HostA", "", "s#as", 4307)}, false, false}},
       "d|s#as|1|0\n",
       "s#as|hosta|4307|NULL|NULL\n"},
      {"the endpoint's own domain wins",
       {{"d", {Endpoint("h", "e", "s#as", 4307)}, false, true}},
       "e|s#as|1|0\n",
       "s#as|h|4307|NULL|NULL\n"},
      {"DNS time with updateDns",
       {{"d", {Endpoint("a", "d", "s#as", 4307), Endpoint("b", "d", "t#as", 443)}, true, true}},
       "d|s#as|1|1\nd|t#as|1|1\n",
       "s#as|a|4307|NULL|NULL\nt#as|b|443|NULL|NULL\n"},
      {"a host moves to another server; the emptied server goes",
       {{"d", {Endpoint("HostA", "d", "s#as", 4307)}, false, false},
        {"d", {Endpoint("hosta", "d", "t#as", 4307)}, false, false}},
       "d|t#as|1|0\n",
       "t#as|hosta|4307|NULL|NULL\n"},
      {"a server with another host stays",
       {{"d", {Endpoint("a", "d", "s#as", 1), Endpoint("b", "d", "s#as", 2)}, false, true},
        {"d", {Endpoint("A", "d", "t#as", 1)}, false, false}},
       "d|s#as|1|0\nd|t#as|1|0\n",
       "t#as|a|1|NULL|NULL\ns#as|b|2|NULL|NULL\n"},
      {"one host on two ports, two rows",
       {{"d", {Endpoint("a", "d", "s#as", 80), Endpoint("a", "d", "t#as", 443)}, false, false}},
       "d|s#as|1|0\nd|t#as|1|0\n",
       "s#as|a|80|NULL|NULL\nt#as|a|443|NULL|NULL\n"},
      {"server names ignore case",
       {{"d", {Endpoint("a", "d", "S#AS", 1)}, false, false}, {"e", {Endpoint("a", "", "s#as", 1)}, false, false}},
       "e|S#AS|1|0\n",
       "s#as|a|1|NULL|NULL\n"},
  };
  auto db = Open();
  ASSERT_NE(db, nullptr);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Load("");
    const std::string before = std::to_string(std::time(nullptr));
    for (const Step& step : c.steps) {
      if (step.asSet) {
        HXServerEpSetByTarget set(step.endpoints.begin(), step.endpoints.end());
        EXPECT_TRUE(db->Save(step.domain, set, step.updateDns));
      } else {
        HXServerEpList list(step.endpoints.begin(), step.endpoints.end());
        EXPECT_TRUE(db->Save(step.domain, list, step.updateDns));
      }
    }
    const std::string after = std::to_string(std::time(nullptr));
    const std::string now = " BETWEEN " + before + " AND " + after;
    EXPECT_EQ(Sql("SELECT Domain, ServerName, ServerUpdateTime" + now + ", DNSUpdateTime" + now +
                  " FROM servers ORDER BY ServerName;"),
              c.servers);
    EXPECT_EQ(Hosts(), c.hosts);
  }
  // Nothing to save: false and nothing written.
  Load("INSERT INTO servers VALUES ('d', 'x#as', 5, 5, 5);");
  HXServerEpList none;
  EXPECT_FALSE(db->Save("d", none, true));
  EXPECT_EQ(Servers(), "d|x#as|5|5|5\n");
}

TEST_F(ServerListDbTest, ConnectionsAndPingsMoveHostsToTheirServer) {
  const char* server = "INSERT INTO servers VALUES ('d', 's#as', 500, 400, 300); ";
  Run({
      {"a new host and server", "",
       [](HX_ServersListDB& db) { return db.SetLastConnectTime("d", "s#as", "HostA", "10.0.0.1", 4307, 1000); }, true,
       "d|s#as|1000|0|0\n", "s#as|hosta|4307|1000|NULL\n", ""},
      {"the row kept under the address gives way to the host name",
       "INSERT INTO servers VALUES ('d', 's#as', 500, 400, 300); INSERT INTO hosts VALUES "
       "('s#as', '10.0.0.1', 4307, 500, 30), ('s#as', '10.0.0.1', 80, 500, 40);",
       [](HX_ServersListDB& db) { return db.SetLastConnectTime("d", "s#as", "HostA", "10.0.0.1", 4307, 1000); }, true,
       "d|s#as|1000|400|300\n", "s#as|10.0.0.1|80|500|40\ns#as|hosta|4307|1000|NULL\n", ""},
      {"an address that is the host in other letters keeps the host's ping",
       "INSERT INTO servers VALUES ('d', 's#as', 500, 400, 300); INSERT INTO hosts VALUES "
       "('s#as', 'hosta', 4307, 500, 30);",
       [](HX_ServersListDB& db) { return db.SetLastConnectTime("d", "s#as", "HostA", "HOSTA", 4307, 1000); }, true,
       "d|s#as|1000|400|300\n", "s#as|hosta|4307|1000|30\n", ""},
      {"the host leaves its old server, which stays",
       "INSERT INTO servers VALUES ('d', 'old#as', 500, 400, 300); INSERT INTO hosts VALUES "
       "('old#as', 'hosta', 4307, 500, 30);",
       [](HX_ServersListDB& db) { return db.SetLastConnectTime("e", "s#as", "hosta", "hosta", 4307, 1000); }, true,
       "d|old#as|500|400|300\ne|s#as|1000|0|0\n", "s#as|hosta|4307|1000|NULL\n", ""},
      {"the server joins the domain it was reached in", server,
       [](HX_ServersListDB& db) { return db.SetLastConnectTime("e", "S#AS", "h", "h", 4307, 1000); }, true,
       "e|s#as|1000|400|300\n", "S#AS|h|4307|1000|NULL\n", ""},
      {"times beyond the signed range are stored as the largest", "",
       [](HX_ServersListDB& db) {
         return db.SetLastConnectTime("d", "s#as", "h", "h", 65535, std::numeric_limits<uint64_t>::max());
       },
       true, "d|s#as|9223372036854775807|0|0\n", "s#as|h|65535|9223372036854775807|NULL\n", ""},
      {"a port above 65535 is refused", server,
       [](HX_ServersListDB& db) { return db.SetLastConnectTime("d", "s#as", "h", "h", 65536, 1000); }, false,
       "d|s#as|500|400|300\n", "", ""},
      {"a ping of 0 is stored as 1; the server's update time stays", server,
       [](HX_ServersListDB& db) { return db.SetPingTime("d", "s#as", "HostA", "10.0.0.1", 4307, 0, 1000); }, true,
       "d|s#as|500|400|300\n", "s#as|hosta|4307|1000|1\n", ""},
      {"a ping replaces the address row and moves the host",
       "INSERT INTO servers VALUES ('d', 'old#as', 500, 400, 300); INSERT INTO hosts VALUES "
       "('old#as', '10.0.0.1', 4307, 500, 30), ('old#as', 'hosta', 4307, 600, 35);",
       [](HX_ServersListDB& db) { return db.SetPingTime("d", "s#as", "hosta", "10.0.0.1", 4307, 120, 1000); }, true,
       "d|old#as|500|400|300\nd|s#as|0|0|0\n", "s#as|hosta|4307|1000|120\n", ""},
      {"a ping on a port above 65535 is refused", "",
       [](HX_ServersListDB& db) { return db.SetPingTime("d", "s#as", "h", "h", 70000, 5, 1000); }, false, "", "", ""},
  });
}

TEST_F(ServerListDbTest, RemovalsInvalidationsAndCheckTimes) {
  const char* rows =
      "INSERT INTO servers VALUES ('d', 's#as', 1, 400, 3), ('d', 't#as', 1, 400, 3), ('e', 'u#as', 1, 400, 3); "
      "INSERT INTO hosts VALUES ('s#as', 'a', 1, 10, 30), ('s#as', 'b', 2, 10, 30), ('t#as', 'c', 3, 10, 30), "
      "('u#as', 'x', 9, 10, 30); "
      "INSERT INTO helpers VALUES ('d', 'h1', 5), ('e', 'h2', 5), ('gone', 'h3', 5);";
  const char* all_servers = "d|s#as|1|400|3\nd|t#as|1|400|3\ne|u#as|1|400|3\n";
  const char* all_hosts = "s#as|a|1|10|30\ns#as|b|2|10|30\nt#as|c|3|10|30\nu#as|x|9|10|30\n";
  const char* all_helpers = "d|h1|5\ne|h2|5\ngone|h3|5\n";
  Run({
      {"RemoveHosts deletes only pairs of the named server", rows,
       [](HX_ServersListDB& db) {
         HXServerEpList list{Endpoint("A", "d", "s#as", 1), Endpoint("c", "d", "t#as", 3),
                             Endpoint("b", "d", "t#as", 2), Endpoint("x", "e", "u#as", 8)};
         hx::servers::EpIteratorConst<HXServerEpList> cursor(list);
         return db.RemoveHosts(cursor);
       },
       true, "d|s#as|1|400|3\ne|u#as|1|400|3\n", "s#as|b|2|10|30\nu#as|x|9|10|30\n", "d|h1|5\ne|h2|5\n"},
      {"RemoveHosts with nothing to remove", rows,
       [](HX_ServersListDB& db) {
         HXServerEpList none;
         hx::servers::EpIteratorConst<HXServerEpList> cursor(none);
         return db.RemoveHosts(cursor);
       },
       false, all_servers, all_hosts, all_helpers},
      {"InvalidateServer drops the server with its hosts and the helpers left alone", rows,
       [](HX_ServersListDB& db) { return db.InvalidateServer("U#AS"); }, true, "d|s#as|1|400|3\nd|t#as|1|400|3\n",
       "s#as|a|1|10|30\ns#as|b|2|10|30\nt#as|c|3|10|30\n", "d|h1|5\n"},
      {"InvalidateHostPort forgets the ping and asks for a check", rows,
       [](HX_ServersListDB& db) { return db.InvalidateHostPort("d", "B", 2); }, true,
       "d|s#as|1|0|3\nd|t#as|1|400|3\ne|u#as|1|400|3\n",
       "s#as|a|1|10|30\ns#as|b|2|10|9223372036854775807\nt#as|c|3|10|30\nu#as|x|9|10|30\n", all_helpers},
      {"InvalidateHostPort in another domain leaves the check time", rows,
       [](HX_ServersListDB& db) { return db.InvalidateHostPort("e", "b", 2); }, true, all_servers,
       "s#as|a|1|10|30\ns#as|b|2|10|9223372036854775807\nt#as|c|3|10|30\nu#as|x|9|10|30\n", all_helpers},
      {"InvalidateHostPort on an unknown pair changes nothing", rows,
       [](HX_ServersListDB& db) { return db.InvalidateHostPort("d", "b", 1); }, false, all_servers, all_hosts,
       all_helpers},
      {"SetLastCheckTime touches the domain's named servers", rows,
       [](HX_ServersListDB& db) {
         return db.SetLastCheckTime("d", {"S#AS", "u#as", "none#as"}, 900);
       },
       true, "d|s#as|1|900|3\nd|t#as|1|400|3\ne|u#as|1|400|3\n", all_hosts, all_helpers},
  });
}

TEST_F(ServerListDbTest, BeforeUpdateResetsTimesAheadOfTheClock) {
  const char* rows =
      "INSERT INTO servers VALUES ('d', 's#as', 1000003, 1000002, 1000003), ('d', 't#as', 5, 999999, 1000010); "
      "INSERT INTO hosts VALUES ('s#as', 'a', 1, 1000003, 30), ('s#as', 'b', 2, 1000002, 30), "
      "('s#as', 'c', 3, NULL, NULL); "
      "INSERT INTO helpers VALUES ('d', 'old', 395199), ('d', 'edge', 395200), ('gone', 'h', 1000000);";
  Run({
      {"a clock at 1000000", rows, [](HX_ServersListDB& db) { return db.beforeUpdate(1000000, 86400, 604800); }, true,
       "d|s#as|0|1000002|0\nd|t#as|5|999999|0\n", "s#as|a|1|913600|30\ns#as|b|2|1000002|30\ns#as|c|3|NULL|NULL\n",
       "d|edge|395200\n"},
      {"a clock less than a day after the epoch resets to 0, not around the range", rows,
       [](HX_ServersListDB& db) { return db.beforeUpdate(100, 86400, 604800); }, true, "d|s#as|0|0|0\nd|t#as|5|0|0\n",
       "s#as|a|1|0|30\ns#as|b|2|0|30\ns#as|c|3|NULL|NULL\n", "d|edge|395200\nd|old|395199\n"},
  });
}

TEST_F(ServerListDbTest, RemoveOldHostsKeepsHostsConnectedWithinThreePeriods) {
  // Last check at 10000000; three weeks before it is 8185600.
  const char* rows =
      "INSERT INTO servers VALUES ('d', 's#as', 0, 10000000, 0), ('d', 'lost#as', 0, 10000000, 0), "
      "('e', 'o#as', 0, 10000000, 0); "
      "INSERT INTO hosts VALUES ('s#as', 'never', 1, NULL, NULL), ('s#as', 'zero', 1, 0, NULL), "
      "('s#as', 'old', 1, 8185599, NULL), ('s#as', 'edge', 1, 8185600, NULL), ('lost#as', 'gone', 1, 100, NULL), "
      "('o#as', '   ', 1, NULL, NULL), ('o#as', 'other', 1, 100, NULL);";
  Run({
      {"a week", rows, [](HX_ServersListDB& db) { return db.RemoveOldHosts("D", 604800); }, true,
       "e|o#as|0|10000000|0\nd|s#as|0|10000000|0\n",
       "s#as|edge|1|8185600|NULL\ns#as|never|1|NULL|NULL\no#as|other|1|100|NULL\ns#as|zero|1|0|NULL\n", ""},
      {"a period beyond the signed range removes only blank hosts", rows,
       [](HX_ServersListDB& db) { return db.RemoveOldHosts("d", std::numeric_limits<uint64_t>::max()); }, true,
       "d|lost#as|0|10000000|0\ne|o#as|0|10000000|0\nd|s#as|0|10000000|0\n",
       "s#as|edge|1|8185600|NULL\nlost#as|gone|1|100|NULL\ns#as|never|1|NULL|NULL\ns#as|old|1|8185599|NULL\n"
       "o#as|other|1|100|NULL\ns#as|zero|1|0|NULL\n",
       ""},
  });
}

TEST_F(ServerListDbTest, ReadsEndpointsServersAndTimes) {
  auto db = Open();
  ASSERT_NE(db, nullptr);
  Load(
      "INSERT INTO servers VALUES ('d', 's#as', 11, 12, 13), ('D', 't#as', 21, 22, 23), ('e', 'u#as', -5, 0, 0); "
      "INSERT INTO hosts VALUES ('s#as', 'zeta', 4307, 100, 30), ('s#as', 'alpha', 80, NULL, NULL), "
      "('t#as', 'beta', 443, 200, 40), ('u#as', 'neg', 1, -7, -1), ('s#as', 'wide', 70000, 1, 1), "
      "('nobody#as', 'orphan', 1, 1, 1);");

  HXServerEndpoint endpoint = Endpoint("stale", "x", "x#as", 1);
  EXPECT_TRUE(db->GetHost(endpoint, "ZETA", 4307));
  EXPECT_EQ(Describe(endpoint), "zeta:4307 d=d sid=s#as upd=11 chk=12 dns=13 conn=100 ping=30 prio=20 w=10");
  // Values no writer stores read as 0 instead of failing the read.
  EXPECT_TRUE(db->GetHost(endpoint, "neg", 1));
  EXPECT_EQ(Describe(endpoint), "neg:1 d=e sid=u#as upd=0 chk=0 dns=0 conn=0 ping=0 prio=20 w=10");
  for (const auto& [host, port] : std::vector<std::pair<std::string, uint16_t>>{{"zeta", 80}, {"orphan", 1}}) {
    SCOPED_TRACE(host);
    endpoint = Endpoint("stale", "x", "x#as", 1);
    EXPECT_FALSE(db->GetHost(endpoint, host, port));
    EXPECT_EQ(Describe(endpoint), ":4307 d= sid= upd=0 chk=0 dns=0 conn=0 ping=9223372036854775807 prio=20 w=10");
  }

  HXServerEpList list{Endpoint("stale", "x", "x#as", 1)};
  EXPECT_TRUE(db->GetHosts("S#AS", list));  // ordered by host; a port no endpoint holds is left out
  EXPECT_EQ(Describe(list),
            (std::vector<std::string>{"alpha:80 d=d sid=s#as upd=11 chk=12 dns=13 conn=0 ping=0 prio=20 w=10",
                                      "zeta:4307 d=d sid=s#as upd=11 chk=12 dns=13 conn=100 ping=30 prio=20 w=10"}));
  EXPECT_TRUE(db->GetHostsByDomain("d", list));
  const std::vector<std::string> lines = Describe(list);
  EXPECT_EQ(std::set<std::string>(lines.begin(), lines.end()),
            (std::set<std::string>{"alpha:80 d=d sid=s#as upd=11 chk=12 dns=13 conn=0 ping=0 prio=20 w=10",
                                   "zeta:4307 d=d sid=s#as upd=11 chk=12 dns=13 conn=100 ping=30 prio=20 w=10",
                                   "beta:443 d=D sid=t#as upd=21 chk=22 dns=23 conn=200 ping=40 prio=20 w=10"}));
  EXPECT_EQ(lines.size(), 3u);
  EXPECT_TRUE(db->GetHosts("none#as", list));
  EXPECT_TRUE(list.empty());

  EXPECT_EQ(db->GetServerOfHost("Beta", 443), "t#as");
  EXPECT_EQ(db->GetServerOfHost("beta", 80), "");
  EXPECT_EQ(db->getDomainOfServer("T#AS"), "D");
  EXPECT_EQ(db->getDomainOfServer("none#as"), "");
  EXPECT_EQ(db->GetDNSUpdateTime("D"), 23u);
  EXPECT_EQ(db->GetDNSUpdateTime("e"), 0u);
  EXPECT_EQ(db->GetDNSUpdateTime("none"), 0u);
}

TEST_F(ServerListDbTest, LastSuccessfulStandAloneHosts) {
  auto db = Open();
  ASSERT_NE(db, nullptr);
  Load(
      "INSERT INTO servers VALUES ('d', 'a#vcs', 0, 0, 0), ('d', 'b#as', 0, 0, 0); "
      "INSERT INTO hosts VALUES ('a#vcs', 'h1', 1, 300, NULL), ('a#vcs', 'h2', 1, 100, NULL), "
      "('a#vcs', 'h3', 1, NULL, NULL), ('b#as', 'h4', 1, 500, NULL), ('a#vcs', 'h5', 1, 200, NULL), "
      "('a#vcs', 'h6', 2, 0, NULL);");
  struct Case {
    size_t n;
    std::list<std::string> hosts;
  };
  const Case cases[] = {
      {2, {"h1", "h5"}},
      {0, {}},
      {std::numeric_limits<size_t>::max(), {"h1", "h5", "h2", "h6"}},  // no limit, not a negative one
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.n);
    std::list<std::string> hosts{"stale"};
    EXPECT_TRUE(db->GetLastNSuccessfullHostsList(c.n, hosts));
    EXPECT_EQ(hosts, c.hosts);
  }
}

TEST_F(ServerListDbTest, FailuresReportFalseAndLeaveNoHalfWrites) {
  auto db = Open();
  ASSERT_NE(db, nullptr);
  Load("INSERT INTO servers VALUES ('d', 's#as', 1, 2, 3); INSERT INTO hosts VALUES ('s#as', 'h', 1, 4, 5);");
  // hosts gone: every statement on it fails after the servers table was already written to.
  { *db->Session() << "DROP TABLE hosts;" << cppdb::exec; }
  HXServerEpList endpoints{Endpoint("n", "d", "new#as", 1)};
  EXPECT_FALSE(db->Save("d", endpoints, true));
  EXPECT_FALSE(db->SetLastConnectTime("e", "s#as", "h", "h", 1, 9));
  EXPECT_FALSE(db->SetPingTime("d", "new#as", "h", "h", 1, 9, 9));
  EXPECT_FALSE(db->InvalidateServer("s#as"));
  EXPECT_EQ(Servers(), "d|s#as|1|2|3\n");

  db->Close();
  HXServerEndpoint endpoint;
  HXServerEpList list{Endpoint("stale", "x", "x#as", 1)};
  std::list<std::string> hosts{"stale"};
  EXPECT_FALSE(db->Save("d", endpoints, false));
  EXPECT_FALSE(db->SetLastCheckTime("d", {"s#as"}, 1));
  EXPECT_FALSE(db->beforeUpdate(1, 1, 1));
  EXPECT_FALSE(db->RemoveOldHosts("d", 1));
  EXPECT_FALSE(db->InvalidateHostPort("d", "h", 1));
  EXPECT_FALSE(db->GetHost(endpoint, "h", 1));
  EXPECT_EQ(endpoint.getPort(), 4307);
  EXPECT_FALSE(db->GetHosts("s#as", list));
  EXPECT_TRUE(list.empty());
  EXPECT_FALSE(db->GetLastNSuccessfullHostsList(5, hosts));
  EXPECT_TRUE(hosts.empty());
  EXPECT_EQ(db->GetServerOfHost("h", 1), "");
  EXPECT_EQ(db->getDomainOfServer("s#as"), "");
  EXPECT_EQ(db->GetDNSUpdateTime("d"), 0u);
}

TEST_F(ServerListDbTest, AReadFailingHalfwayLeavesNoRows) {
  auto db = Open();
  ASSERT_NE(db, nullptr);
  ASSERT_EQ(Sql("INSERT INTO servers VALUES ('d', 's#as', 0, 0, 0); "
                "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2000) "
                "INSERT INTO hosts SELECT 's#as', 'host-' || i, 1, NULL, NULL FROM n; "
                "PRAGMA wal_checkpoint(TRUNCATE);"),
            "0|0|0\n");
  // The last page of host rows, damaged after the others were read.
  const std::string page = Sql("SELECT max(pageno) FROM dbstat WHERE name = 'hosts' AND pagetype = 'leaf';");
  const long size = std::stol(Sql("PRAGMA page_size;"));
  hx::storage_testing::Damage(File(), (std::stol(page) - 1) * size, static_cast<size_t>(size));
  HXServerEpList list;
  EXPECT_FALSE(db->GetHostsByDomain("d", list));
  EXPECT_TRUE(list.empty());
}

TEST_F(ServerListDbTest, ThreadsShareOneDatabase) {
  auto db = Open();
  ASSERT_NE(db, nullptr);
  constexpr int kThreads = 4;
  constexpr int kHostsEach = 50;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&db, t] {
      const std::string server = "s" + std::to_string(t) + "#as";
      HXServerEpList seen;
      for (int i = 0; i < kHostsEach; ++i) {
        const std::string host = "h" + std::to_string(i);
        EXPECT_TRUE(db->SetLastConnectTime("d", server, host, host, 1000 + t, 7));
        EXPECT_TRUE(db->GetHosts(server, seen));
        EXPECT_EQ(seen.size(), static_cast<size_t>(i + 1));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(Sql("SELECT count(*), count(DISTINCT ServerName) FROM hosts;"), "200|4\n");
}

}  // namespace
