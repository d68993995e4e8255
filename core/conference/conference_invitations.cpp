// HX_ConferenceHelper: invitations received and their timers ("DC check timer", "GUI accept
// timer", "DC accept timo"), the inviter's direct-connection notice, accepting, rejecting,
// joining by SID, hanging up and the end of a conference.
//
// An accept goes out once only: whoever sends it (the user's accept, a timer, the direct-
// connection notice) first clears the "not answered" flag, which the others require.
#include "core/base/stored_task.h"
#include "core/client/fsm_shared.h"
#include "core/conference/conf_manager.h"
#include "core/conference/conference_helper.h"
#include "core/conference/model/conference.h"
#include "core/conference/store/conference_lock.h"

namespace {

// The direct-connection type of a peer whose tests have not decided yet.
constexpr HX_DirectConnect_Type kDCUndefined = 4;

}  // namespace

void HX_ConferenceHelper::OnInviteReceived(const std::string& SID, const char* caller,
                                           const char*) {
  HX_ConfStorage* store = confStore();
  if (store == nullptr) return;
  ConferenceLock lock;
  if (!store->getConferenceLock(lock, SID)) return;
  const conference::Peer* peer = caller != nullptr ? lock->getPeer(caller) : nullptr;
  if (peer != nullptr && peer->getDCType() != 0) {
    scheduleJob(HXCallback::Save(this, &HX_ConferenceHelper::onDirectInviteTimeout, lock->getId(),
                                 peer->getId()),
                m_dcCheckMs.load(), "DC check timer", false);
  }
  notifyGuiInviteReceived(lock, peer);
}

void HX_ConferenceHelper::notifyGuiInviteReceived(ConferenceLock& lock,
                                                  const conference::Peer* peer) {
  const std::string sid = lock->getSID();
  const std::string password = lock->getPassword();
  const HX_Conference_Type type = lock->getType();
  const bool audioOnly = lock->isAudioOnly();
  const std::string id = peer != nullptr ? peer->getId() : std::string();
  const std::string name = peer != nullptr ? peer->getDisplayName() : std::string();
  lock.TempUnlock();
  if (peer != nullptr) {
    if (HX_ConfManager* manager = confManager()) {
      manager->InviteNoticeSignal.Emit(id.c_str(), name.c_str(), sid.c_str(), password.c_str(),
                                       type, audioOnly);
    }
  }
  scheduleJob(HXCallback::Save(this, &HX_ConferenceHelper::OnUIAcceptTimeout, sid, id),
              m_guiAcceptMs.load(), "GUI accept timer", false);
}

void HX_ConferenceHelper::OnUIAcceptTimeout(std::string SID, std::string) {
  HX_ConfStorage* store = confStore();
  HX_ConfManager* manager = confManager();
  if (store == nullptr || manager == nullptr) return;
  std::string owner;
  {
    ConferenceLock lock;
    if (!store->getConferenceLock(lock, SID)) return;
    if (lock->getState() != conference::kStateRequested ||
        !lock->isFlag(HX_Conference::kFlagInvited) || lock->isFlag(HX_Conference::kFlagAccepted)) {
      return;
    }
    owner = lock->owner();
  }
  manager->RejectPeer(SID.c_str(), owner.c_str(), kCauseNoAnswer);
  store->DeleteConference(SID.c_str(), true);
}

void HX_ConferenceHelper::sendAccept(ConferenceLock& lock, const std::string& peer) {
  HX_ConfManager* manager = confManager();
  const std::string sid = lock->getSID();
  lock->flagAnd(~HX_Conference::kFlagUnanswered);
  lock.Unlock();
  if (manager != nullptr) manager->AcceptPeer(sid.c_str(), peer.c_str());
}

void HX_ConferenceHelper::onDirectInviteTimeout(int id, std::string peer) {
  HX_ConfStorage* store = confStore();
  if (store == nullptr) return;
  ConferenceLock lock;
  if (!store->getConferenceLock(lock, id) || !lock->isFlag(HX_Conference::kFlagUnanswered)) return;
  lock->directConnectTestEnd(lock, 0);
  // The tests' end may release the guard; the conference is looked at again.
  if (!lock && !lock.ReLock()) return;
  if (!lock->isFlag(HX_Conference::kFlagUnanswered)) return;
  if (lock->getPeer(peer) == nullptr || !lock->isFlag(HX_Conference::kFlagAccepted)) return;
  sendAccept(lock, peer);
}

