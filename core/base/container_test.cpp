#include "core/base/container.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "core/base/range_coder.h"
#include "testing/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using std::chrono::microseconds;

Bytes Wire(const HX_Container& container) {
  Bytes out(container.GetAllocSize());
  size_t size = out.size();
  EXPECT_TRUE(container.Serialize(out.data(), size));
  out.resize(size);
  return out;
}

// The wire form of hand-made raw bytes, which the container itself would never write.
Bytes WireOfRaw(const Bytes& raw, uint32_t claimed_length) {
  Bytes out(4 + 2 * raw.size() + 4);
  std::memcpy(out.data(), &claimed_length, 4);
  const int64_t coded = RCDV_Encode(raw.data(), raw.size(), out.data() + 4, out.size() - 4);
  EXPECT_GT(coded, 0);
  out.resize(4 + coded);
  return out;
}

Bytes WireOfRaw(const Bytes& raw) { return WireOfRaw(raw, static_cast<uint32_t>(raw.size())); }

Bytes RawOf(const HX_Container& container) {
  const Bytes wire = Wire(container);
  uint32_t length;
  std::memcpy(&length, wire.data(), 4);
  Bytes raw(length);
  EXPECT_EQ(RCDV_DecodeSafe(wire.data() + 4, raw.data(), length, wire.size() - 4),
            static_cast<int64_t>(wire.size() - 4));
  return raw;
}

HX_Container ResultOne() {
  HX_Container c;
  EXPECT_TRUE(c.AddValue("Result", 1));
  return c;
}

std::vector<std::string> Names(const HX_Container& c) {
  std::vector<std::string> names;
  c.Reset();
  while (c.Next()) names.emplace_back(c.GetName());
  return names;
}

TEST(Container, ResultOneHasItsKnownRawAndWireForms) {
  const HX_Container c = ResultOne();
  EXPECT_EQ(RawOf(c), (Bytes{0x07, 'R', 'e', 's', 'u', 'l', 't', 0x00, 0x01, 0x01, 0x00, 0x00, 0x00}));
  EXPECT_EQ(c.GetAllocSize(), 2u * 13 + 4);
  EXPECT_EQ(Wire(c), (Bytes{0x0d, 0x00, 0x00, 0x00, 0x07, 0x75, 0x46, 0xd0, 0x70, 0x65, 0xc7, 0x5c, 0xea,
                            0xae, 0xb4, 0x40, 0xb6, 0x00, 0x00}));
}

TEST(Container, EmptyContainerIsFourZeroBytesAndReadingThemEmpties) {
  EXPECT_EQ(Wire(HX_Container()), (Bytes{0, 0, 0, 0}));
  HX_Container c = ResultOne();
  const Bytes empty = {0, 0, 0, 0};
  ASSERT_TRUE(c.Deserialize(empty.data(), empty.size()));
  EXPECT_TRUE(c.IsEmpty());
  EXPECT_FALSE(c.IsValid());
  EXPECT_FALSE(c.Next());
}

