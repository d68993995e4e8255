#include "core/security/certificate.h"
#include "core/security/certificate_check.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "core/security/shared_test_pki.h"
#include "testing/test_pki.h"
#include "testing/test_support.h"

namespace {

using hx::testing::TestCert;
using hx::testing::TestCertOptions;
using std::chrono::hours;

struct Pki : hx::security_testing::TestPkiBase {
  TestCert leaf, expired, not_yet_valid, future_and_expired, foreign_root, foreign_leaf;
};

// Made on first use, shared by every test of the process (removed at exit).
Pki* SharedPki() {
  return hx::security_testing::SharedTestPki<Pki>([](Pki& made) {
    auto& pki = *made.pki;
    TestCertOptions leaf;
    leaf.subject_extra = "/C=DE/O=Example Org/SN=Smith/emailAddress=ops@example.org";
    leaf.extensions = {"1.2 = ASN1:UTF8String:361",
                       "subjectAltName = IP:2001:db8::1, DNS:server.example.org, email:ops@example.org, IP:192.0.2.7"};
    made.leaf = pki.MakeLeaf(made.intermediate, "server#as", leaf);
    made.expired =
        pki.MakeLeaf(made.intermediate, "expired#as", hx::security_testing::ExpiredValidity());
    TestCertOptions future = hx::security_testing::NotYetValidValidity();
    made.not_yet_valid = pki.MakeLeaf(made.intermediate, "future#as", future);
    future.not_after = hours(-24);
    made.future_and_expired = pki.MakeLeaf(made.intermediate, "odd#as", future);
    made.foreign_root = pki.MakeRoot("Test Root");  // same name, other key
    made.foreign_leaf = pki.MakeLeaf(made.foreign_root, "server#as");
  });
}

class CertificateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pki_ = SharedPki();
    if (pki_ == nullptr) {
      if (hx::testing::RunningUnderCi()) FAIL() << "required tool missing: openssl";
      GTEST_SKIP() << "tool not installed: openssl";
    }
  }

  static HX_Certificate Load(const TestCert& cert) {
    HX_Certificate out;
    EXPECT_TRUE(out.SetCert(cert.cert_pem.c_str(), static_cast<uint32_t>(cert.cert_pem.size()), HX_STORAGE_MEMORY));
    return out;
  }

  Pki* pki_ = nullptr;
};

TEST_F(CertificateTest, ReadsSubjectAndIssuerFields) {
  const HX_Certificate leaf = Load(pki_->leaf);
  std::string text;
  for (const char* name : {"commonName", "CN", "2.5.4.3"}) {
    ASSERT_TRUE(leaf.GetSubjectEntry(name, text)) << name;
    EXPECT_EQ(text, "server#as");
  }
  EXPECT_FALSE(leaf.GetSubjectEntry("localityName", text));
  EXPECT_FALSE(leaf.GetSubjectEntry("noSuchField", text));
  ASSERT_TRUE(leaf.GetIssuerEntry("commonName", text));
  EXPECT_EQ(text, "Test Intermediate");

  std::string cn, country, organisation, surname, email;
  ASSERT_TRUE(leaf.GetCertificateData(cn, country, organisation, surname, email));
  EXPECT_EQ(cn, "server#as");
  EXPECT_EQ(country, "DE");
  EXPECT_EQ(organisation, "Example Org");
  EXPECT_EQ(surname, "Smith");
  EXPECT_EQ(email, "ops@example.org");
  ASSERT_TRUE(Load(pki_->root).GetCertificateData(cn, country, organisation, surname, email));
  EXPECT_EQ(cn, "Test Root");
  EXPECT_EQ(country + organisation + surname + email, "");
}

TEST_F(CertificateTest, ExtensionContentWithoutTagAndLength) {
  const HX_Certificate leaf = Load(pki_->leaf);
  std::string text;
  ASSERT_TRUE(leaf.GetExtension("1.2", text));
  EXPECT_EQ(text, "361");
  EXPECT_FALSE(Load(pki_->root).GetExtension("1.2", text));
  EXPECT_FALSE(leaf.GetExtension("noSuchExtension", text));
  ASSERT_TRUE(leaf.GetExtension("basicConstraints", text));  // an empty SEQUENCE: 30 00
  EXPECT_EQ(text, "");
}

