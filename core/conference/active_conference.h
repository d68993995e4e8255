#pragma once
// What the shared client state reports of the active conference: a value copied out of the
// conference store under its read lock, so that no caller keeps a pointer into a conference the
// network loop may delete at any moment.

#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "core/conference/conference_type.h"

namespace conference {

using PeerId = std::string;

struct ActiveConferenceInfo {
  HX_Conference_Type type = -1;
  int32_t subType = 0;  // HX_GroupConf_SubType
  int32_t scope = -1;
  bool audio = false;
  uint32_t maxCast = 0;
  uint32_t maxParticipants = 0;
  std::string name;
  std::string sid;
  std::string cid;
  std::string owner;
  std::string server;
  std::string sidDomain;
  // Each participant with its role (HX_Participant_Role) and leader type.
  struct Participant {
    int32_t role = 1;
    int32_t leaderType = 0;
  };
  std::map<PeerId, Participant> participants;
};

}  // namespace conference