TEST(Container, EveryTypeRoundTripsThroughTheWireForm) {
  HX_Container c;
  const uint8_t blob[] = {0x00, 0xff, 0x00, 0x7f};
  ASSERT_TRUE(c.AddValue("Method", "JoinConference"));
  ASSERT_TRUE(c.AddValue("flag", true));
  ASSERT_TRUE(c.AddValue("count", int32_t{-7}));
  ASSERT_TRUE(c.AddValue("ratio", 0.1));
  ASSERT_TRUE(c.AddValue("id", std::numeric_limits<int64_t>::min()));
  ASSERT_TRUE(c.AddValue("blob", HX_CNT_BINARY_VT, blob, sizeof blob));
  ASSERT_TRUE(c.AddValue("empty text", ""));
  ASSERT_TRUE(c.AddValue("empty blob", HX_CNT_BINARY_VT, nullptr, 0));

  const Bytes wire = Wire(c);
  HX_Container back;
  ASSERT_TRUE(back.Deserialize(wire.data(), wire.size()));
  EXPECT_EQ(Wire(back), wire);
  EXPECT_EQ(Names(back), (std::vector<std::string>{"Method", "flag", "count", "ratio", "id", "blob",
                                                   "empty text", "empty blob"}));

  std::string text;
  EXPECT_TRUE(back.GetValue("method", text));
  EXPECT_EQ(text, "JoinConference");
  uint8_t flag = 0;
  size_t size = 0;
  EXPECT_TRUE(back.GetValue("flag", HX_CNT_BOOL_VT, &flag, size));
  EXPECT_EQ(flag, 1);
  int32_t count = 0;
  EXPECT_TRUE(back.GetValue("count", HX_CNT_INTEGER_VT, &count, size));
  EXPECT_EQ(count, -7);
  double ratio = 0;
  EXPECT_TRUE(back.GetValue("ratio", HX_CNT_DOUBLE_VT, &ratio, size));
  EXPECT_EQ(ratio, 0.1);
  int64_t id = 0;
  EXPECT_TRUE(back.GetValue("id", HX_CNT_INT64_VT, &id, size));
  EXPECT_EQ(id, std::numeric_limits<int64_t>::min());
  const void* ref = back.GetValueRef("blob", HX_CNT_BINARY_VT, size);
  ASSERT_NE(ref, nullptr);
  EXPECT_EQ(Bytes(static_cast<const uint8_t*>(ref), static_cast<const uint8_t*>(ref) + size),
            Bytes(blob, blob + sizeof blob));
  ref = back.GetValueRef("empty text", HX_CNT_STRING_VT, size);
  ASSERT_NE(ref, nullptr);
  EXPECT_EQ(size, 1u);
  EXPECT_EQ(*static_cast<const char*>(ref), '\0');
  EXPECT_NE(back.GetValueRef("empty blob", HX_CNT_BINARY_VT, size), nullptr);
  EXPECT_EQ(size, 0u);
}

TEST(Container, NameLengthLimitsAndEmptyName) {
  HX_Container c;
  EXPECT_TRUE(c.AddValue(std::string(254, 'n'), 1));
  EXPECT_FALSE(c.AddValue(std::string(255, 'n'), 2));
  EXPECT_TRUE(c.AddValue("", 3));
  int32_t value = 0;
  size_t size = 0;
  EXPECT_TRUE(c.GetValue(std::string(254, 'N'), HX_CNT_INTEGER_VT, &value, size));
  EXPECT_EQ(value, 1);
  EXPECT_TRUE(c.GetValue("", HX_CNT_INTEGER_VT, &value, size));
  EXPECT_EQ(value, 3);
  EXPECT_EQ(Names(c).size(), 2u);
}

TEST(Container, LookupFoldsOnlyAsciiLettersAndMatchesWholeNames) {
  HX_Container c;
  ASSERT_TRUE(c.AddValue("METHOD", "a"));
  ASSERT_TRUE(c.AddValue("x[", "b"));
  ASSERT_TRUE(c.AddValue("\xc0", "c"));
  const struct {
    const char* name;
    bool found;
  } cases[] = {
      {"Method", true}, {"method", true}, {"Metho", false}, {"Methods", false},
      {"X[", true},     {"x{", false},    {"\xe0", false},  {"\xc0", true},
  };
  for (const auto& k : cases) {
    std::string text;
    EXPECT_EQ(c.GetValue(k.name, text), k.found) << k.name;
  }
}

TEST(Container, LookupTakesTheFirstEntryOfTheRequestedType) {
  HX_Container c;
  ASSERT_TRUE(c.AddValue("Result", 5));
  ASSERT_TRUE(c.AddValue("Result", "done"));
  ASSERT_TRUE(c.AddValue("result", "later"));
  std::string text;
  EXPECT_TRUE(c.GetValue("Result", text));
  EXPECT_EQ(text, "done");
  int32_t value = 0;
  size_t size = 0;
  EXPECT_TRUE(c.GetValue("RESULT", HX_CNT_INTEGER_VT, &value, size));
  EXPECT_EQ(value, 5);
  EXPECT_FALSE(c.GetValue("Result", HX_CNT_DOUBLE_VT, &value, size));
}

