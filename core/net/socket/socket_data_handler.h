#pragma once
// The data handler: the record of one socket's descriptor, endpoint, flags, state, pending data
// and callback chain. Every socket is its own data handler; the network loop polls handlers and
// the helpers act on them.
//
// Threads: the flags word, the descriptor, its edition and the state may be read and written
// from any thread (atomics). The other fields are written by the owner before the socket is
// handed to the loop and afterwards only on the loop's thread.

#include <atomic>
#include <cstdint>
#include <memory>

class HXNetMessage;
class HXTLSHandler;
class HXZAEndpointHolder;
class HXZASocketCallbacks;
class HXZASocketHelper;
class HX_SocketCallbackLink;

// What the last receive through the handler's helper found. A receive returns 0 both when the
// peer closed the stream and when there was nothing to read; this tells the two apart.
enum class HXZRecvStatus : uint8_t {
  none,         // nothing received yet
  data,         // bytes arrived (or an empty datagram)
  wouldBlock,   // nothing there now (EAGAIN, EINTR): wait for the next readiness
  endOfStream,  // the peer closed its side of the stream in order
  failed,       // a hard error: the connection is broken
};

// What the last send through the handler's helper found; a send that moved 0 bytes may only mean
// "not now".
enum class HXZSendStatus : uint8_t {
  none,        // nothing sent yet
  sent,        // bytes left (or nothing was asked to move)
  wouldBlock,  // the send buffer is full (EAGAIN, EINTR): wait for writability
  failed,      // a hard error: the connection is broken
};

class HXZADataHandler {
 public:
  // Flag bits. The low 16 bits are ORed into the poll events, and the ready-to-send request has
  // the value of ZMQ_POLLOUT.
  static constexpr uint32_t kReadyToSend = 2;
  static constexpr uint32_t kBufferedData = 0x10000;

  // A native socket: no ZeroMQ socket, edition 1, flags 0, inactive, no endpoint.
  HXZADataHandler(int handle, HXZASocketCallbacks* callbacks, int family, int type, int protocol);
  // A ZeroMQ socket: descriptor 0, family, type and protocol -1.
  HXZADataHandler(void* zmq_socket, HXZASocketCallbacks* callbacks);
  // Copies socket, descriptor, chain top, endpoint (shared), family, type, protocol, flags and
  // state. The edition restarts at 1; data buffer and TLS slot stay empty, and so the
  // buffered-data flag is not copied either.
  HXZADataHandler(const HXZADataHandler& other);
  HXZADataHandler& operator=(const HXZADataHandler&) = delete;
  virtual ~HXZADataHandler();

  virtual HXZADataHandler* Handler() = 0;
  virtual const HXZADataHandler* Handler() const = 0;
  virtual HXZASocketHelper* Parent() = 0;
  virtual const HXZASocketHelper* Parent() const = 0;
  // A new inactive copy that the caller owns, or null.
  virtual HXZADataHandler* Clone() const = 0;
  // Swaps the ZeroMQ sockets and descriptors of two handlers and advances both editions.
  virtual void Exchange(HXZADataHandler& other) = 0;

  void SetSocket(void* zmq_socket) { m_zmqSocket = zmq_socket; }
  void* GetSocket() const { return m_zmqSocket; }
  // Forgets the ZeroMQ socket (it is not closed).
  void Free() { m_zmqSocket = nullptr; }

  // Also advances the handle edition, so that the loop drops events of the old descriptor.
  void SetHandle(int handle);
  int GetHandle() const { return m_handle.load(std::memory_order_relaxed); }
  uint32_t getHandleEdition() const { return m_edition.load(std::memory_order_relaxed); }

  // The top of the callback chain: where every event enters.
  HXZASocketCallbacks* Callback() const { return m_callbacks; }
  // Makes `link` the top above the current one and returns the top it replaced. A link that is
  // already in the chain moves to the top (it would otherwise become its own next layer).
  HXZASocketCallbacks* PushCallback(HX_SocketCallbackLink* link);
  // Unhooks `link` and returns the layer that was below it; null, changing nothing, when the
  // link is not in the chain.
  HXZASocketCallbacks* RemoveCallback(HX_SocketCallbackLink* link);

  void SetAddress(std::shared_ptr<HXZAEndpointHolder> endpoint);
  const std::shared_ptr<HXZAEndpointHolder>& GetAddress() const { return m_endpoint; }

  // Atomic OR; returns the bits that were newly set.
  uint32_t SetFlag(uint32_t bits);
  // Atomic AND with the complement; returns the flags as they were before (the cleared bits that
  // were set, together with the new flags).
  uint32_t ClearFlag(uint32_t bits);
  uint32_t GetFlags() const { return m_flags.load(std::memory_order_acquire); }

