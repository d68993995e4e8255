#pragma once
// Verifies one certificate against a store of trusted certificates, revocation lists and a
// certificate directory, with intermediate certificates that are not trusted themselves.
// Revocation lists are stored but not consulted: no verification flag asks for them.

#include <cstdint>
#include <string>

#include "core/security/openssl_handles.h"
#include "core/security/pkey.h"

class HX_CertificateCheck {
 public:
  HX_CertificateCheck();
  ~HX_CertificateCheck();
  HX_CertificateCheck(const HX_CertificateCheck&) = delete;
  HX_CertificateCheck& operator=(const HX_CertificateCheck&) = delete;

  // The certificate to verify: PEM in the first `length` bytes of `source` (1 to 1,048,576) or
  // in the file at the path `source`.
  bool SetCert(const char* source, uint32_t length, HX_StorageType storage);
  // Adds one PEM certificate to the trusted store: chains must end at one of these.
  bool SetCertToChain(const char* source, uint32_t length, HX_StorageType storage);
  // Adds one PEM certificate that may link the certificate to a trusted one, without trusting it.
  bool SetUntrustedCert(const char* source, uint32_t length, HX_StorageType storage);
  // Adds one PEM revocation list (NUL-terminated text, or a file).
  bool SetCRL(const char* source, HX_StorageType storage);
  // Adds a hashed certificate directory to the trusted store.
  bool SetStoreDir(const char* directory);

  // Builds and checks the chain. Once verification ran, OpenSSL's error number (0 on success)
  // and its text are reported to whichever of the outputs are given.
  bool VerifyCert(int* error_number = nullptr, std::string* error_text = nullptr);

 private:
  hx::ssl::X509Ptr certificate_;
  hx::ssl::X509StorePtr store_;
  STACK_OF(X509)* untrusted_ = nullptr;
};