TEST_F(CertificateTest, SubjectAltNamesInKindOrder) {
  HX_SubjectAltNames names;
  Load(pki_->leaf).GetSubjectAltNames(names);
  const HX_SubjectAltNames expected = {{HX_SAN_DNS, "server.example.org"},
                                       {HX_SAN_EMAIL, "ops@example.org"},
                                       {HX_SAN_IP, "2001:db8::1"},
                                       {HX_SAN_IP, "192.0.2.7"}};
  EXPECT_EQ(names, expected);

  X509_EXTENSION* made = HX_SubjectAltNameSetterMixin::MakeExtension(HX_SAN_IP, "10.1.2.3");
  ASSERT_NE(made, nullptr);
  STACK_OF(X509_EXTENSION)* list = sk_X509_EXTENSION_new_null();
  sk_X509_EXTENSION_push(list, made);
  sk_X509_EXTENSION_push(list, HX_SubjectAltNameSetterMixin::MakeExtension(HX_SAN_DNS, "a.example"));
  names.clear();
  HX_SubjectAltNameGetterMixin::FetchExtensions(list, names);
  sk_X509_EXTENSION_pop_free(list, X509_EXTENSION_free);
  EXPECT_EQ(names, (HX_SubjectAltNames{{HX_SAN_IP, "10.1.2.3"}, {HX_SAN_DNS, "a.example"}}));
  EXPECT_EQ(HX_SubjectAltNameSetterMixin::MakeExtension(static_cast<SubjectAltNameType>(3), "x"), nullptr);
  EXPECT_EQ(HX_SubjectAltNameSetterMixin::MakeExtension(HX_SAN_IP, "not an address"), nullptr);
}

TEST_F(CertificateTest, ValidityBoundsAndCheck) {
  struct Case { const TestCert* cert; int expected; };
  const Case kCases[] = {{&pki_->leaf, 0}, {&pki_->expired, 1}, {&pki_->not_yet_valid, -1},
                         {&pki_->future_and_expired, -1}};
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.cert->cert_path);
    EXPECT_EQ(Load(*c.cert).CheckExpirationTime(), c.expected);
  }
  EXPECT_EQ(HX_Certificate().CheckExpirationTime(), -2);

  std::string before, after;
  const HX_Certificate leaf = Load(pki_->leaf);
  ASSERT_TRUE(leaf.GetExpirationTime(before, after, false));
  EXPECT_EQ(before.size(), 12u);  // UTC time YYMMDDHHMMSS, the "Z" dropped
  EXPECT_EQ(after.size(), 12u);
  EXPECT_LT(before, after);
  ASSERT_TRUE(leaf.GetExpirationTime(before, after, true));
  EXPECT_NE(before.find(" GMT"), std::string::npos) << before;
  EXPECT_NE(after.find(" GMT"), std::string::npos) << after;
  EXPECT_FALSE(HX_Certificate().GetExpirationTime(before, after, false));
}

TEST_F(CertificateTest, PublicKeyCopiesAndSources) {
  HX_Certificate leaf;
  ASSERT_TRUE(leaf.SetCert(pki_->leaf.cert_path.c_str(), 0, HX_STORAGE_FILE));
  HX_PKey public_key, private_key;
  ASSERT_TRUE(leaf.GetCertPublicKey(&public_key));
  EXPECT_FALSE(leaf.GetCertPublicKey(nullptr));
  ASSERT_TRUE(private_key.SetPrivateKey(pki_->leaf.key_pem.c_str(), HX_STORAGE_MEMORY, nullptr));
  EXPECT_EQ(EVP_PKEY_eq(public_key.GetKeyContext(), private_key.GetKeyContext()), 1);

  HX_Certificate copy(leaf);
  HX_Certificate assigned;
  assigned = leaf;
  leaf.SetCert(X509_new());  // the copies stand alone
  std::string cn;
  ASSERT_TRUE(copy.GetSubjectEntry("CN", cn));
  EXPECT_EQ(cn, "server#as");
  ASSERT_TRUE(assigned.GetSubjectEntry("CN", cn));
  EXPECT_FALSE(leaf.GetSubjectEntry("CN", cn));

  EXPECT_FALSE(leaf.SetCert("not a certificate", 17, HX_STORAGE_MEMORY));
  EXPECT_FALSE(leaf.SetCert("/no/such/file", 0, HX_STORAGE_FILE));
  // Only the first `length` bytes count.
  EXPECT_FALSE(leaf.SetCert(pki_->leaf.cert_pem.c_str(), 100, HX_STORAGE_MEMORY));
}

class CertificateCheckTest : public CertificateTest {
 protected:
  static void Add(bool (HX_CertificateCheck::*add)(const char*, uint32_t, HX_StorageType),
                  HX_CertificateCheck& check, const TestCert& cert) {
    ASSERT_TRUE((check.*add)(cert.cert_pem.c_str(), static_cast<uint32_t>(cert.cert_pem.size()), HX_STORAGE_MEMORY));
  }
  // Verifies `leaf` with `trusted` in the store and `untrusted` as possible intermediates.
  static bool Verify(const TestCert& leaf, std::vector<const TestCert*> trusted,
                     std::vector<const TestCert*> untrusted, int* error = nullptr) {
    HX_CertificateCheck check;
    Add(&HX_CertificateCheck::SetCert, check, leaf);
    for (const TestCert* cert : trusted) Add(&HX_CertificateCheck::SetCertToChain, check, *cert);
    for (const TestCert* cert : untrusted) Add(&HX_CertificateCheck::SetUntrustedCert, check, *cert);
    return check.VerifyCert(error);
  }
};

