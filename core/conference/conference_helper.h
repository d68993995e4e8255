#pragma once
// HX_ConferenceHelper: the call flow of the client application object. It turns the user's
// intentions into requests of the conference service (rooms, invitations, accept, reject, join,
// hang-up, roles and the podium), reacts to the service's signals (conference created and deleted,
// invitation received, role events, the inviter's direct-connection notice), keeps a conference
// alive with a periodic "Ping", and opens the media of an accepted call or a joined conference:
// it finds the media server and creates and connects the send and receive streams.
//
// The client object supplies what the helper reaches (the managers, the transport, the format
// selector, the servers list) and the reactions that belong to it (Invite, the hang-up of a
// conference whose streams failed, the capabilities, the media handshake).
//
// Files: conference_helper.cpp (object, rooms, creation, ping, invitations sent, jobs),
// conference_media_open.cpp (opening the media, failed streams), conference_invitations.cpp
// (invitations received and their timers, accept, reject, join, hang-up),
// conference_roles.cpp (role events, role requests, podium, the peer video switch).
//
// Thread safety: handlers run on the thread that emits (the network loop for server messages);
// the jobs (ping, the invitation timers, the failed-stream job) on the loop's worker pool. Every
// conference is touched only under a ConferenceLock or the store's write lock; the saved peers
// under the helper's own recursive lock; the last role event under its own mutex; the statistics
// are atomics. Requests are composed with the store released unless said otherwise.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "core/base/lock.h"
#include "core/base/signal.h"
#include "core/client/capabilities.h"
#include "core/client/manager_holder.h"
#include "core/client/meeting_tools.h"
#include "core/conference/conference_type.h"
#include "core/conference/model/participant_info.h"
#include "core/conference/store/conf_storage.h"
#include "core/transport/handshake_manager.h"

class ConferenceLock;
class HXStoredTask;
class HX_BestMediaFormat;
class HX_ChatManager;
class HX_ConfManager;
class HX_Conference;
class HX_Endpoint;
class HX_MediaFormatManagerAdapter;
class HX_ServersList;
class HX_TransportSession;

namespace conference {
// The kinds of room the platform asks for: 0 private call, 1 symmetric group, 2 asymmetric group,
// 3 role (podium) group.
using type = int32_t;
}  // namespace conference

class HX_ConferenceHelper : public virtual ManagerHolderBase, public HX_MeetingToolsFactory {
 public:
  // Roles the podium operations use.
  static constexpr HX_Participant_Role kRoleListener = 1;
  static constexpr HX_Participant_Role kRoleOperator = 2;
  static constexpr HX_Participant_Role kRolePodium = 3;
  static constexpr HX_Participant_Role kRoleInvitePodium = 4;
  static constexpr HX_Participant_Role kRoleRemark = 5;
  // Role event types and answers.
  static constexpr HX_RoleEvent_Type kRoleQuery = 0;
  static constexpr HX_RoleEvent_Type kRoleAnswer = 1;
  static constexpr HX_RoleEvent_Type kRoleNotice = 2;
  static constexpr HX_RoleEvent_Type kRoleChange = 3;
  static constexpr HX_RoleInqury_Answer kRoleAccept = 0;
  static constexpr HX_RoleInqury_Answer kRoleReject = 3;
  // The largest preview picture a podium request carries.
  static constexpr unsigned long kMaxPreviewBytes = 5120;
  // The reject cause of an invitation the user left unanswered.
  static constexpr int kCauseNoAnswer = 16;

  // The helper's timer delays (ms); tests shorten them.
  struct Delays {
    uint32_t ping = 9750;
    uint32_t dcCheck = 7000;
    uint32_t dcAccept = 1000;
    uint32_t guiAccept = 100000;
  };
  // The time the media-server search may take (ms).
  static constexpr uint32_t kServerSearchMs = 10000;

  // The last role event received (only its user and role are read back).
  struct RoleEventHolder {
    std::string user;
    HX_Participant_Role role = 1;
    HX_RoleEvent_Type type = kRoleChange;
    HX_RoleInqury_Answer answer = 1;
    conference::RoleInfoHolder info;
  };

  HX_ConferenceHelper();
  ~HX_ConferenceHelper() override;

