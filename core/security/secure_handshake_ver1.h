#pragma once
// Version 1 of the secure handshake, client and server role.
//
// The server sends its certificate message (formed by the owner) and an offer of symmetric
// algorithms; the client verifies the certificate against the built-in root, picks an algorithm,
// draws two keys and sends them sealed with the certificate's public key. Both sides end with a
// write and a read cipher: the client writes with key 1 and reads with key 2, the server the
// other way round. A client that refuses the server's packets sends an 8-byte error message.
//
// States (odd while running): 3 started; client 13 (certificate size), 15 (certificate), 9
// (offer size), 11 (offer, then key message) and 19 finished, or 21 and 23 after an error
// message; server 5 (offer), 7, 9 (key message size), 11 (key message) and 19 finished.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/security/secure_handshake_implementation.h"
#include "core/security/secure_handshake_packets.h"

class HX_SecureHandshakeVer1_Impl : public HX_SecureHandshake_Implementation {
 public:
  HX_SecureHandshakeVer1_Impl();
  ~HX_SecureHandshakeVer1_Impl() override;

  void StopHandshakeAct() override;
  bool InitAct(int type) override;
  HX_SecureHandshakeState Next() override;
  bool PreparePacket(uint8_t*& buffer, uint32_t& size) override;
  void FreePacketBuf(uint8_t*& buffer) override;
  bool ProcessPacket(const uint8_t* data, uint32_t length) override;
  std::unique_ptr<HX_SymmetricCrypt> GetReadSymmetricCrypt() override;
  std::unique_ptr<HX_SymmetricCrypt> GetWriteSymmetricCrypt() override;
  bool SetPrivateKey(const HX_PKey* key) override;
  std::shared_ptr<HX_Certificate> CloneCertificate() const override;
  bool GetCertificate(uint8_t* buffer, uint32_t& size) const override;

  virtual int GetVersion() const { return 1; }

 protected:
  using Bytes = hx::secure_handshake::Bytes;

  enum State : int {
    kIdle = 0,
    kStarted = 3,
    kServerOffer = 5,
    kAwaitSize = 7,
    kSize = 9,
    kBody = 11,
    kCertificateSize = 13,
    kCertificate = 15,
    kFinished = 19,
    kErrorMessage = 21,
    kErrorMessageSent = 23,
  };

  bool IsServer() const { return type_ == HX_SECURE_HANDSHAKE_SERVER; }

  virtual bool ServerProcPacket(const uint8_t* data, uint32_t length);
  virtual bool ClientProcPacket(const uint8_t* data, uint32_t length);
  virtual bool ServerPreparePacket(uint8_t*& buffer, uint32_t& size);
  virtual bool ClientPreparePacket(uint8_t*& buffer, uint32_t& size);

  // Hands out `packet` to send, moving to `next`.
  bool Send(Bytes packet, int next, uint8_t*& buffer, uint32_t& size);
  // Hands out a buffer of `length` bytes to fill, moving to `next`.
  bool Receive(uint32_t length, int next, uint8_t*& buffer, uint32_t& size);
  // Records `code` and fails the call it returns from.
  bool Fail(int code);
  // Records `code` and queues the client's error message; the owner sends it before the end.
  bool QueueErrorMessage(int code);

  // Checks a certificate message against the built-in root through its untrusted chain; on
  // success the certificate's key becomes the peer's key. Records the error code on failure.
  bool CheckCertificateMessage(const uint8_t* data, uint32_t length);
  // Client: picks from `count` offered words, draws the keys and forms the key message.
  bool ChooseAndSealKeys(const uint8_t* words, uint32_t count);
  // Server: opens a key message body and makes the ciphers.
  bool OpenKeyMessage(const uint8_t* body, uint32_t length);
  // Server: a 4-byte body is a client's error code; the handshake ends with Next answering 0.
  bool RecordPeerRefusal(const uint8_t* code);
  // Stores a size word the peer sent; false (without recording an error) when it is not one.
  bool StoreSize(const uint8_t* data, uint32_t length, uint32_t min, uint32_t max);
  std::optional<uint32_t> TakeStoredSize();

  int type_ = 0;
  bool gost_engine_ = false;
  int state_ = kIdle;
  std::optional<uint32_t> stored_size_;
  // Client: the key message until it is handed out.
  Bytes work_;
  Bytes packet_;
  HX_PKey peer_key_;
  std::string own_private_key_;
  std::string peer_certificate_;
  std::unique_ptr<HX_SymmetricCrypt> read_crypt_;
  std::unique_ptr<HX_SymmetricCrypt> write_crypt_;
  bool read_taken_ = false;
  bool write_taken_ = false;

 private:
  bool MakeCiphers(uint32_t algorithm, const Bytes& read_key, const Bytes& write_key);
  void Wipe(Bytes& bytes);
};
