#include "core/security/certificate_check.h"

#include <openssl/pem.h>

#include <cstring>

#include "core/security/pem_reader.h"

namespace {

constexpr uint32_t kMaxCertificateLength = 1048576;

hx::ssl::X509Ptr ReadCertificate(const char* source, uint32_t length, HX_StorageType storage) {
  if (length < 1 || length > kMaxCertificateLength) return nullptr;
  return hx::ssl::ReadPemCertificate(source, length, storage);
}

hx::ssl::X509CrlPtr ReadCrl(const char* source, HX_StorageType storage) {
  if (source == nullptr) return nullptr;
  return hx::ssl::ReadPem<hx::ssl::X509CrlPtr>(
      source, storage == HX_STORAGE_MEMORY ? std::strlen(source) : 0, storage, "r",
      [](BIO* bio) { return PEM_read_bio_X509_CRL(bio, nullptr, hx::ssl::PasswordCallback, nullptr); },
      [](FILE* file) { return PEM_read_X509_CRL(file, nullptr, hx::ssl::PasswordCallback, nullptr); });
}

}  // namespace

HX_CertificateCheck::HX_CertificateCheck() : store_(X509_STORE_new()), untrusted_(sk_X509_new_null()) {}

HX_CertificateCheck::~HX_CertificateCheck() { sk_X509_pop_free(untrusted_, X509_free); }

bool HX_CertificateCheck::SetCert(const char* source, uint32_t length, HX_StorageType storage) {
  hx::ssl::X509Ptr certificate = ReadCertificate(source, length, storage);
  if (!certificate) return false;
  certificate_ = std::move(certificate);
  return true;
}

bool HX_CertificateCheck::SetCertToChain(const char* source, uint32_t length,
                                         HX_StorageType storage) {
  hx::ssl::X509Ptr certificate = ReadCertificate(source, length, storage);
  // The store takes its own reference.
  return certificate && store_ && X509_STORE_add_cert(store_.get(), certificate.get()) == 1;
}

bool HX_CertificateCheck::SetUntrustedCert(const char* source, uint32_t length,
                                           HX_StorageType storage) {
  hx::ssl::X509Ptr certificate = ReadCertificate(source, length, storage);
  if (!certificate || untrusted_ == nullptr || sk_X509_push(untrusted_, certificate.get()) <= 0)
    return false;
  certificate.release();  // now owned by the stack
  return true;
}

bool HX_CertificateCheck::SetCRL(const char* source, HX_StorageType storage) {
  hx::ssl::X509CrlPtr crl = ReadCrl(source, storage);
  return crl && store_ && X509_STORE_add_crl(store_.get(), crl.get()) == 1;
}

bool HX_CertificateCheck::SetStoreDir(const char* directory) {
  return directory != nullptr && store_ && X509_STORE_load_path(store_.get(), directory) == 1;
}

bool HX_CertificateCheck::VerifyCert(int* error_number, std::string* error_text) {
  hx::ssl::X509StoreCtxPtr context(X509_STORE_CTX_new());
  if (!context || !store_ || !certificate_ ||
      X509_STORE_CTX_init(context.get(), store_.get(), certificate_.get(), untrusted_) != 1)
    return false;
  const bool verified = X509_verify_cert(context.get()) == 1;
  const int error = X509_STORE_CTX_get_error(context.get());
  if (error_number != nullptr) *error_number = error;
  if (error_text != nullptr) *error_text = X509_verify_cert_error_string(error);
  return verified;
}
