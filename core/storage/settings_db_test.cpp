#include "core/storage/settings_db.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/storage/storage_test_helpers.h"
#include "testing/test_support.h"

namespace {

using hx::storage_testing::Sqlite;

class SettingsDbTest : public ::testing::Test {
 protected:
  std::string Dir() const { return temp_.path() + "/"; }
  std::string File() const { return Dir() + "settings.sqlite"; }

  std::unique_ptr<HX_SettingsDBFile> Open(HXDBBase::OpenMode mode = HXDBBase::ReadWriteOrRecreate) {
    auto db = std::make_unique<HX_SettingsDBFile>();
    if (!db->OpenDatabase(Dir().c_str(), mode)) return nullptr;
    return db;
  }

  hx::testing::TempDir temp_;
};

TEST_F(SettingsDbTest, FreshFileHasTheSchemaAndVersion) {
  HX_REQUIRE_TOOL("sqlite3", sqlite3);
  ASSERT_NE(Open(), nullptr);
  EXPECT_EQ(Sqlite(sqlite3, File(), "SELECT type, name, sql FROM sqlite_master WHERE sql IS NOT NULL ORDER BY name;"),
            "index|idx_0|CREATE INDEX idx_0 ON settings (Name ASC)\n"
            "index|idx_1|CREATE INDEX idx_1 ON logins (Domain ASC)\n"
            "table|logins|CREATE TABLE logins ( Domain    CHAR    NOT NULL DEFAULT '' COLLATE NOCASE PRIMARY KEY, "
            "Login     CHAR    NOT NULL DEFAULT '' COLLATE NOCASE, Key       CHAR    NOT NULL DEFAULT '')\n"
            "table|settings|CREATE TABLE settings ( Name      CHAR            NOT NULL DEFAULT '' COLLATE NOCASE "
            "PRIMARY KEY, Value     BLOB            NOT NULL DEFAULT x'')\n");
  EXPECT_EQ(Sqlite(sqlite3, File(), "PRAGMA user_version; PRAGMA journal_mode;"), "11\nwal\n");
}

TEST_F(SettingsDbTest, TypedSettingsRoundTripThroughTheFile) {
  HX_REQUIRE_TOOL("sqlite3", sqlite3);
  const std::string with_nul("a\0b", 3);
  const unsigned char raw[] = {0x00, 0xFF, 0x10, 0x00};
  {
    auto db = Open();
    ASSERT_NE(db, nullptr);
    db->Write("UdpPort", static_cast<unsigned short>(65535));
    db->Write<int>("Offset", -42);
    db->Write("Name", "plain text");
    db->Write("Embedded", with_nul);
    db->Write("Raw", raw, sizeof raw);
    db->Write("Gone", "soon");
    db->Remove("gone");  // names compare without case
    db->Write("NotANumber", "x1");
  }
  // Another reader sees the exact bytes, numbers as decimal text.
  EXPECT_EQ(Sqlite(sqlite3, File(), "SELECT Name, hex(Value) FROM settings ORDER BY Name;"),
            "Embedded|610062\nName|706C61696E2074657874\nNotANumber|7831\n"
            "Offset|2D3432\nRaw|00FF1000\nUdpPort|3635353335\n");

  auto db = Open(HXDBBase::ReadWrite);
  ASSERT_NE(db, nullptr);
  bool found = false;
  EXPECT_EQ(db->Read<unsigned short>("udpport", 1, &found), 65535);
  EXPECT_TRUE(found);
  EXPECT_EQ(db->Read<int>("Offset", 0), -42);
  EXPECT_EQ(db->Read<int>("NotANumber", 7, &found), 0);  // found, but no number in it
  EXPECT_TRUE(found);
  EXPECT_EQ(db->Read<int>("Missing", 7, &found), 7);
  EXPECT_FALSE(found);

  std::string text;
  EXPECT_TRUE(db->ReadRef("Name", text, "default"));
  EXPECT_EQ(text, "plain text");
  EXPECT_TRUE(db->ReadRef("Embedded", text, nullptr));
  EXPECT_EQ(text, with_nul);
  EXPECT_FALSE(db->ReadRef("Gone", text, "default"));
  EXPECT_EQ(text, "default");
  EXPECT_FALSE(db->ReadRef("Gone", text, nullptr));
  EXPECT_EQ(text, "");

  unsigned char buffer[8] = {};
  EXPECT_TRUE(db->ReadRef("Raw", buffer, sizeof buffer));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 4), std::string(reinterpret_cast<const char*>(raw), 4));
  char cut[5] = {'.', '.', '.', '.', '.'};
  EXPECT_TRUE(db->ReadRef("Name", cut, 4));  // cut to the buffer, still found
  EXPECT_EQ(std::string(cut, 5), "plai.");
  EXPECT_FALSE(db->ReadRef("Missing", buffer, sizeof buffer));
}

