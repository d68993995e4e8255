#include "core/storage/db_manager.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/chat/chat_db.h"
#include "core/storage/db_guard.h"
#include "core/storage/settings_db.h"
#include "core/storage/storage_test_helpers.h"
#include "testing/test_support.h"

namespace {

using hx::storage_testing::Damage;
using hx::storage_testing::Exists;
using hx::storage_testing::ReadFile;
using hx::storage_testing::Sqlite;
using hx::storage_testing::WriteFile;

const char kAlice[] = "alice@example.com";
const char kBob[] = "bob@example.org";
const char kAliceChat[] = "C160F8CC69A4F0BF2B0362752353D060.chat.sqlite";

// The standard CRC-32 of the entry lines, computed here with zlib.
std::string CrcLine(const std::vector<std::string>& entry_lines) {
  uLong crc = crc32(0, nullptr, 0);
  for (const std::string& line : entry_lines) {
    crc = crc32(crc, reinterpret_cast<const Bytef*>(line.data()), static_cast<uInt>(line.size()));
  }
  return std::to_string(crc);
}

std::string Description(const std::string& header, const std::vector<std::string>& entry_lines) {
  std::string text = header + "\n";
  for (const std::string& line : entry_lines) text += line + "\n";
  return text + CrcLine(entry_lines) + "\n";
}

std::string Size(const std::string& path) { return std::to_string(std::filesystem::file_size(path)); }

// Adds a message with its full-text row, the way the chat store keeps them.
void AddMessage(HX_ChatDB& chat, const std::string& text) {
  ASSERT_TRUE(DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = chat.Session();
    *held << "INSERT INTO messages (ChatID, Peer, Text) VALUES ('room', 'peer', ?)" << text << cppdb::exec;
    const long long id = held->create_statement("SELECT last_insert_rowid()").row().get<long long>(0);
    *held << "INSERT INTO fts (rowid, content) VALUES (?, ?)" << id << text << cppdb::exec;
    *held << "INSERT INTO previews (rowid, Height, Width, Picture) VALUES (?, 1, 1, x'00')" << id << cppdb::exec;
  }));
}

// Messages with the full-text and preview rows that share their ids, as one text.
const char kChatQuery[] =
    "SELECT m.rowid, m.Text, f.content, p.Height FROM messages m LEFT JOIN fts f ON f.rowid = m.rowid "
    "LEFT JOIN previews p ON p.rowid = m.rowid ORDER BY m.rowid; "
    "SELECT rowid FROM fts WHERE fts MATCH 'third';";

class DbManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(live_);
    std::filesystem::create_directory(backup_);
  }

  // Settings with the logins of alice, bob and carol; chat files for alice and bob, with a gap in
  // alice's message ids.
  void MakeLiveDatabases() {
    HX_SettingsDBFile settings;
    ASSERT_TRUE(HX_DBManager::instance()->openSettingsDB(&settings, live_.c_str()));
    settings.Write("Answer", 42);
    settings.SetDomainLogin("example.com", kAlice);
    settings.SetDomainLogin("example.org", kBob);
    settings.SetDomainLogin("example.net", "carol@example.net");  // no chat file
    for (const char* peer : {kAlice, kBob}) {
      HX_ChatDB chat;
      ASSERT_TRUE(chat.OpenDatabase(peer, live_.c_str(), HXDBBase::ReadWriteOrRecreate));
      AddMessage(chat, std::string("first for ") + peer);
      AddMessage(chat, "second");
      AddMessage(chat, "third");
      ASSERT_TRUE(DB_GUARD_CALL([&] {
        *chat.Session() << "DELETE FROM messages WHERE rowid = 2" << cppdb::exec;
        *chat.Session() << "DELETE FROM fts WHERE rowid = 2" << cppdb::exec;
      }));
      AddMessage(chat, "fourth");
    }
  }

  bool Backup(HX_SettingsDB* settings = nullptr, HX_ChatDB* chat = nullptr) {
    files_.clear();
    return HX_DBManager::instance()->backup(backup_, live_, files_, settings, chat);
  }

  hx::testing::TempDir temp_;
  const std::string live_ = temp_.path() + "/live/";
  const std::string backup_ = temp_.path() + "/backup";  // without the last slash on purpose
  std::vector<std::string> files_;
};