  // ---- signals for the platform layer
  hx::Signal2<const char*, HX_Participant_Role> roleQueryForPeer;  // user, role
  hx::Signal3<const char*, HX_Participant_Role, HX_RoleInqury_Answer> roleInquiryAnswered;
  hx::Signal2<const char*, HX_Participant_Role> roleNoticeForPeer;                  // user, role
  hx::Signal3<HX_Conference*, const char*, HX_Participant_Role> roleChangeForPeer;  // user, role
  hx::Signal2<const char*, HX_Participant_Role> roleQueryForMe;  // conference owner, role
  hx::Signal3<const char*, HX_Participant_Role, HX_RoleInqury_Answer> roleAnswer;
  hx::Signal2<const char*, HX_Participant_Role> roleNoticeForMe;                  // user, role
  hx::Signal3<HX_Conference*, const char*, HX_Participant_Role> roleChangeForMe;  // user, role
  // Emitted by the client object's MediaHandshakeReady: type, sub type, peer, SID, own and peer's
  // capabilities.
  hx::Signal6<HX_Conference_Type, HX_GroupConf_SubType, const std::string&, const std::string&,
              const HX_ClientCaps&, const HX_ClientCaps&>
      mediaHandshakeReady;

  // ---- what the client object supplies
  virtual bool Invite(const char* peer) = 0;
  // Ends a conference whose streams cannot be connected (the guard may come back released).
  virtual bool hangupConferenceOnStreamUnavail(ConferenceLock& lock) = 0;
  virtual std::shared_ptr<HX_TransportSession> transport() const = 0;
  virtual std::shared_ptr<HX_ServersList> serversList() const = 0;
  virtual std::shared_ptr<HX_BestMediaFormat> mediaSelector() const = 0;
  virtual std::shared_ptr<HX_MediaFormatManagerAdapter> mediaFormatManager() const = 0;
  virtual std::shared_ptr<HX_ChatManager> chatManager() const = 0;
  virtual void onConfCountChange(uint32_t requested, uint32_t joined, uint32_t deleted) = 0;
  virtual HXCapabilites _GetCapabilites(HX_Conference* conference, bool group) = 0;
  virtual void MediaHandshakeReady(HX_Conference_Type type, HX_GroupConf_SubType subType,
                                   const char* peer, const char* SID, const char* key) = 0;

  // Registers the conference-count listener with the conference manager's store; false without
  // a conference manager.
  bool initConfHelperConfStorageListener();

  // ---- rooms and invitations sent
  // Asks the server for a room of kind `kType` (private call, symmetric, asymmetric or role
  // group); the peers are invited once the server has created it. `flag` selects scope 0 (else
  // 1). The answer of HX_ConfManager::CreateConference.
  template <conference::type kType>
  bool CreateConferenceRoom(const char* name, const char* password, bool flag,
                            const std::set<std::string>& peers, bool audioOnly);
  bool ResetPeers();
  bool SavePeers(const std::set<std::string>& peers);
  // Invites the saved peers in order, stopping at the first refusal; the set is emptied anyway.
  bool RestorePeers();
  // The invitation of one peer to the group conference that has it or else the active one.
  virtual bool InvitePeer(const char* peer);

  // ---- conference life
  virtual void OnConferenceCreated(const char* SID, HX_ConferenceCreated_Result result);
  void OnPingConference(int id);
  virtual void OnConferenceDeleted(const char* SID, HX_ConferenceDeleted_Result result);

  // ---- opening the media (urgent jobs of the client object)
  virtual void OpenConferenceP2P(std::string peer, std::string SID, std::string key);
  virtual void OpenConferenceMulti(std::string SID, std::string key);
  // A stream failed to connect; handled in the job "HX_ConferenceHelper::OnStreamUnavailable".
  void OnStreamUnavailable(HX_StreamClient_Type type, hx::NetHandshakeConnectResult result,
                           const std::string& SID, const std::string& peer) override;
  void OnSendStatisticsUpdate(long total, unsigned long rate) override;
  void OnRecvStatisticsUpdate(const char* peer, long total, unsigned long rate) override;
  int64_t GetConferenceSendStatistics() const { return m_sendTotal.load(); }
  uint64_t GetConferenceSendBitrate() const { return m_sendRate.load(); }
  int64_t GetConferenceRecvStatistics() const { return m_recvTotal.load(); }
  uint64_t GetConferenceRecvBitrate() const { return m_recvRate.load(); }

  // ---- invitations received
  virtual void OnInviteReceived(const std::string& SID, const char* caller, const char* name);
  void OnUIAcceptTimeout(std::string SID, std::string peer);
  void onDirectInviteTimeout(int id, std::string peer);
  virtual void OnTryAcceptDirect(const char* SID);
  virtual bool AcceptPeer(const std::string& peer, int id);
  bool Reject(const char* peer, int cause);
  bool Join(const char* SID);
  bool Hangup(bool flag);

