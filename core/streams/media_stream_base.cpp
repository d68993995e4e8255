#include "core/streams/media_stream_base.h"

#include "core/base/ios_log.h"
#include "core/base/stored_task.h"
#include "core/conference/model/conference.h"
#include "core/net/loop/zserver.h"
#include "core/streams/media_stream_connection.h"
#include "core/streams/media_stream_net_handler.h"

HX_MediaStreamBase::HX_MediaStreamBase(HX_TickSource clock)
    : HX_MediaStreamStatistics(clock), m_clock(std::move(clock)) {}

HX_MediaStreamBase::~HX_MediaStreamBase() {
  shutdownJobs();
  ios_log("Destroying stream. State 0x%x r %s s %s", m_flags.load(), m_receiverId.c_str(),
          m_senderId.c_str());
  if (m_handshakeManager) m_handshakeManager->setListenerCallback(nullptr);
  delete m_netHandler;
}

void HX_MediaStreamBase::shutdownJobs() {
  // Jobs that would still run on a stream being destroyed are removed first (waiting for a run in
  // progress); after a completed shutdown there are none.
  // The last "acquire hardware" job may still be in the tail of its run (its id is cleared before
  // it reconnects): wait for it, whatever the flags say.
  const uint32_t acquire = m_lastAcquireJob.exchange(0);
  if (acquire != 0) HXZServer::UnScheduleJob(acquire, true, true);
  for (;;) {
    uint32_t id = 0;
    {
      std::lock_guard<std::mutex> jobs(m_jobsLock);
      if (m_shutdownJobs.empty()) break;
      id = m_shutdownJobs.back();
      m_shutdownJobs.pop_back();
    }
    HXZServer::UnScheduleJob(id, true, true);
  }
  // A job that has just cleared its id may still be leaving the stream lock.
  { HXAutoLock lock(m_lock); }
}

// ---- identity and wiring

void HX_MediaStreamBase::setStreamCapabilites(HX_MeetingToolsFactory* tools,
                                              HX_Conference* conference,
                                              const std::string& senderId,
                                              const std::string& receiverId) {
  HXAutoLock lock(m_lock);
  m_meetingTools = tools;
  m_conference = conference;
  m_senderId = senderId;
  m_receiverId = receiverId;
}

void HX_MediaStreamBase::setNetworkId(const std::string& id) {
  HXAutoLock lock(m_lock);
  m_networkId = id;
}

void HX_MediaStreamBase::setNetworkParam(hx::network::type type) { m_networkType.store(type); }

void HX_MediaStreamBase::setReceiverId(const std::string& id) {
  HXAutoLock lock(m_lock);
  m_receiverId = id;
}

void HX_MediaStreamBase::setSenderId(const std::string& id) {
  HXAutoLock lock(m_lock);
  m_senderId = id;
}

void HX_MediaStreamBase::setConnectionHandler(HX_MediaStreamNetHandler* handler) {
  m_netHandler = handler;
  if (handler != nullptr) handler->setOwner(this);
}

void HX_MediaStreamBase::setConnectionManager(std::shared_ptr<HXHandshakeManagerBase> manager) {
  m_handshakeManager = std::move(manager);
  if (m_handshakeManager) m_handshakeManager->setListenerCallback(this);
}

std::string HX_MediaStreamBase::GetConferenceId() const {
  return m_conference != nullptr ? m_conference->getSID() : std::string();
}

std::string HX_MediaStreamBase::GetSenderId() const {
  HXAutoLock lock(m_lock);
  return m_senderId;
}

std::string HX_MediaStreamBase::GetReceiverId() const {
  HXAutoLock lock(m_lock);
  return m_receiverId;
}

std::string HX_MediaStreamBase::GetNetworkId() const {
  HXAutoLock lock(m_lock);
  return m_networkId;
}

const char* HX_MediaStreamBase::sTypeStr() const {
  switch (getMediaStreamType()) {
    case 1:
      return "sender";
    case 2:
      return "receiver";
    default:
      return "unknown";
  }
}

// ---- connecting

bool HX_MediaStreamBase::startConnection(const std::string& key, uint32_t delayMs) {
  if (m_netHandler == nullptr || !m_netHandler->startConnection(key)) return false;
  return runConnectionManager(delayMs);
}

bool HX_MediaStreamBase::runConnectionManager(uint32_t delayMs) {
  m_reconnectDelay.store(delayMs != 0 ? delayMs : kDefaultReconnectDelayMs);
  m_connectedAt.store(0);
  return m_handshakeManager && m_handshakeManager->start(kConnectTimeLimitMs, delayMs);
}

