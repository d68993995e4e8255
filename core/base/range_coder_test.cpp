#include "core/base/range_coder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Encode(const Bytes& input) {
  Bytes out(2 * input.size() + 4);
  const int64_t written = RCDV_Encode(input.data(), input.size(), out.data(), out.size());
  EXPECT_GE(written, 0);
  out.resize(written < 0 ? 0 : written);
  return out;
}

Bytes FromText(const std::string& text) { return Bytes(text.begin(), text.end()); }

// The coder written straight from its definition (cumulative frequencies summed from 0, no group
// sums), to check the fast model against it.
Bytes ReferenceEncode(const Bytes& input) {
  uint32_t counts[256] = {};
  uint32_t total = 256;
  uint32_t low = 0, range = 0xFFFFFFFF;
  Bytes out;
  for (uint8_t s : input) {
    uint32_t cum = s;
    for (int j = 0; j < s; ++j) cum += counts[j];
    const uint32_t r = range / total;
    low += r * cum;
    range = r * (counts[s] + 1);
    for (;;) {
      if ((low ^ (low + range)) >= (1u << 24)) {
        if (range >= (1u << 16)) break;
        range = (0u - low) & 0xFFFF;
      }
      out.push_back(low >> 24);
      low <<= 8;
      range <<= 8;
    }
    counts[s] += 64;
    total += 64;
    if (total > 65536) {
      total = 256;
      for (uint32_t& c : counts) total += (c >>= 1);
    }
  }
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(low >> shift);
  return out;
}

// The safe decoder written straight from its definition: a linear search of the cumulative
// frequencies, one division per scaled value and one shift per step.
struct ReferenceDecoded {
  int64_t result = -1;
  Bytes output;  // what was produced before a failure, or all of it
};

ReferenceDecoded ReferenceDecode(const Bytes& coded, size_t length) {
  ReferenceDecoded decoded;
  if (coded.size() < 4) return decoded;
  uint32_t counts[256] = {};
  uint32_t total = 256;
  uint32_t low = 0, range = 0xFFFFFFFF;
  uint32_t code = uint32_t{coded[0]} << 24 | uint32_t{coded[1]} << 16 | uint32_t{coded[2]} << 8 | coded[3];
  size_t in = 4;
  for (size_t i = 0; i < length; ++i) {
    const uint32_t r = range / total;
    const uint32_t v = (code - low) / r;
    if (v >= total) return decoded;
    unsigned s = 0;
    uint32_t cum = 0;
    while (cum + counts[s] + 1 <= v) cum += counts[s++] + 1;
    decoded.output.push_back(static_cast<uint8_t>(s));
    low += r * cum;
    range = r * (counts[s] + 1);
    for (;;) {
      if ((low ^ (low + range)) >= (1u << 24)) {
        if (range >= (1u << 16)) break;
        range = (0u - low) & 0xFFFF;
      }
      if (in == coded.size()) return decoded;
      code = code << 8 | coded[in++];
      low <<= 8;
      range <<= 8;
    }
    counts[s] += 64;
    total += 64;
    if (total > 65536) {
      total = 256;
      for (uint32_t& c : counts) total += (c >>= 1);
    }
  }
  decoded.result = static_cast<int64_t>(in);
  return decoded;
}

