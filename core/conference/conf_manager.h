#pragma once
// HX_ConfManager: the client's manager of the server service "CONFERENCE". It
// turns the call flow's decisions and the platform's commands into requests
// (create, join, invite, request an invitation, accept, reject, hang up, kick,
// ping, receive and send filters, connection information, connection failures,
// picture-size limits, statuses, device status, statistics to "LOG"), parses
// what the service sends (ParseIncomimgMessage), keeps the conference store up
// to date (it is the store: its second base) and raises one signal per event.
//
// Requests go to "CONFERENCE" with the time limit 20000 ms and no destination
// user unless said otherwise; every body starts with "Method", except a
// "Reject" that answers a stored invitation request, which puts "id" first.
// Each request answers whether it was queued.
//
// Signals. Incoming messages raise theirs on the network loop thread, requests
// on the requesting thread. These are raised while the store's write lock is
// held, so their handlers run under it: AcceptReceivedSignal,
// InviteReplySignal, RoleEventSignal, InviteToMultiReceivedSignal, the shared
// state's peer-name signal from "InviteToMulti", and ClientCapsReceivedSignal
// from "Accept" and "InviteToMulti". Every other signal is raised with the lock
// released (TempUnlock or Unlock), so a handler may wait for a thread that
// takes the store lock.
//
// The destructor unregisters first, so that the network loop never dispatches
// into a manager being destroyed, then stops the store's jobs (they call this
// object's hooks).
//
// Thread safety: requests may be called from any thread; store look-ups take
// the store's recursive write lock. The invitation-request map has its own
// mutex. Signals follow hx::Signal's rules (connected before messages flow).

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/base/signal.h"
#include "core/client/abstract_manager.h"
#include "core/conference/control/conf_ctrl_interface.h"
#include "core/conference/model/conference_defaults.h"
#include "core/conference/server_bitrate_control.h"
#include "core/conference/service/peer_holder.h"
#include "core/conference/store/conf_storage.h"
#include "core/wire/client_caps.h"

// Why an invitation failed or was refused: the client's own 0, 2, 3, 4, 5, 10,
// 11, 14, 16; the server's causes pass through.
using HX_Reject_Cause = int32_t;
// Bits of "HangupFlags": 1 "Result" 1 is sent, 2 the user hung up.
using HangupFlags = uint32_t;

class HX_ConfManager : public HX_AbstractManager, public HX_ConfStorage {
 public:
  static constexpr uint32_t kRequestTimeLimitMs = 20000;
  static constexpr uint32_t kCreateCheckMs = 20000;
  static constexpr uint32_t kJoinCreateCheckMs = 100000;
  // Conference flags set by this service (see HX_Conference for the others).
  static constexpr uint32_t kFlagJoinOwnRecord = 0x40;
  static constexpr uint32_t kFlagInvitedNoUser = 0x80;

  HX_ConfManager(const char* serviceName, std::shared_ptr<HX_TransportSession> transport,
                 HXFSMShared* fsm);
  ~HX_ConfManager() override;

  HX_ConfStorage* confStorage() { return this; }
  const HX_ConfStorage* confStorage() const { return this; }

  // ---- incoming (network loop thread)
  // False for an invalid container, an unknown method, or where the handler
  // answers false.
  bool ParseIncomimgMessage(HX_Container& message) override;

  // ---- call-control requests
  // Types 0 and 5 only; false when a conference exists or the record cannot be
  // made. Arms the "Conf.create timer" (20000 ms, or at once when the request
  // was not queued).
  bool CreateConference(const char* name, const char* password, int maxParticipants, int duration,
                        HX_Conference_Type type, HX_GroupConf_SubType subType,
                        HX_Conference_Scope scope, bool audioOnly);
  bool Join(const char* callId, const char* password, HX_Conference_Type type, const char* SID);
  // The guard forms release the guard's lock around the signals and the caps handler and hand it
  // back held (unless the conference was deleted). The pointer forms take the store lock
  // themselves; a caller that holds it as well keeps it held through the signals.
  bool InvitePeer2Call(HX_Conference* conference, const char* peer);
  bool InvitePeer2Call(ConferenceLock& lock, const char* peer);
  bool InvitePeer2Group(HX_Conference* conference, const char* user);
  bool InvitePeer2Group(ConferenceLock& lock, const char* user);
  bool RequestInviteToMulti(const char* peer);
  bool AcceptPeer(const char* SID, const char* peer);
  bool RejectPeer(const char* SID, const char* peer, int cause);
  bool Hangup(const char* SID, const char* peer, bool flag);
  bool HangupWithFlags(ConferenceLock& lock, HangupFlags flags);
  bool KickPeer(const char* SID, const char* peer);
  bool PingConference(const char* SID, const char* user);