TEST_F(CertificateCheckTest, ChainThroughIntermediateToTrustedRoot) {
  HX_CertificateCheck check;
  Add(&HX_CertificateCheck::SetCert, check, pki_->leaf);
  Add(&HX_CertificateCheck::SetCertToChain, check, pki_->root);
  Add(&HX_CertificateCheck::SetUntrustedCert, check, pki_->intermediate);
  int error = -1;
  std::string text;
  EXPECT_TRUE(check.VerifyCert(&error, &text));
  EXPECT_EQ(error, 0);
  EXPECT_EQ(text, "ok");
}

TEST_F(CertificateCheckTest, RefusedChains) {
  const TestCert& root = pki_->root;
  const TestCert& intermediate = pki_->intermediate;
  struct Case {
    const char* what;
    const TestCert* leaf;
    std::vector<const TestCert*> trusted, untrusted;
    int error;
  };
  const Case kCases[] = {
      {"intermediate missing", &pki_->leaf, {&root}, {}, X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY},
      {"foreign root trusted", &pki_->leaf, {&pki_->foreign_root}, {&intermediate}, X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY},
      {"leaf under a foreign root", &pki_->foreign_leaf, {&root}, {&intermediate}, X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY},
      {"own root sent along, untrusted", &pki_->foreign_leaf, {&root}, {&pki_->foreign_root},
       X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN},
      {"expired", &pki_->expired, {&root}, {&intermediate}, X509_V_ERR_CERT_HAS_EXPIRED},
      {"not yet valid", &pki_->not_yet_valid, {&root}, {&intermediate}, X509_V_ERR_CERT_NOT_YET_VALID},
  };
  for (const Case& c : kCases) {
    int error = 0;
    EXPECT_FALSE(Verify(*c.leaf, c.trusted, c.untrusted, &error)) << c.what;
    EXPECT_EQ(error, c.error) << c.what << ": " << X509_verify_cert_error_string(error);
  }
  // What the untrusted list guards against: the same root made trusted lets the foreign leaf pass.
  EXPECT_TRUE(Verify(pki_->foreign_leaf, {&root, &pki_->foreign_root}, {}));
}

TEST_F(CertificateCheckTest, LengthLimitsStoreDirectoryAndRevocationLists) {
  HX_CertificateCheck check;
  const std::string& pem = pki_->leaf.cert_pem;
  EXPECT_FALSE(check.SetCert(pem.c_str(), 0, HX_STORAGE_MEMORY));
  EXPECT_FALSE(check.SetCert(pem.c_str(), 1048577, HX_STORAGE_MEMORY));
  EXPECT_FALSE(check.SetCert(nullptr, 10, HX_STORAGE_MEMORY));
  EXPECT_FALSE(check.VerifyCert());  // nothing to verify
  EXPECT_FALSE(check.SetCertToChain(pem.c_str(), 0, HX_STORAGE_MEMORY));
  ASSERT_TRUE(check.SetCert(pki_->leaf.cert_path.c_str(), 1, HX_STORAGE_FILE));
  Add(&HX_CertificateCheck::SetUntrustedCert, check, pki_->intermediate);

  // The root from a hashed directory.
  hx::testing::TempDir store;
  std::string output;
  ASSERT_TRUE(hx::testing::RunTool({hx::testing::FindTool("openssl"), "x509", "-in", pki_->root.cert_path,
                                    "-out", store.File("root.pem")}, &output)) << output;
  ASSERT_TRUE(hx::testing::RunTool({hx::testing::FindTool("openssl"), "rehash", store.path()}, &output)) << output;
  ASSERT_TRUE(check.SetStoreDir(store.path().c_str()));

  // A revocation list is stored but not consulted: the revoked leaf still verifies.
  const std::string crl = pki_->pki->MakeCrl(pki_->intermediate, {pki_->leaf});
  ASSERT_FALSE(crl.empty());
  EXPECT_FALSE(check.SetCRL("garbage", HX_STORAGE_MEMORY));
  ASSERT_TRUE(check.SetCRL(crl.c_str(), HX_STORAGE_FILE));
  EXPECT_TRUE(check.VerifyCert());
}

}  // namespace
