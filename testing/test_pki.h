#pragma once
// A test certificate authority made with the openssl command line tool: roots, intermediates and
// leaves with a chosen common name, extra subject fields and extensions, and a validity period
// that may lie in the past or the future. Every file lives in a folder the test provides.

#include <chrono>
#include <string>
#include <vector>

namespace hx::testing {

// Runs a program to its end; true when it exits with 0. Its output (standard output and error)
// goes to `output` when one is given. A failing run is not reported by itself.
bool RunTool(const std::vector<std::string>& arguments, std::string* output = nullptr);

struct TestCertOptions {
  // More subject fields after the common name, as in "/C=DE/O=Example/emailAddress=a@b.c".
  std::string subject_extra;
  // More extension lines in OpenSSL's configuration syntax, as in "1.2 = ASN1:UTF8String:361"
  // or "subjectAltName = DNS:example.org, IP:192.0.2.1".
  std::vector<std::string> extensions;
  // The validity bounds relative to now; negative values lie in the past.
  std::chrono::seconds not_before = std::chrono::hours(-1);
  std::chrono::seconds not_after = std::chrono::hours(24 * 30);
  int key_bits = 2048;
};

// One certificate with its RSA key, as PEM files and as PEM text.
struct TestCert {
  std::string cert_path;
  std::string key_path;
  std::string cert_pem;
  std::string key_pem;

  bool ok() const { return !cert_pem.empty() && !key_pem.empty(); }
};

class TestPki {
 public:
  // `openssl` is the tool's path; `folder` an existing folder that outlives the certificates.
  TestPki(std::string openssl, std::string folder);

  // A self-signed certificate authority.
  TestCert MakeRoot(const std::string& common_name, const TestCertOptions& options = {});
  // A certificate authority issued by `issuer`.
  TestCert MakeIntermediate(const TestCert& issuer, const std::string& common_name,
                            const TestCertOptions& options = {});
  // An end-entity certificate (no certificate authority) issued by `issuer`.
  TestCert MakeLeaf(const TestCert& issuer, const std::string& common_name,
                    const TestCertOptions& options = {});
  // A PEM revocation list signed by `issuer` that revokes `revoked` (and every certificate
  // revoked earlier in this folder); its path, or "" after a reported failure.
  std::string MakeCrl(const TestCert& issuer, const std::vector<TestCert>& revoked);

 private:
  // Runs every step for one certificate; a failing step is reported as a test failure with the
  // tool's output, and the result is then empty.
  TestCert Make(const TestCert* issuer, const std::string& common_name,
                const TestCertOptions& options, bool authority);
  // RunTool, with a failure reported as a test failure.
  bool Run(const std::vector<std::string>& arguments);

  std::string openssl_;
  std::string folder_;
  std::string config_path_;
  int next_id_ = 0;
};

}  // namespace hx::testing