TEST_F(DbManagerTest, BackupOfSettingsAloneWritesItsDescription) {
  HX_REQUIRE_TOOL("sqlite3", sqlite3);
  {
    HX_SettingsDBFile settings;
    ASSERT_TRUE(HX_DBManager::instance()->openSettingsDB(&settings, live_.c_str()));
    settings.Write("Answer", 42);
  }
  ASSERT_TRUE(Backup());
  EXPECT_EQ(files_, (std::vector<std::string>{"settings.sqlite", "bpinfo.db"}));
  const std::string copy = backup_ + "/settings.sqlite";
  const std::string entry = "1 settings.sqlite " + Size(copy);
  EXPECT_EQ(ReadFile(backup_ + "/bpinfo.db"), "HXbpinfo 1 1\n" + entry + "\n" + CrcLine({entry}) + "\n");
  EXPECT_EQ(Sqlite(sqlite3, copy, "PRAGMA integrity_check; PRAGMA user_version; "
                                  "SELECT CAST(Value AS TEXT) FROM settings WHERE Name = 'Answer';"),
            "ok\n11\n42\n");
  EXPECT_FALSE(Exists(copy + "-wal"));
}

TEST_F(DbManagerTest, BackupTakesTheOpenChatOnceAndTheSavedLoginsChats) {
  HX_REQUIRE_TOOL("sqlite3", sqlite3);
  MakeLiveDatabases();
  HX_SettingsDBFile settings;
  ASSERT_TRUE(settings.OpenDatabase(live_.c_str(), HXDBBase::ReadWrite));
  HX_ChatDB current;
  ASSERT_TRUE(current.OpenDatabase(kAlice, live_.c_str(), HXDBBase::ReadWrite));
  ASSERT_TRUE(Backup(&settings, &current));

  const std::string bob_chat = HX_ChatDB().GetStorageFSName(kBob);
  EXPECT_EQ(files_, (std::vector<std::string>{"settings.sqlite", kAliceChat, bob_chat, "bpinfo.db"}));
  const std::vector<std::string> entries = {
      "1 settings.sqlite " + Size(backup_ + "/settings.sqlite"),
      std::string("2 ") + kAliceChat + " " + Size(backup_ + "/" + kAliceChat) + " " + kAlice,
      "2 " + bob_chat + " " + Size(backup_ + "/" + bob_chat) + " " + kBob,
  };
  EXPECT_EQ(ReadFile(backup_ + "/bpinfo.db"), Description("HXbpinfo 1 3", entries));
  // Message ids, their full-text rows and previews survive the copy together.
  const std::string expected = Sqlite(sqlite3, live_ + kAliceChat, kChatQuery);
  EXPECT_EQ(expected, "1|first for alice@example.com|first for alice@example.com|1\n3|third|third|1\n"
                      "4|fourth|fourth|1\n3\n");
  EXPECT_EQ(Sqlite(sqlite3, backup_ + "/" + kAliceChat, kChatQuery), expected);
  EXPECT_EQ(Sqlite(sqlite3, backup_ + "/" + kAliceChat, "PRAGMA integrity_check; PRAGMA user_version;"),
            "ok\n13\n");
  EXPECT_EQ(current.PeerId(), kAlice);  // the open chat stays open
}

TEST_F(DbManagerTest, RestoreReplacesTheLiveDatabases) {
  HX_REQUIRE_TOOL("sqlite3", sqlite3);
  MakeLiveDatabases();
  ASSERT_TRUE(Backup());
  const std::string chat_before = Sqlite(sqlite3, live_ + kAliceChat, kChatQuery);

  // Later changes, one of them left only in a log that a crash left beside the live file.
  {
    HX_SettingsDBFile settings;
    ASSERT_TRUE(settings.OpenDatabase(live_.c_str(), HXDBBase::ReadWrite));
    settings.Write("Answer", 7);
    std::filesystem::copy_file(live_ + "settings.sqlite-wal", temp_.path() + "/stale-wal");
  }
  std::filesystem::copy_file(temp_.path() + "/stale-wal", live_ + "settings.sqlite-wal");
  std::filesystem::remove(live_ + kAliceChat);

  ASSERT_TRUE(HX_DBManager::instance()->restore(live_, backup_));
  EXPECT_FALSE(Exists(live_ + "settings.sqlite-wal"));
  HX_SettingsDBFile settings;
  ASSERT_TRUE(settings.OpenDatabase(live_.c_str(), HXDBBase::ReadWrite));
  EXPECT_EQ(settings.Read<int>("Answer", 0), 42);
  std::string login;
  std::string key;
  EXPECT_TRUE(settings.GetLoginParams("example.org", login, key));
  EXPECT_EQ(login, kBob);
  EXPECT_EQ(Sqlite(sqlite3, live_ + kAliceChat, kChatQuery), chat_before);
  // Nothing of the work folder is left behind.
  for (const auto& item : std::filesystem::directory_iterator(live_)) {
    EXPECT_EQ(item.path().filename().string().find("restore"), std::string::npos) << item.path();
  }
}

