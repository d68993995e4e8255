#include "core/security/pkey.h"
#include "core/security/pkey_crypt.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "testing/test_pki.h"
#include "testing/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using hx::testing::RunTool;

Bytes Data(size_t length) {
  Bytes out(length);
  for (size_t i = 0; i < length; ++i) out[i] = static_cast<uint8_t>(i * 5 + 11);
  return out;
}

Bytes ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string Hex(const Bytes& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

struct Envelope {
  Bytes iv = Bytes(16);
  Bytes sealed_key;
  Bytes cipher;
};

bool Seal(HX_PKeyCrypt& crypt, const Bytes& data, Envelope* envelope) {
  envelope->sealed_key.assign(512, 0);
  envelope->cipher.assign(data.size() + 16, 0);
  uint32_t key_size = 512;
  uint32_t size = static_cast<uint32_t>(envelope->cipher.size());
  if (!crypt.Encrypt(data.data(), static_cast<uint32_t>(data.size()), HX_SYMMETRIC_ALG_AES256,
                     envelope->cipher.data(), size, envelope->iv.data(), envelope->sealed_key.data(), key_size))
    return false;
  envelope->sealed_key.resize(key_size);
  envelope->cipher.resize(size);
  return true;
}

bool Open(HX_PKeyCrypt& crypt, const Envelope& envelope, Bytes* data) {
  data->assign(envelope.cipher.size(), 0);
  uint32_t size = static_cast<uint32_t>(data->size());
  const bool ok = crypt.Decrypt(envelope.cipher.data(), static_cast<uint32_t>(envelope.cipher.size()),
                                HX_SYMMETRIC_ALG_AES256, envelope.iv.data(), envelope.sealed_key.data(),
                                static_cast<uint32_t>(envelope.sealed_key.size()), data->data(), size);
  data->resize(ok ? size : 0);
  return ok;
}

class PKeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    openssl_ = hx::testing::FindTool("openssl");
    if (openssl_.empty()) {
      if (hx::testing::RunningUnderCi()) FAIL() << "required tool missing: openssl";
      GTEST_SKIP() << "tool not installed: openssl";
    }
  }

  // An RSA key pair made by the openssl tool: private.pem and public.pem in the folder.
  void MakeToolKeyPair() {
    ASSERT_TRUE(RunTool({openssl_, "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out",
                         dir_.File("private.pem")}));
    ASSERT_TRUE(RunTool({openssl_, "pkey", "-in", dir_.File("private.pem"), "-pubout", "-out", dir_.File("public.pem")}));
  }

  std::string openssl_;
  hx::testing::TempDir dir_;
};

// Our seal, opened by the openssl tool (RSA PKCS #1 v1.5 for the session key, AES-256-CBC for the
// data), and by ourselves.
TEST_F(PKeyTest, SealWithToolKeyOpensWithToolAndWithUs) {
  MakeToolKeyPair();
  HX_PKeyCrypt sealer;
  ASSERT_TRUE(sealer.SetPublicKey(dir_.File("public.pem").c_str(), HX_STORAGE_FILE));
  const Bytes data = Data(76);
  Envelope envelope;
  ASSERT_TRUE(Seal(sealer, data, &envelope));
  EXPECT_EQ(envelope.sealed_key.size(), 256u);
  EXPECT_EQ(envelope.cipher.size(), 80u);

  WriteBytes(dir_.File("sealed_key"), envelope.sealed_key);
  WriteBytes(dir_.File("cipher"), envelope.cipher);
  std::string output;
  ASSERT_TRUE(RunTool({openssl_, "pkeyutl", "-decrypt", "-inkey", dir_.File("private.pem"), "-in",
                       dir_.File("sealed_key"), "-out", dir_.File("session_key")}, &output)) << output;
  const Bytes session_key = ReadBytes(dir_.File("session_key"));
  ASSERT_EQ(session_key.size(), 32u);
  ASSERT_TRUE(RunTool({openssl_, "enc", "-d", "-aes-256-cbc", "-K", Hex(session_key), "-iv", Hex(envelope.iv),
                       "-in", dir_.File("cipher"), "-out", dir_.File("opened")}, &output)) << output;
  EXPECT_EQ(ReadBytes(dir_.File("opened")), data);

  HX_PKeyCrypt opener;
  ASSERT_TRUE(opener.SetPrivateKey(dir_.File("private.pem").c_str(), HX_STORAGE_FILE));
  Bytes opened;
  ASSERT_TRUE(Open(opener, envelope, &opened));
  EXPECT_EQ(opened, data);
}

