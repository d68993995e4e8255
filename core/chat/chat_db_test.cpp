#include "core/chat/chat_db.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "core/storage/storage_test_helpers.h"
#include "testing/test_support.h"

namespace {

using hx::storage_testing::Sqlite;

const char kPeer[] = "alice@example.com";

class ChatDbTest : public ::testing::Test {
 protected:
  std::string Dir() const { return temp_.path() + "/"; }
  std::string File() const { return Dir() + "C160F8CC69A4F0BF2B0362752353D060.chat.sqlite"; }

  hx::testing::TempDir temp_;
};

const char kTables[] =
    "SELECT name FROM sqlite_master WHERE type='table' AND name IN "
    "('messages','fts','previews','pages','attrib_directory','attributes','uploads') ORDER BY name;";
const char kCurrentTables[] = "attrib_directory\nattributes\nfts\nmessages\npages\npreviews\n";

TEST_F(ChatDbTest, NewFileGetsTheSchemaOnce) {
  HX_REQUIRE_TOOL("sqlite3", sqlite3);
  HX_ChatDB chat;
  EXPECT_FALSE(chat.IsOpen());
  ASSERT_TRUE(chat.OpenDatabase(kPeer, Dir().c_str(), HXDBBase::ReadWriteOrRecreate));
  EXPECT_EQ(chat.GetStorageFSName(), "C160F8CC69A4F0BF2B0362752353D060.chat.sqlite");
  EXPECT_TRUE(chat.Create());  // again: the full-text table is not created twice
  chat.Close();
  EXPECT_EQ(Sqlite(sqlite3, File(), kTables), kCurrentTables);
  EXPECT_EQ(Sqlite(sqlite3, File(), "PRAGMA user_version; PRAGMA integrity_check;"), "13\nok\n");

  std::unique_ptr<HXDBBase> copy(chat.createInstance());
  ASSERT_NE(dynamic_cast<HX_ChatDB*>(copy.get()), nullptr);
  EXPECT_FALSE(copy->IsOpen());
}

TEST_F(ChatDbTest, OlderFilesByVersion) {
  HX_REQUIRE_TOOL("sqlite3", sqlite3);
  struct Case {
    const char* what;
    const char* prepare;  // run on a current file
    bool opens;
    const char* tables;
    const char* kept;  // the one message, when it survives
  };
  const Case cases[] = {
      {"version 12 loses its uploads table", "CREATE TABLE uploads (MagnetLink); PRAGMA user_version = 12;", true,
       kCurrentTables, "kept\n"},
      {"unknown version is rebuilt", "PRAGMA user_version = 5;", true, kCurrentTables, ""},
      {"no version and unknown columns: rebuilt",
       "DROP TABLE messages; CREATE TABLE messages (Text); INSERT INTO messages VALUES ('kept'); "
       "PRAGMA user_version = 0;",
       true, kCurrentTables, ""},
      {"version 11 waits for its conversion", "CREATE TABLE uploads (MagnetLink); PRAGMA user_version = 11;", false,
       "attrib_directory\nattributes\nfts\nmessages\npages\npreviews\nuploads\n", "kept\n"},
      {"no version but version 11 columns: waits too", "PRAGMA user_version = 0;", false, kCurrentTables, "kept\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(File());
    {
      HX_ChatDB chat;
      ASSERT_TRUE(chat.OpenDatabase(kPeer, Dir().c_str(), HXDBBase::Recreate));
    }
    ASSERT_EQ(Sqlite(sqlite3, File(), std::string("INSERT INTO messages (Text) VALUES ('kept'); ") + c.prepare), "");
    HX_ChatDB chat;
    EXPECT_EQ(chat.OpenDatabase(kPeer, Dir().c_str(), HXDBBase::ReadWrite), c.opens);
    chat.Close();
    EXPECT_EQ(Sqlite(sqlite3, File(), kTables), c.tables);
    EXPECT_EQ(Sqlite(sqlite3, File(), "SELECT Text FROM messages;"), c.kept);
    if (c.opens) EXPECT_EQ(Sqlite(sqlite3, File(), "PRAGMA user_version;"), "13\n");
  }
}

}  // namespace