  // ---- media-connection, status and statistics requests
  bool SetPeerFltr(const char* peer, bool audio, bool video, bool third, bool fourth);
  // Expects the store's write lock held for `conference`.
  bool SetPeerFltr(HX_Conference* conference, const char* peer, bool audio, bool video, bool third,
                   bool fourth);
  bool SendConnectionInfo(const char* peer, const char* SID);
  // Expects the store's write lock held for `conference`.
  bool SendConnectFailure(HX_Conference* conference);
  bool SetPeerScreenLimit(const char* peer, unsigned long macroblocks);
  bool SetPeerScreenLimit(const char* peer, int width, int height);
  bool SetPeerScreenLimit(const std::map<std::string, unsigned long>& limits);
  static unsigned long CalcPeerScreenLimitMB(int width, int height);
  bool SetMyLStatus(int32_t status);
  bool ClearAllLStatuses();
  // False outside conference state 2 (nothing is stored or sent, so the caller
  // sends it again once joined) and when the request cannot be queued (the old
  // value is restored).
  bool SetDeviceStatus(unsigned status);
  bool SetDeviceStatus(ConferenceLock& lock, unsigned status);
  void SetSystemLoad(int load);

  // ---- role events ("RoleEvent", to the broker of the SID; service/role_event.cpp)
  // A query (type 0) for `role` of `user`. The preview goes along only when width, height,
  // picture and size are all given: the picture's size in bytes is the low 32 bits of `size`.
  bool QueryRole(const char* SID, const char* user, HX_Participant_Role role, unsigned long width,
                 unsigned long height, const void* preview, unsigned long size);
  // The answer (type 1) to a role query.
  bool AnswerRole(const char* SID, const char* user, HX_Participant_Role role,
                  HX_RoleInqury_Answer answer);

  // ---- far-end camera control ("FECC", to the broker of the SID; service/fecc_messages.cpp)
  // Composes one "FECC" to `target` as it is, without any check: "Type", "From" (own login),
  // "To", then "FeccState" for types 2 and 3 or "PresetNum" for 81 and 82 (the command's value).
  bool feccSendRequest(const char* SID, const char* target, const conference::FeccCommand& command);
  // The checked send within the locked conference: a policy notice (3) goes to the own login;
  // any other type needs a named peer in a group conference and goes to the selected peer in a
  // private call. False when the lock holds no conference, when a group conference's peer is
  // not named, while the session is not logged in (transport state 5), or when the conference's
  // camera-control rules refuse the command (they also move the peer's states).
  bool feccSendRequest(ConferenceLock& lock, const char* peer,
                       const conference::FeccCommand& command);
  // The platform's requests, each for the conference `SID` or, when null, the active one; false
  // when there is none or nothing was queued. FeccRequestState with a null peer asks every peer
  // and answers true only when every request was queued (and at least one was).
  bool FeccRequestAccess(const char* SID, const char* peer);
  bool FeccRequestState(const char* SID, const char* peer);
  bool FeccSendCommand(const char* SID, const char* peer, const conference::FeccCommand& command);

