#pragma once
// Building and reading the subjectAltName extension of certificates.

#include <openssl/x509.h>

#include <string>
#include <utility>
#include <vector>

enum SubjectAltNameType : int {
  HX_SAN_DNS = 0,
  HX_SAN_IP = 1,
  HX_SAN_EMAIL = 2,
};

using HX_SubjectAltNames = std::vector<std::pair<SubjectAltNameType, std::string>>;

class HX_SubjectAltNameSetterMixin {
 public:
  // A new subjectAltName extension holding one name ("DNS:", "IP:" or "email:" and the value);
  // the caller frees it with X509_EXTENSION_free. Null for an unknown type or a bad value.
  static X509_EXTENSION* MakeExtension(SubjectAltNameType type, const std::string& value);
};

class HX_SubjectAltNameGetterMixin {
 public:
  // Appends the names of every subjectAltName extension in `extensions`: for each extension its
  // DNS names, then its e-mail addresses, then its IP addresses (IPv4 or IPv6 text). Other kinds
  // of names, and addresses of other lengths, are skipped.
  static void FetchExtensions(const STACK_OF(X509_EXTENSION) * extensions,
                              HX_SubjectAltNames& names);
};