TEST(RangeCoder, KnownAnswers) {
  const struct {
    std::string input;
    Bytes coded;
  } cases[] = {
      {"", {0x00, 0x00, 0x00, 0x00}},
      {"a", {0x60, 0xff, 0xff, 0x9f}},
      {"abc", {0x61, 0x82, 0x11, 0xc7, 0x98, 0x00}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(Encode(FromText(c.input)), c.coded);
    Bytes decoded(c.input.size());
    EXPECT_EQ(RCDV_DecodeSafe(c.coded.data(), decoded.data(), decoded.size(), c.coded.size()),
              static_cast<int64_t>(c.coded.size()));
    EXPECT_EQ(decoded, FromText(c.input));
  }
}

// Inputs long enough to pass the rescale limit many times, from flat to extremely skewed, so that
// both the smallest and the largest symbol frequencies occur.
std::vector<Bytes> LongInputs() {
  std::vector<Bytes> inputs;
  Bytes every_value;
  for (int round = 0; round < 300; ++round)
    for (int v = 0; v < 256; ++v) every_value.push_back(static_cast<uint8_t>(v));
  inputs.push_back(every_value);
  inputs.push_back(Bytes(100000, 0x00));
  inputs.push_back(Bytes(100000, 0xFF));
  std::mt19937 rng(7);
  Bytes random(100000);
  for (auto& b : random) b = static_cast<uint8_t>(rng());
  inputs.push_back(random);
  Bytes skewed(100000);  // long runs broken by rare outliers
  for (auto& b : skewed) b = rng() % 64 == 0 ? static_cast<uint8_t>(rng()) : 'x';
  inputs.push_back(skewed);
  return inputs;
}

TEST(RangeCoder, RoundTripsLongInputsAndMatchesTheDefinition) {
  for (const Bytes& input : LongInputs()) {
    const Bytes coded = Encode(input);
    EXPECT_EQ(coded, ReferenceEncode(input));
    Bytes decoded(input.size());
    EXPECT_EQ(RCDV_DecodeSafe(coded.data(), decoded.data(), decoded.size(), coded.size()),
              static_cast<int64_t>(coded.size()));
    EXPECT_EQ(decoded, input);
  }
}

TEST(RangeCoder, RescaleComesOnlyAfterTheTotalPassesTheLimit) {
  // The total reaches exactly 65536 after 1020 symbols (256 + 1020 * 64): the 1021st symbol must be
  // coded against the unscaled counts, and only its update rescales.
  Bytes input(1020, 'q');
  input.push_back('r');
  input.push_back('r');
  EXPECT_EQ(Encode(input), ReferenceEncode(input));
}

TEST(RangeCoder, EncodeFailsWithoutWritingPastTheCapacity) {
  const Bytes input = FromText("a protocol body with some repeated text, text, text");
  const Bytes coded = Encode(input);
  for (size_t capacity = 0; capacity < coded.size(); ++capacity) {
    Bytes out(capacity);  // exactly sized: a write past it is caught by the sanitizer
    EXPECT_EQ(RCDV_Encode(input.data(), input.size(), out.data(), capacity), -1) << capacity;
  }
  Bytes exact(coded.size());
  EXPECT_EQ(RCDV_Encode(input.data(), input.size(), exact.data(), exact.size()),
            static_cast<int64_t>(coded.size()));
  EXPECT_EQ(exact, coded);
}

TEST(RangeCoder, SafeDecodeBoundsTheInput) {
  const Bytes input = FromText("abcabcabcabc and more");
  const Bytes coded = Encode(input);
  Bytes out(input.size());

  EXPECT_EQ(RCDV_DecodeSafe(coded.data(), out.data(), out.size(), 3), -1);
  for (size_t cut = 4; cut < coded.size(); ++cut)
    EXPECT_EQ(RCDV_DecodeSafe(coded.data(), out.data(), out.size(), cut), -1) << cut;

  Bytes padded = coded;
  padded.insert(padded.end(), {0x12, 0x34, 0x56});
  EXPECT_EQ(RCDV_DecodeSafe(padded.data(), out.data(), out.size(), padded.size()),
            static_cast<int64_t>(coded.size()));
  EXPECT_EQ(out, input);

  EXPECT_EQ(RCDV_DecodeSafe(coded.data(), out.data(), 0, coded.size()), 4);
}

// Damaged, cut and random coded bytes decode exactly as the definition says: the same result, and
// before a failure the same bytes up to the failing one (the decoder's search, shifts and input
// bounds are all speed devices that must not change what comes out).
TEST(RangeCoder, SafeDecodeMatchesTheDefinitionOnDamagedInput) {
  std::mt19937 rng(7);
  for (int round = 0; round < 300; ++round) {
    const size_t size = 1 + rng() % 3000;
    Bytes input(size);
    const unsigned spread = 1 + rng() % 256;
    for (auto& b : input) b = static_cast<uint8_t>(rng() % spread * (256 / spread));
    Bytes coded = Encode(input);
    switch (round % 4) {
      case 0:  // intact, with trailing bytes
        coded.insert(coded.end(), {0xA5, 0x5A, 0xFF});
        break;
      case 1:  // cut anywhere, including inside the last four bytes
        coded.resize(4 + rng() % (coded.size() - 3));
        break;
      case 2:  // a few damaged bytes
        for (int k = 0; k < 3; ++k) coded[rng() % coded.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
        break;
      default:  // random bytes
        for (auto& b : coded) b = static_cast<uint8_t>(rng());
        break;
    }
    const size_t length = round % 8 == 7 ? size + rng() % 64 : size;  // sometimes asks for more
    const ReferenceDecoded expected = ReferenceDecode(coded, length);
    Bytes out(length);
    const int64_t result = RCDV_DecodeSafe(coded.data(), out.data(), length, coded.size());
    ASSERT_EQ(result, expected.result) << round;
    out.resize(expected.output.size());
    ASSERT_EQ(out, expected.output) << round;
  }
}

TEST(RangeCoder, RefusesAScaledValueOutsideTheTotal) {
  // The code FFFFFFFF scales to 256 against the initial total of 256.
  const Bytes coded = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  uint8_t out[1];
  EXPECT_EQ(RCDV_DecodeSafe(coded.data(), out, 1, coded.size()), -1);
}

}  // namespace
