#include "core/client/service_managers.h"

#include "core/client/protocol_constants.h"

HX_LoginManager::HX_LoginManager(std::shared_ptr<HX_TransportSession> transport, HXFSMShared* fsm)
    : HX_AbstractManager(AUTH_SRV, std::move(transport), fsm) {}
HX_LoginManager::~HX_LoginManager() { UnregisterServiceHandler(); }
bool HX_LoginManager::ParseIncomimgMessage(HX_Container&) { return false; }

HX_NetConfigManager::HX_NetConfigManager(std::shared_ptr<HX_TransportSession> transport, HXFSMShared* fsm)
    : HX_AbstractManager(CONFIGURATION_SRV, std::move(transport), fsm) {}
HX_NetConfigManager::~HX_NetConfigManager() { UnregisterServiceHandler(); }
bool HX_NetConfigManager::ParseIncomimgMessage(HX_Container&) { return false; }

HX_ClientManager::HX_ClientManager(std::shared_ptr<HX_TransportSession> transport, HXFSMShared* fsm)
    : HX_AbstractManager(CLIENT_SRV, std::move(transport), fsm) {}
HX_ClientManager::~HX_ClientManager() { UnregisterServiceHandler(); }
bool HX_ClientManager::ParseIncomimgMessage(HX_Container&) { return false; }
