#pragma once
// HXHelperHandshakeSecure: the secure handshake that follows the plain transport handshake when
// the server grants it. As the connection's data manager it moves the packets of the key exchange
// (version 1, client side) between the socket and the handshake facade, then checks the server's
// certificate against the connection's server id. As a shield it enciphers and deciphers messages
// with the two ciphers the exchange produced.
//
// Used on the network loop thread and on the transport's connect path under the transport's lock.

#include <cstdint>
#include <memory>
#include <string>

#include "core/net/socket/socket_callbacks.h"
#include "core/security/secure_handshake.h"
#include "core/transport/secure_shield.h"
#include "core/wire/transport_connection_param.h"

class HX_Certificate;

class HXHelperHandshakeSecure : public HXZADataManager, public HXSecureShield {
 public:
  // Result codes of the certificate check; any other non-zero result is the facade's error code.
  static constexpr int32_t kResultExpired = 9;
  static constexpr int32_t kResultNotYetValid = 10;
  static constexpr int32_t kResultNoCertificate = 11;
  static constexpr int32_t kResultWrongCommonName = 12;
  static constexpr int32_t kResultMissingExtension = 13;

  HXHelperHandshakeSecure();
  ~HXHelperHandshakeSecure() override;

  // Registers the TLS library's ciphers and digests once per process.
  static void InstallOpenSSL();

  // Prepares a new handshake for the connection described by `param`. Always true.
  bool InitHandshake(std::shared_ptr<HX_TransportConnectionParam> param);

  int32_t OnReadyRecvImp(HXZASocket* socket, HXZADataHandler* handler) override;
  int32_t OnReadySendImp(HXZASocket* socket, HXZADataHandler* handler) override;

  // Checks the server's certificate as the facade received it; false (with the result set and
  // the secure state 0) when it fails.
  bool checkCertificate();
  // The checks of checkCertificate on `certificate`: its subject and validity can be read, its
  // common name equals `serverId` (when that is not empty), its extension "1.2" holds a number
  // above 360, and it is valid now. 0 when it passes, else the result code.
  static int32_t CheckServerCertificate(const HX_Certificate* certificate,
                                        const std::string& serverId);

  const uint8_t* Encrypt(const uint8_t* data, uint32_t length, uint8_t* out,
                         uint32_t& size) override;
  const uint8_t* Decrypt(const uint8_t* data, uint32_t length, uint8_t* out, uint32_t& size,
                         bool last_piece) override;
  uint32_t GetSymCryptBlockSize() override;

  int32_t GetResult() const { return m_result; }
  HX_SecureHandshakeState GetSecureState() const { return m_secureState; }
  void SetSecureState(HX_SecureHandshakeState value) { m_secureState = value; }

 private:
  int32_t ProcessHandshake(HXZASocket* socket, bool sending);
  int32_t SendPacket(HXZASocket* socket);
  int32_t ReceivePackets(HXZASocket* socket);
  int32_t Finish(HXZASocket* socket);
  int32_t Fail();
  // Whether the peer closed the stream (a read of nothing that says so).
  static bool StreamEnded(HXZASocket* socket);
  // Asks the facade for the next packet to send or fill; false (failed) when it refuses.
  bool TakePacket(HX_SecureHandshakeState direction);
  void DropPacket();
  void ReleaseCiphers();

  std::unique_ptr<HX_SecureHandshake> m_facade;
  std::unique_ptr<HX_SymmetricCrypt> m_readCrypt;
  std::unique_ptr<HX_SymmetricCrypt> m_writeCrypt;
  uint8_t* m_packet = nullptr;  // the facade's until FreePacket
  uint32_t m_packetSize = 0;
  uint64_t m_packetDone = 0;  // bytes of the packet sent or received
  HX_SecureHandshakeState m_packetDirection = HX_SH_RECEIVE;  // of the packet under way
  HX_SecureHandshakeState m_secureState = HX_SH_FAILED;
  int32_t m_result = 0;
  std::shared_ptr<HX_TransportConnectionParam> m_param;
};
