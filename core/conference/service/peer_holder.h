#pragma once
// HX_PeerHolder: the record of one peer's send stream as the server's
// "ReceiverConnected" notice describes it (the stream this client may receive).
// The conference service builds it, hands it to the store and the conference
// and raises it with its receiver signals; jobs copy it by value.
//
// A plain value; not thread-safe.

#include <cstdint>
#include <string>

#include "core/conference/conference_type.h"
#include "core/wire/client_caps.h"

class HX_PeerHolder {
 public:
  HX_PeerHolder() = default;

  int32_t value = 1;  // 1 at construction; the conference service does not change it
  HX_Conference_Type type = 0;
  std::string peerId;
  std::string SID;
  uint32_t mediaFilter = 0;  // 0x100 audio, 0x200 video, 0x400 and 0x800 further media
  uint32_t deviceStatus = 0;
  HX_ClientCaps caps;
  std::string streamName;  // "Name"
  std::string streamKey;   // "SymKey"
  // A type-6 conference's multicast group ("McastIp", "Port", "Key").
  std::string multicastAddress;
  uint16_t multicastPort = 0;
  uint32_t multicastKey = 0;
};
