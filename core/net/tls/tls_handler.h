#pragma once
// The TLS layer of client sockets: a TLS 1.2 client that an HXZCommonSocket pushes onto the top
// of its callback chain when it connects. It sees every readiness and close event first, runs the
// handshake over the socket, decrypts incoming bytes into a receive ring that the socket's Recv
// reads, and encrypts outgoing bytes into a send ring that it flushes to the network. The layers
// above see plain bytes, and their first ready-to-send event only once the handshake completed.
//
// Trust. The peer's certificate must chain to the deployment's root (the one root setting,
// hx::BuiltInRootCertificate). No host name is checked, and over TLS the transport asks for no
// secure handshake of its own: any certificate of the deployment's root is accepted for any
// server. That is the design of a private root, which issues certificates to the deployment's
// servers only.
//
// Fallback. In the fallback mode (the default) a failed handshake, a rejected certificate or a
// peer that does not speak TLS at all ends in a plain reconnect to the same endpoint. That is the
// intended mode: on a plain connection the transport demands its secure handshake, whose
// certificate check is the server's authentication.
//
// Error and timer events from below are not passed up once the handshake has started: the layer
// above learns of a lost link from a read of 0 bytes, its own time limits or its life checks.
// Before the first TLS byte an error can only be the TCP connect's own failure; the layer then
// takes itself off the chain and passes the error up, so that a refused connect is reported at
// once.
//
// Threads: the callbacks run on the network loop's thread, and the owner calls SendImpl and
// RecvImpl there too. The flags word is atomic because the owner may ask for writability from
// other threads; the rings and the engine have no lock.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/net/socket/circular_buffer.h"
#include "core/net/socket/socket_callbacks.h"
#include "core/net/tls/tls_context.h"
#include "core/net/tls/tls_engine.h"

class HXZAEndpointHolder;
class HXZCommonSocket;

class HXTLSHandler : public HX_SocketCallbackLink,
                     public std::enable_shared_from_this<HXTLSHandler> {
 public:
  // What a failed handshake leads to.
  enum Mode : int32_t {
    modeFailConnection = 0,  // the connection fails; the layer above gets OnError
    modeFallbackPlain = 2,   // the socket reconnects to the same endpoint without TLS
  };

  // The mode of layers made from now on (HXZCommonSocket::SetDefaultTlsMode writes it).
  static std::atomic<Mode> m_default_mode;

  // Handshake states.
  enum State : int32_t { stateIdle = 0, stateHandshake = 1, stateEstablished = 2, stateFailed = 3 };

  // The owner may be set later (SetOwner) for a layer that travels between sockets.
  explicit HXTLSHandler(HXZCommonSocket* owner = nullptr);
  HXTLSHandler(const HXTLSHandler&) = delete;
  HXTLSHandler& operator=(const HXTLSHandler&) = delete;
  ~HXTLSHandler() override;

  void SetOwner(HXZCommonSocket* owner) { m_owner = owner; }
  // Back to idle: engine freed, flags cleared, both rings emptied.
  void Reset();
  int32_t GetState() const { return m_state.load(std::memory_order_acquire); }
  Mode GetMode() const { return m_mode; }
  HXZTLSContext& GetContext() { return m_context; }
  // Kept for the plain reconnect after a failed handshake.
  void SetEndpoint(std::shared_ptr<HXZAEndpointHolder> endpoint);

  // The owner is closing; `notify`: the layer above is to get OnClose.
  void socketCloseRequest(bool notify);
  // Encrypts plain bytes and sends what the socket takes; returns the plain bytes accepted (0
  // while earlier records still wait to go out). The caller offers the rest again later.
  size_t SendImpl(const void* data, size_t length, int flags);
  // Decrypted bytes, taken (or only copied with `peek`).
  size_t RecvImpl(void* out, size_t length, bool peek);
  // The layer above wants (or no longer wants) ready-to-send events. Writability stays
  // requested while encrypted bytes wait to go out.
  void SendAsyncImpl(bool on);

  int32_t OnReadyRecvImp(HXZASocket* socket, HXZADataHandler* handler) override;
  int32_t OnReadySendImp(HXZASocket* socket, HXZADataHandler* handler) override;
  void OnClose(HXZADataHandler* closed) override;
  // Passes the error up (and leaves the chain) only while no TLS byte was exchanged.
  void OnError() override;
  void OnTimer(unsigned) override {}

 private:
  // Flag bits.
  static constexpr uint32_t kWantsSend = 1;       // the layer above wants ready-to-send events
  static constexpr uint32_t kPendingSend = 2;     // encrypted bytes wait in the send ring
  static constexpr uint32_t kNotifyClose = 4;     // a close was requested with notification
  static constexpr uint32_t kOwnerClosing = 8;    // the owner requested the close

  // Outcome of one network read.
  struct ReadProgress {
    size_t total = 0;         // bytes read in this event so far
    bool more = false;        // the read filled its buffer: there may be more
    bool nearlyFull = false;  // the receive ring has too little room to read
  };

  int StartHandshake();
  int HandshakeStep();
  void HandshakeWrite();
  int HandshakeRead();
  void FlushBuffers();
  // Moves the engine's output into the send ring.
  void CollectEngineOutput();
  // Decrypts everything the engine holds into the receive ring; the count.
  size_t DecryptIntoRing();
  // Sends from the send ring until it is empty or the socket takes less; true when emptied.
  bool FlushSendRing();
  // -1 the stream ended, 0 nothing decrypted, 1 progress.
  int readNetwork(ReadProgress& progress);
  void onConnectionClosed();
  void OnTlsHandshakeDone(bool ok);
  void OnSocketClosed(HXZADataHandler* closed, bool notify, bool owner_closing);
  // Takes the layer off the owner's chain and out of the owner; returns the layer that was below.
  HXZASocketCallbacks* Detach();

  Mode m_mode;
  std::shared_ptr<HXZAEndpointHolder> m_endpoint;
  std::atomic<int32_t> m_state{stateIdle};
  HXZCommonSocket* m_owner;
  CircularBuffer m_recvRing;
  CircularBuffer m_sendRing;
  HXZTLSContext m_context;
  HXTLSEngine m_engine{m_context};
  std::atomic<uint32_t> m_flags{0};
  // The peer's close notification arrived and the layer closed the socket.
  bool m_peerClosed = false;
};
