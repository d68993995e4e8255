#pragma once
// The engine interfaces of the chat version 2 and file-sharing services, and the file-transfer
// engine that does nothing (HX_FileTransferStub). The client object hands each service a new
// engine at creation; by default both engines do nothing, so the services exist on the wire but
// no conversation or transfer ever takes place. A platform may install real engines.
//
// Thread safety: the engines that do nothing keep no state; HX_FileTransfer's own Init and
// Shutdown are not locked (the owning service calls them from one thread).

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

class HX_Container;

namespace hx::chatv2 {

// The record of one chat's context.
struct Context {
  std::string chatId;
  std::string name;
  std::string owner;
  std::string lastMessageId;
  int32_t type = 0;
  int64_t created = 0;
  int64_t updated = 0;
  uint32_t unread = 0;
  std::set<std::string> participants;
};

struct Message {
  std::string id;
  std::string chatId;
  std::string from;
  std::string text;
  int64_t time = 0;
};

// The transport channel an engine talks over; owned by the engine it is given to.
class TransportChannel {
 public:
  virtual ~TransportChannel() = default;
};

struct Config {
  std::string server;
};

// A registered message slot; all-zero: none.
struct SlotHandle {
  uint64_t id = 0;
  uint64_t generation = 0;
  bool empty() const { return id == 0 && generation == 0; }
};

using ResultCallback = std::function<void(int32_t result, const std::string& id)>;
using InviteCallback = std::function<void(const std::string& chatId, const std::string& from)>;
using MessageCallback = std::function<void(const Message& message)>;
using SystemCallback = std::function<void(int32_t result)>;

}  // namespace hx::chatv2

class HX_ChatV2Interface {
 public:
  virtual ~HX_ChatV2Interface() = default;

  // 0 when no chat system was made.
  virtual int32_t MakeChatSystem(std::string_view user, std::string_view server,
                                 std::unique_ptr<hx::chatv2::TransportChannel> channel,
                                 hx::chatv2::SystemCallback callback) = 0;
  virtual void DestroyChat() = 0;
  virtual std::vector<hx::chatv2::Context> GetAllMyPersonalContexts() = 0;
  virtual hx::chatv2::Context GetGlobalContext(const std::string& chatId) = 0;
  virtual std::vector<hx::chatv2::Message> GetMessages(const std::string& chatId,
                                                       const std::string& messageId, uint32_t count) = 0;
  virtual std::vector<hx::chatv2::Message> GetUndeliveredMessagesByChatId(const std::string& chatId) = 0;
  virtual void CreateChat(int32_t type, const std::string& name, hx::chatv2::ResultCallback callback) = 0;
  virtual void InviteToChat(const std::string& chatId, const std::string& user,
                            hx::chatv2::ResultCallback callback) = 0;
  virtual void AddParticipant(const std::string& chatId, const std::string& user,
                              hx::chatv2::ResultCallback callback) = 0;
  virtual void RemoveParticipant(const std::string& chatId, const std::string& user,
                                 hx::chatv2::ResultCallback callback) = 0;
  virtual void SendTextMessage(const std::string& chatId, const std::string& text,
                               hx::chatv2::ResultCallback callback) = 0;
  virtual void SendP2PTextMessage(const std::string& userId, const std::string& text,
                                  hx::chatv2::ResultCallback callback) = 0;
  virtual void SetOnInviteCallBack(hx::chatv2::InviteCallback callback) = 0;
  virtual void SetOnInviteResponseCallBack(hx::chatv2::ResultCallback callback) = 0;
  virtual hx::chatv2::SlotHandle SetOnMsgRecvSlot(hx::chatv2::MessageCallback callback) = 0;
  virtual std::shared_ptr<hx::chatv2::Config> GetConfig() = 0;
  virtual void ResolveResult(const HX_Container& result) = 0;
};

class HX_FileTransfer {
 public:
  HX_FileTransfer() = default;
  virtual ~HX_FileTransfer() = default;
  HX_FileTransfer(const HX_FileTransfer&) = delete;
  HX_FileTransfer& operator=(const HX_FileTransfer&) = delete;

  // Stores `trackers` and marks the engine initialised; `folder` is not kept.
  virtual void Init(const std::string& folder, const std::vector<std::string>& trackers);
  // Clears the stored list and the initialised mark.
  virtual void Shutdown();

  // The file-sharing service's operations.
  virtual void AddUpload(const std::string& path, const std::string& peer) = 0;
  virtual void AddDownload(const std::string& link, const std::string& folder) = 0;
  virtual void Cancel(const std::string& id) = 0;
  // Whether the transfer `id` runs.
  virtual bool IsActive(const std::string& id) = 0;
  virtual void Pause(const std::string& id) = 0;
  virtual void Resume(const std::string& id) = 0;
  virtual void SetRateLimit(uint32_t sendKbps, uint32_t receiveKbps) = 0;
  virtual void OnNetworkChanged() = 0;

  bool initialised() const { return m_initialised; }
  const std::vector<std::string>& strings() const { return m_strings; }
  size_t uploadCount() const { return m_uploads.size(); }
  size_t downloadCount() const { return m_downloads.size(); }

 protected:
  std::list<std::string> m_uploads;
  std::list<std::string> m_downloads;
  bool m_initialised = false;
  std::vector<std::string> m_strings;
};

// The engine that does nothing: every operation is empty, IsActive answers false; Init and
// Shutdown leave the stored list and the initialised mark as they are.
class HX_FileTransferStub : public HX_FileTransfer {
 public:
  void Init(const std::string&, const std::vector<std::string>&) override {}
  void Shutdown() override {}
  void AddUpload(const std::string&, const std::string&) override {}
  void AddDownload(const std::string&, const std::string&) override {}
  void Cancel(const std::string&) override {}
  bool IsActive(const std::string&) override { return false; }
  void Pause(const std::string&) override {}
  void Resume(const std::string&) override {}
  void SetRateLimit(uint32_t, uint32_t) override {}
  void OnNetworkChanged() override {}
};