// A key pair of our own, written as PEM files: the tool seals with it and we open.
TEST_F(PKeyTest, ToolSealsWithOurKeyAndWeOpen) {
  HX_PKey key;
  ASSERT_TRUE(key.GenerateKeys(2048, HX_PUBLIC_KEY_ALG_RSA));
  EXPECT_EQ(key.GetPKeyAlg(), HX_PUBLIC_KEY_ALG_RSA);
  ASSERT_TRUE(key.WritePublicKey(dir_.File("public.pem").c_str(), HX_STORAGE_FILE));
  uint32_t unused = 0;
  ASSERT_TRUE(key.WritePrivateKey(const_cast<char*>(dir_.File("private.pem").c_str()), unused, HX_STORAGE_FILE,
                                  0, 0, nullptr, 0));
  std::string output;
  ASSERT_TRUE(RunTool({openssl_, "pkey", "-in", dir_.File("private.pem"), "-check", "-noout"}, &output)) << output;

  const Bytes session_key = Data(32);
  const Bytes iv(Data(16));
  const Bytes data = Data(44);
  WriteBytes(dir_.File("session_key"), session_key);
  WriteBytes(dir_.File("data"), data);
  ASSERT_TRUE(RunTool({openssl_, "pkeyutl", "-encrypt", "-pubin", "-inkey", dir_.File("public.pem"), "-in",
                       dir_.File("session_key"), "-out", dir_.File("sealed_key")}, &output)) << output;
  ASSERT_TRUE(RunTool({openssl_, "enc", "-aes-256-cbc", "-K", Hex(session_key), "-iv", Hex(iv), "-in",
                       dir_.File("data"), "-out", dir_.File("cipher")}, &output)) << output;
  Envelope envelope;
  envelope.iv = iv;
  envelope.sealed_key = ReadBytes(dir_.File("sealed_key"));
  envelope.cipher = ReadBytes(dir_.File("cipher"));

  HX_PKeyCrypt opener;
  ASSERT_TRUE(opener.SetPrivateKey(&key));
  Bytes opened;
  ASSERT_TRUE(Open(opener, envelope, &opened));
  EXPECT_EQ(opened, data);
}

TEST_F(PKeyTest, DamagedEnvelopeOrWrongKeyFailsToOpen) {
  HX_PKey key, other;
  ASSERT_TRUE(key.GenerateKeys(2048, HX_PUBLIC_KEY_ALG_RSA));
  ASSERT_TRUE(other.GenerateKeys(2048, HX_PUBLIC_KEY_ALG_RSA));
  HX_PKeyCrypt sealer, opener, stranger;
  ASSERT_TRUE(sealer.SetPublicKey(&key));
  ASSERT_TRUE(opener.SetPrivateKey(&key));
  ASSERT_TRUE(stranger.SetPrivateKey(&other));
  Envelope envelope;
  ASSERT_TRUE(Seal(sealer, Data(44), &envelope));
  Bytes opened;
  ASSERT_TRUE(Open(opener, envelope, &opened));
  EXPECT_EQ(opened, Data(44));

  EXPECT_FALSE(Open(stranger, envelope, &opened));
  Envelope damaged = envelope;
  // In the block before the last, so that the padding's last byte changes from 4 to 5: it no
  // longer checks, every time (a change in the last block itself garbles the whole block, whose
  // padding then still checks about once in 256).
  damaged.cipher[damaged.cipher.size() - 17] ^= 0x01;
  EXPECT_FALSE(Open(opener, damaged, &opened));
  damaged = envelope;
  damaged.sealed_key[100] ^= 0x01;
  EXPECT_FALSE(Open(opener, damaged, &opened));
  damaged = envelope;
  damaged.cipher.resize(40);  // not a whole number of blocks
  EXPECT_FALSE(Open(opener, damaged, &opened));
}