TEST_F(DbManagerTest, FailedRestoreLeavesTheLiveDatabasesAlone) {
  MakeLiveDatabases();
  ASSERT_TRUE(Backup());
  {
    HX_SettingsDBFile settings;
    ASSERT_TRUE(settings.OpenDatabase(live_.c_str(), HXDBBase::ReadWrite));
    settings.Write("Answer", 7);
  }
  // Bob's copy keeps its size but no longer passes the integrity check.
  Damage(backup_ + "/" + HX_ChatDB().GetStorageFSName(kBob), 4096 + 8, 64);
  EXPECT_FALSE(HX_DBManager::instance()->restore(live_, backup_));

  HX_SettingsDBFile settings;
  ASSERT_TRUE(settings.OpenDatabase(live_.c_str(), HXDBBase::ReadWrite));
  EXPECT_EQ(settings.Read<int>("Answer", 0), 7);
}

std::vector<std::string> StagingFolders(const std::string& dir) {
  std::vector<std::string> found;
  for (const auto& item : std::filesystem::directory_iterator(dir)) {
    const std::string name = item.path().filename().string();
    if (name.rfind("restore-", 0) == 0) found.push_back(name);
  }
  return found;
}

// A process killed while it restores leaves its staging folder behind; the next restore clears it
// away and still restores everything.
TEST_F(DbManagerTest, RestoreAfterAKilledRestoreLeavesNoStagingFolder) {
  MakeLiveDatabases();
  ASSERT_TRUE(Backup());
  {
    HX_SettingsDBFile settings;
    ASSERT_TRUE(settings.OpenDatabase(live_.c_str(), HXDBBase::ReadWrite));
    ASSERT_TRUE(settings.Write("Answer", 7));
  }
  // Unrelated folders and files of similar names stay.
  std::filesystem::create_directory(live_ + "restore-notes");
  WriteFile(live_ + "restoreXXXXXX", "x");

  // Each killed restore clears away the folders of the ones before it, so one is left at a time.
  for (int attempt = 0; attempt < 50 && StagingFolders(live_).size() < 2; ++attempt) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (;;) HX_DBManager::instance()->restore(live_, backup_);
    }
    usleep(20000 + attempt * 1000);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
  }
  ASSERT_EQ(StagingFolders(live_).size(), 2u) << "no restore was caught in the middle";

  ASSERT_TRUE(HX_DBManager::instance()->restore(live_, backup_));
  EXPECT_EQ(StagingFolders(live_), (std::vector<std::string>{"restore-notes"}));
  EXPECT_TRUE(Exists(live_ + "restoreXXXXXX"));
  HX_SettingsDBFile settings;
  ASSERT_TRUE(settings.OpenDatabase(live_.c_str(), HXDBBase::ReadWrite));
  EXPECT_EQ(settings.Read<int>("Answer", 0), 42);
  for (const char* peer : {kAlice, kBob}) {
    HX_ChatDB chat;
    ASSERT_TRUE(chat.OpenDatabase(peer, live_.c_str(), HXDBBase::ReadWrite)) << peer;
    int messages = 0;
    ASSERT_TRUE(DB_GUARD_CALL([&] {
      messages = chat.Session()->create_statement("SELECT count(*) FROM messages").row().get<int>(0);
    }));
    EXPECT_EQ(messages, 3) << peer;
  }
}