TEST(Container, StringAndBinaryCopiesRespectTheCallersCapacity) {
  HX_Container c;
  ASSERT_TRUE(c.AddValue("Text", "hello"));  // L = 6
  char out[8] = {};
  size_t size = 5;
  EXPECT_FALSE(c.GetValue("Text", HX_CNT_STRING_VT, out, size));
  EXPECT_EQ(size, 6u);
  EXPECT_EQ(out[0], '\0');  // nothing copied
  size = 0;
  EXPECT_TRUE(c.GetValue("Text", HX_CNT_STRING_VT, nullptr, size));
  EXPECT_EQ(size, 6u);
  size = 6;
  EXPECT_TRUE(c.GetValue("Text", HX_CNT_STRING_VT, out, size));
  EXPECT_STREQ(out, "hello");
}

TEST(Container, AddRefusesBadArgumentsAndLeavesTheContentAlone) {
  HX_Container c = ResultOne();
  const Bytes before = Wire(c);
  const uint8_t byte = 1;
  EXPECT_FALSE(c.AddValue("t", static_cast<ContainerVT>(6), &byte, 1));
  EXPECT_FALSE(c.AddValue("t", static_cast<const char*>(nullptr)));
  EXPECT_FALSE(c.AddValue("t", HX_CNT_INTEGER_VT, nullptr, 4));
  EXPECT_FALSE(c.AddValue("t", HX_CNT_BINARY_VT, nullptr, 3));
  // A raw form beyond the u32 length field cannot travel; refused before anything is read or set aside.
  EXPECT_FALSE(c.AddValue("t", HX_CNT_BINARY_VT, &byte, size_t{1} << 32));
  EXPECT_FALSE(c.AddValue("t", HX_CNT_STRING_VT, &byte, std::numeric_limits<uint32_t>::max()));
  EXPECT_EQ(Wire(c), before);
}

TEST(Container, BooleanStoredAsTwoReadsTrueAndAttachesByTheRespectiveRule) {
  HX_Container c;
  const uint8_t two = 2;
  ASSERT_TRUE(c.AddValue("Flag", HX_CNT_BOOL_VT, &two, 1));
  bool value = false;
  ASSERT_TRUE(c.Next());
  EXPECT_TRUE(c.GetValue(value));
  EXPECT_TRUE(value);

  HX_Container current, all;
  EXPECT_TRUE(c.AttachCurrentTo(current));
  c.AttachToCnt(all);
  current.Next();
  all.Next();
  EXPECT_TRUE(current.GetValue(value));
  EXPECT_TRUE(value);
  EXPECT_TRUE(all.GetValue(value));
  EXPECT_FALSE(value);
}

TEST(Container, AttachCopiesEntriesAndSkipsEmptyBinaries) {
  HX_Container c;
  ASSERT_TRUE(c.AddValue("a", 1));
  ASSERT_TRUE(c.AddValue("empty", HX_CNT_BINARY_VT, nullptr, 0));
  ASSERT_TRUE(c.AddValue("s", HX_CNT_STRING_VT, "ab\0cd", 5));
  ASSERT_TRUE(c.AddValue("d", 2.5));

  HX_Container target;
  EXPECT_FALSE(target.AttachCurrentTo(c));  // no current entry
  c.Reset();
  c.Next();
  c.Next();
  EXPECT_FALSE(c.AttachCurrentTo(target));
  EXPECT_TRUE(target.IsEmpty());

  c.AttachToCnt(target);
  EXPECT_EQ(Names(target), (std::vector<std::string>{"a", "s", "d"}));
  target.Reset();
  target.Next();
  target.Next();
  EXPECT_EQ(target.GetStrValueView(), "ab");  // strings are taken up to their first zero byte
  EXPECT_EQ(c.GetName(), std::string("empty"));  // the source's cursor did not move

  c.AttachToCnt(c);  // onto itself: the buffer grows under the walk
  EXPECT_EQ(Names(c), (std::vector<std::string>{"a", "empty", "s", "d", "a", "s", "d"}));
}

