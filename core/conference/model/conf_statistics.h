#pragma once
// conference::Statistics: what a conference reports to the server with its participation log
// ("LogPartStat") when it is destroyed: sent and received kilobytes, the completed 64-byte stream
// statistics block, the conference SID and the own login.

#include <cstdint>
#include <string>

#include "core/streams/conference_statistics.h"

namespace conference {

struct Statistics {
  uint32_t sentKBytes = 0;
  uint32_t recvKBytes = 0;
  stream::TConferenceStatistics base;
  std::string sid;
  std::string login;
};

}  // namespace conference