  // Only active handlers are polled and get readiness and error events. Release and acquire: what
  // a thread prepared before switching a handler on (a reset receive buffer) is what the loop's
  // first event on it sees.
  void SetState(bool active) { m_active.store(active, std::memory_order_release); }
  bool GetState() const { return m_active.load(std::memory_order_acquire); }

  int GetFamily() const { return m_family; }
  void SetFamily(int family) { m_family = family; }
  int GetType() const { return m_type; }
  int GetProtocol() const { return m_protocol; }

  // Bytes read earlier that wait to be delivered. With `take` the buffer moves out and the
  // buffered-data flag is cleared; without it the handler keeps the buffer.
  std::shared_ptr<HXNetMessage> getDataBuffer(bool take);
  // Sets the buffered-data flag exactly when the buffer holds at least one byte.
  void setDataBuffer(std::shared_ptr<HXNetMessage> buffer);

  // Carries a TLS layer from one socket object to another (adoption).
  const std::shared_ptr<HXTLSHandler>& GetTlsHandler() const { return m_tls; }
  std::shared_ptr<HXTLSHandler> YieldTlsHandler() { return std::move(m_tls); }
  void SetTlsHandler(std::shared_ptr<HXTLSHandler> tls) { m_tls = std::move(tls); }

  // Written by the helper at every receive; readers look at it when a receive returned 0.
  HXZRecvStatus GetRecvStatus() const { return m_recvStatus; }
  void SetRecvStatus(HXZRecvStatus status) { m_recvStatus = status; }
  // True when the last receive found the end of the stream or a hard error: the connection is
  // over. A receive of 0 for any other reason means: wait for the next readiness.
  bool RecvEnded() const {
    return m_recvStatus == HXZRecvStatus::endOfStream || m_recvStatus == HXZRecvStatus::failed;
  }
  // Written by the native helper at every send.
  HXZSendStatus GetSendStatus() const { return m_sendStatus; }
  void SetSendStatus(HXZSendStatus status) { m_sendStatus = status; }

 protected:
  void SetCallbackTop(HXZASocketCallbacks* callbacks) { m_callbacks = callbacks; }
  // The body of Exchange for handlers that own their descriptor.
  void SwapHandles(HXZADataHandler& other);

 private:
  void AdvanceEdition() { m_edition.fetch_add(1, std::memory_order_relaxed); }

  void* m_zmqSocket = nullptr;
  std::atomic<int> m_handle;
  std::atomic<uint32_t> m_edition{1};
  HXZASocketCallbacks* m_callbacks;
  std::shared_ptr<HXZAEndpointHolder> m_endpoint;
  int m_family;
  int m_type;
  int m_protocol;
  std::atomic<uint32_t> m_flags{0};
  std::atomic<bool> m_active{false};
  std::shared_ptr<HXNetMessage> m_dataBuffer;
  std::shared_ptr<HXTLSHandler> m_tls;
  HXZRecvStatus m_recvStatus = HXZRecvStatus::none;
  HXZSendStatus m_sendStatus = HXZSendStatus::none;
};

// A data handler that holds a reference on its helper for as long as it lives.
class HXZADataHPHolder : public HXZADataHandler {
 public:
  HXZADataHPHolder(HXZASocketHelper* helper, int handle, HXZASocketCallbacks* callbacks,
                   int family, int type, int protocol);
  HXZADataHPHolder(HXZASocketHelper* helper, void* zmq_socket, HXZASocketCallbacks* callbacks);
  // Shares the helper (one more reference).
  HXZADataHPHolder(const HXZADataHPHolder& other);
  ~HXZADataHPHolder() override;

  HXZADataHandler* Handler() override { return this; }
  const HXZADataHandler* Handler() const override { return this; }
  HXZASocketHelper* Parent() override { return m_helper; }
  const HXZASocketHelper* Parent() const override { return m_helper; }
  HXZADataHandler* Clone() const override;
  void Exchange(HXZADataHandler& other) override { SwapHandles(other); }

 private:
  HXZASocketHelper* m_helper;
};

// A bare handler without helper or callbacks, as accepting a connection returns it; a socket
// object adopts it.
class HXZANullDataHandler : public HXZADataHPHolder {
 public:
  HXZANullDataHandler(int handle, int family, int type, int protocol);

  HXZADataHandler* Handler() override { return nullptr; }
  const HXZADataHandler* Handler() const override { return nullptr; }
  HXZASocketHelper* Parent() override { return nullptr; }
  const HXZASocketHelper* Parent() const override { return nullptr; }
  HXZADataHandler* Clone() const override { return nullptr; }
  void Exchange(HXZADataHandler&) override {}
};
