#include "core/contacts/contact_managers.h"

#include "core/client/protocol_constants.h"

HX_PresenceManager::HX_PresenceManager(std::shared_ptr<HX_TransportSession> transport, HXFSMShared* fsm)
    : HX_AbstractManager(PRESENCE_SRV, std::move(transport), fsm) {}
HX_PresenceManager::~HX_PresenceManager() { UnregisterServiceHandler(); }
bool HX_PresenceManager::ParseIncomimgMessage(HX_Container&) { return false; }

HX_ContactsManager::HX_ContactsManager(std::shared_ptr<HX_TransportSession> transport, HXFSMShared* fsm,
                                       std::shared_ptr<HX_GrossBuchCache> cache)
    : HX_AbstractManager(ADDRESSBOOK_SRV, std::move(transport), fsm), m_cache(std::move(cache)) {}
HX_ContactsManager::~HX_ContactsManager() { UnregisterServiceHandler(); }
bool HX_ContactsManager::ParseIncomimgMessage(HX_Container&) { return false; }
