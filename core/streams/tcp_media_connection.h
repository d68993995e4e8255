#pragma once
// The TCP connections of a media stream.
//
// HX_MediaConnectionTrialTCP is one trial: it connects out to a target and sends the
// "_HX_STREAMS_" request, or it is a socket a listener accepted and read the request of, and
// answers. Its data manager is first the connect checker, then the handshake object; the results
// drive the trial states
//   0 idle, 1 connecting, 2 exchanging the handshake, 3 done, 4 failed,
// and the end (3 or 4) is reported once to the trial's listener (the handshake manager). On
// success the stream's TCP net handler moves the socket into a regular connection.
//
// HX_MediaConnectionTCP is the regular connection: its handler's packet manager does its reads
// and writes; a packet-manager result other than 0, a peer close or a socket error is a break,
// reported once to the handler (onConnectionBreak), after which the socket closes itself and is
// deleted on the network loop.
//
// Both are released only through connRecycle (never deleted by their users).
//
// Threads: the state machines and the packet managers run on the network loop's thread, in the
// socket's notifications. connectPeer, acceptPeer and start are called before the trial is handed
// to the loop or from the handshake manager's jobs; connRecycle and setSendState from any thread.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "core/net/socket/connect_checker.h"
#include "core/net/socket/socket_handy.h"
#include "core/streams/media_stream_connection.h"

class HXHelperStreamSimple;

class HX_MediaConnectionTrialTCP : public HXZTCPSocketHandy, public HX_MediaStreamTrialConnection {
 public:
  enum TrialState : int32_t {
    stateIdle = 0,
    stateConnecting = 1,
    stateHandshaking = 2,
    stateDone = 3,
    stateFailed = 4,
  };

  struct ConnectTarget {
    std::string host;
    uint16_t port = 0;
    // Nothing to connect to: the trial takes the accept path.
    bool empty() const { return host.empty() || port == 0; }
    // "host:port", the host in square brackets when it holds a colon.
    std::string text() const;
  };

  ~HX_MediaConnectionTrialTCP() override;

  // Prepares the handshake request for the owner stream's ids; keeps the target only when that
  // succeeded.
  bool connectPeer(const ConnectTarget& target);
  // Prepares the handshake response; clears the target so that start accepts. True.
  bool acceptPeer();
  // Accept path (empty target): handshaking with the socket's events on; connect path:
  // connecting to the target (by name). False when the connect request could not be made.
  bool start() override;
  // Closes the socket (when it still has one) and deletes the trial on the loop.
  void connRecycle() override;
  void setSendState(bool on) override;
  void startConnTimer(uint32_t id, uint64_t ms) override;

  int32_t OnReadyRecvImp(HXZASocket* socket, HXZADataHandler* handler) override;
  int32_t OnReadySendImp(HXZASocket* socket, HXZADataHandler* handler) override;
  void OnError() override;

  int32_t getTrialState() const { return m_state.load(); }
  const ConnectTarget& target() const { return m_target; }
  HXHelperStreamSimple* handshake() const { return m_handshake.get(); }

 protected:
  // An outgoing trial (no descriptor yet) or one over an accepted connection.
  HX_MediaConnectionTrialTCP(HXZASocketHelper* helper, HX_MediaStreamNetHandler* handler);
  HX_MediaConnectionTrialTCP(HXZASocketHelper* helper, HXZADataHandler& accepted,
                             HX_MediaStreamNetHandler* handler);

  // The handshake request of this side (ConnectStream with the owner's ids).
  virtual bool prepareRequest(HXHelperStreamSimple& handshake) = 0;
  // 1 for the sender's trial, 2 for the receiver's.
  virtual int32_t clientType() const = 0;
  virtual void onStateChanged(int32_t old_state, int32_t new_state);

 private:
  // Runs the state step for a data-manager result.
  int32_t step(int32_t result);
  void setTrialState(int32_t state);

  std::unique_ptr<HXHelperStreamSimple> m_handshake;
  HXConnectTCPDataManager m_connectManager;
  // Touched on the loop's thread only once the trial runs.
  HXZADataManager* m_dataManager = nullptr;
  ConnectTarget m_target;
  std::atomic<int32_t> m_state{stateIdle};
};

