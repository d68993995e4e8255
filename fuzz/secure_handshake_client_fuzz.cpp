// The client role of the secure handshake fed an arbitrary byte stream as the server's messages:
// the certificate message, the offer and everything in between. The first input byte chooses the
// version (bit 0: version 2) and whether a GOST engine counts as present (bit 1).
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/security/gost_engine.h"
#include "core/security/root_certificate.h"
#include "core/security/secure_handshake.h"

namespace {

// The root of the seed corpus's certificate messages (made with the openssl tool, valid to 2125).
const char kRootPem[] =
    "-----BEGIN CERTIFICATE-----\n"
    "MIIDGzCCAgOgAwIBAgIUeGI3piIpo9qxxz1C0pbJo0Tjwn4wDQYJKoZIhvcNAQEL\n"
    "BQAwFDESMBAGA1UEAwwJRnV6eiBSb290MCAXDTI2MTIxMDIzMDMwN1oYDzIxMjYx\n"
    "MTE2MjMwMzA3WjAUMRIwEAYDVQQDDAlGdXp6IFJvb3QwggEiMA0GCSqGSIb3DQEB\n"
    "AQUAA4IBDwAwggEKAoIBAQCOiOHpBvbpEePhNCi1d+Vgfly/eDy6h0wAu9NWZxqr\n"
    "AtTLEGwmNwAa0eFmn9oApIEJT7c0NVpKYkMTp0qOauIiu35w0h3qMZMdhNsMrJb7\n"
    "BdgdULAHMj13RsYFwtsIQXjen5B96Tbj5DfPyBAwce4QA3U6IWAx+LLRH4WFHcdC\n"
    "zkhvPhtw5y0Vc8TCIWD67QWIFQsGZrZjK9M4OfGpyIMOCzkXbgIB0wWvZELuN5yW\n"
    "JcYLloUxnwJt9O7vhaeIaRbaU3sB6g6p+lvSX2VujQ22rLDiDtfldCkZG6aaK2OA\n"
    "/27538nkEMBOy7d1vx0XEKLomtjpZXdoaj++j3tkabrxAgMBAAGjYzBhMA8GA1Ud\n"
    "EwEB/wQFMAMBAf8wDgYDVR0PAQH/BAQDAgEGMB0GA1UdDgQWBBQq3GhNCdYcjI1j\n"
    "Wecb6HjxqiFc/DAfBgNVHSMEGDAWgBQq3GhNCdYcjI1jWecb6HjxqiFc/DANBgkq\n"
    "hkiG9w0BAQsFAAOCAQEAU+L4gp6ydKlvwpFY79kvsnaquLMZyQFh4MREK9QQq6Yy\n"
    "sM//oB6CycY/tUJ22CefrKMj7dy5pyIJ4zK0btEzXHYMCSuWXc6jIfBh+ogLEyUM\n"
    "UC9mz41mj+3nWnKknAQ9KKs7HR4RivAmJ2xOZt/WE8+DLWvsM6yZDtGyJph5+/sD\n"
    "kc1zSDrxm/xFKorp8fAwFDllrX69EVrEPoci3ohki3M4djzfEcaGuQpSDWGndFid\n"
    "FRef78uJzUsH5z6Tet6MLCyZhFIZfecCcrm2c8/7fZ9hUNQenKya9CQpQv4CTpcr\n"
    "Jz3hh5vLsLTKMmQ3iDgI62wpNLUdtAfYuQfHHUu94A==\n"
    "-----END CERTIFICATE-----\n"
    ;

bool g_gost_engine = false;

void SetUpOnce() {
  static const bool done = [] {
    hx::SetBuiltInRootCertificate(kRootPem);
    hx::SetGostEngineProbe([] { return g_gost_engine; });
    return true;
  }();
  (void)done;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  SetUpOnce();
  if (size == 0) return 0;
  g_gost_engine = (data[0] & 2) != 0;
  HX_SecureHandshake handshake((data[0] & 1) ? 2 : 1, HX_SECURE_HANDSHAKE_CLIENT);
  size_t offset = 1;
  // A handshake takes a handful of steps; the bound only guards against a state that never ends.
  for (int step = 0; step < 32; ++step) {
    const HX_SecureHandshakeState next = handshake.Next();
    if (next == HX_SH_SEND_CERTIFICATE) continue;
    if (next != HX_SH_SEND && next != HX_SH_RECEIVE) {
      handshake.GetReadSymmetricCrypt();
      handshake.GetWriteSymmetricCrypt();
      handshake.CloneCertificate();
      break;
    }
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    if (!handshake.PreparePacket(buffer, length)) break;
    if (next == HX_SH_RECEIVE) {
      if (size - offset < length) {
        handshake.FreePacket(buffer);
        break;
      }
      std::memcpy(buffer, data + offset, length);
      offset += length;
      const bool processed = handshake.ProcessPacket(buffer, length);
      handshake.FreePacket(buffer);
      if (!processed) break;
    } else {
      handshake.FreePacket(buffer);
    }
  }
  return 0;
}
