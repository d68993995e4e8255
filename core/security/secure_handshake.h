#pragma once
// The secure handshake that runs over the transport connection after the transport handshake,
// before any transport message: the server proves its identity with a certificate chain that
// leads to the built-in root (root_certificate.h), and both sides agree on a pair of symmetric
// ciphers, one for reading and one for writing.
//
// This facade holds the implementation of one version: 0 (nothing exchanged, no encryption),
// 1 (the client's transport runs it) or 2 (mutual authentication). The implementation forms and
// parses packets; the owner moves the bytes: it asks Next and, for HX_SH_SEND, sends the packet
// PreparePacket returns; for HX_SH_RECEIVE, fills the buffer PreparePacket returns completely and
// hands it to ProcessPacket; FreePacket after either; until Next answers HX_SH_FINISHED (take the
// ciphers) or HX_SH_FAILED (read GetHandshakeErrorCode). A handshake object belongs to one
// connection and is not shared between threads.

#include <cstdint>
#include <memory>
#include <string>

#include "core/security/secure_handshake_implementation.h"

class HX_SecureHandshake {
 public:
  HX_SecureHandshake() = default;
  HX_SecureHandshake(int version, int type);
  ~HX_SecureHandshake();
  HX_SecureHandshake(const HX_SecureHandshake&) = delete;
  HX_SecureHandshake& operator=(const HX_SecureHandshake&) = delete;

  // Stops a running handshake and starts one of `version` in the role `type`
  // (HX_SecureHandshakeType); false, leaving no implementation, when that fails.
  bool Init(int version, int type);
  HX_SecureHandshakeState Next();
  // `buffer` must be null on entry; the buffer stays the handshake's until FreePacket.
  bool PreparePacket(uint8_t*& buffer, uint32_t& size);
  void FreePacket(uint8_t*& buffer);
  bool ProcessPacket(const uint8_t* data, uint32_t length);
  // The negotiated ciphers, once each after the handshake finished; null before, or for version 0.
  std::unique_ptr<HX_SymmetricCrypt> GetReadSymmetricCrypt();
  std::unique_ptr<HX_SymmetricCrypt> GetWriteSymmetricCrypt();
  static void ReleaseSymmetricCrypt(std::unique_ptr<HX_SymmetricCrypt>& crypt) { crypt.reset(); }
  // The own private key: needed by a server and by a version-2 client.
  bool SetPrivateKey(const HX_PKey* key);
  // The peer's certificate as received, or null.
  std::shared_ptr<HX_Certificate> CloneCertificate() const;
  // Copies the peer's certificate PEM; reports the needed size when `size` is too small.
  bool GetCertificate(uint8_t* buffer, uint32_t& size) const;
  // The running version, -1 without an implementation.
  int GetVersion() const { return version_; }
  // HX_SecureHandshakeError of the running implementation; 0 without one.
  int GetHandshakeErrorCode() const;
  void StopHandshake();

  // Process-wide, set before handshakes start. With improved security a server offers AES-256
  // (and GOST where the engine is present) before AES-128.
  static void SetImprovedSecurityState(bool improved);
  static bool GetImprovedSecurityState();
  // A text stored once (fewer than 255 characters); later calls change nothing.
  static void SetRegistryRoot(const char* root);
  // Copies the text and its NUL, or reports its length + 1 when `size` is too small.
  static bool GetRegistryRoot(char* buffer, uint32_t& size);

 private:
  std::unique_ptr<HX_SecureHandshake_Implementation> implementation_;
  int version_ = -1;
};