void HX_ConferenceHelper::OnTryAcceptDirect(const char* SID) {
  HX_ConfStorage* store = confStore();
  if (store == nullptr || SID == nullptr) return;
  ConferenceLock lock;
  if (!store->getConferenceLock(lock, std::string(SID))) return;
  if (lock->isOwner(1) || lock->peers().size() != 1 ||
      !lock->isFlag(HX_Conference::kFlagUnanswered | HX_Conference::kFlagAccepted)) {
    return;
  }
  const std::string peer = lock->peers().begin()->first;
  sendAccept(lock, peer);
}

bool HX_ConferenceHelper::AcceptPeer(const std::string& peer, int id) {
  HX_ConfStorage* store = confStore();
  HX_ConfManager* manager = confManager();
  if (store == nullptr || manager == nullptr) return false;
  ConferenceLock lock;
  if (id > 0) {
    if (!store->getConferenceLock(lock, id)) return false;
  } else {
    lock.Lock(store->StorageLock());
    HX_Conference* found =
        store->getConferenceByPeerNL(peer.c_str(), HX_ConfStorage::kAnyConference);
    if (found == nullptr) return false;
    lock.set(found);
  }
  const std::string sid = lock->getSID();
  const std::string password = lock->getPassword();
  const HX_Conference_Type type = lock->getType();
  lock->flagOr(HX_Conference::kFlagAccepted);
  const conference::Peer* p = lock->getPeer(peer);
  if (type == 0 && p != nullptr && !lock->isOwner(1) && p->getDCType() == kDCUndefined) {
    // The direct-connection tests are still open: the accept waits for them a little.
    scheduleJob(HXCallback::Save(this, &HX_ConferenceHelper::onDirectInviteTimeout, lock->getId(),
                                 p->getId()),
                m_dcAcceptMs.load(), "DC accept timo", false);
    return true;
  }
  lock->flagAnd(~HX_Conference::kFlagUnanswered);
  const std::string target = peer.empty() ? lock->owner() : peer;
  lock.Unlock();
  if (HX_Conference::isGroupConf(type)) {
    return manager->Join(target.c_str(), password.c_str(), type, sid.c_str());
  }
  return manager->AcceptPeer(sid.c_str(), target.c_str());
}

bool HX_ConferenceHelper::Reject(const char* peer, int cause) {
  HX_ConfStorage* store = confStore();
  HX_ConfManager* manager = confManager();
  if (store == nullptr || manager == nullptr) return false;
  std::string target = peer != nullptr ? peer : "";
  std::string sid;
  bool keep = false;
  {
    HXAutoLock guard(store->StorageLock());
    HX_Conference* conference = nullptr;
    if (!target.empty()) {
      conference = store->getConferenceByPeerNL(target.c_str(), HX_ConfStorage::kAnyConference);
      if (conference == nullptr) {
        conference =
            store->getWaitingConferenceByCallIdNL(target, 0, HX_ConfStorage::kAnyGroupConference);
      }
    } else {
      conference = store->activeConferenceNL();
      if (conference != nullptr && conference->getType() == 0) target = conference->getCallId();
    }
    if (conference == nullptr) return false;
    sid = conference->getSID();
    if (conference->isGroupConf() && conference->isOwner(1)) conference->removePeer(target);
    keep = conference->getState() == conference::kStateJoined ||
           (conference->isVerified() && conference->isGroupConf());
  }
  const bool rejected = manager->RejectPeer(sid.c_str(), target.c_str(), cause);
  if (keep) return rejected;
  const bool deleted = store->DeleteConference(sid.c_str(), false);
  return rejected && deleted;
}

bool HX_ConferenceHelper::Join(const char* SID) {
  HX_ConfStorage* store = confStore();
  HX_ConfManager* manager = confManager();
  if (store == nullptr || manager == nullptr || SID == nullptr || SID[0] == '\0') return false;
  HX_Conference_Type type = 5;
  std::string owner;
  std::string password;
  {
    ConferenceLock lock;
    if (store->getConferenceLock(lock, std::string(SID))) {
      type = lock->getType();
      owner = lock->owner();
      password = lock->getPassword();
    }
  }
  return manager->Join(owner.c_str(), password.c_str(), type, SID);
}

bool HX_ConferenceHelper::Hangup(bool flag) {
  HX_ConfManager* manager = confManager();
  return manager != nullptr && manager->Hangup("", "", flag);
}

void HX_ConferenceHelper::OnConferenceDeleted(const char*, HX_ConferenceDeleted_Result) {
  if (HXFSMShared* fsm = getFSM()) fsm->DropLStatusList();
}
