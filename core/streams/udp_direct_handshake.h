#pragma once
// UdpDirectHandshakeHelper: the hello handshake of one direct UDP trial (one local listener socket,
// one remote address of a peer). Each side sends a hello every 300 ms until an OK reply to it is
// accepted, and answers every hello it accepts with an OK reply; the round-trip time is measured
// on the way. Once both a hello and an OK reply were accepted the conversation runs on for a while
// (version 1: 3 round trips + 300 ms after the last OK reply sent; version 0: 6 s from its start)
// so that the peer hears our replies too, and then ends: state 4.
//
// A send that the socket does not take in full ends the handshake at once. Before both messages
// were accepted nothing is proven, so that ends in state 5 (failed); after both, in state 4.
//
// The helper does not own its UDP handler: it is fed the handler's events and talks back through
// two narrow interfaces, UdpDirectHandshakeHandler (the handler's queued requests to the cross
// connector) and UdpDirectHandshakeSocket (the listener socket descriptor whose callback is
// running, acting at once). Not thread-safe: every call runs on the network loop thread, under
// the conference storage lock that the owning trial list holds.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "core/net/address/sock_addr.h"
#include "core/streams/udp_direct_hello.h"
#include "core/streams/udp_direct_trial_connection.h"

class HXNetMessage;

namespace hx::streams {

// The requests the handshake makes of its UDP handler; they go through the cross connector's
// queue, so they may be made from inside any callback.
class UdpDirectHandshakeHandler {
 public:
  virtual ~UdpDirectHandshakeHandler() = default;
  // The id of the listener socket the handler is tied to; 0 when none.
  virtual uint32_t getSocketId() const = 0;
  virtual void setSendStateAsync(bool on) = 0;
  virtual void startTimer(uint32_t type, uint64_t ms) = 0;
  virtual void stopTimer(uint32_t type) = 0;
  // Moves the handler to another socket with `address` as its only binding there.
  virtual void changeSocket(uint32_t socketId, const HXSockAddr& address) = 0;
};

// The listener socket descriptor during one of its callbacks for the handler: acts at once.
class UdpDirectHandshakeSocket {
 public:
  virtual ~UdpDirectHandshakeSocket() = default;
  // The cross connector's id of the listener socket, and the address it is bound to.
  virtual uint32_t getSocketId() const = 0;
  virtual HXSockAddr getBoundAddress() const = 0;
  // The socket's SendTo with flags 0: the number of bytes it took, 0 on failure.
  virtual size_t sendTo(const void* data, size_t size, const HXSockAddr& to) = 0;
  // The handler's send readiness and timers on this socket.
  virtual void setSendState(bool on) = 0;
  virtual void startTimer(uint32_t type, uint64_t ms) = 0;
  // Binds `address` to the handler on this socket in place of its earlier bindings; false when
  // another handler owns it.
  virtual bool assocFromAddr(const HXSockAddr& address) = 0;
};

// One received datagram, valid during the call it is handed to.
struct UdpDirectDatagram {
  const void* data = nullptr;
  size_t size = 0;
  HXSockAddr source;  // where it came from
  HXSockAddr local;   // the bound address of the socket it arrived on
};

class UdpDirectHandshakeHelper {
 public:
  enum class State : uint32_t {
    kCreated = 0,     // the handler is not yet registered
    kRegistered = 1,  // the cross connector registered the handler
    kTied = 2,        // the handler is tied to its socket
    kRunning = 3,     // startHandshake
    kDone = 4,        // both messages accepted and the conversation over (or a late send failed)
    kFailed = 5,      // a send failed before both messages were accepted
    kMoved = 6,       // moving to another local socket on which a hello arrived
  };
  // The handler timer types.
  static constexpr uint32_t kHelloTimer = 1;
  static constexpr uint32_t kConversationEndTimer = 2;
  // A due time that is not armed.
  static constexpr uint64_t kTimeInactive = UINT64_MAX;
  static constexpr uint64_t kHelloInterval = 300;
  // A timer this close to its due time counts as due.
  static constexpr uint64_t kTimerSlack = 25;

  // Millisecond ticks; 0 when the clock cannot be read.
  using TickSource = std::function<uint64_t()>;

  // Takes the connection (its round-trip time reset to 0, its NAT addresses set level with its
  // own) and the own control number that the peer must echo.
  UdpDirectHandshakeHelper(udp::TrialDirectConnection&& connection, int32_t controlNumber);

  // Resets counts, times, flags and due times as construction does.
  void initVars(int32_t controlNumber);
  // Replaces the core tick clock, for simulations and tests that choose the ticks.
  void setTickSource(TickSource source) { m_tickSource = std::move(source); }

