#pragma once
// The one-time set-up of the cryptographic library: registers every cipher and digest algorithm
// the TLS layer and the secure handshake may ask for by name. Safe to call from any thread, any
// number of times; only the first call does the work.

namespace hx {

void InstallOpenSSL();

}  // namespace hx
