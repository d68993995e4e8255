#include "core/streams/udp_direct_trial_connection.h"

#include "core/conference/model/conference.h"

namespace hx::streams::udp {

void ConferenceInfo::fill(const HX_Conference& conference, const std::string& own) {
  ownName = own;
  conferenceName = conference.getSID();
  conferenceId = conference.getId();
  invited = conference.isFlag(HX_Conference::kFlagInvited);
}

std::string TrialDirectConnection::str() const {
  std::string text = "peerId " + peerName + " (epn=" + std::to_string(epn) +
                     " socketId=" + std::to_string(socketId) + ") " + local.strBind();
  if (!localNat.empty()) text += "(" + localNat.strBind() + ")";
  text += " -> " + remote.strBind();
  if (!remoteNat.empty()) text += "(" + remoteNat.strBind() + ")";
  return text;
}

}  // namespace hx::streams::udp
