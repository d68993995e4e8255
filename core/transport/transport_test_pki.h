#pragma once
// The certificates of the transport tests, made once per test program with the openssl tool:
// a root the client trusts and server certificates that pass or fail each check of the secure
// handshake. Server ids are those the fake server's handshake reply gives by default.

#include <chrono>
#include <memory>
#include <string>

#include "testing/fake_server/secure_server_side.h"
#include "testing/test_pki.h"
#include "testing/test_support.h"

namespace hx::testing {

inline constexpr char kTestServerId[] = "127.0.0.1#vcs";

struct TransportTestPki {
  TempDir dir;
  std::unique_ptr<TestPki> pki;
  TestCert root;
  TestCert server;         // common name kTestServerId, extension "1.2" = 361
  TestCert other_name;     // common name "other#vcs"
  TestCert no_extension;   // without "1.2"
  TestCert low_extension;  // "1.2" = 360
  TestCert expired;
  TestCert not_yet_valid;

  SecureIdentity Identity(const TestCert& certificate) const {
    return {certificate.cert_pem, {}, certificate.key_pem};
  }
};

// Null when the openssl tool is missing.
inline TransportTestPki* SharedTransportPki() {
  static std::unique_ptr<TransportTestPki> shared = [] {
    const std::string openssl = FindTool("openssl");
    if (openssl.empty()) return std::unique_ptr<TransportTestPki>();
    auto made = std::make_unique<TransportTestPki>();
    made->pki = std::make_unique<TestPki>(openssl, made->dir.path());
    TestPki& pki = *made->pki;
    made->root = pki.MakeRoot("Transport Test Root");
    auto leaf = [&](const std::string& name, const char* extension, std::chrono::hours from,
                    std::chrono::hours to) {
      TestCertOptions options;
      if (extension != nullptr) options.extensions = {std::string("1.2 = ASN1:UTF8String:") + extension};
      options.not_before = from;
      options.not_after = to;
      return pki.MakeLeaf(made->root, name, options);
    };
    using std::chrono::hours;
    made->server = leaf(kTestServerId, "361", hours(-1), hours(24));
    made->other_name = leaf("other#vcs", "361", hours(-1), hours(24));
    made->no_extension = leaf(kTestServerId, nullptr, hours(-1), hours(24));
    made->low_extension = leaf(kTestServerId, "360", hours(-1), hours(24));
    made->expired = leaf(kTestServerId, "361", hours(-48), hours(-24));
    made->not_yet_valid = leaf(kTestServerId, "361", hours(24), hours(48));
    return made;
  }();
  return shared.get();
}

}  // namespace hx::testing

// Use at the top of a test body: `pki_var` points to the shared certificates; the test is
// skipped (failed under CI) without the openssl tool.
#define HX_REQUIRE_TRANSPORT_PKI(pki_var)                          \
  HX_REQUIRE_TOOL("openssl", openssl_path_for_##pki_var);          \
  ::hx::testing::TransportTestPki* pki_var = ::hx::testing::SharedTransportPki(); \
  ASSERT_NE(pki_var, nullptr)