TEST(Container, IterationStopsAfterTheLastEntryUntilReset) {
  HX_Container c;
  EXPECT_FALSE(c.Next());
  EXPECT_EQ(c.GetName(), nullptr);
  EXPECT_EQ(c.GetType(), 255);
  ASSERT_TRUE(c.AddValue("one", 1));
  ASSERT_TRUE(c.AddValue("two", "2"));
  ASSERT_TRUE(c.Next());
  ASSERT_TRUE(c.Next());
  EXPECT_EQ(c.GetType(), HX_CNT_STRING_VT);
  int32_t number = 0;
  EXPECT_FALSE(c.GetValue(number));  // wrong type
  EXPECT_EQ(c.GetStrValue(), "2");
  EXPECT_FALSE(c.Next());
  EXPECT_FALSE(c.Next());
  EXPECT_EQ(c.GetName(), nullptr);
  EXPECT_EQ(c.GetStrValueRef(), nullptr);
  ASSERT_TRUE(c.AddValue("three", 3));
  EXPECT_FALSE(c.Next());
  c.Reset();
  EXPECT_EQ(c.GetName(), nullptr);
  ASSERT_TRUE(c.Next());
  EXPECT_STREQ(c.GetName(), "one");
}

TEST(Container, GrowingKeepsTheCursorAndValuesTakenFromItself) {
  HX_Container c;
  ASSERT_TRUE(c.AddValue("first", "a value that will be added again"));
  ASSERT_TRUE(c.AddValue("second", 2));
  c.Next();
  for (int i = 0; i < 100; ++i) {  // far past the first 1000 bytes: the buffer moves several times
    size_t size = 0;
    const void* own = c.GetValueRef("first", HX_CNT_STRING_VT, size);
    ASSERT_TRUE(c.AddValue("copy", HX_CNT_STRING_VT, own, size - 1));
  }
  EXPECT_STREQ(c.GetName(), "first");
  ASSERT_TRUE(c.Next());
  EXPECT_STREQ(c.GetName(), "second");
  ASSERT_TRUE(c.Next());
  EXPECT_EQ(c.GetStrValue(), "a value that will be added again");
}

TEST(Container, CopyingAndMoving) {
  const HX_Container source = ResultOne();
  HX_Container copy(source);
  EXPECT_EQ(Wire(copy), Wire(source));

  HX_Container target = ResultOne();
  ASSERT_TRUE(target.AddValue("more", 2));
  target.Next();
  EXPECT_TRUE(source.CopyTo(target));
  EXPECT_EQ(Wire(target), Wire(source));
  EXPECT_EQ(target.GetName(), nullptr);  // cursor before the first entry

  const Bytes before = Wire(target);
  EXPECT_FALSE(HX_Container().CopyTo(target));
  EXPECT_EQ(Wire(target), before);
  target = HX_Container();  // assigning an empty container empties
  EXPECT_TRUE(target.IsEmpty());
  copy = copy;
  EXPECT_EQ(Wire(copy), Wire(source));

  HX_Container moved(std::move(copy));
  EXPECT_EQ(Wire(moved), Wire(source));
  EXPECT_TRUE(copy.IsEmpty());
  EXPECT_FALSE(copy.IsValid());
  target = std::move(moved);
  EXPECT_EQ(Wire(target), Wire(source));
  EXPECT_TRUE(moved.IsEmpty());
  target.Clear();
  EXPECT_EQ(Wire(target), (Bytes{0, 0, 0, 0}));
}

