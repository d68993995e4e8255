#pragma once
// Version 0 of the secure handshake: nothing to exchange, the connection stays unencrypted.

#include "core/security/secure_handshake_implementation.h"

class HX_EmptySecureHandshake_Impl : public HX_SecureHandshake_Implementation {
 public:
  void StopHandshakeAct() override {}
  bool InitAct(int type) override;
  HX_SecureHandshakeState Next() override { return HX_SH_FINISHED; }
  bool PreparePacket(uint8_t*& /*buffer*/, uint32_t& /*size*/) override { return false; }
  void FreePacketBuf(uint8_t*& buffer) override { buffer = nullptr; }
  bool ProcessPacket(const uint8_t* /*data*/, uint32_t /*length*/) override { return false; }
  std::unique_ptr<HX_SymmetricCrypt> GetReadSymmetricCrypt() override { return nullptr; }
  std::unique_ptr<HX_SymmetricCrypt> GetWriteSymmetricCrypt() override { return nullptr; }
  bool SetPrivateKey(const HX_PKey* /*key*/) override { return true; }
  std::shared_ptr<HX_Certificate> CloneCertificate() const override { return nullptr; }
  bool GetCertificate(uint8_t* /*buffer*/, uint32_t& /*size*/) const override { return false; }
};
