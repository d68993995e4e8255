#include "core/conference/store/conf_storage.h"

#include <cctype>
#include <climits>
#include <utility>

#include "core/base/cpu_load.h"
#include "core/base/stored_task.h"
#include "core/client/fsm_shared.h"
#include "core/conference/conf_manager.h"
#include "core/net/loop/zserver.h"
#include "core/transport/session.h"

HX_ConfStorage::HX_ConfStorage(HXFSMShared* fsm, std::shared_ptr<HX_TransportSession> transport)
    : m_fsm(fsm), m_transport(std::move(transport)) {}

HX_ConfStorage::~HX_ConfStorage() { stopJobs(); }

void HX_ConfStorage::stopJobs() {
  // No job may run into a store that is going away: from now on nothing is scheduled, and every
  // job scheduled before is removed, a running one waited for.
  std::set<uint32_t> jobs;
  {
    HXAutoLock guard(m_jobsLock);
    m_stopping = true;
    jobs.swap(m_jobs);
  }
  for (uint32_t id : jobs) HXZServer::UnScheduleJob(id, true, true);
}

uint32_t HX_ConfStorage::scheduleJob(HXStoredTask* task, uint32_t delayMs, const char* name) {
  HXAutoLock guard(m_jobsLock);
  if (m_stopping) {
    delete task;
    return 0;
  }
  const uint32_t id = HXZServer::ScheduleJob(task, delayMs, name);
  if (id != 0) m_jobs.insert(id);
  return id;
}

// ---- listeners

std::shared_ptr<hx::CallbackWrapper<hx::ConfStorageListener>> HX_ConfStorage::createCallbackData(
    std::weak_ptr<hx::ConfStorageListener> listener, const uint32_t&) {
  return std::make_shared<hx::CallbackWrapper<hx::ConfStorageListener>>(std::move(listener));
}

bool HX_ConfStorage::beforeErase(uint32_t, hx::CallbackWrapper<hx::ConfStorageListener>&) {
  return true;
}

uint32_t HX_ConfStorage::addListener(std::shared_ptr<hx::ConfStorageListener> listener,
                                     uint32_t createParam) {
  if (!listener) return 0;
  HXAutoLock guard(m_wlock);
  // A listener registered again (a second wiring of the client object) keeps its one entry, so
  // that it is not told every change twice.
  for (const auto& [id, record] : recordsNL()) {
    if (record->lockCallback() == listener) return id;
  }
  return addListenerNL(listener, createParam);
}

std::vector<std::shared_ptr<hx::ConfStorageListener>> HX_ConfStorage::listeners() {
  std::vector<std::shared_ptr<hx::ConfStorageListener>> live;
  HXAutoLock guard(m_wlock);
  for (const auto& [id, record] : recordsNL()) {
    if (auto listener = record->lockCallback()) {
      live.push_back(std::move(listener));
    } else {
      removeListenerNL(id);
    }
  }
  return live;
}

void HX_ConfStorage::forEachListener(const std::function<void(hx::ConfStorageListener*)>& f) {
  // The lock is released before the listeners run, so that they may take the store's lock.
  for (const auto& listener : listeners()) f(listener.get());
}

void HX_ConfStorage::setListenerSequence(uint32_t value) {
  HXAutoLock guard(m_wlock);
  setSequenceNL(value);
}

void HX_ConfStorage::setDelaysForTest(uint32_t deleteMs, uint32_t destroyRetryMs) {
  m_deleteDelayMs = deleteMs;
  m_destroyRetryMs = destroyRetryMs;
}

// ---- counts

uint32_t HX_ConfStorage::bumpSequence() {
  uint32_t sequence = ++m_changeSeq;
  if (sequence == 0) sequence = ++m_changeSeq;
  return sequence;
}

uint32_t HX_ConfStorage::updateConfCount(conference::State oldState, conference::State newState) {
  if (oldState == newState) return 0;
  std::atomic<uint32_t>* counts[4] = {nullptr, &m_requested, &m_joined, &m_deleted};
  if (oldState >= 1 && oldState <= 3 && counts[oldState]->load() != 0) --*counts[oldState];
  if (newState >= 1 && newState <= 3) ++*counts[newState];
  return bumpSequence();
}