TEST_F(SettingsDbTest, ServerAddressAndDomainThroughTheSessionInterface) {
  std::shared_ptr<hx::transport::SessionDB> session = Open();
  ASSERT_NE(session, nullptr);
  auto& db = static_cast<HX_SettingsDBFile&>(*session);
  unsigned short port = 0;

  EXPECT_EQ(session->getServerAddress(port), "");
  EXPECT_EQ(port, 4307);

  session->setServerAddress("vcs.example.com", 5000);
  EXPECT_EQ(session->getServerAddress(port), "vcs.example.com");
  EXPECT_EQ(port, 5000);
  std::string stored;
  EXPECT_TRUE(session->ReadRef("ServerAddress", stored, nullptr));
  EXPECT_EQ(stored, "vcs.example.com");

  db.Write("ServerPort", "0");
  EXPECT_EQ(session->getServerAddress(port), "vcs.example.com");
  EXPECT_EQ(port, 4307);

  session->Remove("LastServerAddress");
  port = 1;
  EXPECT_EQ(session->getServerAddress(port), "");  // "ServerAddress" alone is not read
  EXPECT_EQ(port, 4307);

  EXPECT_EQ(session->getLastConnectedDomain("first.example"), "first.example");
  EXPECT_TRUE(session->ReadRef("ServerDomain", stored, nullptr));
  EXPECT_EQ(stored, "first.example");
  EXPECT_EQ(session->getLastConnectedDomain("other.example"), "first.example");
  session->setLastConnectedDomain("second.example");
  EXPECT_EQ(session->getLastConnectedDomain(""), "second.example");
}

TEST_F(SettingsDbTest, LoginsPerDomain) {
  HX_REQUIRE_TOOL("sqlite3", sqlite3);
  auto db = Open();
  ASSERT_NE(db, nullptr);
  std::string login = "unchanged";
  std::string key = "unchanged";
  EXPECT_FALSE(db->GetLoginParams("example.com", login, key));
  EXPECT_EQ(login, "unchanged");

  db->SetDomainLogin("example.com", "alice@example.com");
  EXPECT_TRUE(db->GetLoginParams("EXAMPLE.com", login, key));
  EXPECT_EQ(login, "alice@example.com");
  EXPECT_EQ(key, "");
  db->SetDomainKey("example.com", "secret");
  db->SetDomainLogin("Example.COM", "bob@example.com");  // same domain: only the login changes
  EXPECT_TRUE(db->GetLoginParams("example.com", login, key));
  EXPECT_EQ(login, "bob@example.com");
  EXPECT_EQ(key, "secret");

  db->SetDomainLogin("blank.example", "   ");
  db->SetDomainKey("keyonly.example", "k");
  db->SetDomainLogin("carol.example", "carol@carol.example");
  std::set<std::string> logins = {"stale"};
  EXPECT_TRUE(db->GetSavedLogins(logins));
  EXPECT_EQ(logins, (std::set<std::string>{"bob@example.com", "carol@carol.example"}));
  EXPECT_EQ(Sqlite(sqlite3, File(), "SELECT Domain, Login, Key FROM logins ORDER BY Domain;"),
            "blank.example|   |\ncarol.example|carol@carol.example|\nexample.com|bob@example.com|secret\n"
            "keyonly.example||k\n");
}

