#include "core/base/bin_buff.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "core/base/container.h"

namespace {

std::string Text(const HX_BinBuff& b) { return std::string(reinterpret_cast<const char*>(b.Data()), b.Size()); }

TEST(BinBuff, SetCopiesAndEmptiesOnNullOrZero) {
  const char bytes[] = "abcdef";
  HX_BinBuff b(bytes, 3);
  EXPECT_EQ(Text(b), "abc");
  EXPECT_NE(b.Data(), reinterpret_cast<const uint8_t*>(bytes));

  const uint8_t* storage = b.Data();
  EXPECT_TRUE(b.Set(bytes + 3, 3));  // same size: the storage is kept
  EXPECT_EQ(b.Data(), storage);
  EXPECT_EQ(Text(b), "def");
  EXPECT_TRUE(b.Set(b.Data() + 1, 2));  // from its own bytes, with a size change
  EXPECT_EQ(Text(b), "ef");

  EXPECT_TRUE(b.Set(nullptr, 5));
  EXPECT_EQ(b.Size(), 0u);
  EXPECT_EQ(b.Data(), nullptr);
  EXPECT_TRUE(b.Set(bytes, 0));
  EXPECT_EQ(b.Data(), nullptr);
}

TEST(BinBuff, CopiesAreDeepMovesTakeTheBytes) {
  HX_BinBuff a("hello", 5);
  HX_BinBuff copy(a);
  EXPECT_TRUE(copy == a);
  EXPECT_NE(copy.Data(), a.Data());
  copy.Data()[0] = 'j';
  EXPECT_FALSE(copy == a);
  copy = a;
  EXPECT_TRUE(copy == a);
  copy = copy;
  EXPECT_EQ(Text(copy), "hello");

  const uint8_t* storage = a.Data();
  HX_BinBuff moved(std::move(a));
  EXPECT_EQ(moved.Data(), storage);
  EXPECT_EQ(a.Size(), 0u);
  EXPECT_EQ(a.Data(), nullptr);
  copy = std::move(moved);
  EXPECT_EQ(copy.Data(), storage);
  EXPECT_EQ(moved.Size(), 0u);
}

TEST(BinBuff, EqualityNeedsEqualSizeAndBytes) {
  const struct {
    std::string left, right;
    bool equal;
  } cases[] = {
      {"", "", true}, {"ab", "ab", true}, {"ab", "abc", false}, {"ab", "ac", false}, {"", "a", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(HX_BinBuff(c.left.data(), c.left.size()) == HX_BinBuff(c.right.data(), c.right.size()), c.equal)
        << c.left << " / " << c.right;
}

TEST(BinBuff, SetSizeReallocatesOnlyOnChange) {
  HX_BinBuff b("abc", 3);
  const uint8_t* storage = b.Data();
  EXPECT_TRUE(b.SetSize(3));
  EXPECT_EQ(b.Data(), storage);
  EXPECT_TRUE(b.SetSize(10));
  EXPECT_EQ(b.Size(), 10u);
  EXPECT_TRUE(b.SetSize(0));
  EXPECT_EQ(b.Data(), nullptr);
}

TEST(BinBuff, HoldsAContainersWireForm) {
  HX_Container c;
  ASSERT_TRUE(c.AddValue("Result", 1));
  HX_BinBuff b("old", 3);
  ASSERT_TRUE(b.Set(c));
  EXPECT_EQ(b.Size(), 19u);
  HX_Container back;
  ASSERT_TRUE(back.Deserialize(b.Data(), b.Size()));
  int32_t result = 0;
  size_t size = 0;
  EXPECT_TRUE(back.GetValue("Result", HX_CNT_INTEGER_VT, &result, size));
  EXPECT_EQ(result, 1);

  ASSERT_TRUE(b.Set(HX_Container()));
  EXPECT_EQ(b.Size(), 4u);
}

}  // namespace
