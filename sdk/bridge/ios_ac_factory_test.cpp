// The SDK's audio codec factory: its tags and creators, G.711 sample-exact against the ITU-T
// G.711 reference conversions (written out here from the recommendation's reference code), a
// tone round trip through G.711 and G.722, and decoders that stay within their room when fed
// hostile payloads, up to a 65535-byte TCP audio payload into a 150000-byte buffer.
#include "sdk/bridge/ios_ac_factory.h"

#include <gtest/gtest.h>

#include <vector>

#include "testing/audio_signal.h"

namespace {

using namespace hx_audio_tags;

// ITU-T G.711 reference compression and expansion, one sample at a time.
uint8_t RefAlawCompress(int16_t x) {
  int ix = x < 0 ? (~x) >> 4 : x >> 4;
  if (ix > 15) {
    int iexp = 1;
    while (ix > 16 + 15) {
      ix >>= 1;
      ++iexp;
    }
    ix -= 16;
    ix += iexp << 4;
  }
  if (x >= 0) ix |= 0x80;
  return static_cast<uint8_t>(ix ^ 0x55);
}

int16_t RefAlawExpand(uint8_t a) {
  int ix = (a ^ 0x55) & 0x7F;
  const int iexp = ix >> 4;
  int mant = ix & 0x0F;
  if (iexp > 0) mant += 16;
  mant = (mant << 4) + 8;
  if (iexp > 1) mant <<= (iexp - 1);
  return static_cast<int16_t>(a > 127 ? mant : -mant);
}

uint8_t RefUlawCompress(int16_t x) {
  int absno = x < 0 ? ((~x) >> 2) + 33 : (x >> 2) + 33;
  if (absno > 0x1FFF) absno = 0x1FFF;
  int i = absno >> 6, segno = 1;
  while (i != 0) {
    ++segno;
    i >>= 1;
  }
  const int high = 8 - segno;
  const int low = 0x0F - ((absno >> segno) & 0x0F);
  int out = (high << 4) | low;
  if (x >= 0) out |= 0x80;
  return static_cast<uint8_t>(out);
}

int16_t RefUlawExpand(uint8_t u) {
  const int sign = u < 0x80 ? -1 : 1;
  int mantissa = ~u;
  const int exponent = (mantissa >> 4) & 0x07;
  const int segment = exponent + 1;
  mantissa &= 0x0F;
  const int step = 4 << segment;
  return static_cast<int16_t>(sign * ((0x80 << exponent) + step * mantissa + step / 2 - 4 * 33));
}

unsigned char* Bytes(std::vector<int16_t>& v) { return reinterpret_cast<unsigned char*>(v.data()); }

TEST(IOSACFactory, TagsAndCreators) {
  IOS_ACFactory factory;
  EXPECT_EQ(factory.GetFourcc(), (std::set<uint32_t>{6, 7, 101, 0x7003, 0x7004, 0x7ff0}));
  for (bool encoder : {true, false}) {
    auto make = [&](uint32_t tag) {
      return encoder ? factory.CreateEncoder(tag) : factory.CreateDecoder(tag);
    };
    EXPECT_NE(dynamic_cast<AudioCodecG711a*>(make(kG711a).get()), nullptr);
    EXPECT_NE(dynamic_cast<AudioCodecG711u*>(make(kG711mu).get()), nullptr);
    auto g722 = make(kG722);
    EXPECT_NE(dynamic_cast<AudioCodecG722*>(g722.get()), nullptr);
    EXPECT_EQ(g722->IsCoder(), encoder);
    EXPECT_EQ(g722->Init(16000), 0);
    // The others keep the base's behaviour.
    EXPECT_NE(dynamic_cast<AudioCodecStub*>(make(kPCM).get()), nullptr);
    EXPECT_EQ(make(kOpus)->Init(16000), 0);
  }
}

TEST(G711, EveryValueMatchesTheReference) {
  IOS_ACFactory factory;
  struct Law {
    uint32_t tag;
    uint8_t (*compress)(int16_t);
    int16_t (*expand)(uint8_t);
  };
  for (const Law law : {Law{kG711a, RefAlawCompress, RefAlawExpand},
                        Law{kG711mu, RefUlawCompress, RefUlawExpand}}) {
    auto enc = factory.CreateEncoder(law.tag);
    auto dec = factory.CreateDecoder(law.tag);
    ASSERT_EQ(enc->Init(8000), 0);
    ASSERT_EQ(dec->Init(8000), 0);
    std::vector<int16_t> all(65536);
    for (int i = 0; i < 65536; ++i) all[i] = static_cast<int16_t>(i - 32768);
    std::vector<uint8_t> coded(65536);
    ASSERT_EQ(enc->Convert(Bytes(all), 131072, coded.data(), coded.size()), 65536);
    int wrong = 0;
    for (int i = 0; i < 65536; ++i) wrong += coded[i] != law.compress(all[i]);
    EXPECT_EQ(wrong, 0) << "tag " << law.tag;
    std::vector<uint8_t> bytes(256);
    for (int i = 0; i < 256; ++i) bytes[i] = static_cast<uint8_t>(i);
    std::vector<int16_t> expanded(256);
    ASSERT_EQ(dec->Convert(bytes.data(), 256, Bytes(expanded), 512), 512);
    for (int i = 0; i < 256; ++i)
      EXPECT_EQ(expanded[i], law.expand(i)) << "tag " << law.tag << " byte " << i;
  }
}

TEST(G711, LengthsAndRoom) {
  IOS_ACFactory factory;
  for (uint32_t tag : {kG711a, kG711mu}) {
    auto enc = factory.CreateEncoder(tag);
    auto dec = factory.CreateDecoder(tag);
    std::vector<int16_t> pcm(160, 1000);
    std::vector<uint8_t> out(400, 0);
    EXPECT_EQ(enc->Convert(Bytes(pcm), 320, out.data(), 400), 160);
    EXPECT_EQ(enc->Convert(Bytes(pcm), 1, out.data(), 400), 0);
    EXPECT_EQ(enc->Convert(Bytes(pcm), 320, out.data(), 100), 100);  // only what fits
    std::vector<int16_t> back(200);
    EXPECT_EQ(dec->Convert(out.data(), 160, Bytes(back), 400), 320);
    EXPECT_EQ(dec->Convert(out.data(), 0, Bytes(back), 400), 0);
    EXPECT_EQ(dec->Convert(out.data(), 160, Bytes(back), 101), 100);  // 50 whole samples fit
  }
}

TEST(G722, LengthsAndRoom) {
  IOS_ACFactory factory;
  auto enc = factory.CreateEncoder(kG722);
  auto dec = factory.CreateDecoder(kG722);
  ASSERT_EQ(enc->Init(16000), 0);
  ASSERT_EQ(dec->Init(16000), 0);
  auto pcm = hx_test::ToneAndNoise(16000, 1000, 8000, 300, 320);
  std::vector<uint8_t> out(400);
  EXPECT_EQ(enc->Convert(Bytes(pcm), 640, out.data(), 400), 160);
  EXPECT_EQ(enc->Convert(Bytes(pcm), 6, out.data(), 400), 1);  // three samples: one pair coded
  std::vector<int16_t> back(400);
  EXPECT_EQ(dec->Convert(out.data(), 160, Bytes(back), 800), 640);
  EXPECT_EQ(dec->Convert(out.data(), 160, Bytes(back), 403), 400);
  // Large inputs answer their full length, not a 16-bit one.
  std::vector<int16_t> big(80000, 0);
  std::vector<uint8_t> big_out(40000);
  EXPECT_EQ(enc->Convert(Bytes(big), 160000, big_out.data(), big_out.size()), 40000);
}

struct Case {
  uint32_t tag;
  int rate;
  const char* name;
};

class TelephonyRoundTrip : public ::testing::TestWithParam<Case> {};

TEST_P(TelephonyRoundTrip, ToneSurvives) {
  const auto& c = GetParam();
  IOS_ACFactory factory;
  auto enc = factory.CreateEncoder(c.tag);
  auto dec = factory.CreateDecoder(c.tag);
  ASSERT_EQ(enc->Init(c.rate), 0);
  ASSERT_EQ(dec->Init(c.rate), 0);
  const auto in = hx_test::ToneAndNoise(c.rate, 1000, 8000, 400, c.rate);
  std::vector<int16_t> out;
  std::vector<uint8_t> payload(2000);
  std::vector<int16_t> decoded(2000);
  for (size_t off = 0; off + 320 <= in.size(); off += 320) {
    auto chunk = std::vector<int16_t>(in.begin() + off, in.begin() + off + 320);
    const int n = enc->Convert(Bytes(chunk), 640, payload.data(), payload.size());
    ASSERT_GT(n, 0);
    const int m = dec->Convert(payload.data(), n, Bytes(decoded), decoded.size() * 2);
    ASSERT_EQ(m, 640);
    out.insert(out.end(), decoded.begin(), decoded.begin() + 320);
  }
  const size_t skip = c.rate / 10, n = out.size() - skip;
  EXPECT_NEAR(hx_test::DominantFrequency(out.data() + skip, n, c.rate, 50.0), 1000, 50) << c.name;
  const double a = hx_test::ToneAmplitude(in.data() + skip, n, c.rate, 1000);
  const double b = hx_test::ToneAmplitude(out.data() + skip, n, c.rate, 1000);
  EXPECT_NEAR(hx_test::Db(a, b), 0.0, 3.0) << c.name;
}

TEST_P(TelephonyRoundTrip, DecoderStaysInItsRoom) {
  const auto& c = GetParam();
  IOS_ACFactory factory;
  auto enc = factory.CreateEncoder(c.tag);
  ASSERT_EQ(enc->Init(c.rate), 0);
  auto pcm = hx_test::ToneAndNoise(c.rate, 700, 6000, 300, 320);
  std::vector<uint8_t> valid(400);
  valid.resize(enc->Convert(Bytes(pcm), 640, valid.data(), valid.size()));
  auto dec = factory.CreateDecoder(c.tag);
  ASSERT_EQ(dec->Init(c.rate), 0);
  hx_test::CheckDecoderStaysInRoom(
      [&](const std::vector<uint8_t>& p, uint8_t* out, int room) {
        std::vector<uint8_t> copy = p;
        return dec->Convert(copy.data(), static_cast<int>(copy.size()), out, room);
      },
      hx_test::HostilePayloads(valid, c.tag), {0, 1, 2, 3, 100, 640, 150000});
}

INSTANTIATE_TEST_SUITE_P(Codecs, TelephonyRoundTrip,
                         ::testing::Values(Case{kG711a, 16000, "alaw"},
                                           Case{kG711mu, 16000, "ulaw"},
                                           Case{kG722, 16000, "g722"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
