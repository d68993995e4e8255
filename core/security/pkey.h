#pragma once
// One asymmetric key (in practice an RSA key pair or public key) and its PEM forms.

#include <openssl/evp.h>

#include <cstdint>

#include "core/security/openssl_handles.h"
#include "core/security/symmetric_crypt.h"

// Where a key or certificate comes from or goes to.
enum HX_StorageType : int {
  HX_STORAGE_FILE = 1,    // a file given by its path
  HX_STORAGE_MEMORY = 2,  // PEM text in memory
};

enum HX_PublicKeyAlg : int {
  HX_PUBLIC_KEY_ALG_NONE = 0,
  HX_PUBLIC_KEY_ALG_RSA = 1,
};

class HX_PKey {
 public:
  HX_PKey();  // holds an empty key object
  HX_PKey(const HX_PKey&) = delete;
  HX_PKey& operator=(const HX_PKey&) = delete;

  // Generates an RSA key with public exponent 65537 that passes the RSA key check.
  bool GenerateKeys(uint32_t bits, HX_PublicKeyAlg algorithm);
  HX_PublicKeyAlg GetPKeyAlg() const;
  bool CheckKeyStrength() const { return false; }
  uint32_t GetKeyLength() const { return 0; }
  EVP_PKEY* GetKeyContext() const { return key_.get(); }

  // Reads a PEM public key (SubjectPublicKeyInfo) from text or a file and replaces the held key.
  // False for a missing source, a source of more than 65535 characters or an unreadable PEM.
  bool SetPublicKey(const char* source, HX_StorageType storage);
  // Reads a PEM private key; `password` (null meaning the empty one) opens an encrypted PEM.
  bool SetPrivateKey(const char* source, HX_StorageType storage, const char* password);

  // Write the PEM and a NUL into `buffer` (memory storage only). When `size` is below the PEM
  // length + 1 it is set to that and the call fails (null buffer and size 0 ask for the size).
  bool GetPublicKey(HX_StorageType storage, char* buffer, uint32_t& size) const;
  bool GetPrivateKey(HX_StorageType storage, char* buffer, uint32_t& size) const;
  // Writes the public key PEM into the file at `path` (file storage only).
  bool WritePublicKey(const char* path, HX_StorageType storage) const;
  // Writes the private key PEM, unencrypted for algorithm 0, else under AES-256 (algorithm 1 or
  // 11; mode 3 CBC, mode 2 ECB) with `password` (null meaning empty). Memory storage writes into
  // `target` with the size rule of GetPrivateKey; file storage takes `target` as the path.
  // The password is the same pass phrase that SetPrivateKey takes to read the key back.
  bool WritePrivateKey(char* target, uint32_t& size, HX_StorageType storage,
                       int algorithm, int mode, const char* password,
                       uint32_t password_length) const;

 private:
  hx::ssl::PKeyPtr key_;
};

namespace hx::ssl {

// Copies the PEM text of `pem` with its NUL into `buffer` under the in/out size rule above.
bool CopyPemOut(const std::string& pem, char* buffer, uint32_t& size);

// Hands `password` to OpenSSL's PEM readers and writers without ever prompting on a terminal.
int PasswordCallback(char* buffer, int size, int rwflag, void* password);

}  // namespace hx::ssl
