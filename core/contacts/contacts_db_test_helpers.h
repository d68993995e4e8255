#pragma once
// Helpers of the per-user database tests: the file name a user's database must have on disk
// (computed with OpenSSL, apart from the code under test) and the sqlite3 tool as reader and
// writer of the files.

#include <openssl/evp.h>

#include <cstdio>
#include <string>

#include "core/storage/storage_test_helpers.h"

namespace hx::contacts_testing {

// The 32 upper-case hexadecimal digits of the MD5 of `text`.
inline std::string UpperMd5(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr);
  std::string hex;
  char byte[3];
  for (unsigned int i = 0; i < length; ++i) {
    std::snprintf(byte, sizeof byte, "%02X", digest[i]);
    hex += byte;
  }
  return hex;
}

// The tool's rows for `sql`, NULL shown as "NULL".
inline std::string Rows(const std::string& tool, const std::string& file, const std::string& sql) {
  return hx::storage_testing::Sqlite(tool, file, ".nullvalue NULL\n" + sql);
}

}  // namespace hx::contacts_testing