TEST(Container, NestedContainerTravelsAsItsWireForm) {
  HX_Container inner;
  ASSERT_TRUE(inner.AddValue("Peer", "alice@example.org"));
  HX_Container outer = ResultOne();
  ASSERT_TRUE(outer.AddValue("Inner", inner));
  size_t size = 0;
  const void* ref = outer.GetValueRef("Inner", HX_CNT_BINARY_VT, size);
  ASSERT_NE(ref, nullptr);
  const Bytes inner_wire = Wire(inner);
  EXPECT_EQ(Bytes(static_cast<const uint8_t*>(ref), static_cast<const uint8_t*>(ref) + size), inner_wire);

  HX_Container back;
  ASSERT_TRUE(outer.GetValue("inner", back));
  EXPECT_EQ(Wire(back), inner_wire);
  outer.Reset();
  outer.Next();
  EXPECT_FALSE(outer.GetValue(back));  // "Result" is not a binary
  outer.Next();
  ASSERT_TRUE(outer.GetValue(back));
  EXPECT_EQ(Wire(back), inner_wire);

  const Bytes outer_before = Wire(outer);
  ASSERT_TRUE(outer.AddValue("Self", outer));
  ASSERT_TRUE(outer.GetValue("Self", back));
  EXPECT_EQ(Wire(back), outer_before);
}

TEST(Container, TimeTravelsAsTicksSince1601) {
  const struct {
    int64_t ticks;
    int64_t micros;
  } reads[] = {
      {0, 0},
      {-5, 0},
      {116444736000000000 + 10, 1},
      {116444736000000000 - 10, -1},
      {116444736000000000 + 15, 1},  // truncates toward zero
      {116444736000000000 - 15, -1},
  };
  for (const auto& r : reads) {
    HX_Container c;
    ASSERT_TRUE(c.AddValue("When", HX_CNT_BINARY_VT, &r.ticks, 8));
    HX_Container::TimePoint time{microseconds(12345)};
    ASSERT_TRUE(c.GetValue("When", time));
    EXPECT_EQ(time.time_since_epoch().count(), r.micros) << r.ticks;
    c.Next();
    ASSERT_TRUE(c.GetValue(time));
    EXPECT_EQ(time.time_since_epoch().count(), r.micros) << r.ticks;
  }

  HX_Container c;
  const HX_Container::TimePoint moment{microseconds(1577934245123456)};  // 2020-01-02 03:04:05.123456 UTC
  ASSERT_TRUE(c.AddValue("When", moment));
  size_t size = 0;
  const void* ref = c.GetValueRef("When", HX_CNT_BINARY_VT, size);
  ASSERT_EQ(size, 8u);
  int64_t ticks;
  std::memcpy(&ticks, ref, 8);
  EXPECT_EQ(ticks, 1577934245123456 * 10 + 116444736000000000);
  HX_Container::TimePoint back;
  ASSERT_TRUE(c.GetValue("When", back));
  EXPECT_EQ(back, moment);

  EXPECT_FALSE(c.AddValue("Far", HX_Container::TimePoint::max()));
  const uint8_t seven[7] = {};
  ASSERT_TRUE(c.AddValue("Short", HX_CNT_BINARY_VT, seven, 7));
  EXPECT_FALSE(c.GetValue("Short", back));
}

