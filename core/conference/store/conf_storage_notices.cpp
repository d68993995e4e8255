// The conference store's handling of server notices: join completion (with the
// waiting parameters of a type-6 join), peers with a new id, device status,
// listener filters, and the receive-stream notices recorded until the streams
// take them.
#include "core/base/ios_log.h"
#include "core/conference/service/peer_holder.h"
#include "core/conference/store/conf_storage.h"
#include "core/net/address/sock_addr.h"

WaitConfParamSenderConnected::WaitConfParamSenderConnected(uint64_t k, const HXSockAddr& a)
    : WaitConferenceParamBase(0), key(k), address(std::make_shared<HXSockAddr>(a)) {}

bool HX_ConfStorage::onConferenceJoinReceived(ConferenceLock& lock, const char* key) {
  HX_Conference* conference = lock.conference();
  if (conference == nullptr) return true;
  const std::string joinKey = key != nullptr ? key : "";
  if (conference->getType() != 6) return applyJoin(lock, joinKey);
  // Multicast media needs both the "Join" reply and the server's
  // "SenderConnected" notice; they come in either order.
  const auto waiting = getWaitConfParam(conference->getSID(), 0);
  if (waiting) {
    const auto* sender = static_cast<const WaitConfParamSenderConnected*>(waiting.get());
    conference->addMediaEPMulticast(conference->owner(), static_cast<uint32_t>(sender->key),
                                    *sender->address, 1);
    return applyJoin(lock, joinKey);
  }
  addWaitConfParam(conference->getSID(), std::make_shared<WaitConfParamJoinIntercom>(joinKey));
  return true;
}

bool HX_ConfStorage::applyJoin(ConferenceLock& lock, const std::string& key) {
  HX_Conference* conference = lock.conference();
  if (conference == nullptr) return true;
  conference->setState(lock, conference::kStateJoined);
  if (lock.conference() == nullptr) return true;
  const std::string sid = lock->getSID();
  const std::string name = lock->getName();
  const bool held = lock.TempUnlock();
  conferenceJoinResult.Emit(sid.c_str(), name.c_str(), key.c_str(), 0);
  if (held) lock.ReLock();
  return true;
}

void HX_ConfStorage::onSenderConnected(const std::string& user, const std::string& SID,
                                       unsigned long key, HXSockAddr& address) {
  ConferenceLock lock;
  if (getConferenceLock(lock, SID) && lock->getType() == 6) {
    const auto waiting = getWaitConfParam(SID, 1);
    if (waiting) {
      const std::string joinKey = static_cast<const WaitConfParamJoinIntercom*>(waiting.get())->key;
      lock->addMediaEPMulticast(user, static_cast<uint32_t>(key), address, 1);
      applyJoin(lock, joinKey);
      return;
    }
  }
  lock.Unlock();
  addWaitConfParam(SID, std::make_shared<WaitConfParamSenderConnected>(key, address));
}

void HX_ConfStorage::onRegistrationInfoReceived(const char* oldId, const char* newId, const char*) {
  if (oldId == nullptr || newId == nullptr || std::string(oldId) == newId) return;
  HXAutoLock guard(m_wlock);
  for (const auto& [id, conference] : m_table) {
    if (conference->getType() != 0 || !conference->isVerified() || !conference->isOwner(1))
      continue;
    if (conference->getPeer(oldId) != nullptr) conference->renamePeer(oldId, newId);
  }
}

void HX_ConfStorage::onDeviceStatusReceived(const char* SID, const char* peer, int status) {
  if (peer == nullptr) return;
  HXAutoLock guard(m_wlock);
  if (SID != nullptr) {
    HX_Conference* conference = getConferenceNL(std::string(SID));
    if (conference != nullptr) conference->setDeviceStatus(peer, status);
    return;
  }
  for (const auto& [id, conference] : m_table) {
    if (conference->isVerified() && conference->getPeer(peer) != nullptr) {
      conference->setDeviceStatus(peer, status);
      return;
    }
  }
}

void HX_ConfStorage::onListenersFltrUpdate(const char* SID, unsigned long filter) {
  HXAutoLock guard(m_wlock);
  HX_Conference* conference = SID != nullptr ? getConferenceNL(std::string(SID)) : m_active;
  if (conference != nullptr) conference->setListenersFilter(filter);
}

bool HX_ConfStorage::onReceiverConnected(int id, const HX_PeerHolder& holder) {
  HXAutoLock guard(m_wlock);
  m_receiverNotices.push_back({"connected", id, holder.peerId, holder.SID});
  return m_receiverConnectedAnswer;
}

void HX_ConfStorage::onReceiverChanged(int id, const HX_PeerHolder& holder) {
  HXAutoLock guard(m_wlock);
  m_receiverNotices.push_back({"changed", id, holder.peerId, holder.SID});
}

void HX_ConfStorage::onReceiverDisconnected(int id, const HX_PeerHolder& holder) {
  HXAutoLock guard(m_wlock);
  m_receiverNotices.push_back({"disconnected", id, holder.peerId, holder.SID});
}

std::vector<HX_ConfStorage::ReceiverNotice> HX_ConfStorage::receiverNotices() {
  HXAutoLock guard(m_wlock);
  return m_receiverNotices;
}

std::vector<HX_ConfStorage::PeerEndpointsNotice> HX_ConfStorage::peerEndpointUpdates() {
  HXAutoLock guard(m_wlock);
  return m_peerEndpointUpdates;
}

void HX_ConfStorage::setReceiverConnectedAnswer(bool answer) {
  HXAutoLock guard(m_wlock);
  m_receiverConnectedAnswer = answer;
}
