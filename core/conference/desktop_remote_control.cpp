#include "core/conference/desktop_remote_control.h"

#include "core/client/protocol_constants.h"

HX_DesktopRemoteControlManager::HX_DesktopRemoteControlManager(std::shared_ptr<HX_TransportSession> transport,
                                                               HXFSMShared* fsm,
                                                               std::shared_ptr<HX_ConfManager> confManager)
    : HX_AbstractManager(DS_CONTROL_SRV, std::move(transport), fsm), m_confManager(std::move(confManager)) {}

HX_DesktopRemoteControlManager::~HX_DesktopRemoteControlManager() { UnregisterServiceHandler(); }

bool HX_DesktopRemoteControlManager::ParseIncomimgMessage(HX_Container&) { return false; }