TEST(Container, CalendarRecordRoundTripsThroughLocalTime) {
  std::tm time = {};
  time.tm_year = 120;
  time.tm_mon = 0;
  time.tm_mday = 2;
  time.tm_hour = 3;
  time.tm_min = 4;
  time.tm_sec = 65;  // normalised in place to 03:05:05
  time.tm_isdst = -1;
  HX_Container c;
  ASSERT_TRUE(c.AddValue("Date", time));
  EXPECT_EQ(time.tm_min, 5);
  size_t size = 0;
  const void* ref = c.GetValueRef("Date", HX_CNT_BINARY_VT, size);
  ASSERT_EQ(size, 16u);
  uint16_t record[8];
  std::memcpy(record, ref, 16);
  EXPECT_EQ(std::vector<uint16_t>(record, record + 8), (std::vector<uint16_t>{2020, 1, 4, 2, 3, 5, 5, 0}));

  std::tm back = {};
  ASSERT_TRUE(c.GetValue("Date", back));
  EXPECT_EQ(back.tm_year, 120);
  EXPECT_EQ(back.tm_mon, 0);
  EXPECT_EQ(back.tm_mday, 2);
  EXPECT_EQ(back.tm_hour, 3);
  EXPECT_EQ(back.tm_min, 5);
  EXPECT_EQ(back.tm_sec, 5);

  std::tm far = {};
  far.tm_year = 70000;
  far.tm_mday = 1;
  EXPECT_FALSE(c.AddValue("Far", far));  // the year does not fit 16 bits
  ASSERT_TRUE(c.AddValue("Eight", HX_CNT_BINARY_VT, record, 8));
  EXPECT_FALSE(c.GetValue("Eight", back));  // not a 16-byte record
}

TEST(Container, SerializeChecksTheCallersRoom) {
  const HX_Container c = ResultOne();
  size_t size = 0;
  EXPECT_TRUE(c.Serialize(nullptr, size));
  EXPECT_EQ(size, 30u);
  Bytes out(29);
  size = out.size();
  EXPECT_FALSE(c.Serialize(out.data(), size));

  uint8_t* allocated = nullptr;
  ASSERT_TRUE(c.SerializeAlloc(allocated, size));
  EXPECT_EQ(Bytes(allocated, allocated + size), Wire(c));
  std::free(allocated);
}

class DeserializeRefuses : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(target_.AddValue("Kept", "old content"));
    before_ = Wire(target_);
  }
  void ExpectRefused(const Bytes& input, const std::string& label) {
    EXPECT_FALSE(target_.Deserialize(input.data(), input.size())) << label;
    EXPECT_EQ(Wire(target_), before_) << label;
  }
  HX_Container target_;
  Bytes before_;
};

TEST_F(DeserializeRefuses, ShortCutPaddedOrMislabelledInput) {
  EXPECT_FALSE(target_.Deserialize(nullptr, 8));
  const Bytes good = Wire(ResultOne());
  for (size_t cut = 0; cut < good.size(); ++cut) ExpectRefused(Bytes(good.begin(), good.begin() + cut), "cut");
  Bytes padded = good;
  padded.push_back(0);
  ExpectRefused(padded, "trailing byte");

  Bytes longer = good;
  longer[0] += 1;
  ExpectRefused(longer, "raw length one more");
  Bytes shorter = good;
  shorter[0] -= 1;
  ExpectRefused(shorter, "raw length one less");
  Bytes huge = good;
  std::memset(huge.data(), 0xff, 4);
  ExpectRefused(huge, "raw length far beyond the coded bytes");
}

TEST_F(DeserializeRefuses, MalformedEntries) {
  const struct {
    const char* label;
    Bytes raw;
  } cases[] = {
      {"one byte", {0x02}},
      {"name length 0", {0x00, 0x01, 5, 0, 0, 0}},  // well formed but for the missing name
      {"name runs past the end", {0x09, 'a', 'b', 0x00}},
      {"name terminator not zero", {0x02, 'a', 'b', 0x01, 1, 0, 0, 0}},
      {"type 6", {0x02, 'a', 0x00, 0x06, 0}},
      {"type 255", {0x02, 'a', 0x00, 0xff}},
      {"integer cut", {0x02, 'a', 0x00, 0x01, 1, 0, 0}},
      {"string length field cut", {0x02, 'a', 0x00, 0x03, 1, 0}},
      {"string length 0", {0x02, 'a', 0x00, 0x03, 0, 0, 0, 0}},
      {"string without terminator", {0x02, 'a', 0x00, 0x03, 2, 0, 0, 0, 'x', 'y'}},
      {"string past the end", {0x02, 'a', 0x00, 0x03, 9, 0, 0, 0, 'x', 0}},
      {"binary past the end", {0x02, 'a', 0x00, 0x04, 3, 0, 0, 0, 1, 2}},
      {"binary length near 2^32", {0x02, 'a', 0x00, 0x04, 0xfd, 0xff, 0xff, 0xff, 1}},
      {"good entry, then a cut one", {0x02, 'a', 0x00, 0x00, 1, 0x02, 'b', 0x00}},
  };
  for (const auto& c : cases) ExpectRefused(WireOfRaw(c.raw), c.label);
}

