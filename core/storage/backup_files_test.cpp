#include "core/storage/backup_files.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/storage/storage_test_helpers.h"
#include "testing/test_support.h"

namespace {

using namespace hx::backup;

TEST(BackupFiles, SplitKeepsEmptyFieldsBetweenSpacesOnly) {
  struct Case {
    const char* text;
    std::vector<std::string> fields;
  };
  const Case cases[] = {
      {"", {}},
      {"a", {"a"}},
      {"a b c", {"a", "b", "c"}},
      {"a  b", {"a", "", "b"}},
      {"a b ", {"a", "b"}},
      {" a", {"", "a"}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> fields;
    split(c.text, fields);
    EXPECT_EQ(fields, c.fields) << "'" << c.text << "'";
  }
}

TEST(BackupFiles, NumbersAreWholeUnsignedDecimalsInRange) {
  struct Case {
    const char* text;
    bool ok32;
    uint32_t value32;
    bool ok64;
  };
  const Case cases[] = {
      {"", true, 0, true},  // an empty field reads as 0
      {"0", true, 0, true},
      {"4294967295", true, 4294967295u, true},
      {"4294967296", false, 0, true},
      {"18446744073709551615", false, 0, true},
      {"18446744073709551616", false, 0, false},
      {"+1", false, 0, false},
      {"-1", false, 0, false},
      {" 1", false, 0, false},
      {"1 ", false, 0, false},
      {"0x10", false, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    uint32_t value32 = 77;
    EXPECT_EQ(getUInt(c.text, value32), c.ok32);
    EXPECT_EQ(value32, c.ok32 ? c.value32 : 77u);
    uint64_t value64 = 0;
    EXPECT_EQ(getUInt(c.text, value64), c.ok64);
  }
}

TEST(BackupFiles, PathsAndSizes) {
  std::string path = "dir";
  ensureLastSlash(path);
  EXPECT_EQ(path, "dir/");
  ensureLastSlash(path);
  EXPECT_EQ(path, "dir/");
  path = "dir\\";
  ensureLastSlash(path);
  EXPECT_EQ(path, "dir\\");
  path = "";
  ensureLastSlash(path);
  EXPECT_EQ(path, "");
  EXPECT_EQ(joinPath("a", "b"), "a/b");
  EXPECT_EQ(joinPath("a/", "b"), "a/b");
  EXPECT_EQ(joinPath("a\\", "b"), "a\\b");
  EXPECT_EQ(joinPath("", "b"), "b");

  hx::testing::TempDir temp;
  hx::storage_testing::WriteFile(temp.File("five"), std::string("a\0b\nc", 5));
  EXPECT_EQ(getFileSize(temp.File("five")), 5);
  hx::storage_testing::WriteFile(temp.File("empty"), "");
  EXPECT_EQ(getFileSize(temp.File("empty")), 0);
  EXPECT_EQ(getFileSize(temp.File("missing")), -1);
}

}  // namespace
