#include "core/security/crc32.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <thread>
#include <vector>

namespace {

uint32_t Crc(const std::string& bytes, const unsigned* table) {
  HX_Crc32 crc(0xFFFFFFFF, table);
  return ~crc.process_bytes(bytes.data(), bytes.size());
}

// The table as the reflected algorithm defines it, built here independently of the library.
std::array<unsigned, 256> ReflectedTable() {
  std::array<unsigned, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    unsigned entry = i;
    for (int bit = 0; bit < 8; ++bit) entry = (entry >> 1) ^ ((entry & 1) ? 0xEDB88320u : 0);
    table[i] = entry;
  }
  return table;
}

TEST(Crc32, GivesTheCheckValue) {
  const unsigned* table = HashTable<unsigned, 79764919>::table();
  EXPECT_EQ(Crc("123456789", table), 0xCBF43926u);
  EXPECT_EQ(Crc("", table), 0u);
  EXPECT_EQ(Crc("The quick brown fox jumps over the lazy dog", table), 0x414FA339u);
}

TEST(Crc32, SharedTableIsTheReflectedPolynomial) {
  const auto expected = ReflectedTable();
  const unsigned* table = HashTable<unsigned, 79764919>::table();
  for (unsigned i = 0; i < 256; ++i) EXPECT_EQ(table[i], expected[i]) << i;
  EXPECT_EQ(table[1], 0x77073096u);
  EXPECT_EQ(table[255], 0x2D02EF8Du);
}

// Feeding in pieces continues the same register, over the shared table and over a table of
// the caller's own.
TEST(Crc32, ContinuesAcrossPieces) {
  const auto own = ReflectedTable();
  std::string data;
  for (int i = 0; i < 1000; ++i) data += static_cast<char>(i * 31 + 7);
  for (const unsigned* table : {HashTable<unsigned, 79764919>::table(), own.data()}) {
    const uint32_t whole = Crc(data, table);
    HX_Crc32 crc(0xFFFFFFFF, table);
    uint32_t last = 0;
    for (size_t at = 0; at < data.size(); at += 97) {
      last = crc.process_bytes(data.data() + at, std::min<size_t>(97, data.size() - at));
    }
    EXPECT_EQ(~last, whole);
    EXPECT_EQ(crc.process_bytes(nullptr, 0), last);  // nothing fed, nothing changed
  }
  EXPECT_EQ(Crc(data, own.data()), Crc(data, HashTable<unsigned, 79764919>::table()));
}

TEST(Crc32, TableIsSharedAcrossThreads) {
  std::vector<const unsigned*> seen(4);
  std::vector<std::thread> threads;
  for (auto& slot : seen) {
    threads.emplace_back([&slot] { slot = HashTable<unsigned, 79764919>::table(); });
  }
  for (auto& t : threads) t.join();
  for (const unsigned* table : seen) EXPECT_EQ(table, seen[0]);
}

}  // namespace