  // ---- device control senders (to the broker of the SID; service/device_control_senders.cpp)
  // "Type" is the device type's text; requests to another user carry "Cause" 4.
  using DeviceMap = std::map<conference::DeviceConfig::DeviceType, conference::DeviceConfigList>;
  bool ConfCtrlSendReqDeviceState(const char* SID, const char* user);
  bool ConfCtrlSendReqChangeDevice(const char* SID, const char* user,
                                   const conference::DeviceConfig& device);
  // "Volume" only with flags bit 0, "Mute" only with bit 1.
  bool ConfCtrlSendReqChangeDeviceState(const char* SID, const char* user,
                                        const conference::DeviceConfig& device, int flags);
  // The own devices, by type in ascending order: "Type", then "id" and "Name" of each device.
  bool ConfCtrlSendDevices(const char* SID, const DeviceMap& devices);
  bool ConfCtrlSendDeviceChanged(const char* SID, const conference::DeviceConfig& device,
                                 conference::DeviceChangingCause cause);
  bool ConfCtrlSendDeviceState(const char* SID, const conference::DeviceConfig& device,
                               conference::DeviceChangeDesc desc);

  // ---- the store's hooks
  bool deleteConferenceAux(const char* SID) override;
  void SendConfStat(const conference::Statistics& statistics) override;

  // ---- timers and helpers
  void scheduleConferenceCreateCheck(HX_Conference* conference, unsigned ms);
  void OnConferenceCreateTimeout(int id);
  void OnConferenceCreated(const char* SID, HX_ConferenceCreated_Result result);
  static int AdaptConferenceError(int result);
  // Disconnects every delegate of every signal below and of the store's
  // signals.
  void ResetSignals();
  void AddInviteRequest(const std::string& callId, const std::string& id);
  std::string GetAndRemoveInviteRequest(const std::string& callId);
  bool setJoinUrl(ConferenceLock& lock, const std::string& url);
  std::string getJoinUrl(const std::string& SID);
  // Whether the contacts' ban list holds `peer`. No ban list is kept yet: false
  // unless a test installed a check.
  bool IsBanned(const char* peer) const;

  // ---- test seams
  // Replaces the ban check (an empty function restores "nobody is banned").
  void setBanCheck(std::function<bool(const char*)> check);
  // The "Conf.create timer" delay of CreateConference (20000 ms by default).
  void setCreateCheckDelayForTest(unsigned ms) { m_createCheckMs = ms; }
  // Forces the answer of deleteConferenceAux (it still composes and records the
  // request), for the deletion path's tests without a server; nullopt answers
  // whether it was queued.
  void setDeleteAnswer(std::optional<bool> queued);
  // SIDs passed to deleteConferenceAux, and the records passed to SendConfStat,
  // in order.
  std::vector<std::string> deleteRequests() const;
  std::vector<conference::Statistics> sentStatistics() const;

  // ---- signals (peer, user and similar are ids)
  hx::Signal4<const char*, const char*, const char*, const char*>
      AcceptReceivedSignal;                                // peer, display name, SID, key
  hx::Signal2<const char*, const char*> AcceptSentSignal;  // peer, SID
  hx::Signal2<const char*, const HX_ClientCaps&> ClientCapsReceivedSignal;
  hx::Signal6<HX_Conference*, const char*, HX_Participant_Role, HX_RoleEvent_Type,
              HX_RoleInqury_Answer, const conference::RoleInfoHolder&>
      RoleEventSignal;
  hx::Signal2<const char*, int> DeviceStatusSignal;  // user, status
  hx::Signal3<const std::string&, const char*, const char*>
      InviteReceivedSignal;  // SID, caller, name
  hx::Signal4<const char*, const char*, const char*, const char*>
      InviteToMultiNoticeSignal;  // SID, inviter, name, topic
  hx::Signal3<const std::string&, const char*, const char*>
      InviteToMultiReceivedSignal;  // SID, inviter, topic
  hx::Signal4<const char*, const char*, const char*, const char*>
      JoinReceivedSignal;  // call id, SID, name, user
  hx::Signal6<const char*, const char*, const char*, const char*, HX_Conference_Type, bool>
      InviteNoticeSignal;  // inviter, display name, SID, password, type, audio
                           // only
  hx::Signal2<const char*, int> InviteReplySignal;                             // user, result
  hx::Signal1<const char*> ReqInviteSentSignal;                                // peer
  hx::Signal2<const char*, const char*> InviteSentSignal;                      // peer, SID
  hx::Signal3<const char*, const char*, const char*> InviteToMultiSentSignal;  // peer, SID, topic
  hx::Signal1<const std::string&> JoinSentSignal;                              // SID
  hx::Signal2<const char*, int> ListenersFltrSignal;                           // SID, media filter
  hx::Signal2<int, const char*> ManageLayoutSignal;                            // type, layout
  hx::Signal3<HX_Conference*, bool, HX_ClientCaps&> PrepareCapsSignal;  // conference, group, caps
  hx::Signal1<const HX_PeerHolder&> ReceiverChangedSignal;
  hx::Signal1<const HX_PeerHolder&> ReceiverConnectedSignal;
  hx::Signal1<const HX_PeerHolder&> ReceiverDisconnectedSignal;
  hx::Signal3<const char*, const char*, const char*> RegistrationInfoSignal;  // call id, user, name
  hx::Signal4<const char*, const char*, const char*, HX_Reject_Cause>
      RejectReceivedSignal;                                     // peer, name, SID, cause
  hx::Signal3<const char*, const char*, int> RejectSentSignal;  // peer, SID, cause
  hx::Signal3<const char*, const char*, const char*>
      ReqInviteReceivedSignal;  // user, requester, name
  hx::Signal1<const conference::ServerBitrateControl&> RestrictBitrateSignal;
  hx::Signal5<const char*, HX_Participant_Role, HX_RoleEvent_Type, HX_RoleInqury_Answer,
              const conference::RoleInfoHolder&>
      RoleEventOccuredSignal;
  hx::Signal2<const char*, const char*> UpdateConnectionInfoSignal;            // caller, SID
  hx::Signal3<const std::string&, const std::string&, int> FeccRequestSignal;  // SID, sender, type

