// The conference store's record of the peers' extra (content) video: the chat service's notices
// and the "ExtraVideo timeo" job that expires a state no longer renewed.
#include "core/base/stored_task.h"
#include "core/base/tick_clock.h"
#include "core/conference/store/conf_storage.h"
#include "core/net/loop/zserver.h"

void HX_ConfStorage::onExtraVideoFlowNotify(const std::string& peerId, const std::string& SID,
                                            bool present, bool on) {
  const conference::ExtraVideo state = !present ? 2 : on ? 0 : 1;
  std::string sid;
  {
    HXAutoLock guard(m_wlock);
    HX_Conference* conference = nullptr;
    if (!SID.empty()) {
      conference = getConferenceNL(SID);
    } else if (m_active != nullptr && m_active->getPeer(peerId) != nullptr) {
      conference = m_active;
    } else {
      conference = getConferenceByPeerNL(peerId.c_str(), kAnyConference);
    }
    conference::Peer* peer = conference != nullptr ? conference->getPeer(peerId) : nullptr;
    if (peer == nullptr) return;
    const conference::ExtraVideo old = peer->getExtraVideoState();
    if (old == 2 && state == 2) return;
    if (old == 2) {
      const uint32_t job =
          scheduleJob(HXCallback::Save(this, &HX_ConfStorage::onExtraVideoTimeout,
                                       conference->getId(), peerId),
                      m_extraVideoTimeoutMs.load(), "ExtraVideo timeo");
      peer->setExtraVideoState(state, job);
    } else if (state == 2) {
      const uint32_t job = peer->getExtraVideoJob();
      peer->updateExtraVideoState(2);
      if (job != 0) HXZServer::UnScheduleJob(job, false, true);
    } else {
      // A repeated state renews the time without telling anyone.
      peer->updateExtraVideoState(state);
    }
    if (old == state) return;
    sid = conference->getSID();
  }
  extraVideoSignal.Emit(sid, peerId.c_str(), state);
}

void HX_ConfStorage::onExtraVideoTimeout(int32_t id, std::string peerId) {
  std::string sid;
  {
    HXAutoLock guard(m_wlock);
    HX_Conference* conference = getConferenceNL(id);
    conference::Peer* peer = conference != nullptr ? conference->getPeer(peerId) : nullptr;
    if (peer == nullptr || peer->getExtraVideoState() == 2) return;
    const uint32_t job = peer->getExtraVideoJob();
    const uint32_t timeout = m_extraVideoTimeoutMs.load();
    const int64_t now = hx::GetTickCount();
    const int64_t last = static_cast<int64_t>(peer->getExtraVideoTime());
    // Without a clock, or renewed since, the state is looked at again one period later: a peer
    // that stops renewing loses its extra video one to two periods after its last notice.
    if (now == 0 || now - last <= static_cast<int64_t>(timeout)) {
      if (job != 0) HXZServer::ReScheduleJob(job, timeout, false, false);
      return;
    }
    peer->updateExtraVideoState(2);
    if (job != 0) HXZServer::UnScheduleJob(job, false, true);
    sid = conference->getSID();
  }
  extraVideoSignal.Emit(sid, peerId.c_str(), 2);
}
