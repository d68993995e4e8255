#include "core/security/stream_crypter.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "testing/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Packet(size_t length) {
  Bytes out(length);
  for (size_t i = 0; i < length; ++i) out[i] = static_cast<uint8_t>(i * 13 + 1);
  return out;
}

Bytes Encrypt(HX_StreamCrypter& crypter, const Bytes& plain) {
  Bytes out(plain.size() + 16);
  uint32_t size = static_cast<uint32_t>(out.size());
  EXPECT_TRUE(crypter.Encrypt(plain.data(), static_cast<uint32_t>(plain.size()), out.data(), size));
  out.resize(size);
  return out;
}

const char kKeyText[] = "00112233445566778899AaBbCcDdEeFf";

TEST(StreamCrypter, PacketsRoundTripWithOneBlockOfPadding) {
  HX_StreamCrypter crypter;
  ASSERT_TRUE(crypter.Init(kKeyText));
  EXPECT_EQ(crypter.GetBlockSize(), 16u);
  for (size_t length : {0, 1, 15, 16, 17, 1400}) {
    SCOPED_TRACE(length);
    const Bytes cipher = Encrypt(crypter, Packet(length));
    EXPECT_EQ(cipher.size(), 16 * (length / 16 + 1));
    Bytes back(cipher.size());
    uint32_t size = static_cast<uint32_t>(back.size());
    ASSERT_TRUE(crypter.Decrypt(cipher.data(), static_cast<uint32_t>(cipher.size()), back.data(), size));
    back.resize(size);
    EXPECT_EQ(back, Packet(length));
  }
}

TEST(StreamCrypter, MatchesTheOpensslToolsAes128Ecb) {
  HX_REQUIRE_TOOL("openssl", openssl);
  hx::testing::TempDir dir;
  const Bytes plain = Packet(37);
  {
    std::ofstream out(dir.File("plain"), std::ios::binary);
    out.write(reinterpret_cast<const char*>(plain.data()), static_cast<std::streamsize>(plain.size()));
  }
  hx::testing::ChildProcess tool({openssl, "enc", "-aes-128-ecb", "-K", kKeyText, "-in", dir.File("plain"),
                                  "-out", dir.File("cipher")});
  ASSERT_TRUE(hx::testing::WaitFor([&] { return !tool.Running(); }, 20000));
  std::ifstream in(dir.File("cipher"), std::ios::binary);
  const Bytes expected((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_EQ(expected.size(), 48u);

  HX_StreamCrypter crypter;
  ASSERT_TRUE(crypter.Init(kKeyText));
  EXPECT_EQ(Encrypt(crypter, plain), expected);
}

TEST(StreamCrypter, KeyTextRules) {
  const Bytes packet = Packet(20);
  HX_StreamCrypter reference;
  ASSERT_TRUE(reference.Init(kKeyText));
  const Bytes expected = Encrypt(reference, packet);

  HX_StreamCrypter crypter;
  EXPECT_FALSE(crypter.Init(static_cast<const char*>(nullptr)));
  EXPECT_FALSE(crypter.Init(std::string(kKeyText, 31).c_str()));
  ASSERT_TRUE(crypter.Init((std::string(kKeyText) + "deadbeef").c_str()));  // only 32 are read
  EXPECT_EQ(Encrypt(crypter, packet), expected);
  ASSERT_TRUE(crypter.Init("00112233445566778899aabbccddeeff"));  // case does not matter
  EXPECT_EQ(Encrypt(crypter, packet), expected);

  // A pair that is not two hexadecimal digits reads as 0.
  HX_StreamCrypter zeroed, garbled;
  ASSERT_TRUE(zeroed.Init("00112233445566778899aabbccdd00ff"));
  ASSERT_TRUE(garbled.Init("00112233445566778899aabbccddzzff"));
  EXPECT_EQ(Encrypt(garbled, packet), Encrypt(zeroed, packet));
  ASSERT_TRUE(garbled.Init("00112233445566778899aabbccdd0gff"));
  EXPECT_EQ(Encrypt(garbled, packet), Encrypt(zeroed, packet));
}

TEST(StreamCrypter, KeyBytesChooseTheCipher) {
  HX_StreamCrypter crypter;
  EXPECT_FALSE(crypter.Init(Packet(16).data(), 0));
  EXPECT_FALSE(crypter.Init(nullptr, 16));
  EXPECT_FALSE(crypter.Init(Packet(24).data(), 24));  // AES-256 refuses a 24-byte key
  EXPECT_EQ(crypter.GetBlockSize(), 0u);
  ASSERT_TRUE(crypter.Init(Packet(32).data(), 32));
  EXPECT_EQ(Encrypt(crypter, Packet(3)).size(), 16u);
}

TEST(StreamCrypter, UninitialisedAndMovedFromCrypterRefuse) {
  HX_StreamCrypter crypter;
  Bytes out(32);
  uint32_t size = 7;
  EXPECT_FALSE(crypter.Encrypt(Packet(4).data(), 4, out.data(), size));
  EXPECT_EQ(size, 7u);
  EXPECT_FALSE(crypter.Decrypt(out.data(), 16, out.data(), size));

  ASSERT_TRUE(crypter.Init(kKeyText));
  const Bytes cipher = Encrypt(crypter, Packet(9));
  HX_StreamCrypter moved(std::move(crypter));
  EXPECT_EQ(crypter.GetBlockSize(), 0u);
  EXPECT_EQ(Encrypt(moved, Packet(9)), cipher);
  HX_StreamCrypter assigned;
  assigned = std::move(moved);
  EXPECT_EQ(moved.GetBlockSize(), 0u);
  EXPECT_EQ(Encrypt(assigned, Packet(9)), cipher);
  assigned.Free();
  EXPECT_EQ(assigned.GetBlockSize(), 0u);
}

TEST(StreamCrypter, DamagedPacketFailsAndNextPacketStillDecrypts) {
  HX_StreamCrypter crypter;
  ASSERT_TRUE(crypter.Init(kKeyText));
  Bytes damaged = Encrypt(crypter, Packet(30));
  damaged[31] ^= 0x01;
  Bytes out(64);
  uint32_t size = 64;
  EXPECT_FALSE(crypter.Decrypt(damaged.data(), 32, out.data(), size));
  const Bytes good = Encrypt(crypter, Packet(30));
  size = 64;
  ASSERT_TRUE(crypter.Decrypt(good.data(), 32, out.data(), size));
  EXPECT_EQ(Bytes(out.begin(), out.begin() + size), Packet(30));
}

}  // namespace
