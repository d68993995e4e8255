#pragma once
// HXZeroHandshakeSimple: the zero-handshake ping, which checks a direct TCP path between two
// clients of one conference before a media stream is set up on it.
//
// The connecting form (made by HXZServer::implantNative; the four integers are not looked at)
// connects to an address of the peer with `Ping` and sends a "_HX_PING_" request naming the
// conference, itself and the peer (core/transport/ping_record.h); it waits for the answer. When the
// peer closes without answering a request that carried a container, it connects once more and
// sends a request without one. The accepting form is made over the data handler of an accepted
// connection (HXZServer::inheritNative, typically from a handler of the protocol probe's ping
// signal, the bytes the probe read staying in the buffer) and is started with `Accept`: it reads
// the request, asks its accept-request handlers, and answers with the names swapped.
//
// Signals:
// - fireZeroHSDone (this): once, when the exchange ends; not on the accepting side when a request
//   was invalid or refused. The result code (GetResult, hx::ping::Result) says how it ended; on
//   success (1) both socket addresses of the working path are recorded.
// - fireWantAccept (this, flag): on the accepting side when a valid request arrived; the flag
//   starts true and a handler clears it to refuse (the connection is then closed unanswered).
// Both are emitted on the network loop's thread while the object is intact; every end goes through
// Stop, which hands the object to the loop for deletion. Nobody touches the object after its done
// signal (or after Ping returned false).
//
// States: 0 stopped, 1 connecting, 2 accepting (waiting for the request), 3 accepting (answer
// going out), 4 connecting side sending the request, 5 waiting for the answer.
//
// Threads: all callbacks run on the loop's thread; Ping (any thread) and Stop take the object's
// lock, so that a Ping from its caller's thread and a Stop from the loop do not overlap.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "core/base/lock.h"
#include "core/base/net_message.h"
#include "core/base/signal.h"
#include "core/net/address/sock_addr.h"
#include "core/net/socket/common_socket.h"

// Where a connecting ping goes: a host (address or name) and a port. Ping keeps it and the done
// handlers read it back.
struct HXIpSockTarget {
  std::string host;
  uint16_t port = 0;
};

class HXZeroHandshakeSimple : public HXZCommonSocket {
 public:
  enum ZeroHSState : int32_t {
    stateStopped = 0,
    stateConnecting = 1,
    stateAccepting = 2,
    stateAnswering = 3,
    stateRequesting = 4,
    stateWaitingAnswer = 5,
  };

  // The connecting form: no TLS layer, a proxy layer.
  HXZeroHandshakeSimple(HXZASocketHelper* helper, int, int, int, int);
  // The accepting form, over an accepted (or probed) connection.
  HXZeroHandshakeSimple(HXZASocketHelper* helper, HXZADataHandler& other);
  ~HXZeroHandshakeSimple() override;

  // Stores the values, enters state 1 and starts the connect to the target. False when the connect
  // cannot be started; the object has then stopped (and goes away).
  bool Ping(int32_t trial_id, const std::string& conference, const std::string& from,
            const std::string& to, const HXIpSockTarget& target);
  // Enters state 2 and activates the socket; trial id -1. Returns true.
  bool Accept();
  // Deactivates the socket, state 0, closes it silently and hands the object to the loop for
  // deletion. Only the first call acts.
  void Stop();

  void setContentVersion(int32_t version) { m_contentVersion.store(version); }
  int32_t GetZeroHSState() const { return m_state.load(); }
  void SetZeroHSState(int32_t state) { m_state.store(state); }

  int32_t GetResult() const { return m_result; }
  int32_t GetContentVersion() const { return m_contentVersion.load(); }
  int32_t GetTrialId() const { return m_trialId; }
  const std::string& GetConference() const { return m_conference; }
  const std::string& GetFrom() const { return m_from; }
  const std::string& GetTo() const { return m_to; }
  const HXIpSockTarget& GetTarget() const { return m_target; }
  const HXSockAddr& GetLocalAddr() const { return m_local; }
  const HXSockAddr& GetRemoteAddr() const { return m_remote; }

  int32_t OnReadyRecvImp(HXZASocket* socket, HXZADataHandler* handler) override;
  int32_t OnReadySendImp(HXZASocket* socket, HXZADataHandler* handler) override;
  void OnError() override;

  hx::Signal1<HXZeroHandshakeSimple const*> fireZeroHSDone;
  hx::Signal2<HXZeroHandshakeSimple const*, bool&> fireWantAccept;

 private:
  static constexpr uint64_t kInitialBuffer = 512;

  void createSendMessage(bool request);
  // Reads the record into the pending buffer: 1 complete and valid, 0 wait, -1 invalid.
  int32_t readRecord(bool head_only, uint64_t& total);
  int32_t RecvHandshakeRequest(uint64_t& total);
  int32_t RecvHandshakeAnswer(uint64_t& total);
  bool tryRestartConnection();
  void saveEndpoints();
  void emitDone();
  std::shared_ptr<HXNetMessage> pendingBuffer(uint64_t& total);
  void dropPending();

  HXSockAddr m_local;
  HXSockAddr m_remote;
  std::string m_conference;
  std::atomic<int32_t> m_contentVersion{1};
  int32_t m_result = 0;
  std::string m_from;
  std::string m_to;
  std::atomic<int32_t> m_state{stateStopped};
  HXIpSockTarget m_target;
  int32_t m_trialId = -1;
  HXNetMessage m_outgoing;
  uint64_t m_sendOffset = 0;
  HXLock m_lock;
  bool m_stopped = false;  // under m_lock
};
