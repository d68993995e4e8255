#pragma once
// The one root certificate the client trusts for its secure handshake (and its TLS layer). It is
// deployment data: the host application provides it before the first connection; tests provide
// their own. Thread-safe.

#include <string>

namespace hx {

// Replaces the trusted root with the PEM text `pem` ("" removes it).
void SetBuiltInRootCertificate(std::string pem);

// The trusted root as PEM text, "" when none was provided.
std::string BuiltInRootCertificate();

}  // namespace hx
