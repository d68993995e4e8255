#pragma once
// The chat subsystem's services as the client object creates them: the chat service "CHAT", the
// chat version 2 service "CHATV2" and the file-sharing service "TORRENT". The last two do their
// work through an engine (core/chat/chat_engines.h) given at creation, which they keep. So far
// each registers under its name, carries the signals the client object connects, and answers
// false to every message; their own work grows them. Each destructor unregisters first.
//
// Thread safety: signals follow hx::Signal's rules (connected before messages flow).

#include <memory>

#include "core/base/signal.h"
#include "core/chat/chat_engines.h"
#include "core/client/abstract_manager.h"

class HX_ChatManager : public HX_AbstractManager {
 public:
  HX_ChatManager(std::shared_ptr<HX_TransportSession> transport, HXFSMShared* fsm);
  ~HX_ChatManager() override;
  bool ParseIncomimgMessage(HX_Container& message) override;
};

class HX_ChatV2Manager : public HX_AbstractManager {
 public:
  HX_ChatV2Manager(std::shared_ptr<HX_TransportSession> transport, HXFSMShared* fsm,
                   std::shared_ptr<HX_ChatV2Interface> engine);
  ~HX_ChatV2Manager() override;
  bool ParseIncomimgMessage(HX_Container& message) override;
  const std::shared_ptr<HX_ChatV2Interface>& engine() const { return m_engine; }

 private:
  std::shared_ptr<HX_ChatV2Interface> m_engine;
};

class HX_TorrentManager : public HX_AbstractManager {
 public:
  HX_TorrentManager(std::shared_ptr<HX_TransportSession> transport, HXFSMShared* fsm,
                    std::shared_ptr<HX_FileTransfer> engine);
  ~HX_TorrentManager() override;
  bool ParseIncomimgMessage(HX_Container& message) override;
  const std::shared_ptr<HX_FileTransfer>& engine() const { return m_engine; }

  // (peer, five texts, attributes): send a file message to a peer.
  hx::Signal7<const char*, const char*, const char*, const char*, const char*, const char*,
              const HX_Container&>
      sendFileMessageSignal;
  // (group chat, five texts, attributes): send a file message to a group chat.
  hx::Signal7<const char*, const char*, const char*, const char*, const char*, const char*,
              const HX_Container&>
      sendFileGroupMessageSignal;
  // (four texts): save an upload.
  hx::Signal4<const char*, const char*, const char*, const char*> saveUploadSignal;

 private:
  std::shared_ptr<HX_FileTransfer> m_engine;
};
