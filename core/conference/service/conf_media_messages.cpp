// HX_ConfManager: media-connection, status and statistics messages in both
// directions: the server's receiver and sender notices, listener filters,
// bit-rate commands, device status and layout; the receive and send filters,
// connection information, connection failures, picture-size limits, statuses,
// device status and the statistics sent to "LOG".
#include <strings.h>

#include <cstring>

#include "core/base/ios_log.h"
#include "core/client/fsm_shared.h"
#include "core/client/net_config_manager.h"
#include "core/conference/conf_manager.h"
#include "core/conference/service/conf_protocol.h"
#include "core/conference/service/message_reader.h"
#include "core/net/address/addr_factory.h"
#include "core/net/loop/zserver.h"
#include "core/streams/net_listener.h"
#include "core/transport/session.h"

using namespace hx::conference_service;

// ---- incoming

void HX_ConfManager::parseReceiverConnected(const HX_Container& message) {
  const char* user = Str(message, USERNAME_PARAM);
  const char* sid = Str(message, CONFERENCE_PARAM);
  if (user == nullptr || sid == nullptr) return;
  const int32_t type = Int(message, TYPE_PARAM, 0);
  const int32_t result = Int(message, RESULT_PARAM, 2);
  ConferenceLock lock;
  if (!getConferenceLock(lock, std::string(sid))) return;
  if (lock->getState() == conference::kStateDeleted) return;
  const int32_t id = lock->getId();

  HX_PeerHolder holder;
  holder.type = type;
  holder.peerId = user;
  holder.SID = sid;
  holder.mediaFilter = static_cast<uint32_t>(Int(message, MEDIAFILTR_PARAM, 0));
  holder.deviceStatus = static_cast<uint32_t>(Int(message, DEVICESTATUS_PARAM, 0));
  size_t capsSize = 0;
  const void* capsBytes = Bin(message, CLIENTCAPS_PARAM, capsSize);
  if (capsBytes != nullptr && capsSize > 0) holder.caps.Set(capsBytes, capsSize);
  holder.streamName = StrOr(message, NAME_PARAM);
  if (lock->getType() == 6) {
    if (const char* group = Str(message, MULTICAST_IP_PARAM)) {
      holder.multicastAddress = group;
      // A port outside 1-65535 is as unusable as a bad address: no multicast
      // fields then (the old cut to 16 bits turned 70000 into 4464, a port
      // nobody sends to).
      const int32_t port = Int(message, PORT_PARAM, 0);
      if (port >= 1 && port <= 65535) {
        holder.multicastPort = static_cast<uint16_t>(port);
        holder.multicastKey = static_cast<uint32_t>(Int(message, KEY_PARAM, 0));
      } else {
        holder.multicastAddress.clear();
      }
    }
  }
  lock.Unlock();
  if (capsBytes != nullptr && capsSize > 0) ClientCapsReceivedSignal.Emit(user, holder.caps);

  switch (result) {
    case 4:
      onReceiverChanged(id, holder);
      ReceiverChangedSignal.Emit(holder);
      break;
    case 3:
      onReceiverDisconnected(id, holder);
      ReceiverDisconnectedSignal.Emit(holder);
      break;
    case 2:
      holder.streamKey = StrOr(message, SYMKEY_PARAM);
      if (onReceiverConnected(id, holder)) ReceiverConnectedSignal.Emit(holder);
      break;
    default:
      break;
  }
}

void HX_ConfManager::parseSenderConnected(const HX_Container& message) {
  const char* sid = Str(message, CONFERENCE_PARAM);
  const char* user = Str(message, USERNAME_PARAM);
  if (sid == nullptr || user == nullptr || Int(message, RESULT_PARAM, 0) != 2) return;
  const int32_t port = Int(message, PORT_PARAM, 0);
  if (port < 1 || port > 65535) return;
  const char* group = Str(message, MULTICAST_IP_PARAM);
  if (group == nullptr) return;
  const HXIpAddress ip = HXAddrFactory::get(group);
  if (!ip.isValid() || !ip.isMulticast()) return;
  HXSockAddr address(ip::Proto::udp, ip, static_cast<uint16_t>(port));
  const auto key = static_cast<unsigned long>(static_cast<uint32_t>(Int(message, KEY_PARAM, 0)));
  onSenderConnected(user, sid, key, address);
}

