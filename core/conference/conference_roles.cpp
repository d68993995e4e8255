// HX_ConferenceHelper: role events of group conferences, answers and requests for roles, the own
// podium and remark, and the switch of a peer's video between camera and content.
//
// Role events arrive with the store's write lock held by the conference service; the conference,
// this helper's signals and the conference manager's RoleEventOccuredSignal all run under it (the
// lock is recursive). The podium announcements of an owner or operator are sent while the active
// conference is still held; role requests after it has been released.
#include "core/chat/chat_managers.h"
#include "core/client/fsm_shared.h"
#include "core/conference/conf_manager.h"
#include "core/conference/conference_helper.h"
#include "core/conference/model/conference.h"
#include "core/conference/store/conference_lock.h"
#include "core/transport/session.h"

namespace {

// Send-filter bits of the own role: audio and video on the podium, audio for a remark.
constexpr uint64_t kPodiumFilter = 768;
constexpr uint64_t kRemarkFilter = 256;

}  // namespace

void HX_ConferenceHelper::OnRoleEventOccured(HX_Conference* conference, const char* user,
                                             HX_Participant_Role role, HX_RoleEvent_Type type,
                                             HX_RoleInqury_Answer answer,
                                             const conference::RoleInfoHolder& info) {
  if (conference == nullptr || user == nullptr) return;
  const std::shared_ptr<HX_TransportSession> session = transport();
  const bool isMe = session && static_cast<const HX_TransportSessionData&>(*session).isMyId(user);
  conference->onRoleEventOccured(user, isMe, role, type, answer, info);
  switch (type) {
    case kRoleQuery:
      if (isMe) {
        roleQueryForMe.Emit(conference->owner().c_str(), role);
      } else {
        roleQueryForPeer.Emit(user, role);
      }
      break;
    case kRoleAnswer:
      roleAnswer.Emit(user, role, answer);
      break;
    case kRoleNotice:
      if (isMe) {
        roleNoticeForMe.Emit(user, role);
      } else {
        roleNoticeForPeer.Emit(user, role);
      }
      break;
    case kRoleChange:
      if (isMe) {
        roleChangeForMe.Emit(conference, user, role);
      } else {
        roleChangeForPeer.Emit(conference, user, role);
      }
      break;
    default:
      break;
  }
  {
    std::lock_guard<std::mutex> lock(m_roleMutex);
    m_lastRoleEvent.user = user;
    m_lastRoleEvent.role = role;
    m_lastRoleEvent.type = type;
    m_lastRoleEvent.answer = answer;
    m_lastRoleEvent.info = info;
    // The picture lives in the delivered message only; the sizes stay as a record.
    m_lastRoleEvent.info.preview = nullptr;
  }
  if (HX_ConfManager* manager = confManager()) {
    manager->RoleEventOccuredSignal.Emit(user, role, type, answer, info);
  }
}

HX_ConferenceHelper::RoleEventHolder HX_ConferenceHelper::lastRoleEvent() const {
  std::lock_guard<std::mutex> lock(m_roleMutex);
  return m_lastRoleEvent;
}

// ---- answers

bool HX_ConferenceHelper::AcceptRole(const char* user, HX_Participant_Role role) {
  if (user != nullptr) return answerRole(user, role, kRoleAccept);
  const RoleEventHolder last = lastRoleEvent();
  return answerRole(last.user, last.role, kRoleAccept);
}

bool HX_ConferenceHelper::RejectRole(const char* user, HX_Participant_Role role) {
  if (user != nullptr) return answerRole(user, role, kRoleReject);
  const RoleEventHolder last = lastRoleEvent();
  return answerRole(last.user, last.role, kRoleReject);
}

bool HX_ConferenceHelper::answerRole(const std::string& user, HX_Participant_Role role,
                                     HX_RoleInqury_Answer answer) {
  HX_ConfStorage* store = confStore();
  HX_ConfManager* manager = confManager();
  if (store == nullptr || manager == nullptr) return false;
  std::string sid;
  {
    ConferenceLock lock;
    if (!store->activeConferenceRLock(lock)) return false;
    sid = lock->getSID();
  }
  return manager->AnswerRole(sid.c_str(), user.c_str(), role, answer);
}

// ---- requests

bool HX_ConferenceHelper::InquiryRole(const char* user, HX_Participant_Role role) {
  HX_ConfManager* manager = confManager();
  HXFSMShared* fsm = getFSM();
  if (user == nullptr || manager == nullptr) return false;
  const std::shared_ptr<HX_TransportSession> session = transport();
  if (session && static_cast<const HX_TransportSessionData&>(*session).isMyId(user)) {
    return inquiryMyRole(role);
  }
  const std::string sid = fsm != nullptr ? fsm->GetConferenceSID() : std::string();
  return manager->QueryRole(sid.c_str(), user, role, 0, 0, nullptr, 0);
}

