#include "core/conference/model/conference.h"

#include <ctime>

#include "core/base/text_compare.h"
#include "core/base/tick_clock.h"
#include "core/client/fsm_shared.h"
#include "core/conference/control/conf_ctrl_interface.h"
#include "core/conference/store/conf_storage.h"
#include "core/transport/call_link.h"

namespace {

// The id without its instance suffix (the text before the last "/"), or the whole id.
std::string ShortId(const std::string& id) { return HXFSMShared::GetShortPeerId(id); }

bool EqualNoCase(const std::string& a, const std::string& b) {
  return utf8strncasecmp(a.data(), a.size(), b.data(), b.size()) == 0;
}

}  // namespace

HX_Conference::HX_Conference(HX_ConfStorage* store, int32_t id,
                             const conference::DefaultParams& defaults)
    : conference::DefaultParamsCommon(defaults.common),
      m_participantTracker(std::make_unique<HX_UserList>(10000)),
      m_fecc(this, defaults.fecc),
      m_created(static_cast<int64_t>(std::time(nullptr))),
      m_store(store),
      m_id(id) {}

HX_Conference::~HX_Conference() = default;

HXLock& HX_Conference::getLock() const {
  // Conferences outside any store (tests, tools) share one lock of their own rather than
  // dereferencing the missing store.
  static HXLock noStoreLock;
  return m_store != nullptr ? m_store->StorageLock() : noStoreLock;
}

std::shared_ptr<HX_TransportSession> HX_Conference::getTransport() const {
  return m_store != nullptr ? m_store->getConfTransport() : nullptr;
}

std::string HX_Conference::myLogin() const {
  return m_store != nullptr ? m_store->getMyLogin() : std::string();
}

HXFSMShared* HX_Conference::fsm() const {
  return m_store != nullptr ? m_store->getFSMShared() : nullptr;
}

uint32_t HX_Conference::flagOr(uint32_t mask) {
  uint32_t old = m_flags.load();
  while (!m_flags.compare_exchange_weak(old, old | mask)) {
  }
  return old;
}

uint32_t HX_Conference::flagAnd(uint32_t mask) {
  uint32_t old = m_flags.load();
  while (!m_flags.compare_exchange_weak(old, old & mask)) {
  }
  return old;
}

void HX_Conference::setMeetingCaps(const HXCapabilites& caps) {
  if (!m_meetingCaps) m_meetingCaps = std::make_unique<HXCapabilites>();
  *m_meetingCaps = caps;
}

void HX_Conference::setParam(const char* name, const char* password, uint64_t maxParticipants,
                             uint64_t, const char* topic) {
  m_name = name != nullptr ? name : "";
  m_password = password != nullptr ? password : "";
  m_maxParticipants = maxParticipants;
  m_topic = topic != nullptr ? topic : "";
  m_created = static_cast<int64_t>(std::time(nullptr));
}

void HX_Conference::setSID(const std::string& sid, const std::string& server) {
  m_sid = sid;
  const size_t at = sid.find('@');
  m_domain = at != std::string::npos ? sid.substr(at + 1) : server;
  const size_t hash = m_domain.find('#');
  if (hash != std::string::npos) {
    m_serverId = m_domain;
    m_domain.resize(hash);
  } else {
    m_serverId = server;
  }
}

HX_Participant_Role HX_Conference::getDefaultRole() const {
  if (m_type == 0) return 0;
  const bool owner = (m_ownInfo.flags & conference::ParticipantInfoHolder::kOwner) != 0;
  if (m_subType == 3) return owner ? 2 : 1;
  return 0;
}

void HX_Conference::setConferenceType(HX_Conference_Type type, HX_GroupConf_SubType subType,
                                      HX_Conference_Scope scope, bool audio) {
  m_type = type;
  m_subType = subType;
  m_scope = scope;
  audioOnly = audio;
  m_ownInfo.role = getDefaultRole();
}

bool HX_Conference::setOwner(const std::string& id, bool isMe) {
  m_owner = id;
  if (isMe) {
    m_ownInfo.flags |= conference::ParticipantInfoHolder::kOwner;
  } else {
    m_ownInfo.flags &= ~conference::ParticipantInfoHolder::kOwner;
    if (!id.empty()) {
      conference::Peer* peer = addPeer(id, 0);
      if (peer != nullptr) peer->flags |= conference::ParticipantInfoHolder::kOwner;
    }
  }
  m_ownInfo.role = getDefaultRole();
  return true;
}

