#include "core/chat/chat_managers.h"

#include "core/client/protocol_constants.h"

HX_ChatManager::HX_ChatManager(std::shared_ptr<HX_TransportSession> transport, HXFSMShared* fsm)
    : HX_AbstractManager(CHAT_SRV, std::move(transport), fsm) {}
HX_ChatManager::~HX_ChatManager() { UnregisterServiceHandler(); }
bool HX_ChatManager::ParseIncomimgMessage(HX_Container&) { return false; }

bool HX_ChatManager::OpenDatabase(const char* user, const char* dir) {
  m_calls.Record("OpenDatabase", user, dir);
  return m_chatDB.OpenDatabase(user, dir != nullptr ? dir : "", HXDBBase::ReadWriteOrRecreate);
}

std::shared_ptr<hx::chat::Message> HX_ChatManager::createMessage(const char* peer) {
  m_calls.Record("createMessage", peer);
  return std::make_shared<hx::chat::Message>(m_nextId.fetch_add(1), peer != nullptr ? peer : "", false);
}

std::shared_ptr<hx::chat::Message> HX_ChatManager::createGroupMessage(const char* group) {
  m_calls.Record("createGroupMessage", group);
  return std::make_shared<hx::chat::Message>(m_nextId.fetch_add(1), group != nullptr ? group : "", true);
}

void HX_ChatManager::SendMessage(const std::shared_ptr<hx::chat::Message>& message) {
  if (!message) return;
  m_calls.Record("SendMessage", message->getId());
  std::lock_guard<std::mutex> lock(m_mutex);
  m_sent.push_back(message);
}

void HX_ChatManager::SaveUpload(int64_t messageId, const char* text1, int32_t direction, const char* text2,
                                const char* text3, int32_t status, int32_t clientType) {
  m_calls.Record("SaveUpload", messageId, text1, direction, text2, text3, status, clientType);
}

bool HX_ChatManager::SendCommandSwitchVideoContent(const char* sid, const char* peer, bool on) {
  m_calls.Record("SendCommandSwitchVideoContent", sid, peer, on);
  return false;
}

std::vector<std::shared_ptr<hx::chat::Message>> HX_ChatManager::sentMessages() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_sent;
}

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