void HX_ConfStorage::notifyConfCountChanged(uint32_t sequence) {
  // A later change has its own notification coming: this one would report stale counts.
  if (sequence != m_changeSeq.load()) return;
  forEachListener([this](hx::ConfStorageListener* listener) {
    listener->onConfCountChange(m_requested.load(), m_joined.load(), m_deleted.load());
  });
}

void HX_ConfStorage::getConferenceCount(unsigned& requested, unsigned& joined, unsigned& deleted) {
  HXAutoLock guard(m_wlock);
  requested = m_requested.load();
  joined = m_joined.load();
  deleted = m_deleted.load();
}

void HX_ConfStorage::getConfCounts(uint32_t& requested, uint32_t& joined, uint32_t& deleted) const {
  requested = m_requested.load();
  joined = m_joined.load();
  deleted = m_deleted.load();
}

// ---- transport notices

void HX_ConfStorage::setNetworkType(uint32_t type, const HXIfIpAddrContainer& interfaces) {
  HXAutoLock guard(m_wlock);
  if (type != 0) m_ifAddrs = interfaces;
  m_networkType = type;
}

void HX_ConfStorage::updateServerMediaEPList(const std::string& serverId,
                                             const HX_TransportEndpointList& endpoints) {
  HXAutoLock guard(m_wlock);
  for (const auto& [id, conference] : m_table) {
    if (conference->getServerId() == serverId) conference->updateServerMediaEPlist(endpoints);
  }
}

// ---- active conference

void HX_ConfStorage::setActiveNL(HX_Conference* conference) {
  bool wasNone = false;
  {
    HXAutoLock guard(m_rlock);
    wasNone = m_active == nullptr;
    m_active = conference;
  }
  if (wasNone && conference != nullptr) onCpuLoadCheckTimer();
}

void HX_ConfStorage::electActiveNL() {
  HX_Conference* previous = nullptr;
  {
    HXAutoLock guard(m_rlock);
    previous = m_active;
    m_active = nullptr;
  }
  HX_Conference* chosen = nullptr;
  for (const auto& [id, conference] : m_table) {
    HX_Conference* c = conference.get();
    if (c == previous) continue;
    if (c->getState() == conference::kStateJoined) {
      chosen = c;
      break;
    }
    if (c->getState() == conference::kStateRequested &&
        (chosen == nullptr || (!chosen->isVerified() && c->isVerified()))) {
      chosen = c;
    }
  }
  if (chosen != nullptr) setActiveNL(chosen);
}

void HX_ConfStorage::onConferenceStateChanged(ConferenceLock& lock, conference::State oldState,
                                              conference::State newState) {
  if (oldState == newState) return;
  HX_Conference* conference = lock.conference();
  // A conference that left the table while a handler held its lock (deleted meanwhile) neither
  // becomes the active one, which would outlive it, nor counts: its deletion has been counted.
  const auto listed = m_table.find(conference->getId());
  if (listed == m_table.end() || listed->second.get() != conference) return;
  switch (newState) {
    case conference::kStateRequested:
      if (m_active == nullptr) setActiveNL(conference);
      break;
    case conference::kStateJoined:
      if (m_active == nullptr ||
          (m_active != conference && m_active->getState() != conference::kStateJoined)) {
        setActiveNL(conference);
      }
      break;
    case conference::kStateNew:
    case conference::kStateDeleted:
      if (m_active == conference) electActiveNL();
      break;
    default:
      break;
  }
  const uint32_t sequence = updateConfCount(oldState, newState);
  if (sequence != 0) {
    const bool held = lock.TempUnlock();
    notifyConfCountChanged(sequence);
    if (held) lock.ReLock();
  }
}

bool HX_ConfStorage::activeConferenceWLock(ConferenceLock& lock) {
  lock.Lock(m_wlock);
  if (m_active == nullptr) {
    lock.Unlock();
    return false;
  }
  lock.set(m_active);
  return true;
}

bool HX_ConfStorage::activeConferenceRLock(ConferenceLock& lock) {
  // The fields a reader copies (SID, name, owner, peers) change under the write lock alone, so
  // the reader holds it too, taken before the read lock as every writer does.
  lock.Lock(m_wlock);
  HX_Conference* active = nullptr;
  {
    HXAutoLock guard(m_rlock);
    active = m_active;
  }
  if (active == nullptr) {
    lock.Unlock();
    return false;
  }
  lock.set(active);
  return true;
}