class HX_SenderConnectionTrialTCP : public HX_MediaConnectionTrialTCP {
 public:
  // Send buffer size below which the handshaking socket's buffer is raised to it.
  static constexpr int64_t kMinSendBuffer = 58400;

  // A new trial on the running network loop.
  static HX_SenderConnectionTrialTCP* create(HX_MediaStreamNetHandler* handler);
  // A trial over a connection the listener accepted (`accepted` gives up its descriptor); null
  // without a loop or descriptor.
  static HX_SenderConnectionTrialTCP* adopt(HXZADataHandler& accepted,
                                            HX_MediaStreamNetHandler* handler);

 protected:
  using HX_MediaConnectionTrialTCP::HX_MediaConnectionTrialTCP;
  bool prepareRequest(HXHelperStreamSimple& handshake) override;
  int32_t clientType() const override { return 1; }
  void onStateChanged(int32_t old_state, int32_t new_state) override;
};

class HX_ReceiverConnectionTrialTCP : public HX_MediaConnectionTrialTCP {
 public:
  static HX_ReceiverConnectionTrialTCP* create(HX_MediaStreamNetHandler* handler);
  static HX_ReceiverConnectionTrialTCP* adopt(HXZADataHandler& accepted,
                                              HX_MediaStreamNetHandler* handler);

 protected:
  using HX_MediaConnectionTrialTCP::HX_MediaConnectionTrialTCP;
  bool prepareRequest(HXHelperStreamSimple& handshake) override;
  int32_t clientType() const override { return 2; }
};

class HX_MediaConnectionTCP : public HXZTCPSocketHandy, public HX_MediaStreamRegularConnection {
 public:
  ~HX_MediaConnectionTCP() override;

  // The socket's events on.
  void start() override;
  // Closes the socket and deletes the connection on the loop (at most once, whoever asks).
  void connRecycle() override;
  void setSendState(bool on) override;
  void startConnTimer(uint32_t id, uint64_t ms) override;
  // True exactly when the socket's local address can be read and `addresses` lacks it.
  bool isReconnectRequired(const HXIfIpAddrContainer& addresses,
                           const HXSockAddr& local) override;
  // Bytes written but not yet acknowledged by the peer.
  uint64_t getSendQueueSize();
  // The packet manager; set before start.
  void setDataManager(HXZADataManager* manager) { m_dataManager = manager; }

  int32_t OnReadyRecvImp(HXZASocket* socket, HXZADataHandler* handler) override;
  int32_t OnReadySendImp(HXZASocket* socket, HXZADataHandler* handler) override;
  void OnError() override;

 protected:
  // Takes over the trial's descriptor (the trial gives it up).
  HX_MediaConnectionTCP(HX_MediaConnectionTrialTCP& trial, HX_MediaStreamNetHandler* handler);

 private:
  int32_t afterStep(int32_t result);
  // Tells the handler once, then recycles.
  void breakConnection();

  HXZADataManager* m_dataManager = nullptr;
  std::atomic<bool> m_broken{false};
  std::atomic<bool> m_recycled{false};
};

class HX_SenderConnectionTCP : public HX_MediaConnectionTCP {
 public:
  // Null when the trial has no descriptor or there is no loop. Keep-alive on, type of service 48.
  static HX_SenderConnectionTCP* fromTrial(HX_MediaConnectionTrialTCP& trial,
                                           HX_MediaStreamNetHandler* handler);

 private:
  using HX_MediaConnectionTCP::HX_MediaConnectionTCP;
};

class HX_ReceiverConnectionTCP : public HX_MediaConnectionTCP {
 public:
  // Receive buffers below this are raised to it.
  static constexpr int64_t kMinRecvBuffer = 32768;

  // Null when the trial has no descriptor or there is no loop. Keep-alive on, receive buffer of
  // at least 32768.
  static HX_ReceiverConnectionTCP* fromTrial(HX_MediaConnectionTrialTCP& trial,
                                             HX_MediaStreamNetHandler* handler);

 private:
  using HX_MediaConnectionTCP::HX_MediaConnectionTCP;
};
