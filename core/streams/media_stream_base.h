#pragma once
// HX_MediaStreamBase: one media stream of a conference (the send stream or a receive stream) and
// its life cycle. The stream owns its net handler, holds the handshake manager that finds it a
// connection, and runs: connect -> acquire the hardware -> transfer data -> after a break,
// reconnect (the hardware stays acquired) -> shut down. The send and receive streams derive from
// it and supply the hardware and notification operations.
//
// State flags (only these bits are ever set):
//   0x02 connected: the net handler holds an established connection
//   0x04 the "acquire hardware" job is scheduled
//   0x08 the hardware is being acquired
//   0x10 acquisition has run (the hardware is released at shutdown)
//   0x20 shutting down
//
// Threads: the handshake manager reports from its jobs on the network loop's worker pool and from
// the loop thread; "acquire hardware" and "stream shutdown" are urgent jobs on the worker pool;
// connection breaks come from the loop thread; the conference calls the rest. The stream lock
// guards the flags' read-modify-check sequences and the net handler's connection; the flags
// themselves change only by atomic or/and, because the frame paths read them without the lock.
// The hardware operations run without the stream lock, and no job or handshake-manager stop is
// ever waited for while it is held (the jobs take it themselves). The final clearing of 0x20 and
// the shutdown notification run under the conference's lock, taken after the stream lock has
// been released. A stream must outlive its handshake manager's reports and its jobs: the owner
// destroys it only after a completed shutdown (or before it ever started).

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/base/lock.h"
#include "core/client/fsm_shared.h"
#include "core/conference/conference_type.h"
#include "core/streams/media_stream_statistics.h"
#include "core/streams/stream_signals.h"
#include "core/transport/handshake_manager.h"

class HXIfIpAddrContainer;
class HXSockAddr;
class HX_Conference;
class HX_MediaStreamNetHandler;
class HX_MediaStreamRegularConnection;
class HX_MeetingToolsFactory;

