#include "core/security/subject_alt_name.h"

#include <arpa/inet.h>
#include <openssl/x509v3.h>

#include "core/security/openssl_handles.h"

namespace {

std::string AsText(const ASN1_STRING* text) {
  return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(text)),
                     static_cast<size_t>(ASN1_STRING_length(text)));
}

bool AddressText(const ASN1_OCTET_STRING* address, std::string& text) {
  const int length = ASN1_STRING_length(address);
  const int family = length == 4 ? AF_INET : length == 16 ? AF_INET6 : 0;
  char buffer[INET6_ADDRSTRLEN] = {};
  if (family == 0 || inet_ntop(family, ASN1_STRING_get0_data(address), buffer, sizeof buffer) == nullptr)
    return false;
  text = buffer;
  return true;
}

// Appends the names of kind `kind` found in `names`, in their order.
void Collect(const GENERAL_NAMES* names, int kind, HX_SubjectAltNames& out) {
  for (int i = 0; i < sk_GENERAL_NAME_num(names); ++i) {
    const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, i);
    if (name->type != kind) continue;
    std::string text;
    if (kind == GEN_DNS) {
      out.emplace_back(HX_SAN_DNS, AsText(name->d.dNSName));
    } else if (kind == GEN_EMAIL) {
      out.emplace_back(HX_SAN_EMAIL, AsText(name->d.rfc822Name));
    } else if (kind == GEN_IPADD && AddressText(name->d.iPAddress, text)) {
      out.emplace_back(HX_SAN_IP, text);
    }
  }
}

}  // namespace

X509_EXTENSION* HX_SubjectAltNameSetterMixin::MakeExtension(SubjectAltNameType type,
                                                            const std::string& value) {
  const char* prefix = type == HX_SAN_DNS ? "DNS:" : type == HX_SAN_IP ? "IP:"
                       : type == HX_SAN_EMAIL ? "email:" : nullptr;
  if (prefix == nullptr) return nullptr;
  const std::string text = prefix + value;
  return X509V3_EXT_nconf_nid(nullptr, nullptr, NID_subject_alt_name, text.c_str());
}

void HX_SubjectAltNameGetterMixin::FetchExtensions(const STACK_OF(X509_EXTENSION) * extensions,
                                                   HX_SubjectAltNames& names) {
  for (int i = 0; i < sk_X509_EXTENSION_num(extensions); ++i) {
    X509_EXTENSION* extension = sk_X509_EXTENSION_value(extensions, i);
    if (OBJ_obj2nid(X509_EXTENSION_get_object(extension)) != NID_subject_alt_name) continue;
    hx::ssl::GeneralNamesPtr decoded(static_cast<GENERAL_NAMES*>(X509V3_EXT_d2i(extension)));
    if (!decoded) continue;
    Collect(decoded.get(), GEN_DNS, names);
    Collect(decoded.get(), GEN_EMAIL, names);
    Collect(decoded.get(), GEN_IPADD, names);
  }
}
