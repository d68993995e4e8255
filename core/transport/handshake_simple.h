#pragma once
// HXHelperHandshakeSimple: the plain transport handshake, the first exchange on a new transport
// connection. As the connection's data manager it sends the client's handshake request on the
// first ready-to-send event and reads the server's reply, which gives the server id, the client
// id the server assigns, the idle time-out and whether a secure handshake follows. As a shield it
// passes message bytes through unchanged.
//
// Used on the network loop thread and on the transport's connect path under the transport's lock.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/net/socket/socket_callbacks.h"
#include "core/transport/secure_shield.h"
#include "core/wire/zero_handshake.h"

class HXHelperHandshakeSimple : public HXZADataManager, public HXSecureShield {
 public:
  enum state : int32_t {
    stateNew = 0,
    stateReadyToSend = 1,
    stateRequestSent = 2,
    stateReplyAccepted = 3,
  };

  // Result codes besides the server's own non-zero result byte.
  static constexpr int32_t kResultAccepted = 0;
  static constexpr int32_t kResultWrongState = 3;
  static constexpr int32_t kResultReplyIncomplete = 4;
  static constexpr int32_t kResultRequestNotSent = 5;
  static constexpr int32_t kResultHeadIncomplete = 6;  // also: the server asked for keep-alive
  static constexpr int32_t kResultNotSecure = 7;
  static constexpr int32_t kResultNone = 255;

  static constexpr int32_t kDefaultIdleTimeout = 8000;

  HXHelperHandshakeSimple();
  ~HXHelperHandshakeSimple() override;

  // Prepares a new handshake. Unless `keepClientId`, forgets the server id and client id of the
  // last reply. Always true.
  bool InitHandshake(bool keepClientId, bool keepAlive, bool secure, bool unused);

  // Sends the whole request in one piece; false (result 5) when it could not be formed or sent.
  bool SendHandshake(HXZASocket* socket);
  // Reads what the socket holds of the reply: exactly the 20-byte head, then exactly the body it
  // announces, so whatever the server sends next stays in the socket. keepGoing while the reply
  // is incomplete, done when it was accepted, failed otherwise (result 6 when the stream ended
  // within the head, 4 within the body, or CheckHandshake's result).
  int32_t RecvHandshake(HXZASocket* socket);
  // Takes the reply's values; true when it accepted the client.
  bool CheckHandshake(const HX_ZeroHandshakeFixedPart* record, bool complete, bool tls);

  int32_t OnReadyRecvImp(HXZASocket* socket, HXZADataHandler* handler) override;
  int32_t OnReadySendImp(HXZASocket* socket, HXZADataHandler* handler) override;

  const uint8_t* Encrypt(const uint8_t* data, uint32_t length, uint8_t* out,
                         uint32_t& size) override;
  const uint8_t* Decrypt(const uint8_t* data, uint32_t length, uint8_t* out, uint32_t& size,
                         bool last_piece) override;
  uint32_t GetSymCryptBlockSize() override;

  const char* GetSID() const { return m_sid.data(); }
  const char* GetCID() const { return m_cid.data(); }
  bool GetSSL() const { return m_secure; }
  bool GetKeepAlive() const { return m_keepAlive; }
  int32_t GetIdleTimeout() const { return m_idleTimeout; }
  int32_t GetResult() const { return m_result; }
  state GetTransportState() const { return m_state.load(); }
  // Stores `value` and returns the state it replaced.
  state SetTransportState(state value) { return m_state.exchange(value); }

 private:
  static constexpr size_t kMaxSidLength = 64;
  static constexpr size_t kMaxCidLength = 255;

  std::atomic<state> m_state{stateNew};
  std::array<char, kMaxSidLength + 1> m_sid{};
  std::array<char, kMaxCidLength + 1> m_cid{};
  bool m_secure = false;
  bool m_keepAlive = false;
  bool m_unused = false;
  int32_t m_result = kResultNone;
  int32_t m_idleTimeout = 0;

  // The reply as it arrives: head and body, and how many of its bytes are in.
  std::array<uint8_t, kZeroHandshakeHeadSize + kZeroHandshakeMaxBody> m_reply{};
  size_t m_replyFill = 0;
};