class HX_MediaStreamBase : public HX_MediaStreamStatistics,
                           public HXHandshakeManagerBase::ListenerCallback {
 public:
  static constexpr uint32_t kConnected = 0x02;
  static constexpr uint32_t kAcquireScheduled = 0x04;
  static constexpr uint32_t kAcquiring = 0x08;
  static constexpr uint32_t kAcquired = 0x10;
  static constexpr uint32_t kShuttingDown = 0x20;
  // The handshake manager's overall time for one start, and the reconnect delay a start with no
  // delay stands for (ms).
  static constexpr uint32_t kConnectTimeLimitMs = 20000;
  static constexpr uint32_t kDefaultReconnectDelayMs = 800;
  // How long a fresh connection is kept against an accepted incoming one (ms).
  static constexpr int64_t kReplaceOnAcceptAfterMs = 5000;

  explicit HX_MediaStreamBase(HX_TickSource clock = HX_CoreTickSource());
  // Logs the state and deletes the net handler.
  ~HX_MediaStreamBase() override;

  // (role 1 sender / 2 receiver, result, conference id, peer id): the stream could not connect.
  HX_StreamUnavailableSignal unavailableSignal;

  // ---- operations of the send and receive streams
  // 1 sender, 2 receiver.
  virtual HX_StreamClient_Type getMediaStreamType() const = 0;
  // A connection attempt failed (result not 0); `trial` may be null.
  virtual void onStreamUnavailable(HX_NetTrialConnection* trial,
                                   hx::NetHandshakeConnectResult result) = 0;
  virtual bool AcquireHardware() = 0;
  virtual bool ReleaseHardware() = 0;
  // The shutdown has completed (called under the conference's lock).
  virtual void notifyStreamShuttedDown() = 0;
  // The connection carries data (called under the stream lock).
  virtual void onStartDataTransfer() = 0;
  // The connection is gone.
  virtual void onNetConnectionDone() {}
  // From the handshake manager: the last connection it watched is gone.
  void onHandshakeManagerDone() override;
  // From the handshake manager: a connection was found (result 0) or the attempt ended.
  void onHMTrialConnectDone(HX_NetConnectionBase* connection,
                            hx::NetHandshakeConnectResult result, bool isRegular) override;

  // ---- identity and wiring, before the stream starts
  void setStreamCapabilites(HX_MeetingToolsFactory* tools, HX_Conference* conference,
                            const std::string& senderId, const std::string& receiverId);
  void setNetworkId(const std::string& id);
  void setNetworkParam(hx::network::type type);
  void setReceiverId(const std::string& id);
  void setSenderId(const std::string& id);
  // Takes the handler (owned from now on) and becomes its owner.
  void setConnectionHandler(HX_MediaStreamNetHandler* handler);
  // Takes the manager and listens to it.
  void setConnectionManager(std::shared_ptr<HXHandshakeManagerBase> manager);

  // The conference's id, empty without a conference.
  std::string GetConferenceId() const;
  std::string GetSenderId() const;
  std::string GetReceiverId() const;
  std::string GetNetworkId() const;
  hx::network::type GetNetworkType() const { return m_networkType.load(); }
  // "sender", "receiver" or "unknown".
  const char* sTypeStr() const;
  HX_MeetingToolsFactory* meetingTools() const { return m_meetingTools; }
  HX_Conference* conference() const { return m_conference; }
  HX_MediaStreamNetHandler* netHandler() const { return m_netHandler; }
  uint32_t getStateFlags() const { return m_flags.load(); }
  // Whether anything of the life cycle is under way or held (any state flag set).
  bool isRunning() const { return getStateFlags() != 0; }
  uint64_t getReconnectDelay() const { return m_reconnectDelay.load(); }
  HXLock& getStreamLock() { return m_lock; }

  // ---- life cycle
  // Prepares the handler with `key` (false stops here), then starts the handshake manager with
  // the overall limit and a first delay of `delayMs`; a reconnect waits `delayMs`, or 800 ms
  // when it is 0.
  bool startConnection(const std::string& key, uint32_t delayMs);
  // The same without preparing the handler.
  bool runConnectionManager(uint32_t delayMs);
  // True when the stream is down at once; false when the shutdown goes on in jobs (ending with
  // one notifyStreamShuttedDown) or was already under way.
  bool shutdownStream();
  // Drops the connection (when there is one) and looks for a new one at once; true when a
  // search is already running; false while shutting down or when none can start.
  bool reconnectServer();
  // Whether an interface change requires a new connection: not while shutting down; always
  // when not connected; else the connection's answer.
  bool reconnectRequired(const HXIfIpAddrContainer& addresses, const HXSockAddr& local);
  // Whether an accepted incoming connection may replace this stream's connection now.
  bool reconnectOnAcceptAllowed() const;
  // The established connection broke (from the net handler, which has already dropped it).
  void onConnectionBreak(HX_MediaStreamRegularConnection* connection);
  // Caller holds the stream lock: clears 0x02 and closes the connection; false when not
  // connected.
  bool closeStreamNL();
  // The hardware chains, each step only after a true result of the previous.
  bool startStream();
  bool stopStream();
  void scheduleShutdown();
  // The stream's onNetConnectionDone, then the handler's.
  void notifyNetConnectionDone();

 protected:
  // Removes the stream's jobs, waiting for runs in progress. The destructor does it; a subclass
  // calls it first in its own destructor, so that no job calls into it while it is destroyed
  // (a shutdown job may still be leaving notifyStreamShuttedDown).
  void shutdownJobs();

 private:
  void onAcquireHardware();
  void onShutdownProgress();
  // False when the shutdown has to go on in another run of "stream shutdown".
  bool shutdownInt();
  bool reconnectServerInt(bool notify, uint32_t delayMs);
  // Clears 0x20 under the conference's lock; true (and notified) only for the call that
  // cleared it.
  bool finishShutdown(bool notify);
  void setFlags(uint32_t bits) { m_flags.fetch_or(bits); }
  void clearFlags(uint32_t bits) { m_flags.fetch_and(~bits); }
  int64_t Now() const { return m_clock(); }

  const HX_TickSource m_clock;
  HX_Conference* m_conference = nullptr;
  HX_MediaStreamNetHandler* m_netHandler = nullptr;
  std::shared_ptr<HXHandshakeManagerBase> m_handshakeManager;
  HX_MeetingToolsFactory* m_meetingTools = nullptr;
  std::string m_networkId;
  std::atomic<hx::network::type> m_networkType{0};
  std::string m_receiverId;
  std::string m_senderId;
  std::atomic<uint64_t> m_reconnectDelay{kDefaultReconnectDelayMs};
  mutable HXLock m_lock;
  std::atomic<uint32_t> m_acquireJob{0};
  // The latest "acquire hardware" job, kept after its run for the destructor.
  std::atomic<uint32_t> m_lastAcquireJob{0};
  std::atomic<uint32_t> m_flags{0};
  std::atomic<int64_t> m_connectedAt{0};
  // Runs of "stream shutdown" may overlap (the manager's report and a rescheduled run): they take
  // turns, so the hardware is released once and the notification comes after the release.
  std::mutex m_shutdownRun;
  // Every "stream shutdown" job scheduled, so that the destructor removes (or waits for) any
  // that has not finished.
  std::mutex m_jobsLock;
  std::vector<uint32_t> m_shutdownJobs;
};
