#include "core/base/case_tables.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "testing/test_support.h"

namespace {

using Ranges = std::vector<std::pair<uint32_t, uint32_t>>;

const Ranges kUpperToLowerRanges = {{0x41, 0x5A},     {0xC0, 0x216},    {0x386, 0x556},
                                    {0x10A0, 0x10C5}, {0x1E00, 0x1FE9}, {0x24B6, 0x24CF},
                                    {0xFF21, 0xFF3A}};
const Ranges kLowerToUpperRanges = {{0x61, 0x7A},     {0xE0, 0x292},    {0x3AC, 0x3EF},
                                    {0x430, 0x4F9},   {0x561, 0x586},   {0x10D0, 0x10F5},
                                    {0x1E01, 0x1FE1}, {0x24D0, 0x24E9}, {0xFF41, 0xFF5A}};

const UcsCaseRow* Find(const UcsCaseRow* table, uint32_t code) {
  for (; table->code != 0; ++table)
    if (table->code == code) return table;
  return nullptr;
}

void CheckTable(const UcsCaseRow* table, size_t rows, const Ranges& ranges) {
  for (size_t i = 0; i < rows; ++i) {
    const UcsCaseRow& row = table[i];
    ASSERT_NE(row.code, 0u) << "zero row inside the table at " << i;
    if (i > 0) EXPECT_LT(table[i - 1].code, row.code) << "not sorted at " << i;
    EXPECT_NE(row.mapped, row.code);
    EXPECT_TRUE(row.code_name != nullptr && row.mapped_name != nullptr);
    bool covered = false;
    for (const auto& [first, last] : ranges) covered |= row.code >= first && row.code <= last;
    EXPECT_TRUE(covered) << std::hex << row.code << " lies outside the covered ranges";
  }
  EXPECT_EQ(table[rows].code, 0u);
  EXPECT_EQ(table[rows].mapped, 0u);
  EXPECT_EQ(table[rows].code_name, nullptr);
}

TEST(CaseTables, AreSortedClosedAndWithinTheirRanges) {
  CheckTable(mUCSU2L, mUCSU2LRows, kUpperToLowerRanges);
  CheckTable(mUCSL2U, mUCSL2URows, kLowerToUpperRanges);
  EXPECT_STREQ(kCaseTablesUnicodeVersion, "2.1");
  // Unicode 2.1 data of today's files; a change here changes how names compare.
  EXPECT_EQ(mUCSU2LRows, 687u);
  EXPECT_EQ(mUCSL2URows, 705u);
}

TEST(CaseTables, HoldTheTellingRows) {
  const UcsCaseRow* a = Find(mUCSU2L, 0x41);
  ASSERT_NE(a, nullptr);
  EXPECT_STREQ(a->code_name, "LATIN CAPITAL LETTER A");
  EXPECT_STREQ(a->mapped_name, "LATIN SMALL LETTER A");

  const UcsCaseRow* dotted = Find(mUCSU2L, 0x130);
  ASSERT_NE(dotted, nullptr);
  EXPECT_EQ(dotted->mapped, 0x69u);
  const UcsCaseRow* dotless = Find(mUCSL2U, 0x131);
  ASSERT_NE(dotless, nullptr);
  EXPECT_EQ(dotless->mapped, 0x49u);
  const UcsCaseRow* y = Find(mUCSL2U, 0xFF);
  ASSERT_NE(y, nullptr);
  EXPECT_EQ(y->mapped, 0x178u);

  for (uint32_t no_row : {0xB5u, 0x17Fu, 0x3C2u, 0x1C5u}) {
    EXPECT_EQ(Find(mUCSL2U, no_row), nullptr) << std::hex << no_row;
  }
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The committed table is exactly what the generator makes from the installed Unicode data.
TEST(CaseTables, MatchTheGeneratorOutput) {
  HX_REQUIRE_TOOL("python3", python);
  const char* source_dir = std::getenv("HX_SOURCE_DIR");
  ASSERT_NE(source_dir, nullptr);
  if (!std::ifstream("/usr/share/unicode/UnicodeData.txt")) {
    if (hx::testing::RunningUnderCi()) FAIL() << "unicode-data is not installed";
    GTEST_SKIP() << "unicode-data is not installed";
  }
  hx::testing::TempDir dir;
  const std::string generated = dir.File("case_tables.cpp");
  const std::string command = python + " " + source_dir + "/scripts/gen_case_tables.py --output " +
                              generated + " 2>/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const std::string committed = ReadAll(std::string(source_dir) + "/core/base/case_tables.cpp");
  ASSERT_FALSE(committed.empty());
  EXPECT_TRUE(ReadAll(generated) == committed) << "run scripts/gen_case_tables.py again";
}

}  // namespace