TEST_F(PKeyTest, EnvelopeSizeRules) {
  HX_PKey key;
  ASSERT_TRUE(key.GenerateKeys(1024, HX_PUBLIC_KEY_ALG_RSA));
  HX_PKeyCrypt crypt;
  ASSERT_TRUE(crypt.SetPublicKey(&key));
  ASSERT_TRUE(crypt.SetPrivateKey(&key));
  Envelope envelope;
  ASSERT_TRUE(Seal(crypt, Bytes(), &envelope));
  EXPECT_EQ(envelope.cipher.size(), 16u);
  EXPECT_EQ(envelope.sealed_key.size(), 128u);
  ASSERT_TRUE(Seal(crypt, Data(16), &envelope));
  EXPECT_EQ(envelope.cipher.size(), 32u);

  Bytes iv(16, 0xee), out(64), sealed(256);
  uint32_t size = 31, key_size = 256;
  EXPECT_FALSE(crypt.Encrypt(Data(16).data(), 16, HX_SYMMETRIC_ALG_AES256, out.data(), size, iv.data(),
                             sealed.data(), key_size));
  EXPECT_EQ(size, 32u);
  size = 64;
  key_size = 127;
  EXPECT_FALSE(crypt.Encrypt(Data(16).data(), 16, HX_SYMMETRIC_ALG_AES256, out.data(), size, iv.data(),
                             sealed.data(), key_size));
  EXPECT_EQ(key_size, 128u);

  // Algorithm 12, and a crypt without an RSA key, fail without touching the sizes; the IV is cleared.
  size = 64;
  key_size = 256;
  EXPECT_FALSE(crypt.Encrypt(Data(16).data(), 16, HX_SYMMETRIC_ALG_GOST, out.data(), size, iv.data(),
                             sealed.data(), key_size));
  EXPECT_EQ(size, 64u);
  EXPECT_EQ(key_size, 256u);
  EXPECT_EQ(iv, Bytes(16, 0));
  HX_PKeyCrypt empty;
  iv.assign(16, 0xee);
  EXPECT_FALSE(empty.Encrypt(Data(16).data(), 16, HX_SYMMETRIC_ALG_AES128, out.data(), size, iv.data(),
                             sealed.data(), key_size));
  EXPECT_EQ(size, 64u);
  EXPECT_EQ(iv, Bytes(16, 0));

  ASSERT_TRUE(Seal(crypt, Data(16), &envelope));
  size = 31;
  EXPECT_FALSE(crypt.Decrypt(envelope.cipher.data(), 32, HX_SYMMETRIC_ALG_AES256, envelope.iv.data(),
                             envelope.sealed_key.data(), 128, out.data(), size));
  EXPECT_EQ(size, 32u + 64u);
}

TEST_F(PKeyTest, PemTextSizeQueryAndReload) {
  HX_PKey key;
  ASSERT_TRUE(key.GenerateKeys(1024, HX_PUBLIC_KEY_ALG_RSA));
  uint32_t size = 0;
  EXPECT_FALSE(key.GetPublicKey(HX_STORAGE_MEMORY, nullptr, size));
  ASSERT_GT(size, 100u);
  std::vector<char> pem(size + 10, 'x');
  uint32_t exact = size;
  ASSERT_TRUE(key.GetPublicKey(HX_STORAGE_MEMORY, pem.data(), exact));
  EXPECT_EQ(exact, size);
  EXPECT_EQ(pem[size - 1], '\0');
  EXPECT_EQ(std::string(pem.data()).rfind("-----BEGIN PUBLIC KEY-----", 0), 0u);
  uint32_t larger = size + 10;
  ASSERT_TRUE(key.GetPublicKey(HX_STORAGE_MEMORY, pem.data(), larger));
  EXPECT_EQ(larger, size + 10) << "a large enough size is left as it was";
  EXPECT_FALSE(key.GetPublicKey(HX_STORAGE_FILE, pem.data(), larger));

  HX_PKey reloaded;
  ASSERT_TRUE(reloaded.SetPublicKey(pem.data(), HX_STORAGE_MEMORY));
  EXPECT_EQ(EVP_PKEY_eq(reloaded.GetKeyContext(), key.GetKeyContext()), 1);

  EXPECT_FALSE(reloaded.SetPublicKey(nullptr, HX_STORAGE_MEMORY));
  EXPECT_FALSE(reloaded.SetPublicKey(pem.data(), static_cast<HX_StorageType>(3)));
  EXPECT_FALSE(reloaded.SetPublicKey("-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n", HX_STORAGE_MEMORY));
  const std::string too_long = std::string(pem.data()) + std::string(65536, '\n');
  EXPECT_FALSE(reloaded.SetPublicKey(too_long.c_str(), HX_STORAGE_MEMORY));
  EXPECT_EQ(EVP_PKEY_eq(reloaded.GetKeyContext(), key.GetKeyContext()), 1) << "failures keep the key";
}

