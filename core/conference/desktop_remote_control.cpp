#include "core/conference/desktop_remote_control.h"

#include <cstring>

#include "core/base/container.h"
#include "core/base/lock.h"
#include "core/client/protocol_constants.h"
#include "core/conference/conf_manager.h"
#include "core/conference/service/message_reader.h"
#include "core/conference/store/conference_lock.h"
#include "core/transport/session.h"

namespace {

namespace rd = hx::conference_service;

constexpr char kConference[] = "Conference";
constexpr char kFrom[] = "From";
constexpr char kTo[] = "To";

const char* OrEmpty(const char* text) { return text != nullptr ? text : ""; }

}  // namespace

HX_DesktopRemoteControlManager::HX_DesktopRemoteControlManager(
    std::shared_ptr<HX_TransportSession> transport, HXFSMShared* fsm,
    std::shared_ptr<HX_ConfManager> confManager)
    : HX_AbstractManager(DS_CONTROL_SRV, std::move(transport), fsm),
      m_confManager(std::move(confManager)) {}

HX_DesktopRemoteControlManager::~HX_DesktopRemoteControlManager() { UnregisterServiceHandler(); }

bool HX_DesktopRemoteControlManager::send(const HX_Container& body, const char* server) {
  if (server != nullptr && server[0] == '\0') server = nullptr;
  return ComposeSend(body, DS_CONTROL_SRV, nullptr, server, kRequestTimeLimitMs);
}

std::string HX_DesktopRemoteControlManager::myLogin() const {
  const auto& session = transportSession();
  if (!session) return std::string();
  const HX_TransportSessionData& data = *session;
  return data.getLogin();
}

bool HX_DesktopRemoteControlManager::lockConference(ConferenceLock& lock, const std::string& SID) {
  if (!m_confManager || SID.empty()) return false;
  return m_confManager->confStorage()->getConferenceLock(lock, SID);
}

std::string HX_DesktopRemoteControlManager::messageSid(const HX_Container& message) {
  const char* sid = rd::Str(message, kConference);
  if (sid != nullptr) return sid;
  if (!m_confManager) return std::string();
  HX_ConfStorage* store = m_confManager->confStorage();
  HXAutoLock guard(store->StorageLock());
  const HX_Conference* active = store->activeConferenceNL();
  return active != nullptr ? active->getSID() : std::string();
}

// ---- requests

bool HX_DesktopRemoteControlManager::SendRequestControl(const char* peer, const char* SID) {
  if (peer == nullptr || SID == nullptr) return false;
  bool known = false;
  {
    ConferenceLock lock;
    if (lockConference(lock, SID)) {
      if (lock->isOutgoingControlRequestPending(peer) || lock->isUnderMyControl(peer)) return false;
      lock->ManageOutReqvs(peer, true, false);
      known = true;
    }
  }
  HX_Container body;
  body.AddValue(METHOD_PARAM, DSCONTROL_REQUEST_METHOD);
  body.AddValue(kFrom, myLogin().c_str());
  body.AddValue(kTo, peer);
  body.AddValue(kConference, SID);
  const bool queued = send(body, ReturnBroker(SID));
  if (!queued) {
    // No answer can come for a request that never left: a pending entry would refuse every later
    // request to this peer until the conference ends.
    if (known) {
      ConferenceLock lock;
      if (lockConference(lock, SID)) lock->ManageOutReqvs(peer, false, false);
    }
    return false;
  }
  ControlRequestSentSignal.Emit(peer, SID);
  return true;
}

bool HX_DesktopRemoteControlManager::sendResponse(const char* requester, const char* SID,
                                                  const int32_t* result) {
  HX_Container body;
  body.AddValue(METHOD_PARAM, DSCONTROL_RESPONSE_METHOD);
  body.AddValue(kFrom, requester);
  body.AddValue(kTo, myLogin().c_str());
  body.AddValue(kConference, SID);
  if (result != nullptr) body.AddValue(RESULT_PARAM, *result);
  return send(body, ReturnBroker(SID));
}

