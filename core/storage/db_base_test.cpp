#include "core/storage/db_base.h"

#include <cppdb/errors.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <vector>

#include "core/storage/db_guard.h"
#include "core/storage/db_peer_base.h"
#include "core/storage/storage_test_helpers.h"
#include "testing/test_support.h"

namespace {

using hx::storage_testing::Damage;
using hx::storage_testing::Exists;
using hx::storage_testing::Sqlite;
using hx::storage_testing::WriteFile;

// A small database that records which schema hooks the open procedure called.
template <typename Base>
class Notes : public Base {
 public:
  explicit Notes(int version = 3) : Base(version, "Notes"), version_(version) {}

  std::string GetStorageNameSuffix() const override { return "notes.sqlite"; }
  bool Create() override {
    ++creates;
    if (fail_create) return false;
    return DB_GUARD_CALL(
        [this] {
          HXDBBaseSessionLock held = this->Session();
          *held << "CREATE TABLE IF NOT EXISTS notes (text TEXT)" << cppdb::exec;
          *held << "CREATE TABLE IF NOT EXISTS \"odd \"\"table\"\"\" (value)" << cppdb::exec;
          this->SetVersion(held, version_);
        },
        true);
  }
  bool Drop() override {
    ++drops;
    return DB_GUARD_CALL([this] { *this->Session() << "DROP TABLE IF EXISTS notes" << cppdb::exec; });
  }
  bool handleZeroVersion() override {
    ++zero_versions;
    return HXDBBase::handleZeroVersion();
  }
  bool Upgrade(int oldVersion) override {
    upgrades.push_back(oldVersion);
    return HXDBBase::Upgrade(oldVersion);
  }

  bool Add(const std::string& text) {
    return DB_GUARD_CALL([&] { *this->Session() << "INSERT INTO notes VALUES (?)" << text << cppdb::exec; });
  }
  std::vector<std::string> All() {
    std::vector<std::string> texts;
    DB_GUARD_CALL([&] {
      HXDBBaseSessionLock held = this->Session();
      cppdb::result rows = *held << "SELECT text FROM notes ORDER BY rowid";
      while (rows.next()) texts.push_back(rows.template get<std::string>(0));
    });
    return texts;
  }

  int creates = 0;
  int drops = 0;
  int zero_versions = 0;
  std::vector<int> upgrades;
  bool fail_create = false;

 private:
  int version_;
};

using NotesDB = Notes<HXDBBase>;
using PeerNotesDB = Notes<HXDBPeerBase>;

class DbBaseTest : public ::testing::Test {
 protected:
  std::string Dir() const { return temp_.path() + "/"; }
  std::string File() const { return Dir() + "notes.sqlite"; }

  // A file with two notes at the schema version `version`.
  void MakeFile(int version) {
    NotesDB db(version);
    ASSERT_TRUE(db.OpenDatabase(Dir().c_str(), HXDBBase::Recreate));
    ASSERT_TRUE(db.Add("first"));
    ASSERT_TRUE(db.Add("second"));
  }