// Private keys written under each PEM cipher read back with the same password.
TEST_F(PKeyTest, PrivateKeyWrittenWithPasswordReadsBack) {
  HX_PKey key;
  ASSERT_TRUE(key.GenerateKeys(1024, HX_PUBLIC_KEY_ALG_RSA));
  struct Case { int algorithm, mode; bool accepted; bool encrypted; };
  const Case kCases[] = {{0, 0, true, false}, {11, 3, true, true}, {1, 3, true, true},
                         {11, 2, true, true}, {12, 3, false, false}, {11, 4, false, false}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(testing::Message() << c.algorithm << "/" << c.mode);
    uint32_t size = 0;
    EXPECT_FALSE(key.WritePrivateKey(nullptr, size, HX_STORAGE_MEMORY, c.algorithm, c.mode, "secret", 6));
    if (!c.accepted) {
      EXPECT_EQ(size, 0u);
      continue;
    }
    std::vector<char> pem(size);
    ASSERT_TRUE(key.WritePrivateKey(pem.data(), size, HX_STORAGE_MEMORY, c.algorithm, c.mode, "secret", 6));
    EXPECT_EQ(std::string(pem.data()).find("ENCRYPTED") != std::string::npos, c.encrypted);
    HX_PKey reloaded;
    if (c.encrypted) EXPECT_FALSE(reloaded.SetPrivateKey(pem.data(), HX_STORAGE_MEMORY, "wrong"));
    ASSERT_TRUE(reloaded.SetPrivateKey(pem.data(), HX_STORAGE_MEMORY, "secret"));
    EXPECT_EQ(EVP_PKEY_eq(reloaded.GetKeyContext(), key.GetKeyContext()), 1);
  }
}

TEST_F(PKeyTest, ReadsToolKeysAndRefusesNonRsaForEnvelopes) {
  std::string output;
  ASSERT_TRUE(RunTool({openssl_, "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:1024", "-aes-256-cbc",
                       "-pass", "pass:tool pass", "-out", dir_.File("locked.pem")}, &output)) << output;
  HX_PKey key;
  EXPECT_FALSE(key.SetPrivateKey(dir_.File("locked.pem").c_str(), HX_STORAGE_FILE, nullptr));
  ASSERT_TRUE(key.SetPrivateKey(dir_.File("locked.pem").c_str(), HX_STORAGE_FILE, "tool pass"));
  EXPECT_EQ(key.GetPKeyAlg(), HX_PUBLIC_KEY_ALG_RSA);

  ASSERT_TRUE(RunTool({openssl_, "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out",
                       dir_.File("ec.pem")}, &output)) << output;
  HX_PKey ec;
  ASSERT_TRUE(ec.SetPrivateKey(dir_.File("ec.pem").c_str(), HX_STORAGE_FILE, nullptr));
  EXPECT_EQ(ec.GetPKeyAlg(), HX_PUBLIC_KEY_ALG_NONE);
  EXPECT_FALSE(ec.GenerateKeys(1024, HX_PUBLIC_KEY_ALG_NONE));
  HX_PKeyCrypt crypt;
  EXPECT_FALSE(crypt.SetPrivateKey(dir_.File("ec.pem").c_str(), HX_STORAGE_FILE));
  EXPECT_FALSE(crypt.SetPublicKey(&ec));
  EXPECT_FALSE(crypt.SetPublicKey(static_cast<const HX_PKey*>(nullptr)));
}

}  // namespace
