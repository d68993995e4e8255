#pragma once
// HX_Conference: the record of one conference that this client requested, was invited to or
// joined: its identity (id, SID, call id, name, owner, server and domain), its kind (type, sub
// type, scope), its state, the own participant record and role, the peers with their endpoints
// and direct-connection tests, the conference's own endpoints at the server, the send stream and
// the receive streams, the remote-control request lists, podium time, CPU-load samples and the
// statistics it reports when it ends.
//
// The conference store (HX_ConfStorage) creates and owns every conference through a shared
// pointer and hands it out under a ConferenceLock. States (conference::State): 0 new, 1 requested,
// 2 joined, 3 deleted; every change goes through setState or close, which tell the store.
//
// Flag bits: 0x2 direct-connect tests ended, 0x8 verified (confirmed by the server), 0x10 this
// client sent the creation request, 0x80000 this client is the invited side, 0x10000000 the
// invitation is not answered yet, 0x20000000 the local user accepted.
//
// Thread safety: every operation expects the conference's lock (the store's write lock) held by
// the caller; the flag word alone is changed by compare-exchange and may be read without it.
// Operations that shut streams down release the lock around the stream call through the caller's
// guard, so they take a ConferenceLock.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "core/base/container.h"
#include "core/base/user_list.h"
#include "core/client/capabilities.h"
#include "core/conference/control/receivers_stream_pool_ctl.h"
#include "core/conference/control/sender_stream_ctl.h"
#include "core/conference/model/conf_statistics.h"
#include "core/conference/model/conference_defaults.h"
#include "core/conference/model/media_stand_in.h"
#include "core/conference/model/participant_info.h"
#include "core/conference/model/peer.h"

class ConferenceLock;
class HXFSMShared;
class HXLock;
class HXUriProtocol;
class HX_ConfStorage;
class HX_TcpStreamsSupervisor;
class HX_UdpStreamsSupervisor;
class HX_TransportSession;

namespace conference {

using State = int32_t;
inline constexpr State kStateNew = 0;
inline constexpr State kStateRequested = 1;
inline constexpr State kStateJoined = 2;
inline constexpr State kStateDeleted = 3;

// 0 any conference, 1 owned by the own user, 2 owned by someone else.
using Ownership = int32_t;

using ProtocolContainerType = int32_t;
class HX_ConfCtrlInterface;

}  // namespace conference

