#pragma once
// Reading one PEM object (certificate, revocation list, key) from text in memory or from a file:
// the one place that picks the source by storage type.

#include <openssl/pem.h>

#include <cstddef>
#include <cstdio>
#include <memory>

#include "core/security/openssl_handles.h"
#include "core/security/pkey.h"

namespace hx::ssl {

// The object read from the `length` bytes at `source` (HX_STORAGE_MEMORY; read in place, not
// copied) or from the file at the path `source` opened with `file_mode` (HX_STORAGE_FILE), with
// `read_bio` or `read_file`, owned by a Ptr. Null for a null source, another storage type, or
// when nothing could be read.
template <typename Ptr, typename ReadBio, typename ReadFile>
Ptr ReadPem(const char* source, size_t length, HX_StorageType storage, const char* file_mode,
            ReadBio read_bio, ReadFile read_file) {
  if (source == nullptr) return nullptr;
  if (storage == HX_STORAGE_MEMORY) {
    BioPtr bio = MemoryReader(source, length);
    return Ptr(bio ? read_bio(bio.get()) : nullptr);
  }
  if (storage == HX_STORAGE_FILE) {
    FilePtr file(std::fopen(source, file_mode));
    return Ptr(file ? read_file(file.get()) : nullptr);
  }
  return nullptr;
}

inline X509Ptr ReadPemCertificate(const char* source, size_t length, HX_StorageType storage) {
  return ReadPem<X509Ptr>(
      source, length, storage, "r",
      [](BIO* bio) { return PEM_read_bio_X509(bio, nullptr, PasswordCallback, nullptr); },
      [](FILE* file) { return PEM_read_X509(file, nullptr, PasswordCallback, nullptr); });
}

}  // namespace hx::ssl