HX_Conference_Type HX_ConfStorage::currConferenceType() {
  HXAutoLock write(m_wlock);
  HXAutoLock read(m_rlock);
  return m_active != nullptr ? m_active->getType() : 0;
}

// ---- lookups

bool HX_ConfStorage::isSuitable(ConfSearchType filter, HX_Conference_Type type) {
  if (filter == kAnyConference) return true;
  if (filter == kAnyGroupConference) return HX_Conference::isGroupConf(type);
  return static_cast<HX_Conference_Type>(filter) == type;
}

HX_Conference* HX_ConfStorage::getConferenceNL(const std::string& SID) {
  const auto found = m_sidIndex.find(SID);
  return found == m_sidIndex.end() ? nullptr : getConferenceNL(found->second);
}

HX_Conference* HX_ConfStorage::getConferenceNL(int32_t id) {
  const auto found = m_table.find(id);
  return found == m_table.end() ? nullptr : found->second.get();
}

namespace {

// Records `found` in the guard, or releases the lock.
bool Hold(ConferenceLock& lock, HX_Conference* found) {
  if (found == nullptr) {
    lock.Unlock();
    return false;
  }
  lock.set(found);
  return true;
}

}  // namespace

bool HX_ConfStorage::getConferenceLock(ConferenceLock& lock, const std::string& SID) {
  lock.Lock(m_wlock);
  return Hold(lock, getConferenceNL(SID));
}

bool HX_ConfStorage::getConferenceLock(ConferenceLock& lock, int32_t id) {
  lock.Lock(m_wlock);
  return Hold(lock, getConferenceNL(id));
}

size_t HX_ConfStorage::getConferenceByTypeCountNL(HX_Conference*& first, ConfSearchType type,
                                                  conference::Ownership ownership) {
  first = nullptr;
  size_t count = 0;
  for (const auto& [id, c] : m_table) {
    if (!isSuitable(type, c->getType()) || !c->isOwner(ownership)) continue;
    if (first == nullptr) first = c.get();
    ++count;
  }
  return count;
}

size_t HX_ConfStorage::getConferenceByTypeCountLock(ConferenceLock& lock, ConfSearchType type,
                                                    conference::Ownership ownership) {
  lock.Lock(m_wlock);
  HX_Conference* first = nullptr;
  const size_t count = getConferenceByTypeCountNL(first, type, ownership);
  Hold(lock, count != 0 ? first : nullptr);
  return count;
}

HX_Conference* HX_ConfStorage::getConferenceByTypeNL(HX_Conference_Type type, bool own) {
  for (const auto& [id, c] : m_table) {
    if (c->getType() == type && c->isOwner(1) == own) return c.get();
  }
  return nullptr;
}

HX_Conference* HX_ConfStorage::getConferenceAtStateNL(conference::State state) {
  for (const auto& [id, c] : m_table) {
    if (c->getState() == state) return c.get();
  }
  return nullptr;
}

bool HX_ConfStorage::getConferenceAtStateLock(ConferenceLock& lock, conference::State state) {
  lock.Lock(m_wlock);
  return Hold(lock, getConferenceAtStateNL(state));
}

HX_Conference* HX_ConfStorage::getConferenceByPeerNL(const char* peer, ConfSearchType type,
                                                     conference::Peer** found) {
  if (found != nullptr) *found = nullptr;
  if (peer == nullptr) return nullptr;
  for (const auto& [id, c] : m_table) {
    if (!c->isVerified() || !isSuitable(type, c->getType())) continue;
    if (conference::Peer* p = c->getPeer(peer)) {
      if (found != nullptr) *found = p;
      return c.get();
    }
  }
  return nullptr;
}

bool HX_ConfStorage::getUnverifiedConfNoOwnerLock(ConferenceLock& lock, uint32_t flags) {
  lock.Lock(m_wlock);
  for (const auto& [id, c] : m_table) {
    if (!c->isVerified() && c->getType() != 0 && c->isFlag(flags) && c->owner().empty())
      return Hold(lock, c.get());
  }
  return Hold(lock, nullptr);
}

