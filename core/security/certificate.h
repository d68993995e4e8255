#pragma once
// One X.509 certificate and the fields the client reads from it.

#include <openssl/x509.h>

#include <cstdint>
#include <string>

#include "core/security/openssl_handles.h"
#include "core/security/pkey.h"
#include "core/security/subject_alt_name.h"

class HX_Certificate : public HX_SubjectAltNameGetterMixin {
 public:
  HX_Certificate();  // holds an empty certificate object
  HX_Certificate(const HX_Certificate& other);
  HX_Certificate& operator=(const HX_Certificate& other);

  // Adopts `certificate` (the previous one is freed).
  void SetCert(X509* certificate);
  // Reads a PEM certificate from the first `length` bytes of `source` (memory storage) or from
  // the file at the path `source` (file storage); false when nothing could be read.
  bool SetCert(const char* source, uint32_t length, HX_StorageType storage);
  X509* GetCert() const { return certificate_.get(); }

  // The first subject entry of `field` (an object name such as "commonName", or its dotted
  // number) as UTF-8; false when the field is unknown, missing or empty.
  bool GetSubjectEntry(const char* field, std::string& text) const;
  // The first issuer entry of `field`, its bytes unconverted; an empty entry gives "" and true.
  bool GetIssuerEntry(const char* field, std::string& text) const;
  // The subject's common name, country, organisation, surname and e-mail address; a missing one
  // comes back empty.
  bool GetCertificateData(std::string& common_name, std::string& country,
                          std::string& organisation, std::string& surname,
                          std::string& email) const;
  // The content of the extension `name` (name or dotted number): its DER value without the tag
  // and length bytes of a short-form value. False when unknown or absent.
  bool GetExtension(const char* name, std::string& text) const;
  // The validity bounds: raw ASN.1 time texts without the trailing "Z", or (`printed`) as
  // OpenSSL prints them ("Jan  2 03:04:05 2030 GMT").
  bool GetExpirationTime(std::string& not_before, std::string& not_after, bool printed) const;
  // 0 valid now, -1 not yet valid, 1 expired, -2 a bound is missing or cannot be compared.
  int CheckExpirationTime() const;
  // Loads the certificate's public key into `key`.
  bool GetCertPublicKey(HX_PKey* key) const;
  void GetSubjectAltNames(HX_SubjectAltNames& names) const;

 private:
  hx::ssl::X509Ptr certificate_;
};
