#pragma once
// For the TLS tests: a test certificate authority with a server certificate, a second authority
// that the client does not trust, and an "openssl s_server" on loopback that speaks TLS 1.2 only
// and answers every line with the line reversed.

#include <cstdint>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "testing/test_pki.h"
#include "testing/test_support.h"

namespace hx::testing {

struct TlsTestPki {
  TempDir dir;
  std::unique_ptr<TestPki> pki;
  TestCert root;            // the client's trusted root
  TestCert server;          // issued by root
  TestCert foreign_server;  // issued by a root the client does not trust
};

// Made once per test program; null when the openssl tool is missing.
inline TlsTestPki* SharedTlsPki() {
  static std::unique_ptr<TlsTestPki> shared = [] {
    const std::string openssl = FindTool("openssl");
    if (openssl.empty()) return std::unique_ptr<TlsTestPki>();
    auto made = std::make_unique<TlsTestPki>();
    made->pki = std::make_unique<TestPki>(openssl, made->dir.path());
    made->root = made->pki->MakeRoot("Test Root");
    made->server = made->pki->MakeLeaf(made->root, "server#as");
    const TestCert foreign_root = made->pki->MakeRoot("Test Root");
    made->foreign_server = made->pki->MakeLeaf(foreign_root, "server#as");
    return made;
  }();
  return shared.get();
}

// "openssl s_server -tls1_2 -rev" on 127.0.0.1 with the given certificate.
class TlsReverseServer {
 public:
  explicit TlsReverseServer(const TestCert& cert)
      : m_port(FreeLoopbackPort(SOCK_STREAM)),
        m_process({FindTool("openssl"), "s_server", "-tls1_2", "-accept",
                   "127.0.0.1:" + std::to_string(m_port), "-cert", cert.cert_path, "-key",
                   cert.key_path, "-rev", "-quiet"}) {
    m_ready = m_process.started() && WaitForTcpListener(m_port, 10000);
  }

  bool ready() const { return m_ready; }
  uint16_t port() const { return m_port; }

 private:
  uint16_t m_port;
  ChildProcess m_process;
  bool m_ready = false;
};

}  // namespace hx::testing