bool HX_ConfStorage::getUnverifiedConfWithOwnerLock(ConferenceLock& lock) {
  lock.Lock(m_wlock);
  for (const auto& [id, c] : m_table) {
    if (!c->isVerified() && c->getType() != 0 && !c->owner().empty() && !c->isOwner(1))
      return Hold(lock, c.get());
  }
  return Hold(lock, nullptr);
}

HX_Conference* HX_ConfStorage::getWaitingConferenceNL() {
  for (const auto& [id, c] : m_table) {
    if (!c->isVerified() && c->isFlag(HX_Conference::kFlagCreateRequested) && c->isOwner(1))
      return c.get();
  }
  return nullptr;
}

bool HX_ConfStorage::getWaitingConferenceLock(ConferenceLock& lock) {
  lock.Lock(m_wlock);
  return Hold(lock, getWaitingConferenceNL());
}

bool HX_ConfStorage::getWaitingConferenceByUniqId(ConferenceLock& lock, const char* id,
                                                  ConfSearchType) {
  lock.Lock(m_wlock);
  // The leading decimal number of `id`, read as atoi would but bounded: no digits, or a number
  // outside the id range, names no conference.
  if (id == nullptr) return Hold(lock, nullptr);
  const char* p = id;
  while (*p != '\0' && std::isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  if (!std::isdigit(static_cast<unsigned char>(*p))) return Hold(lock, nullptr);
  int64_t value = 0;
  for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
    value = value * 10 + (*p - '0');
    if (value > static_cast<int64_t>(INT_MAX) + 1) return Hold(lock, nullptr);
  }
  if (negative) value = -value;
  if (value > INT_MAX || value < INT_MIN) return Hold(lock, nullptr);
  return Hold(lock, getConferenceNL(static_cast<int32_t>(value)));
}

HX_Conference* HX_ConfStorage::getWaitingConferenceByCallIdNL(const std::string& callId,
                                                              conference::Ownership ownership,
                                                              ConfSearchType type) {
  for (const auto& [id, c] : m_table) {
    if (!c->isVerified() && c->getCallId() == callId && isSuitable(type, c->getType()) &&
        c->isOwner(ownership)) {
      return c.get();
    }
  }
  return nullptr;
}

bool HX_ConfStorage::getWaitingConferenceByCallIdLock(ConferenceLock& lock,
                                                      const std::string& callId,
                                                      conference::Ownership ownership,
                                                      ConfSearchType type) {
  lock.Lock(m_wlock);
  return Hold(lock, getWaitingConferenceByCallIdNL(callId, ownership, type));
}

bool HX_ConfStorage::isConferencesOnServer(const std::string& serverId) {
  HXAutoLock guard(m_wlock);
  for (const auto& [id, c] : m_table) {
    const conference::State s = c->getState();
    if ((s == conference::kStateRequested || s == conference::kStateJoined) &&
        c->getServerId() == serverId)
      return true;
  }
  return false;
}

std::string HX_ConfStorage::lastConferenceSID() {
  HXAutoLock guard(m_wlock);
  return m_lastSid;
}

conference::DefaultParams HX_ConfStorage::getConferenceDefaults() {
  HXAutoLock guard(m_wlock);
  return m_defaults;
}

void HX_ConfStorage::setConferenceDefaults(const conference::DefaultParams& defaults) {
  HXAutoLock guard(m_wlock);
  m_defaults.common = defaults.common;
  m_defaults.fecc.setMyState(defaults.fecc.getMyState());
}

// ---- creation

int32_t HX_ConfStorage::nextConferenceId() {
  int32_t id = m_nextConfId.fetch_add(1);
  if (id < 1) {
    // The counter wrapped past the largest id: start again at 1.
    m_nextConfId.store(2);
    id = 1;
  }
  return id;
}

std::shared_ptr<HX_Conference> HX_ConfStorage::makeConference(int32_t id) {
  return std::make_shared<HX_Conference>(this, id, m_defaults);
}