  // Hello due now, state 3, send readiness asked for.
  void startHandshake(UdpDirectHandshakeHandler& handler);
  // Sends the due OK reply, else the due hello; with neither due any more, withdraws the send
  // readiness and sees whether the conversation is over.
  void onReadySend(UdpDirectHandshakeHandler& handler, UdpDirectHandshakeSocket& socket);
  // A datagram from the trial's remote address: a hello or an OK reply; anything else is ignored.
  void onRecvMsg(UdpDirectHandshakeHandler& handler, UdpDirectHandshakeSocket& socket,
                 const UdpDirectDatagram& message);
  void onTimer(UdpDirectHandshakeHandler& handler, uint32_t type);
  // A hello for this trial that arrived outside the handler's own binding (from an unknown
  // source, or on another socket). True only in state 0 when it was accepted.
  bool applyMsg(UdpDirectHandshakeHandler& handler, UdpDirectHandshakeSocket& socket,
                const UdpDirectDatagram& message, const udp::HelloRequestData& hello);

  // The steps, public so that the owning list and tests can drive them.
  bool checkHelloRequest(const udp::HelloRequestData& hello);
  bool checkOkReply(const udp::ReplyData& reply);
  // False, nothing done, unless both a hello and an OK reply were accepted. Otherwise ends the
  // handshake or arms the conversation end; while an OK reply still waits for its send, that
  // decision is left to onReadySend, since the end is counted from the last reply sent.
  bool checkConversationDone(UdpDirectHandshakeHandler& handler, UdpDirectHandshakeSocket& socket,
                             uint64_t now);
  // True when the datagram left in full; otherwise the handshake has ended.
  bool sendHello(UdpDirectHandshakeHandler& handler, UdpDirectHandshakeSocket& socket,
                 uint64_t now);
  bool sendAck(UdpDirectHandshakeHandler& handler, UdpDirectHandshakeSocket& socket, uint64_t now);
  // Stops both timers and the send readiness; state 3 becomes 4.
  void notifyHandshakeDone(UdpDirectHandshakeHandler& handler);

  bool createHelloRequest(HXNetMessage& message, uint64_t now) const;
  bool createAnswer(HXNetMessage& message, uint64_t now) const;

  // A known round-trip time is lowered to `ms` when that is smaller; an unknown one stays 0.
  void setExtRtt(uint64_t ms);
  // Keeps the smaller of the stored and the given time; a stored 0 counts as unknown.
  void saveRtt(uint64_t ms);

  State getState() const { return m_state; }
  void setState(State state) { m_state = state; }
  const udp::TrialDirectConnection& getConnection() const { return m_connection; }
  udp::TrialDirectConnection& getConnection() { return m_connection; }
  uint32_t getOkRepliesAccepted() const { return m_okCount; }
  uint32_t getHellosSent() const { return m_hellosSent; }
  bool isHelloAccepted() const { return m_helloAccepted; }
  bool isOkReplyAccepted() const { return m_okAccepted; }
  int32_t getPeerVersion() const { return m_peerVersion; }
  // "UDP trial conn state <n> " and the connection's text; for diagnostics.
  std::string str() const;

 private:
  uint64_t now() const;
  const udp::ConferenceInfo& confInfo() const;
  // Ends the handshake after a send the socket did not take in full.
  void onSendFailed(UdpDirectHandshakeHandler& handler);
  void finish(UdpDirectHandshakeHandler& handler, State outcome);
  void updateNatSettings(const udp::HelloRequestData& data);
  void updateNatLocal(const HXSockAddr& address);
  void updateNatRemote(const HXSockAddr& address);
  // Without the peer's local endpoint: a hello on another socket of ours is taken only when that
  // socket sits on the same network, and port, as the trial's own.
  bool isSiblingSocket(const UdpDirectHandshakeHandler& handler,
                       const UdpDirectHandshakeSocket& socket) const;
  bool send(UdpDirectHandshakeSocket& socket, const HXNetMessage& message);

  uint32_t m_okCount = 0;
  bool m_helloAccepted = false;
  bool m_okAccepted = false;
  uint32_t m_hellosSent = 0;
  int32_t m_ownControlNumber = 0;
  int32_t m_peerControlNumber = 0;
  int32_t m_peerVersion = -1;
  State m_state = State::kCreated;
  udp::TrialDirectConnection m_connection;
  uint64_t m_firstHelloSent = 0;
  uint64_t m_helloDue = kTimeInactive;
  uint64_t m_okDue = kTimeInactive;
  uint64_t m_endDue = kTimeInactive;
  uint64_t m_conversationStart = 0;
  uint64_t m_lastHelloSent = 0;
  uint64_t m_peerLastSendTime = 0;
  uint64_t m_lastOkSent = 0;
  TickSource m_tickSource;
};

}  // namespace hx::streams
