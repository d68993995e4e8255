// A process that dies in the middle of writing settings must leave a file that opens cleanly and
// holds every value whose write had returned.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "core/storage/settings_db.h"
#include "core/storage/storage_test_helpers.h"
#include "testing/test_support.h"

namespace {

constexpr int32_t kMaxWrites = 1000000;

// Child process: writes settings without end and reports each write that returned on `report`.
[[noreturn]] void WriteUntilKilled(const std::string& dir, int report) {
  HX_SettingsDBFile db;
  if (!db.OpenDatabase(dir.c_str(), HXDBBase::ReadWriteOrRecreate)) _exit(2);
  for (int32_t i = 0; i < kMaxWrites; ++i) {
    db.Write(("Key" + std::to_string(i)).c_str(), "value " + std::to_string(i));
    db.Write("Counter", i);
    if (write(report, &i, sizeof i) != sizeof i) _exit(3);
  }
  _exit(0);
}

TEST(SettingsCrash, KilledWriterLeavesEveryCommittedValue) {
  HX_REQUIRE_TOOL("sqlite3", sqlite3);
  hx::testing::TempDir temp;
  const std::string dir = temp.path() + "/";
  int pipe_ends[2];
  ASSERT_EQ(pipe(pipe_ends), 0);

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(pipe_ends[0]);
    WriteUntilKilled(dir, pipe_ends[1]);
  }
  close(pipe_ends[1]);

  // Kill it after a good number of commits, while it is busy writing the next ones.
  int32_t last_committed = -1;
  int32_t reported = 0;
  while (last_committed < 400 && read(pipe_ends[0], &reported, sizeof reported) == sizeof reported) {
    last_committed = reported;
  }
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  while (read(pipe_ends[0], &reported, sizeof reported) == sizeof reported) last_committed = reported;
  close(pipe_ends[0]);
  ASSERT_TRUE(WIFSIGNALED(status)) << "child ended by itself with " << status;
  ASSERT_GE(last_committed, 400);
  // The killed writer left its log behind: reopening has to recover from it.
  ASSERT_TRUE(hx::storage_testing::Exists(dir + "settings.sqlite-wal"));

  HX_SettingsDBFile db;
  ASSERT_TRUE(db.OpenDatabase(dir.c_str(), HXDBBase::ReadWrite));  // includes the integrity check
  EXPECT_GE(db.Read<int32_t>("Counter", -1), last_committed);
  for (int32_t i = 0; i <= last_committed; ++i) {
    std::string value;
    ASSERT_TRUE(db.ReadRef(("Key" + std::to_string(i)).c_str(), value, nullptr)) << i;
    ASSERT_EQ(value, "value " + std::to_string(i));
  }
  db.Close();
  EXPECT_EQ(hx::storage_testing::Sqlite(sqlite3, dir + "settings.sqlite", "PRAGMA integrity_check;"), "ok\n");
}

}  // namespace
