#include "core/contacts/history/last_calls.h"

#include "core/base/ios_log.h"

namespace lc = hx::lastCalls;

namespace {

// The conference service passes null for texts a message did not carry: logged and stored as
// empty.
const char* Text(const char* text) { return text != nullptr ? text : ""; }

}  // namespace

HX_LastCalls::HX_LastCalls() { ios_log("HX_LastCalls::HX_LastCalls"); }

HX_LastCalls::~HX_LastCalls() { ios_log("%s", "HX_LastCalls::~HX_LastCalls"); }

bool HX_LastCalls::OpenDatabase(const char* peer, const char* dir) {
  ios_log("HX_LastCalls::OpenDatabase %s %s", Text(peer), Text(dir));
  bool opened = false;
  {
    HXAutoLock hold(m_lock);
    opened = HX_LastCallsDB::OpenDatabase(peer, dir);
  }
  // The open closed the rows a previous run left unfinished: the journal changed.
  if (opened) lastCallsChanged.Emit();
  return opened;
}

HX_Conference_Type HX_LastCalls::ConfType() {
  HX_Conference_Type type = 0;
  confTypeRequest.Emit(type);
  return type;
}

void HX_LastCalls::OnInviteSent(const char* peer, const char* confId) {
  ios_log("HX_LastCalls::OnInviteSent %s %s", Text(peer), Text(confId));
  SaveCall(lc::inviteSent, lc::outgoing, ConfType(), peer, confId, "", "");
  lastCallsChanged.Emit();
}

void HX_LastCalls::OnInviteReceived(const std::string& confId, const char* peer,
                                    const char* /*displayName*/) {
  ios_log("HX_LastCalls::OnInviteReceived %s %s", confId.c_str(), Text(peer));
  SaveCall(lc::inviteReceived, lc::incoming, ConfType(), peer, confId.c_str(), "", "");
  lastCallsChanged.Emit();
}

void HX_LastCalls::OnInviteToMultiSent(const char* peer, const char* confId,
                                       const char* confName) {
  ios_log("HX_LastCalls::OnInviteToMultiSent %s %s %s", Text(peer), Text(confId), Text(confName));
  const HX_Conference_Type type = ConfType();
  {
    HXAutoLock hold(*this);
    const uint64_t row = CheckActiveReqInvite(Text(peer));
    if (row != kNoRow) {
      UpdateReqInvite(row, lc::inviteToMultiSent, Text(confId), Text(confName));
    } else {
      SaveCall(lc::inviteToMultiSent, lc::outgoing, type, peer, confId, "", confName);
    }
  }
  lastCallsChanged.Emit();
}

void HX_LastCalls::OnInviteToMultiReceived(const std::string& confId, const char* peer,
                                           const char* confName) {
  ios_log("HX_LastCalls::OnInviteToMultiReceived %s %s %s", confId.c_str(), Text(peer),
          Text(confName));
  const HX_Conference_Type type = ConfType();
  if (*Text(peer) == '\0') {
    // Nobody to match a request with: the conference id is all that names the invitation.
    SaveCall(lc::inviteToMultiReceived, lc::incoming, type, "", "", confId.c_str(), confName);
  } else {
    HXAutoLock hold(*this);
    const uint64_t row = CheckActiveReqInvite(peer);
    if (row != kNoRow) {
      UpdateReqInvite(row, lc::inviteToMultiReceived, confId, Text(confName));
    } else {
      SaveCall(lc::inviteToMultiReceived, lc::incoming, type, peer, confId.c_str(), "", confName);
    }
  }
  lastCallsChanged.Emit();
}

void HX_LastCalls::OnReqInviteSent(const char* peer) {
  ios_log("HX_LastCalls::OnReqInviteSent %s", Text(peer));
  SaveCall(lc::reqInviteSent, lc::outgoing, ConfType(), peer, "", "", "");
  lastCallsChanged.Emit();
}

void HX_LastCalls::OnReqInviteReceived(const char* /*userName*/, const char* peer,
                                       const char* /*displayName*/) {
  ios_log("HX_LastCalls::OnReqInviteReceived %s", Text(peer));
  SaveCall(lc::reqInviteReceived, lc::incoming, ConfType(), peer, "", "", "");
  lastCallsChanged.Emit();
}

void HX_LastCalls::OnAcceptSent(const char* peer, const char* confId) {
  ios_log("HX_LastCalls::OnAcceptSent %s %s", Text(peer), Text(confId));
  JoinToCall(lc::acceptSent, confId, peer);
  lastCallsChanged.Emit();
}

void HX_LastCalls::OnAcceptReceived(const char* peer, const char* /*displayName*/,
                                    const char* confId, const char* /*key*/) {
  ios_log("HX_LastCalls::OnAcceptReceived %s %s", Text(peer), Text(confId));
  JoinToCall(lc::acceptReceived, confId, peer);
  lastCallsChanged.Emit();
}

void HX_LastCalls::OnJoinSent(const std::string& confIdOrName) {
  ios_log("HX_LastCalls::OnJoinSent %s", confIdOrName.c_str());
  const HX_Conference_Type type = ConfType();
  {
    HXAutoLock hold(*this);
    const uint64_t row = CheckActiveInviteToMulti(confIdOrName);
    if (row != kNoRow) {
      // The invitation row only waits for the join answer now; the journal shows nothing new.
      UpdateInviteToMulti(row, lc::namedJoinSent);
      return;
    }
    SaveCall(lc::namedJoinSent, lc::outgoing, type, "", "", confIdOrName.c_str(), "");
  }
  lastCallsChanged.Emit();
}

void HX_LastCalls::OnJoinReceived(const char* namedConfId, const char* confId,
                                  const char* confName, const char* owner) {
  ios_log(
      "HX_LastCalls::OnJoinReceived namedConferenceId = %s, conferenceId = %s, conferenceName = "
      "%s, owner = %s",
      Text(namedConfId), Text(confId), Text(confName), Text(owner));
  const HX_Conference_Type type = ConfType();
  const std::string conf = Text(confId);
  const std::string name = Text(confName);
  const std::string ownerId = Text(owner);
  {
    HXAutoLock hold(*this);
    const std::string pending = CheckActiveNamedJoinSent();
    // An answer that names the conference only by its id completes the pending join by name.
    std::string named = namedConfId != nullptr ? namedConfId : conf;
    if (named == conf) named = pending;
    if (ownerId == m_peer) {
      if (!pending.empty()) {
        UpdateMyConf(pending, conf, name, ownerId);
      } else {
        JoinToMyConf(lc::outgoing, type, ownerId, conf, name);
      }
    } else {
      JoinToConf(named, conf, name);
    }
  }
  lastCallsChanged.Emit();
}

void HX_LastCalls::OnRejectSent(const char* peer, const char* confId, int /*reason*/) {
  ios_log("HX_LastCalls::OnRejectSent peerId = %s, conferenceId = %s", Text(peer), Text(confId));
  RejectIncomingReqinvite(peer, confId);
  lastCallsChanged.Emit();
}

void HX_LastCalls::OnConferenceDeleted(const char* id, HX_ConferenceDeleted_Result /*result*/) {
  ios_log("HX_LastCalls::OnConferenceDeleted %s", Text(id));
  FinishCall(id);
  lastCallsChanged.Emit();
}