  using HX_AbstractManager::getFSM;

 private:
  // Composes `body` to "CONFERENCE" (or `service`) and queues it.
  bool send(const HX_Container& body, const char* server, const char* user = nullptr,
            const char* service = nullptr);
  // Adds "ClientCaps" as PrepareCapsSignal fills it, when it serialises to
  // something.
  void addClientCaps(HX_Container& body, HX_Conference* conference, bool group);
  // The peer's capabilities of an incoming message: fills `caps`, sets the
  // private-call receive limit from "BandWRcv"; false when "ClientCaps" is
  // absent or empty.
  bool readPeerCaps(const HX_Container& message, HX_ClientCaps& caps);
  bool conferenceExistsNL();
  std::string myLogin() const;
  std::string sessionSid() const;
  bool isMyId(const char* id) const;
  void emitPeerName(const char* id, const char* name);

  // Incoming handlers.
  bool parseConfCreated(const HX_Container& message);
  void parseConfDeleted(const HX_Container& message);
  void parseRegistrationInfo(const HX_Container& message);
  void parseConfigurationUpdated(const HX_Container& message);
  bool parseInvite(const HX_Container& message);
  bool parseInviteToMulti(const HX_Container& message);
  bool parseInviteReply(const HX_Container& message);
  void parseAccept(const HX_Container& message);
  void parseReject(const HX_Container& message);
  bool parseJoin(const HX_Container& message);
  bool parseJoinWithoutConference(const HX_Container& message, int result);
  void parseReceiverConnected(const HX_Container& message);
  void parseSenderConnected(const HX_Container& message);
  bool parseReqInvite(const HX_Container& message);
  void parseListenersFltr(const HX_Container& message);
  void parseCommand(const HX_Container& message);
  void parseDeviceStatus(const HX_Container& message);
  void parseManageLayout(const HX_Container& message);
  void parseFeccRequest(const HX_Container& message);
  void parseRoleEvent(const HX_Container& message);
  // Hands a device-control message to its conference, which passes it to its installed
  // interface; an absent or unknown SID drops it.
  void parseConfCtrlMethods(const HX_Container& message);
  // The conference `SID` names, or the active one when `SID` is null.
  bool feccConferenceLock(ConferenceLock& lock, const char* SID);

  std::mutex m_inviteRequestsMutex;
  std::map<std::string, std::string> m_inviteRequests;

  std::atomic<unsigned> m_createCheckMs{kCreateCheckMs};
  mutable std::mutex m_hookMutex;
  std::optional<bool> m_deleteAnswer;
  std::vector<std::string> m_deleteRequests;
  std::vector<conference::Statistics> m_sentStatistics;
  std::function<bool(const char*)> m_banCheck;
};
