#pragma once
// The MD5 digest of RFC 1321 (computed by OpenSSL) with the reference interface, and its
// upper-case hexadecimal front end. MD5 names files and hashes passwords here; it is not used
// where collision resistance matters.

#include <openssl/types.h>

#include <cstddef>
#include <cstdint>

constexpr size_t kMD5DigestSize = 16;
// 32 hexadecimal digits and a terminating zero.
constexpr size_t kMD5HexSize = 33;

// The state of one MD5 computation. Not copyable; one thread at a time.
class MD5Context {
 public:
  MD5Context() = default;
  ~MD5Context();
  MD5Context(const MD5Context&) = delete;
  MD5Context& operator=(const MD5Context&) = delete;

 private:
  friend bool MD5Init(MD5Context* context);
  friend bool MD5Update(MD5Context* context, const void* bytes, uint32_t length);
  friend bool MD5Final(unsigned char digest[kMD5DigestSize], MD5Context* context);

  EVP_MD_CTX* m_digest = nullptr;
  bool m_started = false;
};

// Starts (or restarts) a computation. False when OpenSSL cannot give an MD5 context.
bool MD5Init(MD5Context* context);
// Feeds `length` bytes. False when the context was not started.
bool MD5Update(MD5Context* context, const void* bytes, uint32_t length);
// Writes the 16-byte digest and clears the context, which must be started again before reuse.
// False (digest untouched) when the context was not started.
bool MD5Final(unsigned char digest[kMD5DigestSize], MD5Context* context);

class HX_Cipher {
 public:
  // Writes the MD5 of `text` (its bytes up to the terminating zero) as 32 upper-case hexadecimal
  // digits and a zero into `out` (kMD5HexSize bytes) and returns `out`; null for a null argument
  // or a failed digest.
  static char* md5(const char* text, char* out);
};