TEST_F(DbManagerTest, RestoreRefusesEveryBadDescription) {
  {
    HX_SettingsDBFile settings;
    ASSERT_TRUE(HX_DBManager::instance()->openSettingsDB(&settings, live_.c_str()));
  }
  ASSERT_TRUE(Backup());
  const std::string info = backup_ + "/bpinfo.db";
  const std::string size = Size(backup_ + "/settings.sqlite");
  const std::string good = "1 settings.sqlite " + size;
  const std::string changed = "1 settings.sqlitf " + size;
  const uLong changed_crc = std::stoul(CrcLine({changed}));

  struct Case {
    const char* what;
    std::optional<std::string> content;  // none: no file at all
    std::string message;
  };
  const std::vector<Case> cases = {
      {"no file", std::nullopt, "Fail to open " + info},
      {"empty", "", "Fail to read header from " + info},
      {"fourth field", Description("HXbpinfo 1 1 x", {good}), "Bad header line format: 'HXbpinfo 1 1 x'"},
      {"signature case", Description("HXBPinfo 1 1", {good}), "Bad signature: HXBPinfo"},
      {"version", Description("HXbpinfo 2 1", {good}), "Wrong version 2"},
      {"no entries", Description("HXbpinfo 1 0", {}), "Empty backup"},
      {"missing line", "HXbpinfo 1 2\n" + good + "\n", "Fail to read line 2 from " + info},
      {"missing crc", "HXbpinfo 1 1\n" + good + "\n", "Fail to read crc from " + info},
      {"changed entry", "HXbpinfo 1 1\n" + changed + "\n" + CrcLine({good}) + "\n",
       "Crc mistmatch. File " + info + ", calc. " + std::to_string(changed_crc)},
      {"changed crc", "HXbpinfo 1 1\n" + good + "\n" + std::to_string(std::stoul(CrcLine({good})) ^ 1) + "\n",
       "Crc mistmatch. File " + info},
      {"size", Description("HXbpinfo 1 1", {"1 settings.sqlite 4294967296"}),
       "File size not equal; info: 4294967296, actual: " + size},
      {"chat without peer", Description("HXbpinfo 1 1", {"2 x.chat.sqlite 10"}), "Bad line format: '2 x.chat.sqlite 10'"},
      {"settings with peer", Description("HXbpinfo 1 1", {good + " p"}), "Bad line format: '" + good + " p'"},
      {"type", Description("HXbpinfo 1 1", {"3 settings.sqlite " + size}), "Unknown db type 3"},
      {"short line", Description("HXbpinfo 1 1", {"1 settings.sqlite"}), "Bad line format: '1 settings.sqlite'"},
      {"bad size", Description("HXbpinfo 1 1", {"1 settings.sqlite 12x"}), "Can't get file size: '12x'"},
      {"count beyond 32 bits", Description("HXbpinfo 1 4294967297", {good}), ""},
      {"signed count", Description("HXbpinfo 1 +1", {good}), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(info);
    if (c.content) WriteFile(info, *c.content);
    hx::testing::LogCapture log;
    EXPECT_FALSE(HX_DBManager::instance()->restore(live_, backup_));
    if (c.message.empty()) {
      EXPECT_TRUE(log.Lines().empty());
    } else {
      ASSERT_EQ(log.Lines().size(), 1u);
      EXPECT_EQ(log.Lines()[0].rfind(c.message, 0), 0u) << log.Lines()[0];
    }
  }
  WriteFile(info, Description("HXbpinfo 1 1", {good}));
  EXPECT_TRUE(HX_DBManager::instance()->restore(live_, backup_));
}

TEST_F(DbManagerTest, FailuresAreResultsNotExceptions) {
  const std::string missing = temp_.path() + "/missing/";
  HX_SettingsDBFile settings;
  EXPECT_FALSE(HX_DBManager::instance()->openSettingsDB(&settings, missing.c_str()));
  EXPECT_FALSE(HX_DBManager::instance()->openSettingsDB(nullptr, live_.c_str()));

  ASSERT_TRUE(HX_DBManager::instance()->openSettingsDB(&settings, live_.c_str()));
  EXPECT_FALSE(HX_DBManager::instance()->backup(missing, live_, files_, &settings, nullptr));
  EXPECT_FALSE(HX_DBManager::instance()->backup(live_, live_, files_, &settings, nullptr));  // would delete it
  EXPECT_TRUE(files_.empty());
  EXPECT_TRUE(settings.IsOpen());
  EXPECT_FALSE(HX_DBManager::instance()->restore(missing, backup_));
}

TEST_F(DbManagerTest, LoginsThatCannotBeListedAreLeftOut) {
  {
    HX_SettingsDBFile settings;
    ASSERT_TRUE(HX_DBManager::instance()->openSettingsDB(&settings, live_.c_str()));
    settings.SetDomainLogin("example.com", "two words");
    HX_ChatDB chat;
    ASSERT_TRUE(chat.OpenDatabase("two words", live_.c_str(), HXDBBase::ReadWriteOrRecreate));
  }
  ASSERT_TRUE(Backup());
  EXPECT_EQ(files_, (std::vector<std::string>{"settings.sqlite", "bpinfo.db"}));
  EXPECT_TRUE(HX_DBManager::instance()->restore(live_, backup_));
}

TEST(DbManagerInstance, DestroyOnlyTheSingleObject) {
  HX_DBManager* manager = HX_DBManager::instance();
  EXPECT_EQ(HX_DBManager::instance(), manager);
  HX_DBManager::destroy(nullptr);
  EXPECT_EQ(HX_DBManager::instance(), manager);
  HX_DBManager::destroy(manager);
  HX_DBManager* again = HX_DBManager::instance();
  ASSERT_NE(again, nullptr);
  HXAutoLock hold(again->getLock());
}

}  // namespace