void HX_ConfManager::parseListenersFltr(const HX_Container& message) {
  const char* sid = Str(message, CONFERENCE_PARAM);
  const int32_t filter = Int(message, MEDIAFILTR_PARAM, 0);
  onListenersFltrUpdate(sid, static_cast<unsigned long>(static_cast<uint32_t>(filter)));
  ListenersFltrSignal.Emit(sid, filter);
}

void HX_ConfManager::parseCommand(const HX_Container& message) {
  const int32_t uniform = Int(message, RESTRICTBITRATE_PARAM, 0);
  const int64_t svc = Int64(message, RESTRICTBITRATESVC_PARAM, 0);
  conference::ServerBitrateControl record;
  bool use = false;
  if (uniform != 0) {
    record = conference::ServerBitrateControl::Uniform(uniform);
    use = true;
  } else if (svc != 0) {
    record = conference::ServerBitrateControl::Svc(static_cast<uint64_t>(svc));
    use = true;
  } else {
    record.baseLimit = Int(message, RESTRICTBITRATE_MIN_PARAM, 0);
    record.baseMaxLimit = Int(message, RESTRICTBITRATE_MAX_PARAM, 0);
    record.videoLimit = Int(message, RESTRICTBITRATE_MAX_VIDEO_PARAM, 0);
    record.dsLimit = Int(message, RESTRICTBITRATE_MAX_DS_PARAM, 0);
    record.confLimit = Int(message, RESTRICTBITRATE_TOTAL_PARAM, 0);
    record.fpsLimit = Int(message, RESTRICTFRAMERATE_PARAM, 0);
    record.videoResolutionLimit = Int(message, RESTRICTRESOLUTION_VIDEO_PARAM, 0);
    record.dsResolutionLimit = Int(message, RESTRICTRESOLUTION_DS_PARAM, 0);
    use = record.HasRestriction();
  }
  if (use) {
    RestrictBitrateSignal.Emit(record);
    return;
  }
  if (!Bool(message, REQESTKEYFRAME_PARAM, false)) return;
  ConferenceLock lock;
  const char* sid = Str(message, CONFERENCE_PARAM);
  if (!(sid != nullptr && getConferenceLock(lock, std::string(sid))) &&
      !activeConferenceWLock(lock)) {
    return;
  }
  lock->RequestKeyFrame();
}

void HX_ConfManager::parseDeviceStatus(const HX_Container& message) {
  const char* sid = Str(message, CONFERENCE_PARAM);
  const char* user = Str(message, USERNAME_PARAM);
  const int32_t status = Int(message, DEVICESTATUS_PARAM, 0x10001);
  onDeviceStatusReceived(sid, user, status);
  DeviceStatusSignal.Emit(user, status);
}

void HX_ConfManager::parseManageLayout(const HX_Container& message) {
  ManageLayoutSignal.Emit(Int(message, TYPE_PARAM, 0), Str(message, LAYOUT_PARAM));
}

// ---- outgoing

bool HX_ConfManager::SetPeerFltr(const char* peer, bool audio, bool video, bool third,
                                 bool fourth) {
  ConferenceLock lock;
  lock.Lock(StorageLock());
  HX_Conference* conference =
      peer != nullptr ? getConferenceByPeerNL(peer, kAnyConference) : nullptr;
  if (conference == nullptr) conference = activeConferenceNL();
  if (conference == nullptr) return false;
  lock.set(conference);
  // Only the lookup needs the lock; the request is composed from a strong
  // reference.
  const std::shared_ptr<HX_Conference> strong = lock.shConference();
  lock.Unlock();
  return SetPeerFltr(strong.get(), peer, audio, video, third, fourth);
}

