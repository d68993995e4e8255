#include "core/security/sign.h"

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

const HX_SignArg kRsaSha1{HX_SignArg::kRsa, HX_SignArg::kSha1};

class SignTest : public ::testing::Test {
 protected:
  void SetUp() override {
    openssl_ = hx::testing::FindTool("openssl");
    if (openssl_.empty()) {
      if (hx::testing::RunningUnderCi()) FAIL() << "required tool missing: openssl";
      GTEST_SKIP() << "tool not installed: openssl";
    }
    ASSERT_TRUE(RunTool({openssl_, "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out",
                         dir_.File("private.pem")}));
    ASSERT_TRUE(RunTool({openssl_, "pkey", "-in", dir_.File("private.pem"), "-pubout", "-out", dir_.File("public.pem")}));
    public_pem_ = Read(dir_.File("public.pem"));
    WriteFile(dir_.File("data"), data_);
  }

  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  static void WriteFile(const std::string& path, const std::string& contents) {
    std::ofstream(path, std::ios::binary) << contents;
  }

  HX_Sign Signer() {
    HX_Sign signer;
    EXPECT_TRUE(signer.Init(kRsaSha1));
    EXPECT_TRUE(signer.SetPrivateKey(dir_.File("private.pem").c_str(), HX_STORAGE_FILE, nullptr));
    return signer;
  }
  HX_Sign Verifier() {
    HX_Sign verifier;
    EXPECT_TRUE(verifier.Init(kRsaSha1));
    EXPECT_TRUE(verifier.SetPublicKey(public_pem_.c_str(), static_cast<uint32_t>(public_pem_.size()), HX_STORAGE_MEMORY));
    return verifier;
  }
  Bytes Sign(HX_Sign& signer, const std::string& data) {
    Bytes signature(512);
    uint32_t size = 512;
    EXPECT_TRUE(signer.SignData(reinterpret_cast<const uint8_t*>(data.data()), static_cast<uint32_t>(data.size()),
                                signature.data(), size));
    signature.resize(size);
    return signature;
  }
  static int Verify(HX_Sign& verifier, const std::string& data, const Bytes& signature) {
    return verifier.VerifySign(reinterpret_cast<const uint8_t*>(data.data()), static_cast<uint32_t>(data.size()),
                               signature.data(), static_cast<uint32_t>(signature.size()));
  }

  std::string openssl_;
  hx::testing::TempDir dir_;
  std::string public_pem_;
  const std::string data_ = "key message bytes followed by the random text";
};

TEST_F(SignTest, OnlyRsaWithSha1IsAccepted) {
  HX_Sign sign;
  EXPECT_FALSE(sign.IsInitSignArg());
  EXPECT_FALSE(sign.Init({HX_SignArg::kRsa, HX_SignArg::kSha256}));
  EXPECT_FALSE(sign.Init({2, HX_SignArg::kSha1}));
  EXPECT_FALSE(sign.IsInitSignArg());
  EXPECT_FALSE(HX_Sign::VerifySignArg({HX_SignArg::kRsa, HX_SignArg::kSha256}));
  EXPECT_TRUE(sign.Init(kRsaSha1));
  EXPECT_TRUE(sign.IsInitSignArg());
}

TEST_F(SignTest, SignatureVerifiesAndDetectsChanges) {
  HX_Sign signer = Signer();
  HX_Sign verifier = Verifier();
  EXPECT_TRUE(signer.IsSpecifiedPrivateKey());
  EXPECT_TRUE(verifier.IsSpecifiedPublicKey());
  EXPECT_EQ(signer.GetSignSize(), 256u);
  const Bytes signature = Sign(signer, data_);
  ASSERT_EQ(signature.size(), 256u);
  EXPECT_EQ(Verify(verifier, data_, signature), 1);
  EXPECT_EQ(Verify(verifier, data_ + "x", signature), 0);
  Bytes damaged = signature;
  damaged[10] ^= 0x01;
  EXPECT_EQ(Verify(verifier, data_, damaged), 0);
  // Each key role is needed for its operation.
  EXPECT_EQ(Verify(signer, data_, signature), 0);
  Bytes out(512);
  uint32_t size = 512;
  EXPECT_FALSE(verifier.SignData(reinterpret_cast<const uint8_t*>(data_.data()), 4, out.data(), size));
}

TEST_F(SignTest, InteroperatesWithTheOpensslTool) {
  HX_Sign signer = Signer();
  WriteFile(dir_.File("ours.sig"), std::string(reinterpret_cast<const char*>(Sign(signer, data_).data()), 256));
  std::string output;
  EXPECT_TRUE(RunTool({openssl_, "dgst", "-sha1", "-verify", dir_.File("public.pem"), "-signature",
                       dir_.File("ours.sig"), dir_.File("data")}, &output)) << output;

  ASSERT_TRUE(RunTool({openssl_, "dgst", "-sha1", "-sign", dir_.File("private.pem"), "-out", dir_.File("tool.sig"),
                       dir_.File("data")}, &output)) << output;
  const std::string tool_signature = Read(dir_.File("tool.sig"));
  HX_Sign verifier = Verifier();
  EXPECT_EQ(Verify(verifier, data_, Bytes(tool_signature.begin(), tool_signature.end())), 1);
}

TEST_F(SignTest, KeyIsSetOnceAndPreconditionsHold) {
  HX_Sign verifier = Verifier();
  HX_Sign other;
  ASSERT_TRUE(other.Init(kRsaSha1));
  HX_PKey other_key;
  ASSERT_TRUE(other_key.GenerateKeys(1024, HX_PUBLIC_KEY_ALG_RSA));
  uint32_t size = 0;
  other_key.GetPublicKey(HX_STORAGE_MEMORY, nullptr, size);
  std::vector<char> other_pem(size);
  ASSERT_TRUE(other_key.GetPublicKey(HX_STORAGE_MEMORY, other_pem.data(), size));
  EXPECT_FALSE(verifier.SetPublicKey(other_pem.data(), size, HX_STORAGE_MEMORY));
  EXPECT_FALSE(verifier.SetPrivateKey(dir_.File("private.pem").c_str(), HX_STORAGE_FILE, nullptr));
  HX_Sign signer = Signer();
  EXPECT_EQ(Verify(verifier, data_, Sign(signer, data_)), 1) << "the first key stays";

  // Signing needs the parameters and a large enough buffer.
  HX_Sign uninitialised;
  ASSERT_TRUE(uninitialised.SetPrivateKey(dir_.File("private.pem").c_str(), HX_STORAGE_FILE, ""));
  Bytes out(512);
  size = 512;
  EXPECT_FALSE(uninitialised.SignData(out.data(), 4, out.data(), size));
  EXPECT_EQ(uninitialised.VerifySign(out.data(), 4, out.data(), 256), 0);
  size = 255;
  EXPECT_FALSE(signer.SignData(out.data(), 4, out.data(), size));
  EXPECT_EQ(size, 256u);
  EXPECT_EQ(HX_Sign().GetSignSize(), 0u);
  EXPECT_FALSE(HX_Sign().SetPublicKey("garbage", 7, HX_STORAGE_MEMORY));
}

}  // namespace