void HX_MediaStreamBase::onHMTrialConnectDone(HX_NetConnectionBase* connection,
                                              hx::NetHandshakeConnectResult result,
                                              bool isRegular) {
  if (connection == nullptr || result != hx::NetHandshakeConnected) {
    onStreamUnavailable(dynamic_cast<HX_NetTrialConnection*>(connection), result);
    return;
  }
  m_connectedAt.store(Now());
  if (m_handshakeManager) m_handshakeManager->pause();

  HXAutoLock lock(m_lock);
  auto* regular = isRegular ? dynamic_cast<HX_MediaStreamRegularConnection*>(connection) : nullptr;
  // A report still on its way when a shutdown stopped the manager arrives after that shutdown
  // may have completed (0x20 cleared again): an idle manager means the stream is down, and the
  // connection must not bring it back up.
  const bool down = m_handshakeManager && m_handshakeManager->isDone();
  // A reconnect that checked the flags just before the last connection was found can still kick
  // the manager into finding another: the held connection stays, the newcomer goes.
  const uint32_t refused = kShuttingDown | kConnected;
  if ((m_flags.load() & refused) != 0 || down) {
    // A trial stays its manager's to recycle.
    if (regular != nullptr) regular->connRecycle();
    return;
  }
  if (isRegular) {
    if (regular == nullptr || m_netHandler == nullptr) return;
    m_netHandler->setConnection(regular);
  } else {
    auto* trial = dynamic_cast<HX_MediaStreamTrialConnection*>(connection);
    if (trial == nullptr || trial->netHandler() == nullptr) return;
    regular = trial->netHandler()->createStreamFromConnected(trial);
    if (regular == nullptr) return;
  }
  if (m_handshakeManager) m_handshakeManager->watchForDone(regular);
  setFlags(kConnected | kAcquireScheduled);
  const uint32_t job = HXZServer::ScheduleUrgentJob(
      HXCallback::Save(this, &HX_MediaStreamBase::onAcquireHardware), 0, "acquire hardware");
  m_acquireJob.store(job);
  m_lastAcquireJob.store(job);
}

void HX_MediaStreamBase::onAcquireHardware() {
  {
    HXSoftLock lock(m_lock, true);
    clearFlags(kAcquireScheduled);
    const uint32_t flags = m_flags.load();
    if ((flags & (kShuttingDown | kConnected)) != kConnected) {
      m_acquireJob.store(0);
      if ((flags & kShuttingDown) != 0) return;
      // The connection broke before the job ran: its break found 0x04 set and left the
      // reconnect to this job, so that no second connection (and job) overlaps this one.
      lock.Unlock();
      reconnectServerInt(false, 0);
      return;
    }
    setFlags(kAcquiring);
  }
  startStream();

  HXSoftLock lock(m_lock, true);
  // Set whatever the results: the release at shutdown is guarded by the streams themselves.
  setFlags(kAcquired);
  const uint32_t flags = m_flags.load();
  if ((flags & kShuttingDown) != 0) {
    clearFlags(kAcquiring);
  } else if ((flags & kConnected) == 0) {
    // The connection broke while the hardware was being acquired: its break found 0x08 set and
    // left the reconnect to this job.
    clearFlags(kAcquiring);
    m_acquireJob.store(0);
    lock.Unlock();
    reconnectServerInt(false, 0);
    return;
  } else {
    m_netHandler->runConnection();
    onStartDataTransfer();
    clearFlags(kAcquiring);
  }
  m_acquireJob.store(0);
}

bool HX_MediaStreamBase::startStream() {
  if (m_netHandler != nullptr && !m_netHandler->beforeAcquireHardware()) return false;
  if (!AcquireHardware()) return false;
  return m_netHandler == nullptr || m_netHandler->afterAcquireHardware();
}

bool HX_MediaStreamBase::stopStream() {
  if (m_netHandler != nullptr && !m_netHandler->beforeReleaseHardware()) return false;
  if (!ReleaseHardware()) return false;
  return m_netHandler == nullptr || m_netHandler->afterReleaseHardware();
}

// ---- reconnecting

void HX_MediaStreamBase::onConnectionBreak(HX_MediaStreamRegularConnection*) {
  {
    HXAutoLock lock(m_lock);
    clearFlags(kConnected);
  }
  reconnectServerInt(true, static_cast<uint32_t>(m_reconnectDelay.load()));
}

bool HX_MediaStreamBase::reconnectServerInt(bool notify, uint32_t delayMs) {
  if ((m_flags.load() & kShuttingDown) != 0) return false;
  if (notify) notifyNetConnectionDone();
  {
    HXAutoLock lock(m_lock);
    // A scheduled or running "acquire hardware" job reconnects itself when it finds the
    // connection gone.
    if ((m_flags.load() & (kConnected | kAcquireScheduled | kAcquiring | kShuttingDown)) != 0) {
      return false;
    }
  }
  m_connectedAt.store(0);
  return m_handshakeManager && m_handshakeManager->kick(delayMs);
}

