#include "core/chat/chat_managers.h"

#include "core/client/protocol_constants.h"

HX_ChatManager::HX_ChatManager(std::shared_ptr<HX_TransportSession> transport, HXFSMShared* fsm)
    : HX_AbstractManager(CHAT_SRV, std::move(transport), fsm) {}
HX_ChatManager::~HX_ChatManager() { UnregisterServiceHandler(); }
bool HX_ChatManager::ParseIncomimgMessage(HX_Container&) { return false; }

HX_ChatV2Manager::HX_ChatV2Manager(std::shared_ptr<HX_TransportSession> transport, HXFSMShared* fsm,
                                   std::shared_ptr<HX_ChatV2Interface> engine)
    : HX_AbstractManager(CHATV2_SRV, std::move(transport), fsm), m_engine(std::move(engine)) {}
HX_ChatV2Manager::~HX_ChatV2Manager() { UnregisterServiceHandler(); }
bool HX_ChatV2Manager::ParseIncomimgMessage(HX_Container&) { return false; }

HX_TorrentManager::HX_TorrentManager(std::shared_ptr<HX_TransportSession> transport, HXFSMShared* fsm,
                                     std::shared_ptr<HX_FileTransfer> engine)
    : HX_AbstractManager(TORRENT_SRV, std::move(transport), fsm), m_engine(std::move(engine)) {}
HX_TorrentManager::~HX_TorrentManager() { UnregisterServiceHandler(); }
bool HX_TorrentManager::ParseIncomimgMessage(HX_Container&) { return false; }
