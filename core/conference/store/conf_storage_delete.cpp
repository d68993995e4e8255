// The conference store's deletion path: deleting (telling the server, the delete timer),
// removing from the table and indexes, and destroying once the streams have stopped.
#include "core/base/stored_task.h"
#include "core/conference/store/conf_storage.h"
#include "core/net/loop/zserver.h"
#include "core/streams/sender_base.h"

void HX_ConfStorage::scheduleDestroy(int32_t id, uint32_t delayMs) {
  scheduleJob(HXCallback::Save(this, &HX_ConfStorage::destroyConference, id), delayMs,
              "Conf.destroy timer");
}

bool HX_ConfStorage::DeleteConference(ConferenceLock& lock, bool tellServer, bool now) {
  HX_Conference* conference = lock.conference();
  if (conference == nullptr) {
    lock.Unlock();
    return false;
  }
  const int32_t id = conference->getId();
  if (conference->isVerified()) {
    if (!tellServer) {
      lock.Unlock();
      storageConferenceDelete(id, 1);
      return true;
    }
    conference->close(lock);
    const std::string sid = conference->getSID();
    const bool sent = deleteConferenceAux(sid.c_str());
    if (now) {
      lock.Unlock();
      storageConferenceDelete(id, 1);
      return true;
    }
    setOnConferenceDeleteTimer(lock, sent);
    if (lock.isLocked()) lock.Unlock();
    return sent;
  }
  if (tellServer) deleteConferenceAux(conference->getSID().c_str());
  lock.Unlock();
  return storageConferenceDelete(id, 1);
}

bool HX_ConfStorage::DeleteConference(const char* SID, bool tellServer) {
  if (SID == nullptr) return false;
  ConferenceLock lock;
  if (!getConferenceLock(lock, std::string(SID))) return false;
  return DeleteConference(lock, tellServer, false);
}

void HX_ConfStorage::setOnConferenceDeleteTimer(ConferenceLock& lock, bool sent) {
  HX_Conference* conference = lock.conference();
  if (conference == nullptr) return;
  const int32_t id = conference->getId();
  if (sent) {
    scheduleJob(HXCallback::Save(this, &HX_ConfStorage::onConferenceDeleteTimeout, id),
                m_deleteDelayMs.load(), "Conf.delete timer");
    return;
  }
  // Nothing was queued: no answer will come, so the conference goes at once.
  lock.Unlock();
  onConferenceDeleteTimeout(id);
}

void HX_ConfStorage::onConferenceDeleteTimeout(int32_t id) {
  ConferenceLock lock;
  if (!getConferenceLock(lock, id)) return;
  if (!lock->isVerified() || lock->getState() == conference::kStateDeleted) {
    lock.Unlock();
    storageConferenceDelete(id, 1);
  }
}

bool HX_ConfStorage::storageConferenceDelete(int32_t id, HX_ConferenceDeleted_Result result) {
  ConferenceLock lock;
  if (!getConferenceLock(lock, id)) return false;
  const std::shared_ptr<HX_Conference> conference = lock.shConference();

  conference->forEachPeer([&lock](conference::Peer& peer) { peer.directConnectTestClear(lock); });
  conference->setState(lock, conference::kStateDeleted);
  // The conference leaves the counts with the table. Its state is read again: while the count
  // notice of the change above went out unlocked, a handler may have moved it on (a late join).
  const conference::State last = conference->getState();
  const uint32_t sequence = last == conference::kStateNew
                                ? bumpSequence()
                                : updateConfCount(last, conference::kStateNew);

  const std::string sid = conference->getSID();
  const auto indexed = m_sidIndex.find(sid);
  if (indexed != m_sidIndex.end() && indexed->second == id) m_sidIndex.erase(indexed);
  m_table.erase(id);
  if (m_table.empty()) {
    m_waitParams.clear();
  } else {
    m_waitParams.erase(sid);
  }
  if (m_active == conference.get()) {
    HXAutoLock guard(m_rlock);
    m_active = nullptr;
  }
  const bool allDown = conference->disconnectStreams(lock);

  const std::string name =
      conference->isVerified() ? conference->getSID() : conference->getCallId();
  lock.TempUnlock();
  conferenceDeleted.Emit(name.c_str(), result);
  notifyConfCountChanged(sequence);

  lock.ReLock();
  if (m_active == nullptr) electActiveNL();
  m_destroyList.push_back(conference);
  lock.TempUnlock();
  scheduleDestroy(id, allDown ? 0 : m_destroyRetryMs.load());
  return true;
}

void HX_ConfStorage::destroyConference(int32_t id) {
  m_wlock.Lock();
  auto it = m_destroyList.begin();
  while (it != m_destroyList.end() && (*it)->getId() != id) ++it;
  if (it == m_destroyList.end()) {
    m_wlock.Unlock();
    return;
  }
  std::shared_ptr<HX_Conference> conference = *it;
  const auto sender = conference->Sender();
  const bool stopped =
      (!sender || !sender->isRunning()) && conference->getRunningReceiversCount() == 0;
  if (!stopped) {
    m_wlock.Unlock();
    // Never forced: examined again until the streams have stopped.
    scheduleDestroy(id, m_destroyRetryMs.load());
    return;
  }
  conference::Statistics statistics;
  if (conference->getConfStatistics(statistics)) SendConfStat(statistics);
  m_destroyList.erase(it);
  conference->destroyResources();
  const std::string sid = conference->getSID();
  m_wlock.Unlock();
  // The store's last reference goes before the notice: whoever hears it may count on the store
  // holding the conference no longer.
  conference.reset();
  conferenceDestroyed.Emit(id, sid.c_str());
}

void HX_ConfStorage::closeAllConferences() {
  int32_t last = 0;
  for (;;) {
    // Found again from the last id every time: each deletion releases the lock.
    ConferenceLock lock;
    lock.Lock(m_wlock);
    const auto it = m_table.upper_bound(last);
    if (it == m_table.end()) break;
    last = it->first;
    if (it->second->getState() == conference::kStateDeleted) continue;
    lock.set(it->second);
    DeleteConference(lock, true, true);
  }
}

bool HX_ConfStorage::StorageClean() {
  bool any = false;
  uint32_t sequence = 0;
  {
    HXAutoLock guard(m_wlock);
    {
      HXAutoLock read(m_rlock);
      m_active = nullptr;
    }
    m_sidIndex.clear();
    m_table.clear();
    m_lastSid.clear();
    any = m_requested.load() != 0 || m_joined.load() != 0 || m_deleted.load() != 0;
    m_requested = 0;
    m_joined = 0;
    m_deleted = 0;
    sequence = bumpSequence();
  }
  if (any) notifyConfCountChanged(sequence);
  return true;
}