bool HX_ConfManager::SetPeerFltr(HX_Conference* conference, const char* peer, bool audio,
                                 bool video, bool third, bool fourth) {
  if (conference == nullptr || peer == nullptr) return false;
  const int32_t filter =
      (audio ? 0x100 : 0) + (video ? 0x200 : 0) + (third ? 0x400 : 0) + (fourth ? 0x800 : 0);
  const std::string me = myLogin();
  HX_Container body;
  if (strcasecmp(peer, me.c_str()) != 0) {
    body.AddValue(METHOD_PARAM, CONNECTRECEIVER_METHOD);
    body.AddValue(NAME_PARAM, peer);
    body.AddValue(USERNAME_PARAM, me.c_str());
  } else {
    body.AddValue(METHOD_PARAM, CONNECTSENDER_METHOD);
    body.AddValue(USERNAME_PARAM, me.c_str());
  }
  body.AddValue(MEDIAFILTR_PARAM, filter);
  std::string server;
  {
    HXAutoLock guard(StorageLock());
    server = conference->getServerId();
  }
  return send(body, server.c_str());
}

bool HX_ConfManager::SendConnectionInfo(const char* peer, const char* SID) {
  HX_Container body;
  body.AddValue(METHOD_PARAM, CONFIGURATIONUPDATED_METHOD);
  body.AddValue(NAME_PARAM, myLogin().c_str());
  HXIpIfAddrSet interfaces;
  if (HXIfIpAddrContainerTS* list = HXZServer::getIfAddrList()) interfaces = list->getAddrList();
  HXZAcceptorInfo acceptors;
  if (const auto& session = transportSession()) {
    if (const auto listener = session->getNetListener()) acceptors = listener->getAcceptorInfo();
  }
  if (HX_NetConfigManager::fillNetworkConfiguration(interfaces, acceptors, peer, body) == 0) {
    return true;
  }
  return send(body, ReturnBroker(SID), peer);
}

bool HX_ConfManager::SendConnectFailure(HX_Conference* conference) {
  if (conference == nullptr) return false;
  HX_Container body;
  body.AddValue(METHOD_PARAM, CONNECTFAILURE_METHOD);
  body.AddValue(CONFERENCE_PARAM, conference->getSID().c_str());
  body.AddValue(OWNER_PARAM, conference->owner().c_str());
  body.AddValue(USERNAME_PARAM, myLogin().c_str());
  std::string host;
  if (const auto& session = transportSession()) {
    HXSockAddr bind;
    if (session->getLocalBind(bind)) host = bind.str();
  }
  body.AddValue(HOST_PARAM, host.c_str());
  HX_TransportEndpointList endpoints;
  conference->fillEndpointsList(endpoints);
  if (endpoints.empty()) return false;
  std::vector<std::vector<uint8_t>> stored;
  for (const auto& endpoint : endpoints) {
    if (!endpoint) continue;
    size_t size = 0;
    endpoint->Serialize(nullptr, size);
    if (size == 0) continue;
    std::vector<uint8_t> form(size);
    if (!endpoint->Serialize(form.data(), size)) continue;
    form.resize(size);
    stored.push_back(std::move(form));
  }
  if (stored.empty()) return false;
  const std::vector<uint8_t> blob = HX_Endpoint::MakeListBlob(stored);
  if (blob.empty()) return false;
  body.AddValue(EPCONFIG_PARAM, HX_CNT_BINARY_VT, blob.data(), blob.size());
  return send(body, conference->getServerId().c_str());
}

unsigned long HX_ConfManager::CalcPeerScreenLimitMB(int width, int height) {
  if (width <= 0 || height <= 0) return 0;
  return (static_cast<unsigned long>(width) * static_cast<unsigned long>(height)) >> 8;
}

bool HX_ConfManager::SetPeerScreenLimit(const char* peer, int width, int height) {
  return SetPeerScreenLimit(peer, CalcPeerScreenLimitMB(width, height));
}

bool HX_ConfManager::SetPeerScreenLimit(const char* peer, unsigned long macroblocks) {
  if (macroblocks == 0 || peer == nullptr) return false;
  std::map<std::string, unsigned long> one{{peer, macroblocks}};
  return SetPeerScreenLimit(one);
}