bool HX_Conference::isOwner(conference::Ownership ownership) const {
  const bool own = (m_ownInfo.flags & conference::ParticipantInfoHolder::kOwner) != 0;
  if (ownership == 0) return true;
  return ownership == 1 ? own : !own;
}

bool HX_Conference::isOwner(const std::string& id) const { return ShortId(id) == ShortId(m_owner); }

// ---- life cycle

void HX_Conference::setState(ConferenceLock& lock, conference::State state) {
  if (state == m_state) return;
  const conference::State old = m_state;
  m_state = state;
  if (m_store != nullptr) m_store->onConferenceStateChanged(lock, old, state);
}

void HX_Conference::close(ConferenceLock& lock) {
  setState(lock, conference::kStateDeleted);
  DisconnectSender(lock);
  DisconnectReceivers(lock);
  calculatePodiumTime(false);
}

bool HX_Conference::disconnectStreams(ConferenceLock& lock) {
  const bool sender = DisconnectSender(lock);
  const bool receivers = DisconnectReceivers(lock);
  return sender && receivers;
}

void HX_Conference::destroyResources() {
  setSender(nullptr);
  destroyReceivers();
}

void HX_Conference::updateCpuLoad(uint32_t sample) {
  m_cpuLoadSum += sample;
  ++m_cpuLoadCount;
}

uint32_t HX_Conference::updateDeviceStatus(uint32_t status) {
  if (m_state != conference::kStateJoined) return status;
  const uint32_t previous = m_deviceStatus;
  if (status != previous) m_deviceStatus = status;
  return previous;
}

void HX_Conference::saveRawContainer(conference::ProtocolContainerType kind,
                                     const HX_Container& container) {
  m_rawContainers[kind] = std::make_shared<HX_Container>(container);
}

std::shared_ptr<HX_Container> HX_Conference::getRawContainer(
    conference::ProtocolContainerType kind) const {
  const auto found = m_rawContainers.find(kind);
  return found == m_rawContainers.end() ? nullptr : found->second;
}

void HX_Conference::setConfCtrlInterface(
    std::shared_ptr<conference::HX_ConfCtrlInterface> control) {
  m_control = std::move(control);
}

bool HX_Conference::parseConfCtrlMethods(const HX_Container& message) {
  return m_control ? m_control->parseConfCtrlMethods(message) : false;
}

// ---- peers

conference::Peer* HX_Conference::getPeer(const std::string& id) {
  const auto found = m_peers.find(id);
  return found == m_peers.end() ? nullptr : &found->second;
}

const conference::Peer* HX_Conference::getPeer(const std::string& id) const {
  const auto found = m_peers.find(id);
  return found == m_peers.end() ? nullptr : &found->second;
}

void HX_Conference::forEachPeer(const std::function<void(conference::Peer&)>& f) {
  for (auto& [id, peer] : m_peers) f(peer);
}

conference::Peer* HX_Conference::firstPeer() {
  return m_selectedInstance.empty() ? nullptr : getPeer(m_selectedInstance);
}

conference::Peer* HX_Conference::getSolePeer() {
  return m_peers.size() == 1 ? &m_peers.begin()->second : nullptr;
}

const std::string* HX_Conference::findPeerByState(conference::PeerState state) const {
  for (const auto& [id, peer] : m_peers) {
    if (peer.getPeerState() == state) return &id;
  }
  return nullptr;
}

bool HX_Conference::setPeerState(const std::string& id, conference::PeerState state) {
  conference::Peer* peer = getPeer(id);
  if (peer == nullptr) return false;
  peer->setPeerState(state);
  return true;
}

void HX_Conference::clearPeers() { m_peers.clear(); }

conference::Peer* HX_Conference::addPeer(const std::string& id, conference::PeerState peerState) {
  auto [it, inserted] = m_peers.try_emplace(id, id, peerState);
  // No direct connections in group conferences.
  if (inserted && m_type != 0) it->second.setDCType(0);
  return &it->second;
}