TEST_F(SettingsDbTest, VersionOneFileKeepsItsLoginAndApplicationId) {
  HX_REQUIRE_TOOL("sqlite3", sqlite3);
  const std::string old_table =
      "CREATE TABLE settings ( name TEXT NOT NULL DEFAULT '' COLLATE NOCASE PRIMARY KEY, type INTEGER DEFAULT 0, "
      "value BLOB NOT NULL DEFAULT x''); PRAGMA user_version = 1;";
  struct Case {
    const char* rows;
    const char* settings;
    const char* logins;
  };
  const Case cases[] = {
      {"('AppId', 0, 'app-1'), ('LastLogin', 0, 'alice@example.com'), ('Key', 0, 'k1')",
       "AppEndpId|app-1\nAppId|app-1\n", "example.com|alice@example.com|k1\n"},
      {"('AppId', 0, 'app-1'), ('LastLogin', 0, 'alice@example.com')", "", ""},  // no key: empty file
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rows);
    std::filesystem::remove(File());
    ASSERT_EQ(Sqlite(sqlite3, File(), old_table + " INSERT INTO settings VALUES " + c.rows + ";"), "");
    ASSERT_NE(Open(), nullptr);
    EXPECT_EQ(Sqlite(sqlite3, File(), "PRAGMA user_version;"), "11\n");
    EXPECT_EQ(Sqlite(sqlite3, File(), "SELECT Name, CAST(Value AS TEXT) FROM settings ORDER BY Name;"), c.settings);
    EXPECT_EQ(Sqlite(sqlite3, File(), "SELECT * FROM logins;"), c.logins);
  }
}

TEST_F(SettingsDbTest, VersionTenFileOpensAsItIsAndGainsTheApplicationIdName) {
  HX_REQUIRE_TOOL("sqlite3", sqlite3);
  ASSERT_NE(Open(), nullptr);
  ASSERT_EQ(Sqlite(sqlite3, File(), "INSERT INTO settings VALUES ('AppId', 'app-10'); PRAGMA user_version = 10;"), "");
  {
    auto db = Open(HXDBBase::ReadWrite);
    ASSERT_NE(db, nullptr);
    std::string id;
    EXPECT_TRUE(db->ReadRef("AppEndpId", id, nullptr));
    EXPECT_EQ(id, "app-10");
    db->Write("AppEndpId", "app-new");
  }
  ASSERT_NE(Open(HXDBBase::ReadWrite), nullptr);  // an id already under the new name stays
  EXPECT_EQ(Sqlite(sqlite3, File(), "PRAGMA user_version; SELECT CAST(Value AS TEXT) FROM settings WHERE Name='AppEndpId';"),
            "10\napp-new\n");
}

TEST_F(SettingsDbTest, FileWithoutVersionIsRecreatedOnlyWhenAllowed) {
  HX_REQUIRE_TOOL("sqlite3", sqlite3);
  ASSERT_EQ(Sqlite(sqlite3, File(), "CREATE TABLE settings (Name, Value); INSERT INTO settings VALUES ('Kept', 'x');"), "");
  EXPECT_EQ(Open(HXDBBase::ReadWrite), nullptr);
  EXPECT_EQ(Sqlite(sqlite3, File(), "SELECT Name FROM settings;"), "Kept\n");
  auto db = Open(HXDBBase::ReadWriteOrRecreate);
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(db->Read<int>("Kept", -1), -1);
  EXPECT_EQ(db->GetVersion(), 11);
}

TEST_F(SettingsDbTest, InMemoryVariantAndCopies) {
  HX_SettingsDBTemp temp;
  ASSERT_TRUE(temp.OpenDatabase("", HXDBBase::Recreate));
  temp.setServerAddress("10.0.0.1", 4000);
  unsigned short port = 0;
  EXPECT_EQ(temp.getServerAddress(port), "10.0.0.1");
  EXPECT_EQ(port, 4000);
  EXPECT_EQ(temp.createInstance(), nullptr);

  HX_SettingsDBFile file;
  std::unique_ptr<HXDBBase> copy(file.createInstance());
  ASSERT_NE(dynamic_cast<HX_SettingsDBFile*>(copy.get()), nullptr);
  EXPECT_FALSE(copy->IsOpen());
}

TEST_F(SettingsDbTest, ConcurrentWritersLoseNothing) {
  auto db = Open();
  ASSERT_NE(db, nullptr);
  constexpr int kThreads = 4;
  constexpr int kEach = 50;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&db, t] {
      for (int i = 0; i < kEach; ++i) {
        const std::string domain = "d" + std::to_string(t) + "-" + std::to_string(i);
        db->Write(("k" + domain).c_str(), static_cast<unsigned short>(i));
        db->SetDomainLogin(domain, "user@" + domain);
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  std::set<std::string> logins;
  ASSERT_TRUE(db->GetSavedLogins(logins));
  EXPECT_EQ(logins.size(), static_cast<size_t>(kThreads * kEach));
  EXPECT_EQ(db->Read<unsigned short>("kd3-49", 0), 49);
}

}  // namespace