  // ---- roles and podium
  virtual void OnRoleEventOccured(HX_Conference* conference, const char* user,
                                  HX_Participant_Role role, HX_RoleEvent_Type type,
                                  HX_RoleInqury_Answer answer,
                                  const conference::RoleInfoHolder& info);
  bool AcceptRole(const char* user, HX_Participant_Role role);
  bool RejectRole(const char* user, HX_Participant_Role role);
  bool answerRole(const std::string& user, HX_Participant_Role role, HX_RoleInqury_Answer answer);
  bool InquiryRole(const char* user, HX_Participant_Role role);
  bool InviteToPodium(const char* user);
  bool KickFromPodium(const char* user);
  bool inquiryRole(const char* SID, const char* user, HX_Participant_Role role, unsigned long width,
                   unsigned long height, const void* preview, unsigned long length);
  bool inquiryMyRole(HX_Participant_Role role);
  bool GotoPodium(unsigned long width, unsigned long height, const void* preview,
                  unsigned long length);
  bool LeaveFromPodium();
  bool SayRemark(bool on);
  bool switchPeerVideoFlow(ConferenceLock& lock, const std::string& peer, bool on);
  bool switchPeerVideoFlow(int id, const std::string& peer, bool on);
  bool switchPeerVideoFlow(const std::string& SID, const std::string& peer, bool on);
  RoleEventHolder lastRoleEvent() const;

  // Removes every pending job of the helper, waiting for a running one; nothing is scheduled
  // afterwards. The client object calls it before its parts go.
  void stopConfHelperJobs();
  void setDelaysForTest(const Delays& delays);

 protected:
  HX_ConfStorage* confStore() const;
  std::string myLogin() const;

 private:
  class ConfStorageListener : public hx::ConfStorageListener {
   public:
    explicit ConfStorageListener(HX_ConferenceHelper* owner) : m_owner(owner) {}
    void onConfCountChange(uint32_t requested, uint32_t joined, uint32_t deleted) override {
      m_owner->onConfCountChange(requested, joined, deleted);
    }

   private:
    HX_ConferenceHelper* const m_owner;
  };

  bool createRoom(const char* name, const char* password, bool flag,
                  const std::set<std::string>& peers, bool audioOnly, int maxParticipants,
                  int duration, HX_Conference_Type type, HX_GroupConf_SubType subType);
  // Schedules `task` on the worker pool (urgent or normal) `delayMs` ahead, remembered for
  // stopConfHelperJobs; false (task deleted) once stopped or without a loop.
  bool scheduleJob(HXStoredTask* task, uint32_t delayMs, const char* name, bool urgent);
  class Job;
  void jobDone(const Job* job);
  void notifyGuiInviteReceived(ConferenceLock& lock, const conference::Peer* peer);
  void streamUnavailableJob(HX_StreamClient_Type type, std::string SID, std::string peer);
  void sendAccept(ConferenceLock& lock, const std::string& peer);
  // The podium operations: the own media directly for the owner or an operator, else a request.
  bool changeOwnMedia(HX_Participant_Role requested, uint64_t filter, bool on, bool audio,
                      bool video, bool third, bool fourth, unsigned long width,
                      unsigned long height, const void* preview, unsigned long length);
  // The media server the conference's streams go to: whether the search succeeded.
  bool findMediaServer(const std::string& serverId, HX_Conference_Type type,
                       std::shared_ptr<HX_Endpoint>& endpoint);

  ConfStorageListener m_listener{this};
  std::shared_ptr<hx::ConfStorageListener> m_listenerHandle;
  mutable HXMultiLock<0> m_peersLock;
  std::set<std::string> m_savedPeers;
  mutable std::mutex m_roleMutex;
  RoleEventHolder m_lastRoleEvent;
  std::atomic<int64_t> m_sendTotal{0};
  std::atomic<uint64_t> m_sendRate{0};
  std::atomic<int64_t> m_recvTotal{0};
  std::atomic<uint64_t> m_recvRate{0};

  std::mutex m_jobsMutex;
  std::map<const Job*, uint32_t> m_jobs;  // pending or running, with their job ids
  bool m_stopping = false;
  std::atomic<uint32_t> m_pingMs{9750};
  std::atomic<uint32_t> m_dcCheckMs{7000};
  std::atomic<uint32_t> m_dcAcceptMs{1000};
  std::atomic<uint32_t> m_guiAcceptMs{100000};
};

extern template bool HX_ConferenceHelper::CreateConferenceRoom<0>(const char*, const char*, bool,
                                                                  const std::set<std::string>&,
                                                                  bool);
extern template bool HX_ConferenceHelper::CreateConferenceRoom<1>(const char*, const char*, bool,
                                                                  const std::set<std::string>&,
                                                                  bool);
extern template bool HX_ConferenceHelper::CreateConferenceRoom<2>(const char*, const char*, bool,
                                                                  const std::set<std::string>&,
                                                                  bool);
extern template bool HX_ConferenceHelper::CreateConferenceRoom<3>(const char*, const char*, bool,
                                                                  const std::set<std::string>&,
                                                                  bool);