bool HX_DesktopRemoteControlManager::SendResponseToControlRequest(const char* requester,
                                                                  const char* SID, bool accept,
                                                                  bool second) {
  if (requester == nullptr || SID == nullptr) return false;
  int32_t result = 0;
  bool known = false;
  {
    ConferenceLock lock;
    if (lockConference(lock, SID)) {
      known = true;
      if (!lock->ManageInReqvs(requester, false, false)) return false;
      if (!lock->isRemoteControlSource()) {
        result = kResultNoDesktop;
      } else if (second) {
        result = kResultRefusedSecond;
      } else if (accept) {
        if (!lock->ManageIncomingControls(requester, true, false)) return false;
        result = kResultGranted;
      } else {
        result = kResultRefused;
      }
    }
  }
  if (sendResponse(requester, SID, known ? &result : nullptr)) return true;
  // An answer that never left leaves the request pending, so that the user can answer again; a
  // grant the requester never learns of is taken back.
  if (known) {
    ConferenceLock lock;
    if (lockConference(lock, SID)) {
      lock->ManageInReqvs(requester, true, false);
      if (result == kResultGranted) lock->ManageIncomingControls(requester, false, false);
    }
  }
  return false;
}

bool HX_DesktopRemoteControlManager::SendFinishParticularRemoteControl(const char* peer,
                                                                       const char* SID) {
  if (peer == nullptr || SID == nullptr) return false;
  {
    ConferenceLock lock;
    if (lockConference(lock, SID) && !lock->ManageOutgoingControls(peer, false, false)) {
      return false;
    }
  }
  HX_Container body;
  body.AddValue(METHOD_PARAM, DSCONTROL_FINISH_METHOD);
  body.AddValue(kFrom, myLogin().c_str());
  body.AddValue(kTo, peer);
  body.AddValue(kConference, SID);
  return send(body, ReturnBroker(SID));
}

bool HX_DesktopRemoteControlManager::SendFinishAllRemoteControls(const char* SID) {
  if (SID == nullptr) return false;
  {
    ConferenceLock lock;
    if (lockConference(lock, SID)) lock->ManageOutgoingControls(std::string(), false, true);
  }
  HX_Container body;
  body.AddValue(METHOD_PARAM, DSCONTROL_FINISH_METHOD);
  body.AddValue(kFrom, myLogin().c_str());
  body.AddValue(kConference, SID);
  return send(body, ReturnBroker(SID));
}

bool HX_DesktopRemoteControlManager::SendStopControlMeSpecific(const char* peer, const char* SID) {
  if (peer == nullptr || SID == nullptr) return false;
  {
    ConferenceLock lock;
    if (lockConference(lock, SID) && !lock->ManageIncomingControls(peer, false, false)) {
      return false;
    }
  }
  HX_Container body;
  body.AddValue(METHOD_PARAM, DSCONTROL_FINISH_METHOD);
  body.AddValue(kTo, myLogin().c_str());
  body.AddValue(kFrom, peer);
  body.AddValue(kConference, SID);
  return send(body, ReturnBroker(SID));
}

bool HX_DesktopRemoteControlManager::SendStopControlMeAll(const char* SID) {
  if (SID == nullptr) return false;
  {
    ConferenceLock lock;
    if (lockConference(lock, SID)) lock->ManageIncomingControls(std::string(), false, true);
  }
  HX_Container body;
  body.AddValue(METHOD_PARAM, DSCONTROL_FINISH_METHOD);
  body.AddValue(kTo, myLogin().c_str());
  body.AddValue(kConference, SID);
  return send(body, ReturnBroker(SID));
}

bool HX_DesktopRemoteControlManager::SendControlCommand(const char* peer, const char* SID,
                                                        const void* data, unsigned long size) {
  if (peer == nullptr || SID == nullptr) return false;
  {
    ConferenceLock lock;
    if (lockConference(lock, SID) && !lock->isUnderMyControl(peer)) return false;
  }
  HX_Container body;
  body.AddValue(METHOD_PARAM, DSCOMMAND_METHOD);
  body.AddValue(kTo, peer);
  body.AddValue(kFrom, myLogin().c_str());
  if (data != nullptr && size != 0 && !body.AddValue(DATA_PARAM, HX_CNT_BINARY_VT, data, size)) {
    return false;
  }
  return send(body, ReturnBroker(SID));
}

bool HX_DesktopRemoteControlManager::SendVideosource(const char* SID, HX_VideoSourceType type) {
  if (SID == nullptr) return false;
  {
    ConferenceLock lock;
    if (!lockConference(lock, SID)) return false;
    lock->setVideoSourceType(type);
  }
  HX_Container body;
  body.AddValue(METHOD_PARAM, VIDEOSOURCETYPE_METHOD);
  body.AddValue(USERNAME_PARAM, myLogin().c_str());
  body.AddValue(kConference, SID);
  body.AddValue(TYPE_PARAM, static_cast<int32_t>(type));
  return send(body, nullptr);
}

