#include "core/security/certificate.h"

#include <openssl/pem.h>

#include "core/security/pem_reader.h"

namespace {

std::string RawBytes(const ASN1_STRING* text) {
  return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(text)),
                     static_cast<size_t>(ASN1_STRING_length(text)));
}

// The first entry of `field` in `name`, or null.
const ASN1_STRING* FindEntry(const X509_NAME* name, const char* field) {
  if (name == nullptr || field == nullptr) return nullptr;
  hx::ssl::AsnObjectPtr object(OBJ_txt2obj(field, 0));
  if (!object) return nullptr;
  const int index = X509_NAME_get_index_by_OBJ(name, object.get(), -1);
  if (index < 0) return nullptr;
  return X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
}

bool PrintedTime(const ASN1_TIME* time, std::string& text) {
  hx::ssl::BioPtr bio = hx::ssl::MemoryWriter();
  // ASN1_TIME_print reads both UTC and generalized times; certificates valid before 2050 carry
  // UTC times, which the generalized-time printer refuses.
  if (!bio || ASN1_TIME_print(bio.get(), time) != 1) return false;
  text = hx::ssl::MemoryContents(bio.get());
  return true;
}

}  // namespace

HX_Certificate::HX_Certificate() : certificate_(X509_new()) {}

HX_Certificate::HX_Certificate(const HX_Certificate& other)
    : certificate_(other.certificate_ ? X509_dup(other.certificate_.get()) : nullptr) {}

HX_Certificate& HX_Certificate::operator=(const HX_Certificate& other) {
  if (this != &other)
    certificate_.reset(other.certificate_ ? X509_dup(other.certificate_.get()) : nullptr);
  return *this;
}

void HX_Certificate::SetCert(X509* certificate) { certificate_.reset(certificate); }

bool HX_Certificate::SetCert(const char* source, uint32_t length, HX_StorageType storage) {
  hx::ssl::X509Ptr read = hx::ssl::ReadPemCertificate(source, length, storage);
  if (read == nullptr) return false;
  certificate_.reset(read.release());
  return true;
}

bool HX_Certificate::GetSubjectEntry(const char* field, std::string& text) const {
  if (!certificate_) return false;
  const ASN1_STRING* entry = FindEntry(X509_get_subject_name(certificate_.get()), field);
  if (entry == nullptr) return false;
  unsigned char* utf8 = nullptr;
  const int length = ASN1_STRING_to_UTF8(&utf8, entry);
  if (length <= 0) {
    OPENSSL_free(utf8);
    return false;
  }
  text.assign(reinterpret_cast<const char*>(utf8), static_cast<size_t>(length));
  OPENSSL_free(utf8);
  return true;
}

bool HX_Certificate::GetIssuerEntry(const char* field, std::string& text) const {
  if (!certificate_) return false;
  const ASN1_STRING* entry = FindEntry(X509_get_issuer_name(certificate_.get()), field);
  if (entry == nullptr) return false;
  text = RawBytes(entry);
  return true;
}

bool HX_Certificate::GetCertificateData(std::string& common_name, std::string& country,
                                        std::string& organisation, std::string& surname,
                                        std::string& email) const {
  const std::pair<const char*, std::string*> fields[] = {
      {"commonName", &common_name}, {"countryName", &country},
      {"organizationName", &organisation}, {"surname", &surname},
      {"emailAddress", &email}};
  for (const auto& [field, out] : fields)
    if (!GetSubjectEntry(field, *out)) out->clear();
  return true;
}

bool HX_Certificate::GetExtension(const char* name, std::string& text) const {
  if (name == nullptr || !certificate_) return false;
  hx::ssl::AsnObjectPtr object(OBJ_txt2obj(name, 0));
  if (!object) return false;
  const int index = X509_get_ext_by_OBJ(certificate_.get(), object.get(), -1);
  if (index < 0) return false;
  const ASN1_OCTET_STRING* value = X509_EXTENSION_get_data(X509_get_ext(certificate_.get(), index));
  const std::string der = value != nullptr ? RawBytes(value) : std::string();
  text = der.size() > 2 ? der.substr(2) : std::string();
  return true;
}

bool HX_Certificate::GetExpirationTime(std::string& not_before, std::string& not_after,
                                       bool printed) const {
  const ASN1_TIME* before = certificate_ ? X509_get0_notBefore(certificate_.get()) : nullptr;
  const ASN1_TIME* after = certificate_ ? X509_get0_notAfter(certificate_.get()) : nullptr;
  if (before == nullptr || after == nullptr) return false;
  if (printed) return PrintedTime(before, not_before) && PrintedTime(after, not_after);
  const std::string raw_before = RawBytes(before);
  const std::string raw_after = RawBytes(after);
  if (raw_before.empty() || raw_after.empty()) return false;
  not_before = raw_before.substr(0, raw_before.size() - 1);
  not_after = raw_after.substr(0, raw_after.size() - 1);
  return true;
}

int HX_Certificate::CheckExpirationTime() const {
  const ASN1_TIME* before = certificate_ ? X509_get0_notBefore(certificate_.get()) : nullptr;
  const ASN1_TIME* after = certificate_ ? X509_get0_notAfter(certificate_.get()) : nullptr;
  if (before == nullptr || after == nullptr) return -2;
  const int before_vs_now = X509_cmp_current_time(before);
  if (before_vs_now == 0) return -2;
  if (before_vs_now > 0) return -1;
  const int after_vs_now = X509_cmp_current_time(after);
  if (after_vs_now == 0) return -2;
  return after_vs_now < 0 ? 1 : 0;
}

bool HX_Certificate::GetCertPublicKey(HX_PKey* key) const {
  EVP_PKEY* public_key = certificate_ ? X509_get0_pubkey(certificate_.get()) : nullptr;
  hx::ssl::BioPtr bio = hx::ssl::MemoryWriter();
  if (key == nullptr || public_key == nullptr || !bio ||
      PEM_write_bio_PUBKEY(bio.get(), public_key) != 1)
    return false;
  return key->SetPublicKey(hx::ssl::MemoryContents(bio.get()).c_str(), HX_STORAGE_MEMORY);
}

void HX_Certificate::GetSubjectAltNames(HX_SubjectAltNames& names) const {
  if (certificate_) FetchExtensions(X509_get0_extensions(certificate_.get()), names);
}
