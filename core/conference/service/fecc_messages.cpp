// HX_ConfManager: far-end camera control messages ("FECC"). The platform's requests (ask a peer
// for its policy or for access, send a command) go through one checked send that consults the
// conference's camera-control rules (conference::ConferenceFeccHelper); a received "FECC" is
// applied to the same rules, answered where they say so and reported to the platform.
//
// Lock discipline: the checked send runs with the conference's lock (the store's write lock)
// held, because the rules read and move the peers' states; the message is queued under it.
// FeccRequestSignal goes out after the lock is released.
#include <string>
#include <vector>

#include "core/conference/conf_manager.h"
#include "core/conference/service/conf_protocol.h"
#include "core/conference/service/message_reader.h"
#include "core/transport/session.h"

using namespace hx::conference_service;

namespace {

// A reply slot the rules leave alone unless they have something to send back.
constexpr conference::eFeccRequestType kNoReply = -1;

conference::FeccCommand Command(conference::eFeccRequestType type, int32_t value = 0) {
  conference::FeccCommand command;
  command.requestType = type;
  command.value = value;
  return command;
}

}  // namespace

bool HX_ConfManager::feccSendRequest(const char* SID, const char* target,
                                     const conference::FeccCommand& command) {
  HX_Container body;
  body.AddValue(METHOD_PARAM, FECC_METHOD);
  if (SID != nullptr) body.AddValue(CONFERENCE_PARAM, SID);
  body.AddValue(TYPE_PARAM, static_cast<int32_t>(command.requestType));
  body.AddValue(FROM_PARAM, myLogin().c_str());
  if (target != nullptr) body.AddValue(TO_PARAM, target);
  switch (command.requestType) {
    case conference::kFeccPolicyReply:
    case conference::kFeccPolicyNotice:
      body.AddValue(FECCSTATE_PARAM, static_cast<int32_t>(command.value));
      break;
    case conference::kFeccPresetSet:
    case conference::kFeccPresetGo:
      body.AddValue(PRESET_NUM_PARAM, static_cast<int32_t>(command.value));
      break;
    default:
      break;
  }
  return send(body, ReturnBroker(SID));
}

bool HX_ConfManager::feccSendRequest(ConferenceLock& lock, const char* peer,
                                     const conference::FeccCommand& command) {
  HX_Conference* conference = lock.conference();
  if (conference == nullptr) return false;
  conference::Peer* record = nullptr;
  std::string target;
  if (command.requestType == conference::kFeccPolicyNotice) {
    target = myLogin();
  } else {
    if (conference->isGroupConf()) {
      if (peer == nullptr) return false;
      record = conference->getPeer(peer);
    } else {
      record = conference->firstPeer();
    }
    if (record != nullptr) target = record->getId();
  }
  // Checked before the rules: a refused send must not move the peer's states.
  const auto& session = transportSession();
  if (!session || session->getStateTrs() != HX_TransportSession::eLoggedIn) return false;
  if (!conference->getFeccHelper().processSendCommand(record, command)) return false;
  return feccSendRequest(conference->getSID().c_str(), target.c_str(), command);
}

bool HX_ConfManager::feccConferenceLock(ConferenceLock& lock, const char* SID) {
  if (SID == nullptr) return activeConferenceWLock(lock);
  return getConferenceLock(lock, std::string(SID));
}

bool HX_ConfManager::FeccRequestAccess(const char* SID, const char* peer) {
  ConferenceLock lock;
  if (!feccConferenceLock(lock, SID)) return false;
  return feccSendRequest(lock, peer, Command(conference::kFeccAccessRequest));
}

bool HX_ConfManager::FeccRequestState(const char* SID, const char* peer) {
  ConferenceLock lock;
  if (!feccConferenceLock(lock, SID)) return false;
  const conference::FeccCommand request = Command(conference::kFeccPolicyRequest);
  if (peer != nullptr) return feccSendRequest(lock, peer, request);
  // The ids are copied first: the map is not walked while sends run.
  std::vector<std::string> ids;
  for (const auto& entry : lock->peers()) ids.push_back(entry.first);
  bool all = !ids.empty();
  for (const std::string& id : ids) {
    // A failure does not stop the others.
    if (!feccSendRequest(lock, id.c_str(), request)) all = false;
  }
  return all;
}

bool HX_ConfManager::FeccSendCommand(const char* SID, const char* peer,
                                     const conference::FeccCommand& command) {
  ConferenceLock lock;
  if (!feccConferenceLock(lock, SID)) return false;
  return feccSendRequest(lock, peer, command);
}

void HX_ConfManager::parseFeccRequest(const HX_Container& message) {
  const conference::eFeccRequestType type = Int(message, TYPE_PARAM, conference::kFeccPolicyNotice);
  const char* sid = Str(message, CONFERENCE_PARAM);
  const char* from = Str(message, FROM_PARAM);

  ConferenceLock lock;
  bool found = NonEmpty(sid) && getConferenceLock(lock, std::string(sid));
  if (!found) found = activeConferenceWLock(lock);
  if (found) {
    // A sender without a peer record (no "From", or one the conference does not hold) is
    // handed to the rules as none: they carry a camera command out for it only under the
    // policy that needs no grant.
    conference::Peer* peer = from != nullptr ? lock->getPeer(from) : nullptr;
    conference::FeccCommand reply = Command(kNoReply);
    const bool changed = lock->getFeccHelper().processReceivedCommand(reply, peer, type, message);
    if (reply.requestType != kNoReply) feccSendRequest(lock, from, reply);
    const std::string conferenceSid = lock.conference() != nullptr ? lock->getSID() : "";
    lock.Unlock();
    if (changed) FeccRequestSignal.Emit(conferenceSid, from != nullptr ? from : "", type);
    return;
  }

  // No conference: the two questions still get their answers, straight to the sender, without
  // the rules (there are no states to check). A request without a sender has nobody to answer.
  if (from == nullptr) return;
  if (type == conference::kFeccAccessRequest) {
    feccSendRequest(sid, from, Command(conference::kFeccAccessDenied));
  } else if (type == conference::kFeccPolicyRequest) {
    const conference::DefaultParams defaults = getConferenceDefaults();
    feccSendRequest(sid, from, Command(conference::kFeccPolicyReply, defaults.fecc.getMyState()));
  }
}