// ---- incoming

bool HX_DesktopRemoteControlManager::ParseIncomimgMessage(HX_Container& message) {
  if (!message.IsValid()) return false;
  const char* method = rd::Str(message, METHOD_PARAM);
  if (method == nullptr) return false;
  if (std::strcmp(method, DSCONTROL_FINISHED_METHOD) == 0) return parseFinished(message);
  if (std::strcmp(method, DSCONTROL_REQUEST_METHOD) == 0) return parseRequest(message);
  if (std::strcmp(method, DSCOMMAND_METHOD) == 0) return parseCommand(message);
  if (std::strcmp(method, DSCONTROL_RESPONSE_METHOD) == 0) return parseResponse(message);
  return false;
}

bool HX_DesktopRemoteControlManager::parseFinished(const HX_Container& message) {
  const std::string sid = messageSid(message);
  if (sid.empty()) return false;
  const char* from = rd::Str(message, kFrom);
  const char* to = rd::Str(message, kTo);
  {
    ConferenceLock lock;
    if (!lockConference(lock, sid)) return false;
    const std::string me = myLogin();
    if (from != nullptr && !me.empty() && me == from && rd::NonEmpty(to)) {
      lock->ManageOutgoingControls(to, false, false);
    } else if (to != nullptr && !me.empty() && me == to && rd::NonEmpty(from)) {
      lock->ManageIncomingControls(from, false, false);
    }
  }
  ControlFinishedSignal.Emit(OrEmpty(from), OrEmpty(to), sid.c_str());
  return true;
}

bool HX_DesktopRemoteControlManager::parseRequest(const HX_Container& message) {
  const char* sid = rd::Str(message, kConference);
  const char* from = rd::Str(message, kFrom);
  // Without a requester there is nobody to answer or report; without "Conference" there is no
  // conference to name (a request does not fall back to the active one).
  if (!rd::NonEmpty(from) || !rd::NonEmpty(sid)) return false;
  {
    ConferenceLock lock;
    if (lockConference(lock, sid)) {
      if (!lock->isRemoteControlSource()) {
        // Every such request is answered, so that the requester drops its pending entry and may
        // ask again once a desktop is shared; nothing is kept here.
        lock->ManageInReqvs(from, false, false);
        lock.Unlock();
        const int32_t result = kResultNoDesktop;
        sendResponse(from, sid, &result);
        return false;
      }
      if (lock->isControlMe(from) || !lock->ManageInReqvs(from, true, false)) return false;
    }
  }
  ControlRequestReceivedSignal.Emit(from, sid);
  return true;
}

bool HX_DesktopRemoteControlManager::parseCommand(const HX_Container& message) {
  const std::string sid = messageSid(message);
  if (sid.empty()) return false;
  const char* from = rd::Str(message, kFrom);
  size_t size = 0;
  const void* data = rd::Bin(message, DATA_PARAM, size);
  bool deliver = false;
  {
    ConferenceLock lock;
    deliver = lockConference(lock, sid) && lock->isRemoteControlSource() && rd::NonEmpty(from) &&
              lock->isControlMe(from);
  }
  if (deliver) ControlCommandSignal.Emit(from, sid.c_str(), data, static_cast<unsigned long>(size));
  return true;
}

bool HX_DesktopRemoteControlManager::parseResponse(const HX_Container& message) {
  const std::string sid = messageSid(message);
  if (sid.empty()) return false;
  const char* responder = rd::Str(message, kTo);
  if (responder == nullptr) responder = rd::Str(message, NAME_PARAM);
  if (!rd::NonEmpty(responder)) return false;
  // A response without "Result" (or with one of another type) is a refusal.
  const int32_t result = rd::Int(message, RESULT_PARAM, 0);
  bool granted = false;
  {
    ConferenceLock lock;
    if (!lockConference(lock, sid)) return false;
    lock->ManageOutReqvs(responder, false, false);
    if (result == kResultGranted) {
      if (!lock->ManageOutgoingControls(responder, true, false)) return false;
      granted = true;
    }
  }
  ControlResponseSignal.Emit(responder, sid.c_str(), granted, static_cast<int>(result));
  return true;
}
