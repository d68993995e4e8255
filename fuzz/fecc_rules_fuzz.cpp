// Runs arbitrary sequences of camera-control messages, sent and received, through a conference's
// camera-control rules, with two peers and senders without a peer record. Each 4-byte step is: who
// (one of the peers or none) and direction, the message type, its "FeccState" (absent, of another
// type, or a value), and a spare byte that sets the own policy now and then. After every step the
// states stay in their ranges and the answers the rules promise hold: a policy request is answered
// with the own policy, an access request under policy 1 is allowed at once, and a camera command is
// carried out only where the own policy and the sender's grant allow it.
#include <cstdint>
#include <cstdlib>

#include "core/base/container.h"
#include "core/conference/model/conference.h"
#include "core/conference/model/conference_defaults.h"
#include "core/conference/model/peer.h"

namespace {

using conference::FeccCommand;
using conference::Peer;

const int32_t kTypes[] = {1, 2, 3, 17, 18, 19, 20, 33, 34, 35, 36, 37, 38, 65, 81, 82, 0, -1};

bool RequestInRange(int32_t state) { return state >= 0 && state <= 5; }
bool GrantInRange(int32_t state) { return state == 0 || (state >= 2 && state <= 5); }

bool IsCameraCommand(int32_t type) {
  switch (type) {
    case 1:
    case 2:
    case 3:
    case 17:
    case 18:
    case 19:
    case 20:
      return false;
    default:
      return true;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  HX_Conference conference(nullptr, 1, conference::DefaultParams());
  Peer* peers[3] = {conference.addPeer("a@x", 6), conference.addPeer("b@x", 6), nullptr};
  conference::ConferenceFeccHelper helper(&conference, conference::FeccParams(size > 0 ? data[0] % 3 : 0));

  for (size_t i = 1; i + 4 <= size; i += 4) {
    Peer* peer = peers[data[i] % 3];
    const bool sending = (data[i] & 0x80) != 0;
    const int32_t type = data[i + 1] < 0xE0 ? kTypes[data[i + 1] % (sizeof kTypes / sizeof *kTypes)]
                                            : static_cast<int8_t>(data[i + 1]);
    const uint8_t policyByte = data[i + 2];
    if (data[i + 3] >= 0xF0) helper.setMyState(data[i + 3] % 4);
    const int32_t own = helper.getMyState();
    const int32_t peerPolicyBefore = peer != nullptr ? peer->feccPeerState : 0;

    if (sending) {
      FeccCommand command;
      command.requestType = type;
      command.value = static_cast<int8_t>(policyByte) % 4;
      const bool goes = helper.processSendCommand(peer, command);
      if (type == 65 && goes) std::abort();
      if (type == 3 && helper.getMyState() != command.value) std::abort();
      if (type == 17 && goes && peer != nullptr && peer->feccRequestState != 3) std::abort();
    } else {
      HX_Container message;
      message.AddValue("FeccType", type);
      if (policyByte >= 0xC0) {
        message.AddValue("FeccState", "1");
      } else if (policyByte >= 0x40) {
        message.AddValue("FeccState", static_cast<int32_t>(static_cast<int8_t>(policyByte) % 5));
      }
      const bool localAllowed = peer != nullptr && peer->isFeccControlLocalAllowed(own);
      FeccCommand reply;
      const bool result = helper.processReceivedCommand(reply, peer, type, message);
      if (helper.getMyState() != own) std::abort();
      if (type == 1 && (result || reply.requestType != 2 || reply.value != own)) std::abort();
      if (type == 17 && own == 1 && (result || reply.requestType != 18)) std::abort();
      if (IsCameraCommand(type)) {
        if (reply.requestType != 0) std::abort();
        const bool expected = peer != nullptr ? localAllowed : own == 1;
        if (result != expected) std::abort();
      }
      if (peer != nullptr && type != 2 && type != 3 && peer->feccPeerState != peerPolicyBefore) std::abort();
    }
    for (const Peer* each : {peers[0], peers[1]}) {
      if (!RequestInRange(each->feccRequestState) || !GrantInRange(each->feccGrantState)) std::abort();
    }
  }
  return 0;
}
