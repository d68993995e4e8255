#pragma once
// HXZTransport: the client's one persistent connection to its conferencing server.
//
// ConnectServer opens a TCP connection (with a TLS layer unless TLS is denied), runs the plain
// transport handshake and, when the server grants it, the secure handshake on the same socket,
// and from then on carries transport messages both ways: QueuePacket queues outgoing messages,
// which are written when the socket is ready (enciphered after a secure handshake); incoming
// messages go to the service manager they name. A periodic life check and an on-demand ping
// watch the link.
//
// Two signals report what happens:
//   sigServerUpdate (parameters, host, result code, keep-alive): a connect attempt ended, in
//     the connected state (host = the remote address) or in a failed handshake (host = the
//     parameters' server address; the code is the handshake's result, 1 for a failed TCP
//     connect);
//   sigServerUnavailable (server address, port, reason): the server was lost. Reasons: 0 the
//     connect time limit ran out; -1 a failure that also gave a failed server update; -2 the
//     server sent "d"; -3 a failure during the handshakes with a plain result of 0; -4 the
//     established connection failed; 2 x idle time-out: the server stayed silent while data
//     waited to go out.
//
// States: 0 idle, 1 TCP connect, 2 plain handshake, 3 secure handshake, 4 connected, 5 failed
// (which passes straight on to 0).
//
// Threads: the public operations may be called from any thread; socket events, the connect
// time-limit check and the unavailable notification run on the network loop thread, the life
// check on the loop's worker pool. The transport is its own recursive lock: a signal handler may
// call back into it on the same thread.

#include <atomic>
#include <cstdint>
#include <memory>

#include "core/base/lock.h"
#include "core/base/signal.h"
#include "core/net/socket/connect_checker.h"
#include "core/net/socket/native_socket_details.h"
#include "core/net/socket/socket_callbacks.h"
#include "core/transport/guarded_call.h"
#include "core/wire/transport_connection_param.h"

class HXHelperHandshakeSecure;
class HXHelperHandshakeSimple;
class HXSockAddr;
class HXZTransportConnection;
class HX_ClientMessage;
struct HX_FixedPartMessage;

namespace hx::transport {
// The code a transport control message carries as the first character of its extra string.
enum class managing : char {
  ping = 'p',        // sent by the client
  disconnect = 'd',  // sent by the server: it drops the connection
};
}  // namespace hx::transport

// What the transport's socket tells its owner beyond the callback chain.
class HXZTransportConnectionCallback {
 public:
  virtual ~HXZTransportConnectionCallback();
  virtual void onConnectionError() = 0;
};