class HX_Conference : public HX_SenderStreamCtl,
                      public HX_ReceiversStreamPoolCtl,
                      public std::enable_shared_from_this<HX_Conference>,
                      public conference::EPStorage,
                      public conference::DefaultParamsCommon {
 public:
  static constexpr uint32_t kFlagDCTestsEnded = 0x2;
  static constexpr uint32_t kFlagVerified = 0x8;
  static constexpr uint32_t kFlagCreateRequested = 0x10;
  static constexpr uint32_t kFlagInvited = 0x80000;
  static constexpr uint32_t kFlagUnanswered = 0x10000000;
  static constexpr uint32_t kFlagAccepted = 0x20000000;

  using PeerMap = std::map<std::string, conference::Peer>;

  // `store` may be null for a conference outside any store (no own login, no transport).
  HX_Conference(HX_ConfStorage* store, int32_t id, const conference::DefaultParams& defaults);
  ~HX_Conference() override;

  // ---- virtual operations
  void onSenderStart() override;
  void onSenderStop() override;
  bool calculatePodiumTime(bool onPodium) override;
  conference::PeerEndpointsList& getEndpointsList() override { return m_ownEndpoints; }
  int getTrialStreamCount() override;
  void markEndpoint(int id, bool ok) override;
  void scheduleCheckSavedReceiver(const std::string& peerId) override;
  // A receive stream's shutdown completed (under the conference lock): its peer may have announced
  // a stream meanwhile, whose start waits in the pool and is looked at again. A send stream that
  // went down needs nothing more (the control's default).
  void onReceiverShuttedDown(const std::string& peerId) override;

  // ---- identity
  int32_t getId() const { return m_id; }
  const std::string& getSID() const { return m_sid; }
  const std::string& getName() const { return m_name; }
  const std::string& getTopic() const { return m_topic; }
  const std::string& getPassword() const { return m_password; }
  const std::string& owner() const { return m_owner; }
  const std::string& getCallId() const { return m_callId; }
  void setCallId(const std::string& id) { m_callId = id; }
  const std::string& getServerId() const { return m_serverId; }
  const std::string& getDomain() const { return m_domain; }
  uint64_t getMaxParticipants() const { return m_maxParticipants; }
  uint32_t getMaxCast() const { return m_maxCast; }
  void setMaxCast(uint32_t n) { m_maxCast = n; }
  const HXCapabilites* getMeetingCaps() const { return m_meetingCaps.get(); }
  void setMeetingCaps(const HXCapabilites& caps);
  bool getStreamEncrypt() const { return m_streamEncrypt; }
  void setStreamEncrypt(bool on) { m_streamEncrypt = on; }
  void setSvcMode(uint32_t mode) { m_svcMode = mode; }
  uint32_t getSvcMode() const { return m_svcMode; }
  void setCMRFlags(int32_t flags) { m_cmrFlags = flags; }
  int32_t getCMRFlags() const { return m_cmrFlags; }
  std::string getJoinUrl() const { return m_joinUrl; }
  void setJoinUrl(const std::string& url) { m_joinUrl = url; }
  int64_t getCreationTime() const { return m_created; }
  HXLock& getLock() const;
  std::shared_ptr<HX_TransportSession> getTransport() const;
  HX_ConfStorage* getStore() const { return m_store; }
  conference::EPStorage* getEPStorage() { return this; }
  // Client type 2 in a type-6 conference: the peer when known; otherwise the conference.
  conference::EPStorage* getEPStorage(const std::string& peerId, HX_StreamClient_Type clientType);

  HX_Conference_Type getType() const { return m_type; }
  HX_GroupConf_SubType getSubType() const { return m_subType; }
  HX_Conference_Scope getScope() const { return m_scope; }
  bool isAudioOnly() const { return audioOnly; }
  conference::State getState() const { return m_state; }
  bool isVerified() const { return isFlag(kFlagVerified); }
  bool isGroupConf() const { return isGroupConf(m_type); }
  static bool isGroupConf(HX_Conference_Type type) { return type == 5 || type == 6; }

  // The flag word: or/and by compare-exchange, each returning the old word.
  uint32_t flagOr(uint32_t mask);
  uint32_t flagAnd(uint32_t mask);
  bool isFlag(uint32_t mask) const { return (m_flags.load() & mask) == mask; }
  uint32_t flags() const { return m_flags.load(); }

  // Name, password, maximum and topic (null: empty); the duration is not kept. Stamps the time.
  void setParam(const char* name, const char* password, uint64_t maxParticipants, uint64_t duration,
                const char* topic);
  // SID = sid; the domain and server id from the text after the first "@" (see the source).
  void setSID(const std::string& sid, const std::string& server);
  void setConferenceType(HX_Conference_Type type, HX_GroupConf_SubType subType,
                         HX_Conference_Scope scope, bool audioOnly);
  HX_Participant_Role getDefaultRole() const;
  bool setOwner(const std::string& id, bool isMe);
  bool isOwner(conference::Ownership ownership) const;
  // `id` and the owner compared without their instance suffixes.
  bool isOwner(const std::string& id) const;

  // ---- life cycle
  // Stores a changed state and tells the store (which may release and retake the guard).
  void setState(ConferenceLock& lock, conference::State state);
  // State 3, streams shut down, podium clock stopped.
  void close(ConferenceLock& lock);
  // True only when the sender and every receiver shut down.
  bool disconnectStreams(ConferenceLock& lock);
  // Drops the sender and every receive stream without shutting them down.
  void destroyResources();
  void updateCpuLoad(uint32_t sample);
  uint64_t getCpuLoadSum() const { return m_cpuLoadSum; }
  uint32_t getCpuLoadCount() const { return m_cpuLoadCount; }
  // Only in state 2: stores a changed status and returns the previous one; else the argument.
  uint32_t updateDeviceStatus(uint32_t status);
  void saveRawContainer(conference::ProtocolContainerType kind, const HX_Container& container);
  std::shared_ptr<HX_Container> getRawContainer(conference::ProtocolContainerType kind) const;
  void setConfCtrlInterface(std::shared_ptr<conference::HX_ConfCtrlInterface> control);
  bool parseConfCtrlMethods(const HX_Container& message);

  // ---- own participant
  conference::ParticipantInfoHolder& ownInfo() { return m_ownInfo; }
  // The own camera-control policy and the rules every "FECC" sent or received passes through.
  conference::ConferenceFeccHelper& getFeccHelper() { return m_fecc; }
  const conference::ConferenceFeccHelper& getFeccHelper() const { return m_fecc; }
  const conference::ParticipantInfoHolder& ownInfo() const { return m_ownInfo; }
  HX_Participant_Role getOwnRole() const { return m_ownInfo.role; }
  HX_UserList* participantTracker() const { return m_participantTracker.get(); }

  // ---- peers
  conference::Peer* getPeer(const std::string& id);
  const conference::Peer* getPeer(const std::string& id) const;
  void forEachPeer(const std::function<void(conference::Peer&)>& f);
  const PeerMap& peers() const { return m_peers; }
  conference::Peer* firstPeer();
  conference::Peer* getSolePeer();
  // Id of the first peer in that state, or null.
  const std::string* findPeerByState(conference::PeerState state) const;
  bool setPeerState(const std::string& id, conference::PeerState state);
  void clearPeers();
  // Inserts unless present (an existing peer comes back unchanged).
  conference::Peer* addPeer(const std::string& id, conference::PeerState peerState);
  conference::Peer* addPeerInstance(const std::string& id) { return getPeerInstance(id); }
  conference::Peer* getPeerInstance(const std::string& id);
  conference::Peer* renamePeer(const std::string& oldId, const std::string& newId);
  bool removePeer(const std::string& id);
  const std::string& getSelectedInstance() const { return m_selectedInstance; }
  void selectPeerInstance(ConferenceLock& lock, const std::string& id);
  void getConferenceIdList(std::set<conference::PeerId>& out) const;
  HX_Participant_Role getConferenceIdRole(const std::string& id) const;
  int32_t getDeviceStatus(const std::string& id) const;
  void setDeviceStatus(const std::string& id, int32_t status);
  int32_t getLeaderType(const std::string& id) const;
  HX_DirectConnect_Type getDirectConnectType(const std::string& id) const;
  bool setConferenceIdList(const conference::PartInfoMap& list, HX_ParticipantListType listType,
                           conference::ParticipantListUpdateInfo& info);
  void onRoleEventOccured(const std::string& id, bool isMe, HX_Participant_Role role,
                          int32_t eventType, int32_t answer,
                          const conference::RoleInfoHolder& roleInfo);
  bool isConferenceWithCallId(const HXUriProtocol& uri) const;

  // ---- remote control lists
  bool ManageInReqvs(const std::string& id, bool add, bool clearAll);
  bool ManageOutReqvs(const std::string& id, bool add, bool clearAll);
  bool ManageIncomingControls(const std::string& id, bool add, bool clearAll);
  bool ManageOutgoingControls(const std::string& id, bool add, bool clearAll);
  bool isIncomingControlRequestPending(const std::string& id) const {
    return m_inReqs.count(id) != 0;
  }
  bool isOutgoingControlRequestPending(const std::string& id) const {
    return m_outReqs.count(id) != 0;
  }
  bool isControlMe(const std::string& id) const { return m_controllingMe.count(id) != 0; }
  bool isUnderMyControl(const std::string& id) const { return m_underMyControl.count(id) != 0; }
  void RemovePeerFromControlLists(const std::string& id);
  HX_VideoSourceType getVideoSourceType() const { return m_videoSourceType; }
  void setVideoSourceType(HX_VideoSourceType type) { m_videoSourceType = type; }
  // Whether the own video source lets a peer control this client (types 2, 3 and 4).
  bool isRemoteControlSource() const { return m_videoSourceType >= 2 && m_videoSourceType <= 4; }

  // ---- media
  void spotMediaStreamSendState();
  uint64_t getPodiumStart() const { return m_podiumStart; }
  uint64_t getPodiumTotal() const { return m_podiumTotal; }
  bool getConfStatistics(conference::Statistics& out) const;

  void addServerMediaEP(const std::shared_ptr<HX_Endpoint>& endpoint, bool markGood);
  void updateServerMediaEPlist(const HX_TransportEndpointList& list);
  void addMediaEPMulticast(const std::string& peerId, uint32_t key, const HXSockAddr& group,
                           HX_StreamClient_Type clientType);
  void fillEndpointsList(HX_TransportEndpointList& out) const;
  void directConnectTestEnd(ConferenceLock& lock, HX_DirectConnect_Type type);
  bool dcConnectTestDoneAllPeers();
  std::shared_ptr<HX_TcpStreamsSupervisor> getTcpStreamsSupervisor() const {
    return m_tcpSupervisor;
  }
  void setTcpStreamsSupervisor(std::shared_ptr<HX_TcpStreamsSupervisor> s) {
    m_tcpSupervisor = std::move(s);
  }
  // A direct TCP ping to the peer ended: marks the tested endpoint (the remote address takes the
  // scope of the local one); once the peer's tests are all done, announces a working direct
  // connection and, when every peer is done, ends the tests (flag 0x2). False for an unknown peer.
  bool directConnectTcpSave(ConferenceLock& lock, const std::string& peerId, bool ok,
                            int32_t endpointId, const HXSockAddr& localAddress,
                            const HXSockAddr& remoteAddress);
  // Once per peer whose endpoints are known: marks the direct connection announced and, when this
  // client owns the conference, asks the peer's client to accept it ("TryAcceptDirect"). True when
  // the request went out.
  bool notifyDirectConnectAvailable(conference::Peer& peer);
  // The server reported the peer's endpoints (already filtered): with `noDirect` or a peer that
  // may not connect directly, the peer gets direct-connect type 0; otherwise its tests begin
  // (TCP pings through the conference's TCP streams supervisor) and the "DC check timer(2)" job
  // ends what is still open after kDirectConnectCheckMs. False for an unknown peer.
  bool peerEndpointsUpdate(ConferenceLock& lock, const std::string& peerId,
                           const conference::PeerEndpointMap& endpoints, bool noDirect);
  // A direct UDP trial to the peer ended: once the peer's and then every peer's tests are done,
  // announces the peer when it has a working path and ends the tests (flag 0x2). True when the
  // announcement went out.
  bool directConnectUdpDone(ConferenceLock& lock, const std::string& peerId);
  // A peer's direct connection reached this client's listener: the peer (by id for handshake
  // version 1, by its address for version 0, by exact id otherwise) takes direct-connect type 1
  // when its type was still open, and is announced. True when the peer accepted the connection.
  bool directAccept(const HXSockAddr& localAddress, const HXSockAddr& remoteAddress,
                    const std::string& peerId, int32_t handshakeVersion);
  // The peer an old (version 0) probe came from, known only by its address: the only peer, or
  // the one peer with a connect endpoint of the send stream on that host (any port) that is not
  // an accepted live one; null when none or several match.
  conference::Peer* getPeerByDCHandshakeV0(const HXSockAddr& address);
  static constexpr uint32_t kDirectConnectCheckMs = 6000;

  // Stream operations (stand-ins until the media streams land: they record their calls in
  // mediaStandIn() and answer as a test set). createSender makes a send stream stand-in the
  // conference's sender when the answer for "createSender" is true.
  std::shared_ptr<HX_SenderBase> createSender(const std::string& myId, const std::string& peerId);
  std::shared_ptr<HX_ReceiverBase> createReceiver(const std::string& myId,
                                                  const std::string& peerId);
  bool connectSender(const std::string& peerId, const std::string& target);
  bool connectReceiver(ConferenceLock& lock, const std::string& peerId,
                       const std::string& networkId, const std::string& target);
  bool onReceiverConnected(ConferenceLock& lock, const std::string& peerId);
  bool checkSavedReceiver(ConferenceLock& lock, const std::string& peerId);
  bool acceptStreamSender(const std::string& peerId);
  bool acceptStreamReceiver(const std::string& peerId);
  conference::MediaStandIn& mediaStandIn() { return m_media; }

 private:
  static bool manageSet(std::set<std::string>& set, const std::string& id, bool add, bool clearAll);
  std::string myLogin() const;
  HXFSMShared* fsm() const;

  std::unique_ptr<HX_UserList> m_participantTracker;
  std::shared_ptr<HX_TcpStreamsSupervisor> m_tcpSupervisor;
  std::set<std::string> m_inReqs;
  std::set<std::string> m_outReqs;
  std::set<std::string> m_controllingMe;
  std::set<std::string> m_underMyControl;
  HX_VideoSourceType m_videoSourceType = 0;
  std::string m_callId;
  uint64_t m_cpuLoadSum = 0;
  uint32_t m_cpuLoadCount = 0;
  uint32_t m_deviceStatus = 0xFFFFFFFF;
  conference::ConferenceFeccHelper m_fecc;
  std::atomic<uint32_t> m_flags{0};
  std::string m_sid;
  uint64_t m_maxParticipants = 0;
  uint32_t m_maxCast = 0;
  std::unique_ptr<HXCapabilites> m_meetingCaps;
  conference::ParticipantInfoHolder m_ownInfo{0, false, 0x10001};
  std::string m_name;
  std::string m_topic;
  std::string m_owner;
  std::string m_password;
  PeerMap m_peers;
  uint64_t m_podiumStart = 0;
  uint64_t m_podiumTotal = 0;
  std::map<conference::ProtocolContainerType, std::shared_ptr<HX_Container>> m_rawContainers;
  HX_Conference_Scope m_scope = -1;
  std::string m_serverId;
  std::string m_domain;
  std::string m_selectedInstance;
  conference::PeerEndpointsList m_ownEndpoints;
  int64_t m_created = 0;
  conference::State m_state = conference::kStateNew;
  HX_ConfStorage* const m_store;
  bool m_streamEncrypt = false;
  HX_GroupConf_SubType m_subType = -1;
  uint32_t m_svcMode = 0;
  HX_Conference_Type m_type = -1;
  int32_t m_cmrFlags = -1;
  std::shared_ptr<conference::HX_ConfCtrlInterface> m_control;
  const int32_t m_id;
  std::string m_joinUrl;
  conference::MediaStandIn m_media;
};
