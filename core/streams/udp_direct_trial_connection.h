#pragma once
// The records that a direct UDP trial and its owning lists share: what is known of the
// conference (ConferenceInfo) and one path under test (TrialDirectConnection). Plain values
// without locks; the lists keep them under the conference storage lock.

#include <cstdint>
#include <memory>
#include <string>

#include "core/net/address/sock_addr.h"

class HX_Conference;

namespace hx::streams::udp {

// Shared by a trial list and its attempts.
struct ConferenceInfo {
  std::string ownName;         // the signed-in user's login
  std::string conferenceName;  // the conference's SID
  int32_t conferenceId = 0;
  bool invited = false;  // this client is the conference's invited side

  // Takes id, SID and the invited flag from the conference, and the own name as given.
  void fill(const HX_Conference& conference, const std::string& ownName);
};

// One trial path: a local listener socket and a remote address of one peer endpoint.
struct TrialDirectConnection {
  int32_t epn = 0;    // id of the peer endpoint under test
  HXSockAddr local;   // bound address of the listener socket used
  HXSockAddr remote;  // where hellos and replies go
  std::string peerName;
  uint32_t socketId = 0;  // the cross connector's id of the listener socket
  uint64_t rtt = 0;       // round-trip time in ms; 0 while unknown
  HXSockAddr localNat;
  HXSockAddr remoteNat;
  std::shared_ptr<ConferenceInfo> confInfo;

  // "peerId <name> (epn=<n> socketId=<n>) <local>(<local NAT>) -> <remote>(<remote NAT>)", each
  // NAT part only when set; for diagnostics.
  std::string str() const;
};

}  // namespace hx::streams::udp
