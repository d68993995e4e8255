// The UDP stream cipher: which keys give a cipher, and the receive side's fallback: a packet
// that does not decipher goes on as it arrived (for the NHP queue to judge), never half-deciphered.

#include "core/streams/udp_stream_helper.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace hx::testing {
namespace {

constexpr char kKey[] = "00112233445566778899aabbccddeeff";

TEST(UdpStreamHelper, KeysAndCipher) {
  struct Case {
    std::string key;
    bool ok;
    uint64_t block;
  };
  const Case cases[] = {
      {"", true, 0},
      {"0011223344", false, 0},  // fewer than 32 characters
      {kKey, true, 16},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    HX_MediaStreamUDPHelper helper;
    ASSERT_TRUE(helper.crypterInit(kKey));  // a cipher from before goes in every case
    EXPECT_EQ(helper.crypterInit(c.key), c.ok);
    EXPECT_EQ(helper.blockSize(), c.block);
    EXPECT_EQ(helper.crypter() != nullptr, c.block != 0);
  }
}

TEST(UdpStreamHelper, UndecipherablePacketGoesOnAsReceived) {
  HX_MediaStreamUDPHelper helper;
  ASSERT_TRUE(helper.crypterInit(kKey));
  const std::vector<uint8_t> plain = {0x20, 0, 5, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13};
  HX_StreamCrypter crypter;
  ASSERT_TRUE(crypter.Init(kKey));
  std::vector<uint8_t> cipher(64);
  uint32_t n = static_cast<uint32_t>(cipher.size());
  ASSERT_TRUE(crypter.Encrypt(plain.data(), static_cast<uint32_t>(plain.size()), cipher.data(), n));
  cipher.resize(n);

  HXNetMessage buffer(8);
  size_t length = 0;
  const uint8_t* out = helper.decryptPacket(cipher.data(), cipher.size(), buffer, length);
  EXPECT_EQ(std::vector<uint8_t>(out, out + length), plain);

  std::vector<uint8_t> spoiled = cipher;
  spoiled.back() ^= 0x55;  // breaks the padding
  const std::vector<std::vector<uint8_t>> undecipherable = {
      plain,                                                      // not a whole number of blocks
      spoiled,                                                    // bad padding
      std::vector<uint8_t>(cipher.begin(), cipher.begin() + 16),  // cut to one block
  };
  for (const auto& packet : undecipherable) {
    out = helper.decryptPacket(packet.data(), packet.size(), buffer, length);
    EXPECT_EQ(out, packet.data());
    EXPECT_EQ(length, packet.size());
  }

  HX_MediaStreamUDPHelper clear;
  out = clear.decryptPacket(cipher.data(), cipher.size(), buffer, length);
  EXPECT_EQ(out, cipher.data());
  EXPECT_EQ(length, cipher.size());
}

}  // namespace
}  // namespace hx::testing