  hx::testing::TempDir temp_;
};

TEST_F(DbBaseTest, MissingFileOpensOnlyInCreatingModes) {
  struct Case {
    int mode;
    bool opens;
  };
  const Case cases[] = {
      {HXDBBase::Recreate, true},
      {HXDBBase::ReadOnly, false},
      {HXDBBase::ReadWrite, false},
      {HXDBBase::ReadWriteOrRecreate, true},
      {7, false},  // makes an empty file without a version, which the base refuses
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    std::filesystem::remove(File());
    NotesDB db;
    EXPECT_EQ(db.OpenDatabase(Dir().c_str(), static_cast<HXDBBase::OpenMode>(c.mode)), c.opens);
    EXPECT_EQ(db.IsOpen(), c.opens);
    EXPECT_EQ(db.creates, c.opens ? 1 : 0);
  }
}

TEST_F(DbBaseTest, SchemaVersionDecidesBetweenNothingUpgradeAndZeroVersion) {
  HX_REQUIRE_TOOL("sqlite3", sqlite3);
  struct Case {
    int file_version;
    bool opens;
    std::vector<int> upgrades;
    int zero_versions;
    std::vector<std::string> notes;
  };
  const Case cases[] = {
      {3, true, {}, 0, {"first", "second"}},
      {2, true, {2}, 0, {}},  // the base upgrade drops and creates
      {9, true, {9}, 0, {}},  // also when the file is newer
      {0, false, {}, 1, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file_version);
    MakeFile(3);
    ASSERT_EQ(Sqlite(sqlite3, File(), "PRAGMA user_version = " + std::to_string(c.file_version) + ";"), "");
    NotesDB db(3);
    EXPECT_EQ(db.OpenDatabase(Dir().c_str(), HXDBBase::ReadWrite), c.opens);
    EXPECT_EQ(db.creates, c.upgrades.empty() ? 0 : 1);
    EXPECT_EQ(db.upgrades, c.upgrades);
    EXPECT_EQ(db.zero_versions, c.zero_versions);
    if (c.opens) {
      EXPECT_EQ(db.All(), c.notes);
      EXPECT_EQ(db.GetVersion(), 3);
    }
  }
}

TEST_F(DbBaseTest, UpgradeFailsWhenCreateFails) {
  MakeFile(2);
  NotesDB db(3);
  db.fail_create = true;
  EXPECT_FALSE(db.OpenDatabase(Dir().c_str(), HXDBBase::ReadWrite));
  EXPECT_FALSE(db.IsOpen());
}

TEST_F(DbBaseTest, DamagedFileIsRefusedOrRecreatedByMode) {
  HX_REQUIRE_TOOL("sqlite3", sqlite3);
  struct Case {
    const char* what;
    long offset;
  };
  // The header makes the file unreadable; a damaged table page is found by the integrity check.
  const Case damages[] = {{"header", 0}, {"table page", 4096 + 8}};
  for (const Case& damage : damages) {
    SCOPED_TRACE(damage.what);
    MakeFile(3);
    Damage(File(), damage.offset, 64);

    NotesDB checked;
    EXPECT_FALSE(checked.OpenDatabase(Dir().c_str(), HXDBBase::ReadWrite));
    EXPECT_FALSE(checked.IsOpen());
    // A failed open leaves nothing open that a second call could take for success.
    EXPECT_FALSE(checked.OpenDatabase(Dir().c_str(), HXDBBase::ReadWrite));

    NotesDB recreating;
    ASSERT_TRUE(recreating.OpenDatabase(Dir().c_str(), HXDBBase::ReadWriteOrRecreate));
    EXPECT_EQ(recreating.creates, 1);
    EXPECT_TRUE(recreating.All().empty());
    ASSERT_TRUE(recreating.Add("after"));
    recreating.Close();
    EXPECT_EQ(Sqlite(sqlite3, File(), "PRAGMA integrity_check; SELECT text FROM notes; PRAGMA user_version;"),
              "ok\nafter\n3\n");
  }
}

TEST_F(DbBaseTest, RemovingAFileTakesItsLogAndSharedMemoryAlong) {
  MakeFile(3);
  NotesDB db;
  ASSERT_TRUE(db.OpenDatabase(Dir().c_str(), HXDBBase::ReadWrite));
  ASSERT_TRUE(db.Add("third"));
  ASSERT_TRUE(Exists(File() + "-wal"));
  EXPECT_TRUE(db.RemoveDBFile(File()));
  EXPECT_FALSE(db.IsOpen());
  for (const char* companion : {"", "-wal", "-shm"}) EXPECT_FALSE(Exists(File() + companion)) << companion;
  EXPECT_FALSE(db.RemoveDBFile(File()));
}

TEST_F(DbBaseTest, BackupCopiesEveryTableIntoAFolderWithAQuote) {
  HX_REQUIRE_TOOL("sqlite3", sqlite3);
  MakeFile(3);
  NotesDB source;
  ASSERT_TRUE(source.OpenDatabase(Dir().c_str(), HXDBBase::ReadWrite));
  ASSERT_TRUE(DB_GUARD_CALL([&] { *source.Session() << "INSERT INTO \"odd \"\"table\"\"\" VALUES (7)" << cppdb::exec; }));
  const std::string target_dir = Dir() + "it's/";
  std::filesystem::create_directory(target_dir);
  {
    NotesDB target;
    ASSERT_TRUE(target.OpenDatabase(target_dir.c_str(), HXDBBase::Recreate));
    ASSERT_TRUE(target.Add("replaced by the copy"));
  }
  ASSERT_TRUE(source.backup(Dir() + "it's"));
  EXPECT_EQ(Sqlite(sqlite3, target_dir + "notes.sqlite", "SELECT text FROM notes; SELECT * FROM \"odd \"\"table\"\"\";"),
            "first\nsecond\n7\n");
  EXPECT_FALSE(NotesDB().backup(target_dir));  // a closed database copies nothing
}

TEST_F(DbBaseTest, PathsWithSpecialCharactersOpen) {
  for (const std::string folder : {"semi;colon", "it's", " padded "}) {
    SCOPED_TRACE(folder);
    const std::string dir = Dir() + folder + "/";
    std::filesystem::create_directory(dir);
    NotesDB db;
    ASSERT_TRUE(db.OpenDatabase(dir.c_str(), HXDBBase::ReadWriteOrRecreate));
    EXPECT_TRUE(Exists(dir + "notes.sqlite"));
  }
}

TEST_F(DbBaseTest, InMemoryDatabaseNeedsNoFolder) {
  class Scratch : public NotesDB {
   public:
    std::string GetStorageNameSuffix() const override { return ":memory:"; }
  };
  Scratch db;
  ASSERT_TRUE(db.OpenDatabase("", HXDBBase::Recreate));
  EXPECT_TRUE(db.Add("kept in memory"));
  EXPECT_EQ(db.All(), std::vector<std::string>{"kept in memory"});
}

TEST(DbBaseNames, PathEncodeHashesTheIdBeforeTheSuffix) {
  NotesDB db;
  struct Case {
    const char* name;
    const char* encoded;
  };
  const Case cases[] = {
      {"settings.sqlite", "settings.sqlite"},
      {":memory:", ":memory:"},
      {"P.chat.sqlite", "44C29EDB103A2872F519AD0C9A0FDAAA.chat.sqlite"},
      {"L@S/R.groups.sqlite", "C5FBDFD5F71FD7B0D75F18242E76DB0B.groups.sqlite"},  // resource dropped
      {"a.b@c.chat.sqlite", "B7F404B7C77A8F37D15F17A73020479D.chat.sqlite"},      // dots in the id
  };
  for (const Case& c : cases) EXPECT_EQ(db.PathEncode(c.name), c.encoded) << c.name;
  EXPECT_EQ(db.GetStorageFSName("P"), "44C29EDB103A2872F519AD0C9A0FDAAA.notes.sqlite");
}

TEST(DbBasePaging, LimitsBindOffsetAndCount) {
  hx::testing::TempDir temp;
  NotesDB db;
  EXPECT_EQ(db.LimitVal(), 10u);
  ASSERT_TRUE(db.OpenDatabase((temp.path() + "/").c_str(), HXDBBase::Recreate));
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(db.Add(std::to_string(i)));

  const auto page = [&](unsigned number) {
    std::vector<std::string> texts;
    HXDBBaseSessionLock held = db.Session();
    hx::db::Statement statement{held->prepare(db.ReqWithLim("SELECT text FROM notes ORDER BY rowid"))};
    db.AppendLimParams(statement, number);
    hx::db::Result result{statement.statement.query()};
    while (result.result.next()) texts.push_back(db.dbFetchDef<std::string>(result, 0, "?"));
    return texts;
  };
  const std::vector<std::string> fourth = page(3);
  ASSERT_EQ(fourth.size(), 10u);
  EXPECT_EQ(fourth.front(), "30");
  EXPECT_EQ(fourth.back(), "39");

  EXPECT_TRUE(db.SetRequestLimit(999));
  EXPECT_EQ(db.LimitVal(), 999u);
  EXPECT_FALSE(db.IsUnlimReq());
  EXPECT_TRUE(db.SetRequestLimit(1000));
  EXPECT_TRUE(db.IsUnlimReq());
  EXPECT_EQ(db.ReqWithLim("SELECT 1"), "SELECT 1");
  EXPECT_EQ(db.GetRequestLimit(), 10u);
  EXPECT_EQ(page(7).size(), 50u);
}

TEST(DbGuard, TurnsDatabaseErrorsIntoFalse) {
  EXPECT_TRUE(DB_GUARD_CALL([] {}));
  EXPECT_FALSE(DB_GUARD_CALL([] { throw cppdb::cppdb_error("broken"); }));
  EXPECT_THROW(DB_GUARD_CALL([] { throw cppdb::null_value_fetch(); }, true), cppdb::null_value_fetch);
  EXPECT_THROW(DB_GUARD_CALL([] { throw std::logic_error("not ours"); }), std::logic_error);
  EXPECT_THROW(DB_GUARD_CALL(std::function<void()>()), std::bad_function_call);
}

class DbPeerTest : public DbBaseTest {};

TEST_F(DbPeerTest, SamePeerIsNotReopenedAndAnotherOneReplacesIt) {
  PeerNotesDB db;
  EXPECT_FALSE(db.OpenDatabase(nullptr, Dir().c_str(), HXDBBase::ReadWriteOrRecreate));
  EXPECT_FALSE(db.OpenDatabase("", Dir().c_str(), HXDBBase::ReadWriteOrRecreate));

  ASSERT_TRUE(db.OpenDatabase("alice@example.com", Dir().c_str(), HXDBBase::ReadWriteOrRecreate));
  const std::string alice_file = Dir() + "C160F8CC69A4F0BF2B0362752353D060.notes.sqlite";
  EXPECT_EQ(db.GetStorageFSName(), "C160F8CC69A4F0BF2B0362752353D060.notes.sqlite");
  ASSERT_TRUE(Exists(alice_file));
  ASSERT_TRUE(db.Add("for alice"));
  EXPECT_TRUE(db.OpenDatabase("alice@example.com", Dir().c_str(), HXDBBase::ReadWrite));
  EXPECT_EQ(db.creates, 1);

  ASSERT_TRUE(db.OpenDatabase("P", Dir().c_str(), HXDBBase::ReadWriteOrRecreate));
  EXPECT_EQ(db.PeerId(), "P");
  EXPECT_TRUE(db.All().empty());
  db.Close();
  EXPECT_EQ(db.PeerId(), "");
  ASSERT_TRUE(db.OpenDatabase("alice@example.com", Dir().c_str(), HXDBBase::ReadWrite));
  EXPECT_EQ(db.All(), std::vector<std::string>{"for alice"});
}

TEST_F(DbPeerTest, OldFileNamesMoveWithTheirCompanions) {
  // An old client's file whose last note is still only in its log.
  const std::string source = Dir() + "source.sqlite";
  const std::string old_name = Dir() + "L.notes.sqlite";
  {
    cppdb::session session("sqlite3:db=" + source);
    session << "PRAGMA journal_mode = WAL" << cppdb::row;
    session << "CREATE TABLE notes (text TEXT)" << cppdb::exec;
    session << "PRAGMA user_version = 3" << cppdb::exec;
    session << "INSERT INTO notes VALUES ('logged')" << cppdb::exec;
    std::filesystem::copy_file(source, old_name);
    std::filesystem::copy_file(source + "-wal", old_name + "-wal");
    std::filesystem::copy_file(source + "-shm", old_name + "-shm");
  }
  PeerNotesDB db;
  ASSERT_TRUE(db.OpenDatabase("L@S/R", Dir().c_str(), HXDBBase::ReadWrite));
  EXPECT_EQ(db.All(), std::vector<std::string>{"logged"});
  EXPECT_FALSE(Exists(old_name));
  EXPECT_FALSE(Exists(old_name + "-wal"));
  EXPECT_FALSE(Exists(old_name + "-shm"));
  EXPECT_TRUE(Exists(Dir() + "C5FBDFD5F71FD7B0D75F18242E76DB0B.notes.sqlite"));
}

TEST_F(DbPeerTest, MigrationNeverOverwritesNorReachesOutsideTheFolder) {
  const std::string inner = Dir() + "inner/";
  std::filesystem::create_directory(inner);
  const std::string encoded = inner + "C5FBDFD5F71FD7B0D75F18242E76DB0B.notes.sqlite";
  WriteFile(inner + "L.notes.sqlite", "old");
  WriteFile(encoded, "new");
  PeerNotesDB db;
  EXPECT_FALSE(db.Migrate(inner + "L.notes.sqlite", encoded));
  EXPECT_EQ(hx::storage_testing::ReadFile(inner + "L.notes.sqlite"), "old");

  // A peer id that climbs out of the folder names no old file.
  WriteFile(Dir() + "outside.notes.sqlite", "not a database of this folder");
  db.OpenDatabase("../outside@x", inner.c_str(), HXDBBase::ReadWrite);
  EXPECT_TRUE(Exists(Dir() + "outside.notes.sqlite"));
}

}  // namespace
