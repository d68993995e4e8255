// Several processes share one settings file, as several clients of one user do: each opens it in
// the recreating mode, writes and closes, over and over. Contention must make them wait, never
// make one of them take the live file for a broken one and recreate it.

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "core/base/ios_log.h"
#include "core/storage/settings_db.h"
#include "core/storage/storage_test_helpers.h"
#include "testing/test_support.h"

namespace {

constexpr int kProcesses = 8;
constexpr int kRounds = 40;

std::string KeyOf(int process, int round) {
  return "P" + std::to_string(process) + "R" + std::to_string(round);
}

ino_t InodeOf(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

// Child process: kRounds times open, write one key of its own, close. Exits with 0 when every
// open and write reported success, else with the round that failed plus 1.
[[noreturn]] void OpenWriteClose(const std::string& dir, int process) {
  // What the database code logs explains a failure in the parent's output.
  hx::SetLogSink([process](const std::string& line) {
    std::fprintf(stderr, "[%d] %s\n", process, line.c_str());
  });
  for (int round = 0; round < kRounds; ++round) {
    try {
      HX_SettingsDBFile db;
      if (!db.OpenDatabase(dir.c_str(), HXDBBase::ReadWriteOrRecreate)) _exit(round + 1);
      if (!db.Write(KeyOf(process, round).c_str(), round)) _exit(round + 1);
    } catch (const std::exception& error) {
      std::fprintf(stderr, "[%d] round %d: %s\n", process, round, error.what());
      _exit(round + 1);
    }
  }
  _exit(0);
}

TEST(SettingsContention, EveryKeyOfEveryProcessSurvivesAndTheFileIsNeverRecreated) {
  hx::testing::TempDir temp;
  const std::string dir = temp.path() + "/";
  const std::string file = dir + "settings.sqlite";
  {
    HX_SettingsDBFile db;
    ASSERT_TRUE(db.OpenDatabase(dir.c_str(), HXDBBase::ReadWriteOrRecreate));
    ASSERT_TRUE(db.Write("Marker", "before"));
  }
  const ino_t inode = InodeOf(file);
  ASSERT_NE(inode, 0u);

  std::vector<pid_t> children;
  for (int process = 0; process < kProcesses; ++process) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) OpenWriteClose(dir, process);
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "a child failed in round " << WEXITSTATUS(status) - 1;
  }

  EXPECT_EQ(InodeOf(file), inode) << "the file was recreated";
  HX_SettingsDBFile db;
  ASSERT_TRUE(db.OpenDatabase(dir.c_str(), HXDBBase::ReadWrite));
  std::string marker;
  EXPECT_TRUE(db.ReadRef("Marker", marker, nullptr));
  EXPECT_EQ(marker, "before");
  int missing = 0;
  for (int process = 0; process < kProcesses; ++process) {
    for (int round = 0; round < kRounds; ++round) {
      bool found = false;
      const int value = db.Read<int>(KeyOf(process, round).c_str(), -1, &found);
      if (!found || value != round) ++missing;
    }
  }
  EXPECT_EQ(missing, 0) << "of " << kProcesses * kRounds << " keys";
}

// The same start with no file at all: every process finds it missing or half made, and none may
// throw away what another one has created and written meanwhile.
TEST(SettingsContention, ProcessesRacingToCreateTheFileKeepEachOthersKeys) {
  hx::testing::TempDir temp;
  const std::string dir = temp.path() + "/";
  std::vector<pid_t> children;
  for (int process = 0; process < kProcesses; ++process) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) OpenWriteClose(dir, process);
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "a child failed in round " << WEXITSTATUS(status) - 1;
  }
  HX_SettingsDBFile db;
  ASSERT_TRUE(db.OpenDatabase(dir.c_str(), HXDBBase::ReadWrite));
  for (int process = 0; process < kProcesses; ++process) {
    for (int round = 0; round < kRounds; ++round) {
      EXPECT_EQ(db.Read<int>(KeyOf(process, round).c_str(), -1), round) << KeyOf(process, round);
    }
  }
}

// Recreating stays for files that are provably damaged: the recreating mode replaces them, the
// plain read-write mode refuses them.
TEST(SettingsContention, DamagedFileIsRecreatedInRecreatingModeAndRefusedInReadWrite) {
  struct Case {
    const char* what;
    long offset;
  };
  const Case damages[] = {{"header", 0}, {"table page", 4096 + 8}};
  for (const Case& damage : damages) {
    SCOPED_TRACE(damage.what);
    hx::testing::TempDir temp;
    const std::string dir = temp.path() + "/";
    {
      HX_SettingsDBFile db;
      ASSERT_TRUE(db.OpenDatabase(dir.c_str(), HXDBBase::ReadWriteOrRecreate));
      for (int i = 0; i < 50; ++i) ASSERT_TRUE(db.Write(("Key" + std::to_string(i)).c_str(), i));
    }
    hx::storage_testing::Damage(dir + "settings.sqlite", damage.offset, 64);

    HX_SettingsDBFile refused;
    EXPECT_FALSE(refused.OpenDatabase(dir.c_str(), HXDBBase::ReadWrite));
    HX_SettingsDBFile recreated;
    ASSERT_TRUE(recreated.OpenDatabase(dir.c_str(), HXDBBase::ReadWriteOrRecreate));
    bool found = true;
    recreated.Read<int>("Key1", -1, &found);
    EXPECT_FALSE(found);
    EXPECT_TRUE(recreated.Write("Key1", 1));
  }
}

// A write that meets another connection's write lock waits for it instead of being dropped.
TEST(SettingsContention, WriteWaitsForAnotherConnectionsLock) {
  hx::testing::TempDir temp;
  const std::string dir = temp.path() + "/";
  HX_SettingsDBFile db;
  ASSERT_TRUE(db.OpenDatabase(dir.c_str(), HXDBBase::ReadWriteOrRecreate));

  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(std::string(dir + "settings.sqlite").c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE; INSERT INTO settings VALUES ('Other', 'x');", nullptr,
                         nullptr, nullptr),
            SQLITE_OK);
  std::thread release([other] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    sqlite3_exec(other, "COMMIT;", nullptr, nullptr, nullptr);
  });
  EXPECT_TRUE(db.Write("Mine", "y"));
  release.join();
  sqlite3_close(other);
  std::string value;
  EXPECT_TRUE(db.ReadRef("Mine", value, nullptr));
  EXPECT_EQ(value, "y");
  EXPECT_TRUE(db.ReadRef("Other", value, nullptr));
}

// A write the database refuses is reported, not dropped in silence.
TEST(SettingsContention, RefusedWriteIsReported) {
  hx::testing::TempDir temp;
  const std::string dir = temp.path() + "/";
  {
    HX_SettingsDBFile db;
    ASSERT_TRUE(db.OpenDatabase(dir.c_str(), HXDBBase::ReadWriteOrRecreate));
    ASSERT_TRUE(db.Write("Kept", 1));
  }
  HX_SettingsDBFile reader;
  ASSERT_TRUE(reader.OpenDatabase(dir.c_str(), HXDBBase::ReadOnly));
  EXPECT_FALSE(reader.Write("Refused", 2));
  EXPECT_FALSE(reader.Write(nullptr, 2));
  EXPECT_EQ(reader.Read<int>("Kept", 0), 1);
}

}  // namespace
