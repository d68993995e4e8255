#include "core/base/variant.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>

#include "core/base/container.h"

namespace {

TEST(Variant, ToStringOfEveryKind) {
  const struct {
    HX_Variant value;
    const char* text;
  } cases[] = {
      {HX_Variant(), "v<none>:"},
      {HX_Variant(true), "v<bool>: true"},
      {HX_Variant(false), "v<bool>: false"},
      {HX_Variant(-5), "v<int32>: -5"},
      {HX_Variant(-9000000000LL), "v<int64>: -9000000000"},
      {HX_Variant(4294967295u), "v<uint32>: 4294967295"},
      {HX_Variant(18446744073709551615ull), "v<uint64>: 18446744073709551615"},
      {HX_Variant(std::string("ab")), "v<string>: 'ab'"},
      {HX_Variant(std::string()), "v<string>: <empty>"},
      {HX_Variant("\x01\x02\x03", 3), "v<binary>: size 3"},
      {HX_Variant(nullptr, 4), "v<binary>: size 0"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.value.toString(), c.text);
}

// Writes the variant into a fresh container and reads the entry back as a variant.
HX_Variant ThroughContainer(const HX_Variant& value, HX_Container& c) {
  EXPECT_TRUE(value.fillContainer(c, "v"));
  c.Reset();
  c.Next();
  return HX_Variant(&c);
}

TEST(Variant, FillContainerWritesTheMatchingEntryAndReadsBack) {
  const struct {
    HX_Variant value;
    uint8_t entry_type;
    int32_t tag_back;
    const char* text_back;
  } cases[] = {
      {HX_Variant(true), HX_CNT_BOOL_VT, HX_Variant::kBool, "v<bool>: true"},
      {HX_Variant(-5), HX_CNT_INTEGER_VT, HX_Variant::kInt32, "v<int32>: -5"},
      {HX_Variant(4294967295u), HX_CNT_INTEGER_VT, HX_Variant::kInt32, "v<int32>: -1"},
      {HX_Variant(-9000000000LL), HX_CNT_INT64_VT, HX_Variant::kInt64, "v<int64>: -9000000000"},
      {HX_Variant(18446744073709551615ull), HX_CNT_INT64_VT, HX_Variant::kInt64, "v<int64>: -1"},
      {HX_Variant(std::string("ab\0cd", 5)), HX_CNT_STRING_VT, HX_Variant::kString, "v<string>: 'ab'"},
      {HX_Variant("\x00\x01", 2), HX_CNT_BINARY_VT, HX_Variant::kBinary, "v<binary>: size 2"},
      {HX_Variant(), HX_CNT_STRING_VT, HX_Variant::kString, "v<string>: <empty>"},
  };
  for (const auto& c : cases) {
    HX_Container container;
    const HX_Variant back = ThroughContainer(c.value, container);
    EXPECT_EQ(container.GetType(), c.entry_type) << c.text_back;
    EXPECT_EQ(back.getTag(), c.tag_back) << c.text_back;
    EXPECT_EQ(back.toString(), c.text_back);
  }
}

TEST(Variant, EntriesWithoutAKindGiveNone) {
  HX_Container c;
  ASSERT_TRUE(c.AddValue("d", 2.5));
  EXPECT_EQ(HX_Variant(&c).getTag(), HX_Variant::kNone);  // no current entry
  c.Next();
  const HX_Variant from_double(&c);
  EXPECT_EQ(from_double.getTag(), HX_Variant::kNone);
  EXPECT_EQ(from_double.toString(), "v<none>:");
  EXPECT_EQ(HX_Variant(static_cast<const HX_Container*>(nullptr)).getTag(), HX_Variant::kNone);
  EXPECT_STREQ(c.GetName(), "d");  // the container's cursor did not move
}

TEST(Variant, EmptyBinaryAddsNothing) {
  HX_Container c;
  EXPECT_TRUE(HX_Variant(nullptr, 0).fillContainer(c, "b"));
  EXPECT_TRUE(c.IsEmpty());
}

TEST(Variant, CopyMoveAndSettersOwnTheirString) {
  HX_Variant text(std::string("hello"));
  HX_Variant copy(text);
  copy.set(std::string("other"));
  EXPECT_EQ(text.getString(), "hello");

  HX_Variant moved(std::move(text));
  EXPECT_EQ(text.getTag(), HX_Variant::kNone);
  EXPECT_EQ(text.getString(), "");
  EXPECT_EQ(moved.getString(), "hello");

  copy = std::move(moved);
  EXPECT_EQ(copy.getString(), "hello");
  EXPECT_EQ(moved.getTag(), HX_Variant::kNone);

  copy.setBinary(std::string("\0\1", 2));
  EXPECT_EQ(copy.getTag(), HX_Variant::kBinary);
  copy.set(copy.getString());  // from its own bytes
  EXPECT_EQ(copy.getString(), std::string("\0\1", 2));
  EXPECT_EQ(copy.getTag(), HX_Variant::kString);
  copy.setInt(7);
  EXPECT_EQ(copy.getString(), "");
  EXPECT_EQ(copy.getInt(), 7);

  HX_Variant number;
  number.setFrom(copy);
  EXPECT_EQ(number.toString(), "v<int32>: 7");
  number.setFrom(HX_Variant(std::string("x")));
  EXPECT_EQ(number.toString(), "v<string>: 'x'");
  number.setUint64(5);
  EXPECT_EQ(number.getInt64(), 5);
}

TEST(Variant, GetValueCopiesOnlyANonEmptyBinary) {
  void* buffer = reinterpret_cast<void*>(1);
  size_t size = 9;
  HX_Variant(std::string("text")).GetValue(buffer, size);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(size, 0u);
  HX_Variant(nullptr, 0).GetValue(buffer, size);
  EXPECT_EQ(buffer, nullptr);

  HX_Variant("abc", 3).GetValue(buffer, size);
  ASSERT_NE(buffer, nullptr);
  EXPECT_EQ(std::string(static_cast<char*>(buffer), size), "abc");
  std::free(buffer);
}

}  // namespace