bool HX_ConferenceHelper::InviteToPodium(const char* user) {
  return InquiryRole(user, kRoleInvitePodium);
}

bool HX_ConferenceHelper::KickFromPodium(const char* user) {
  return InquiryRole(user, kRoleListener);
}

bool HX_ConferenceHelper::inquiryRole(const char* SID, const char* user, HX_Participant_Role role,
                                      unsigned long width, unsigned long height,
                                      const void* preview, unsigned long length) {
  HX_ConfManager* manager = confManager();
  if (manager == nullptr) return false;
  if (role == kRolePodium && length <= kMaxPreviewBytes) {
    return manager->QueryRole(SID, user, role, width, height, preview, length);
  }
  return manager->QueryRole(SID, user, role, 0, 0, nullptr, 0);
}

bool HX_ConferenceHelper::inquiryMyRole(HX_Participant_Role role) {
  switch (role) {
    case kRoleListener:
      return LeaveFromPodium();
    case kRoleRemark:
      return SayRemark(true);
    case kRolePodium:
      return GotoPodium(0, 0, nullptr, 0);
    default:
      break;
  }
  HX_ConfManager* manager = confManager();
  HXFSMShared* fsm = getFSM();
  if (manager == nullptr) return false;
  const std::string sid = fsm != nullptr ? fsm->GetConferenceSID() : std::string();
  return manager->QueryRole(sid.c_str(), myLogin().c_str(), role, 0, 0, nullptr, 0);
}

// ---- own podium

bool HX_ConferenceHelper::changeOwnMedia(HX_Participant_Role requested, uint64_t filter, bool on,
                                         bool audio, bool video, bool third, bool fourth,
                                         unsigned long width, unsigned long height,
                                         const void* preview, unsigned long length) {
  HX_ConfStorage* store = confStore();
  HX_ConfManager* manager = confManager();
  if (store == nullptr || manager == nullptr) return false;
  ConferenceLock lock;
  if (!store->activeConferenceWLock(lock)) return false;
  const std::string own = myLogin();
  if (lock->isOwner(1) || lock->getOwnRole() == kRoleOperator) {
    lock->setRoleMediaFilter(filter, on);
    return manager->SetPeerFltr(lock.conference(), own.c_str(), audio, video, third, fourth);
  }
  const std::string sid = lock->getSID();
  lock.Unlock();
  return manager->QueryRole(sid.c_str(), own.c_str(), requested, width, height, preview, length);
}

bool HX_ConferenceHelper::GotoPodium(unsigned long width, unsigned long height, const void* preview,
                                     unsigned long length) {
  const void* picture = length <= kMaxPreviewBytes ? preview : nullptr;
  return changeOwnMedia(kRolePodium, kPodiumFilter, true, true, true, true, true, width, height,
                        picture, length);
}

bool HX_ConferenceHelper::LeaveFromPodium() {
  return changeOwnMedia(kRoleListener, kPodiumFilter, false, false, false, false, false, 0, 0,
                        nullptr, 0);
}

bool HX_ConferenceHelper::SayRemark(bool on) {
  if (!on) return LeaveFromPodium();
  return changeOwnMedia(kRoleRemark, kRemarkFilter, true, true, false, true, true, 0, 0, nullptr,
                        0);
}

// ---- peer video switch

bool HX_ConferenceHelper::switchPeerVideoFlow(ConferenceLock& lock, const std::string& peer,
                                              bool on) {
  if (!lock) return false;
  const conference::Peer* p = lock->getPeer(peer);
  if (p == nullptr) return false;
  const conference::ExtraVideo state = p->getExtraVideoState();
  if (state == 2) return false;
  if ((state == 0) == on) return true;
  const std::shared_ptr<HX_ChatManager> chat = chatManager();
  return chat && chat->SendCommandSwitchVideoContent(lock->getSID().c_str(), peer.c_str(), on);
}

bool HX_ConferenceHelper::switchPeerVideoFlow(int id, const std::string& peer, bool on) {
  HX_ConfStorage* store = confStore();
  ConferenceLock lock;
  if (store == nullptr || !store->getConferenceLock(lock, id)) return false;
  return switchPeerVideoFlow(lock, peer, on);
}

bool HX_ConferenceHelper::switchPeerVideoFlow(const std::string& SID, const std::string& peer,
                                              bool on) {
  HX_ConfStorage* store = confStore();
  ConferenceLock lock;
  if (store == nullptr || !store->getConferenceLock(lock, SID)) return false;
  return switchPeerVideoFlow(lock, peer, on);
}
