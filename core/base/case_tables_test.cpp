#include "core/base/case_tables.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "core/base/text_compare.h"
#include "core/base/utf8.h"
#include "core/base/utf8_case.h"
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

// Strictly ascending codes: sorted for the binary search, and no code point twice.
TEST(CaseTables, AreSortedWithoutDuplicatesClosedAndWithinTheirRanges) {
  CheckTable(mUCSU2L, mUCSU2LRows, kUpperToLowerRanges);
  CheckTable(mUCSL2U, mUCSL2URows, kLowerToUpperRanges);
  EXPECT_STREQ(kCaseTablesUnicodeVersion, "2.1");
  // A change in these counts changes how names compare.
  EXPECT_EQ(mUCSU2LRows, 644u);
  EXPECT_EQ(mUCSL2URows, 640u);
}

std::string Utf8(uint32_t code) {
  char bytes[8] = {};
  const int32_t length = wtoutf8(code, bytes);
  return length > 0 ? std::string(bytes, static_cast<size_t>(length)) : std::string();
}

// Upper-cases `text` the way the client does before it stores or sends a name.
std::string Upper(const std::string& text) {
  char out[64] = {};
  size_t size = sizeof out;
  if (utf8ucstr(text.data(), text.size(), out, &size) != 0) return "<failed>";
  return std::string(out, size);
}

// Every character of both tables, upper-cased, still compares equal without regard to case to
// what it came from, alone and inside a name. Dotless i is the one exception kept on purpose: it
// upper-cases to I, which lower-cases to i.
TEST(CaseTables, UpperCasingThenComparingWithoutCaseGivesEqualForEveryRow) {
  constexpr uint32_t kDotlessI = 0x131;
  int checked = 0;
  const std::pair<const UcsCaseRow*, size_t> tables[] = {{mUCSU2L, mUCSU2LRows}, {mUCSL2U, mUCSL2URows}};
  for (const auto& [table, rows] : tables) {
    for (size_t i = 0; i < rows; ++i) {
      for (uint32_t code : {table[i].code, table[i].mapped}) {
        if (code == kDotlessI) continue;
        const std::string name = "user" + Utf8(code) + "@example.com";
        EXPECT_EQ(hxicomparestr(Upper(name).c_str(), name.c_str()), 0) << std::hex << "U+" << code;
        EXPECT_EQ(wlc(wuc(code)), wlc(code)) << std::hex << "U+" << code;
        ++checked;
      }
    }
  }
  EXPECT_EQ(checked, static_cast<int>(2 * (mUCSU2LRows + mUCSL2URows)) - 1);
  EXPECT_EQ(wuc(kDotlessI), 0x49u);
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
  EXPECT_EQ(Find(mUCSU2L, 0xB5), nullptr);
  EXPECT_EQ(Find(mUCSU2L, 0x17F), nullptr);
  // No row leads to a character newer than the tables' Unicode version: U+0180 upper-cases to
  // U+0243 only since Unicode 5.0.
  EXPECT_EQ(Find(mUCSL2U, 0x180), nullptr);
  EXPECT_EQ(wuc(0x180), 0x180u);
  EXPECT_EQ(wlc(0x130), 0x69u);
  EXPECT_EQ(wuc(0xFF), 0x178u);
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The Unicode version named in a generated file's "Source:" line, such as "15.0.0", or in the first
// line of DerivedAge.txt ("# DerivedAge-15.0.0.txt").
std::string SourceVersion(const std::string& generated) {
  const std::string marker = "of Unicode ";
  const size_t at = generated.find(marker);
  if (at == std::string::npos) return "";
  const size_t end = generated.find_first_of(" \n", at + marker.size());
  return generated.substr(at + marker.size(), end - at - marker.size());
}

std::string InstalledVersion(const std::string& derived_age) {
  const std::string first = ReadAll(derived_age).substr(0, 64);
  const size_t dash = first.find('-');
  const size_t end = first.find(".txt");
  if (dash == std::string::npos || end == std::string::npos || end < dash) return "";
  return first.substr(dash + 1, end - dash - 1);
}

// The committed tables are the reference. The generator gives them back byte for byte from the
// Unicode data they were made from; newer data may differ, and is not compared.
TEST(CaseTables, MatchTheGeneratorOutputForTheirDataVersion) {
  HX_REQUIRE_TOOL("python3", python);
  const char* source_dir = std::getenv("HX_SOURCE_DIR");
  ASSERT_NE(source_dir, nullptr);
  const std::string data_dir = "/usr/share/unicode";
  if (!std::ifstream(data_dir + "/UnicodeData.txt")) {
    if (hx::testing::RunningUnderCi()) FAIL() << "unicode-data is not installed";
    GTEST_SKIP() << "unicode-data is not installed";
  }
  const std::string committed = ReadAll(std::string(source_dir) + "/core/base/case_tables.cpp");
  ASSERT_FALSE(committed.empty());
  const std::string recorded = SourceVersion(committed);
  ASSERT_FALSE(recorded.empty());
  const std::string installed = InstalledVersion(data_dir + "/DerivedAge.txt");
  if (installed != recorded) {
    GTEST_SKIP() << "the installed Unicode data is " << installed << ", the tables come from " << recorded;
  }
  hx::testing::TempDir dir;
  const std::string generated = dir.File("case_tables.cpp");
  const std::string command = python + " " + source_dir + "/scripts/gen_case_tables.py --output " +
                              generated + " 2>/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_TRUE(ReadAll(generated) == committed) << "run scripts/gen_case_tables.py again";
}

}  // namespace
