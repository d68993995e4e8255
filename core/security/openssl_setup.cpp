#include "core/security/openssl_setup.h"

#include <openssl/crypto.h>

#include <mutex>

namespace hx {

void InstallOpenSSL() {
  static std::once_flag once;
  std::call_once(once, [] {
    OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);
  });
}

}  // namespace hx
