#include "core/conference/conference_helper.h"

#include "core/conference/conf_manager.h"

HX_ConferenceHelper::HX_ConferenceHelper() : m_listener(std::make_shared<Listener>(this)) {}

HX_ConferenceHelper::~HX_ConferenceHelper() = default;

void HX_ConferenceHelper::OnConferenceCreated(const char*, HX_ConferenceCreated_Result) {}
void HX_ConferenceHelper::OnConferenceDeleted(const char*, HX_ConferenceDeleted_Result) {}
void HX_ConferenceHelper::OnRoleEventOccured(const char*, int) {}
void HX_ConferenceHelper::OnInviteReceived(const char*, const char*) {}
void HX_ConferenceHelper::OnTryAcceptDirect(const char*) {}
void HX_ConferenceHelper::onConfCountChange(uint32_t, uint32_t, uint32_t) {}

void HX_ConferenceHelper::AcceptPeer(std::string peer, int32_t conferenceId) {
  m_helperCalls.Record("AcceptPeer", peer, conferenceId);
}

void HX_ConferenceHelper::OpenConferenceP2P(std::string peer, std::string sid, std::string key) {
  m_helperCalls.Record("OpenConferenceP2P", peer, sid, key);
}

void HX_ConferenceHelper::OpenConferenceMulti(std::string sid, std::string key) {
  m_helperCalls.Record("OpenConferenceMulti", sid, key);
}

bool HX_ConferenceHelper::InvitePeer(const char* peer) {
  m_helperCalls.Record("InvitePeer", peer);
  return false;
}

bool HX_ConferenceHelper::initConfHelperConfStorageListener() {
  HX_ConfManager* manager = confManager();
  if (manager == nullptr) return false;
  manager->confStorage()->addListener(m_listener);
  return true;
}
