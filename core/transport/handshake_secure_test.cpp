#include "core/transport/handshake_secure.h"

#include <gtest/gtest.h>

#include "core/security/certificate.h"
#include "core/transport/transport_test_pki.h"

namespace {

using hx::testing::TestCert;

HX_Certificate Load(const TestCert& cert) {
  HX_Certificate certificate;
  EXPECT_TRUE(certificate.SetCert(cert.cert_pem.c_str(), static_cast<uint32_t>(cert.cert_pem.size()),
                                  HX_STORAGE_MEMORY));
  return certificate;
}

TEST(HandshakeSecure, ServerCertificateChecks) {
  HX_REQUIRE_TRANSPORT_PKI(pki);
  const std::string sid = hx::testing::kTestServerId;
  struct Case {
    const char* what;
    const TestCert* cert;
    std::string server_id;
    int32_t result;
  } cases[] = {
      {"valid", &pki->server, sid, 0},
      {"other common name", &pki->other_name, sid, 12},
      {"other common name, no server id to compare", &pki->other_name, "", 0},
      {"server id differs in length only", &pki->server, sid + "x", 12},
      {"no extension", &pki->no_extension, sid, 13},
      {"extension of 360", &pki->low_extension, sid, 13},
      {"expired", &pki->expired, sid, 9},
      {"not yet valid", &pki->not_yet_valid, sid, 10},
  };
  for (const Case& c : cases) {
    const HX_Certificate certificate = Load(*c.cert);
    EXPECT_EQ(HXHelperHandshakeSecure::CheckServerCertificate(&certificate, c.server_id), c.result) << c.what;
  }
  EXPECT_EQ(HXHelperHandshakeSecure::CheckServerCertificate(nullptr, sid), 11);
  const HX_Certificate empty;
  EXPECT_EQ(HXHelperHandshakeSecure::CheckServerCertificate(&empty, sid), 11);
}

// Before the handshake produced ciphers the shield refuses to work rather than pass bytes.
TEST(HandshakeSecure, ShieldWithoutCiphersFails) {
  HXHelperHandshakeSecure handshake;
  handshake.InitHandshake(std::make_shared<HX_TransportConnectionParam>());
  const uint8_t data[4] = {1, 2, 3, 4};
  uint8_t out[32];
  uint32_t size = sizeof out;
  EXPECT_EQ(handshake.Encrypt(data, sizeof data, out, size), nullptr);
  size = sizeof out;
  EXPECT_EQ(handshake.Decrypt(data, sizeof data, out, size, true), nullptr);
  EXPECT_EQ(handshake.GetSymCryptBlockSize(), 0u);
  EXPECT_EQ(handshake.GetSecureState(), HX_SH_RECEIVE);
}

}  // namespace
