#pragma once
// Version 2 of the secure handshake: version 1 with mutual authentication. The client sends its
// own certificate message first; the server's offer carries a random text ("v2rnd") that the
// client signs together with its key message, and the server checks both the client's
// certificate and that signature.

#include <string>

#include "core/security/secure_handshake_ver1.h"

class HX_SecureHandshakeVer2_Impl : public HX_SecureHandshakeVer1_Impl {
 public:
  void StopHandshakeAct() override;
  HX_SecureHandshakeState Next() override;
  int GetVersion() const override { return 2; }

 protected:
  bool ServerProcPacket(const uint8_t* data, uint32_t length) override;
  bool ClientProcPacket(const uint8_t* data, uint32_t length) override;
  bool ServerPreparePacket(uint8_t*& buffer, uint32_t& size) override;
  bool ClientPreparePacket(uint8_t*& buffer, uint32_t& size) override;

 private:
  // Client: reads the version-2 offer and goes on as version 1.
  bool ProcessOffer(const uint8_t* data, uint32_t length);
  // Client: the version-1 key message signed together with the random text.
  bool SendSignedKeyMessage(uint8_t*& buffer, uint32_t& size);
  // Server: checks the signature of a version-2 key message and opens its version-1 part.
  bool ProcessKeyMessage(const uint8_t* data, uint32_t length);
  // Server: 32 random characters, none of them NUL, from the system's random device.
  bool DrawRandomText();

  std::string random_text_;
  bool own_certificate_sent_ = false;   // client
  bool peer_certificate_checked_ = false;  // server
};