conference::Peer* HX_Conference::getPeerInstance(const std::string& id) {
  // An empty id (a server message without "Instance") names nobody, even while the call id is
  // still empty and would "agree" with it.
  if (id.empty()) return nullptr;
  if (conference::Peer* peer = getPeer(id)) return peer;
  if (m_state != conference::kStateRequested || ShortId(id) != ShortId(m_callId)) return nullptr;
  if (m_peers.size() == 1) {
    conference::Peer& only = m_peers.begin()->second;
    if (only.getId() == m_callId && !only.hasDCEndpoints()) return renamePeer(only.getId(), id);
  }
  if (!isFlag(kFlagInvited)) return addPeer(id, 4);
  if (isFlag(kFlagInvited | kFlagUnanswered)) return addPeer(id, 1);
  return nullptr;
}

conference::Peer* HX_Conference::renamePeer(const std::string& oldId, const std::string& newId) {
  const auto found = m_peers.find(oldId);
  if (found == m_peers.end()) return nullptr;
  if (oldId == newId) return &found->second;
  conference::Peer moved = std::move(found->second);
  renameReceiver(oldId, newId);
  RemovePeerFromControlLists(oldId);
  m_peers.erase(found);
  moved.setId(newId);
  // A peer already under newId stays as it is; the moved content is dropped.
  return &m_peers.try_emplace(newId, std::move(moved)).first->second;
}

bool HX_Conference::removePeer(const std::string& id) {
  RemovePeerFromControlLists(id);
  return m_peers.erase(id) != 0;
}

void HX_Conference::selectPeerInstance(ConferenceLock& lock, const std::string& id) {
  m_selectedInstance = id;
  for (auto& [peerId, peer] : m_peers) {
    if (peerId != id) peer.directConnectTestClear(lock);
  }
}

void HX_Conference::getConferenceIdList(std::set<conference::PeerId>& out) const {
  out.clear();
  out.insert(conference::PeerId(myLogin(), m_ownInfo));
  for (const auto& [id, peer] : m_peers) {
    if (peer.getPeerState() == 6) out.insert(conference::PeerId(id, peer.getPIholder()));
  }
}

HX_Participant_Role HX_Conference::getConferenceIdRole(const std::string& id) const {
  if (const conference::Peer* peer = getPeer(id)) return peer->getRole();
  if (!id.empty() && id == myLogin()) return m_ownInfo.role;
  return -1;
}

int32_t HX_Conference::getDeviceStatus(const std::string& id) const {
  if (!id.empty() && id == myLogin()) return m_ownInfo.deviceStatus;
  if (const conference::Peer* peer = getPeer(id)) return peer->deviceStatus;
  return 0x10001;
}

void HX_Conference::setDeviceStatus(const std::string& id, int32_t status) {
  if (!id.empty() && id == myLogin()) {
    m_ownInfo.deviceStatus = status;
  } else if (conference::Peer* peer = getPeer(id)) {
    peer->deviceStatus = status;
  }
}

int32_t HX_Conference::getLeaderType(const std::string& id) const {
  const conference::ParticipantInfoHolder* info = nullptr;
  if (!id.empty() && id == myLogin()) {
    info = &m_ownInfo;
  } else if (const conference::Peer* peer = getPeer(id)) {
    info = &peer->getPIholder();
  }
  if (info == nullptr) return 0;
  if ((info->flags & conference::ParticipantInfoHolder::kOwner) != 0) return 1;
  if (info->role != 2) return 0;
  return (info->flags & conference::ParticipantInfoHolder::kOperator) != 0 ? 2 : 3;
}

HX_DirectConnect_Type HX_Conference::getDirectConnectType(const std::string& id) const {
  const conference::Peer* peer = getPeer(id);
  return peer != nullptr ? peer->getDCType() : 4;
}