bool HX_ConfStorage::storageRequestCreateConferenceLock(
    ConferenceLock& lock, const char* name, const char* password, const char* owner,
    unsigned long maxParticipants, uint64_t duration, HX_Conference_Type type,
    HX_GroupConf_SubType subType, HX_Conference_Scope scope, const char* topic, bool audioOnly) {
  lock.Lock(m_wlock);
  const int32_t id = nextConferenceId();
  auto conference = makeConference(id);
  if (!m_table.emplace(id, conference).second) {
    lock.Unlock();
    return false;
  }
  const std::string ownerId = owner != nullptr ? owner : "";
  conference->setOwner(ownerId, m_fsm != nullptr && m_fsm->IsMyId(ownerId.c_str()));
  conference->setParam(name, password, maxParticipants, duration, topic);
  conference->setConferenceType(type, subType, scope, audioOnly);
  lock.set(conference);
  conference->setState(lock, conference::kStateRequested);
  return true;
}

bool HX_ConfStorage::storageCreateForeignConferenceLock(
    ConferenceLock& lock, const char* SID, const char* name, const char* password,
    const char* owner, unsigned long maxParticipants, uint64_t duration, HX_Conference_Type type,
    HX_GroupConf_SubType subType, HX_Conference_Scope scope, const char* topic, bool audioOnly) {
  // An invitation without a SID names no conference that later messages could address.
  if (SID == nullptr || *SID == '\0') return false;
  lock.Lock(m_wlock);
  const std::string sid = SID;
  m_sidIndex.erase(sid);
  const int32_t id = nextConferenceId();
  auto conference = makeConference(id);
  if (!m_table.emplace(id, conference).second) {
    lock.Unlock();
    return false;
  }
  if (!m_sidIndex.emplace(sid, id).second) {
    m_table.erase(id);
    lock.Unlock();
    return false;
  }
  m_lastSid = sid;
  conference->setSID(sid, "");
  conference->setConferenceType(type, subType, scope, audioOnly);
  conference->setParam(name, password, maxParticipants, duration, topic);
  conference->flagOr(HX_Conference::kFlagVerified | HX_Conference::kFlagInvited |
                     HX_Conference::kFlagUnanswered);
  const std::string ownerId = owner != nullptr ? owner : "";
  conference->setOwner(ownerId, m_fsm != nullptr && m_fsm->IsMyId(ownerId.c_str()));
  lock.set(conference);
  conference->setState(lock, conference::kStateRequested);
  return true;
}

bool HX_ConfStorage::storageCreateConferenceCommit(ConferenceLock& lock, const char* SID,
                                                   HX_ConferenceCreated_Result result) {
  if (!lock.isLocked() || lock.conference() == nullptr) return false;
  HX_Conference* conference = lock.conference();
  if (conference->isVerified()) {
    lock.Unlock();
    return false;
  }
  const int32_t id = conference->getId();
  // A "created" answer without a SID confirms nothing that later messages could address: it
  // counts as a failed creation, so the empty SID is never indexed.
  if (result == 1 && SID != nullptr && *SID != '\0') {
    const std::string sid = SID;
    const auto found = m_sidIndex.find(sid);
    if (found != m_sidIndex.end()) {
      m_sidIndex.erase(found);
    } else if (!conference->getSID().empty()) {
      m_sidIndex.erase(conference->getSID());
    }
    m_sidIndex[sid] = id;
    conference->setSID(sid, "");
    conference->flagOr(HX_Conference::kFlagVerified);
    m_lastSid = sid;
    return true;
  }

  // Refused: counted out of its state, out of the table, destroyed by a 0 ms job.
  const uint32_t sequence = updateConfCount(conference->getState(), -1);
  std::shared_ptr<HX_Conference> strong = lock.shConference();
  const auto indexed = m_sidIndex.find(conference->getSID());
  if (indexed != m_sidIndex.end() && indexed->second == id) m_sidIndex.erase(indexed);
  m_table.erase(id);
  // The removal must not leave the active pointer to a conference the destroy job frees: clear
  // it and elect another, as a deletion does.
  if (m_active == conference) electActiveNL();
  if (strong) m_destroyList.push_back(strong);
  scheduleDestroy(id, 0);
  lock.Unlock();
  notifyConfCountChanged(sequence);
  return false;
}

void HX_ConfStorage::setConferenceSidNL(HX_Conference* conference, const std::string& SID,
                                        const std::string& domain) {
  if (conference == nullptr) return;
  if (!conference->getSID().empty()) m_sidIndex.erase(conference->getSID());
  m_sidIndex.erase(SID);
  if (!SID.empty()) m_sidIndex[SID] = conference->getId();
  conference->setSID(SID, domain);
}

