#pragma once
// What the TLS layer of a socket tells its owner about the connection: whether TLS was asked for,
// how the peer's certificate fared, and that certificate.

#include <cstdint>

#include "core/security/certificate.h"

struct HXZTLSContext {
  // Values of verifyResult.
  enum : int32_t { kNotVerified = 0, kVerifyFailed = 1, kVerifyPassed = 2 };

  // 1 once the owner's connect asked for TLS.
  int32_t requested = 0;
  int32_t verifyResult = kNotVerified;
  // A copy of the peer's leaf certificate (the last one the verification looked at).
  HX_Certificate peerCertificate;
};
