#include "core/security/md5.h"

#include <openssl/evp.h>

#include <cstdio>
#include <cstring>

MD5Context::~MD5Context() { EVP_MD_CTX_free(m_digest); }

bool MD5Init(MD5Context* context) {
  if (context == nullptr) return false;
  if (context->m_digest == nullptr) context->m_digest = EVP_MD_CTX_new();
  context->m_started =
      context->m_digest != nullptr && EVP_DigestInit_ex(context->m_digest, EVP_md5(), nullptr) == 1;
  return context->m_started;
}

bool MD5Update(MD5Context* context, const void* bytes, uint32_t length) {
  if (context == nullptr || !context->m_started) return false;
  if (length == 0) return true;
  if (bytes == nullptr) return false;
  return EVP_DigestUpdate(context->m_digest, bytes, length) == 1;
}

bool MD5Final(unsigned char digest[kMD5DigestSize], MD5Context* context) {
  if (context == nullptr || !context->m_started || digest == nullptr) return false;
  const bool done = EVP_DigestFinal_ex(context->m_digest, digest, nullptr) == 1;
  EVP_MD_CTX_reset(context->m_digest);
  context->m_started = false;
  return done;
}

char* HX_Cipher::md5(const char* text, char* out) {
  if (text == nullptr || out == nullptr) return nullptr;
  unsigned char digest[kMD5DigestSize];
  if (EVP_Digest(text, std::strlen(text), digest, nullptr, EVP_md5(), nullptr) != 1) {
    return nullptr;
  }
  for (size_t i = 0; i < kMD5DigestSize; ++i) std::snprintf(out + 2 * i, 3, "%02X", digest[i]);
  return out;
}