// ---- waiting parameters

void HX_ConfStorage::addWaitConfParam(const std::string& SID,
                                      std::shared_ptr<WaitConferenceParamBase> parameter) {
  if (!parameter) return;
  HXAutoLock guard(m_wlock);
  auto& head = m_waitParams[SID];
  if (!head) {
    head = std::move(parameter);
    return;
  }
  // Linked in directly behind the first; the earlier followers move behind the new one.
  parameter->next = std::move(head->next);
  head->next = std::move(parameter);
}

std::shared_ptr<WaitConferenceParamBase> HX_ConfStorage::getWaitConfParam(const std::string& SID,
                                                                          int32_t kind) {
  HXAutoLock guard(m_wlock);
  const auto found = m_waitParams.find(SID);
  for (auto p = found != m_waitParams.end() ? found->second : nullptr; p; p = p->next) {
    if (p->kind == kind) return p;
  }
  return nullptr;
}

void HX_ConfStorage::clearWaitConfParam(const std::string& SID) {
  HXAutoLock guard(m_wlock);
  m_waitParams.erase(SID);
}

// ---- CPU load

void HX_ConfStorage::setCpuLoadMeasurer(std::shared_ptr<HXCpuLoad> measurer) {
  HXAutoLock guard(m_wlock);
  if (measurer && m_cpuJobId == 0) {
    m_cpuJobId =
        scheduleJob(HXCallback::Save(this, &HX_ConfStorage::onCpuLoadCheckTimer), 0, "ConfCpuLoad");
  } else if (!measurer && m_cpuJobId != 0) {
    HXZServer::UnScheduleJob(m_cpuJobId, false, true);
    m_cpuJobId = 0;
  }
  m_cpuMeter = std::move(measurer);
}

std::shared_ptr<HXCpuLoad> HX_ConfStorage::cpuLoadMeasurer() {
  HXAutoLock guard(m_wlock);
  return m_cpuMeter;
}

void HX_ConfStorage::onCpuLoadCheckTimer() {
  HXAutoLock guard(m_wlock);
  if (!m_cpuMeter) return;
  // A run already pending is replaced by the next one scheduled below (or by none).
  if (m_cpuJobId != 0) HXZServer::UnScheduleJob(m_cpuJobId, false, true);
  m_cpuJobId = 0;
  if (m_active == nullptr) {
    // The cycle starts again when a conference becomes active.
    m_cpuMeter->Reset();
    return;
  }
  m_cpuMeter->Calc();
  const int load = m_cpuMeter->GetCpuLoad();
  m_cpuLoad = load;
  for (const auto& [id, c] : m_table) c->updateCpuLoad(static_cast<uint32_t>(load));
  m_cpuJobId = scheduleJob(HXCallback::Save(this, &HX_ConfStorage::onCpuLoadCheckTimer),
                           kCpuLoadPeriodMs, "ConfCpuLoad");
}

// ---- siblings

HX_ConfManager* HX_ConfStorage::getConfManager() { return static_cast<HX_ConfManager*>(this); }
ManagerHolderBase* HX_ConfStorage::getManagerHolder() const { return m_fsm; }
HXConsoleClient* HX_ConfStorage::getConsoleClient() const {
  return m_fsm != nullptr ? m_fsm->consoleClient() : nullptr;
}
HX_ClientManager* HX_ConfStorage::getClientManager() const {
  return m_fsm != nullptr ? m_fsm->clientManager() : nullptr;
}

std::string HX_ConfStorage::getMyLogin() const {
  if (!m_transport) return std::string();
  const HX_TransportSessionData& data = *m_transport;
  return data.getLogin();
}

uint32_t HX_ConfStorage::getNetworkType() const {
  return m_fsm != nullptr ? m_fsm->GetNetworkType() : 0;
}

bool HX_ConfStorage::GetForceDisableDirectConnection() const {
  return m_fsm != nullptr && m_fsm->GetForceDisableDirectConnection();
}

HXIfIpAddrContainer HX_ConfStorage::getIfAddrList() {
  HXAutoLock guard(m_wlock);
  return m_ifAddrs;
}

std::shared_ptr<HX_UdpStreamsSupervisor> HX_ConfStorage::getUdpStreams() {
  HXAutoLock guard(m_wlock);
  return m_udpStreams;
}
