#pragma once
// Owning pointers for the OpenSSL objects the security library creates, so that every object is
// released on every path.

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace hx::ssl {

template <auto Free>
struct Deleter {
  template <typename T>
  void operator()(T* object) const {
    Free(object);
  }
};

using BioPtr = std::unique_ptr<BIO, Deleter<BIO_free_all>>;
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, Deleter<EVP_CIPHER_CTX_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX_free>>;
using PKeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using PKeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509_free>>;
using X509CrlPtr = std::unique_ptr<X509_CRL, Deleter<X509_CRL_free>>;
using X509StorePtr = std::unique_ptr<X509_STORE, Deleter<X509_STORE_free>>;
using X509StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, Deleter<X509_STORE_CTX_free>>;
using AsnObjectPtr = std::unique_ptr<ASN1_OBJECT, Deleter<ASN1_OBJECT_free>>;
using GeneralNamesPtr = std::unique_ptr<GENERAL_NAMES, Deleter<GENERAL_NAMES_free>>;

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// A read-only memory BIO over `length` bytes (no copy: the bytes must outlive the BIO).
inline BioPtr MemoryReader(const void* bytes, size_t length) {
  if (bytes == nullptr || length > static_cast<size_t>(INT32_MAX)) return nullptr;
  return BioPtr(BIO_new_mem_buf(bytes, static_cast<int>(length)));
}

// An empty, growing memory BIO.
inline BioPtr MemoryWriter() { return BioPtr(BIO_new(BIO_s_mem())); }

// Everything written into a memory BIO so far.
inline std::string MemoryContents(BIO* bio) {
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio, &data);
  if (length <= 0 || data == nullptr) return std::string();
  return std::string(data, static_cast<size_t>(length));
}

}  // namespace hx::ssl