bool HX_ConfManager::SetPeerScreenLimit(const std::map<std::string, unsigned long>& limits) {
  std::string sid;
  {
    ConferenceLock lock;
    if (!activeConferenceRLock(lock)) return false;
    sid = lock->getSID();
  }
  HX_Container body;
  body.AddValue(METHOD_PARAM, MBPSLIST_METHOD);
  body.AddValue(CONFERENCE_PARAM, sid.c_str());
  body.AddValue(USERNAME_PARAM, myLogin().c_str());
  for (const auto& [peer, macroblocks] : limits) {
    if (macroblocks == 0) continue;
    body.AddValue(USERNAME_PARAM, peer.c_str());
    body.AddValue(FRAMESIZEMBUSER_PARAM, static_cast<int32_t>(macroblocks));
  }
  return send(body, ReturnBroker(sid.c_str()));
}

bool HX_ConfManager::SetMyLStatus(int32_t status) {
  std::string sid;
  {
    ConferenceLock lock;
    if (!activeConferenceRLock(lock)) return false;
    sid = lock->getSID();
  }
  HX_Container body;
  body.AddValue(METHOD_PARAM, SETMYLSTATUS_METHOD);
  body.AddValue(LSTATUS_PARAM, status);
  body.AddValue(CALLID_PARAM, myLogin().c_str());
  body.AddValue(CONFERENCE_PARAM, sid.c_str());
  return send(body, ReturnBroker(sid.c_str()));
}

bool HX_ConfManager::ClearAllLStatuses() {
  std::string sid;
  {
    ConferenceLock lock;
    if (!activeConferenceRLock(lock)) return false;
    sid = lock->getSID();
  }
  HX_Container body;
  body.AddValue(METHOD_PARAM, CLEARALLLSTATUSES_METHOD);
  body.AddValue(CALLID_PARAM, myLogin().c_str());
  body.AddValue(CONFERENCE_PARAM, sid.c_str());
  return send(body, ReturnBroker(sid.c_str()));
}

bool HX_ConfManager::SetDeviceStatus(unsigned status) {
  ConferenceLock lock;
  if (!activeConferenceWLock(lock)) return false;
  return SetDeviceStatus(lock, status);
}

bool HX_ConfManager::SetDeviceStatus(ConferenceLock& lock, unsigned status) {
  HX_Conference* conference = lock.conference();
  if (conference == nullptr) return false;
  // Outside state 2 the conference keeps no status: answering true here would
  // count a status that was neither stored nor sent as announced, and it would
  // never be sent once joined.
  if (conference->getState() != conference::kStateJoined) return false;
  const uint32_t previous = conference->updateDeviceStatus(status);
  if (previous == status) return true;
  HX_Container body;
  body.AddValue(METHOD_PARAM, DEVICESTATUS_METHOD);
  body.AddValue(CONFERENCE_PARAM, conference->getSID().c_str());
  body.AddValue(USERNAME_PARAM, myLogin().c_str());
  body.AddValue(DEVICESTATUS_PARAM, static_cast<int32_t>(status));
  if (!send(body, ReturnBroker(conference->getSID().c_str()))) {
    conference->updateDeviceStatus(previous);
    return false;
  }
  return true;
}

void HX_ConfManager::SetSystemLoad(int load) {
  ios_log("Obsoleted: cpu load is requested in HX_ConfStorage (%d)", load);
}

void HX_ConfManager::SendConfStat(const conference::Statistics& statistics) {
  {
    std::lock_guard<std::mutex> lock(m_hookMutex);
    m_sentStatistics.push_back(statistics);
  }
  static_assert(sizeof(statistics.base) == 64, "the base statistics block is 64 bytes");
  HX_Container body;
  body.AddValue(METHOD_PARAM, LOGPARTSTAT_METHOD);
  body.AddValue(CONFERENCE_PARAM, statistics.sid.c_str());
  body.AddValue(CALLID_PARAM, statistics.login.c_str());
  body.AddValue(BYTES_SENT_PARAM, static_cast<int32_t>(statistics.sentKBytes));
  body.AddValue(BYTES_RECEIVED_PARAM, static_cast<int32_t>(statistics.recvKBytes));
  body.AddValue(CONF_BASE_STAT_PARAM, HX_CNT_BINARY_VT, &statistics.base, sizeof(statistics.base));
  send(body, ReturnBroker(statistics.sid.c_str()), nullptr, LOG_SRV);
}
