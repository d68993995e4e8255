#pragma once
// The interface of the secure handshake versions behind HX_SecureHandshake. An implementation
// only forms and parses packets; its owner moves the bytes. Not shared between threads.

#include <cstdint>
#include <memory>

#include "core/security/certificate.h"
#include "core/security/pkey.h"
#include "core/security/secure_handshake_types.h"
#include "core/security/symmetric_crypt.h"

class HX_SecureHandshake_Implementation {
 public:
  HX_SecureHandshake_Implementation() = default;
  HX_SecureHandshake_Implementation(const HX_SecureHandshake_Implementation&) = delete;
  HX_SecureHandshake_Implementation& operator=(const HX_SecureHandshake_Implementation&) = delete;

  virtual void SetErrorCode(int code) { error_code_ = code; }
  // Ends a running handshake and drops what it received.
  virtual void StopHandshakeAct() = 0;
  // Starts the handshake in the role `type`; false when it cannot start.
  virtual bool InitAct(int type) = 0;
  virtual ~HX_SecureHandshake_Implementation() = default;
  virtual HX_SecureHandshakeState Next() = 0;
  // Hands out the packet to send or the buffer to fill; `buffer` must be null on entry.
  virtual bool PreparePacket(uint8_t*& buffer, uint32_t& size) = 0;
  virtual void FreePacketBuf(uint8_t*& buffer) = 0;
  virtual bool ProcessPacket(const uint8_t* data, uint32_t length) = 0;
  // The negotiated ciphers, each handed out once after the handshake finished.
  virtual std::unique_ptr<HX_SymmetricCrypt> GetReadSymmetricCrypt() = 0;
  virtual std::unique_ptr<HX_SymmetricCrypt> GetWriteSymmetricCrypt() = 0;
  virtual bool SetPrivateKey(const HX_PKey* key) = 0;
  // The peer's certificate, or null when none was received.
  virtual std::shared_ptr<HX_Certificate> CloneCertificate() const = 0;
  // Copies the peer's certificate PEM; reports the needed size when `size` is too small.
  virtual bool GetCertificate(uint8_t* buffer, uint32_t& size) const = 0;

  int GetErrorCode() const { return error_code_; }

 protected:
  int error_code_ = HX_SH_ERROR_STOPPED;
};