class HXZTransport : public HX_SocketCallbackLink,
                     public HXLock,
                     public HXZTransportConnectionCallback {
 public:
  enum State : int32_t {
    stateIdle = 0,
    stateConnecting = 1,
    stateHandshake = 2,
    stateSecureHandshake = 3,
    stateConnected = 4,
    stateFailed = 5,
  };

  // Reason codes of sigServerUnavailable besides the positive life-check reason.
  static constexpr long kReasonTimeLimit = 0;
  static constexpr long kReasonConnectFailed = -1;
  static constexpr long kReasonServerDisconnect = -2;
  static constexpr long kReasonHandshakeFailed = -3;
  static constexpr long kReasonConnectionLost = -4;

  class HXTransportPacketManager;

  HXZTransport();
  ~HXZTransport() override;
  HXZTransport(const HXZTransport&) = delete;
  HXZTransport& operator=(const HXZTransport&) = delete;

  hx::Signal3<const char*, unsigned short, long> sigServerUnavailable;
  hx::Signal4<HX_TransportConnectionParam, const char*, int, bool> sigServerUpdate;

  // Starts connecting to the server of `param` (dropping a connection that exists, without a
  // signal for it); the attempt counts as failed with reason 0 when the connected state is not
  // reached within `timeLimitMs`. True when the TCP connect was started; false, in state 0, when
  // the address is empty ("Empty address") or the connect could not start.
  bool ConnectServer(std::shared_ptr<HX_TransportConnectionParam> param, uint64_t timeLimitMs);
  // Drops the connection without a signal. Always true.
  bool DisconnectServer();
  // Takes over `message` and queues it. True when the connection is up and sending was asked
  // for; in the other states false, and the message waits in the queue until the connected
  // state is reached (the next ConnectServer deletes what still waits).
  bool QueuePacket(HX_ClientMessage* message);
  // As QueuePacket at the front of the queue; the caller holds the transport's lock.
  bool QueuePacketFirst(HX_ClientMessage* message);
  // The next sequence number of an outgoing message: 1, 2, ...
  uint32_t GetNextSequence();

  // The connection's local and remote address while connected; empty otherwise.
  HXZNativeSocketDetails GetTransportAddress();
  // The connection's local address while connected; false otherwise.
  bool getLocalBind(HXSockAddr& address);
  std::shared_ptr<HX_TransportConnectionParam> getConnectionParam();
  // The keep-alive flag the plain handshake settled.
  bool getKeepAlive();
  State getTransportState() const { return m_state.load(); }
  // The result code of the last connect attempt, as sigServerUpdate reports it: 0 connected,
  // 1 the TCP connect failed, else the secure handshake's result when it failed (a failure that
  // gives no server update), else the plain handshake's; 255 while an attempt is under way.
  int getHandshakeResult() const { return m_handshakeResult.load(); }

  // Sends a ping while connected and counts the server unavailable when the ping has still not
  // left the client 3000 ms later. False unless connected.
  bool pingServer();
  // Something arrived: the server is alive.
  void UpdateLifeTime();
  void OnTransportConnect();

  // Socket events, on the network loop thread.
  int32_t OnReadyRecvImp(HXZASocket* socket, HXZADataHandler* handler) override;
  int32_t OnReadySendImp(HXZASocket* socket, HXZADataHandler* handler) override;
  void OnClose(HXZADataHandler* closed) override;
  void OnError() override;
  void onConnectionError() override;

 private:
  friend class HXTransportPacketManager;
  friend class HXZTransportTestPeer;  // tests drive the packet manager without a socket

  bool connectServerInt(bool keepClientId);
  void WaitUntilTheLoopLetsGo();
  void _disconnectServer();
  // `from`: the socket whose event asks for the change; the change is dropped when that socket
  // is no longer the current connection (null: no such check).
  bool SetTransportState(State state, const HXZASocket* from = nullptr);
  void SwitchNextState(int32_t managerState, const HXZASocket* from);
  // Both run under the lock that stored the state, and release it before they emit.
  void EnterConnected(HXSoftLock& lock);
  void EnterFailed(State old, HXSoftLock& lock);
  // Delayed checks; each carries the connection counter of its scheduling.
  void OnCheckTransportState(int counter);
  void onCheckLifeTime(int counter);
  void notifyServerUnavailableSockThread(long reason, int counter);
  void scheduleCheckPingJob(int counter, uint64_t delayMs);
  void resetCheckPingJob(uint32_t jobId);
  void reScheduleCheckPingJob(uint64_t delayMs);
  void SendTransportPacket(hx::transport::managing code);
  bool QueueMessage(HX_ClientMessage* message, bool front);
  // Emits sigServerUnavailable with the server of the current parameters.
  void emitServerUnavailable(long reason);
  // How long until the next life check: `period`, but never less than a second, so that a
  // tiny idle time-out from the server cannot make the check spin.
  static uint32_t LifeCheckDelay(int64_t period);

  // Dispatch of received messages (the packet manager's readers).
  bool ProcessTransportPacket(const HX_FixedPartMessage* message);
  bool ProcessClientPacket(const HX_FixedPartMessage* message);
  void OnTransportDisconnect();

  // Lets delayed checks reach the transport only while it lives.
  const std::shared_ptr<HXGuardedTarget<HXZTransport>> m_guard;
  std::atomic<HXZADataManager*> m_dataManager{nullptr};
  // Written under the lock; the socket events compare against it without the lock.
  std::atomic<HXZTransportConnection*> m_connection{nullptr};
  HXConnectTCPDataManager m_connectDataManager;
  std::atomic<State> m_state{stateIdle};
  std::unique_ptr<HXHelperHandshakeSimple> m_handshakeSimple;
  std::unique_ptr<HXHelperHandshakeSecure> m_handshakeSecure;
  std::unique_ptr<HXTransportPacketManager> m_packetManager;
  std::atomic<uint32_t> m_sequence{0};
  std::atomic<int> m_connectionCounter{0};
  int64_t m_lastQueuedTime = 0;
  std::atomic<int32_t> m_silentChecks{0};  // reset by the readers without the lock
  uint32_t m_firstSilentSequence = 0;
  std::shared_ptr<HX_TransportConnectionParam> m_param;
  uint32_t m_pingJobId = 0;
  std::atomic<int> m_handshakeResult{255};

  // Tests only: called on the entering thread at the entry of states 4 and 5, once the state is
  // stored, so that a test can start a competing connect exactly there.
  static inline void (*s_stateEntryHook)(HXZTransport*, State) = nullptr;
};