bool HX_MediaStreamBase::reconnectServer() {
  const size_t trials = m_handshakeManager ? m_handshakeManager->getConnectionCount() : 0;
  bool notify = false;
  {
    HXAutoLock lock(m_lock);
    if (trials != 0 && m_handshakeManager->isConnecting()) return true;
    if ((m_flags.load() & kShuttingDown) != 0) return false;
    if ((m_flags.load() & kConnected) != 0) notify = closeStreamNL();
  }
  return reconnectServerInt(notify, 0);
}

bool HX_MediaStreamBase::closeStreamNL() {
  if ((m_flags.load() & kConnected) == 0) return false;
  clearFlags(kConnected);
  return m_netHandler != nullptr && m_netHandler->closeConnection();
}

bool HX_MediaStreamBase::reconnectRequired(const HXIfIpAddrContainer& addresses,
                                           const HXSockAddr& local) {
  HXAutoLock lock(m_lock);
  const uint32_t flags = m_flags.load();
  if ((flags & kShuttingDown) != 0) return false;
  if ((flags & kConnected) == 0) return true;
  return m_netHandler != nullptr && m_netHandler->isReconnectRequired(addresses, local);
}

bool HX_MediaStreamBase::reconnectOnAcceptAllowed() const {
  const int64_t at = m_connectedAt.load();
  return at == 0 || Now() - at > kReplaceOnAcceptAfterMs;
}

void HX_MediaStreamBase::notifyNetConnectionDone() {
  onNetConnectionDone();
  if (m_netHandler != nullptr) m_netHandler->onNetConnectionDone();
}

// ---- shutting down

bool HX_MediaStreamBase::shutdownStream() {
  if ((m_flags.load() & kShuttingDown) != 0) return false;
  {
    HXAutoLock lock(m_lock);
    if ((m_flags.load() & kShuttingDown) != 0) return false;
    if (m_flags.load() == 0 && (!m_handshakeManager || m_handshakeManager->isDone())) return true;
    setFlags(kShuttingDown);
  }
  // The manager's stop waits for its jobs, and they report to this stream under its lock: the
  // lock is released while it runs. A connection found meanwhile sees 0x20 and is recycled.
  const bool idle = !m_handshakeManager || m_handshakeManager->stop();
  if (idle) {
    if (m_flags.load() == kShuttingDown) return finishShutdown(false);
    scheduleShutdown();
    return false;
  }
  bool closed = false;
  {
    HXAutoLock lock(m_lock);
    closed = closeStreamNL();
  }
  // The manager calls onHandshakeManagerDone once the closed connection is gone.
  if (closed) notifyNetConnectionDone();
  return false;
}

void HX_MediaStreamBase::onHandshakeManagerDone() {
  if ((m_flags.load() & kShuttingDown) != 0) scheduleShutdown();
}

void HX_MediaStreamBase::scheduleShutdown() {
  const uint32_t id = HXZServer::ScheduleUrgentJob(
      HXCallback::Save(this, &HX_MediaStreamBase::onShutdownProgress), 0, "stream shutdown");
  if (id == 0) return;
  std::lock_guard<std::mutex> jobs(m_jobsLock);
  m_shutdownJobs.push_back(id);
}

void HX_MediaStreamBase::onShutdownProgress() {
  std::lock_guard<std::mutex> turn(m_shutdownRun);
  if (m_flags.load() != 0 && shutdownInt()) finishShutdown(true);
}

bool HX_MediaStreamBase::shutdownInt() {
  if (m_flags.load() == kShuttingDown) return true;
  uint32_t job = 0;
  {
    HXAutoLock lock(m_lock);
    if ((m_flags.load() & (kAcquireScheduled | kAcquiring)) != 0) job = m_acquireJob.load();
  }
  if (job != 0) {
    ios_log("HW acquiring while shutting down stream %s", sTypeStr());
    // Waits for a run in progress, which takes the stream lock in its last step: the lock is
    // not held here.
    HXZServer::UnScheduleJob(job, true, true);
    m_acquireJob.store(0);
    clearFlags(kAcquireScheduled | kAcquiring);
  }
  if ((m_flags.load() & kAcquired) != 0) {
    stopStream();
    clearFlags(kAcquired);
  }
  const uint32_t flags = m_flags.load();
  if (flags != kShuttingDown && flags != 0) {
    scheduleShutdown();
    return false;
  }
  return true;
}

bool HX_MediaStreamBase::finishShutdown(bool notify) {
  std::unique_ptr<HXAutoLock> conferenceLock;
  if (m_conference != nullptr) conferenceLock = std::make_unique<HXAutoLock>(m_conference->getLock());
  const bool cleared = (m_flags.fetch_and(~kShuttingDown) & kShuttingDown) != 0;
  if (cleared && notify) notifyStreamShuttedDown();
  return cleared;
}
