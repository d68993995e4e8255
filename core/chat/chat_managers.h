#pragma once
// The chat subsystem's services as the client object creates them: the chat service "CHAT", the
// chat version 2 service "CHATV2" and the file-sharing service "TORRENT". The last two do their
// work through an engine (core/chat/chat_engines.h) given at creation, which they keep. So far
// each registers under its name, carries the signals the client object connects, and answers
// false to every message; their own work grows them. Each destructor unregisters first.
//
// The chat service opens the user's real chat database (which the backup copies); composing and
// sending messages is the least the client object needs so far: messages get ids counted from 1,
// and every send, saved upload and video-content command is recorded (calls()) and kept.
//
// Thread safety: signals follow hx::Signal's rules (connected before messages flow). The chat
// service's operations may be called from any thread (the database locks itself; the record and
// the sent messages are locked).

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "core/base/call_record.h"
#include "core/base/signal.h"
#include "core/chat/chat_db.h"
#include "core/chat/chat_engines.h"
#include "core/chat/chat_message.h"
#include "core/client/abstract_manager.h"

class HX_ChatManager : public HX_AbstractManager {
 public:
  HX_ChatManager(std::shared_ptr<HX_TransportSession> transport, HXFSMShared* fsm);
  ~HX_ChatManager() override;
  bool ParseIncomimgMessage(HX_Container& message) override;

  // Opens the chat database of `user` in `dir` (created when missing or unusable).
  virtual bool OpenDatabase(const char* user, const char* dir);
  // The chat database (open or not); handed to the backup.
  HX_ChatDB* chatDB() { return &m_chatDB; }
  // A new message to `peer` or to the group chat `group`.
  std::shared_ptr<hx::chat::Message> createMessage(const char* peer);
  std::shared_ptr<hx::chat::Message> createGroupMessage(const char* group);
  virtual void SendMessage(const std::shared_ptr<hx::chat::Message>& message);
  // Records an upload: (message id, text, direction, text, text, status, client type).
  virtual void SaveUpload(int64_t messageId, const char* text1, int32_t direction, const char* text2,
                          const char* text3, int32_t status, int32_t clientType);
  // Sends the command that switches a peer's video between camera and content; whether queued.
  virtual bool SendCommandSwitchVideoContent(const char* sid, const char* peer, bool on);

  const hx::CallRecord& calls() const { return m_calls; }
  std::vector<std::shared_ptr<hx::chat::Message>> sentMessages() const;

 private:
  HX_ChatDB m_chatDB;
  hx::CallRecord m_calls;
  std::atomic<int64_t> m_nextId{1};
  mutable std::mutex m_mutex;
  std::vector<std::shared_ptr<hx::chat::Message>> m_sent;
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