bool HX_Conference::setConferenceIdList(const conference::PartInfoMap& list,
                                        HX_ParticipantListType listType,
                                        conference::ParticipantListUpdateInfo& info) {
  const bool running =
      m_state == conference::kStateRequested || m_state == conference::kStateJoined;
  if (!isGroupConf() || !running) {
    if (listType == 4 && running && !list.empty()) {
      if (conference::Peer* peer = getPeer(std::string(list.begin()->first))) {
        peer->set(list.begin()->second, true);
      }
    }
    return running;
  }

  bool changed = false;
  const auto record = [&](const std::string& id) {
    info.ids.insert(id);
    changed = true;
  };
  if (listType == 0 || listType == 1) {
    for (auto it = m_peers.begin(); it != m_peers.end();) {
      if (it->second.getPeerState() == 6 && list.count(it->first) == 0) {
        record(it->first);
        RemovePeerFromControlLists(it->first);
        it = m_peers.erase(it);
      } else {
        ++it;
      }
    }
  } else if (listType == 3) {
    for (const auto& [id, part] : list) {
      const std::string peerId(id);
      conference::Peer* peer = getPeer(peerId);
      if (peer != nullptr && peer->getPeerState() == 6) {
        record(peerId);
        removePeer(peerId);
      }
    }
    return changed;
  } else if (listType != 2 && listType != 4) {
    return false;
  }

  bool added = false;
  const std::string login = myLogin();
  for (const auto& [key, part] : list) {
    const std::string id(key);
    // An entry without an id names nobody: it adds no phantom participant.
    if (id.empty()) continue;
    if (conference::Peer* peer = getPeer(id)) {
      if (peer->getPeerState() != 6) {
        peer->setPeerState(6);
        if (isOwner(id)) peer->flags |= conference::ParticipantInfoHolder::kOwner;
        record(id);
        added = true;
      }
      peer->set(part, true);
      continue;
    }
    if (id == login) {
      m_ownInfo.set(part, true);
      record(id);
      added = true;
      continue;
    }
    const std::string shortId = ShortId(id);
    conference::Peer* shortPeer = getPeer(shortId);
    conference::Peer* target = nullptr;
    if (shortPeer == nullptr) {
      target = addPeer(id, 6);
      if (isOwner(id)) target->flags |= conference::ParticipantInfoHolder::kOwner;
    } else if (shortPeer->getPeerState() == 4) {
      target = renamePeer(shortId, id);
      if (target != nullptr) target->setPeerState(6);
    } else {
      continue;
    }
    if (target == nullptr) continue;
    record(id);
    added = true;
    target->set(part, true);
  }
  // New participants get a picture at once.
  if (added) RequestKeyFrame();
  return changed;
}

void HX_Conference::onRoleEventOccured(const std::string& id, bool isMe, HX_Participant_Role,
                                       int32_t eventType, int32_t,
                                       const conference::RoleInfoHolder& roleInfo) {
  if (eventType != 3) return;
  if (isMe) {
    m_ownInfo.set(roleInfo.info, true);
    spotMediaStreamSendState();
  } else if (conference::Peer* peer = getPeer(id)) {
    peer->set(roleInfo.info, true);
  }
}

bool HX_Conference::isConferenceWithCallId(const HXUriProtocol& uri) const {
  std::string id = uri.getCallId();
  const std::string login = myLogin();
  if (uri.callIdIsConferenceId()) {
    if (!isGroupConf() || id.empty()) return false;
    if (id.find('@') == std::string::npos) id += "@" + m_serverId;
    return EqualNoCase(id, m_callId) || EqualNoCase(id, m_sid);
  }
  if (id.empty()) return false;
  if (HXFSMShared* shared = fsm()) id = shared->GetPeerId(id, true);
  if (!login.empty() && id == login) return true;
  if (m_type == 0) return id == m_callId;
  if (!isGroupConf()) return false;
  const conference::Peer* peer = getPeer(id);
  return peer != nullptr &&
         ((peer->flags & conference::ParticipantInfoHolder::kOwner) != 0 || peer->getRole() == 2);
}

// ---- remote control lists

bool HX_Conference::manageSet(std::set<std::string>& set, const std::string& id, bool add,
                              bool clearAll) {
  if (clearAll) {
    set.clear();
    return true;
  }
  return add ? set.insert(id).second : set.erase(id) != 0;
}

bool HX_Conference::ManageInReqvs(const std::string& id, bool add, bool clearAll) {
  return manageSet(m_inReqs, id, add, clearAll);
}
bool HX_Conference::ManageOutReqvs(const std::string& id, bool add, bool clearAll) {
  return manageSet(m_outReqs, id, add, clearAll);
}
bool HX_Conference::ManageIncomingControls(const std::string& id, bool add, bool clearAll) {
  return manageSet(m_controllingMe, id, add, clearAll);
}
bool HX_Conference::ManageOutgoingControls(const std::string& id, bool add, bool clearAll) {
  return manageSet(m_underMyControl, id, add, clearAll);
}

void HX_Conference::RemovePeerFromControlLists(const std::string& id) {
  m_inReqs.erase(id);
  m_outReqs.erase(id);
  m_controllingMe.erase(id);
  m_underMyControl.erase(id);
}