TEST(Container, DeserializeAcceptsHandMadeEntriesAndRewindsTheCursor) {
  // The writer never makes these, but a peer may: a name holding a zero byte, a bool byte of 7.
  const Bytes raw = {0x04, 'a', 0x00, 'b', 0x00, 0x00, 0x07, 0x02, 'x', 0x00, 0x01, 5, 0, 0, 0};
  HX_Container c = ResultOne();
  ASSERT_TRUE(c.AddValue("second", 2));
  c.Next();
  c.Next();
  const Bytes wire = WireOfRaw(raw);
  ASSERT_TRUE(c.Deserialize(wire.data(), wire.size()));
  EXPECT_EQ(c.GetName(), nullptr);
  ASSERT_TRUE(c.Next());
  EXPECT_STREQ(c.GetName(), "a");
  bool flag = false;
  EXPECT_TRUE(c.GetValue(flag));
  EXPECT_TRUE(flag);
  ASSERT_TRUE(c.Next());
  EXPECT_STREQ(c.GetName(), "x");
  EXPECT_FALSE(c.Next());
  EXPECT_EQ(RawOf(c), raw);
}

TEST(Container, HighlyCompressibleBodyIsNotMistakenForAnOversizedClaim) {
  // Long runs compress best; their ratio must stay within the bound that guards allocations.
  HX_Container c;
  const Bytes zeros(4 << 20, 0);
  ASSERT_TRUE(c.AddValue("Zeros", HX_CNT_BINARY_VT, zeros.data(), zeros.size()));
  const Bytes wire = Wire(c);
  HX_Container back;
  ASSERT_TRUE(back.Deserialize(wire.data(), wire.size()));
  size_t size = 0;
  ASSERT_NE(back.GetValueRef("zeros", HX_CNT_BINARY_VT, size), nullptr);
  EXPECT_EQ(size, zeros.size());
}

TEST(Container, PrinterWritesOneLinePerEntryAndKeepsTheStreamFlags) {
  HX_Container c;
  const uint8_t three[3] = {1, 2, 3};
  ASSERT_TRUE(c.AddValue("on", true));
  ASSERT_TRUE(c.AddValue("off", false));
  ASSERT_TRUE(c.AddValue("n", 255));
  ASSERT_TRUE(c.AddValue("x", 1.5));
  ASSERT_TRUE(c.AddValue("Method", "Login"));
  ASSERT_TRUE(c.AddValue("key", HX_CNT_BINARY_VT, three, 3));
  ASSERT_TRUE(c.AddValue("big", int64_t{-40000000000}));
  std::ostringstream out;
  out << std::hex << std::setw(10);
  out << c;
  EXPECT_EQ(out.str(),
            "HX_CNT_BOOL_VT on true\n"
            "HX_CNT_BOOL_VT off false\n"
            "HX_CNT_INTEGER_VT n 255\n"
            "HX_CNT_DOUBLE_VT x 1.5\n"
            "HX_CNT_STRING_VT Method Login\n"
            "HX_CNT_BINARY_VT key 3 bytes long\n"
            "HX_CNT_INT64_VT big -40000000000\n");
  out.str("");
  out << 255;
  EXPECT_EQ(out.str(), "ff");
  EXPECT_FALSE(c.Next());  // the cursor stays after the last entry

  hx::testing::LogCapture log;
  PrintContainer(ResultOne());
  EXPECT_TRUE(log.Contains("HX_CNT_INTEGER_VT Result 1\n"));
}

}  // namespace
