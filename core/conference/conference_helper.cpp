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

bool HX_ConferenceHelper::initConfHelperConfStorageListener() {
  HX_ConfManager* manager = confManager();
  if (manager == nullptr) return false;
  manager->confStorage()->addListener(m_listener);
  return true;
}
